// Serves the review workstation on the loopback interface: the page, its own
// scripts and the rendering library installed from the npm registry. Nothing
// else in the folder (and nothing outside it) is reachable, and nothing is
// ever written: the page reads the person's files in the browser itself.
//
//   node server.mjs [--port N]      N = 0 picks a free port
//
// The first line on standard output is the address, so scripts can read it.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { dirname, extname, join, normalize, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = dirname(fileURLToPath(import.meta.url));

// Only these prefixes are served; everything else is 404.
const servedPrefixes = ['src/', 'node_modules/three/build/', 'node_modules/three/examples/jsm/'];
const servedFiles = new Set(['index.html', 'style.css']);

const contentTypes = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
};

function servedPath(urlPath) {
  let relative;
  try {
    relative = decodeURIComponent(urlPath.split('?')[0]).replace(/^\/+/, '');
  } catch {
    return null;
  }
  if (relative === '') relative = 'index.html';
  const clean = normalize(relative);
  if (clean.startsWith('..') || clean.includes(`${sep}.`) || clean.startsWith('.')) return null;
  const posix = clean.split(sep).join('/');
  if (!servedFiles.has(posix) && !servedPrefixes.some((prefix) => posix.startsWith(prefix))) {
    return null;
  }
  if (!(extname(posix) in contentTypes)) return null;
  return join(root, clean);
}

function portArgument(argv) {
  const at = argv.indexOf('--port');
  if (at < 0) return 8765;
  const port = Number(argv[at + 1]);
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    console.error(`--port needs a number from 0 to 65535, not "${argv[at + 1] ?? ''}"`);
    process.exit(2);
  }
  return port;
}

const server = createServer(async (request, response) => {
  const path = request.method === 'GET' || request.method === 'HEAD' ? servedPath(request.url) : null;
  if (path === null) {
    response.writeHead(404, { 'content-type': 'text/plain; charset=utf-8' });
    response.end('not found\n');
    return;
  }
  try {
    const body = await readFile(path);
    response.writeHead(200, {
      'content-type': contentTypes[extname(path)],
      'cache-control': 'no-store',
      'x-content-type-options': 'nosniff',
    });
    response.end(request.method === 'HEAD' ? undefined : body);
  } catch {
    response.writeHead(404, { 'content-type': 'text/plain; charset=utf-8' });
    response.end('not found\n');
  }
});

server.on('error', (error) => {
  console.error(`the review workstation could not start: ${error.message}`);
  process.exit(1);
});

server.listen(portArgument(process.argv.slice(2)), '127.0.0.1', () => {
  const { port } = server.address();
  console.log(`review workstation: http://127.0.0.1:${port}/`);
  console.log('stop it with Ctrl-C');
});
