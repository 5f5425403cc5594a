// The page: draws what the handlers in the core report and passes on what the user does.
import { Core, type EditorKey, type PanelState, type SelfTestEvent } from './core';
import { showMessage } from './dialogs';
import { WebHidBridge, type HidLike } from './webhid-bridge';

const $ = <T extends HTMLElement = HTMLElement>(id: string) => document.getElementById(id) as T;

const EncoderFilter = { vendorId: 0x2047, productId: 0x0a3b };
const LoaderFilter = { vendorId: 0x2047, productId: 0x0200 };

let core: Core;
let bridge: WebHidBridge;
let busyCount = 0;

/** Runs a handler with the page's controls held until it has ended. */
async function busy<T>(work: () => Promise<T>): Promise<T> {
  busyCount++;
  $('busy').hidden = false;
  document.body.classList.add('working');
  try {
    return await work();
  } finally {
    if (--busyCount === 0) {
      $('busy').hidden = true;
      document.body.classList.remove('working');
    }
  }
}

// ---------------------------------------------------------------------------------------
// The main window


function fillList(select: HTMLSelectElement, items: string[]): void {
  select.replaceChildren(...items.map((text, index) => new Option(text, String(index))));
}

function showList(select: HTMLSelectElement, state: { index: number; text: string }): void {
  // A value the list has no item for shows its text instead (an extra, unselectable item).
  select.querySelector('option.fallback')?.remove();
  if (state.index >= 0) {
    select.value = String(state.index);
  } else {
    const option = new Option(state.text, '-1', true, true);
    option.className = 'fallback';
    option.disabled = true;
    select.prepend(option);
    select.value = '-1';
  }
}

function drawPanel(state: PanelState): void {
  const status = $('statusPanel');
  status.textContent = state.lines.join('\n');
  status.classList.toggle('centred', state.centred);
  showList($('keypadType'), state.keypad);
  showList($('volumeLed'), state.volume);
  showList($('jackLed'), state.jack);
  for (const id of ['keypadType', 'volumeLed', 'jackLed', 'saveChanges', 'factoryReset',
    'resetFromConfig', 'customise', 'selfTest']) {
    ($(id) as HTMLButtonElement).disabled = !state.enabled;
  }
  $('connect').hidden = state.enabled || bridge.has(EncoderFilter.vendorId, EncoderFilter.productId);
}

function onChoice(id: string, send: (index: number) => Promise<void>): void {
  const select = $<HTMLSelectElement>(id);
  select.addEventListener('change', () => {
    const index = Number(select.value);
    if (index >= 0) void busy(() => send(index));
  });
  // Only choosing an item counts: typing a letter does not pick one.
  select.addEventListener('keydown', (event) => {
    if (event.key.length === 1) event.preventDefault();
  });
}

async function scan(): Promise<void> {
  // The browser lets the page reach only the devices the user picked: a scan with none
  // picked yet opens the browser's list first.
  if (!bridge.has(EncoderFilter.vendorId, EncoderFilter.productId)) await bridge.request([EncoderFilter]);
  await core.scan();
}

