'use strict';
// Peer: busboy (1.x API). Streams each upload's file field to disk.
const busboy = require('busboy');
const { Run } = require('./save_driver');

Run((headers, onFile, onEnd) => {
  const parser = busboy({ headers });
  parser.on('file', (name, stream, info) => onFile(name, stream, info.filename));
  parser.on('close', onEnd);
  return parser;
});
