// What the browser tests share: the zmfile under test, Debian's chromium
// and its flags, and a zmfile serve started on a free loopback port.
import { spawn } from 'node:child_process';

export const zmfile = process.env.ZMFILE_BINARY;
export const chromiumPath = process.env.ZIMRAX_CHROMIUM || '/usr/bin/chromium';
export const chromiumFlags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--no-first-run', '--disable-quic', '--disable-sync',
];

// Starts zmfile serve on `port` (0: a free one); resolves with its URL once it prints it.
export async function startServer(dir, extraArgs = [], port = 0) {
  const server = spawn(zmfile, ['serve', '--host', '127.0.0.1', '--port', String(port), '--dir', dir, ...extraArgs],
                       { stdio: ['ignore', 'pipe', 'inherit'] });
  // Everything the server prints, once: tests count the bytes its log reports.
  let printed = '';
  server.stdout.on('data', (chunk) => { printed += chunk; });
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`server did not start: ${printed}`)), 15000);
    const watch = () => {
      const match = /open (http:\/\/127\.0\.0\.1:\d+\/)/.exec(printed);
      if (!match) return;
      clearTimeout(timer);
      server.stdout.off('data', watch);
      resolve(match[1]);
    };
    server.stdout.on('data', watch);
    server.on('exit', (code) => reject(new Error(`server exited with ${code}: ${printed}`)));
  });
  return { server, url, log: () => printed };
}
