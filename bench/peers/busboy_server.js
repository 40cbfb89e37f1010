'use strict';
// Peer of bench/serve_compare: an HTTP upload server on busboy (pinned by
// bench/package-lock.json) that streams the file field upload1 to disk under
// its client name (base name only), answering once the file is written.
//   node busboy_server.js DIR     prints "listening PORT" on 127.0.0.1
const http = require('http');
const fs = require('fs');
const path = require('path');
const busboy = require('busboy');

const dir = process.argv[2];
const server = http.createServer((request, response) => {
  if (request.method !== 'POST') {
    response.statusCode = 404;
    response.end();
    return;
  }
  let pending = 1;
  let stored = '';
  const done = () => {
    if (--pending > 0) return;
    response.setHeader('Content-Type', 'application/json');
    response.end(JSON.stringify({ Result: stored }));
  };
  const parser = busboy({ headers: request.headers });
  parser.on('file', (name, stream, info) => {
    if (name !== 'upload1') {
      stream.resume();
      return;
    }
    pending++;
    stored = path.basename(info.filename);
    const out = fs.createWriteStream(path.join(dir, stored));
    stream.pipe(out);
    out.on('finish', done);
  });
  parser.on('close', done);
  parser.on('error', () => {
    response.statusCode = 400;
    response.end();
  });
  request.pipe(parser);
});
server.keepAliveTimeout = 5000;
server.listen(0, '127.0.0.1', () => console.log(`listening ${server.address().port}`));
