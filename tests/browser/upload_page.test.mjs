// The upload page of zmfile serve in a real browser: Debian's chromium,
// driven by playwright-core. Several files picked and dropped, each sent on
// its own, a 106 retried under "Keep both", a large upload cancelled halfway,
// the sentences for an empty file, for too-large ones and for a name too long
// to number (no Keep both offered), the keyboard path,
// the drag-over state, phone width and 200% zoom, and the form without
// JavaScript. Leaves screenshots in ZIMRAX_BROWSER_OUTPUT and prints their paths.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

import { chromiumFlags, chromiumPath, startServer, zmfile } from './zmfile_server.mjs';

const outputDir = process.env.ZIMRAX_BROWSER_OUTPUT || os.tmpdir();

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

// A fresh chromium profile and a server on a fresh directory for one test;
// `body` gets the page, the context and the directories. Checks at the end
// that the page raised no script error and the server stopped cleanly.
async function withPage(options, body) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-browser-'));
  const uploads = path.join(root, 'uploads');
  fs.mkdirSync(uploads);
  for (const [name, bytes] of Object.entries(options.existing || {})) fs.writeFileSync(path.join(uploads, name), bytes);
  const { server, url, log } = await startServer(uploads, options.serverArgs || []);
  const context = await chromium.launchPersistentContext(path.join(root, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: chromiumFlags,
    viewport: options.viewport || { width: 1000, height: 1100 },
    javaScriptEnabled: options.javaScriptEnabled !== false,
  });
  const pageErrors = [];
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (error) => pageErrors.push(error.message));
    if (options.beforeLoad) await options.beforeLoad(page, uploads);
    await page.goto(url);
    if (options.javaScriptEnabled !== false) {
      await page.waitForSelector('html[data-config="loaded"]', { timeout: 10000 });
    }
    await body({ page, context, url, root, uploads });
    assert.deepEqual(pageErrors, [], 'no script errors on the page');
  } finally {
    await context.close();
    if (server.exitCode === null) server.kill('SIGINT');
    const code = server.exitCode ?? (await once(server, 'exit'))[0];
    fs.rmSync(root, { recursive: true, force: true });
    assert.equal(code, 0, `server exit status; log:\n${log()}`);
  }
}

// Drops files on the drop zone as a drag from the desktop would.
async function dropFiles(page, files) {
  const transfer = await page.evaluateHandle((list) => {
    const data = new DataTransfer();
    for (const { name, base64, type } of list) {
      const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
      data.items.add(new File([bytes], name, { type }));
    }
    return data;
  }, files.map((f) => ({ name: f.name, base64: f.bytes.toString('base64'), type: f.type || 'text/plain' })));
  await page.dispatchEvent('#drop-zone', 'drop', { dataTransfer: transfer });
}

function row(page, name) {
  return page.locator('#queue .upload-row').filter({ has: page.locator('.row-name', { hasText: name }) });
}

// Waits until no row is waiting or uploading.
async function settled(page, timeout = 30000) {
  await page.waitForFunction(() => document.querySelectorAll(
    '#queue .upload-row[data-state="queued"], #queue .upload-row[data-state="uploading"]').length === 0,
  null, { timeout });
}

async function rowOf(page, name) {
  return row(page, name).evaluate((node) => ({
    state: node.dataset.state,
    stored: node.dataset.storedName || null,
    message: node.querySelector('.row-message').textContent,
    code: node.querySelector('.row-code').textContent,
    warning: node.querySelector('.row-warning').hidden ? '' : node.querySelector('.row-warning').textContent,
    settings: node.querySelector('.row-settings').textContent,
    events: Number(node.dataset.events || 0),
    buttons: [...node.querySelectorAll('.row-actions button')].map((b) => b.textContent),
  }));
}

async function listedNames(page) {
  return page.$$eval('#files a', (links) => links.map((link) => link.textContent));
}

async function screenshot(target, name) {
  const file = path.join(outputDir, name);
  await target.screenshot({ path: file });
  console.log(`screenshot: ${file}`);
}

