// Before the page loads: navigator.hid becomes a stand-in that forwards every report to
// the simulated encoder and loader in WebAssembly, so that the page's own WebHID bridge
// runs as it would with a unit. The page is told the devices are simulated (the upgrade
// then sends the stand-in RAM loader), and nothing else; with window.ovitoneRealUnits
// set first, not even that: the page then treats them as real units.
(() => {
  window.ovitoneSimulatedHid = !window.ovitoneRealUnits;
  const proxy = new EventTarget();
  const ready = (async () => {
    const { default: create } = await import('/ovitone-sim.mjs');
    const { SimHid } = await import('/sim-hid.js');
    const sim = await create();
    sim.ccall('sim_setup', null, ['number'], [2]);
    window.ovitoneSim = sim;
    const hid = new SimHid(sim);
    for (const type of ['connect', 'disconnect']) {
      hid.addEventListener(type, (event) => {
        const copy = new Event(type);
        copy.device = event.device;
        proxy.dispatchEvent(copy);
      });
    }
    return hid;
  })();
  proxy.getDevices = async () => (await ready).getDevices();
  proxy.requestDevice = async (options) => (await ready).requestDevice(options);
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => proxy, configurable: true });
})();
