import { expect, test } from '@playwright/test';
import { answer, commands, idle, openDemo, simState } from './helpers';

test('the self test blinks and sweeps the LEDs, sees the four keys as F13 to F16 and puts everything back', async ({ page }) => {
  await openDemo(page);
  await page.selectOption('#keypadType', { label: 'Alternate   ' });
  await idle(page);
  await commands(page);
  await page.click('#selfTest');
  await answer(page, 'Does Ovitone have microphone support?\n', 'OrvaneOvitoneUtility', 'Yes');
  await expect(page.locator('#messageText')).toContainText('USB Advanced Audio device');
  await page.locator('#messageSheet').getByRole('button', { name: 'OK' }).click();
  await expect(page.locator('#selfTestSheet')).toBeVisible();
  await expect(page.locator('#record')).toBeVisible();

  await answer(page, 'Press each key  on Ovitone... ', ' Ovitone Message ');
  // This machine has no microphone: recording is refused with the windows' message.
  await page.click('#record');
  await answer(page, "This device doesn't record.\n", 'Orvane Ovitone');
  await expect(page.locator('#record')).toHaveText('Record');
  await expect(page.locator('#ledCheck')).toBeChecked();
  await expect(page.locator('#brightnessCheck')).toBeChecked();
  await expect(page.locator('#ledLevel')).toHaveText('9');
  // Code table 0 types the keys as F13 to F16; each is marked once.
  await expect.poll(async () => (await simState(page)).keypadType).toBe(0);
  for (const [key, mark] of [['Vol Up', '#mark0'], ['Vol Down', '#mark1'], ['Jack IN', '#mark2'], ['Vol Up', '#mark0']]) {
    await page.locator('#demoPanel').getByRole('button', { name: key, exact: true }).click();
    await expect(page.locator(mark)).toHaveClass(/seen/);
  }
  await expect(page.locator('#mark3')).not.toHaveClass(/seen/);
  await page.locator('#demoPanel').getByRole('button', { name: 'Jack OUT' }).click();
  await expect(page.locator('#mark3')).toHaveClass(/seen/);

  await page.click('#selfTestClose');
  await expect(page.locator('#selfTestSheet')).toBeHidden();
  await idle(page);
  const sent = await commands(page);
  // Four blinks, the sweep 0..9, both off, back to the levels read, table 0; then the
  // table and the levels the encoder had.
  const blink = ['02 00 00', '02 01 00', '02 00 08', '02 01 08'];
  const sweep = [...Array(10).keys()].flatMap((l) => [`02 00 0${l}`, `02 01 0${l}`]);
  expect(sent).toEqual(['01', '01', ...blink, ...blink, ...blink, ...blink, '02 00 00', '02 01 00',
    ...sweep, '02 00 00', '02 01 00', '02 00 06', '02 01 06', '07 00', '07 01', '02 00 06', '02 01 06']);
  expect(await simState(page)).toMatchObject({ keypadType: 1, volumeLed: 6, jackLed: 6 });
});
