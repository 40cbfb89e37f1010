// The upload page's resumable path (files over 64 MiB, tus-js-client) in
// Debian's chromium, driven by playwright-core. An 80 MiB upload on a
// throttled uplink is cut at about half by restarting the server (CDP's
// offline mode does not cut a request already in flight), and goes on from
// the server's offset; so does one whose browser went offline and back,
// and a reload mid-upload with the same file picked again; Pause and
// Resume under Basic authentication, and the outcome sentences from the
// final PATCH's headers and from a refused creation; Cancel deletes the
// server's part; two rows of one file upload separately. Each time the
// stored file is the data byte for byte, and the bytes the server received,
// counted from its log, are at most 1.2 times the file.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

import { chromiumFlags, chromiumPath, startServer, zmfile } from './zmfile_server.mjs';

const kSize = 80 * 1024 * 1024;      // over the page's threshold of 64 MiB
const kThrottle = 8 * 1024 * 1024;   // bytes per second while the upload is to be cut
const kMaxReceived = 1.2 * kSize;    // what the server may receive in all
const outputDir = process.env.ZIMRAX_BROWSER_OUTPUT || os.tmpdir();

// The body bytes the server received for resumable uploads, from its log:
// whole PATCHes ("PATCH /resumable/ID 204 in=N") and cut ones ("upload
// ended after N of M body bytes", "upload aborted at stop after N bytes").
function receivedBytes(log) {
  let total = 0;
  for (const match of log.matchAll(/ PATCH \/resumable\/\S+ \d+ in=(\d+)/g)) total += Number(match[1]);
  for (const match of log.matchAll(/upload ended after (\d+) of \d+ body bytes/g)) total += Number(match[1]);
  for (const match of log.matchAll(/upload aborted at stop after (\d+) bytes/g)) total += Number(match[1]);
  return total;
}

async function stopServer(server) {
  if (server.exitCode === null && server.signalCode === null) {
    server.kill('SIGINT');
    await once(server, 'exit');
  }
  return server.exitCode;
}