test('several files at once: stored byte for byte, a 106 retried under Keep both', { timeout: 60000 }, async () => {
  assert.ok(zmfile, 'ZMFILE_BINARY names the zmfile binary');
  assert.ok(fs.existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup.sh`);
  const existing = Buffer.from('already here\n');
  // Replace is offered only where the server lets forms overwrite.
  const serverArgs = ['--client-conflict', 'error,overwrite,makeunique'];
  await withPage({ existing: { 'notes.txt': existing }, serverArgs }, async ({ page, context, url, uploads }) => {
    await page.waitForFunction(() => document.getElementById('file-count').textContent === '1');
    assert.equal(await page.isChecked('#policy-makeunique'), true, 'the server default policy is preselected');
    assert.equal(await page.getAttribute('#file-input', 'multiple'), '', 'the picker takes several files');

    // One binary file through the picker, two more dropped: three ready rows.
    const binary = trickyBytes();
    await page.setInputFiles('#file-input',
                             { name: 'sample-data.bin', mimeType: 'application/octet-stream', buffer: binary });
    const utf8Name = 'Résumé – Grüße ✓ Ωμέγα.txt';
    const utf8Bytes = Buffer.from('Grüße, Ωμέγα ✓\r\nline two\r\n', 'utf8');
    const notes = Buffer.from('my notes\r\n');
    await dropFiles(page, [{ name: utf8Name, bytes: utf8Bytes }, { name: 'notes.txt', bytes: notes }]);
    assert.equal(await page.textContent('#drop-title'), '3 files chosen');
    assert.equal(await page.textContent('#summary'), '0 of 3 stored, 3 ready');

    // Sent under "Refuse": notes.txt meets the existing file.
    await page.fill('#comment', 'batch ✓ <b>');
    await page.click('label[for="policy-error"]');
    await page.click('#submit');
    // The form is free again at once; the rows keep what they were sent with.
    await page.fill('#comment', 'next batch');
    await page.click('label[for="policy-makeunique"]');
    await settled(page);
    assert.equal(await page.textContent('#summary'), '2 of 3 stored, 1 failed');

    let binaryRow = await rowOf(page, 'sample-data.bin');
    assert.equal(binaryRow.state, 'stored', binaryRow.message);
    assert.equal(binaryRow.stored, 'sample-data.bin');
    assert.ok(binaryRow.events >= 1, 'XHR upload progress events moved the bar');
    assert.match(binaryRow.settings, /If the name exists: Refuse · Comment: batch ✓ <b>/);
    assert.ok(fs.readFileSync(path.join(uploads, 'sample-data.bin')).equals(binary), 'stored bytes equal the picked file');
    assert.ok(fs.readFileSync(path.join(uploads, utf8Name)).equals(utf8Bytes), 'stored bytes equal the dropped file');

    const refused = await rowOf(page, 'notes.txt');
    assert.equal(refused.state, 'failed');
    assert.equal(refused.message,
                 'A file named notes.txt is already there. Choose Keep both to store yours beside it, or Replace to overwrite it.');
    assert.match(refused.code, /^code 106$/);
    assert.deepEqual(refused.buttons, ['Keep both', 'Replace', 'Dismiss']);
    assert.match(await page.textContent('#announcer'), /notes\.txt: A file named notes\.txt is already there/);
    assert.ok(fs.readFileSync(path.join(uploads, 'notes.txt')).equals(existing), 'a refused upload changes nothing');
    await screenshot(row(page, 'notes.txt'), 'upload-page-failure-row.png');

    // Retried under Keep both: stored beside the other as notes(1).txt.
    await row(page, 'notes.txt').getByRole('button', { name: 'Keep both: retry notes.txt' }).click();
    await settled(page);
    const retried = await rowOf(page, 'notes.txt');
    assert.equal(retried.state, 'stored', retried.message);
    assert.equal(retried.stored, 'notes(1).txt');
    assert.equal(retried.message, 'Stored as notes(1).txt, because a file named notes.txt was already there.');
    assert.match(retried.settings, /If the name exists: Keep both · Comment: batch ✓ <b>/);
    assert.ok(fs.readFileSync(path.join(uploads, 'notes(1).txt')).equals(notes));
    assert.ok(fs.readFileSync(path.join(uploads, 'notes.txt')).equals(existing));
    assert.equal(await page.textContent('#summary'), '3 of 3 stored');

    // The list: all four, the first stored file last (newest first).
    await page.waitForFunction(() => document.getElementById('file-count').textContent === '4');
    const names = await listedNames(page);
    assert.deepEqual(names.slice().sort(), ['notes(1).txt', 'notes.txt', 'sample-data.bin', utf8Name].sort());
    assert.equal(names[names.length - 1], 'notes.txt', `newest first: ${names}`);
    assert.equal(await page.getAttribute('#file-count', 'aria-label'), '4 stored files');

    // The list's link is relative and downloads exactly the stored bytes.
    const href = await page.getAttribute(`#files a:text-is("${utf8Name}")`, 'href');
    assert.ok(href.startsWith('files/'), href);
    const download = await context.request.get(new URL(href, url).href);
    assert.equal(download.status(), 200);
    assert.match(download.headers()['content-disposition'], /^attachment;/);
    assert.equal(download.headers()['x-content-type-options'], 'nosniff');
    assert.ok((await download.body()).equals(utf8Bytes));

    // Copy link puts the file's full address on the clipboard.
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(url).origin });
    await page.getByRole('button', { name: `Copy link to ${utf8Name}` }).click();
    await page.waitForSelector('#files button[data-copied="yes"]', { timeout: 5000 });
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), new URL(href, url).href);

    await page.screenshot({ path: path.join(outputDir, 'upload-page.png'), fullPage: true });
    console.log(`screenshot: ${path.join(outputDir, 'upload-page.png')}`);
  });
});

