'use strict';
// One varnick-session process without a command and with --json: started,
// read event by event until its entries are in, and ended by closing its
// standard input (the session then takes its entries out and exits).

const { spawn } = require('node:child_process');
const { findBinary } = require('./binary.js');
const { VarnickSessionError, exitCodeOf } = require('./errors.js');

// Long enough for a person to answer a consent prompt.
const DEFAULT_READY_TIMEOUT_MS = 120000;
// How long an ended process may keep its output open: under Wine a process's
// streams can stay open for seconds after it, held by Wine's own processes.
const DRAIN_MS = 1000;
// How long a session told to end before its entries are in may take to go
// by itself (it may be waiting on a consent prompt) before it is killed.
const ABANDON_MS = 5000;

// Sessions still running, ended when this process exits: one listener for all.
const running = new Set();
process.on('exit', () => {
  for (const child of running) endInput(child);
});

function endInput(child) {
  if (!child.stdin.destroyed) child.stdin.end();
}

function sessionArguments(entries, options) {
  const args = ['--json'];
  for (const entry of entries) args.push('--add', entry);
  if (options.file) args.push('--hosts-file', options.file);
  if (options.utf8) args.push('--utf8');
  if (options.timeout !== undefined) args.push('--timeout', String(options.timeout));
  if (options.noConsent) args.push('--no-consent');
  if (options.trustVarnickFolder) args.push('--trust-varnick-folder');
  return args;
}

// Splits a stream into lines, decoding UTF-8 across chunk boundaries.
function eachLine(stream, onLine) {
  let buffered = '';
  stream.setEncoding('utf8');
  stream.on('data', (text) => {
    buffered += text;
    let end;
    while ((end = buffered.indexOf('\n')) >= 0) {
      onLine(buffered.slice(0, end).replace(/\r$/, ''));
      buffered = buffered.slice(end + 1);
    }
  });
}

class Session {
  constructor(entries, options, binary) {
    this.events = [];
    this.lastError = undefined;
    this.stderr = '';
    this.child = spawn(binary.command, [...binary.args, ...sessionArguments(entries, options)], {
      stdio: ['pipe', 'pipe', 'pipe'],
      windowsHide: true,
    });
    running.add(this.child);
    // Writing to a session that has already gone is no failure of ours.
    this.child.stdin.on('error', () => {});
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (text) => {
      this.stderr += text;
    });
    this.finished = this.watchEnd();
    this.ready = this.watchReady();
    // A rejection that nobody waits for once ready has come is no failure.
    this.ready.catch(() => {});
    this.abandonUnready(options);
  }

  // The exit code, once the process has exited and its last events were read.
  watchEnd() {
    return new Promise((resolve) => {
      let code;
      let drained = false;
      let ended = false;
      const settle = () => {
        if (code === undefined || !(drained || ended)) return;
        running.delete(this.child);
        resolve(code);
      };
      this.onEnded = () => {
        ended = true;
        settle();
      };
      this.child.stdout.on('close', () => {
        drained = true;
        settle();
      });
      this.child.on('exit', (exitCode, signal) => {
        code = exitCodeOf(exitCode, signal);
        setTimeout(() => this.onEnded(), DRAIN_MS).unref();
        settle();
      });
      this.child.on('error', (error) => {
        this.lastError = { message: `could not start it: ${error.message}`, reason: 'not-started' };
        code = 127;
        this.onEnded();
      });
    });
  }

  watchReady() {
    return new Promise((resolve, reject) => {
      eachLine(this.child.stdout, (line) => {
        const event = parseEvent(line);
        if (!event) return;
        this.events.push(event);
        if (event.event === 'error') this.lastError = event;
        // Told to end before this, the session takes the entries out at once.
        if (event.event === 'ready' && !this.abandoned) resolve(event);
        if (event.event === 'ended') this.onEnded();
      });
      this.finished.then((code) => reject(this.abandoned
        ? new VarnickSessionError(`varnick-session: ${this.abandoned.message}`, { exitCode: code, ...this.abandoned })
        : this.error(code, 'the session ended before its entries were in')));
    });
  }

  // Ends the session when the caller aborts or the entries take too long,
  // and rejects once it has gone.
  abandonUnready(options) {
    const readyTimeout = options.readyTimeout ?? DEFAULT_READY_TIMEOUT_MS;
    const giveUp = (reason, message, cause) => {
      if (this.abandoned) return;
      this.abandoned = { reason, message, cause };
      this.end();
      const kill = setTimeout(() => this.child.kill(), ABANDON_MS);
      this.finished.then(() => clearTimeout(kill));
    };
    const timer = setTimeout(() => giveUp('ready-timeout',
      `the entries were not in after ${readyTimeout} ms (readyTimeout); a consent prompt may ` +
      'be waiting for an answer'), readyTimeout);
    const onAbort = () => giveUp('aborted', 'aborted before the entries were in', options.signal.reason);
    options.signal?.addEventListener('abort', onAbort, { once: true });
    const settled = () => {
      clearTimeout(timer);
      options.signal?.removeEventListener('abort', onAbort);
    };
    this.finished.then(settled);
    this.ready.then(settled, settled);
  }

  error(code, fallback) {
    const said = this.lastError;
    const message = said ? said.message : this.stderr.trim() || fallback;
    return new VarnickSessionError(`varnick-session: ${message} (exit code ${code})`, {
      exitCode: code,
      reason: said?.reason ?? 'failed',
      remedies: said?.remedies ?? [],
    });
  }

  end() {
    endInput(this.child);
  }

  // Ends the session and waits for it; rejects when it could not take the
  // entries out.
  async stop() {
    this.end();
    const code = await this.finished;
    if (code !== 0) throw this.error(code, 'the session did not end cleanly');
  }
}

function parseEvent(line) {
  if (!line.startsWith('{')) return undefined;
  try {
    return JSON.parse(line);
  } catch {
    return undefined;
  }
}

// Where no Varnick exists and the caller accepts that: entries never go in.
class NoSession {
  constructor(entries) {
    this.ready = Promise.resolve({ event: 'ready', entries: [...entries], via: 'none' });
  }

  end() {}

  async stop() {}
}

// The session's exit code for what it refuses before anything starts.
const USAGE_EXIT_CODE = 120;

// An entry as a message shows it: control characters written out, as the
// session shows them.
function shownEntry(entry) {
  const named = { '\0': '\\0', '\r': '\\r', '\n': '\\n' };
  return entry.replace(/[\0-\x08\x0a-\x1f\x7f]/g, (c) =>
    named[c] ?? `\\x${c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0')}`);
}

// A zero character cannot stand in a command line's argument: the session
// would never see the entry as given, so it is refused here, as the session
// refuses what cannot be one line of the hosts file.
function checkEntries(entries) {
  for (const entry of entries) {
    if (typeof entry === 'string' && entry.includes('\0')) {
      throw new VarnickSessionError(
        `varnick-session: the entry '${shownEntry(entry)}' holds a zero character`,
        { exitCode: USAGE_EXIT_CODE, reason: 'usage' });
    }
  }
}

// A started session, or one without entries where none can run and
// `optional` allows that.
function startSession(entries, options = {}) {
  checkEntries(entries);
  if (options.signal?.aborted) {
    throw new VarnickSessionError('varnick-session: aborted before the session started',
      { reason: 'aborted', cause: options.signal.reason });
  }
  const binary = findBinary(options.optional);
  if (!binary) return new NoSession(entries);
  return new Session(entries, options, binary);
}

module.exports = { startSession };
