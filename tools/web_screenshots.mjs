// Takes the README's screenshots of the browser page (docs/web-*.png): the demo in
// Debian's Chromium, headless. Run after tools/web.sh --build:
//   node tools/web_screenshots.mjs
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from '../web/node_modules/playwright-core/index.mjs';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const port = 8132;
const base = `http://127.0.0.1:${port}/`;
const server = spawn('node', [join(root, 'web', 'serve.mjs'), '--port', String(port)], { stdio: ['ignore', 'pipe', 'inherit'] });
await new Promise((resolve) => server.stdout.once('data', resolve));
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const page = await browser.newPage({ viewport: { width: 1280, height: 760 }, deviceScaleFactor: 1 });
const shot = (name) => page.screenshot({ path: join(root, 'docs', `web-${name}.png`) });
const idle = () => page.waitForSelector('#busy', { state: 'hidden' });
const ok = async () => { await page.click('#messageSheet button.primary'); };

await page.goto(base + '?demo&waits=10');
await page.waitForSelector('body[data-ready="1"]');
await page.selectOption('#keypadType', { label: 'Customise' });
await idle();
await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 4' });
await idle();
await shot('main');

await page.click('#customise');
await page.click('#key7');
await page.selectOption('#selectCode', { index: 0x28 + 1 });
await page.click('#mod8');
await shot('editor');
await page.click('#editorClose');

await page.click('#selfTest');
await page.click('#messageSheet button:text-is("No")');
await page.waitForSelector('#messageText:text-is("Press each key  on Ovitone...")', { timeout: 20000 }).catch(() => {});
await ok();
await page.click('#demoPanel button:text-is("Vol Up")');
await page.click('#demoPanel button:text-is("Jack IN")');
await shot('self-test');
await page.click('#selfTestClose');
await idle();

await page.click('#upgrade');
await page.click('#messageSheet button:text-is("Yes")');
await page.locator('#firmwareFile').setInputFiles({ name: 'sample_firmware_v1.3.0.txt', mimeType: 'text/plain',
  buffer: readFileSync(join(root, 'resources', 'firmware', 'sample_firmware_v1.3.0.txt')) });
await page.waitForTimeout(1500);
await page.click('#grantLoader');
await page.click('#runUpgrade');
for (let i = 0; i < 200; i++) {
  if (await page.locator('#grantSheet').isVisible()) await page.click('#grantAllow');
  if ((await page.locator('#upgradeLog').textContent()).includes('Upgrade complete')) break;
  await page.waitForTimeout(200);
}
await idle();
await shot('upgrade');

// A first visit with a browser that has WebHID but no device granted yet.
const fresh = await browser.newPage({ viewport: { width: 1280, height: 560 } });
await fresh.addInitScript({ path: join(root, 'web', 'tests', 'fake-hid.js') });
await fresh.goto(base);
await fresh.waitForSelector('body[data-ready="1"]');
await fresh.screenshot({ path: join(root, 'docs', 'web-connect.png') });

await browser.close();
server.kill();
console.log('docs/web-main.png, web-editor.png, web-self-test.png, web-upgrade.png, web-connect.png');
