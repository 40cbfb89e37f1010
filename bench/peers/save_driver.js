'use strict';
// Shared loop of the Node peers: reads a manifest of bodies, hands each body
// to the peer's parser as a file stream and waits until the file field's
// bytes are on disk. One process serves every body of the manifest.
//
// Usage: node PEER.js MANIFEST OUT_DIR FIELD CHUNK_BYTES
// MANIFEST: one body per line, tab-separated: path, boundary, data offset,
// data length, file name (only path and boundary are read here).
const fs = require('fs');

function ReadManifest(manifestPath) {
  return fs.readFileSync(manifestPath, 'utf8').split('\n').filter((line) => line.length > 0).map((line) => {
    const [body, boundary] = line.split('\t');
    return { body, boundary };
  });
}

// Streams one body into the peer's parser and resolves with the stored name
// once parsing has finished and the output file is closed. makeParser(headers,
// onFile, onEnd) returns the parser (a writable stream) wired so that it calls
// onFile(fieldName, fileStream, fileName) for every file part and onEnd() once.
function SaveOne(entry, field, dir, chunkBytes, makeParser) {
  return new Promise((resolve, reject) => {
    const headers = { 'content-type': `multipart/form-data; boundary=${entry.boundary}` };
    let stored = null;
    let written = Promise.resolve();
    const onFile = (name, stream, fileName) => {
      if (name !== field || stored !== null) {
        stream.resume();
        return;
      }
      stored = fileName;
      const out = fs.createWriteStream(`${dir}/${fileName}`, { flags: 'wx' });
      written = new Promise((done, fail) => {
        out.on('close', done);
        out.on('error', fail);
        stream.on('error', fail);
      });
      stream.pipe(out);
    };
    const onEnd = () => {
      written.then(() => (stored !== null ? resolve(stored) : reject(new Error(`${entry.body}: no file field ${field}`))),
        reject);
    };
    const parser = makeParser(headers, onFile, onEnd);
    parser.on('error', reject);
    const input = fs.createReadStream(entry.body, { highWaterMark: chunkBytes });
    input.on('error', reject);
    input.pipe(parser);
  });
}

async function Main(makeParser) {
  const [manifestPath, dir, field, chunkText] = process.argv.slice(2);
  if (!manifestPath || !dir || !field || !chunkText) {
    console.error('usage: node PEER.js MANIFEST OUT_DIR FIELD CHUNK_BYTES');
    process.exit(2);
  }
  const chunkBytes = Number(chunkText);
  let count = 0;
  for (const entry of ReadManifest(manifestPath)) {
    await SaveOne(entry, field, dir, chunkBytes, makeParser);
    count += 1;
  }
  process.stdout.write(`${count}\n`);
}

function Run(makeParser) {
  Main(makeParser).catch((error) => {
    console.error(`peer: ${error.message}`);
    process.exit(1);
  });
}

module.exports = { Run };
