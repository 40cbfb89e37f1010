// The outcome of an upload in plain language: the server's answer (the
// JSON of POST upload, or what a resumable upload's headers say) turned
// into one sentence, the code for the small print, and the policies a
// retry may offer.
import { formatSize } from './format.js';

export const kPolicies = ['makeunique', 'overwrite', 'error'];
// The longest file name the server's file systems hold, in bytes.
const kMaxNameBytes = 255;

// What GET config said; the page's defaults until it answers.
export const server = { maxBody: 0, allowedPolicies: kPolicies.slice(), deleteAllowed: false };

// Turns an answer into { ok, text, code, choices }: what happened and what
// to do, the code for the small print, and the policies a retry may offer.
export function describe(upload, status, answer) {
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
      const choices = ['makeunique', 'overwrite'].filter((policy) => server.allowedPolicies.includes(policy));
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
        const choices = server.allowedPolicies.includes('overwrite') ? ['overwrite'] : [];
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
    'too-large': `${name} is too large for this server${server.maxBody ? `, which takes up to ${formatSize(server.maxBody)} per upload` : ''}. It was not stored.`,
    'no-length': 'The browser sent the upload without its length, which the server needs. Try another browser.',
    framing: 'The browser sent the upload in a way the server does not take. Try another browser.',
    'not-a-form': 'The server takes uploads only as forms. Reload this page and upload again.',
    'path-name': `The server takes plain file names only, and ${name} looks like a path or is too long. Rename the file and upload it again.`,
    'hidden-name': `${name} starts with a dot, and hidden names are not accepted. Rename the file and upload it again.`,
    incomplete: 'The upload did not arrive whole. Retry.',
    site: 'The server does not take uploads from this address of the page. Open the page at the server\'s own address and upload again.',
    internal: 'The server failed while storing the upload. Retry; if it keeps happening, tell whoever runs the server.',
  };
  return { ok: false, code,
           text: texts[kind] || 'The server refused the upload. Retry; if it keeps happening, tell whoever runs the server.' };
}

// A request that got no answer at all.
export function connectionLost() {
  return {
    ok: false, code: 'network error',
    text: 'The connection to the server was lost before it answered. Check that the server is running, then retry.',
  };
}
