// The core in WebAssembly (ovitone-core) and the page's handlers in it. One handler
// runs at a time: each may wait for the encoder, a timer or the user (Asyncify), and
// the next waits its turn. The configuration folder lives in the browser's storage
// (IndexedDB) and is written back after every handler.
import type { WebHidBridge } from './webhid-bridge';

export interface ListState { index: number; text: string }
export interface PanelState {
  lines: [string, string, string];
  enabled: boolean;
  centred: boolean;
  volume: ListState;
  jack: ListState;
  keypad: ListState;
}
export interface Lists {
  keypad: string[];
  volume: string[];
  jack: string[];
  codes: string[];
  modifiers: string[];
}
export interface EditorKey { label: string; modifier: number; unlisted: number; code: number }
export interface SelfTestEvent { row: 'led' | 'brightness' | 'keys' | 'window'; state?: string; level?: string }

/** What the handlers show; the page draws it. */
export interface CoreUi {
  message(text: string, caption: string, buttons: number, icon: number): Promise<number>;
  panel(state: PanelState): void;
  progress(percent: number, text: string): void;
  selfTest(event: SelfTestEvent): void;
  grant(vendorId: number, productId: number): Promise<void>;
}

interface Module {
  ccall(name: string, returnType: string | null, argTypes: string[], args: unknown[], options?: { async: boolean }): any;
  FS: any;
  // Called directly, not through ccall: ccall takes a call made while another one waits
  // for the ones that waited, and would hand the waiting one's result to it.
  _ov_self_test_close(): void;
  _ov_answer_length(): number;
  HEAPU8: Uint8Array;
  webhid: WebHidBridge;
  ui: CoreUi;
}

const DataFolder = '/home/web_user/.local/share';

let prefetched: { factory: Promise<any>; compiled: Promise<WebAssembly.Module | null> } | null = null;

export class Core {
  private readonly module: Module;
  private queue: Promise<unknown> = Promise.resolve();
  readonly lists: Lists;

  private constructor(module: Module) {
    this.module = module;
    this.lists = JSON.parse(module.ccall('ov_lists', 'string', [], []));
  }

  /** Starts fetching and compiling the module; call early, while the page sets up. */
  static prefetch(): void {
    if (prefetched) return;
    prefetched = {
      factory: import('./ovitone-core.mjs' as string).then((m) => m.default),
      compiled: WebAssembly.compileStreaming(fetch('ovitone-core.wasm')).catch(() => null),
    };
  }

  static async load(bridge: WebHidBridge, ui: CoreUi): Promise<Core> {
    Core.prefetch();
    const { factory, compiled } = prefetched!;
    const create = await factory;
    const wasm = await compiled;
    const module: Module = await create({
      webhid: bridge,
      ui,
      // The module compiled while the page set up; without it, the loader fetches its own.
      ...(wasm ? {
        instantiateWasm(imports: WebAssembly.Imports, done: (instance: WebAssembly.Instance) => void) {
          void WebAssembly.instantiate(wasm, imports).then(done);
          return {};
        },
      } : {}),
    });
    const fs = module.FS;
    fs.mkdirTree(DataFolder);
    fs.mount(fs.filesystems.IDBFS, {}, DataFolder);
    await new Promise<void>((resolve) => fs.syncfs(true, () => resolve()));
    // Files the user picks are put here and named without a folder, as they were chosen.
    fs.mkdirTree('/tmp/upload');
    fs.chdir('/tmp/upload');
    return new Core(module);
  }

  /** Runs one handler after the one before has ended; its result, once it has. */
  private run<T>(name: string, returnType: string | null, argTypes: string[] = [], args: unknown[] = []): Promise<T> {
    const result = this.queue.then(() => this.module.ccall(name, returnType, argTypes, args, { async: true }));
    this.queue = result.catch(() => undefined).then(() => this.persist());
    return result as Promise<T>;
  }

  private persist(): Promise<void> {
    return new Promise((resolve) => this.module.FS.syncfs(false, () => resolve()));
  }

  /** Puts a file the user chose where the handlers can read it; its path. */
  upload(name: string, bytes: Uint8Array): string {
    const path = name.replace(/[/\\]/g, '_') || 'unnamed';
    this.module.FS.writeFile(path, bytes);
    return path;
  }

  setWaitScale(percent: number): void { this.module.ccall('ov_set_wait_scale', null, ['number'], [percent]); }

  start(firstVisit: boolean): Promise<void> { return this.run('ov_start', null, ['number'], [firstVisit ? 1 : 0]); }
  scan(): Promise<void> { return this.run('ov_scan', null); }
  keypadType(index: number): Promise<void> { return this.run('ov_keypad_type', null, ['number'], [index]); }
  volumeLed(index: number): Promise<void> { return this.run('ov_volume_led', null, ['number'], [index]); }
  jackLed(index: number): Promise<void> { return this.run('ov_jack_led', null, ['number'], [index]); }
  saveChanges(): Promise<void> { return this.run('ov_save_changes', null); }
  factoryReset(): Promise<void> { return this.run('ov_factory_reset', null); }
  resetFromConfig(): Promise<void> { return this.run('ov_reset_from_config', null); }

  importConfig(name: string, bytes: Uint8Array): Promise<void> {
    const path = this.upload(name, bytes);
    return this.run('ov_import_config', null, ['string', 'string'], [name, path]);
  }

  /** The configuration file's bytes, or null when there is none (the reason was shown). */
  async exportConfig(): Promise<Uint8Array | null> {
    const at = await this.run<number>('ov_export_config', 'number');
    if (!at) return null;
    return this.module.HEAPU8.slice(at, at + this.module._ov_answer_length());
  }

  async openEditor(): Promise<EditorKey[] | null> {
    const json = await this.run<string | null>('ov_editor_open', 'string');
    return json ? JSON.parse(json).keys : null;
  }

  async applyTable(keys: EditorKey[]): Promise<boolean> {
    const args = keys.flatMap((k) => [k.modifier, k.unlisted, k.code]);
    return (await this.run<number>('ov_editor_apply', 'number', args.map(() => 'number'), args)) === 1;
  }

  async openSelfTest(): Promise<{ running: boolean; microphone: boolean; level: string } | null> {
    const json = await this.run<string | null>('ov_self_test_open', 'string');
    return json ? JSON.parse(json) : null;
  }

  runSelfTest(): Promise<void> { return this.run('ov_self_test_run', null); }
  /** Not queued: the sequence is waiting, and ends at its next step. */
  closeSelfTest(): void { this.module._ov_self_test_close(); }

  async beginUpgrade(): Promise<boolean> { return (await this.run<number>('ov_upgrade_begin', 'number')) === 1; }
  async loaderCount(): Promise<{ count: number; text: string }> {
    return JSON.parse(await this.run<string>('ov_upgrade_count', 'string'));
  }
  async storeRamLoader(name: string, bytes: Uint8Array): Promise<boolean> {
    const path = this.upload(name, bytes);
    return (await this.run<number>('ov_store_ram_loader', 'number', ['string'], [path])) === 1;
  }
  rememberFirmwareFile(name: string): Promise<void> {
    return this.run('ov_remember_firmware_file', null, ['string'], [name]);
  }
  async runUpgrade(name: string, bytes: Uint8Array): Promise<boolean> {
    const path = this.upload(name, bytes);
    return (await this.run<number>('ov_upgrade_run', 'number', ['string'], [path])) === 1;
  }
  closeUpgrade(): Promise<void> { return this.run('ov_upgrade_close', null); }
}