test('the stored files come in pages; a name that is not UTF-8 is marked and its link still works', { timeout: 60000 }, async () => {
  const existing = {};
  for (let i = 0; i < 105; i += 1) existing[`page-${String(i).padStart(3, '0')}.txt`] = Buffer.from(`file ${i}`);
  await withPage({
    existing,
    beforeLoad: async (page, uploads) => {
      // A raw name with bytes 0xFF 0xFE, which no JavaScript string spells.
      fs.writeFileSync(Buffer.concat([Buffer.from(`${uploads}/raw-`), Buffer.from([0xff, 0xfe]), Buffer.from('.bin')]),
                       Buffer.from('raw bytes'));
    },
  }, async ({ page, context, url }) => {
    await page.waitForFunction(() => document.getElementById('file-count').textContent === '100+');
    assert.equal(await page.locator('#files > li:not(.more)').count(), 100);
    assert.equal(await page.locator('#files button.delete').count(), 0, 'no Delete without --allow-delete');
    await page.getByRole('button', { name: 'Show more stored files' }).click();
    await page.waitForFunction(() => document.getElementById('file-count').textContent === '106');
    assert.equal(await page.locator('#files > li').count(), 106, 'every file, and no Show more after the last page');
    const names = await listedNames(page);
    assert.equal(new Set(names).size, 106, 'no file listed twice');
    const marked = page.locator('#files li', { has: page.locator('.marker') });
    assert.equal(await marked.count(), 1);
    assert.equal(await marked.locator('a').textContent(), 'raw-\uFFFD\uFFFD.bin');
    const href = await marked.locator('a').getAttribute('href');
    assert.equal(href, 'files/raw-%FF%FE.bin');
    const download = await context.request.get(new URL(href, url).href);
    assert.equal(download.status(), 200);
    assert.equal((await download.body()).toString(), 'raw bytes');
  });
});

