// The page's side of the core's hidapi over WebHID (web/wasm/webhid_hidapi.cpp): the
// devices the user granted, each with a number, the reports each opened device has
// delivered, and the waits of hid_read_timeout. `hid` is navigator.hid, or the demo's
// stand-in with the same shape.

export interface HidLike extends EventTarget {
  getDevices(): Promise<HIDDevice[]>;
  requestDevice(options: HIDDeviceRequestOptions): Promise<HIDDevice[]>;
}

interface Opened {
  queue: Uint8Array[];
  wake: (() => void) | null;
  listener: (event: Event) => void;
}

export class WebHidBridge {
  /** The devices are the simulated twins (the demo): the upgrade then sends the stand-in RAM loader. */
  simulated = false;
  private hid: HidLike | null = null;
  private readonly ids = new Map<HIDDevice, number>();
  private readonly present = new Map<number, HIDDevice>();
  private readonly opened = new Map<number, Opened>();
  private readonly closing = new Map<number, Promise<void>>();
  private nextId = 1;
  private readonly listeners: Array<() => void> = [];

  /** The page's navigator.hid, or the demo's stand-in; the bridge lists nothing before. */
  attach(hid: HidLike, simulated: boolean): void {
    this.hid = hid;
    this.simulated = simulated;
    hid.addEventListener('connect', (event) => {
      this.add((event as HIDConnectionEvent).device);
      this.changed();
    });
    hid.addEventListener('disconnect', (event) => {
      this.remove((event as HIDConnectionEvent).device);
      this.changed();
    });
  }

  /** Takes the devices the page may use already (granted on an earlier visit). */
  async start(): Promise<void> {
    if (!this.hid) return;
    for (const device of await this.hid.getDevices()) this.add(device);
  }

  /** Asks the user for a device (the browser's picker); needs a click. */
  async request(filters: HIDDeviceFilter[]): Promise<boolean> {
    let chosen: HIDDevice[] = [];
    if (!this.hid) return false;
    try {
      chosen = await this.hid.requestDevice({ filters });
    } catch {
      return false;
    }
    for (const device of chosen) this.add(device);
    this.changed();
    return chosen.length > 0;
  }

  /** Whether a granted device with these identifiers is on the bus now. */
  has(vendorId: number, productId: number): boolean {
    for (const device of this.present.values()) {
      if (device.vendorId === vendorId && device.productId === productId) return true;
    }
    return false;
  }

  /** Called whenever a granted device comes or goes. */
  onChange(listener: () => void): void {
    this.listeners.push(listener);
  }

  // The functions the WebAssembly module calls.

  list(): string {
    let text = '';
    for (const [id, device] of this.present) {
      const collection = device.collections[0];
      const fields = [id, device.vendorId, device.productId, collection?.usagePage ?? 0,
        collection?.usage ?? 0, '', device.productName.replace(/[\t\n]/g, ' ')];
      text += fields.join('\t') + '\n';
    }
    return text;
  }

  async open(id: number): Promise<boolean> {
    const device = this.present.get(id);
    if (!device || this.opened.has(id)) return false;
    await this.closing.get(id);
    if (!device.opened) await device.open();
    const state: Opened = { queue: [], wake: null, listener: () => {} };
    state.listener = (event: Event) => {
      const report = event as HIDInputReportEvent;
      const bytes = new Uint8Array(report.data.byteLength + 1);
      bytes[0] = report.reportId;
      bytes.set(new Uint8Array(report.data.buffer, report.data.byteOffset, report.data.byteLength), 1);
      state.queue.push(bytes);
      this.wake(state);
    };
    device.addEventListener('inputreport', state.listener);
    this.opened.set(id, state);
    return true;
  }

  async send(id: number, reportId: number, data: Uint8Array): Promise<boolean> {
    const device = this.present.get(id);
    if (!device || !this.opened.has(id)) return false;
    await device.sendReport(reportId, new Uint8Array(data));
    return true;
  }

  /** The next report (report id first), null when none is queued, undefined when the device is gone. */
  take(id: number): Uint8Array | null | undefined {
    const state = this.opened.get(id);
    if (!state || !this.present.has(id)) return undefined;
    return state.queue.shift() ?? null;
  }

  wait(id: number, ms: number): Promise<void> {
    const state = this.opened.get(id);
    if (!state || state.queue.length > 0 || !this.present.has(id)) return Promise.resolve();
    return new Promise((resolve) => {
      const timer = ms >= 0 ? setTimeout(() => this.wake(state), ms) : undefined;
      state.wake = () => {
        clearTimeout(timer);
        resolve();
      };
    });
  }

  close(id: number): void {
    const state = this.opened.get(id);
    if (!state) return;
    this.opened.delete(id);
    this.wake(state);
    const device = this.present.get(id);
    if (!device) return;
    device.removeEventListener('inputreport', state.listener);
    const closed = device.close().catch(() => {}).finally(() => this.closing.delete(id));
    this.closing.set(id, closed);
  }

  private wake(state: Opened): void {
    const wake = state.wake;
    state.wake = null;
    wake?.();
  }

  private add(device: HIDDevice): void {
    let id = this.ids.get(device);
    if (id === undefined) {
      id = this.nextId++;
      this.ids.set(device, id);
    }
    this.present.set(id, device);
  }

  private remove(device: HIDDevice): void {
    const id = this.ids.get(device);
    if (id === undefined) return;
    this.present.delete(id);
    const state = this.opened.get(id);
    if (state) this.wake(state);
  }

  private changed(): void {
    for (const listener of this.listeners) listener();
  }
}
