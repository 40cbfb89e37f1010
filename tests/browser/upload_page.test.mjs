// The upload page of zmfile serve in a real browser: Debian's chromium,
// driven by playwright-core. Picks a binary file, drops a UTF-8-named one,
// fills the comment, chooses a policy, submits, and checks the progress bar,
// the result, the list and the stored bytes. Leaves screenshots in the build
// tree and prints their paths.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const zmfile = process.env.ZMFILE_BINARY;
const outputDir = process.env.ZIMRAX_BROWSER_OUTPUT || os.tmpdir();
const chromiumPath = process.env.ZIMRAX_CHROMIUM || '/usr/bin/chromium';
const chromiumFlags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--no-first-run', '--disable-quic', '--disable-sync',
];

// Starts zmfile serve on a free port; resolves with its URL once it prints it.
async function startServer(dir) {
  const server = spawn(zmfile, ['serve', '--host', '127.0.0.1', '--port', '0', '--dir', dir],
                       { stdio: ['ignore', 'pipe', 'inherit'] });
  let printed = '';
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`server did not start: ${printed}`)), 15000);
    server.stdout.on('data', (chunk) => {
      printed += chunk;
      const match = /open (http:\/\/127\.0\.0\.1:\d+\/)/.exec(printed);
      if (match) {
        clearTimeout(timer);
        resolve(match[1]);
      }
    });
    server.on('exit', (code) => reject(new Error(`server exited with ${code}: ${printed}`)));
  });
  server.stdout.on('data', (chunk) => { printed += chunk; });
  return { server, url, log: () => printed };
}

// Bytes a multipart parser could trip over: CR LF runs, lines of dashes like
// Chrome's boundary, and every byte value.
function trickyBytes() {
  const parts = [];
  for (let i = 0; i < 2000; i += 1) {
    parts.push(Buffer.from(`\r\n------WebKitFormBoundary${'x'.repeat(i % 17)}\r\n\r\n--`, 'latin1'));
  }
  parts.push(Buffer.from(Array.from({ length: 256 * 16 }, (_, i) => i % 256)));
  let seed = 12345;
  const random = Buffer.alloc(3 * 1024 * 1024);
  for (let i = 0; i < random.length; i += 1) {
    seed = (seed * 1103515245 + 12345) >>> 0;
    random[i] = seed >>> 24;
  }
  parts.push(random, Buffer.from('\r\n\r\n'));
  return Buffer.concat(parts);
}

async function submitAndWait(page) {
  await page.click('#submit');
  await page.waitForSelector('#result:not([hidden])', { timeout: 60000 });
  await page.waitForSelector('#submit:not([disabled])', { timeout: 60000 });
}

async function resultOf(page) {
  return page.$eval('#result', (node) => ({
    ok: node.classList.contains('ok'),
    text: node.textContent,
    stored: node.dataset.storedName || null,
  }));
}

async function progressOf(page) {
  return page.$eval('#progress', (node) => ({
    hidden: node.hidden,
    value: Number(node.getAttribute('aria-valuenow')),
    done: node.classList.contains('done'),
    events: Number(node.dataset.events || 0),
  }));
}

async function listedNames(page) {
  return page.$$eval('#files a', (links) => links.map((link) => link.textContent));
}

