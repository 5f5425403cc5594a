// The demo: the simulated encoder and its loader (ovitone-sim) behind a stand-in for
// navigator.hid, and a panel to press the encoder's keys, pull its cable and make it
// misbehave the ways the desktop demo offers.
import { SimHid, type SimModule } from './sim-hid';

interface SimState {
  place: 'firmware' | 'loader' | 'unplugged';
  firmware: string;
  serial: string;
  jackIn: boolean;
  volumeLed: number;
  jackLed: number;
  keypadType: number;
  table: number[];
}

const Faults = [
  ['No answer', 'Takes each command and never answers'],
  ['Refuse commands', 'Answers every command with a refusal (0x0F)'],
  ['Error status', 'Answers with an error status; nothing changes'],
  ['Corrupt checksum', 'Carries out the command, then garbles the reply\'s checksum'],
  ['Oversized reply', 'Carries out the command; the reply\'s size byte is too large'],
  ['Acknowledge first', 'Sends acknowledgements (0x06) before the reply'],
  ['Drop off the bus', 'Takes the command, then leaves the USB bus before answering'],
] as const;
// The faults' numbers in the twin's list (a duplicated reply is not offered).
const FaultNumbers = [0, 1, 2, 3, 4, 5, 7];
const KeyNames = ['Vol Up', 'Vol Down', 'Jack IN', 'Jack OUT'];

/** The key a keyboard usage types, as a browser names it; null when the demo cannot type it. */
function keyOfUsage(usage: number): { key: string; code: string } | null {
  if (usage >= 0x04 && usage <= 0x1d) {
    const letter = String.fromCharCode(0x61 + usage - 0x04);
    return { key: letter, code: 'Key' + letter.toUpperCase() };
  }
  if (usage >= 0x1e && usage <= 0x27) {
    const digit = String((usage - 0x1d) % 10);
    return { key: digit, code: 'Digit' + digit };
  }
  if (usage >= 0x3a && usage <= 0x45) return { key: `F${usage - 0x39}`, code: `F${usage - 0x39}` };
  if (usage >= 0x68 && usage <= 0x73) return { key: `F${usage - 0x68 + 13}`, code: `F${usage - 0x68 + 13}` };
  const named: Record<number, [string, string]> = {
    0x28: ['Enter', 'Enter'], 0x29: ['Escape', 'Escape'], 0x2a: ['Backspace', 'Backspace'],
    0x2b: ['Tab', 'Tab'], 0x2c: [' ', 'Space'], 0x4f: ['ArrowRight', 'ArrowRight'],
    0x50: ['ArrowLeft', 'ArrowLeft'], 0x51: ['ArrowDown', 'ArrowDown'], 0x52: ['ArrowUp', 'ArrowUp'],
    0x7f: ['AudioVolumeMute', 'AudioVolumeMute'], 0x80: ['AudioVolumeUp', 'AudioVolumeUp'],
    0x81: ['AudioVolumeDown', 'AudioVolumeDown'],
  };
  const found = named[usage];
  return found ? { key: found[0], code: found[1] } : null;
}

function typedKey(state: SimState, index: number): { key: string; code: string } | null {
  switch (state.keypadType) {
    case 0: return { key: `F${13 + index}`, code: `F${13 + index}` };
    case 1: return [keyOfUsage(0x80), keyOfUsage(0x81), keyOfUsage(0x6a), keyOfUsage(0x6b)][index];
    case 2: return state.table[2 * index + 1] === 0 ? null : keyOfUsage(state.table[2 * index + 1]);
    default: return null;
  }
}

function element<K extends keyof HTMLElementTagNameMap>(tag: K, text = '', props: Partial<HTMLElementTagNameMap[K]> = {}) {
  const made = document.createElement(tag);
  if (text) made.textContent = text;
  Object.assign(made, props);
  return made;
}

export async function startDemo(): Promise<SimHid> {
  const { default: create } = await import('./ovitone-sim.mjs' as string);
  const sim: SimModule = await create();
  sim.ccall('sim_setup', null, ['number'], [2]);
  const hid = new SimHid(sim);
  (window as unknown as { ovitoneSim: SimModule }).ovitoneSim = sim;
  buildPanel(sim);
  return hid;
}

