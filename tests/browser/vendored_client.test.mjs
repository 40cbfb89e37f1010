// web/tus.min.js is tus-js-client's browser build exactly as published at
// the version package.json and package-lock.json pin, with its licence, and
// zmfile serve serves both byte for byte from the binary. The build copies
// nothing from npm, so this is what notices a copy that was edited, or left
// behind when the pin moved. Skipped when node_modules is not installed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { startServer, zmfile } from './zmfile_server.mjs';

const root = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const readJson = (file) => JSON.parse(fs.readFileSync(path.join(root, file), 'utf8'));

// [file in web/, the same file in the installed package, its URL path]
const kCopies = [
  ['tus.min.js', 'dist/tus.min.js', 'tus.min.js'],
  ['tus-js-client-LICENSE.txt', 'LICENSE', 'tus-js-client-LICENSE.txt'],
];

test('web/ holds tus-js-client at the locked version, and the server serves it unchanged', async (t) => {
  const pinned = readJson('package.json').devDependencies['tus-js-client'];
  const locked = readJson('package-lock.json').packages['node_modules/tus-js-client'].version;
  assert.equal(locked, pinned, 'package.json and package-lock.json pin the same tus-js-client');
  // The page says which release it carries.
  assert.ok(fs.readFileSync(path.join(root, 'web', 'index.html'), 'utf8').includes(`tus-js-client ${locked}`),
            'web/index.html names the version it carries');

  const installed = path.join(root, 'node_modules', 'tus-js-client');
  if (!fs.existsSync(path.join(installed, 'package.json'))) {
    t.skip('node_modules/tus-js-client is not installed (scripts/setup.sh runs npm ci)');
    return;
  }
  assert.equal(readJson('node_modules/tus-js-client/package.json').version, locked,
               'node_modules holds the locked version: run scripts/setup.sh');
  for (const [copy, original] of kCopies) {
    assert.ok(fs.readFileSync(path.join(root, 'web', copy)).equals(fs.readFileSync(path.join(installed, original))),
              `web/${copy} is ${original} of tus-js-client ${locked}`);
  }

  assert.ok(zmfile, 'ZMFILE_BINARY names the zmfile binary');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zmfile-vendored-'));
  const { server, url } = await startServer(dir);
  try {
    for (const [copy, original, served] of kCopies) {
      const response = await fetch(new URL(served, url));
      assert.equal(response.status, 200, served);
      const bytes = Buffer.from(await response.arrayBuffer());
      assert.ok(bytes.equals(fs.readFileSync(path.join(installed, original))), `/${served} is web/${copy}`);
    }
  } finally {
    server.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
