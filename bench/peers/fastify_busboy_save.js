'use strict';
// Peer: @fastify/busboy (the classic Busboy API). Streams each upload's file
// field to disk.
const Busboy = require('@fastify/busboy');
const { Run } = require('./save_driver');

Run((headers, onFile, onEnd) => {
  const parser = new Busboy({ headers });
  parser.on('file', (name, stream, fileName) => onFile(name, stream, fileName));
  parser.on('finish', onEnd);
  return parser;
});
