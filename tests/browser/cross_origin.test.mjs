// zmfile serve against pages of other sites, in a real browser: a page on
// another origin that builds a file in script and auto-submits a top-level
// form to the server's /upload with conflict=overwrite, and a rebound DNS
// name that points a foreign host name at the server. Neither may read or
// change anything.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

import { chromiumFlags, chromiumPath, startServer, zmfile } from './zmfile_server.mjs';

const kOriginal = Buffer.from('%PDF-1.4 the real report\n');

// The attacker's page: on load, a form whose file input holds a file made
// in script, posted to `action` as multipart/form-data.
function attackPage(action) {
  return `<!doctype html><html><body>
<form id="f" method="post" enctype="multipart/form-data" action="${action}">
  <input type="hidden" name="conflict" value="overwrite">
  <input type="file" name="upload1">
</form>
<script>
  const data = new DataTransfer();
  data.items.add(new File(['forged by another site'], 'report.pdf', { type: 'application/pdf' }));
  const form = document.getElementById('f');
  form.elements.upload1.files = data.files;
  form.submit();
</script></body></html>`;
}

// A small HTTP server on 127.0.0.2 (another origin than the upload server):
// GET serves the attack page aimed at `target()`; POST /capture records
// what a browser sent, so the test can see the form leave as built.
async function startAttacker(target) {
  const captured = [];
  const attacker = http.createServer((request, response) => {
    if (request.method === 'POST') {
      const chunks = [];
      request.on('data', (chunk) => chunks.push(chunk));
      request.on('end', () => {
        captured.push({ headers: request.headers, body: Buffer.concat(chunks).toString('latin1') });
        response.end('captured');
      });
      return;
    }
    response.setHeader('Content-Type', 'text/html; charset=utf-8');
    response.end(attackPage(target(request.url)));
  });
  attacker.listen(0, '127.0.0.2');
  await once(attacker, 'listening');
  return { attacker, captured, url: `http://127.0.0.2:${attacker.address().port}` };
}

async function withServerAndBrowser(serverArgs, browserArgs, body) {
  assert.ok(zmfile, 'ZMFILE_BINARY names the zmfile binary');
  assert.ok(fs.existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup.sh`);
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-cross-origin-'));
  const uploads = path.join(root, 'uploads');
  fs.mkdirSync(uploads);
  fs.writeFileSync(path.join(uploads, 'report.pdf'), kOriginal);
  const { server, url, log } = await startServer(uploads, serverArgs);
  const browser = await chromium.launch({ executablePath: chromiumPath, headless: true,
                                          args: [...chromiumFlags, ...browserArgs] });
  try {
    await body({ page: await browser.newPage(), url, uploads, log });
  } finally {
    await browser.close();
    if (server.exitCode === null) server.kill('SIGINT');
    const code = server.exitCode ?? (await once(server, 'exit'))[0];
    fs.rmSync(root, { recursive: true, force: true });
    assert.equal(code, 0, `server exit status; log:\n${log()}`);
  }
}

test('a form auto-submitted from another origin cannot overwrite a stored file', { timeout: 60000 }, async () => {
  // The server lets forms overwrite: only the origin check stands between
  // the attacker's page and report.pdf.
  await withServerAndBrowser(['--client-conflict', 'error,overwrite,makeunique'], [], async ({ page, url, uploads, log }) => {
    let aim = 'capture';
    const { attacker, captured, url: attackerUrl } =
      await startAttacker(() => (aim === 'capture' ? '/capture' : `${url}upload`));
    try {
      // First the page posts to its own server: the form leaves the browser
      // as built, with the file and conflict=overwrite.
      await Promise.all([page.waitForResponse((r) => r.url().endsWith('/capture')), page.goto(attackerUrl)]);
      assert.equal(captured.length, 1);
      assert.match(captured[0].headers['content-type'], /^multipart\/form-data; boundary=/);
      assert.match(captured[0].body, /name="conflict"\r\n\r\noverwrite\r\n/);
      assert.match(captured[0].body, /filename="report\.pdf"[^]*forged by another site/);

      // Then at the upload server.
      aim = 'upload';
      const [answer] = await Promise.all([
        page.waitForResponse((r) => r.url() === `${url}upload`),
        page.goto(`${attackerUrl}/attack`),
      ]);
      const sent = await answer.request().allHeaders();
      assert.equal(sent.origin, attackerUrl, 'the browser names the attacker as the origin');
      assert.equal(answer.status(), 403, await answer.text());
      assert.ok(fs.readFileSync(path.join(uploads, 'report.pdf')).equals(kOriginal), 'report.pdf is unchanged');
      assert.deepEqual(fs.readdirSync(uploads), ['report.pdf'], 'nothing else stored');
      assert.match(log(), /POST \/upload 403 .*client=127\.0\.0\.1 reason="Requests from /);
    } finally {
      attacker.close();
    }
  });
});

test('a foreign host name rebound to the server gets nothing', { timeout: 60000 }, async () => {
  // The browser resolves rebound.test to the server's address, as a
  // rebinding DNS server would make it do.
  await withServerAndBrowser([], ['--host-resolver-rules=MAP rebound.test 127.0.0.1'], async ({ page, url, log }) => {
    const port = new URL(url).port;
    for (const target of ['files', 'config', '']) {
      const answer = await page.goto(`http://rebound.test:${port}/${target}`);
      assert.equal(answer.status(), 421, `/${target}`);
      assert.doesNotMatch(await answer.text(), /report\.pdf|maxBody/);
    }
    // The server's own name still works in the same browser.
    const own = await page.goto(`${url}files`);
    assert.equal(own.status(), 200);
    assert.match(await own.text(), /report\.pdf/);
    assert.match(log(), /GET \/files 421 .*reason="This server does not answer for the host \\x22rebound\.test:/);
  });
});
