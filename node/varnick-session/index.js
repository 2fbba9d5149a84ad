'use strict';
// Hosts entries for exactly as long as a function or a dev server runs,
// through varnick-session: it starts a session without a command and with
// --json, waits for its ready event, and ends it by closing its standard
// input, then waits for the process to exit (not for its streams: under
// Wine they can stay open for seconds after it).

const { spawn } = require('node:child_process');
const { findBinary } = require('./lib/binary.js');

class VarnickSessionError extends Error {
  constructor(message, exitCode) {
    super(message);
    this.name = 'VarnickSessionError';
    this.exitCode = exitCode;
  }
}

function sessionArguments(entries, options = {}) {
  const args = ['--json'];
  for (const entry of entries) args.push('--add', entry);
  if (options.file) args.push('--hosts-file', options.file);
  if (options.utf8) args.push('--utf8');
  if (options.timeout !== undefined) args.push('--timeout', String(options.timeout));
  if (options.noConsent) args.push('--no-consent');
  return args;
}

// Starts the session; resolves with the running session once its entries
// are in, rejects with the session's message and exit code when it ends
// first.
function startSession(entries, options = {}) {
  const binary = findBinary();
  const child = spawn(binary.command, [...binary.args, ...sessionArguments(entries, options)], {
    stdio: ['pipe', 'pipe', 'pipe'],
    windowsHide: true,
  });
  const session = { child, events: [], lastError: undefined, stderr: '' };
  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => resolve(code === null ? 128 + (signal ? 1 : 0) : code));
    child.on('error', (error) => {
      session.lastError = { message: error.message, exit_code: 127 };
      resolve(127);
    });
  });
  session.exited = exited;
  child.stderr.on('data', (chunk) => {
    session.stderr += chunk.toString('utf8');
  });
  let buffered = '';
  const ready = new Promise((resolve, reject) => {
    child.stdout.on('data', (chunk) => {
      buffered += chunk.toString('utf8');
      let end;
      while ((end = buffered.indexOf('\n')) >= 0) {
        const line = buffered.slice(0, end).replace(/\r$/, '');
        buffered = buffered.slice(end + 1);
        if (!line.startsWith('{')) continue;
        let event;
        try {
          event = JSON.parse(line);
        } catch {
          continue;
        }
        session.events.push(event);
        if (event.event === 'error') session.lastError = event;
        if (event.event === 'ready') resolve(event);
      }
    });
    exited.then((code) => reject(sessionError(session, code, 'the session ended before its entries were in')));
  });
  // A rejection that nobody waits for once ready has come is no failure.
  ready.catch(() => {});
  session.ready = ready;
  return session;
}

function sessionError(session, code, fallback) {
  const message = session.lastError ? session.lastError.message : session.stderr.trim() || fallback;
  return new VarnickSessionError(`varnick-session: ${message} (exit code ${code})`, code);
}

// Ends the session and waits for its process; rejects when it could not
// take the entries out.
async function endSession(session) {
  if (!session.child.stdin.destroyed) session.child.stdin.end();
  const code = await session.exited;
  if (code !== 0) throw sessionError(session, code, 'the session did not end cleanly');
}

async function withHosts(entries, fn, options = {}) {
  const session = startSession(entries, options);
  await session.ready;
  let result;
  let failure;
  try {
    result = await fn();
  } catch (error) {
    failure = error;
  }
  // The entries go whatever fn did; a failed end outweighs fn's result.
  await endSession(session);
  if (failure !== undefined) throw failure;
  return result;
}

async function startHosts(entries, options = {}) {
  const session = startSession(entries, options);
  const ready = await session.ready;
  let stopping;
  const onExit = () => {
    // Only what can be done at once: the session ends itself on its input's end.
    if (!session.child.stdin.destroyed) session.child.stdin.end();
  };
  process.on('exit', onExit);
  return {
    entries: ready.entries,
    via: ready.via,
    stop() {
      if (!stopping) {
        process.removeListener('exit', onExit);
        stopping = endSession(session);
      }
      return stopping;
    },
  };
}

module.exports = { withHosts, startHosts, VarnickSessionError };
