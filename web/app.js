// The upload page of zmfile serve. Files picked or dropped become rows; the
// Upload button sends each on its own (at most three at a time), with
// progress, speed and time left, Cancel and Retry, and a sentence per
// outcome. A file up to kResumableFrom goes as one form POST (form-post.js),
// a larger one through the resumable-upload protocol with Pause and Resume
// (resumable.js). The stored-files list stays fresh (stored-files.js).
// Every address is relative, so the page also works under a sub-path.
import { setUpDropZone, showDropState } from './drop-zone.js';
import { announce, formatSize } from './format.js';
import { sendForm } from './form-post.js';
import { kPolicies, server } from './outcomes.js';
import { discardResumable, sendResumable, takesResumablePath } from './resumable.js';
import { buildRow, renderRow, setBar, showProgress } from './rows.js';
import { markFresh, refreshFiles } from './stored-files.js';

(() => {
  const form = document.getElementById('upload-form');
  const dropHint = document.getElementById('drop-hint');
  const commentInput = document.getElementById('comment');
  const panel = document.getElementById('uploads-panel');
  const summary = document.getElementById('summary');
  const queueList = document.getElementById('queue');
  const uploadUrl = document.getElementById('upload-url');

  const kRefreshMs = 5000;
  const kParallel = 3;

  const uploads = [];  // every row, in the order the files were added
  let nextId = 1;

  uploadUrl.textContent = new URL('upload', window.location.href).href;

  setUpDropZone(addFiles, () => uploads.filter((u) => u.state === 'ready'));

  // ---- Rows -----------------------------------------------------------------

  const handlers = { remove, cancel, retry, pause, resume };

  function render(upload) {
    renderRow(upload, handlers);
  }

  function addFiles(files) {
    for (const file of files) {
      const upload = { id: nextId++, file, state: 'ready', stop: null, loaded: 0, comment: '', policy: '' };
      upload.row = buildRow(upload);
      uploads.push(upload);
      queueList.append(upload.row.node);
      if (server.maxBody && file.size > server.maxBody) {
        // The server is the authority, but a file larger than its limit is
        // not worth sending: say so now.
        finish(upload, 'refused', {
          ok: false, code: 'not sent',
          text: `${file.name} is ${formatSize(file.size)}; this server takes up to ${formatSize(server.maxBody)} per upload. It was not sent.`,
        });
      } else {
        render(upload);
      }
    }
    panel.hidden = uploads.length === 0;
    showDropState();
    updateSummary();
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
    upload.stop = null;
    render(upload);
    if (state !== 'ready') announce(`${upload.file.name}: ${outcome.text}`);
    updateSummary();
  }

  function cancel(upload) {
    if (upload.state === 'queued') {
      discardResumable(upload);
      finish(upload, 'cancelled', { ok: false, code: 'cancelled', text: 'Cancelled before it was sent.' });
      return;
    }
    if ((upload.state === 'uploading' || upload.state === 'paused') && upload.stop) upload.stop();
  }

  // Stops a resumable upload; the server keeps what it received.
  function pause(upload) {
    if (upload.state !== 'uploading' || !upload.pause) return;
    upload.pause();
    upload.state = 'paused';
    upload.row.stats.textContent =
      `Paused at ${formatSize(upload.loaded)} of ${formatSize(upload.file.size)}. Resume goes on from there.`;
    render(upload);
    announce(`${upload.file.name}: paused.`);
    updateSummary();
    pump();
  }

  // A resumable upload that lost the network waits, paused, for it to come
  // back, and then goes on by itself.
  function waitForNetwork(upload) {
    if (upload.state !== 'uploading') return;
    upload.state = 'paused';
    upload.row.stats.textContent = `The network is gone at ${formatSize(upload.loaded)} of ` +
                                   `${formatSize(upload.file.size)}. The upload goes on when it is back.`;
    render(upload);
    announce(`${upload.file.name}: waiting for the network.`);
    updateSummary();
    pump();
    window.addEventListener('online', () => resume(upload), { once: true });
  }

  function resume(upload) {
    if (upload.state !== 'paused') return;
    upload.state = 'queued';
    render(upload);
    updateSummary();
    pump();
  }

  function retry(upload, policy) {
    // Another policy needs another upload; the same one goes on.
    if (policy !== upload.policy) discardResumable(upload);
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
    upload.resumable = takesResumablePath(upload.file);
    upload.state = 'uploading';
    upload.started = performance.now();
    upload.samples = [];
    upload.row.stats.textContent = 'Starting…';
    render(upload);
    updateSummary();
    const hooks = { progress: showProgress, settle, offline: waitForNetwork };
    if (upload.resumable) {
      sendResumable(upload, hooks);
    } else {
      upload.loaded = 0;
      sendForm(upload, hooks);
    }
  }

  // The end of one sending: stored, failed or cancelled.
  function settle(upload, state, outcome, storedName, comment) {
    if (upload.state !== 'uploading' && upload.state !== 'paused') return;
    if (comment !== undefined) upload.answerComment = comment;
    if (state === 'stored') {
      setBar(upload, 100);
      upload.row.stats.textContent = `${formatSize(upload.file.size)} sent`;
      upload.row.node.dataset.storedName = storedName;
      markFresh(storedName);
    } else {
      upload.row.stats.textContent = '';
    }
    finish(upload, state, outcome);
    if (state !== 'cancelled') refreshFiles();
    pump();
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
      [count('uploading'), 'uploading'], [count('paused'), 'paused'], [count('queued'), 'waiting'], [count('ready'), 'ready'],
    ];
    for (const [n, word] of extra) if (n > 0) parts.push(`${n} ${word}`);
    summary.textContent = parts.join(', ');
  }

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    if (queueReady() === 0 && !uploads.some((u) => u.state === 'uploading' || u.state === 'queued')) {
      announce('No files chosen. Pick files or drop them on the box above.');
      dropHint.textContent = 'No files chosen yet: pick or drop some first';
    }
    showDropState();
  });

  async function loadConfig() {
    try {
      const response = await fetch('config', { cache: 'no-store' });
      if (!response.ok) return;
      const config = await response.json();
      server.maxBody = Number(config.maxBody) || 0;
      if (config.delete === true && !server.deleteAllowed) {
        server.deleteAllowed = true;
        refreshFiles({ rebuild: true });
      }
      if (Array.isArray(config.clientConflict)) {
        server.allowedPolicies = kPolicies.filter((policy) => config.clientConflict.includes(policy));
        for (const policy of kPolicies) {
          const radio = document.getElementById(`policy-${policy}`);
          const allowed = server.allowedPolicies.includes(policy);
          radio.disabled = !allowed;
          document.querySelector(`label[for="policy-${policy}"]`).classList.toggle('unavailable', !allowed);
        }
      }
      const radio = document.getElementById(`policy-${config.conflict}`);
      if (radio && !radio.disabled) radio.checked = true;
      // Files picked before the limit was known are checked now.
      for (const upload of uploads) {
        if (upload.state === 'ready' && server.maxBody && upload.file.size > server.maxBody) {
          finish(upload, 'refused', {
            ok: false, code: 'not sent',
            text: `${upload.file.name} is ${formatSize(upload.file.size)}; this server takes up to ${formatSize(server.maxBody)} per upload. It was not sent.`,
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
