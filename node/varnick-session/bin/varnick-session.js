#!/usr/bin/env node
'use strict';
// Runs varnick-session.exe with this command's arguments and exits with its
// exit code. Ctrl+C is left to the session, which takes its entries out and
// exits as it does: this process only waits for it.

const { spawn } = require('node:child_process');
const { findBinary } = require('../lib/binary.js');

let binary;
try {
  binary = findBinary();
} catch (error) {
  process.stderr.write(`varnick-session: ${error.message}\n`);
  process.exit(error.exitCode || 1);
}
const child = spawn(binary.command, [...binary.args, ...process.argv.slice(2)], {
  stdio: 'inherit',
});
for (const signal of ['SIGINT', 'SIGBREAK']) process.on(signal, () => {});
child.on('error', (error) => {
  process.stderr.write(`varnick-session: could not start ${binary.command}: ${error.message}\n`);
  process.exit(127);
});
child.on('exit', (code, signal) => process.exit(code === null ? (signal === 'SIGINT' ? 130 : 1) : code));
