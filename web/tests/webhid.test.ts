import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = fileURLToPath(new URL('.', import.meta.url));
import { expect, test } from '@playwright/test';
import { StatusLines, answer, commands, idle, simState } from './helpers';

test.describe('the page on navigator.hid', () => {
  test.beforeEach(async ({ page }) => {
    await page.addInitScript({ path: join(here, 'fake-hid.js') });
  });

  test('a first visit asks to connect; the picker grants the encoder; status and settings go through the bridge', async ({ page }) => {
    await page.goto('./?waits=2');
    await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
    // Nothing granted yet: no message, the page says how to connect.
    await expect(page.locator('#messageSheet')).toBeHidden();
    await expect(page.locator('#connect')).toBeVisible();
    await expect(page.locator('#statusPanel')).toContainText('Device Connected   -    None');
    await page.click('#scan');
    await idle(page);
    await expect(page.locator('#connect')).toBeHidden();
    await expect(page.locator('#statusPanel')).toHaveText(StatusLines('V1.2.7', 'Default      ', 'Jack OUT', 'OV000123'), { useInnerText: false });
    await commands(page);
    await page.selectOption('#jackLed', { label: 'JACK LED Brightness - 8' });
    await idle(page);
    expect(await commands(page)).toEqual(['02 01 08']);

  });

  test('a unit without a serial number loses its grant when it restarts; the next scan asks for it again', async ({ page }) => {
    await page.goto('./');
    await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
    await page.evaluate(() => (window as any).ovitoneSim.ccall('sim_set_serial', null, ['string'], ['']));
    await page.click('#scan');
    await idle(page);
    await expect(page.locator('#statusPanel')).toContainText('Serial Number                No Serial Number');
    await page.click('#factoryReset');
    await answer(page, 'Orvane Ovitone  not connected..\n', 'Orvane Ovitone ');
    await idle(page);
    await expect(page.locator('#saveChanges')).toBeDisabled();
    await page.click('#scan');
    await idle(page);
    await expect(page.locator('#saveChanges')).toBeEnabled();
    expect((await simState(page)).place).toBe('firmware');
  });
});

test('a real unit without the RAM loader image is sent nothing, and the message says where to choose it', async ({ page }) => {
  await page.addInitScript(() => { (window as any).ovitoneRealUnits = true; });
  await page.addInitScript({ path: join(here, 'fake-hid.js') });
  await page.goto('./?waits=2');
  await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
  await expect(page.locator('#ramLoader')).toBeVisible();
  await page.click('#scan');
  await idle(page);
  await commands(page);
  await page.click('#upgrade');
  await answer(page, 'Are you sure you want to upgrade the firmware?', 'Firmware Upgrade', 'Yes');
  await expect(page.locator('#messageText')).toContainText('with RAM Loader Image at the top of the page');
  expect(await page.locator('#messageText').getAttribute('data-text')).toMatch(/ Nothing was sent\.\n$/);
  await page.locator('#messageSheet').getByRole('button', { name: 'OK' }).click();
  await expect(page.locator('#upgradeSheet')).toBeHidden();
  expect(await commands(page)).toEqual([]);
  expect((await simState(page)).place).toBe('firmware');
});

test('a browser without WebHID gets a clear message, not a broken page', async ({ page }) => {
  await page.addInitScript(() => { delete (Navigator.prototype as any).hid; });
  await page.goto('./');
  await expect(page.locator('#unsupported')).toBeVisible();
  await expect(page.locator('#unsupported')).toContainText('Google Chrome, Microsoft Edge and Opera on Windows, macOS, Linux and ChromeOS');
  await expect(page.locator('#mainCard')).toBeHidden();
});

test('the page installs as an app and, once loaded, works without a network', async ({ page, context }) => {
  await page.goto('./?demo&waits=2');
  await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
  await page.evaluate(async () => { await navigator.serviceWorker.ready; });
  // The browser would offer to install it (the tests' profile is an incognito one).
  const cdp = await context.newCDPSession(page);
  const { installabilityErrors } = await cdp.send('Page.getInstallabilityErrors');
  expect(installabilityErrors.filter((e) => e.errorId !== 'in-incognito')).toEqual([]);
  await context.setOffline(true);
  await page.reload();
  await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
  await expect(page.locator('#statusPanel')).toContainText('Device Connected         Ovitone');
});
