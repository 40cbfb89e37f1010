// The resumable path of the upload page: a file larger than
// kResumableFrom goes to "resumable/" with tus-js-client (tus.min.js, the
// tus 1.0 client), in chunks. A broken connection is retried from the
// server's offset; Pause stops it and Resume goes on from there; after a
// reload, the same file picked again continues the upload the browser
// remembers for it (tus-js-client's fingerprint in localStorage). The
// outcome comes from the final PATCH's Zmfile-Result-Code and
// Zmfile-Stored-Name headers, in the same sentences as a form's answer.
import { connectionLost, describe } from './outcomes.js';

// Files over this size go through the resumable path.
export const kResumableFrom = 64 * 1024 * 1024;
// One PATCH per chunk: small enough for a proxy's body limit, large enough
// that a sync per chunk costs little.
const kChunkSize = 16 * 1024 * 1024;
// Retries of a broken request, in milliseconds (tus-js-client's own retry
// loop); past them the row fails, and Retry goes on from the server's offset.
const kRetryDelays = [0, 1000, 3000, 5000, 10000, 20000];
const kCollectionPath = '/resumable/';

// The upload addresses rows of this page hold, and the row holding each:
// two rows of the same file must not both continue one upload.
const heldUrls = new Map();

// Lets go of the upload `upload` holds.
function release(upload) {
  if (upload.tus && heldUrls.get(upload.tus.url) === upload) heldUrls.delete(upload.tus.url);
  upload.tus = null;
}

// True when `file` takes the resumable path: large, and the client loaded.
export function takesResumablePath(file) {
  return file.size > kResumableFrom && typeof window.tus === 'object' && window.tus.isSupported;
}

// The server names a new upload "/resumable/ID" from its own root. Under a
// sub-path behind a proxy that address is wrong; "ID", resolved against the
// page's own "resumable/", is right in both cases.
function relativeLocation(location) {
  return location && location.startsWith(kCollectionPath) ? location.slice(kCollectionPath.length) : location;
}

class PageHttpStack {
  constructor() {
    this.inner = new window.tus.DefaultHttpStack();
  }

  createRequest(method, url) {
    const request = this.inner.createRequest(method, url);
    const send = request.send.bind(request);
    request.send = (body) => send(body).then((response) => {
      const getHeader = response.getHeader.bind(response);
      response.getHeader = (name) => {
        const value = getHeader(name);
        return name.toLowerCase() === 'location' ? relativeLocation(value) : value;
      };
      return response;
    });
    return request;
  }

  getName() {
    return 'zmfile-page';
  }
}

// The outcome an answer's headers carry: the final PATCH's, or a HEAD's
// for an upload that was complete already.
function outcomeOfHeaders(upload, response) {
  const code = response.getHeader('Zmfile-Result-Code');
  if (code === null || code === undefined || code === '' || Number.isNaN(Number(code))) {
    return { outcome: describe(upload, response.getStatus(), null), stored: '' };
  }
  let stored = response.getHeader('Zmfile-Stored-Name') || '';
  try {
    stored = decodeURIComponent(stored);
  } catch (error) {
    // Bytes that are not UTF-8: shown as the server sent them.
  }
  const outcome = describe(upload, response.getStatus(), { ErrorCode: Number(code), Result: stored });
  return { outcome, stored: outcome.ok ? stored : '' };
}

// The outcome of a request the server refused, or that got no answer.
function outcomeOfError(upload, error) {
  const response = error.originalResponse;
  if (!response) {
    const lost = connectionLost();
    return { ...lost, text: `${lost.text} Retry goes on from where the upload stopped.` };
  }
  const status = response.getStatus();
  const reason = String(response.getBody() || '').trim() || `HTTP ${status}`;
  // A creation refused with 403: the name is taken and the policy is "error".
  if (status === 403 && error.originalRequest && error.originalRequest.getMethod() === 'POST') {
    return describe(upload, status, { ErrorCode: 106, Result: '' });
  }
  const kinds = { 411: 'no-length', 413: 'too-large', 403: 'site' };
  return describe(upload, status, { Refused: reason, RefusedKind: kinds[status] });
}

// The newest upload the browser remembers for this file that was created
// with the same name and policy, or null.
async function rememberedUpload(tusUpload, upload) {
  const previous = await tusUpload.findPreviousUploads();
  const matching = previous.filter((entry) => entry.metadata && entry.metadata.filename === upload.file.name &&
                                              entry.metadata.conflict === upload.policy &&
                                              !heldUrls.has(entry.uploadUrl));
  matching.sort((a, b) => String(b.creationTime).localeCompare(String(a.creationTime)));
  return matching[0] || null;
}

function createTusUpload(upload, { progress, settle, offline }) {
  return new window.tus.Upload(upload.file, {
    endpoint: new URL('resumable/', window.location.href).href,
    chunkSize: kChunkSize,
    retryDelays: kRetryDelays,
    // The comment travels with the upload and stays in its record; the
    // server's answer does not repeat it.
    metadata: upload.comment ? { filename: upload.file.name, conflict: upload.policy, comment: upload.comment }
                             : { filename: upload.file.name, conflict: upload.policy },
    // A stored file is done: picking it again uploads it again.
    removeFingerprintOnSuccess: true,
    httpStack: new PageHttpStack(),
    onUploadUrlAvailable: () => {
      heldUrls.set(upload.tus.url, upload);
      upload.row.node.dataset.resumeUrl = upload.tus.url;
    },
    onProgress: (sent, total) => {
      if (upload.state === 'uploading') progress(upload, sent, total);
    },
    onSuccess: ({ lastResponse }) => {
      const { outcome, stored } = outcomeOfHeaders(upload, lastResponse);
      // The upload is over either way: a retry starts a new one.
      release(upload);
      settle(upload, outcome.ok ? 'stored' : 'failed', outcome, stored);
    },
    onError: (error) => {
      // tus-js-client does not retry while the browser is offline.
      if (!error.originalResponse && navigator.onLine === false) {
        offline(upload);
        return;
      }
      const outcome = outcomeOfError(upload, error);
      // A refusal is final; after a lost connection Retry goes on.
      if (error.originalResponse) release(upload);
      settle(upload, 'failed', outcome, '');
    },
  });
}

// Sends `upload` through tus, or goes on with the one it was sending; the
// hooks are sendForm's, and offline(upload) when the browser lost the network. upload.stop() cancels it and deletes what the
// server holds; upload.pause() stops it, keeping that.
export async function sendResumable(upload, hooks) {
  let fresh = false;
  if (!upload.tus) {
    upload.tus = createTusUpload(upload, hooks);
    fresh = true;
  }
  const tusUpload = upload.tus;
  const sending = {};
  upload.sending = sending;
  upload.stop = () => {
    discardResumable(upload);
    hooks.settle(upload, 'cancelled', {
      ok: false, code: 'cancelled', text: 'Cancelled. The server keeps nothing of an upload that stops halfway.',
    }, '');
  };
  upload.pause = () => tusUpload.abort(false);
  if (fresh) {
    try {
      const remembered = await rememberedUpload(tusUpload, upload);
      if (remembered) tusUpload.resumeFromPreviousUpload(remembered);
    } catch (error) {
      // Nothing remembered: a new upload.
    }
    // Cancelled, paused or sent again while the store was read.
    if (upload.sending !== sending || upload.state !== 'uploading') return;
  }
  tusUpload.start();
}

// Ends the resumable upload `upload` holds, if any: it stops, and the
// server deletes what it received (or drops it when it expires).
export function discardResumable(upload) {
  if (!upload.tus) return;
  upload.tus.abort(true).catch(() => {});
  release(upload);
}