test('cancelling a large upload halfway stores nothing; Retry then stores it', { timeout: 60000 }, async () => {
  await withPage({}, async ({ page, context, root, uploads }) => {
    const big = path.join(root, 'big.bin');
    fs.writeFileSync(big, Buffer.alloc(50 * 1024 * 1024, 0x5a));
    // A slow uplink (about 5 MB/s) keeps the upload running long enough to cancel it.
    const cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions',
                   { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 5 * 1024 * 1024 });
    await page.setInputFiles('#file-input', big);
    await page.click('#submit');
    await page.waitForFunction(() => {
      const node = document.querySelector('#queue .upload-row');
      return Number(node.dataset.loaded || 0) > 8 * 1024 * 1024;
    }, null, { timeout: 20000 });
    const stats = await page.textContent('#queue .row-stats');
    assert.match(stats, /MiB of 50\.0 MiB · [\d.]+ MiB\/s · .* left/, stats);
    await row(page, 'big.bin').getByRole('button', { name: 'Cancel upload of big.bin' }).click();
    const cancelled = await rowOf(page, 'big.bin');
    assert.equal(cancelled.state, 'cancelled');
    assert.match(cancelled.message, /^Cancelled\./);
    const loaded = await page.$eval('#queue .upload-row', (node) => Number(node.dataset.loaded));
    assert.ok(loaded < 50 * 1024 * 1024, `cancelled before the end (${loaded} bytes sent)`);
    assert.equal(await page.textContent('#summary'), '0 of 1 stored, 1 cancelled');
    // The server sees the connection end and keeps nothing, not even a hidden part file.
    await new Promise((resolve) => setTimeout(resolve, 1500));
    assert.deepEqual(fs.readdirSync(uploads), [], 'nothing stored after cancel');

    // Retry at full speed stores the whole file.
    await cdp.send('Network.emulateNetworkConditions',
                   { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await row(page, 'big.bin').getByRole('button', { name: 'Retry big.bin' }).click();
    await settled(page, 30000);
    assert.equal((await rowOf(page, 'big.bin')).state, 'stored');
    assert.deepEqual(fs.readdirSync(uploads), ['big.bin']);
    assert.equal(fs.statSync(path.join(uploads, 'big.bin')).size, 50 * 1024 * 1024);
  });
});

// A config that lets clients choose only "makeunique" and "error", as a
// server may announce with clientConflict.
async function withoutClientOverwrite(page) {
  await page.route('**/config', async (route) => {
    const answer = await route.fetch();
    const config = await answer.json();
    await route.fulfill({ response: answer, json: { ...config, clientConflict: ['makeunique', 'error'] } });
  });
}

test('plain-language outcomes: empty file, too large here, too large for the server, name taken', { timeout: 60000 }, async () => {
  const longName = `${'n'.repeat(251)}.txt`;  // 255 bytes: no numbered name fits
  const options = {
    serverArgs: ['--max-body', '64K'], existing: { 'taken.txt': 'x', [longName]: 'x' }, beforeLoad: withoutClientOverwrite,
  };
  await withPage(options, async ({ page, uploads }) => {
    assert.equal(await page.textContent('#drop-hint'), 'Up to 64.0 KiB each · several at once');
    assert.equal(await page.isDisabled('#policy-overwrite'), true, 'Replace is not offered when config leaves it out');
    // 65500 bytes pass the page's check against 64 KiB, but with the form
    // around them the body is over the limit: the server's 413 answers.
    await page.setInputFiles('#file-input', [
      { name: 'empty.txt', mimeType: 'text/plain', buffer: Buffer.alloc(0) },
      { name: 'huge.bin', mimeType: 'application/octet-stream', buffer: Buffer.alloc(200 * 1024, 1) },
      { name: 'near.bin', mimeType: 'application/octet-stream', buffer: Buffer.alloc(65500, 2) },
    ]);
    assert.equal((await rowOf(page, 'empty.txt')).warning,
                 'empty.txt is empty (0 bytes). It will be stored as an empty file.');
    const huge = await rowOf(page, 'huge.bin');
    assert.equal(huge.state, 'refused');
    assert.equal(huge.message, 'huge.bin is 200.0 KiB; this server takes up to 64.0 KiB per upload. It was not sent.');
    await page.click('#submit');
    await settled(page);
    assert.equal((await rowOf(page, 'empty.txt')).state, 'stored');
    assert.equal(fs.statSync(path.join(uploads, 'empty.txt')).size, 0);
    const near = await rowOf(page, 'near.bin');
    assert.equal(near.state, 'failed');
    assert.equal(near.message,
                 'near.bin is too large for this server, which takes up to 64.0 KiB per upload. It was not stored.');
    assert.match(near.code, /^HTTP 413: /);
    assert.equal(await page.textContent('#summary'), '1 of 3 stored, 1 failed, 1 not sent');
    assert.deepEqual(fs.readdirSync(uploads).sort(), ['empty.txt', longName, 'taken.txt'].sort());

    // A name that is taken, under Refuse: the retry offers Keep both only.
    await page.setInputFiles('#file-input', { name: 'taken.txt', mimeType: 'text/plain', buffer: Buffer.from('y') });
    await page.click('label[for="policy-error"]');
    await page.click('#submit');
    await settled(page);
    const taken = await rowOf(page, 'taken.txt');
    assert.equal(taken.message, 'A file named taken.txt is already there. Choose Keep both to store yours beside it.');
    assert.deepEqual(taken.buttons, ['Keep both', 'Dismiss']);

    // A taken name at the length limit under Keep both: 75, and Keep both is
    // not offered again (nor Replace, which this server does not allow).
    await page.setInputFiles('#file-input', { name: longName, mimeType: 'text/plain', buffer: Buffer.from('z') });
    await page.click('label[for="policy-makeunique"]');
    await page.click('#submit');
    await settled(page);
    const tooLong = await rowOf(page, longName);
    assert.equal(tooLong.message, `A file named ${longName} is already there, and the name is too long to number: ` +
                 'a numbered name would pass the 255-byte limit. Rename your file to a shorter name and upload it again.');
    assert.equal(tooLong.code, 'code 75');
    assert.deepEqual(tooLong.buttons, ['Dismiss']);
  });
});

test('keyboard, drag-over, phone width and 200% zoom', { timeout: 60000 }, async () => {
  await withPage({}, async ({ page }) => {
    // Tab reaches the drop zone first; its focus ring shows.
    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'drop-zone');
    const ring = await page.$eval('#drop-zone', (node) => {
      const style = getComputedStyle(node);
      return { style: style.outlineStyle, width: parseFloat(style.outlineWidth) };
    });
    assert.equal(ring.style, 'solid');
    assert.ok(ring.width >= 2, `focus ring ${ring.width}px`);
    // Enter and Space both open the picker: each asks the file input for
    // it. (Whether headless Chromium then shows a chooser for a second
    // request so soon after the first varies from run to run, so the
    // request itself is what is checked; the files go in through the input.)
    await page.evaluate(() => {
      window.pickerRequests = 0;
      const input = document.getElementById('file-input');
      const click = input.click.bind(input);
      input.click = () => {
        window.pickerRequests += 1;
        return click();
      };
    });
    for (const key of ['Enter', ' ']) {
      const before = await page.evaluate(() => window.pickerRequests);
      await page.keyboard.press(key);
      assert.equal(await page.evaluate(() => window.pickerRequests), before + 1, `${JSON.stringify(key)} opens the picker`);
    }
    assert.equal(await page.$eval('#file-input', (node) => node.multiple), true);
    await page.setInputFiles('#file-input', ['enter', 'space'].map((key) => ({
      name: `by-key-${key}.txt`, mimeType: 'text/plain', buffer: Buffer.from('k') })));
    assert.equal(await page.textContent('#drop-title'), '2 files chosen');
    // Then the comment, the policy and the Upload button, each with a ring.
    const order = [];
    for (let i = 0; i < 3; i += 1) {
      await page.keyboard.press('Tab');
      order.push(await page.evaluate(() => {
        const node = document.activeElement;
        const target = node.type === 'radio' ? node.nextElementSibling : node;
        const style = getComputedStyle(target);
        return `${node.id}:${style.outlineStyle}`;
      }));
    }
    assert.deepEqual(order, ['comment:solid', 'policy-makeunique:solid', 'submit:solid']);

    // Every control and the badge have a name a screen reader can say.
    const unnamed = await page.evaluate(() => [...document.querySelectorAll('input, button, [role="button"], .badge')]
      .filter((node) => !(node.getAttribute('aria-label') || (node.labels && node.labels.length) ||
                          node.getAttribute('aria-labelledby') || (node.tagName === 'BUTTON' && node.textContent.trim())))
      .map((node) => node.id || node.outerHTML.slice(0, 60)));
    assert.deepEqual(unnamed, []);
    assert.equal(await page.getAttribute('#summary', 'aria-live'), 'polite');
    // Relative addresses only, so that the page works under a proxy's sub-path.
    assert.deepEqual(await page.$$eval('[href^="/"], [src^="/"], [action^="/"]', (nodes) => nodes.map((n) => n.outerHTML)), []);
    assert.equal(await page.getAttribute('#announcer', 'aria-live'), 'polite');

    // Dragging files over the zone: "Drop to upload", unlike "files chosen".
    const transfer = await page.evaluateHandle(() => {
      const data = new DataTransfer();
      data.items.add(new File(['a'], 'a.txt'));
      data.items.add(new File(['b'], 'b.txt'));
      return data;
    });
    await page.dispatchEvent('#drop-zone', 'dragenter', { dataTransfer: transfer });
    assert.equal(await page.textContent('#drop-title'), 'Drop to upload');
    assert.equal(await page.textContent('#drop-hint'), 'Release to add 2 files');
    assert.ok(await page.$eval('#drop-zone', (node) => node.classList.contains('dragging') &&
                                                     !node.classList.contains('has-file')));
    await screenshot(page.locator('#upload-form'), 'upload-page-drag-over.png');
    await page.dispatchEvent('#drop-zone', 'dragleave', { dataTransfer: transfer });
    assert.equal(await page.textContent('#drop-title'), '2 files chosen');

    // A phone, and a 1280 px window at 200% zoom (640 CSS px): nothing sticks out sideways.
    for (const [width, height, shot] of [[390, 844, 'upload-page-phone.png'], [640, 720, null]]) {
      await page.setViewportSize({ width, height });
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `the page is ${overflow}px wider than ${width}px`);
      if (shot) {
        await page.screenshot({ path: path.join(outputDir, shot), fullPage: true });
        console.log(`screenshot: ${path.join(outputDir, shot)}`);
      }
    }
  });
});

