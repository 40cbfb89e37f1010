// tus-js-client, the protocol's own client, against zmfile serve: 64 MiB in
// 5 MiB chunks, broken off at about half, then resumed from the upload's URL
// with a new client. Three ways of breaking off: the client's socket
// destroyed, the server stopped and started again, and the server killed
// with SIGKILL and started again. Each time the stored file must be the
// data byte for byte, nothing acknowledged may be lost, and at most one
// chunk may be sent again.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { mkdtempSync, readdirSync, readFileSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import * as tus from 'tus-js-client';
import { startServer } from './zmfile_server.mjs';

const kSize = 64 * 1024 * 1024;
const kChunk = 5 * 1024 * 1024;

// Runs one tus-js-client upload of `data`; `options` adds to or overrides the
// defaults. Resolves with the upload when it succeeds or fails.
function runUpload(data, options) {
  return new Promise((resolve) => {
    const upload = new tus.Upload(data, {
      chunkSize: kChunk,
      retryDelays: null,
      storeFingerprintForResuming: false,
      ...options,
      onError: (error) => resolve({ upload, error }),
      onSuccess: () => resolve({ upload, error: null }),
    });
    upload.start();
  });
}

// The bytes the server holds of the one unfinished upload in `dir`.
function stagedBytes(dir) {
  try {
    const staging = join(dir, '.resumable-uploads');
    const data = readdirSync(staging).find((name) => name.endsWith('.data'));
    return data ? statSync(join(staging, data)).size : 0;
  } catch {
    return 0;
  }
}

function exitOf(server) {
  return new Promise((resolve) => {
    if (server.exitCode !== null || server.signalCode !== null) resolve();
    else server.once('exit', () => resolve());
  });
}

// `breakOff(context)` is called in the middle of the PATCH that carries the
// middle of the data, once the server holds a quarter chunk of it: it ends
// the first attempt and resolves with a server to resume against.
async function uploadBrokenOffAndResumed(t, name, breakOff) {
  const dir = mkdtempSync(join(tmpdir(), 'zmfile-tus-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  let context = await startServer(dir, ['--drain-seconds', '0']);
  const port = new URL(context.url).port;
  t.after(() => context.server.kill('SIGKILL'));
  const data = randomBytes(kSize);

  let acknowledged = 0;
  let acknowledgedAtBreak = -1;
  let breaking = null;
  const first = await runUpload(data, {
    endpoint: `${context.url}resumable/`,
    metadata: { filename: name },
    onBeforeRequest: (request) => {
      const offset = Number(request.getHeader('Upload-Offset'));
      if (breaking || request.getMethod() !== 'PATCH' || offset + kChunk < kSize / 2) return;
      breaking = new Promise((resolve) => {
        const timer = setInterval(() => {
          if (stagedBytes(dir) < offset + kChunk / 4) return;
          clearInterval(timer);
          acknowledgedAtBreak = acknowledged;
          resolve(breakOff({ context, request, dir, port }));
        }, 1);
      });
    },
    onChunkComplete: (_chunk, accepted) => { acknowledged = accepted; },
  });
  assert.ok(first.error, 'the first attempt was broken off');
  const uploadUrl = first.upload.url;
  assert.match(uploadUrl, /\/resumable\/[0-9a-f]{32}$/);
  context = await breaking;
  assert.ok(acknowledgedAtBreak >= kSize / 2 - kChunk && acknowledgedAtBreak < kSize, 'broken off at about half');

  const head = await fetch(uploadUrl, { method: 'HEAD', headers: { 'Tus-Resumable': '1.0.0' } });
  const kept = Number(head.headers.get('upload-offset'));
  // Nothing acknowledged is lost, so what the first attempt sent beyond
  // what the server kept is less than the chunk in flight.
  assert.ok(kept >= acknowledged, `kept ${kept} of ${acknowledged} acknowledged bytes`);

  const responses = [];
  let resent = 0;
  const second = await runUpload(data, {
    uploadUrl,
    // The server may not have seen the broken PATCH end yet: until it does,
    // that PATCH holds the upload's lock and a new one gets 423, which a
    // client retries.
    retryDelays: [100, 500, 1000, 2000],
    onBeforeRequest: (request) => {
      if (request.getMethod() === 'PATCH' && resent === 0) resent = acknowledged + kChunk - Number(request.getHeader('Upload-Offset'));
    },
    onAfterResponse: (_req, res) => { responses.push(res); },
  });
  assert.ok(resent <= kChunk, `${resent} bytes sent again`);
  assert.equal(second.error, null, String(second.error));
  const last = responses[responses.length - 1];
  assert.equal(last.getHeader('Zmfile-Result-Code'), '0');
  assert.equal(decodeURIComponent(last.getHeader('Zmfile-Stored-Name')), name);
  assert.ok(readFileSync(join(dir, name)).equals(data), 'the stored file is the data');
}

// Resolves once `condition()` holds; rejects after `ms` milliseconds.
async function waitFor(condition, ms, what) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`not within ${ms} ms: ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

test('resumed after the socket is destroyed', async (t) => {
  await uploadBrokenOffAndResumed(t, 'socket destroyed.bin', async ({ context, request }) => {
    const answered = () => context.log().match(/ PATCH \/resumable\/\S+ \d{3} /g)?.length ?? 0;
    const answeredBefore = answered();
    request.getUnderlyingObject().destroy();
    // The server still reads what was sent before the socket went, and holds
    // the upload's lock until it sees the end (a PATCH meanwhile rightly gets
    // 423): then it logs that it kept the data, or answers the PATCH if all
    // of it had arrived.
    await waitFor(() => /upload ended after \d+ of \d+ body bytes .*the bytes received are kept for resuming/.test(context.log()) ||
                        answered() > answeredBefore,
                  10000, 'the server let the broken-off PATCH go');
    return context;
  });
});

test('resumed across a server restart', async (t) => {
  await uploadBrokenOffAndResumed(t, 'restart.bin', async ({ context, dir, port }) => {
    context.server.kill('SIGINT');
    await exitOf(context.server);
    const restarted = await startServer(dir, [], port);
    t.after(() => restarted.server.kill('SIGKILL'));
    return restarted;
  });
});

test('resumed after the server is killed', async (t) => {
  await uploadBrokenOffAndResumed(t, 'killed.bin', async ({ context, dir, port }) => {
    context.server.kill('SIGKILL');
    await exitOf(context.server);
    const restarted = await startServer(dir, [], port);
    t.after(() => restarted.server.kill('SIGKILL'));
    return restarted;
  });
});
