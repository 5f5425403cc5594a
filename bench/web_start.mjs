// How soon the browser page's demo shows an interactive status panel after the page
// starts loading, and how big the page is, each next to its budget (1 s, 1 MB) and
// measured in this one run: Debian's Chromium, headless, the page served from
// web/dist on 127.0.0.1. Run through tools/web.sh --bench (it builds the page first).
import { spawn } from 'node:child_process';
import { readdirSync, statSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from '../web/node_modules/playwright-core/index.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const dist = join(here, '..', 'web', 'dist');
const port = 8131;
const loads = 12;

let page = 0;
let all = 0;
const walk = (dir) => {
  for (const name of readdirSync(dir)) {
    const path = join(dir, name);
    if (statSync(path).isDirectory()) { walk(path); continue; }
    all += statSync(path).size;
    if (/\.(html|m?js|css|wasm)$/.test(name)) page += statSync(path).size;
  }
};
walk(dist);

const server = spawn('node', [join(here, '..', 'web', 'serve.mjs'), '--port', String(port), '--dir', dist], { stdio: ['ignore', 'pipe', 'inherit'] });
await new Promise((resolve) => server.stdout.once('data', resolve));
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const measure = async (cold) => {
  // A new context each time: nothing cached, no service worker (cold), or the second
  // load in the same context (warm: the browser's cache and the service worker).
  const context = await browser.newContext();
  const tab = await context.newPage();
  const url = `http://127.0.0.1:${port}/?demo`;
  await tab.goto(url);
  if (!cold) {
    await tab.waitForSelector('body[data-ready="1"]');
    await tab.evaluate(async () => { await navigator.serviceWorker.ready; });
    await tab.goto(url);
  }
  await tab.waitForSelector('body[data-ready="1"]');
  const ms = await tab.evaluate(() => window.ovitoneReadyMs);
  await context.close();
  return ms;
};
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const cold = [];
const warm = [];
for (let i = 0; i < loads; i++) {
  cold.push(await measure(true));
  warm.push(await measure(false));
}
await browser.close();
server.kill();

const line = (name, value, budget, unit) =>
  console.log(`${name.padEnd(44)} ${value.toFixed(0).padStart(8)} ${unit}   ${(value / budget).toFixed(2)} of the budget (${budget} ${unit})`);
console.log(`Browser page, demo, ${loads} loads each (median), Chromium headless on this machine:`);
line('status panel interactive, first visit', median(cold), 1000, 'ms');
line('status panel interactive, next visit', median(warm), 1000, 'ms');
line('page: HTML, JS, CSS, WebAssembly', page, 1048576, 'bytes');
console.log(`${'with the pictures, the test sound, the icons'.padEnd(44)} ${String(all).padStart(8)} bytes`);
console.log(`next visit / first visit: ${(median(warm) / median(cold)).toFixed(2)}`);
