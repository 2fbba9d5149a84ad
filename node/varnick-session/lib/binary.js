'use strict';
// Where varnick-session.exe is: VARNICK_SESSION_BINARY (a source build, the
// tests: a script that runs it under Wine), or the platform package that
// npm installed beside this one on Windows.

const path = require('node:path');

function findBinary() {
  const given = process.env.VARNICK_SESSION_BINARY;
  if (given) return { command: given, args: [] };
  if (process.platform !== 'win32' || process.arch !== 'x64') {
    const error = new Error(
      'Varnick is for Windows (x64): varnick-session edits the Windows hosts file, and this is ' +
        `${process.platform}-${process.arch}. Set VARNICK_SESSION_BINARY to run another build.`,
    );
    error.exitCode = 1;
    throw error;
  }
  let packageJson;
  try {
    packageJson = require.resolve('varnick-session-win32-x64/package.json');
  } catch {
    const error = new Error(
      'varnick-session-win32-x64 is not installed: reinstall varnick-session without ' +
        '--omit=optional, or set VARNICK_SESSION_BINARY.',
    );
    error.exitCode = 1;
    throw error;
  }
  return { command: path.join(path.dirname(packageJson), 'varnick-session.exe'), args: [] };
}

module.exports = { findBinary };
