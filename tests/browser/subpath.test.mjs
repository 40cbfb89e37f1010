// The upload page under a sub-path behind Debian's nginx, in a real browser:
// nginx configured from contrib/nginx/zmfile.conf (through
// tests/deploy/nginx_fixture.py) serves zmfile serve under /sub/. The page
// is opened at http://127.0.0.1:PORT/sub/, a file is uploaded through it,
// stored, listed, and downloaded by the page's own link; a file large
// enough for the resumable path is stored too; every request the page
// makes stays under /sub/. Skipped when nginx is not installed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const zmfile = process.env.ZMFILE_BINARY;
const python = process.env.ZIMRAX_PYTHON || '/usr/bin/python3';
const chromiumPath = process.env.ZIMRAX_CHROMIUM || '/usr/bin/chromium';
const fixture = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'deploy', 'nginx_fixture.py');
const chromiumFlags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--no-first-run', '--disable-quic', '--disable-sync',
];
const subPath = '/sub/';

function findNginx() {
  const found = spawnSync('sh', ['-c', 'command -v nginx || { test -x /usr/sbin/nginx && echo /usr/sbin/nginx; }'],
                          { encoding: 'utf8' });
  return found.stdout.trim();
}

// A port free on 127.0.0.1 right now.
async function freePort() {
  const probe = net.createServer();
  probe.listen(0, '127.0.0.1');
  await once(probe, 'listening');
  const { port } = probe.address();
  probe.close();
  await once(probe, 'close');
  return port;
}

// Resolves once 127.0.0.1:port accepts a connection (at most 10 s).
async function waitListening(port, child) {
  const deadline = Date.now() + 10000;
  while (Date.now() < deadline) {
    if (child.exitCode !== null) throw new Error(`process exited with ${child.exitCode}`);
    const ok = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (ok) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`nothing listens on 127.0.0.1:${port}`);
}

// Stops a child by its pid: SIGTERM, SIGKILL after 10 s. Resolves with its exit code.
async function stop(child) {
  if (child.exitCode !== null || child.signalCode !== null) return child.exitCode;
  const exited = once(child, 'exit');
  child.kill('SIGTERM');
  const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
  const [code] = await exited;
  clearTimeout(timer);
  return code;
}

// zmfile serve on a free port, with the public URL of the proxy (a build
// without the option refuses to start, and the test fails).
async function startServer(uploads, publicUrl) {
  const server = spawn(zmfile, ['serve', '--host', '127.0.0.1', '--port', '0', '--dir', uploads,
                                '--max-per-address', '512', '--public-url', publicUrl, '--trust-proxy'],
                       { stdio: ['ignore', 'pipe', 'inherit'] });
  let printed = '';
  server.stdout.on('data', (chunk) => { printed += chunk; });
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`server did not start: ${printed}`)), 15000);
    const look = () => {
      const match = /open http:\/\/127\.0\.0\.1:(\d+)\/ \(Ctrl-C/.exec(printed);
      if (match) {
        clearTimeout(timer);
        resolve(Number(match[1]));
      }
    };
    server.stdout.on('data', look);
    server.on('exit', (code) => reject(new Error(`server exited with ${code}: ${printed}`)));
  });
  return { server, port, log: () => printed };
}

