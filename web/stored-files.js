// The stored-files list of the upload page: newest first, a page at a
// time with "Show more", each with its download link and "Copy link".
// Names just uploaded are marked fresh on the next refresh.
import { announce, button, element, formatSize, formatTime } from './format.js';
import { server } from './outcomes.js';

const fileList = document.getElementById('files');
const fileCount = document.getElementById('file-count');
const freshNames = new Set();
let lastListing = '';

// Marks `name` as just stored, for the next refresh to show.
export function markFresh(name) {
  freshNames.add(name);
}

async function copyLink(url, node) {
  let copied = false;
  try {
    if (navigator.clipboard && window.isSecureContext) {
      await navigator.clipboard.writeText(url);
      copied = true;
    }
  } catch (error) {
    copied = false;
  }
  if (!copied) {
    // Older browsers and plain-HTTP pages behind a proxy: a selected
    // text area and the copy command.
    const area = element('textarea', 'visually-hidden');
    area.value = url;
    area.setAttribute('readonly', '');
    document.body.append(area);
    area.select();
    try {
      copied = document.execCommand('copy');
    } catch (error) {
      copied = false;
    }
    area.remove();
    node.focus();
  }
  node.textContent = copied ? 'Copied' : 'Copy failed';
  node.dataset.copied = copied ? 'yes' : 'no';
  announce(copied ? 'Link copied.' : `Could not copy the link. It is ${url}`);
  setTimeout(() => { node.textContent = 'Copy link'; }, 2000);
}

// Delete asks first, in the row itself: the row's buttons give way to
// "Delete NAME?" with Delete and Keep, and focus goes to Keep.
function askDelete(actions, file, href) {
  const box = element('div', 'actions confirming');
  box.setAttribute('role', 'group');
  box.setAttribute('aria-label', `Delete ${file.name}?`);
  const question = element('span', 'question', `Delete ${file.name}?`);
  const keep = button('Keep', 'keep', `Keep ${file.name}`, () => {
    box.replaceWith(actions);
    actions.querySelector('.delete').focus();
  });
  const yes = button('Delete', 'cancel confirm-delete', `Yes, delete ${file.name}`, () => deleteFile(file, href, yes, question));
  box.append(question, yes, keep);
  actions.replaceWith(box);
  keep.focus();
}

async function deleteFile(file, href, node, question) {
  node.disabled = true;
  let status = 0;
  try {
    status = (await fetch(href, { method: 'DELETE', cache: 'no-store' })).status;
  } catch (error) {
    status = 0;
  }
  if (status === 204 || status === 404) {
    announce(status === 204 ? `Deleted ${file.name}.` : `${file.name} was already gone.`);
    await refreshFiles({ rebuild: true });
    document.getElementById('stored-heading').focus();
    return;
  }
  node.disabled = false;
  question.textContent = status === 0 ? 'The server is not reachable. Try again?' : `Not deleted (${status}). Try again?`;
  announce(`${file.name} was not deleted${status ? `: the server answered ${status}` : ''}.`);
}

// The listing comes in pages, newest first: the first page on every
// refresh, and as many more as "Show more" asked for.
let pagesShown = 1;

function renderFiles(files, next) {
  const shown = next ? `${files.length}+` : String(files.length);
  fileCount.textContent = shown;
  fileCount.setAttribute('aria-label', `${shown} stored ${files.length === 1 ? 'file' : 'files'}`);
  if (files.length === 0) {
    fileList.replaceChildren(element('li', 'empty', 'No files yet.'));
    return;
  }
  const hadFocus = fileList.contains(document.activeElement) ? document.activeElement.dataset.name : null;
  const rows = files.map((file) => {
    const row = element('li');
    if (freshNames.has(file.name)) row.classList.add('fresh');
    const main = element('div', 'file-main');
    const link = element('a', '', file.name);
    // The server's href carries the exact bytes of the name, which the
    // shown name may not (bytes that are not UTF-8 show as U+FFFD).
    link.href = typeof file.href === 'string' ? file.href : `files/${encodeURIComponent(file.name)}`;
    link.download = file.name;
    main.append(link);
    if (file.utf8 === false) {
      const marker = element('span', 'marker', 'name not UTF-8');
      marker.title = 'Some bytes of this name are not UTF-8; they show as \uFFFD. The link still fetches the file.';
      main.append(marker);
    }
    const meta = element('span', 'meta', `${formatSize(file.size)} · ${formatTime(file.modified)}`);
    meta.title = new Date(file.modified).toLocaleString();
    main.append(meta);
    const copy = button('Copy link', 'copy', `Copy link to ${file.name}`, () => copyLink(link.href, copy));
    copy.dataset.name = file.name;
    const actions = element('div', 'actions');
    actions.append(copy);
    if (server.deleteAllowed) {
      const remove = button('Delete', 'delete', `Delete ${file.name}`, () => askDelete(actions, file, link.href));
      remove.dataset.name = `delete:${file.name}`;
      actions.append(remove);
    }
    row.append(main, actions);
    return row;
  });
  if (next) {
    const more = element('li', 'more');
    const moreButton = button('Show more', 'more-files', 'Show more stored files', () => {
      pagesShown += 1;
      refreshFiles();
    });
    moreButton.dataset.name = '';
    more.append(moreButton);
    rows.push(more);
  }
  fileList.replaceChildren(...rows);
  freshNames.clear();
  if (hadFocus !== null) {
    const again = [...fileList.querySelectorAll('button')].find((b) => b.dataset.name === hadFocus);
    if (again) again.focus();
  }
}

// With `rebuild`, the rows are built again though the listing is the same
// (Delete just turned on, or a file just deleted).
export async function refreshFiles({ rebuild = false } = {}) {
  if (rebuild) lastListing = '';
  try {
    const files = [];
    let next = null;
    let texts = '';
    for (let page = 0; page < pagesShown; page += 1) {
      const target = next ? `files?cursor=${encodeURIComponent(next)}` : 'files';
      const response = await fetch(target, { headers: { Accept: 'application/json' }, cache: 'no-store' });
      if (!response.ok) return;
      const text = await response.text();
      texts += text;
      const listing = JSON.parse(text);
      files.push(...listing.files);
      next = listing.next;
      if (!next) break;
    }
    // An unchanged list is not rebuilt: focus and animations stay put.
    if (texts === lastListing && freshNames.size === 0) return;
    lastListing = texts;
    renderFiles(files, next);
  } catch (error) {
    // The server is away; the next refresh tries again.
  }
}