// A server on a fresh directory, an 80 MiB file of random bytes and a fresh
// chromium profile for one test; `body` gets them all. Checks at the end
// that the page raised no script error and the server stopped cleanly.
async function withResumablePage(options, body) {
  assert.ok(zmfile, 'ZMFILE_BINARY names the zmfile binary');
  assert.ok(fs.existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup.sh`);
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-resumable-page-'));
  const uploads = path.join(root, 'uploads');
  fs.mkdirSync(uploads);
  for (const [name, bytes] of Object.entries(options.existing || {})) fs.writeFileSync(path.join(uploads, name), bytes);
  const data = randomBytes(kSize);
  const file = path.join(root, 'big.bin');
  fs.writeFileSync(file, data);
  // The server may be restarted: `session.server` is the running one, and
  // `session.logs` gathers every log it wrote.
  const session = { root, uploads, file, data, serverArgs: ['--drain-seconds', '0', ...(options.serverArgs || [])] };
  const first = await startServer(uploads, session.serverArgs);
  Object.assign(session, { server: first.server, url: first.url, logs: [first.log] });
  session.log = () => session.logs.map((log) => log()).join('');
  const context = await chromium.launchPersistentContext(path.join(root, 'profile'), {
    executablePath: chromiumPath, headless: true, args: chromiumFlags, viewport: { width: 1000, height: 900 },
    httpCredentials: options.httpCredentials,
  });
  const pageErrors = [];
  let code = null;
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (error) => pageErrors.push(error.message));
    // Every tus request the page makes: method and Upload-Offset, in order.
    session.requests = [];
    page.on('request', (request) => {
      if (!request.url().includes('/resumable/')) return;
      session.requests.push({ method: request.method(), offset: Number(request.headers()['upload-offset'] ?? -1) });
    });
    session.cdp = await context.newCDPSession(page);
    await session.cdp.send('Network.enable');
    await page.goto(session.url);
    await page.waitForSelector('html[data-config="loaded"]', { timeout: 10000 });
    await body(page, session);
    assert.deepEqual(pageErrors, [], 'no script errors on the page');
  } finally {
    await context.close();
    code = await stopServer(session.server);
  }
  assert.equal(code, 0, `server exit status; log:\n${session.log()}`);
  fs.rmSync(root, { recursive: true, force: true });
}

async function throttle(session, bytesPerSecond) {
  await session.cdp.send('Network.emulateNetworkConditions',
                         { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: bytesPerSecond });
}

const row = (page) => page.locator('#queue .upload-row').last();

async function rowState(page) {
  return row(page).evaluate((node) => ({
    state: node.dataset.state,
    stored: node.dataset.storedName || null,
    loaded: Number(node.dataset.loaded || 0),
    message: node.querySelector('.row-message').textContent,
    code: node.querySelector('.row-code').textContent,
    stats: node.querySelector('.row-stats').textContent,
    buttons: [...node.querySelectorAll('.row-actions button')].map((b) => b.textContent),
  }));
}

async function waitLoaded(page, fraction, timeout = 30000) {
  await page.waitForFunction((bytes) => Number(document.querySelector('#queue .upload-row:last-child')
    ?.dataset.loaded || 0) >= bytes, kSize * fraction, { timeout });
}

async function waitState(page, state, timeout = 90000) {
  await page.waitForFunction((wanted) => document.querySelector('#queue .upload-row:last-child')
    ?.dataset.state === wanted, state, { timeout });
}

async function pickAndUpload(page, file) {
  await page.setInputFiles('#file-input', file);
  await page.click('#submit');
}

// The data file of the one unfinished upload, or 0 bytes.
function stagedBytes(uploads) {
  const staging = path.join(uploads, '.resumable-uploads');
  if (!fs.existsSync(staging)) return 0;
  const data = fs.readdirSync(staging).find((name) => name.endsWith('.data'));
  return data ? fs.statSync(path.join(staging, data)).size : 0;
}

function assertStoredWhole(session, name) {
  assert.ok(fs.readFileSync(path.join(session.uploads, name)).equals(session.data), `${name} is the data`);
  const received = receivedBytes(session.log());
  assert.ok(received >= kSize && received <= kMaxReceived,
            `the server received ${received} bytes for a file of ${kSize} (at most ${kMaxReceived}); log:\n${session.log()}`);
}

test('cut at about half by a server restart, the page goes on from the server\'s offset (slow)', { timeout: 150000 }, async () => {
  await withResumablePage({}, async (page, session) => {
    await throttle(session, kThrottle);
    await pickAndUpload(page, session.file);
    // Just into the third 16 MiB PATCH, so that one is in flight at the cut.
    await waitLoaded(page, 0.42);
    const during = await rowState(page);
    assert.equal(during.state, 'uploading');
    assert.deepEqual(during.buttons, ['Pause', 'Cancel']);

    // The cut: the server stops with the PATCH in flight, and says so.
    const port = new URL(session.url).port;
    assert.equal(await stopServer(session.server), 0);
    const cut = /upload aborted at stop after (\d+) bytes; the bytes received are kept for resuming/.exec(session.log());
    assert.ok(cut, `the server's log shows the PATCH cut:\n${session.log()}`);
    const held = stagedBytes(session.uploads);
    assert.ok(held > kSize * 0.3 && held < kSize * 0.75, `the server holds ${held} bytes, about half`);
    const before = session.requests.length;

    // Restored: the same server again, the uplink at full speed.
    const restarted = await startServer(session.uploads, session.serverArgs, Number(port));
    session.server = restarted.server;
    session.logs.push(restarted.log);
    await throttle(session, -1);
    await waitState(page, 'stored');

    const after = session.requests.slice(before);
    const firstPatch = after.find((request) => request.method === 'PATCH');
    assert.ok(after.some((request) => request.method === 'HEAD'), 'the page asked the server for its offset');
    assert.equal(firstPatch.offset, held, 'the first PATCH after the cut starts at what the server held');
    assert.ok(!after.some((request) => request.method === 'POST'), 'no new upload was created');
    const done = await rowState(page);
    assert.equal(done.stored, 'big.bin');
    assert.equal(done.message, 'Stored as big.bin.');
    assert.equal(done.code, 'code 0');
    assertStoredWhole(session, 'big.bin');
  });
});

