'use strict';
// Peer of bench/serve_compare: an HTTP server that writes each request body
// to a file as it arrives, parsing nothing. The floor for an upload server:
// the same bytes, received and written once.
//   node raw_sink_server.js DIR     prints "listening PORT" on 127.0.0.1
const http = require('http');
const fs = require('fs');
const path = require('path');

const dir = process.argv[2];
let count = 0;
const server = http.createServer((request, response) => {
  if (request.method !== 'POST') {
    response.statusCode = 404;
    response.end();
    return;
  }
  const out = fs.createWriteStream(path.join(dir, `sink-${process.pid}-${count++}.bin`));
  request.pipe(out);
  out.on('finish', () => {
    response.setHeader('Content-Type', 'application/json');
    response.end('{"stored":true}');
  });
  out.on('error', () => {
    response.statusCode = 500;
    response.end();
  });
});
server.keepAliveTimeout = 5000;
server.listen(0, '127.0.0.1', () => console.log(`listening ${server.address().port}`));
