// The upload page of zmfile serve. Files picked or dropped become rows; the
// Upload button sends each as its own POST (at most three at a time), with
// progress, speed and time left from XHR upload events, Cancel and Retry,
// and a sentence per outcome. The stored-files list stays fresh.
// Every address is relative, so the page also works under a sub-path.
'use strict';

(() => {
  const form = document.getElementById('upload-form');
  const input = document.getElementById('file-input');
  const dropZone = document.getElementById('drop-zone');
  const dropTitle = document.getElementById('drop-title');
  const dropHint = document.getElementById('drop-hint');
  const commentInput = document.getElementById('comment');
  const panel = document.getElementById('uploads-panel');
  const summary = document.getElementById('summary');
  const queueList = document.getElementById('queue');
  const announcer = document.getElementById('announcer');
  const fileList = document.getElementById('files');
  const fileCount = document.getElementById('file-count');
  const uploadUrl = document.getElementById('upload-url');

  const kRefreshMs = 5000;
  const kParallel = 3;
  const kPolicies = ['makeunique', 'overwrite', 'error'];
  const kPolicyNames = { makeunique: 'Keep both', overwrite: 'Replace', error: 'Refuse' };
  // The longest file name the server's file systems hold, in bytes.
  const kMaxNameBytes = 255;

  let maxBody = 0;
  let deleteAllowed = false;  // the server's /config says whether DELETE is on
  let allowedPolicies = kPolicies.slice();
  let lastListing = '';
  const freshNames = new Set();
  const uploads = [];  // every row, in the order the files were added
  let nextId = 1;

  uploadUrl.textContent = new URL('upload', window.location.href).href;

  // The script makes the drop zone itself the one keyboard stop that opens
  // the picker; without the script the file input keeps its own focus.
  input.multiple = true;
  input.required = false;
  input.tabIndex = -1;
  dropZone.tabIndex = 0;
  dropZone.setAttribute('role', 'button');
  dropZone.setAttribute('aria-describedby', 'drop-hint');

  function formatSize(bytes) {
    const units = ['B', 'KiB', 'MiB', 'GiB'];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return unit === 0 ? `${value} B` : `${value.toFixed(1)} ${units[unit]}`;
  }

  function formatDuration(seconds) {
    if (!Number.isFinite(seconds)) return '';
    const s = Math.max(1, Math.round(seconds));
    if (s < 60) return `${s} s`;
    if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
    return `${Math.floor(s / 3600)} h ${Math.round((s % 3600) / 60)} min`;
  }

  function formatTime(iso) {
    const date = new Date(iso);
    const seconds = Math.round((Date.now() - date.getTime()) / 1000);
    if (seconds < 45) return 'just now';
    if (seconds < 3600) return `${Math.round(seconds / 60)} min ago`;
    if (seconds < 86400) return `${Math.round(seconds / 3600)} h ago`;
    return date.toLocaleDateString(undefined, { year: 'numeric', month: 'short', day: 'numeric' });
  }

  // Builds an element with text content only, never HTML from the server.
  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function button(text, className, label, onClick) {
    const node = element('button', `small-button ${className || ''}`.trim(), text);
    node.type = 'button';
    if (label) node.setAttribute('aria-label', label);
    node.addEventListener('click', onClick);
    return node;
  }

  function announce(text) {
    // A fresh node each time, so that the same sentence twice is heard
    // twice; the last few stay, so outcomes close together are all read.
    announcer.append(element('p', '', text));
    while (announcer.childElementCount > 5) announcer.firstElementChild.remove();
  }

  // ---- Outcomes in plain language ------------------------------------------

  // Turns an answer into { ok, text, code, choices }: what happened and what
  // to do, the code for the small print, and the policies a retry may offer.
  function describe(upload, status, answer) {
    const name = upload.file.name;
    if (answer === null || typeof answer !== 'object') {
      return { ok: false, code: `HTTP ${status}`,
               text: `The server answered without a result this page understands. Retry; if it keeps happening, tell whoever runs the server.` };
    }
    // The page words every outcome itself, from the code or the kind of
    // refusal: the server's "Message" is written for API callers.
    if (answer.ErrorCode === 0) {
      let text = `Stored as ${answer.Result}.`;
      if (answer.Replaced === true) {
        text = `Stored as ${answer.Result}, replacing the file that was there.`;
      } else if (answer.Result !== name) {
        text = `Stored as ${answer.Result}, because a file named ${name} was already there.`;
      }
      return { ok: true, code: 'code 0', text };
    }
    if (answer.Refused) return describeRefusal(upload, status, answer.Refused, answer.RefusedKind);
    if (answer.Fault) {
      const number = answer.Fault.Number;
      const code = `fault ${number}`;
      if (number === 6) {
        return { ok: false, code, text: `Every numbered name for ${name} is taken. Rename the file and upload it again.` };
      }
      if (number === 9) {
        return { ok: false, code, text: 'The server could not read the form the browser sent: it looks cut off. Retry.' };
      }
      return { ok: false, code: `${code}: ${answer.Fault.Description}`,
               text: 'The server\'s upload component stopped on this request. Retry; if it keeps happening, tell whoever runs the server.' };
    }
    const code = answer.ErrorCode;
    const small = `code ${code}`;
    const result = typeof answer.Result === 'string' ? answer.Result : '';
    switch (code) {
      case 101:
      case 102:
        return { ok: false, code: small,
                 text: 'The server did not find the file in the form this page sent. Retry; if it keeps happening, reload the page.' };
      case 103:
        return { ok: false, code: small, text: 'The upload carried no file name. Pick the file again and retry.' };
      case 104:
        return { ok: false, code: small,
                 text: `The server cannot use the name ${name}. Rename the file (letters, digits, no slashes) and upload it again.` };
      case 105:
        return { ok: false, code: small, text: 'The file\'s contents did not arrive. Retry the upload.' };
      case 106: {
        const choices = ['makeunique', 'overwrite'].filter((policy) => allowedPolicies.includes(policy));
        let text = `A file named ${name} is already there.`;
        if (choices.includes('makeunique')) text += ' Choose Keep both to store yours beside it';
        if (choices.includes('overwrite')) text += choices.length > 1 ? ', or Replace to overwrite it' : ' Choose Replace to overwrite it';
        if (choices.length > 0) text += '.';
        else text += ' Rename your file and upload it again.';
        return { ok: false, code: small, text, choices };
      }
      case 53:
        return { ok: false, code: small, text: 'The server lost track of the file while writing it. Retry.' };
      case 57:
        return { ok: false, code: small,
                 text: 'The server\'s disk reported a read or write error. Retry later, and tell whoever runs the server if it keeps happening.' };
      case 61:
        return { ok: false, code: `${small} · no space (like HTTP 507)`,
                 text: 'The server has no space left for this file. Ask whoever runs the server to free some space, then retry.' };
      case 67:
        return { ok: false, code: small, text: 'The server has too many files open right now. Wait a moment and retry.' };
      case 70:
        return { ok: false, code: small,
                 text: 'The server is not allowed to write into its upload folder. Ask whoever runs the server to check its permissions.' };
      case 75:
        if (upload.policy === 'makeunique' && new TextEncoder().encode(name).length <= kMaxNameBytes) {
          // The name was taken and no numbered form of it fits: Keep both
          // would fail again, so only Replace (where allowed) is offered.
          const choices = allowedPolicies.includes('overwrite') ? ['overwrite'] : [];
          const text = `A file named ${name} is already there, and the name is too long to number: a numbered name ` +
                       `would pass the ${kMaxNameBytes}-byte limit. Rename your file to a shorter name and upload it again` +
                       (choices.length > 0 ? ', or choose Replace to overwrite the file there.' : '.');
          return { ok: false, code: small, text, choices };
        }
        return { ok: false, code: small,
                 text: `The server could not create a file named ${name}. Try a shorter or simpler name.` };
      case 76:
        return { ok: false, code: small,
                 text: 'The server\'s upload folder is missing. Ask whoever runs the server to check it.' };
      default:
        return { ok: false, code: result ? `${small}: ${result}` : small,
                 text: 'The server could not store the file. Retry later; if it keeps happening, tell whoever runs the server.' };
    }
  }

  // A refusal in the page's words, by its kind ("RefusedKind"); the
  // server's reason stays in the small print.
  function describeRefusal(upload, status, reason, kind) {
    const code = `HTTP ${status}: ${reason}`;
    const name = upload.file.name;
    const texts = {
      'too-large': `${name} is too large for this server${maxBody ? `, which takes up to ${formatSize(maxBody)} per upload` : ''}. It was not stored.`,
      'no-length': 'The browser sent the upload without its length, which the server needs. Try another browser.',
      framing: 'The browser sent the upload in a way the server does not take. Try another browser.',
      'not-a-form': 'The server takes uploads only as forms. Reload this page and upload again.',
      'path-name': `The server takes plain file names only, and ${name} looks like a path or is too long. Rename the file and upload it again.`,
      'hidden-name': `${name} starts with a dot, and hidden names are not accepted. Rename the file and upload it again.`,
      incomplete: 'The upload did not arrive whole. Retry.',
      'file-too-large': `${name} is larger than this server takes per file. It was not stored.`,
      'too-many-files': `${name} was one file too many for one upload. Upload it again on its own.`,
      'file-type': `${name} is of a type this server does not take. It was not stored.`,
      site: 'The server does not take uploads from this address of the page. Open the page at the server\'s own address and upload again.',
      internal: 'The server failed while storing the upload. Retry; if it keeps happening, tell whoever runs the server.',
    };
    return { ok: false, code,
             text: texts[kind] || 'The server refused the upload. Retry; if it keeps happening, tell whoever runs the server.' };
  }

  // ---- Rows -----------------------------------------------------------------

  function addFiles(files) {
    for (const file of files) {
      const upload = { id: nextId++, file, state: 'ready', xhr: null, loaded: 0, comment: '', policy: '' };
      upload.row = buildRow(upload);
      uploads.push(upload);
      queueList.append(upload.row.node);
      if (maxBody && file.size > maxBody) {
        // The server is the authority, but a file larger than its limit is
        // not worth sending: say so now.
        finish(upload, 'refused', {
          ok: false, code: 'not sent',
          text: `${file.name} is ${formatSize(file.size)}; this server takes up to ${formatSize(maxBody)} per upload. It was not sent.`,
        });
      } else {
        render(upload);
      }
    }
    panel.hidden = uploads.length === 0;
    showDropState();
    updateSummary();
  }

  function buildRow(upload) {
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

  function setBar(upload, percent) {
    const value = Math.max(0, Math.min(100, Math.round(percent)));
    upload.row.bar.setAttribute('aria-valuenow', String(value));
    upload.row.fill.style.width = `${value}%`;
  }

  function render(upload) {
    const { node, stats, message, code, settings, actions } = upload.row;
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

  function showStats(upload, loaded, total) {
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

  function remove(upload) {
    if (upload.state === 'uploading' || upload.state === 'queued') return;
    const index = uploads.indexOf(upload);
    if (index >= 0) uploads.splice(index, 1);
    const next = upload.row.node.nextElementSibling || upload.row.node.previousElementSibling;
    upload.row.node.remove();
    // Keyboard users keep their place in the list.
    if (next) {
      const target = next.querySelector('button');
      if (target) target.focus();
    } else {
      document.getElementById('submit').focus();
    }
    panel.hidden = uploads.length === 0;
    updateSummary();
  }

  function finish(upload, state, outcome) {
    upload.state = state;
    upload.outcome = outcome;
    upload.xhr = null;
    render(upload);
    if (state !== 'ready') announce(`${upload.file.name}: ${outcome.text}`);
    updateSummary();
  }

  function cancel(upload) {
    if (upload.state === 'queued') {
      finish(upload, 'cancelled', { ok: false, code: 'cancelled', text: 'Cancelled before it was sent.' });
      return;
    }
    if (upload.state === 'uploading' && upload.xhr) upload.xhr.abort();
  }

  function retry(upload, policy) {
    upload.policy = policy;
    upload.outcome = null;
    upload.answerComment = undefined;
    upload.state = 'queued';
    setBar(upload, 0);
    render(upload);
    updateSummary();
    pump();
  }

  function queueReady() {
    const comment = commentInput.value;
    const policy = form.elements.conflict.value;
    let queued = 0;
    for (const upload of uploads) {
      if (upload.state !== 'ready') continue;
      // Each row keeps the settings it was sent with; the form stays free
      // for the next files.
      upload.comment = comment;
      upload.policy = policy;
      upload.state = 'queued';
      render(upload);
      queued += 1;
    }
    updateSummary();
    pump();
    return queued;
  }

  function pump() {
    let active = uploads.filter((u) => u.state === 'uploading').length;
    for (const upload of uploads) {
      if (active >= kParallel) break;
      if (upload.state !== 'queued') continue;
      start(upload);
      active += 1;
    }
  }

  function start(upload) {
    const data = new FormData();
    data.append('comment', upload.comment);
    data.append('conflict', upload.policy);
    data.append('upload1', upload.file, upload.file.name);

    const xhr = new XMLHttpRequest();
    upload.xhr = xhr;
    upload.state = 'uploading';
    upload.started = performance.now();
    upload.samples = [];
    upload.loaded = 0;
    upload.row.stats.textContent = 'Starting…';
    render(upload);
    updateSummary();

    xhr.open('POST', 'upload');
    xhr.setRequestHeader('Accept', 'application/json');
    xhr.responseType = 'json';
    xhr.upload.addEventListener('progress', (event) => {
      if (!event.lengthComputable || upload.xhr !== xhr) return;
      upload.loaded = event.loaded;
      upload.row.node.dataset.loaded = String(event.loaded);
      upload.row.node.dataset.total = String(event.total);
      // How many progress events moved the bar, for whoever inspects the page.
      upload.row.node.dataset.events = String(Number(upload.row.node.dataset.events || 0) + 1);
      setBar(upload, (event.loaded / event.total) * 100);
      showStats(upload, event.loaded, event.total);
    });
    xhr.addEventListener('load', () => {
      const outcome = describe(upload, xhr.status, xhr.response);
      if (xhr.response && typeof xhr.response.Comment === 'string') upload.answerComment = xhr.response.Comment;
      if (outcome.ok) {
        setBar(upload, 100);
        upload.row.stats.textContent = `${formatSize(upload.file.size)} sent`;
        upload.row.node.dataset.storedName = xhr.response.Result;
        freshNames.add(xhr.response.Result);
      } else {
        upload.row.stats.textContent = '';
      }
      finish(upload, outcome.ok ? 'stored' : 'failed', outcome);
      refreshFiles();
    });
    xhr.addEventListener('error', () => {
      upload.row.stats.textContent = '';
      finish(upload, 'failed', {
        ok: false, code: 'network error',
        text: 'The connection to the server was lost before it answered. Check that the server is running, then retry.',
      });
    });
    xhr.addEventListener('abort', () => {
      upload.row.stats.textContent = '';
      finish(upload, 'cancelled', {
        ok: false, code: 'cancelled',
        text: 'Cancelled. The server keeps nothing of an upload that stops halfway.',
      });
    });
    xhr.addEventListener('loadend', () => pump());
    xhr.send(data);
  }

  function updateSummary() {
    const count = (state) => uploads.filter((u) => u.state === state).length;
    const total = uploads.length;
    if (total === 0) {
      summary.textContent = '';
      return;
    }
    const parts = [`${count('stored')} of ${total} stored`];
    const extra = [
      [count('failed'), 'failed'], [count('refused'), 'not sent'], [count('cancelled'), 'cancelled'],
      [count('uploading'), 'uploading'], [count('queued'), 'waiting'], [count('ready'), 'ready'],
    ];
    for (const [n, word] of extra) if (n > 0) parts.push(`${n} ${word}`);
    summary.textContent = parts.join(', ');
  }

  // ---- Drop zone ------------------------------------------------------------

  function showDropState(dragCount) {
    const dragging = dragCount !== undefined;
    dropZone.classList.toggle('dragging', dragging);
    const ready = uploads.filter((u) => u.state === 'ready');
    dropZone.classList.toggle('has-file', !dragging && ready.length > 0);
    if (dragging) {
      dropTitle.textContent = 'Drop to upload';
      dropHint.textContent = dragCount > 1 ? `Release to add ${dragCount} files` : 'Release to add the file';
    } else if (ready.length > 0) {
      const bytes = ready.reduce((sum, u) => sum + u.file.size, 0);
      dropTitle.textContent = ready.length === 1 ? ready[0].file.name : `${ready.length} files chosen`;
      dropHint.textContent = `${formatSize(bytes)} · press Upload, or add more`;
    } else {
      dropTitle.replaceChildren('Drop files here or ', element('span', 'link', 'browse'));
      dropHint.textContent = maxBody ? `Up to ${formatSize(maxBody)} each · several at once` : 'Any file type · several at once';
    }
    dropZone.setAttribute('aria-label', `${dropTitle.textContent}. ${dropHint.textContent}`);
  }

  input.addEventListener('change', () => {
    if (input.files.length > 0) addFiles([...input.files]);
    // Clears the picker so that picking the same file again adds it again.
    input.value = '';
  });

  // Enter and Space open the picker as on a button: on key release, which
  // is when the browser counts the press as the user's own act.
  dropZone.addEventListener('keydown', (event) => {
    if (event.target === dropZone && (event.key === 'Enter' || event.key === ' ')) event.preventDefault();
  });
  dropZone.addEventListener('keyup', (event) => {
    if (event.target === dropZone && (event.key === 'Enter' || event.key === ' ')) {
      event.preventDefault();
      input.click();
    }
  });
  // The label would open the picker a second time for the same click.
  dropZone.addEventListener('click', (event) => {
    if (event.target === input) return;
    event.preventDefault();
    input.click();
  });

  // dragenter and dragleave also fire for the zone's children: count them.
  let dragDepth = 0;
  dropZone.addEventListener('dragenter', (event) => {
    event.preventDefault();
    dragDepth += 1;
    const items = event.dataTransfer ? event.dataTransfer.items.length || event.dataTransfer.files.length : 0;
    showDropState(items);
  });
  dropZone.addEventListener('dragover', (event) => {
    event.preventDefault();
    if (event.dataTransfer) event.dataTransfer.dropEffect = 'copy';
  });
  dropZone.addEventListener('dragleave', () => {
    dragDepth = Math.max(0, dragDepth - 1);
    if (dragDepth === 0) showDropState();
  });
  dropZone.addEventListener('drop', (event) => {
    event.preventDefault();
    dragDepth = 0;
    if (event.dataTransfer && event.dataTransfer.files.length > 0) addFiles([...event.dataTransfer.files]);
    else showDropState();
  });
  // A file dropped beside the zone must not make the browser navigate away.
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => event.preventDefault());

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    if (queueReady() === 0 && !uploads.some((u) => u.state === 'uploading' || u.state === 'queued')) {
      announce('No files chosen. Pick files or drop them on the box above.');
      dropHint.textContent = 'No files chosen yet: pick or drop some first';
    }
    showDropState();
  });

  // ---- Stored files ---------------------------------------------------------

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
      lastListing = '';
      await refreshFiles();
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
      if (deleteAllowed) {
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

  async function refreshFiles() {
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

  async function loadConfig() {
    try {
      const response = await fetch('config', { cache: 'no-store' });
      if (!response.ok) return;
      const config = await response.json();
      maxBody = Number(config.maxBody) || 0;
      if (config.delete === true && !deleteAllowed) {
        deleteAllowed = true;
        lastListing = '';
        refreshFiles();
      }
      if (Array.isArray(config.clientConflict)) {
        allowedPolicies = kPolicies.filter((policy) => config.clientConflict.includes(policy));
        for (const policy of kPolicies) {
          const radio = document.getElementById(`policy-${policy}`);
          const allowed = allowedPolicies.includes(policy);
          radio.disabled = !allowed;
          document.querySelector(`label[for="policy-${policy}"]`).classList.toggle('unavailable', !allowed);
        }
      }
      const radio = document.getElementById(`policy-${config.conflict}`);
      if (radio && !radio.disabled) radio.checked = true;
      // Files picked before the limit was known are checked now.
      for (const upload of uploads) {
        if (upload.state === 'ready' && maxBody && upload.file.size > maxBody) {
          finish(upload, 'refused', {
            ok: false, code: 'not sent',
            text: `${upload.file.name} is ${formatSize(upload.file.size)}; this server takes up to ${formatSize(maxBody)} per upload. It was not sent.`,
          });
        }
      }
      document.documentElement.dataset.config = 'loaded';
      showDropState();
    } catch (error) {
      // Keep the page's defaults.
    }
  }

  showDropState();
  loadConfig();
  refreshFiles();
  setInterval(() => {
    if (document.visibilityState === 'visible') refreshFiles();
  }, kRefreshMs);
})();