test('upload page stores picked and dropped files byte for byte', { timeout: 240000 }, async () => {
  assert.ok(zmfile, 'ZMFILE_BINARY names the zmfile binary');
  assert.ok(fs.existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup.sh`);
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-browser-'));
  const uploads = path.join(root, 'uploads');
  const { server, url, log } = await startServer(uploads);
  const context = await chromium.launchPersistentContext(path.join(root, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: chromiumFlags,
    viewport: { width: 1000, height: 1100 },
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    const pageErrors = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('file-count').textContent === '0');
    assert.equal(await page.isChecked('#policy-makeunique'), true, 'the server default policy is preselected');

    // 1. A binary file through the file picker, policy "Keep both".
    const binary = trickyBytes();
    await page.setInputFiles('#file-input',
                             { name: 'sample-data.bin', mimeType: 'application/octet-stream', buffer: binary });
    assert.equal(await page.textContent('#drop-title'), 'sample-data.bin');
    await page.fill('#comment', 'first upload ✓');
    await page.click('label[for="policy-makeunique"]');
    await submitAndWait(page);
    let result = await resultOf(page);
    assert.equal(result.ok, true, result.text);
    assert.equal(result.stored, 'sample-data.bin');
    assert.match(result.text, /Comment: first upload ✓/);
    let progress = await progressOf(page);
    assert.equal(progress.hidden, false);
    assert.equal(progress.value, 100);
    assert.equal(progress.done, true);
    assert.ok(progress.events >= 1, 'XHR upload progress events moved the bar');
    // The fill slides to its width: wait for the end of that transition.
    await page.waitForFunction(() => {
      const fill = document.getElementById('progress-fill').getBoundingClientRect().width;
      const track = document.querySelector('.progress-track').getBoundingClientRect().width;
      return track > 0 && track - fill < 3;
    }, null, { timeout: 5000 });
    assert.ok(fs.readFileSync(path.join(uploads, 'sample-data.bin')).equals(binary),
              'stored bytes equal the picked file');

    // 2. The same file again: "Keep both" numbers it.
    await submitAndWait(page);
    result = await resultOf(page);
    assert.equal(result.stored, 'sample-data(1).bin');
    assert.ok(fs.readFileSync(path.join(uploads, 'sample-data(1).bin')).equals(binary));

    // 3. A UTF-8-named file by drag and drop, policy "Refuse".
    const utf8Name = 'Résumé – Grüße ✓ Ωμέγα.txt';
    const utf8Bytes = Buffer.from('Grüße, Ωμέγα ✓\r\nline two\r\n', 'utf8');
    const dropped = await page.evaluateHandle(({ name, base64 }) => {
      const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
      const transfer = new DataTransfer();
      transfer.items.add(new File([bytes], name, { type: 'text/plain' }));
      return transfer;
    }, { name: utf8Name, base64: utf8Bytes.toString('base64') });
    await page.dispatchEvent('#drop-zone', 'drop', { dataTransfer: dropped });
    assert.equal(await page.textContent('#drop-title'), utf8Name);
    await page.fill('#comment', 'dropped');
    await page.click('label[for="policy-error"]');
    await submitAndWait(page);
    result = await resultOf(page);
    assert.equal(result.ok, true, result.text);
    assert.equal(result.stored, utf8Name);
    assert.ok(fs.readFileSync(path.join(uploads, utf8Name)).equals(utf8Bytes), 'stored bytes equal the dropped file');
    await page.waitForFunction((name) => [...document.querySelectorAll('#files a')].some((a) => a.textContent === name),
                               utf8Name);
    assert.deepEqual((await listedNames(page)).sort(), ['sample-data(1).bin', 'sample-data.bin', utf8Name].sort());

    // The list's link downloads exactly the stored bytes.
    const href = await page.getAttribute(`#files a:text-is("${utf8Name}")`, 'href');
    const download = await context.request.get(new URL(href, url).href);
    assert.equal(download.status(), 200);
    assert.match(download.headers()['content-disposition'], /^attachment;/);
    assert.equal(download.headers()['x-content-type-options'], 'nosniff');
    assert.ok((await download.body()).equals(utf8Bytes));

    const screenshot = path.join(outputDir, 'upload-page.png');
    await page.screenshot({ path: screenshot, fullPage: true });
    console.log(`screenshot: ${screenshot}`);

    // 4. The same name again under "Refuse": the component's code 106.
    await submitAndWait(page);
    result = await resultOf(page);
    assert.equal(result.ok, false);
    assert.match(result.text, /Error 106/);
    assert.match(result.text, /Error: File Already Exists\./);
    progress = await progressOf(page);
    assert.equal(progress.done, false);
    assert.ok(fs.readFileSync(path.join(uploads, utf8Name)).equals(utf8Bytes), 'a refused upload changes nothing');

    // Phone width: nothing sticks out sideways.
    await page.setViewportSize({ width: 390, height: 844 });
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    assert.ok(overflow <= 0, `the page is ${overflow}px wider than a phone`);
    const phoneShot = path.join(outputDir, 'upload-page-phone.png');
    await page.screenshot({ path: phoneShot, fullPage: true });
    console.log(`screenshot: ${phoneShot}`);

    assert.deepEqual(pageErrors, [], 'no script errors on the page');
  } finally {
    await context.close();
    if (server.exitCode === null) server.kill('SIGINT');
    const code = server.exitCode ?? (await once(server, 'exit'))[0];
    fs.rmSync(root, { recursive: true, force: true });
    assert.equal(code, 0, `server exit status; log:\n${log()}`);
  }
});

test('without JavaScript the form posts and the result page shows the stored name', { timeout: 120000 }, async () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-browser-'));
  const uploads = path.join(root, 'uploads');
  const { server, url, log } = await startServer(uploads);
  const context = await chromium.launchPersistentContext(path.join(root, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: chromiumFlags,
    javaScriptEnabled: false,
    viewport: { width: 800, height: 700 },
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    await page.goto(url);
    const bytes = Buffer.from('plain form\r\n--not a boundary\r\n', 'latin1');
    await page.setInputFiles('#file-input', { name: 'no-script & <ok>.txt', mimeType: 'text/plain', buffer: bytes });
    await page.fill('#comment', 'sent by a plain form');
    await page.click('label[for="policy-overwrite"]');
    await Promise.all([page.waitForNavigation(), page.click('#submit')]);
    assert.equal(new URL(page.url()).pathname, '/upload');
    assert.equal(await page.textContent('.result.ok code'), 'no-script & <ok>.txt');
    assert.match(await page.textContent('.comment'), /sent by a plain form/);
    assert.deepEqual(await page.$$eval('.files a', (links) => links.map((a) => a.textContent)),
                     ['no-script & <ok>.txt']);
    assert.ok(fs.readFileSync(path.join(uploads, 'no-script & <ok>.txt')).equals(bytes));
    const screenshot = path.join(outputDir, 'upload-result-page.png');
    await page.screenshot({ path: screenshot, fullPage: true });
    console.log(`screenshot: ${screenshot}`);
  } finally {
    await context.close();
    if (server.exitCode === null) server.kill('SIGINT');
    const code = server.exitCode ?? (await once(server, 'exit'))[0];
    fs.rmSync(root, { recursive: true, force: true });
    assert.equal(code, 0, `server exit status; log:\n${log()}`);
  }
});
