import { expect, test } from '@playwright/test';
import { StatusLines, answer, commands, idle, openDemo, setFault, simState } from './helpers';

test('the status panel, each setting sent at once, and each refusal putting its list back', async ({ page }) => {
  await openDemo(page);
  await expect(page.locator('#statusPanel')).toHaveText(StatusLines('V1.2.7', 'Default      ', 'Jack OUT', 'OV000123'), { useInnerText: false });
  await expect(page.locator('#volumeLed option:checked')).toHaveText('Volume LED Brightness - 6');
  await commands(page);

  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 3' });
  await idle(page);
  await page.selectOption('#jackLed', { label: 'JACK LED Brightness - 7' });
  await idle(page);
  await page.selectOption('#keypadType', { label: 'Alternate   ' });
  await idle(page);
  expect(await commands(page)).toEqual(['02 00 03', '02 01 07', '07 01']);
  expect(await simState(page)).toMatchObject({ volumeLed: 3, jackLed: 7, keypadType: 1 });
  await expect(page.locator('#statusPanel')).toHaveClass(/centred/);
  await expect(page.locator('#statusPanel')).toContainText('Code Table Loaded       Alternate   ');

  await setFault(page, 'Refuse commands', true);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 9' });
  await answer(page, 'Unable to set the VOLUME LED Brightness..\n', 'Orvane Ovitone ');
  await expect(page.locator('#volumeLed option:checked')).toHaveText('Volume LED Brightness - 3');
  await page.selectOption('#jackLed', { label: 'JACK LED Brightness - 1' });
  await answer(page, 'Unable to set the JACK LED Brightness..\n', 'Orvane Ovitone ');
  await expect(page.locator('#jackLed option:checked')).toHaveText('JACK LED Brightness - 7');
  await page.selectOption('#keypadType', { label: 'Customise' });
  await answer(page, 'Unable to set Keypad Type..\n', 'Orvane Ovitone ');
  await expect(page.locator('#keypadType option:checked')).toHaveText('Alternate   ');
  // One command per refusal: putting the list back sends nothing.
  expect(await commands(page)).toEqual(['02 00 09', '02 01 01', '07 02']);
  await setFault(page, 'Refuse commands', false);
});

test('an unplugged encoder: the scan says so and keeps the old lines; the factory reset finds it again', async ({ page }) => {
  // The encoder takes its real time to restart: the page's wait is not shortened here.
  await openDemo(page, 100);
  await page.locator('#demoPanel').getByRole('button', { name: 'Unplug' }).click();
  await page.click('#scan');
  await answer(page, 'Orvane Ovitone  not connected..\n', 'Orvane Ovitone ');
  await idle(page);
  await expect(page.locator('#statusPanel')).toHaveText([
    'Device Connected   -    None                                        Firmware Version        -   None',
    'Code Table Loaded       Default                                              Jack Status            :   Jack OUT',
    'Serial Number               OV000123'].join('\n'), { useInnerText: false });
  await expect(page.locator('#saveChanges')).toBeDisabled();
  await expect(page.locator('#jackLed option:checked')).toHaveText('Jack LED Brightness');

  await page.locator('#demoPanel').getByRole('button', { name: 'Replug' }).click();
  await page.click('#scan');
  await idle(page);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 2' });
  await idle(page);
  await commands(page);
  await page.click('#factoryReset');
  await idle(page);
  // The encoder restarts as a new USB device with its serial number: the grant holds.
  expect(await commands(page)).toEqual(['0A', '01']);
  await expect(page.locator('#volumeLed option:checked')).toHaveText('Volume LED Brightness - 6');
  await expect(page.locator('#saveChanges')).toBeEnabled();
});

test('a reply that never comes, the encoder dropping off mid-exchange and a refused open end in messages, not a hang', async ({ page }) => {
  await openDemo(page);
  // The 5 s time-out runs on the page's clock, through the bridge's waits.
  await setFault(page, 'No answer', true);
  await page.selectOption('#jackLed', { label: 'JACK LED Brightness - 2' });
  await answer(page, 'Unable to set the JACK LED Brightness..\n', 'Orvane Ovitone ');
  await expect(page.locator('#jackLed option:checked')).toHaveText('JACK LED Brightness - 6');
  await setFault(page, 'No answer', false);
  await setFault(page, 'Drop off the bus', true);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 4' });
  await answer(page, 'Unable to set the VOLUME LED Brightness..\n', 'Orvane Ovitone ');
  await expect(page.locator('#volumeLed option:checked')).toHaveText('Volume LED Brightness - 6');
  await setFault(page, 'Drop off the bus', false);
  await page.locator('#demoPanel').getByRole('button', { name: 'Replug' }).click();
  await page.click('#scan');
  await idle(page);
  await expect(page.locator('#statusPanel')).toContainText('Device Connected         Ovitone');

  await setFault(page, 'Access denied', true);
  await page.click('#scan');
  const sheet = page.locator('#messageText');
  await expect(sheet).toContainText('the browser may not open it');
  expect(await sheet.getAttribute('data-text')).toMatch(/^Orvane Ovitone {2}not connected\.\.\nThe encoder is on the USB bus but the browser may not open it\./);
  await page.locator('#messageSheet').getByRole('button', { name: 'OK' }).click();
});

test('garbled, oversized, acknowledged and duplicated replies: the bridge and the transport keep each reply to its request', async ({ page }) => {
  await openDemo(page);
  // A reply with a bad checksum or a size byte past the report is refused; the encoder
  // carried the command out, but the page cannot know it and says so.
  for (const [fault, level] of [['Corrupt checksum', 1], ['Oversized reply', 2]] as const) {
    await setFault(page, fault, true);
    await page.selectOption('#volumeLed', { label: `Volume LED Brightness - ${level}` });
    await answer(page, 'Unable to set the VOLUME LED Brightness..\n', 'Orvane Ovitone ');
    await expect(page.locator('#volumeLed option:checked')).toHaveText('Volume LED Brightness - 6');
    await setFault(page, fault, false);
  }
  // Acknowledgements before the reply only mean "still working".
  await setFault(page, 'Acknowledge first', true);
  await page.selectOption('#volumeLed', { label: 'Volume LED Brightness - 3' });
  await idle(page);
  await expect(page.locator('#messageSheet')).toBeHidden();
  await setFault(page, 'Acknowledge first', false);
  // A reply sent twice: the second copy waits in the bridge's queue and must not be
  // taken for the answer to the next request.
  await page.evaluate(() => (window as any).ovitoneSim.ccall('sim_fault', null, ['number', 'number'], [6, 1]));
  await page.selectOption('#jackLed', { label: 'JACK LED Brightness - 5' });
  await idle(page);
  await page.evaluate(() => (window as any).ovitoneSim.ccall('sim_fault', null, ['number', 'number'], [6, 0]));
  await page.click('#scan');
  await idle(page);
  await expect(page.locator('#jackLed option:checked')).toHaveText('JACK LED Brightness - 5');
  await expect(page.locator('#statusPanel')).toContainText('Firmware Version  :   V1.2.7');
  expect(await simState(page)).toMatchObject({ volumeLed: 3, jackLed: 5 });
});
