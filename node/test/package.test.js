'use strict';
// The two npm packages that the package target writes beside the zip,
// installed from their tarballs into a new project for Windows x64: the
// launcher and the programs resolve, and the sums match the programs. Then
// the tarballs as a publisher would ship them: publint finds nothing to
// warn about, and the main package's types resolve in every mode.

const { test } = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { pathToFileURL } = require('node:url');
const { runTool, toolsFolder } = require('./tools.js');

const BUILD = process.env.VARNICK_BUILD_DIR || path.resolve(__dirname, '../../build/windows');

// The release's version, from the zip's name, and both tarballs of it.
function tarballs() {
  const zip = fs.readdirSync(BUILD).find((name) => /^varnick-.+-win64\.zip$/.test(name));
  assert.ok(zip, `no release zip in ${BUILD}: run the package target`);
  const version = zip.slice('varnick-'.length, -'-win64.zip'.length);
  return {
    version,
    main: path.join(BUILD, `varnick-session-${version}.tgz`),
    platform: path.join(BUILD, `varnick-session-win32-x64-${version}.tgz`),
  };
}

test('both tarballs install for win32-x64 and hold what they should', () => {
  const { version, main, platform } = tarballs();
  const project = fs.mkdtempSync(path.join(os.tmpdir(), 'varnick-npm-'));
  // The platform package comes from its tarball, not from a registry.
  fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({
    name: 'project', version: '1.0.0', private: true,
    overrides: { 'varnick-session-win32-x64': `file:${platform}` },
  }));
  execFileSync('npm', ['install', '--os=win32', '--cpu=x64', '--offline', '--no-audit', '--no-fund',
    main], { cwd: project, stdio: 'ignore' });

  const modules = path.join(project, 'node_modules');
  const installed = JSON.parse(fs.readFileSync(path.join(modules, 'varnick-session/package.json')));
  assert.strictEqual(installed.version, version);
  assert.strictEqual(installed.license, 'MIT');
  assert.deepStrictEqual(installed.optionalDependencies, { 'varnick-session-win32-x64': version });
  assert.ok(fs.existsSync(path.join(modules, '.bin/varnick-session')));
  for (const name of ['LICENSE', 'README.md']) {
    assert.ok(fs.existsSync(path.join(modules, 'varnick-session', name)), name);
  }
  // The launcher finds the program as it would on Windows x64.
  const found = execFileSync(process.execPath, ['-e', `
    Object.defineProperty(process, 'platform', { value: 'win32' });
    delete process.env.VARNICK_SESSION_BINARY;
    const binary = require(${JSON.stringify(path.join(project, 'node_modules/varnick-session/lib/binary.js'))});
    process.stdout.write(binary.findBinary().command);`],
  { cwd: project, encoding: 'utf8' });
  const programs = path.join(modules, 'varnick-session-win32-x64');
  assert.strictEqual(found, path.join(programs, 'varnick-session.exe'));
  const sums = fs.readFileSync(path.join(programs, 'SHA256SUMS'), 'utf8').trim().split('\n');
  assert.deepStrictEqual(sums.map((line) => line.split('  ')[1]), ['varnick.exe', 'varnick-session.exe']);
  for (const line of sums) {
    const [sum, name] = line.split('  ');
    const actual = crypto.createHash('sha256').update(fs.readFileSync(path.join(programs, name)));
    assert.strictEqual(actual.digest('hex'), sum, name);
  }
  assert.deepStrictEqual(fs.readdirSync(programs).sort(),
    ['LICENSE', 'README.md', 'SHA256SUMS', 'package.json', 'varnick-session.exe', 'varnick.exe']);
  assert.strictEqual(JSON.parse(fs.readFileSync(path.join(programs, 'package.json'))).license, 'MIT');
});

test('publint finds nothing to warn about in either tarball, nor attw in the main one', async () => {
  const { main, platform } = tarballs();
  const tools = [toolsFolder()];
  const load = (name) => import(pathToFileURL(require.resolve(name, { paths: tools })));
  const { publint } = await load('publint');
  const { formatMessage } = await load('publint/utils');
  for (const file of [main, platform]) {
    const bytes = fs.readFileSync(file);
    const tarball = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
    const { messages, pkg } = await publint({ pack: { tarball }, level: 'warning', strict: true });
    assert.deepStrictEqual(messages.map((message) => formatMessage(message, pkg)), [], file);
  }
  // The platform package has no JavaScript and no types: nothing for attw.
  let report;
  try {
    report = runTool('attw', [main, '--format', 'json']);
  } catch (error) {
    if (!error.stdout) throw error;
    report = error.stdout; // it exits 1 with problems found, and reports them
  }
  const { analysis, problems } = JSON.parse(report);
  assert.strictEqual(analysis.types.kind, 'included');
  assert.deepStrictEqual(problems, {});
});
