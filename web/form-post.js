// The one-request path of the upload page: a file as a multipart form in one
// POST to "upload", its outcome from the server's JSON answer.
import { connectionLost, describe } from './outcomes.js';

// Sends `upload`; calls progress(upload, loaded, total) as bytes go out and
// settle(upload, state, outcome, storedName, comment) once when it ends.
// upload.stop() aborts it.
export function sendForm(upload, { progress, settle }) {
  const data = new FormData();
  data.append('comment', upload.comment);
  data.append('conflict', upload.policy);
  data.append('upload1', upload.file, upload.file.name);

  const xhr = new XMLHttpRequest();
  upload.stop = () => xhr.abort();
  xhr.open('POST', 'upload');
  xhr.setRequestHeader('Accept', 'application/json');
  xhr.responseType = 'json';
  xhr.upload.addEventListener('progress', (event) => {
    if (!event.lengthComputable || upload.state !== 'uploading') return;
    progress(upload, event.loaded, event.total);
  });
  xhr.addEventListener('load', () => {
    const answer = xhr.response;
    const outcome = describe(upload, xhr.status, answer);
    const comment = answer && typeof answer.Comment === 'string' ? answer.Comment : undefined;
    settle(upload, outcome.ok ? 'stored' : 'failed', outcome, outcome.ok ? answer.Result : '', comment);
  });
  xhr.addEventListener('error', () => settle(upload, 'failed', connectionLost(), ''));
  xhr.addEventListener('abort', () => {
    settle(upload, 'cancelled', {
      ok: false, code: 'cancelled',
      text: 'Cancelled. The server keeps nothing of an upload that stops halfway.',
    }, '');
  });
  xhr.send(data);
}
