'use strict';
// Hosts entries for exactly as long as a function or a dev server runs,
// through varnick-session (lib/session.js).

const { startSession } = require('./lib/session.js');
const { VarnickSessionError } = require('./lib/errors.js');

async function withHosts(entries, fn, options = {}) {
  const session = startSession(entries, options);
  await session.ready;
  const onAbort = () => session.end();
  options.signal?.addEventListener('abort', onAbort, { once: true });
  let result;
  let failure;
  try {
    result = await fn();
  } catch (error) {
    failure = error;
  } finally {
    options.signal?.removeEventListener('abort', onAbort);
  }
  // The entries go whatever fn did; a failed end outweighs fn's result.
  await session.stop();
  if (failure !== undefined) throw failure;
  return result;
}

async function startHosts(entries, options = {}) {
  const session = startSession(entries, options);
  const ready = await session.ready;
  let stopping;
  const held = {
    entries: ready.entries,
    via: ready.via,
    stop() {
      if (!stopping) {
        options.signal?.removeEventListener('abort', abort);
        stopping = session.stop();
      }
      return stopping;
    },
  };
  // Aborted later, the entries go as stop() takes them; its failure is
  // for whoever awaits stop().
  const abort = () => held.stop().catch(() => {});
  options.signal?.addEventListener('abort', abort, { once: true });
  return held;
}

module.exports = { withHosts, startHosts, VarnickSessionError };