test('without JavaScript the form posts and the result page shows the stored name', { timeout: 120000 }, async () => {
  const options = {
    javaScriptEnabled: false, viewport: { width: 800, height: 700 },
    serverArgs: ['--client-conflict', 'error,overwrite,makeunique'],
  };
  await withPage(options, async ({ page, uploads }) => {
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
  });
});

test('Copy link and Delete with a confirmation, by mouse and by keyboard alone', { timeout: 60000 }, async () => {
  const existing = { 'by-mouse.txt': 'm', 'by-keys.txt': 'k', 'kept.txt': 'x' };
  await withPage({ existing, serverArgs: ['--allow-delete'] }, async ({ page, context, url, uploads }) => {
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(url).origin });
    await page.waitForSelector('#files button.delete');
    // By mouse: Delete asks in the row; Keep keeps; Delete again removes.
    await page.getByRole('button', { name: 'Delete by-mouse.txt' }).click();
    await page.getByRole('button', { name: 'Keep by-mouse.txt' }).click();
    assert.ok(fs.existsSync(path.join(uploads, 'by-mouse.txt')));
    await page.getByRole('button', { name: 'Delete by-mouse.txt' }).click();
    await page.getByRole('button', { name: 'Yes, delete by-mouse.txt' }).click();
    await page.waitForFunction(() => ![...document.querySelectorAll('#files a')].some((a) => a.textContent === 'by-mouse.txt'));
    assert.ok(!fs.existsSync(path.join(uploads, 'by-mouse.txt')));

    // By keyboard alone, from the top of the page: Tab to the row's Copy link.
    await page.evaluate(() => document.activeElement && document.activeElement.blur());
    let label = '';
    for (let i = 0; i < 30 && label !== 'Copy link to by-keys.txt'; i += 1) {
      await page.keyboard.press('Tab');
      label = await page.evaluate(() => document.activeElement.getAttribute('aria-label') || '');
    }
    assert.equal(label, 'Copy link to by-keys.txt');
    await page.keyboard.press('Enter');
    await page.waitForSelector('#files button[data-copied="yes"]', { timeout: 5000 });
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), new URL('files/by-keys.txt', url).href);
    const focused = () => page.evaluate(() => document.activeElement.getAttribute('aria-label') || document.activeElement.id);
    await page.keyboard.press('Tab');
    assert.equal(await focused(), 'Delete by-keys.txt');
    await page.keyboard.press('Enter');
    assert.equal(await focused(), 'Keep by-keys.txt', 'the safe choice has the focus');
    await screenshot(page.locator('section.card'), 'upload-page-delete.png');
    await page.keyboard.press('Shift+Tab');
    assert.equal(await focused(), 'Yes, delete by-keys.txt');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.activeElement.id === 'stored-heading');
    assert.ok(!fs.existsSync(path.join(uploads, 'by-keys.txt')));
    assert.match(await page.textContent('#announcer'), /Deleted by-keys\.txt\./);
    assert.deepEqual(await listedNames(page), ['kept.txt']);
  });
});
