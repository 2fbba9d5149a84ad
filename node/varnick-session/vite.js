'use strict';
// A Vite plugin: the dev server's (or `vite preview`'s) names in the hosts
// file for exactly as long as the server runs. Vite answers only the hosts
// it allows, so the names go into `allowedHosts` too; the entries are in
// before the server listens, and out before its close() resolves.

const fs = require('node:fs');
const path = require('node:path');
const { startHosts } = require('./index.js');

// "127.0.0.1 app.test" stays as it is; a bare name gets the loopback address.
function entryLine(entry) {
  return /\s/.test(entry.trim()) ? entry.trim() : `127.0.0.1 ${entry.trim()}`;
}

// The names of an entry line: every field after the address, up to a comment.
function namesOf(line) {
  return line.split('#')[0].trim().split(/\s+/).slice(1);
}

// <project>.localhost, by the package name (or the folder) of the root:
// browsers resolve .localhost to loopback, and the Varnick service allows it.
function defaultEntry(root) {
  let name = path.basename(root);
  try {
    name = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8')).name || name;
  } catch {
    // No package.json: the folder's name.
  }
  const label = name.toLowerCase().replace(/^@[^/]*\//, '').replace(/[^a-z0-9-]+/g, '-')
    .replace(/^-+|-+$/g, '') || 'app';
  return `127.0.0.1 ${label}.localhost`;
}

function allowNames(serverOptions, names) {
  if (serverOptions.allowedHosts === true) return;
  serverOptions.allowedHosts = [...(serverOptions.allowedHosts || []), ...names];
}

function varnick(options = {}) {
  const { entries: given, noConsent, trustVarnickFolder, optional } = options;
  let entries;
  let held;

  const start = async (logger) => {
    held = startHosts(entries, { noConsent, trustVarnickFolder, optional });
    const hosts = await held;
    if (hosts.via === 'none') {
      logger.warn(`varnick-session: no Varnick for ${process.platform}-${process.arch}: ` +
        `the server runs without hosts entries (${entries.join(', ')})`);
    }
  };
  // Every close of the server comes here; the entries go once.
  const stop = async () => {
    const starting = held;
    held = undefined;
    if (starting) await (await starting).stop();
  };

  return {
    name: 'varnick-session',
    apply: 'serve',
    config(config) {
      entries = (given && given.length ? given : [defaultEntry(path.resolve(config.root || '.'))])
        .map(entryLine);
      const names = entries.flatMap(namesOf);
      allowNames((config.server ??= {}), names);
      allowNames((config.preview ??= {}), names);
    },
    async configureServer(server) {
      await start(server.config.logger);
    },
    async configurePreviewServer(server) {
      await start(server.config.logger);
      const close = server.close.bind(server);
      server.close = async () => {
        await close();
        await stop();
      };
    },
    // The dev server's close() awaits this, in middleware mode too.
    async closeBundle() {
      await stop();
    },
  };
}

module.exports = varnick;
