'use strict';
// The Wine prefix that the functional tests make, for the Node tests: its
// DataBasePath names %VARNICK_HOSTS%, and one persistent wineserver serves
// every program while a test file runs.

const { before, after } = require('node:test');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '../..');
const DEFAULT_HOSTS = '127.0.0.1 localhost\r\n';
// Wine shows the build folder as changeable by its Unix user.
const TRUST = { trustVarnickFolder: true };

Object.assign(process.env, {
  WINEPREFIX: process.env.VARNICK_WINEPREFIX || path.join(ROOT, 'build', 'wine'),
  WINEARCH: 'win64',
  WINEDEBUG: '-all',
  WINEDLLOVERRIDES: 'mscoree,mshtml=',
  LANG: 'C.UTF-8',
  LC_ALL: 'C.UTF-8',
  VARNICK_SESSION_BINARY: path.join(__dirname, 'wine-varnick-session.sh'),
});

const harness = (call) =>
  execFileSync('/usr/bin/python3', ['-c', `import sys; sys.path.insert(0, "tests/functional")
from wine_harness import WineSession
WineSession().${call}()`], { cwd: ROOT, stdio: 'ignore' });

// Starts Wine before the file's tests with a hosts file of its own, and
// stops it after them; returns a reader of that hosts file.
function useWine() {
  let hostsFile;
  before(() => {
    harness('start');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'varnick-node-'));
    hostsFile = path.join(dir, 'hosts');
    fs.writeFileSync(hostsFile, DEFAULT_HOSTS);
    process.env.VARNICK_HOSTS = 'Z:' + dir.replace(/\//g, '\\');
  });
  after(() => harness('stop'));
  return () => fs.readFileSync(hostsFile, 'latin1');
}

// Runs fn as if on macOS, where no Varnick exists, with no program given.
async function onMacos(fn) {
  const platform = Object.getOwnPropertyDescriptor(process, 'platform');
  const binary = process.env.VARNICK_SESSION_BINARY;
  Object.defineProperty(process, 'platform', { value: 'darwin' });
  delete process.env.VARNICK_SESSION_BINARY;
  try {
    return await fn();
  } finally {
    Object.defineProperty(process, 'platform', platform);
    process.env.VARNICK_SESSION_BINARY = binary;
  }
}
// The same for a Node process that the tests start.
const AS_MACOS = ['--import',
  'data:text/javascript,Object.defineProperty(process,"platform",{value:"darwin"})'];

module.exports = { useWine, onMacos, AS_MACOS, DEFAULT_HOSTS, TRUST };
