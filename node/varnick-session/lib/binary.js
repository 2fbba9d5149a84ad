'use strict';
// Where varnick-session is: VARNICK_SESSION_BINARY (a source build, the
// tests: a script that runs it under Wine), or the platform package that
// npm installed beside this one on Windows x64 or Linux x64. Elsewhere there
// is none, which a caller may accept on purpose: `optional` (or
// VARNICK_SESSION_OPTIONAL=1) then runs without entries.

const path = require('node:path');
const { VarnickSessionError } = require('./errors.js');

// Each platform's package, and its program's name in it.
const PLATFORMS = {
  'win32-x64': { name: 'varnick-session-win32-x64', program: 'varnick-session.exe' },
  'linux-x64': { name: 'varnick-session-linux-x64', program: 'varnick-session' },
};
const OWN_VERSION = require('../package.json').version;

// Whether the caller asked to go on without entries where no Varnick exists.
function optionalWanted(option) {
  if (option !== undefined) return Boolean(option);
  return ['1', 'true', 'yes'].includes(String(process.env.VARNICK_SESSION_OPTIONAL).toLowerCase());
}

function unavailable(message, reason) {
  return new VarnickSessionError(`varnick-session: ${message}`, {
    exitCode: 1,
    reason,
    remedies: [
      'to run without hosts entries where Varnick is not available, pass optional: true ' +
        '(the launcher: --optional; or set VARNICK_SESSION_OPTIONAL=1)',
    ],
  });
}

// The program in the platform package, when it is installed and of this
// package's version (a mismatch would speak another version's events).
function platformProgram({ name, program }) {
  let manifest;
  try {
    manifest = require.resolve(`${name}/package.json`);
  } catch {
    throw unavailable(`${name} is not installed: reinstall varnick-session without ` +
      '--omit=optional, or set VARNICK_SESSION_BINARY', 'not-installed');
  }
  const { version } = require(manifest);
  if (version !== OWN_VERSION && OWN_VERSION !== '0.0.0-source') {
    throw unavailable(`${name} is version ${version}, varnick-session ${OWN_VERSION}: ` +
      'reinstall varnick-session so that both are the same', 'version-mismatch');
  }
  return { command: path.join(path.dirname(manifest), program), args: [] };
}

// { command, args } to run, or null when there is none for this platform and
// `optional` allows that; throws a VarnickSessionError otherwise.
function findBinary(optional) {
  const given = process.env.VARNICK_SESSION_BINARY;
  if (given) return { command: given, args: [] };
  const platform = PLATFORMS[`${process.platform}-${process.arch}`];
  if (platform) return platformProgram(platform);
  if (optionalWanted(optional)) return null;
  throw unavailable('Varnick runs on Windows (x64) and Linux (x64), and this is ' +
    `${process.platform}-${process.arch}`, 'unsupported-platform');
}

module.exports = { findBinary, optionalWanted, OWN_VERSION };
