import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = fileURLToPath(new URL('.', import.meta.url));
import { expect, test, type Page } from '@playwright/test';
import { answer, idle, openDemo, simState } from './helpers';

const sample = join(here, '..', '..', 'resources', 'firmware', 'sample_firmware_v1.3.0.txt');

/** Lets the page reach the loader each time it restarts, until the log shows `ending`. */
async function runUntil(page: Page, ending: string, allow = true): Promise<void> {
  await expect.poll(async () => {
    if (await page.locator('#grantSheet').isVisible()) await page.click(allow ? '#grantAllow' : '#grantSkip');
    return (await page.locator('#upgradeLog').textContent())?.includes(ending);
  }, { timeout: 50_000, intervals: [200] }).toBe(true);
}

async function startUpgrade(page: Page): Promise<void> {
  await page.click('#upgrade');
  await answer(page, 'Are you sure you want to upgrade the firmware?', 'Firmware Upgrade', 'Yes');
  await expect(page.locator('#upgradeSheet')).toBeVisible();
  await page.locator('#firmwareFile').setInputFiles({ name: 'sample_firmware_v1.3.0.txt', mimeType: 'text/plain', buffer: readFileSync(sample) });
  await expect(page.locator('#firmwareName')).toHaveText('sample_firmware_v1.3.0.txt');
  // The loader is a new USB device: the page may use it once the user allows it.
  await expect.poll(async () => (await simState(page)).place).toBe('loader');
  await page.click('#grantLoader');
  await expect(page.locator('#deviceCount')).toHaveText('Found 1 device');
}

test('an upgrade to the end: programmed, verified, reset, and the settings back in their unit', async ({ page }) => {
  // The loader and the encoder take their real time to restart: no wait is shortened.
  await openDemo(page, 100);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 2' });
  await idle(page);
  await startUpgrade(page);
  await page.click('#runUpgrade');
  await runUntil(page, 'Upgrade complete');
  // The loader restarted once, with the RAM loader in it: the page asked for it again.
  await idle(page);
  const log = await page.locator('#upgradeLog').textContent();
  expect(log).toMatch(/^Starting\n/);
  expect(log).toMatch(/Upgrade complete: the encoder runs firmware [^\n]*1\.3\.0[^\n]*, and its settings were restored\.\n$/);
  await expect(page.locator('#progress')).toHaveJSProperty('value', 100);
  expect(await simState(page)).toMatchObject({ place: 'firmware', volumeLed: 2, serial: 'OV000123' });
  await expect(page.locator('#statusPanel')).toContainText('1.3.0');
  await page.click('#upgradeClose');
  await answer(page, 'Please Click on Scan for.\n', 'Orvane Ovitone');
  await expect(page.locator('#upgradeSheet')).toBeHidden();
});

test('the unit unplugged half-way: the ending says where it is, its settings are kept, and the next upgrade restores them', async ({ page }) => {
  await openDemo(page, 100);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 4' });
  await idle(page);
  await startUpgrade(page);
  await page.click('#runUpgrade');
  // Half-way: the RAM loader runs in the unit, which restarted as a new USB device, and
  // the page asks for it; nothing of the new firmware is written yet.
  await expect(page.locator('#grantSheet')).toBeVisible({ timeout: 30_000 });
  await expect(page.locator('#upgradeLog')).toContainText('Done RAM BSL');
  await page.locator('#demoPanel').getByRole('button', { name: 'Unplug' }).click();
  await runUntil(page, 'The upgrade did not finish, and the encoder is no longer on the USB bus. Plug it in again', false);
  await expect(page.locator('#upgradeLog')).toContainText('The settings of serial number OV000123');
  await expect(page.locator('#upgradeLog')).toContainText('are safe; the next upgrade of this unit will restore them.');
  await expect(page.locator('#upgradeLog')).not.toContainText('Upgrade complete');
  await idle(page);
  await page.click('#upgradeClose');
  await answer(page, 'The encoder is not on the USB bus. Plug it in again, then click Scan For Device in the main window.\n', 'Orvane Ovitone');

  // Plugged in again it starts its old firmware; the next upgrade puts back the settings
  // kept in the browser's storage before the first one.
  await page.locator('#demoPanel').getByRole('button', { name: 'Replug' }).click();
  await page.click('#scan');
  await idle(page);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 9' });
  await idle(page);
  await startUpgrade(page);
  await page.click('#runUpgrade');
  await runUntil(page, 'Upgrade complete');
  await expect(page.locator('#upgradeLog')).toContainText('The settings kept before an earlier upgrade of this unit will be restored');
  expect(await simState(page)).toMatchObject({ place: 'firmware', volumeLed: 4 });
});
