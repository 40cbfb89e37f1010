// Uploads files to zmfile serve from Node, for the client matrix:
//
//   node node_upload.mjs formdata URL FIELD FILE NAME  fetch() with FormData and a Blob
//   node node_upload.mjs stream URL FIELD FILE NAME    fetch() with a ReadableStream body (duplex: 'half')
//   node node_upload.mjs chromium PAGE_URL FILE NAME   Chromium (playwright-core) posting a plain HTML
//                                                      form with two file inputs, upload1 left empty
//
// Prints one line of JSON: {"status": N, "body": "..."}.
import fs from 'node:fs';
import path from 'node:path';

const [mode, url, ...rest] = process.argv.slice(2);

async function fetchFormData(field, file, name) {
  const form = new FormData();
  form.append(field, new Blob([fs.readFileSync(file)]), name);
  return fetch(url, { method: 'POST', body: form, headers: { Accept: 'application/json' } });
}

// The form written by hand around the file's bytes, streamed as they are read.
async function fetchStream(field, file, name) {
  const boundary = `----nodeStream${Date.now().toString(16)}`;
  const quoted = name.replaceAll('"', '%22');
  const head = Buffer.from(`--${boundary}\r\nContent-Disposition: form-data; name="${field}"; ` +
                           `filename="${quoted}"\r\nContent-Type: application/octet-stream\r\n\r\n`);
  const tail = Buffer.from(`\r\n--${boundary}--\r\n`);
  const reader = fs.createReadStream(file, { highWaterMark: 256 * 1024 });
  const body = new ReadableStream({
    async start(controller) {
      controller.enqueue(head);
      for await (const piece of reader) controller.enqueue(piece);
      controller.enqueue(tail);
      controller.close();
    },
  });
  return fetch(url, {
    method: 'POST', body, duplex: 'half',
    headers: { Accept: 'application/json', 'Content-Type': `multipart/form-data; boundary=${boundary}` },
  });
}

// A plain form (no script) on the server's own origin: the page is loaded
// first, so that the form posts with that Origin, then replaced.
async function chromiumForm(file, name) {
  const { chromium } = await import('playwright-core');
  const browser = await chromium.launch({
    executablePath: process.env.ZIMRAX_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
           '--no-first-run', '--disable-quic', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    await page.goto(url);
    await page.setContent(`<!doctype html><form method="post" enctype="multipart/form-data" action="upload">
      <input type="file" name="upload1"><input type="file" name="upload2"><button>Upload</button></form>`);
    // The picked file goes in under `name`: a copy with that name.
    const dir = fs.mkdtempSync(path.join(path.dirname(file), 'picked-'));
    const picked = path.join(dir, name);
    fs.copyFileSync(file, picked);
    await page.setInputFiles('input[name=upload2]', picked);
    const [response] = await Promise.all([
      page.waitForResponse((r) => r.url().endsWith('/upload'), { timeout: 120000 }),
      page.click('button'),
    ]);
    const body = await response.text();
    fs.rmSync(dir, { recursive: true, force: true });
    return { status: response.status(), text: async () => body };
  } finally {
    await browser.close();
  }
}

let response;
if (mode === 'formdata') response = await fetchFormData(...rest);
else if (mode === 'stream') response = await fetchStream(...rest);
else if (mode === 'chromium') response = await chromiumForm(...rest);
else throw new Error(`unknown mode ${mode}`);
process.stdout.write(`${JSON.stringify({ status: response.status, body: await response.text() })}\n`);
