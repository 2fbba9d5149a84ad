'use strict';
// The one error type of the package, and the one way a process's end
// becomes an exit code.

const os = require('node:os');

// What went wrong, as the session said it: `reason` is a word a program can
// branch on ("varnick-untrusted-folder", "service-refused", "aborted", ...),
// `remedies` the ways out that the session listed, one a line.
class VarnickSessionError extends Error {
  constructor(message, { exitCode = 1, reason = 'failed', remedies = [], cause } = {}) {
    super(remedies.length ? `${message}\n${remedies.map((line) => `  ${line}`).join('\n')}` : message,
      cause === undefined ? undefined : { cause });
    this.name = 'VarnickSessionError';
    this.exitCode = exitCode;
    this.reason = reason;
    this.remedies = remedies;
  }
}

// A shell's exit code for a process that ended with `code` or was ended by
// `signal`: 128 and the signal's number, as POSIX shells say it.
function exitCodeOf(code, signal) {
  if (code !== null && code !== undefined) return code;
  return 128 + (os.constants.signals[signal] || 0);
}

module.exports = { VarnickSessionError, exitCodeOf };
