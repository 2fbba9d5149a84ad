#!/usr/bin/env node
'use strict';
// Runs varnick-session.exe with this command's arguments and exits with its
// exit code. Ctrl+C is left to the session, which takes its entries out and
// exits as it does: this process only waits for it.
//
// Where there is no Varnick (macOS), --optional (or
// VARNICK_SESSION_OPTIONAL=1) runs the command after -- without entries;
// --help and --version answer everywhere.

const { spawn } = require('node:child_process');
const { findBinary, OWN_VERSION } = require('../lib/binary.js');
const { exitCodeOf } = require('../lib/errors.js');

const HELP_ELSEWHERE = `Usage: varnick-session [OPTIONS] (--add ENTRY | --hosts-file PATH) ...
                       [--for DURATION | -- COMMAND [ARG ...]]

Keeps entries in the hosts file for as long as a command runs. Varnick runs
on Windows (x64) and Linux (x64); this is ${process.platform}-${process.arch}, where it
has no program.

  --optional   run the command after -- without entries, saying so once,
               instead of failing (or set VARNICK_SESSION_OPTIONAL=1)

On Windows and Linux, varnick-session --help lists every option and exit code.
`;

const args = process.argv.slice(2);
const commandAt = args.indexOf('--');
const own = commandAt < 0 ? args : args.slice(0, commandAt);
const optional = own.includes('--optional') || undefined;
const passed = args.filter((arg, at) => arg !== '--optional' || (commandAt >= 0 && at > commandAt));

function run(command, commandArgs, note) {
  const child = spawn(command, commandArgs, { stdio: 'inherit' });
  // Ctrl+C reaches the child from the console; a termination is passed on.
  for (const signal of ['SIGINT', 'SIGBREAK']) process.on(signal, () => {});
  process.on('SIGTERM', () => child.kill('SIGTERM'));
  child.on('error', (error) => {
    process.stderr.write(`varnick-session: could not start ${command}: ${error.message}\n`);
    process.exit(127);
  });
  child.on('exit', (code, signal) => process.exit(exitCodeOf(code, signal)));
  if (note) process.stderr.write(note);
}

// --help and --version where there is no program to answer them.
function answerHere() {
  if (own.includes('--version')) {
    process.stdout.write(`varnick-session ${OWN_VERSION} (no program for ${process.platform}-${process.arch})\n`);
    process.exit(0);
  }
  if (own.includes('--help') || own.includes('-h')) {
    process.stdout.write(HELP_ELSEWHERE);
    process.exit(0);
  }
}

let binary;
try {
  binary = findBinary(optional);
} catch (error) {
  answerHere();
  process.stderr.write(`${error.message}\n`);
  process.exit(error.exitCode);
}

if (binary) {
  run(binary.command, [...binary.args, ...passed]);
} else {
  answerHere();
  const where = `no Varnick for ${process.platform}-${process.arch} (--optional)`;
  if (commandAt >= 0 && commandAt + 1 < args.length) {
    run(args[commandAt + 1], args.slice(commandAt + 2),
      `varnick-session: ${where}: running the command without hosts entries\n`);
  } else {
    process.stderr.write(`varnick-session: ${where}: no command to run, and no entries held\n`);
  }
}
