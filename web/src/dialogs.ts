// The system's message box, as a page dialog: the caption, the text, the icon and the
// buttons the handler asked for; the promise settles with the user's answer.

const $ = <T extends HTMLElement>(id: string) => document.getElementById(id) as T;

let chain: Promise<unknown> = Promise.resolve();
let shownCount = 0;

/** buttons: 0 OK, 1 Yes and No. icon: 0 warning, 1 question, 2 none. Resolves 1 for OK or Yes, 0 for No. */
export function showMessage(text: string, caption: string, buttons: number, icon: number): Promise<number> {
  const shown = chain.then(() => new Promise<number>((resolve) => {
    const sheet = $('messageSheet');
    $('messageCaption').textContent = caption;
    // The texts end in a line break, as the desktop's do; the box does not show it.
    $('messageText').textContent = text.replace(/\r/g, '').replace(/\n$/, '');
    $('messageText').dataset.text = text;
    const iconBox = $('messageIcon');
    iconBox.className = 'icon ' + (icon === 0 ? 'warning' : icon === 1 ? 'question' : 'none');
    iconBox.textContent = icon === 0 ? '!' : icon === 1 ? '?' : '';
    const row = $('messageButtons');
    row.replaceChildren();
    const answer = (value: number) => () => {
      sheet.hidden = true;
      document.removeEventListener('keydown', onKey, true);
      resolve(value);
    };
    const add = (label: string, value: number, primary: boolean) => {
      const button = document.createElement('button');
      button.textContent = label;
      if (primary) button.className = 'primary';
      button.addEventListener('click', answer(value));
      row.append(button);
      return button;
    };
    const first = buttons === 1 ? add('Yes', 1, true) : add('OK', 1, true);
    if (buttons === 1) add('No', 0, false);
    const onKey = (event: KeyboardEvent) => {
      if (event.key === 'Escape') {
        event.preventDefault();
        answer(buttons === 1 ? 0 : 1)();
      }
    };
    document.addEventListener('keydown', onKey, true);
    sheet.dataset.shown = String(++shownCount);
    sheet.hidden = false;
    first.focus();
  }));
  chain = shown;
  return shown;
}
