'use strict';
// The npm packages that the package targets write beside the zip and the
// Linux tarball, installed from their tarballs into a new project for
// Windows x64 and for Linux x64: the launcher and the programs resolve, and
// the sums match the programs. Then
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

const LINUX_BUILD = process.env.VARNICK_LINUX_BUILD_DIR || path.resolve(__dirname, '../../build/linux');

// The release's version, from the zip's name, and the tarballs of it.
function tarballs() {
  const zip = fs.readdirSync(BUILD).find((name) => /^varnick-.+-win64\.zip$/.test(name));
  assert.ok(zip, `no release zip in ${BUILD}: run the package target`);
  const version = zip.slice('varnick-'.length, -'-win64.zip'.length);
  return {
    version,
    main: path.join(BUILD, `varnick-session-${version}.tgz`),
    platform: path.join(BUILD, `varnick-session-win32-x64-${version}.tgz`),
    linux: path.join(LINUX_BUILD, `varnick-session-linux-x64-${version}.tgz`),
  };
}

// Each platform package, installed as npm would on its platform.
const PLATFORMS = [
  { os: 'win32', tarball: 'platform', programs: ['varnick.exe', 'varnick-session.exe'],
    runs: 'varnick-session.exe' },
  { os: 'linux', tarball: 'linux', programs: ['varnick-session'], runs: 'varnick-session' },
];

for (const { os: platformOs, tarball, programs: shipped, runs } of PLATFORMS) {
  test(`the tarballs install for ${platformOs}-x64 and hold what they should`, () => {
    const packs = tarballs();
    const { version, main } = packs;
    const name = `varnick-session-${platformOs}-x64`;
    const project = fs.mkdtempSync(path.join(os.tmpdir(), 'varnick-npm-'));
    // The platform package comes from its tarball, not from a registry.
    fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({
      name: 'project', version: '1.0.0', private: true,
      overrides: { [name]: `file:${packs[tarball]}` },
    }));
    execFileSync('npm', [`--os=${platformOs}`, '--cpu=x64', 'install', '--offline', '--no-audit',
      '--no-fund', main], { cwd: project, stdio: 'ignore' });

    const modules = path.join(project, 'node_modules');
    const installed = JSON.parse(fs.readFileSync(path.join(modules, 'varnick-session/package.json')));
    assert.strictEqual(installed.version, version);
    assert.strictEqual(installed.license, 'MIT');
    assert.deepStrictEqual(installed.optionalDependencies,
      { 'varnick-session-win32-x64': version, 'varnick-session-linux-x64': version });
    assert.ok(fs.existsSync(path.join(modules, '.bin/varnick-session')));
    for (const file of ['LICENSE', 'README.md']) {
      assert.ok(fs.existsSync(path.join(modules, 'varnick-session', file)), file);
    }
    // The launcher finds the program as it would on that platform.
    const found = execFileSync(process.execPath, ['-e', `
      Object.defineProperty(process, 'platform', { value: ${JSON.stringify(platformOs)} });
      delete process.env.VARNICK_SESSION_BINARY;
      const binary = require(${JSON.stringify(path.join(modules, 'varnick-session/lib/binary.js'))});
      process.stdout.write(binary.findBinary().command);`],
    { cwd: project, encoding: 'utf8' });
    const programs = path.join(modules, name);
    assert.strictEqual(found, path.join(programs, runs));
    const sums = fs.readFileSync(path.join(programs, 'SHA256SUMS'), 'utf8').trim().split('\n');
    assert.deepStrictEqual(sums.map((line) => line.split('  ')[1]), shipped);
    for (const line of sums) {
      const [sum, file] = line.split('  ');
      const actual = crypto.createHash('sha256').update(fs.readFileSync(path.join(programs, file)));
      assert.strictEqual(actual.digest('hex'), sum, file);
    }
    assert.deepStrictEqual(fs.readdirSync(programs).sort(),
      ['LICENSE', 'README.md', 'SHA256SUMS', 'package.json', ...shipped].sort());
    assert.strictEqual(JSON.parse(fs.readFileSync(path.join(programs, 'package.json'))).license, 'MIT');
  });
}

test('publint finds nothing to warn about in any tarball, nor attw in the main one', async () => {
  const { main, platform, linux } = tarballs();
  const tools = [toolsFolder()];
  const load = (name) => import(pathToFileURL(require.resolve(name, { paths: tools })));
  const { publint } = await load('publint');
  const { formatMessage } = await load('publint/utils');
  for (const file of [main, platform, linux]) {
    const bytes = fs.readFileSync(file);
    const tarball = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
    const { messages, pkg } = await publint({ pack: { tarball }, level: 'warning', strict: true });
    assert.deepStrictEqual(messages.map((message) => formatMessage(message, pkg)), [], file);
  }
  // The platform packages have no JavaScript and no types: nothing for attw.
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
