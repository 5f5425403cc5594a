import { expect, test } from '@playwright/test';
import { answer, commands, idle, openDemo, setFault } from './helpers';

test('the editor opens only on the customised table and sends exactly the edited table', async ({ page }) => {
  await openDemo(page);
  await page.click('#customise');
  await answer(page, 'Please select a customise table..\n', 'Orvane Ovitone ');
  await expect(page.locator('#editor')).toBeHidden();

  await page.selectOption('#keypadType', { label: 'Customise' });
  await idle(page);
  await page.click('#customise');
  await expect(page.locator('#editor')).toBeVisible();
  // The factory table: the volume media keys and F13, F14 on the jack.
  await expect(page.locator('#key7')).toHaveText('Vol Up 0x80');
  await expect(page.locator('#key8')).toHaveText('Vol Down 0x81');
  await expect(page.locator('#key9')).toHaveText('Jack IN  0x68', { useInnerText: false });
  await expect(page.locator('#key10')).toHaveText('Jack OUT  0x69', { useInnerText: false });
  await expect(page.locator('#mod7')).toHaveText(' None', { useInnerText: false });

  // Two keys at once get one code; the modifier list works on its own selection.
  await page.click('#key7');
  await page.click('#key10');
  await expect(page.locator('#selectCode')).toBeVisible();
  await page.selectOption('#selectCode', { index: 0x28 + 1 });
  await expect(page.locator('#key7')).toHaveText('0x28');
  await expect(page.locator('#key10')).toHaveText('0x28');
  await expect(page.locator('#key7')).toHaveClass(/edited/);
  await page.click('#mod8');
  await page.selectOption('#selectModifier', { label: 'Right Shift' });
  await commands(page);

  await setFault(page, 'Refuse commands', true);
  await page.click('#editorApply');
  await answer(page, 'Unable to Load Table..\n', 'Orvane Ovitone');
  await expect(page.locator('#editor')).toBeVisible();
  await setFault(page, 'Refuse commands', false);
  await page.click('#editorApply');
  await idle(page);
  await expect(page.locator('#editor')).toBeHidden();
  // A failed Apply and the next one send the same eight bytes.
  expect(await commands(page)).toEqual(['05 00 28 E5 81 00 68 00 28', '05 00 28 E5 81 00 68 00 28']);

  // Reset brings back what the editor opened with; Close sends nothing.
  await page.click('#customise');
  await page.click('#key9');
  await page.selectOption('#selectCode', { index: 0x04 + 1 });
  await page.click('#editorReset');
  await expect(page.locator('#key9')).toHaveText('Jack IN  0x68', { useInnerText: false });
  await expect(page.locator('#key9')).not.toHaveClass(/edited/);
  await page.click('#editorClose');
  expect(await commands(page)).toEqual(['01']);
});
