#!/usr/bin/env node
'use strict';
// Stands in for varnick-session where the Node side's reading is what is
// tested, not the session: it writes the events that FAKE_SESSION names,
// as a pipe may cut them.
const split = Buffer.from('{"event":"ready","entries":["127.0.0.1 café.test"],"via":"service"}\n');
const scripts = {
  // A multi-byte character cut across two writes.
  split: () => {
    const cut = split.indexOf('é') + 1;
    process.stdout.write(split.subarray(0, cut), () =>
      setTimeout(() => process.stdout.write(split.subarray(cut)), 100));
    process.stdin.resume().on('end', () => process.exit(0));
  },
  // The last error written just before the exit.
  failing: () => {
    process.stdout.write('{"event":"error","exit_code":121,"message":"the last word",' +
      '"reason":"service-not-running","remedies":["do this"]}\n{"event":"ended","exit_code":121}\n',
    () => process.exit(121));
  },
};
scripts[process.env.FAKE_SESSION]();
