// Serves a directory on 127.0.0.1 only and prints its URL on the first line
// of standard output. Usage: node serve.mjs DIRECTORY [PORT] (PORT 0: any free).
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, join, normalize } from 'node:path';

const [root, port = '8020'] = process.argv.slice(2);
const types = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.css': 'text/css; charset=utf-8',
};

const server = createServer(async (request, response) => {
  const path = new URL(request.url, 'http://127.0.0.1').pathname;
  const relative = normalize(path === '/' ? '/index.html' : path);
  if (relative.includes('..')) {
    response.writeHead(403).end();
    return;
  }
  try {
    const body = await readFile(join(root, relative));
    response.writeHead(200, { 'Content-Type': types[extname(relative)] ?? 'application/octet-stream' });
    response.end(body);
  } catch {
    response.writeHead(404).end('not found');
  }
});

server.listen(Number(port), '127.0.0.1', () => {
  console.log(`chain20 page: http://127.0.0.1:${server.address().port}/`);
});