function download(name: string, bytes: Uint8Array): void {
  const url = URL.createObjectURL(new Blob([new Uint8Array(bytes)], { type: 'application/octet-stream' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

function wireMainWindow(): void {
  fillList($('keypadType'), core.lists.keypad);
  fillList($('volumeLed'), core.lists.volume);
  fillList($('jackLed'), core.lists.jack);
  onChoice('keypadType', (i) => core.keypadType(i));
  onChoice('volumeLed', (i) => core.volumeLed(i));
  onChoice('jackLed', (i) => core.jackLed(i));
  $('scan').addEventListener('click', () => void busy(scan));
  $('saveChanges').addEventListener('click', () => void busy(() => core.saveChanges()));
  $('factoryReset').addEventListener('click', () => void busy(() => core.factoryReset()));
  $('resetFromConfig').addEventListener('click', () => void busy(() => core.resetFromConfig()));
  $('customise').addEventListener('click', () => void busy(openEditor));
  $('selfTest').addEventListener('click', () => void busy(openSelfTest));
  $('upgrade').addEventListener('click', () => void busy(openUpgrade));
  $('importCfg').addEventListener('click', () => $<HTMLInputElement>('importFile').click());
  $<HTMLInputElement>('importFile').addEventListener('change', async (event) => {
    const input = event.target as HTMLInputElement;
    const file = input.files?.[0];
    input.value = '';
    if (!file) return;
    const bytes = new Uint8Array(await file.arrayBuffer());
    await busy(() => core.importConfig(file.name, bytes));
  });
  $('exportCfg').addEventListener('click', () => void busy(async () => {
    const bytes = await core.exportConfig();
    if (bytes !== null) download('USBOvitoneUtilityCfg.ini', bytes);
  }));
  // The simulated loader takes the stand-in built into the core.
  $('ramLoader').hidden = bridge.simulated;
  $('ramLoader').addEventListener('click', () => $<HTMLInputElement>('ramLoaderFile').click());
  $<HTMLInputElement>('ramLoaderFile').addEventListener('change', async (event) => {
    const input = event.target as HTMLInputElement;
    const file = input.files?.[0];
    input.value = '';
    if (!file) return;
    const bytes = new Uint8Array(await file.arrayBuffer());
    if (await busy(() => core.storeRamLoader(file.name, bytes))) $('ramLoader').title = `RAM loader image: ${file.name}, kept in this browser`;
  });
  $('about').addEventListener('click', () => { $('aboutSheet').hidden = false; $('aboutClose').focus(); });
  $('aboutClose').addEventListener('click', () => { $('aboutSheet').hidden = true; });
}

// ---------------------------------------------------------------------------------------
// The layout editor

interface Slot { key: HTMLButtonElement; modifier: HTMLButtonElement; current: EditorKey; original: EditorKey; label: string; modifierLabel: string }
let slots: Slot[] = [];
const keySelected = new Set<number>();
const modSelected = new Set<number>();

async function openEditor(): Promise<void> {
  const keys = await core.openEditor();
  if (!keys) return;
  const codeList = $<HTMLSelectElement>('selectCode');
  const modifierList = $<HTMLSelectElement>('selectModifier');
  codeList.hidden = true;
  modifierList.hidden = true;
  keySelected.clear();
  modSelected.clear();
  slots = keys.map((key, k) => {
    const slot: Slot = {
      key: $(`key${k + 7}`), modifier: $(`mod${k + 7}`), current: { ...key }, original: { ...key },
      label: key.label, modifierLabel: core.lists.modifiers[key.modifier] ?? '',
    };
    slot.key.textContent = key.label;
    slot.key.className = 'key' + (k === 0 ? ' bottom' : '');
    slot.modifier.textContent = slot.modifierLabel;
    slot.modifier.className = 'modifier';
    return slot;
  });
  $('editor').hidden = false;
}

function toggleKey(k: number): void {
  const slot = slots[k];
  if (!keySelected.has(k)) {
    slot.key.classList.add('selected');
    $('selectCode').hidden = false;
    $('selectModifier').hidden = true;
    keySelected.add(k);
  } else {
    slot.key.classList.remove('selected', 'edited');
    keySelected.delete(k);
  }
}

function toggleModifier(k: number): void {
  const slot = slots[k];
  if (!modSelected.has(k)) {
    slot.modifier.classList.add('selected');
    $('selectModifier').hidden = false;
    $('selectCode').hidden = true;
    modSelected.add(k);
  } else {
    slot.modifier.classList.remove('selected');
    modSelected.delete(k);
  }
}

function wireEditor(): void {
  const codeList = $<HTMLSelectElement>('selectCode');
  const modifierList = $<HTMLSelectElement>('selectModifier');
  fillList(codeList, core.lists.codes);
  fillList(modifierList, core.lists.modifiers);
  codeList.prepend(new Option('Select Code', '-1', true, true));
  modifierList.prepend(new Option('Modifier', '-1', true, true));
  codeList.options[0].disabled = true;
  modifierList.options[0].disabled = true;
  for (let k = 0; k < 4; k++) {
    $(`key${k + 7}`).addEventListener('click', () => toggleKey(k));
    $(`mod${k + 7}`).addEventListener('click', () => toggleModifier(k));
  }
  codeList.addEventListener('change', () => {
    codeList.hidden = true;
    const code = Number(codeList.value);
    const label = '0x' + code.toString(16).toUpperCase().padStart(2, '0');
    for (const k of [...keySelected].sort()) {
      const slot = slots[k];
      slot.key.textContent = label;
      slot.current.code = code;
      slot.key.classList.remove('selected');
      slot.key.classList.add('edited');
    }
    keySelected.clear();
  });
  modifierList.addEventListener('change', () => {
    modifierList.hidden = true;
    const index = Number(modifierList.value);
    for (const k of [...modSelected].sort()) {
      const slot = slots[k];
      slot.modifier.textContent = core.lists.modifiers[index];
      slot.current.modifier = index;
      slot.current.unlisted = -1;  // the user picked a modifier: it goes as listed
      slot.modifier.classList.remove('selected');
    }
    modSelected.clear();
  });
  $('editorReset').addEventListener('click', () => {
    for (const slot of slots) {
      slot.key.textContent = slot.label;
      slot.key.classList.remove('selected', 'edited');
      slot.current = { ...slot.original };
      slot.modifier.classList.remove('selected');
      slot.modifier.textContent = slot.modifierLabel;
    }
    keySelected.clear();
    modSelected.clear();
  });
  $('editorApply').addEventListener('click', () => void busy(async () => {
    if (await core.applyTable(slots.map((s) => s.current))) $('editor').hidden = true;
  }));
  $('editorClose').addEventListener('click', () => { $('editor').hidden = true; });
}

// ---------------------------------------------------------------------------------------
// The self test

const seen = [false, false, false, false];
let recorder: MediaRecorder | null = null;
let recordStream: MediaStream | null = null;
let recordChunks: Blob[] = [];
let audio: HTMLAudioElement | null = null;

function stopAudio(): void {
  audio?.pause();
  audio = null;
  if (recorder && recorder.state !== 'inactive') recorder.stop();
  recordStream?.getTracks().forEach((track) => track.stop());
  recorder = null;
  recordStream = null;
}

function playTestSound(): void {
  stopAudio();
  audio = new Audio('media/Audio Test.mp3');
  audio.play().catch(() => { /* no sound device, or the browser wants a click first */ });
}

async function openSelfTest(): Promise<void> {
  const opened = await core.openSelfTest();
  if (!opened) return;
  seen.fill(false);
  for (let i = 0; i < 4; i++) $(`mark${i}`).classList.remove('seen');
  ($('ledCheck') as HTMLInputElement).checked = false;
  ($('brightnessCheck') as HTMLInputElement).checked = false;
  $('ledRow').classList.remove('running');
  $('brightnessRow').classList.remove('running');
  $('ledLevel').textContent = opened.level;
  $('record').hidden = !opened.microphone;
  $('record').textContent = 'Record';
  ($('selfTestClose') as HTMLButtonElement).disabled = false;
  $('selfTestSheet').hidden = false;
  playTestSound();
  if (!opened.running) {
    // No test runs: Close only closes the window.
    ($('selfTestClose') as HTMLButtonElement).dataset.idle = '1';
    return;
  }
  delete ($('selfTestClose') as HTMLButtonElement).dataset.idle;
  // The sequence runs until Close: the other handlers wait for it.
  void busy(() => core.runSelfTest());
}

function selfTestEvent(event: SelfTestEvent): void {
  if (event.row === 'window') {
    stopAudio();
    $('selfTestSheet').hidden = true;
    return;
  }
  if (event.row === 'keys') return;
  const row = $(event.row === 'led' ? 'ledRow' : 'brightnessRow');
  if (event.level !== undefined) $('ledLevel').textContent = event.level;
  if (event.state === 'running') row.classList.add('running');
  if (event.state === 'done') ($(event.row === 'led' ? 'ledCheck' : 'brightnessCheck') as HTMLInputElement).checked = true;
}

const TestKeys = ['F13', 'F14', 'F15', 'F16'];

function wireSelfTest(): void {
  document.addEventListener('keydown', (event) => {
    if ($('selfTestSheet').hidden) return;
    const index = Math.max(TestKeys.indexOf(event.code), TestKeys.indexOf(event.key));
    if (index < 0) return;
    event.preventDefault();
    if (seen[index]) return;
    seen[index] = true;
    $(`mark${index}`).classList.add('seen');
  }, true);
  $('play').addEventListener('click', playTestSound);
  $('record').addEventListener('click', async () => {
    const button = $('record');
    const refuse = async () => {
      stopAudio();
      button.textContent = 'Record';
      await showMessage("This device doesn't record.\n", 'Orvane Ovitone', 0, 0);
    };
    if (button.textContent === 'Record') {
      stopAudio();
      try {
        recordStream = await navigator.mediaDevices.getUserMedia({ audio: true });
        recorder = new MediaRecorder(recordStream);
      } catch {
        await refuse();
        return;
      }
      button.textContent = 'Start Record';
    } else if (button.textContent === 'Start Record') {
      if (!recorder) return refuse();
      recordChunks = [];
      recorder.ondataavailable = (e) => recordChunks.push(e.data);
      recorder.start();
      button.textContent = 'Stop Record';
    } else {
      const active = recorder;
      if (!active) return refuse();
      active.onstop = () => {
        const url = URL.createObjectURL(new Blob(recordChunks, { type: active.mimeType }));
        audio = new Audio(url);
        audio.play().catch(() => {});
      };
      active.stop();
      recordStream?.getTracks().forEach((track) => track.stop());
      recorder = null;
      button.textContent = 'Record';
    }
  });
  $('selfTestClose').addEventListener('click', () => {
    const close = $('selfTestClose') as HTMLButtonElement;
    stopAudio();
    if (close.dataset.idle) {
      $('selfTestSheet').hidden = true;
      return;
    }
    close.disabled = true;
    core.closeSelfTest();
  });
}

// ---------------------------------------------------------------------------------------
// The firmware upgrade

let firmware: { name: string; bytes: Uint8Array } | null = null;
let upgrading = false;

async function refreshCount(): Promise<void> {
  if ($('upgradeSheet').hidden || upgrading) return;
  const { count, text } = await core.loaderCount();
  $('deviceCount').textContent = text;
  ($('runUpgrade') as HTMLButtonElement).disabled = count === 0 || !firmware;
  $('grantLoader').hidden = count > 0;
}

async function openUpgrade(): Promise<void> {
  if (!(await core.beginUpgrade())) return;
  $('upgradeLog').textContent = '';
  ($('progress') as HTMLProgressElement).value = 0;
  $('deviceCount').textContent = 'Searching for devices';
  $('upgradeSheet').hidden = false;
  // The loader joins the bus a moment after the encoder left it.
  setTimeout(() => void refreshCount(), 1500);
}

function progress(percent: number, text: string): void {
  if (percent >= 0) ($('progress') as HTMLProgressElement).value = percent;
  if (!text) return;
  const log = $('upgradeLog');
  const shown = log.textContent ?? '';
  // An ending goes on a line of its own.
  const gap = percent < 0 && shown !== '' && !shown.endsWith('\n') ? '\n' : '';
  log.textContent = shown + gap + text.replace(/\r/g, '');
  log.scrollTop = log.scrollHeight;
}

function wireUpgrade(): void {
  $<HTMLInputElement>('firmwareFile').addEventListener('change', async (event) => {
    const input = event.target as HTMLInputElement;
    const file = input.files?.[0];
    input.value = '';
    if (!file) return;
    firmware = { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) };
    $('firmwareName').textContent = file.name;
    await core.rememberFirmwareFile(file.name);
    await refreshCount();
  });
  $('grantLoader').addEventListener('click', async () => {
    await bridge.request([LoaderFilter]);
    await refreshCount();
  });
  $('runUpgrade').addEventListener('click', () => void busy(async () => {
    if (!firmware || upgrading) return;
    upgrading = true;
    ($('runUpgrade') as HTMLButtonElement).disabled = true;
    ($('upgradeClose') as HTMLButtonElement).disabled = true;
    $('upgradeLog').textContent = '';
    try {
      await core.runUpgrade(firmware.name, firmware.bytes);
    } finally {
      upgrading = false;
      ($('upgradeClose') as HTMLButtonElement).disabled = false;
      await refreshCount();
    }
  }));
  $('upgradeClose').addEventListener('click', () => void busy(async () => {
    if (upgrading) return;
    await core.closeUpgrade();
    $('upgradeSheet').hidden = true;
  }));
  bridge.onChange(() => void refreshCount());
}

// The unit restarted as a new USB device and the browser forgot the page may use it:
// the user is asked to pick it again (the browser's list needs a click).
function grant(vendorId: number, productId: number): Promise<void> {
  if (bridge.has(vendorId, productId)) return Promise.resolve();
  return new Promise((resolve) => {
    const loader = productId === LoaderFilter.productId;
    $('grantText').textContent = loader
      ? 'The firmware loader restarted as a new USB device. Click Allow access and pick it in the browser\'s list, so that the upgrade can go on.'
      : 'The encoder restarted with its new firmware, as a new USB device. Click Allow access and pick Ovitone USB Encoder in the browser\'s list, so that its settings can be written back.';
    const sheet = $('grantSheet');
    const done = () => {
      sheet.hidden = true;
      $('grantAllow').onclick = null;
      $('grantSkip').onclick = null;
      resolve();
    };
    $('grantAllow').onclick = async () => {
      await bridge.request([{ vendorId, productId }]);
      done();
    };
    $('grantSkip').onclick = done;
    sheet.hidden = false;
  });
}

// ---------------------------------------------------------------------------------------
// Start

async function hidOfPage(demo: boolean): Promise<{ hid: HidLike; simulated: boolean } | null> {
  const fake = (window as unknown as { ovitoneSimulatedHid?: boolean }).ovitoneSimulatedHid === true;
  if (!demo) {
    if (!('hid' in navigator)) return null;
    return { hid: navigator.hid as unknown as HidLike, simulated: fake };
  }
  const { startDemo } = await import('./demo');
  return { hid: await startDemo(), simulated: true };
}

async function main(): Promise<void> {
  const demo = new URLSearchParams(location.search).has('demo');
  $('mode').hidden = !demo;
  bridge = new WebHidBridge();
  // The module loads while the demo's encoder is set up.
  const loading = hidOfPage(demo);
  const coreLoading = 'WebAssembly' in window && (demo || 'hid' in navigator) ? Core.load(bridge, {
    message: showMessage,
    panel: drawPanel,
    progress,
    selfTest: selfTestEvent,
    grant,
  }) : null;
  const hid = await loading;
  if (!hid || !coreLoading) {
    $('unsupported').hidden = false;
    $('mainCard').hidden = true;
    for (const id of ['importCfg', 'exportCfg']) ($(id) as HTMLButtonElement).disabled = true;
    return;
  }
  bridge.attach(hid.hid, hid.simulated);
  await bridge.start();
  core = await coreLoading;
  performance.mark('ovitone-core');
  const scale = Number(new URLSearchParams(location.search).get('waits') ?? '100');
  if (scale >= 0 && scale < 100) core.setWaitScale(scale);
  wireMainWindow();
  wireEditor();
  wireSelfTest();
  wireUpgrade();
  if (demo && !bridge.has(EncoderFilter.vendorId, EncoderFilter.productId)) {
    // The demo's encoder counts as picked already.
    await bridge.request([EncoderFilter]);
  }
  performance.mark('ovitone-start');
  await busy(() => core.start(!bridge.has(EncoderFilter.vendorId, EncoderFilter.productId)));
  document.body.dataset.ready = '1';
  (window as unknown as { ovitoneReadyMs: number }).ovitoneReadyMs = performance.now();
  if ('serviceWorker' in navigator && location.protocol !== 'file:') {
    navigator.serviceWorker.register('sw.js').catch(() => { /* offline use only */ });
  }
}

void main();
