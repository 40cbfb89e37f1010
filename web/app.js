// The upload page of zmfile serve: picks or takes a dropped file, posts it
// with XHR (for upload progress) and keeps the list of stored files fresh.
'use strict';

(() => {
  const form = document.getElementById('upload-form');
  const input = document.getElementById('file-input');
  const dropZone = document.getElementById('drop-zone');
  const dropTitle = document.getElementById('drop-title');
  const dropHint = document.getElementById('drop-hint');
  const submit = document.getElementById('submit');
  const progress = document.getElementById('progress');
  const progressFill = document.getElementById('progress-fill');
  const progressText = document.getElementById('progress-text');
  const result = document.getElementById('result');
  const fileList = document.getElementById('files');
  const fileCount = document.getElementById('file-count');
  const uploadUrl = document.getElementById('upload-url');

  const kRefreshMs = 5000;
  let maxBody = 0;
  let freshName = '';

  uploadUrl.textContent = new URL('/upload', window.location.href).href;

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

  function showPickedFile() {
    const file = input.files[0];
    dropZone.classList.toggle('has-file', Boolean(file));
    if (!file) {
      dropTitle.replaceChildren('Drop a file here or ', element('span', 'link', 'browse'));
      dropHint.textContent = maxBody ? `Up to ${formatSize(maxBody)}` : 'Any file type';
      return;
    }
    dropTitle.textContent = file.name;
    dropHint.textContent = `${formatSize(file.size)} · click or drop to choose another`;
  }

  function setProgress(percent, state) {
    const value = Math.max(0, Math.min(100, Math.round(percent)));
    progress.hidden = false;
    progress.classList.toggle('done', state === 'done');
    progress.classList.toggle('failed', state === 'failed');
    progress.setAttribute('aria-valuenow', String(value));
    progressFill.style.width = `${value}%`;
    progressText.textContent = `${value}%`;
  }

  function showResult(ok, title, detail, extra) {
    result.hidden = false;
    result.className = `result ${ok ? 'ok' : 'error'}`;
    const heading = element('strong', '', title);
    result.replaceChildren(heading);
    if (detail) result.append(element('span', 'detail-main', detail));
    if (extra) result.append(element('div', 'detail', extra));
  }

  // The server's JSON answer: ErrorCode and Result from ZmFileSave, or a
  // Fault of the component, or the server's Refused reason.
  function showAnswer(status, answer, file) {
    const comment = answer.Comment ? `Comment: ${answer.Comment}` : '';
    if (answer.ErrorCode === 0) {
      freshName = answer.Result;
      result.dataset.storedName = answer.Result;
      showResult(true, 'Stored', '', comment);
      const name = element('code', 'stored-name', answer.Result);
      result.querySelector('strong').after(' as ', name, ` · ${formatSize(file.size)}`);
      return true;
    }
    delete result.dataset.storedName;
    if (answer.Fault) {
      showResult(false, `Fault ${answer.Fault.Number}`, answer.Fault.Description, comment);
    } else if (answer.Refused) {
      showResult(false, `Refused (HTTP ${status})`, answer.Refused, comment);
    } else {
      showResult(false, `Error ${answer.ErrorCode}`, answer.Result || '', comment);
    }
    return false;
  }

  function upload(file) {
    if (maxBody && file.size > maxBody) {
      showResult(false, 'Too large',
                 `The server takes up to ${formatSize(maxBody)}; this file is ${formatSize(file.size)}.`);
      return;
    }
    const data = new FormData();
    data.append('comment', document.getElementById('comment').value);
    data.append('conflict', form.elements.conflict.value);
    data.append('upload1', file, file.name);

    const xhr = new XMLHttpRequest();
    xhr.open('POST', '/upload');
    xhr.setRequestHeader('Accept', 'application/json');
    xhr.responseType = 'json';
    xhr.upload.addEventListener('progress', (event) => {
      if (!event.lengthComputable) return;
      // How many progress events moved the bar, for whoever inspects the page.
      progress.dataset.events = String(Number(progress.dataset.events || 0) + 1);
      setProgress((event.loaded / event.total) * 100);
    });
    xhr.addEventListener('load', () => {
      const answer = xhr.response;
      const ok = answer !== null && showAnswer(xhr.status, answer, file);
      if (answer === null) showResult(false, `HTTP ${xhr.status}`, 'The server sent no JSON answer.');
      setProgress(ok ? 100 : Number(progress.getAttribute('aria-valuenow')), ok ? 'done' : 'failed');
      refreshFiles();
    });
    xhr.addEventListener('error', () => {
      setProgress(0, 'failed');
      showResult(false, 'Upload failed', 'The connection to the server was lost.');
    });
    xhr.addEventListener('loadend', () => {
      submit.disabled = false;
      submit.textContent = 'Upload';
    });
    submit.disabled = true;
    submit.textContent = 'Uploading…';
    result.hidden = true;
    progress.dataset.events = '0';
    setProgress(0);
    xhr.send(data);
  }

  function renderFiles(listing) {
    fileCount.textContent = listing.truncated ? `${listing.files.length}+` : String(listing.files.length);
    if (listing.files.length === 0) {
      fileList.replaceChildren(element('li', 'empty', 'No files yet.'));
      return;
    }
    fileList.replaceChildren(...listing.files.map((file) => {
      const row = element('li');
      if (file.name === freshName) row.classList.add('fresh');
      const link = element('a', '', file.name);
      link.href = `/files/${encodeURIComponent(file.name)}`;
      link.download = file.name;
      const meta = element('span', 'meta', `${formatSize(file.size)} · ${formatTime(file.modified)}`);
      meta.title = new Date(file.modified).toLocaleString();
      row.append(link, meta);
      return row;
    }));
    freshName = '';
  }

  async function refreshFiles() {
    try {
      const response = await fetch('/files', { headers: { Accept: 'application/json' }, cache: 'no-store' });
      if (response.ok) renderFiles(await response.json());
    } catch (error) {
      // The server is away; the next refresh tries again.
    }
  }

  async function loadConfig() {
    try {
      const response = await fetch('/config', { cache: 'no-store' });
      if (!response.ok) return;
      const config = await response.json();
      maxBody = config.maxBody;
      const radio = document.getElementById(`policy-${config.conflict}`);
      if (radio) radio.checked = true;
      showPickedFile();
    } catch (error) {
      // Keep the page's defaults.
    }
  }

  input.addEventListener('change', showPickedFile);

  ['dragenter', 'dragover'].forEach((type) => dropZone.addEventListener(type, (event) => {
    event.preventDefault();
    dropZone.classList.add('dragging');
  }));
  ['dragleave', 'dragend'].forEach((type) => dropZone.addEventListener(type, () => {
    dropZone.classList.remove('dragging');
  }));
  dropZone.addEventListener('drop', (event) => {
    event.preventDefault();
    dropZone.classList.remove('dragging');
    if (event.dataTransfer && event.dataTransfer.files.length > 0) {
      input.files = event.dataTransfer.files;
      showPickedFile();
    }
  });

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const file = input.files[0];
    if (!file) {
      showResult(false, 'No file chosen', 'Pick a file or drop one on the box above.');
      return;
    }
    upload(file);
  });

  loadConfig();
  refreshFiles();
  setInterval(() => {
    if (document.visibilityState === 'visible') refreshFiles();
  }, kRefreshMs);
})();