test('the page under /sub/ behind nginx: upload, listing and download all under the sub-path', { timeout: 120000 },
     async (t) => {
  assert.ok(zmfile, 'ZMFILE_BINARY names the zmfile binary');
  if (!findNginx()) {
    t.skip('nginx is not installed (scripts/setup.sh installs it)');
    return;
  }
  assert.ok(fs.existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup.sh`);
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-subpath-'));
  const uploads = path.join(root, 'uploads');
  const nginxDir = path.join(root, 'nginx');
  fs.mkdirSync(nginxDir);
  const nginxPort = await freePort();
  const base = `http://127.0.0.1:${nginxPort}${subPath}`;
  const children = [];
  const codes = [];
  let context = null;
  try {
    const started = await startServer(uploads, base);
    children.push(started.server);
    // The fixture execs nginx, so this child's pid is nginx's.
    const nginx = spawn(python, [fixture, '--dir', nginxDir, '--listen', `127.0.0.1:${nginxPort}`,
                                 '--upstream', `127.0.0.1:${started.port}`, '--sub-path', subPath],
                        { stdio: ['ignore', 'inherit', 'inherit'], env: { ...process.env, PYTHONDONTWRITEBYTECODE: '1' } });
    children.unshift(nginx);
    await waitListening(nginxPort, nginx);

    context = await chromium.launchPersistentContext(path.join(root, 'profile'), {
      executablePath: chromiumPath, headless: true, args: chromiumFlags, acceptDownloads: true,
      viewport: { width: 1000, height: 900 },
    });
    const page = context.pages()[0] || await context.newPage();
    const pageErrors = [];
    const requested = [];
    page.on('pageerror', (error) => pageErrors.push(error.message));
    page.on('request', (request) => requested.push(request.url()));
    const failedAnswers = [];
    page.on('response', (response) => { if (response.status() >= 400) failedAnswers.push(`${response.status()} ${response.url()}`); });

    await page.goto(base);
    await page.waitForSelector('html[data-config="loaded"]', { timeout: 10000 });

    const name = 'under sub-path ✓.bin';
    const bytes = Buffer.concat([Buffer.from('\r\n--boundary-like line\r\n'),
                                 Buffer.from(Array.from({ length: 300000 }, (_, i) => (i * 7919) % 251))]);
    await page.setInputFiles('#file-input', { name, mimeType: 'application/octet-stream', buffer: bytes });
    await page.click('#submit');
    await page.waitForFunction(() => document.querySelectorAll(
      '#queue .upload-row[data-state="queued"], #queue .upload-row[data-state="uploading"]').length === 0,
    null, { timeout: 30000 });
    const row = await page.locator('#queue .upload-row').first().evaluate(
      (node) => ({ state: node.dataset.state, stored: node.dataset.storedName || null,
                   message: node.querySelector('.row-message').textContent }));
    assert.equal(row.state, 'stored', row.message);
    assert.equal(row.stored, name);
    assert.ok(fs.readFileSync(path.join(uploads, name)).equals(bytes), 'stored bytes equal the picked file');

    // Listed, with a link that resolves under the sub-path and downloads
    // exactly the stored bytes when clicked.
    const link = page.locator('#files a', { hasText: name });
    await link.waitFor({ timeout: 10000 });
    const href = await link.evaluate((node) => node.href);
    assert.ok(href.startsWith(`${base}files/`), href);
    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 15000 }), link.click()]);
    assert.equal(download.suggestedFilename(), name);
    assert.ok(fs.readFileSync(await download.path()).equals(bytes), 'downloaded bytes equal the stored file');

    // A file over the page's 64 MiB threshold takes the resumable path: the
    // server names the new upload from its own root, and the page must
    // still send its data under the sub-path.
    const large = path.join(root, 'large.bin');
    const largeBytes = crypto.randomBytes(64 * 1024 * 1024 + 4096);
    fs.writeFileSync(large, largeBytes);
    await page.setInputFiles('#file-input', large);
    await page.click('#submit');
    await page.waitForFunction(() => ['stored', 'failed'].includes(
      document.querySelector('#queue .upload-row:last-child').dataset.state), null, { timeout: 60000 });
    const largeRow = await page.locator('#queue .upload-row').last().evaluate(
      (node) => ({ state: node.dataset.state, message: node.querySelector('.row-message').textContent }));
    assert.deepEqual(largeRow, { state: 'stored', message: 'Stored as large.bin.' });
    assert.ok(fs.readFileSync(path.join(uploads, 'large.bin')).equals(largeBytes), 'the large file is stored whole');

    // Everything the page asked for went through the sub-path (a link from
    // the server's root would miss it), and nothing was refused.
    const outside = requested.filter((url) => !url.startsWith(base));
    assert.deepEqual(outside, [], 'requests outside the sub-path');
    assert.deepEqual(failedAnswers, []);
    assert.ok(requested.some((url) => url === `${base}upload`), `the upload went to ${base}upload`);
    assert.deepEqual(pageErrors, [], 'no script errors on the page');
    const access = fs.readFileSync(path.join(nginxDir, 'access.log'), 'utf8');
    assert.match(access, new RegExp(`"POST ${subPath}upload HTTP/1\\.1" 200 `), 'nginx carried the upload');
    assert.match(access, new RegExp(`"PATCH ${subPath}resumable/[0-9a-f]{32} HTTP/1\\.1" 204 `),
                 'nginx carried the resumable upload');
  } finally {
    if (context) await context.close();
    for (const child of children) codes.push(await stop(child));
    fs.rmSync(root, { recursive: true, force: true });
  }
  assert.deepEqual(codes, [0, 0], 'nginx and zmfile serve stop with status 0');
});
