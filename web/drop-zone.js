// The drop zone of the upload page: the one keyboard stop that opens the
// file picker, a target for files dragged from the desktop, and a summary
// of the files chosen and not sent yet.
import { element, formatSize } from './format.js';
import { server } from './outcomes.js';

const input = document.getElementById('file-input');
const dropZone = document.getElementById('drop-zone');
const dropTitle = document.getElementById('drop-title');
const dropHint = document.getElementById('drop-hint');
let readyRows = () => [];

// Shows what the zone holds: the rows not sent yet, or while files are
// dragged over it, `dragCount` of them.
export function showDropState(dragCount) {
  const dragging = dragCount !== undefined;
  dropZone.classList.toggle('dragging', dragging);
  const ready = readyRows();
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
    dropHint.textContent = server.maxBody ? `Up to ${formatSize(server.maxBody)} each · several at once` : 'Any file type · several at once';
  }
  dropZone.setAttribute('aria-label', `${dropTitle.textContent}. ${dropHint.textContent}`);
}

// Hands files picked or dropped to addFiles(files); rows() gives the rows
// not sent yet. Without the script the file input keeps its own focus.
export function setUpDropZone(addFiles, rows) {
  readyRows = rows;
  input.multiple = true;
  input.required = false;
  input.tabIndex = -1;
  dropZone.tabIndex = 0;
  dropZone.setAttribute('role', 'button');
  dropZone.setAttribute('aria-describedby', 'drop-hint');

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
}
