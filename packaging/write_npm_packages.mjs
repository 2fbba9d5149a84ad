// Writes the npm packages of a release as the tarballs that `npm pack`
// makes, with the release's version:
//   varnick-session            the launcher, the API and its types, from
//                              node/varnick-session (only what its `files`
//                              names), with an optional dependency on each of
//   varnick-session-win32-x64  both programs and their SHA-256 sums, and
//   varnick-session-linux-x64  the Linux program and its SHA-256 sum.
// Each also gets its README.md and the repository's LICENSE. The Windows
// build writes the first two, the Linux build the third.
//
//   node write_npm_packages.mjs --platform win32-x64|linux-x64 --version 1.2.3
//        --programs <dir with the programs> --out <dir for the .tgz files>
//        --homepage https://...
//
// The packages are staged in <out>/npm. Any failure ends the script with a
// message and exit code 1, before or instead of a tarball.

import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const MAIN_SOURCE = path.join(ROOT, 'node', 'varnick-session');
const PLATFORMS = {
  'win32-x64': { name: 'varnick-session-win32-x64', programs: ['varnick.exe', 'varnick-session.exe'] },
  'linux-x64': { name: 'varnick-session-linux-x64', programs: ['varnick-session'] },
};
// The main package goes out with the Windows build.
const MAIN_WITH = 'win32-x64';
const LICENSE = path.join(ROOT, 'LICENSE');
const OPTIONS = ['platform', 'version', 'programs', 'out', 'homepage'];

function parseArguments(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, '');
    if (!OPTIONS.includes(name) || argv[i] === name) throw new Error(`unknown argument ${argv[i]}`);
    if (i + 1 >= argv.length) throw new Error(`${argv[i]} needs a value`);
    options[name] = argv[i + 1];
  }
  const missing = OPTIONS.filter((name) => !options[name]);
  if (missing.length) throw new Error(`missing ${missing.map((name) => `--${name}`).join(', ')}`);
  if (!PLATFORMS[options.platform]) throw new Error(`no platform ${options.platform}`);
  return { ...options, programs: path.resolve(options.programs), out: path.resolve(options.out) };
}

// A copy of `object` with `entries` set: a key it has keeps its place, a new
// one goes just before `before` (or last when `object` has no such key).
function withKeys(object, entries, before) {
  const added = Object.entries(entries).filter(([key]) => !(key in object));
  const result = {};
  for (const [key, value] of Object.entries(object)) {
    if (key === before) added.forEach(([newKey, newValue]) => { result[newKey] = newValue; });
    result[key] = key in entries ? entries[key] : value;
  }
  return { ...result, ...Object.fromEntries(added) };
}

// What a publisher's package.json carries besides its source's: the
// release's version, the home page, and the repository npm links to.
function releaseFields(manifest, options) {
  const homepage = options.homepage.replace(/\/+$/, '');
  const repository = { type: 'git', url: `git+${homepage.replace(/\.git$/, '')}.git` };
  const placed = withKeys(manifest, { version: options.version }, 'description');
  return withKeys(placed, { homepage, repository }, 'license');
}

function readManifest(folder) {
  const file = path.join(folder, 'package.json');
  let manifest;
  try {
    manifest = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (error) {
    throw new Error(`cannot read ${file}: ${error.message}`);
  }
  // Only what `files` names is published: without it, npm would take all.
  if (!Array.isArray(manifest.files)) throw new Error(`${file} has no files list`);
  return manifest;
}

// Copies a file or folder; a missing one is an error, not a smaller package.
function copyInto(stage, source, name = path.basename(source)) {
  if (!fs.existsSync(source)) throw new Error(`${source} is missing`);
  fs.cpSync(source, path.join(stage, name), { recursive: true });
}

function writeManifest(stage, manifest) {
  fs.writeFileSync(path.join(stage, 'package.json'), `${JSON.stringify(manifest, null, 2)}\n`);
}

// Every path that `files` names must be in the stage, so that no package
// goes out without a file its exports point at.
function checkFiles(stage, manifest) {
  const missing = manifest.files.filter((name) => !fs.existsSync(path.join(stage, name)));
  if (missing.length) throw new Error(`${manifest.name}: its files ${missing.join(', ')} are missing`);
}

function stageMain(stage, options) {
  const source = readManifest(MAIN_SOURCE);
  for (const name of source.files) copyInto(stage, path.join(MAIN_SOURCE, name), name);
  copyInto(stage, path.join(MAIN_SOURCE, 'README.md'));
  copyInto(stage, LICENSE);
  const optional = Object.fromEntries(
    Object.values(PLATFORMS).map(({ name }) => [name, options.version]));
  const manifest = withKeys(releaseFields(source, options),
    { optionalDependencies: optional }, 'peerDependencies');
  checkFiles(stage, manifest);
  writeManifest(stage, manifest);
  return manifest;
}

function stagePlatform(stage, options) {
  const { name, programs } = PLATFORMS[options.platform];
  const source = path.join(ROOT, 'packaging', 'npm', name);
  const sums = programs.map((program) => {
    copyInto(stage, path.join(options.programs, program));
    const sum = crypto.createHash('sha256').update(fs.readFileSync(path.join(stage, program)));
    return `${sum.digest('hex')}  ${program}\n`;
  });
  fs.writeFileSync(path.join(stage, 'SHA256SUMS'), sums.join(''));
  copyInto(stage, path.join(source, 'README.md'));
  copyInto(stage, LICENSE);
  const manifest = releaseFields(readManifest(source), options);
  checkFiles(stage, manifest);
  writeManifest(stage, manifest);
  return manifest;
}

// Packs a staged package into `out`; the tarball's path.
function pack(stage, out, manifest) {
  let reply;
  try {
    reply = execFileSync('npm', ['pack', '--json', '--ignore-scripts', '--pack-destination', out],
      { cwd: stage, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  } catch (error) {
    throw new Error(`npm pack of ${manifest.name} failed: ${error.stderr || error.message}`);
  }
  const written = JSON.parse(reply)[0].filename;
  const wanted = `${manifest.name}-${manifest.version}.tgz`;
  if (written !== wanted) throw new Error(`npm pack wrote ${written}, not ${wanted}`);
  return path.join(out, written);
}

function main(argv) {
  const options = parseArguments(argv);
  const stages = path.join(options.out, 'npm');
  fs.rmSync(stages, { recursive: true, force: true });
  const packages = [[PLATFORMS[options.platform].name, stagePlatform]];
  if (options.platform === MAIN_WITH) packages.push(['varnick-session', stageMain]);
  for (const [name, stageFunction] of packages) {
    const stage = path.join(stages, name);
    fs.mkdirSync(stage, { recursive: true });
    const manifest = stageFunction(stage, options);
    console.log(`npm package: ${pack(stage, options.out, manifest)}`);
  }
}

try {
  main(process.argv.slice(2));
} catch (error) {
  console.error(`write_npm_packages: ${error.message}`);
  process.exitCode = 1;
}
