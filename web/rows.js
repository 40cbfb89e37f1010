// One row of the upload page per file: its name and size, a progress bar
// with bytes sent, speed and time left, the outcome as a sentence with the
// code in small print, the settings it was sent with, and its buttons.
import { button, element, formatDuration, formatSize } from './format.js';

export const kPolicyNames = { makeunique: 'Keep both', overwrite: 'Replace', error: 'Refuse' };

export function buildRow(upload) {
  const node = element('li', 'upload-row');
  node.dataset.id = String(upload.id);
  const head = element('div', 'row-head');
  const name = element('span', 'row-name', upload.file.name);
  const size = element('span', 'row-size', formatSize(upload.file.size));
  head.append(name, size);
  const bar = element('div', 'progress');
  bar.setAttribute('role', 'progressbar');
  bar.setAttribute('aria-label', `Upload of ${upload.file.name}`);
  bar.setAttribute('aria-valuemin', '0');
  bar.setAttribute('aria-valuemax', '100');
  bar.setAttribute('aria-valuenow', '0');
  const track = element('div', 'progress-track');
  const fill = element('div', 'progress-fill');
  track.append(fill);
  bar.append(track);
  const stats = element('div', 'row-stats');
  const warning = element('p', 'row-warning');
  const message = element('p', 'row-message');
  const code = element('small', 'row-code');
  const settings = element('p', 'row-settings');
  const actions = element('div', 'row-actions');
  node.append(head, bar, stats, warning, message, code, settings, actions);
  if (upload.file.size === 0) {
    warning.textContent = `${upload.file.name} is empty (0 bytes). It will be stored as an empty file.`;
  } else {
    warning.hidden = true;
  }
  return { node, bar, fill, stats, warning, message, code, settings, actions };
}

export function setBar(upload, percent) {
  const value = Math.max(0, Math.min(100, Math.round(percent)));
  upload.row.bar.setAttribute('aria-valuenow', String(value));
  upload.row.fill.style.width = `${value}%`;
}

// Shows `upload`'s state, outcome, settings and buttons; `handlers` has
// the functions the buttons call: remove, cancel, retry(policy), pause, resume.
export function renderRow(upload, handlers) {
  const { node, stats, message, code, settings, actions } = upload.row;
  const { remove, cancel, retry, pause, resume } = handlers;
  node.dataset.state = upload.state;
  node.classList.toggle('ok', upload.state === 'stored');
  node.classList.toggle('failed', ['failed', 'refused', 'cancelled'].includes(upload.state));
  if (upload.state === 'ready') stats.textContent = 'Ready: press Upload to send.';
  if (upload.state === 'queued') stats.textContent = 'Waiting for a free slot…';
  if (upload.outcome) {
    message.textContent = upload.outcome.text;
    code.textContent = upload.outcome.code;
  } else {
    message.textContent = '';
    code.textContent = '';
  }
  message.hidden = !upload.outcome;
  code.hidden = !upload.outcome;
  if (upload.policy) {
    const parts = [`If the name exists: ${kPolicyNames[upload.policy] || upload.policy}`];
    const comment = upload.answerComment !== undefined ? upload.answerComment : upload.comment;
    if (comment) parts.push(`Comment: ${comment}`);
    settings.textContent = parts.join(' · ');
    settings.hidden = false;
  } else {
    settings.hidden = true;
  }

  const name = upload.file.name;
  const buttons = [];
  if (upload.state === 'ready') {
    buttons.push(button('Remove', '', `Remove ${name}`, () => remove(upload)));
  } else if (upload.state === 'queued' || upload.state === 'uploading') {
    // A resumable upload under way can stop and go on later.
    if (upload.state === 'uploading' && upload.resumable) {
      buttons.push(button('Pause', '', `Pause upload of ${name}`, () => pause(upload)));
    }
    buttons.push(button('Cancel', 'cancel', `Cancel upload of ${name}`, () => cancel(upload)));
  } else if (upload.state === 'paused') {
    buttons.push(button('Resume', 'primary', `Resume upload of ${name}`, () => resume(upload)));
    buttons.push(button('Cancel', 'cancel', `Cancel upload of ${name}`, () => cancel(upload)));
  } else if (upload.state === 'failed' || upload.state === 'cancelled') {
    const choices = (upload.outcome && upload.outcome.choices) || null;
    if (choices) {
      for (const policy of choices) {
        buttons.push(button(kPolicyNames[policy], policy === 'makeunique' ? 'primary' : '',
                            `${kPolicyNames[policy]}: retry ${name}`, () => retry(upload, policy)));
      }
    } else {
      buttons.push(button('Retry', 'primary', `Retry ${name}`, () => retry(upload, upload.policy)));
    }
    buttons.push(button('Dismiss', '', `Dismiss ${name}`, () => remove(upload)));
  } else if (upload.state === 'refused' || upload.state === 'stored') {
    buttons.push(button('Dismiss', '', `Dismiss ${name}`, () => remove(upload)));
  }
  // Keeps the focused button when the set of buttons stays the same.
  const labels = buttons.map((b) => b.getAttribute('aria-label')).join('|');
  if (actions.dataset.labels !== labels) {
    const hadFocus = actions.contains(document.activeElement);
    actions.replaceChildren(...buttons);
    actions.dataset.labels = labels;
    if (hadFocus && buttons.length > 0) buttons[0].focus();
  }
}

export function showStats(upload, loaded, total) {
  const now = performance.now();
  const elapsed = (now - upload.started) / 1000;
  // Speed over the last few seconds, so that a change of pace shows.
  upload.samples.push([now, loaded]);
  while (upload.samples.length > 2 && now - upload.samples[0][0] > 3000) upload.samples.shift();
  const [t0, l0] = upload.samples[0];
  const span = (now - t0) / 1000;
  const speed = span > 0.2 ? (loaded - l0) / span : (elapsed > 0 ? loaded / elapsed : 0);
  const parts = [`${formatSize(loaded)} of ${formatSize(total)}`];
  if (speed > 0) {
    parts.push(`${formatSize(speed)}/s`);
    if (loaded < total) parts.push(`${formatDuration((total - loaded) / speed)} left`);
  }
  if (loaded >= total) parts.push('waiting for the server');
  upload.row.stats.textContent = parts.join(' · ');
}

// Moves `upload`'s bar and statistics to `loaded` of `total` bytes.
export function showProgress(upload, loaded, total) {
  upload.loaded = loaded;
  const { node } = upload.row;
  node.dataset.loaded = String(loaded);
  node.dataset.total = String(total);
  // How many progress events moved the bar, for whoever inspects the page.
  node.dataset.events = String(Number(node.dataset.events || 0) + 1);
  setBar(upload, (loaded / total) * 100);
  showStats(upload, loaded, total);
}
