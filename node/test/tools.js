'use strict';
// The npm tools that the Node tests use (Vite for the plugin, TypeScript for
// the README's snippets, publint and the types checker for the tarballs),
// installed once into build/node-tools from the registry and reused while
// this list stays the same.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const TOOLS = {
  '@arethetypeswrong/cli': '0.18.5',
  '@types/node': '20.19.43',
  publint: '0.3.25',
  typescript: '5.9.3',
  vite: '6.4.6',
};

const ROOT = path.resolve(__dirname, '../..');
const FOLDER = path.join(ROOT, 'build', 'node-tools');

// The folder whose node_modules holds every tool, installed when missing.
function toolsFolder() {
  const wanted = JSON.stringify({ name: 'varnick-node-tools', private: true, devDependencies: TOOLS },
    null, 2);
  const manifest = path.join(FOLDER, 'package.json');
  const installed = fs.existsSync(path.join(FOLDER, 'node_modules', '.package-lock.json')) &&
    fs.existsSync(manifest) && fs.readFileSync(manifest, 'utf8') === wanted;
  if (!installed) {
    fs.mkdirSync(FOLDER, { recursive: true });
    fs.writeFileSync(manifest, wanted);
    execFileSync('npm', ['install', '--no-audit', '--no-fund', '--loglevel=error'],
      { cwd: FOLDER, stdio: ['ignore', 'ignore', 'inherit'] });
  }
  return FOLDER;
}

// Runs a tool's command from node_modules/.bin; its output, or an error
// that carries both streams.
function runTool(name, args, options = {}) {
  const program = path.join(toolsFolder(), 'node_modules', '.bin', name);
  return execFileSync(program, args, { encoding: 'utf8', ...options });
}

module.exports = { toolsFolder, runTool, TOOLS };
