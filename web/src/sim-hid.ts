// A stand-in for navigator.hid in front of the simulated encoder and loader (the
// ovitone-sim module): the demo runs on it, and so do the tests of the page's WebHID
// bridge. It behaves as Chromium does: a page sees only the devices the user granted;
// a grant of a device with a USB serial number outlives a replug, one without ends when
// the device leaves; the keyboard collection is withheld; connect and disconnect are
// reported for granted devices; input reports arrive as events.

export interface SimModule {
  ccall(name: string, returnType: string | null, argTypes: string[], args: unknown[]): any;
  _malloc(size: number): number;
  _free(pointer: number): void;
  HEAPU8: Uint8Array;
}

interface Listed {
  path: string;
  vendorId: number;
  productId: number;
  usagePage: number;
  usage: number;
  serial: string;
  product: string;
}

const ReportId = 0x3f;

class SimHidDevice extends EventTarget {
  readonly vendorId: number;
  readonly productId: number;
  readonly productName: string;
  readonly collections: HIDCollectionInfo[];
  readonly path: string;
  readonly serial: string;
  opened = false;
  handle = 0;
  private readonly owner: SimHid;

  constructor(owner: SimHid, listed: Listed) {
    super();
    this.owner = owner;
    this.path = listed.path;
    this.serial = listed.serial;
    this.vendorId = listed.vendorId;
    this.productId = listed.productId;
    this.productName = listed.product;
    const report = { reportId: ReportId, items: [] };
    this.collections = [{
      usagePage: listed.usagePage, usage: listed.usage, type: 1, children: [],
      inputReports: [report], outputReports: [report], featureReports: [],
    } as unknown as HIDCollectionInfo];
  }

  async open(): Promise<void> {
    if (this.opened) return;
    if (!this.owner.isPresent(this)) throw new DOMException('The device is gone.', 'NotFoundError');
    const handle = this.owner.sim.ccall('sim_open', 'number', ['string'], [this.path]) as number;
    if (handle === 0) throw new DOMException('Failed to open the device.', 'NotAllowedError');
    this.handle = handle;
    this.opened = true;
  }

  async close(): Promise<void> {
    if (!this.opened) return;
    this.owner.sim.ccall('sim_close', null, ['number'], [this.handle]);
    this.opened = false;
    this.handle = 0;
  }

  async forget(): Promise<void> {
    await this.close();
  }

  async sendReport(reportId: number, data: BufferSource): Promise<void> {
    if (!this.opened) throw new DOMException('The device must be opened first.', 'InvalidStateError');
    const bytes = data instanceof ArrayBuffer ? new Uint8Array(data)
      : new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    const sim = this.owner.sim;
    const memory = sim._malloc(bytes.length + 1);
    sim.HEAPU8[memory] = reportId;
    sim.HEAPU8.set(bytes, memory + 1);
    const taken = sim.ccall('sim_write', 'number', ['number', 'number', 'number'],
      [this.handle, memory, bytes.length + 1]) as number;
    sim._free(memory);
    if (!taken) throw new DOMException('Failed to write the report.', 'NotAllowedError');
    this.owner.deliver();
  }

  /** Reports due now, as inputreport events. False once the device is gone. */
  pump(): boolean {
    if (!this.opened) return true;
    const sim = this.owner.sim;
    const memory = sim._malloc(64);
    try {
      for (;;) {
        const read = sim.ccall('sim_read', 'number', ['number', 'number', 'number'],
          [this.handle, memory, 64]) as number;
        if (read < 0) return false;
        if (read === 0) return true;
        const bytes = sim.HEAPU8.slice(memory, memory + read);
        const event = new Event('inputreport') as Event & Record<string, unknown>;
        Object.assign(event, { device: this, reportId: bytes[0], data: new DataView(bytes.buffer, 1) });
        this.dispatchEvent(event);
      }
    } finally {
      sim._free(memory);
    }
  }
}

export class SimHid extends EventTarget {
  readonly sim: SimModule;
  private devices = new Map<string, SimHidDevice>();
  private readonly grantedSerials = new Set<string>();
  private readonly grantedDevices = new WeakSet<SimHidDevice>();
  private last = performance.now();
  private timer: ReturnType<typeof setInterval> | undefined;

  constructor(sim: SimModule) {
    super();
    this.sim = sim;
    this.refresh(false);
    this.timer = setInterval(() => this.tick(), 4);
  }

  stop(): void {
    clearInterval(this.timer);
  }

  async getDevices(): Promise<HIDDevice[]> {
    this.refresh(true);
    return [...this.devices.values()].filter((d) => this.granted(d)) as unknown as HIDDevice[];
  }

  /** The browser's picker: the user picks every device that matches (the demo has one unit). */
  async requestDevice(options: HIDDeviceRequestOptions): Promise<HIDDevice[]> {
    this.refresh(true);
    const chosen = [...this.devices.values()].filter((device) =>
      options.filters.some((f) => (f.vendorId === undefined || f.vendorId === device.vendorId) &&
        (f.productId === undefined || f.productId === device.productId)));
    for (const device of chosen) {
      if (device.serial) this.grantedSerials.add(this.key(device));
      this.grantedDevices.add(device);
    }
    return chosen as unknown as HIDDevice[];
  }

  isPresent(device: SimHidDevice): boolean {
    return this.devices.get(device.path) === device;
  }

  /** Moves the bus clock to the page's clock and hands out what is due. */
  deliver(): void {
    const now = performance.now();
    const step = Math.min(Math.max(0, Math.round(now - this.last)), 200);
    if (step > 0) {
      this.sim.ccall('sim_advance', null, ['number'], [step]);
      this.last += step;
    }
    if (now - this.last > 200) this.last = now;
    for (const device of [...this.devices.values()]) device.pump();
    this.refresh(true);
  }

  private tick(): void {
    this.deliver();
  }

  private key(device: SimHidDevice): string {
    return `${device.vendorId}:${device.productId}:${device.serial}`;
  }

  private granted(device: SimHidDevice): boolean {
    return this.grantedDevices.has(device) || (device.serial !== '' && this.grantedSerials.has(this.key(device)));
  }

  private list(): Listed[] {
    const text = this.sim.ccall('sim_devices', 'string', [], []) as string;
    const listed: Listed[] = [];
    for (const line of text.split('\n')) {
      if (!line) continue;
      const [path, vendorId, productId, usagePage, usage, serial, product] = line.split('\t');
      // Chromium withholds keyboards from pages.
      if (Number(usagePage) === 1 && Number(usage) === 6) continue;
      listed.push({ path, vendorId: Number(vendorId), productId: Number(productId),
        usagePage: Number(usagePage), usage: Number(usage), serial, product });
    }
    return listed;
  }

  private refresh(announce: boolean): void {
    const now = new Map<string, SimHidDevice>();
    for (const listed of this.list()) {
      now.set(listed.path, this.devices.get(listed.path) ?? new SimHidDevice(this, listed));
    }
    const gone = [...this.devices.values()].filter((d) => !now.has(d.path));
    const came = [...now.values()].filter((d) => !this.devices.has(d.path));
    this.devices = now;
    for (const device of gone) {
      void device.close();
      this.grantedDevices.delete(device);
      if (announce) this.announce('disconnect', device);
    }
    for (const device of came) {
      if (announce && this.granted(device)) this.announce('connect', device);
    }
  }

  private announce(type: string, device: SimHidDevice): void {
    const event = new Event(type) as Event & Record<string, unknown>;
    Object.assign(event, { device });
    this.dispatchEvent(event);
  }
}
