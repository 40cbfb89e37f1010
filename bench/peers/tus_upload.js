'use strict';
// Client of bench/tus_compare: one upload of FILE with tus-js-client (pinned
// by bench/package-lock.json) in Node, in chunks of CHUNK_MIB MiB, read from
// the file a chunk at a time.
//   node tus_upload.js ENDPOINT FILE CHUNK_MIB NAME
// Prints one JSON line: {"url": the upload's URL, "seconds": from start to
// success}; exits 1 when the upload fails. No retries: a failure is a result.
const fs = require('fs');
const tus = require('tus-js-client');

const [endpoint, file, chunkMib, name] = process.argv.slice(2);
const started = process.hrtime.bigint();
const upload = new tus.Upload(fs.createReadStream(file), {
  endpoint,
  chunkSize: Number(chunkMib) * 1024 * 1024,
  retryDelays: null,
  storeFingerprintForResuming: false,
  metadata: { filename: name },
  onError: (error) => {
    console.error(`upload failed: ${error.message}`);
    process.exit(1);
  },
  onSuccess: () => {
    const seconds = Number(process.hrtime.bigint() - started) / 1e9;
    console.log(JSON.stringify({ url: upload.url, seconds }));
  },
});
upload.start();
