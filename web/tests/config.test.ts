import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { expect, test, type Page } from '@playwright/test';
import { answer, commands, idle, openDemo, setFault } from './helpers';

// The desktop's command line against its own simulated encoder, when it has been built.
const cliDemo = process.env.OVITONE_CLI_DEMO;

async function exported(page: Page): Promise<string> {
  const download = page.waitForEvent('download');
  await page.click('#exportCfg');
  const file = await download;
  expect(file.suggestedFilename()).toBe('USBOvitoneUtilityCfg.ini');
  return readFileSync(await file.path(), 'latin1');
}

async function importFile(page: Page, name: string, text: string): Promise<void> {
  await page.locator('#importFile').setInputFiles({ name, mimeType: 'text/plain', buffer: Buffer.from(text, 'latin1') });
}

test('Save Changes writes the file the desktop writes, which survives a reload and the desktop reads back', async ({ page }) => {
  await openDemo(page);
  await commands(page);
  await page.click('#saveChanges');
  await idle(page);
  expect(await commands(page)).toEqual(['09', '01']);
  const saved = await exported(page);
  expect(saved).toBe([' [appSettings]', ' SerialNumber=OV000123', ' FirmwareVersion=V1.2.7',
    ' CodeTableValues=0,128,0,129,0,104,0,105,', ' JackLedBrightness=6', ' VolumeLedBrightness=6',
    ' KeypadLayout=0', ' FirstUp=Yes', ''].join('\n'));
  if (cliDemo) {
    // The desktop's command line, on a fresh encoder at the same factory settings, writes
    // the same bytes, and takes the page's file as its input.
    const folder = mkdtempSync(join(tmpdir(), 'ovitone-web-'));
    const env = { ...process.env, XDG_DATA_HOME: folder, HOME: folder };
    execFileSync(cliDemo, ['export-config', join(folder, 'desktop.ini')], { env });
    expect(readFileSync(join(folder, 'desktop.ini'), 'latin1')).toBe(saved);
    writeFileSync(join(folder, 'USBOvitoneUtilityCfg.ini'), saved, 'latin1');
    execFileSync(cliDemo, ['apply-config', join(folder, 'USBOvitoneUtilityCfg.ini')], { env });
  }
  await page.reload();
  await expect(page.locator('body')).toHaveAttribute('data-ready', '1');
  expect(await exported(page)).toBe(saved);
});

test('import checks the name and the keys first; Reset From Configuration File sends what the file holds', async ({ page }) => {
  await openDemo(page);
  // Nothing was ever saved: the reset does nothing.
  await commands(page);
  await page.click('#resetFromConfig');
  await idle(page);
  expect(await commands(page)).toEqual([]);

  const good = [' [appSettings]', ' SerialNumber=OV000123', ' FirmwareVersion=V1.2.7',
    ' CodeTableValues=2,30,0,31,0,40,0,41,', ' JackLedBrightness=4', ' VolumeLedBrightness=5',
    ' KeypadLayout=2', ' FirstUp=Yes', ''].join('\n');
  await importFile(page, 'usbovitoneutilitycfg.ini', good);
  await answer(page, 'Incorrect Filename.\n', 'Orvane Ovitone ');
  await importFile(page, 'USBOvitoneUtilityCfg.ini', good.replace(' SerialNumber=OV000123\n', ''));
  await answer(page, 'File is incorrect format.\n', 'Orvane Ovitone ');
  await importFile(page, 'USBOvitoneUtilityCfg.ini', ' [appSettings\n FirstUp=Yes\n');
  await answer(page, 'Exception :Failed to copy the new file.\n', 'Orvane Ovitone ');
  // None of these replaced the file.
  expect(await exported(page)).not.toContain('FirstUp=Yes');

  await importFile(page, 'USBOvitoneUtilityCfg.ini', good);
  await idle(page);
  expect(await exported(page)).toBe(good);
  expect(await commands(page)).toEqual([]);
  await page.click('#resetFromConfig');
  await idle(page);
  expect(await commands(page)).toEqual(['07 02', '05 02 1E 00 1F 00 28 00 29', '02 00 05', '02 01 04', '01']);
  await expect(page.locator('#jackLed option:checked')).toHaveText('JACK LED Brightness - 4');

  // A value that is not a number stops the reset before anything is sent.
  await importFile(page, 'USBOvitoneUtilityCfg.ini', good.replace('VolumeLedBrightness=5', 'VolumeLedBrightness=five'));
  await idle(page);
  await page.click('#resetFromConfig');
  await expect(page.locator('#messageText')).toContainText('VolumeLedBrightness');
  await page.locator('#messageSheet').getByRole('button', { name: 'OK' }).click();
  expect(await commands(page)).toEqual([]);

  // A refused command says which one and stops there.
  await importFile(page, 'USBOvitoneUtilityCfg.ini', good);
  await idle(page);
  await setFault(page, 'Refuse commands', true);
  await page.click('#resetFromConfig');
  await answer(page, 'Unable to set Keypad Type..\n', 'Orvane Ovitone ');
  expect(await commands(page)).toEqual(['07 02']);
});
