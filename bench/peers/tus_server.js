'use strict';
// Peer of bench/tus_compare: @tus/server with @tus/file-store (both pinned
// by bench/package-lock.json), the tus project's own Node server, storing
// each upload as a file in DIR as its README's standalone example does.
//   node tus_server.js DIR     prints "listening PORT" on 127.0.0.1; uploads at /files/
const http = require('http');

async function main() {
  // Both packages are ES modules only.
  const { Server } = await import('@tus/server');
  const { FileStore } = await import('@tus/file-store');
  const tus = new Server({ path: '/files', datastore: new FileStore({ directory: process.argv[2] }) });
  const server = http.createServer((request, response) => tus.handle(request, response));
  server.keepAliveTimeout = 5000;
  server.listen(0, '127.0.0.1', () => console.log(`listening ${server.address().port}`));
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
