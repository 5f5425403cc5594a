import { expect, type Page } from '@playwright/test';

/** The demo with its fixed waits at `percent` of their length. */
export async function openDemo(page: Page, percent = 2): Promise<void> {
  await page.goto(`./?demo&waits=${percent}`);
  await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
}

/** Waits for the message box, checks its caption and whole text, and answers it. */
export async function answer(page: Page, text: string, caption: string, button = 'OK'): Promise<void> {
  const sheet = page.locator('#messageSheet');
  await expect(sheet).toBeVisible({ timeout: 15_000 });
  await expect(page.locator('#messageCaption')).toHaveText(caption, { useInnerText: false });
  expect(await page.locator('#messageText').getAttribute('data-text')).toBe(text);
  const shown = await sheet.getAttribute('data-shown');
  await sheet.getByRole('button', { name: button, exact: true }).click();
  // Answered: the box is gone, or shows the next message.
  await expect.poll(async () => (await sheet.isHidden()) || (await sheet.getAttribute('data-shown')) !== shown).toBe(true);
}

/** The commands the simulated encoder received, as "CC PP PP" lines, and forgets them. */
export async function commands(page: Page): Promise<string[]> {
  return page.evaluate(() => {
    const sim = (window as any).ovitoneSim;
    const text: string = sim.ccall('sim_commands', 'string', [], []);
    sim.ccall('sim_clear_commands', null, [], []);
    return text.split('\n').filter((line) => line !== '');
  });
}

export async function simState(page: Page): Promise<any> {
  return page.evaluate(() => JSON.parse((window as any).ovitoneSim.ccall('sim_state', 'string', [], [])));
}

/** Waits until no handler runs. */
export async function idle(page: Page): Promise<void> {
  await expect(page.locator('#busy')).toBeHidden();
}

export async function setFault(page: Page, label: string, on: boolean): Promise<void> {
  await page.locator('#demoPanel label', { hasText: label }).locator('input').setChecked(on);
}

export const StatusLines = (firmware: string, table: string, jack: string, serial: string) => [
  'Device Connected         Ovitone                                          Firmware Version  :   ' + firmware,
  'Code Table Loaded       ' + table + '                                        Jack Status            :   ' + jack,
  'Serial Number               ' + serial,
].join('\n');