function buildPanel(sim: SimModule): void {
  const panel = document.getElementById('demoPanel')!;
  panel.hidden = false;
  // The page's windows open beside the panel, which stays usable: it is the hardware.
  document.body.classList.add('with-demo');
  const state = (): SimState => JSON.parse(sim.ccall('sim_state', 'string', [], []));
  const said = element('div', 'The simulated encoder is plugged in.', { className: 'said' });
  said.setAttribute('role', 'status');
  const say = (text: string) => { said.textContent = text; };

  const dl = element('dl');
  const field = (name: string) => {
    const value = element('dd');
    dl.append(element('dt', name), value);
    return value;
  };
  const place = field('State');
  const fw = field('Firmware');
  const serial = field('Serial number');
  const jack = field('Jack');
  const volumeLeds = field('Volume LEDs');
  const jackLed = field('Jack LED');

  const cable = element('div', '', { className: 'row-buttons' });
  const unplug = element('button', 'Unplug', { title: 'Pulls the encoder\'s USB cable' });
  const replug = element('button', 'Replug', { title: 'Plugs the encoder back in; it starts its firmware' });
  unplug.addEventListener('click', () => { sim.ccall('sim_unplug', null, [], []); say('Encoder unplugged.'); });
  replug.addEventListener('click', () => {
    sim.ccall('sim_replug', null, [], []);
    say('Encoder plugged in: it runs its firmware. Scan For Device finds it.');
  });
  cable.append(unplug, replug);

  const keys = element('div', '', { className: 'row-buttons' });
  KeyNames.forEach((name, index) => {
    const button = element('button', name);
    button.addEventListener('click', () => {
      let done = '';
      if (index >= 2) {
        sim.ccall('sim_set_jack', null, ['number'], [index === 2 ? 1 : 0]);
        done = index === 2 ? 'Jack inserted. ' : 'Jack removed. ';
      }
      const now = state();
      if (now.place !== 'firmware') {
        say(`${done}The encoder is not running on the bus: ${name} typed nothing.`);
        return;
      }
      const typed = typedKey(now, index);
      if (!typed) {
        say(`${done}${name} sends a key the demo cannot type: nothing typed.`);
        return;
      }
      const target = document.activeElement instanceof HTMLElement ? document.activeElement : document.body;
      for (const type of ['keydown', 'keyup']) {
        target.dispatchEvent(new KeyboardEvent(type, { key: typed.key, code: typed.code, bubbles: true, cancelable: true }));
      }
      say(`${done}${name} typed ${typed.key === ' ' ? 'Space' : typed.key}.`);
    });
    // The key goes to the page's focused control, as a real key press would.
    button.addEventListener('mousedown', (event) => event.preventDefault());
    keys.append(button);
  });

  const faults = element('div');
  Faults.forEach(([label, tip], i) => {
    const box = element('input', '', { type: 'checkbox' });
    box.addEventListener('change', () => {
      sim.ccall('sim_fault', null, ['number', 'number'], [FaultNumbers[i], box.checked ? 1 : 0]);
      say(box.checked ? `“${label}” is on for every command.` : `“${label}” is off.`);
    });
    const row = element('label', '', { title: tip });
    row.append(box, ` ${label}`);
    faults.append(row);
  });
  const denied = element('input', '', { type: 'checkbox' });
  denied.addEventListener('change', () => {
    sim.ccall('sim_access_denied', null, ['number'], [denied.checked ? 1 : 0]);
    say(denied.checked ? 'Access denied: the page cannot open the encoder at its next scan.' : 'Access granted again.');
  });
  const deniedRow = element('label', '', { title: 'The browser may not open the encoder (no udev rule)' });
  deniedRow.append(denied, ' Access denied');
  faults.append(deniedRow);

  panel.append(element('h2', 'Simulated encoder'), dl, element('h3', 'Cable'), cable,
    element('h3', 'Keys'), keys, element('h3', 'Faults'), faults, said);

  const tableNames = ['Default', 'Alternate', 'Customised'];
  const level = (n: number, powered: boolean) => {
    if (!powered) return 'No power';
    return n === 0 ? 'Off' : `Level ${n}`;
  };
  const refresh = () => {
    const now = state();
    const powered = now.place === 'firmware';
    place.textContent = powered ? 'On the bus' : now.place === 'loader' ? 'In its firmware loader' : 'Unplugged';
    fw.textContent = now.firmware;
    serial.textContent = now.serial || '(none)';
    jack.textContent = now.jackIn ? 'In' : 'Out';
    volumeLeds.textContent = level(now.volumeLed, powered);
    jackLed.textContent = level(now.jackLed, powered);
    keys.title = `Code table: ${tableNames[now.keypadType] ?? 'Unknown'} (${now.keypadType})`;
  };
  refresh();
  setInterval(refresh, 250);
}