test('reloaded mid-upload, the same file picked again goes on from the server\'s offset (slow)', { timeout: 150000 }, async () => {
  await withResumablePage({}, async (page, session) => {
    await throttle(session, kThrottle);
    await pickAndUpload(page, session.file);
    // Just into the second 16 MiB PATCH, so that one is in flight at the reload.
    await waitLoaded(page, 0.25);
    await page.reload();
    await page.waitForSelector('html[data-config="loaded"]', { timeout: 10000 });
    // The reload cut the PATCH in flight: the server logged it.
    const deadline = Date.now() + 10000;
    while (!/upload ended after \d+ of \d+ body bytes/.test(session.log()) && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    assert.match(session.log(), /upload ended after \d+ of \d+ body bytes \(.*\); the bytes received are kept for resuming/,
                 'the server\'s log shows the PATCH cut');
    const remembered = await page.evaluate(() => Object.keys(localStorage).filter((key) => key.startsWith('tus::')));
    assert.equal(remembered.length, 1, 'the browser remembers the unfinished upload');
    const held = stagedBytes(session.uploads);
    const before = session.requests.length;

    await throttle(session, -1);
    await pickAndUpload(page, session.file);
    await waitState(page, 'stored');
    const after = session.requests.slice(before);
    assert.deepEqual(after.slice(0, 2).map((request) => request.method), ['HEAD', 'PATCH'],
                     'resumed by the remembered URL, no new upload');
    assert.ok(after[1].offset > 0 && after[1].offset === held,
              `the first PATCH after the reload starts at ${after[1].offset}, the server held ${held}`);
    assert.equal((await rowState(page)).message, 'Stored as big.bin.');
    assertStoredWhole(session, 'big.bin');
    const left = await page.evaluate(() => Object.keys(localStorage).filter((key) => key.startsWith('tus::')));
    assert.deepEqual(left, [], 'a stored upload is forgotten: picking the file again uploads it again');
  });
});

test('Pause and Resume under Basic authentication; outcomes from the server\'s headers (slow)', { timeout: 150000 }, async () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-htpasswd-'));
  const htpasswd = path.join(root, 'users');
  const hash = execFileSync('openssl', ['passwd', '-6', 'secret'], { encoding: 'utf8' }).trim();
  fs.writeFileSync(htpasswd, `ann:${hash}\n`);
  const options = {
    existing: { 'big.bin': 'already here\n' }, serverArgs: ['--htpasswd', htpasswd],
    httpCredentials: { username: 'ann', password: 'secret' },
  };
  try {
    await withResumablePage(options, async (page, session) => {
      await throttle(session, kThrottle);
      await pickAndUpload(page, session.file);
      await waitLoaded(page, 0.25);
      await row(page).getByRole('button', { name: 'Pause upload of big.bin' }).click();
      const paused = await rowState(page);
      assert.equal(paused.state, 'paused');
      assert.deepEqual(paused.buttons, ['Resume', 'Cancel']);
      assert.match(paused.stats, /^Paused at [\d.]+ MiB of 80\.0 MiB\. Resume goes on from there\.$/);
      assert.equal(await page.textContent('#summary'), '0 of 1 stored, 1 paused');
      const shot = path.join(outputDir, 'upload-page-paused-row.png');
      await row(page).screenshot({ path: shot });
      console.log(`screenshot: ${shot}`);
      // Paused means nothing more is sent.
      await new Promise((resolve) => setTimeout(resolve, 1500));
      const held = stagedBytes(session.uploads);
      await new Promise((resolve) => setTimeout(resolve, 1000));
      assert.equal(stagedBytes(session.uploads), held, 'nothing arrives while paused');
      assert.ok(held > 0, 'the server kept what arrived before the pause');

      const before = session.requests.length;
      await throttle(session, -1);
      await row(page).getByRole('button', { name: 'Resume upload of big.bin' }).click();
      await waitState(page, 'stored');
      const firstPatch = session.requests.slice(before).find((request) => request.method === 'PATCH');
      assert.equal(firstPatch.offset, held, 'Resume starts at what the server held');
      // Kept beside the file that was there, in the one-request path's words.
      const stored = await rowState(page);
      assert.equal(stored.stored, 'big(1).bin');
      assert.equal(stored.message, 'Stored as big(1).bin, because a file named big.bin was already there.');
      assertStoredWhole(session, 'big(1).bin');
      assert.match(session.log(), / PATCH \/resumable\/\S+ 204 .* user="ann"/, 'the PATCHes ran as the user');

      // Under Refuse the creation is refused, with the 106 sentence and its choice.
      await page.click('label[for="policy-error"]');
      await pickAndUpload(page, session.file);
      await waitState(page, 'failed', 30000);
      const refused = await rowState(page);
      assert.equal(refused.message, 'A file named big.bin is already there. Choose Keep both to store yours beside it.');
      assert.equal(refused.code, 'code 106');
      assert.deepEqual(refused.buttons, ['Keep both', 'Dismiss']);
      await row(page).getByRole('button', { name: 'Keep both: retry big.bin' }).click();
      await waitState(page, 'stored');
      assert.equal((await rowState(page)).stored, 'big(2).bin');
      assert.ok(fs.readFileSync(path.join(session.uploads, 'big(2).bin')).equals(session.data));
    });
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});

test('Cancel of a resumable upload deletes what the server holds; Retry starts a new one (slow)', { timeout: 120000 }, async () => {
  await withResumablePage({}, async (page, session) => {
    await throttle(session, kThrottle);
    await page.fill('#comment', 'a note');
    await pickAndUpload(page, session.file);
    await waitLoaded(page, 0.1);
    assert.ok(stagedBytes(session.uploads) > 0, 'the server holds part of the upload');
    await row(page).getByRole('button', { name: 'Cancel upload of big.bin' }).click();
    const cancelled = await rowState(page);
    assert.equal(cancelled.state, 'cancelled');
    assert.equal(cancelled.message, 'Cancelled. The server keeps nothing of an upload that stops halfway.');
    const deadline = Date.now() + 10000;
    while (!/ DELETE \/resumable\/[0-9a-f]{32} 204 /.test(session.log()) && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    assert.match(session.log(), / DELETE \/resumable\/[0-9a-f]{32} 204 /, 'the page deleted the upload');
    assert.equal(stagedBytes(session.uploads), 0, 'nothing of it is left on the server');

    const before = session.requests.length;
    await throttle(session, -1);
    await row(page).getByRole('button', { name: 'Retry big.bin' }).click();
    await waitState(page, 'stored');
    assert.equal(session.requests[before].method, 'POST', 'Retry after Cancel creates a new upload');
    const stored = await rowState(page);
    assert.equal(stored.message, 'Stored as big.bin.');
    assert.equal(await row(page).locator('.row-settings').textContent(), 'If the name exists: Keep both · Comment: a note');
    assert.ok(fs.readFileSync(path.join(session.uploads, 'big.bin')).equals(session.data), 'big.bin is the data');
  });
});

test('offline mid-upload, the row waits for the network and goes on from the server\'s offset (slow)', { timeout: 120000 }, async () => {
  await withResumablePage({}, async (page, session) => {
    await throttle(session, kThrottle);
    await pickAndUpload(page, session.file);
    await waitLoaded(page, 0.3);
    await session.cdp.send('Network.emulateNetworkConditions',
                           { offline: true, latency: 0, downloadThroughput: -1, uploadThroughput: kThrottle });
    // The PATCH in flight may still finish; the next one cannot start.
    await waitState(page, 'paused', 30000);
    const waiting = await rowState(page);
    assert.match(waiting.stats, /^The network is gone at [\d.]+ MiB of 80\.0 MiB\. The upload goes on when it is back\.$/);
    assert.deepEqual(waiting.buttons, ['Resume', 'Cancel']);
    const held = stagedBytes(session.uploads);
    assert.ok(held > 0 && held < kSize, `the server holds ${held} bytes`);
    const before = session.requests.length;

    await throttle(session, -1);
    await waitState(page, 'stored');
    const after = session.requests.slice(before);
    const firstPatch = after.find((request) => request.method === 'PATCH');
    assert.equal(firstPatch.offset, held, 'back online, the upload goes on from what the server held');
    assert.ok(!after.some((request) => request.method === 'POST'), 'no new upload was created');
    assertStoredWhole(session, 'big.bin');
  });
});

test('the same file in two rows of one page: each row its own upload (slow)', { timeout: 120000 }, async () => {
  await withResumablePage({}, async (page, session) => {
    await throttle(session, kThrottle);
    await pickAndUpload(page, session.file);
    await waitLoaded(page, 0.1);
    await row(page).getByRole('button', { name: 'Pause upload of big.bin' }).click();

    // The browser remembers the paused upload for this file, but the first
    // row holds it: the second row creates its own.
    const before = session.requests.length;
    await throttle(session, -1);
    await pickAndUpload(page, session.file);
    await waitState(page, 'stored');
    assert.equal(session.requests[before].method, 'POST', 'the second row created a new upload');
    await page.locator('#queue .upload-row').first().getByRole('button', { name: 'Resume upload of big.bin' }).click();
    await page.waitForFunction(() => document.querySelector('#queue .upload-row:first-child').dataset.state === 'stored',
                               null, { timeout: 60000 });
    const stored = await page.$$eval('#queue .upload-row', (nodes) => nodes.map((node) => node.dataset.storedName));
    assert.deepEqual(stored.sort(), ['big(1).bin', 'big.bin']);
    for (const name of stored) {
      assert.ok(fs.readFileSync(path.join(session.uploads, name)).equals(session.data), `${name} is the data`);
    }
  });
});
