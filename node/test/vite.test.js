'use strict';
// The Vite plugin in a real Vite dev server on 127.0.0.1, against the real
// varnick-session.exe under Wine; and on macOS, with `optional`.

const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const { toolsFolder } = require('./tools.js');
const { useWine, onMacos, DEFAULT_HOSTS, TRUST } = require('./wine.js');
const varnick = require('../varnick-session/vite.js');

const hosts = useWine();

// A project of one page, served by Vite with the plugin.
async function serve(plugin) {
  const { createServer } = require(path.join(toolsFolder(), 'node_modules', 'vite'));
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'varnick-vite-'));
  fs.writeFileSync(path.join(root, 'index.html'), '<!doctype html><title>app</title>');
  const server = await createServer({
    root,
    configFile: false,
    logLevel: 'silent',
    server: { host: '127.0.0.1', port: 0, strictPort: false, hmr: false },
    plugins: [plugin],
  });
  await server.listen();
  return server;
}

// The status of GET / with the given Host header.
function statusFor(server, host) {
  const { port } = server.httpServer.address();
  return new Promise((resolve, reject) => {
    http.get({ host: '127.0.0.1', port, path: '/', headers: { host: `${host}:${port}` } },
      (reply) => {
        reply.resume();
        resolve(reply.statusCode);
      }).on('error', reject);
  });
}

test('the dev server answers its name while the entry is in, and close() takes it out', async () => {
  const server = await serve(varnick({ entries: ['127.0.0.1 app.myapp.test'], ...TRUST }));
  try {
    assert.ok(hosts().includes('127.0.0.1 app.myapp.test\r\n'), hosts());
    assert.strictEqual(await statusFor(server, 'app.myapp.test'), 200);
    assert.strictEqual(await statusFor(server, 'other.myapp.test'), 403);
  } finally {
    await server.close();
  }
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('on macOS with optional, the dev server starts without entries', async () => {
  await onMacos(async () => {
    const server = await serve(varnick({ entries: ['app.myapp.test'], optional: true }));
    assert.strictEqual(await statusFor(server, 'app.myapp.test'), 200);
    await server.close();
  });
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});
