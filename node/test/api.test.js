'use strict';
// The Node API and launcher against the real varnick-session.exe under
// Wine, in the functional tests' prefix.

const { test, before, after } = require('node:test');
const assert = require('node:assert');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '../..');
const { withHosts, startHosts, VarnickSessionError } = require('../varnick-session');

Object.assign(process.env, {
  WINEPREFIX: process.env.VARNICK_WINEPREFIX || path.join(ROOT, 'build', 'wine'),
  WINEARCH: 'win64',
  WINEDEBUG: '-all',
  WINEDLLOVERRIDES: 'mscoree,mshtml=',
  LANG: 'C.UTF-8',
  LC_ALL: 'C.UTF-8',
  VARNICK_SESSION_BINARY: path.join(__dirname, 'wine-varnick-session.sh'),
});
const DEFAULT_HOSTS = '127.0.0.1 localhost\r\n';
let hostsFile;

// The prefix as the functional tests make it: DataBasePath names
// %VARNICK_HOSTS%, and one persistent wineserver serves every program.
const harness = (call) =>
  execFileSync('/usr/bin/python3', ['-c', `import sys; sys.path.insert(0, "tests/functional")
from wine_harness import WineSession
WineSession().${call}()`], { cwd: ROOT, stdio: 'ignore' });

before(() => {
  harness('start');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'varnick-node-'));
  fs.writeFileSync(path.join(dir, 'hosts'), DEFAULT_HOSTS);
  hostsFile = path.join(dir, 'hosts');
  process.env.VARNICK_HOSTS = 'Z:' + dir.replace(/\//g, '\\');
});
after(() => harness('stop'));

const hosts = () => fs.readFileSync(hostsFile, 'latin1');

test('entries are in while fn runs, gone after, and fn\'s value comes back', async () => {
  const value = await withHosts(['10.0.0.1 node.test'], async () => {
    assert.ok(hosts().includes('10.0.0.1 node.test\r\n'));
    return 42;
  });
  assert.strictEqual(value, 42);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('fn throwing still takes the entries out, and its error comes back', async () => {
  await assert.rejects(
    withHosts(['10.0.0.2 thrown.test'], () => {
      throw new Error('the test failed');
    }),
    /the test failed/,
  );
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('a refused entry rejects with 120 and the session\'s reason', async () => {
  await assert.rejects(withHosts(['999.1.1.1 bad.test'], () => {}), (error) => {
    assert.ok(error instanceof VarnickSessionError);
    assert.strictEqual(error.exitCode, 120);
    assert.match(error.message, /'999\.1\.1\.1' is not an IPv4 or IPv6 address/);
    return true;
  });
});

test('two at once each keep their own entry for their own time', async () => {
  const pause = () => new Promise((resolve) => setTimeout(resolve, 500));
  const holds = (entry) => async () => {
    await pause();
    assert.ok(hosts().includes(`${entry}\r\n`), hosts());
  };
  await Promise.all([
    withHosts(['10.0.0.3 one.test'], holds('10.0.0.3 one.test')),
    withHosts(['10.0.0.4 two.test'], holds('10.0.0.4 two.test')),
  ]);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('startHosts keeps the entries until stop, which is the same promise each time', async () => {
  const held = await startHosts(['10.0.0.6 dev.test']);
  assert.deepStrictEqual(held.entries, ['10.0.0.6 dev.test']);
  assert.ok(hosts().includes('10.0.0.6 dev.test\r\n'));
  const stopping = held.stop();
  assert.strictEqual(held.stop(), stopping);
  await stopping;
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('the launcher passes the command\'s exit code through', () => {
  const launched = spawnSync(
    process.execPath,
    [path.join(__dirname, '../varnick-session/bin/varnick-session.js'), '--add', '10.0.0.5 code.test',
      '--', 'cmd', '/c', 'exit 3'],
    { stdio: 'ignore' },
  );
  assert.strictEqual(launched.status, 3);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('the ES module face offers the same functions', async () => {
  const esm = await import('../varnick-session/index.mjs');
  assert.strictEqual(esm.withHosts, withHosts);
  assert.strictEqual(esm.VarnickSessionError, VarnickSessionError);
});

test('off Windows without a binary, the launcher says what Varnick is for', () => {
  const launched = spawnSync(
    process.execPath,
    [path.join(__dirname, '../varnick-session/bin/varnick-session.js'), '--help'],
    { env: { ...process.env, VARNICK_SESSION_BINARY: '' }, encoding: 'utf8' },
  );
  assert.strictEqual(launched.status, 1);
  assert.match(launched.stderr, /Varnick is for Windows \(x64\)/);
});
