'use strict';
// Every TypeScript snippet of the docs that a Node developer copies
// type-checks, strictly, against the packed package's types, as an ES
// module of a project with Vite and Node's types.

const { test } = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const { toolsFolder, runTool } = require('./tools.js');

const ROOT = path.resolve(__dirname, '../..');
const BUILD = process.env.VARNICK_BUILD_DIR || path.join(ROOT, 'build', 'windows');
const DOCS = ['README.md', 'docs/node.md', 'node/varnick-session/README.md'];

function snippets() {
  return DOCS.flatMap((doc) => [...fs.readFileSync(path.join(ROOT, doc), 'utf8')
    .matchAll(/^```ts\n([^]*?)^```$/gm)].map((match, i) => ({ doc, i, code: match[1] })));
}

test('the docs\' TypeScript snippets type-check against the packed types', () => {
  const found = snippets();
  assert.ok(found.length >= 5, `only ${found.length} snippets found`);
  const tarball = fs.readdirSync(BUILD).find((name) => /^varnick-session-\d.*\.tgz$/.test(name));
  assert.ok(tarball, `no varnick-session tarball in ${BUILD}: run the package target`);
  // Inside the tools' folder, so that vite and @types/node resolve from it.
  const project = path.join(toolsFolder(), 'snippets');
  fs.rmSync(project, { recursive: true, force: true });
  const installed = path.join(project, 'node_modules', 'varnick-session');
  fs.mkdirSync(installed, { recursive: true });
  execFileSync('tar', ['-xzf', path.join(BUILD, tarball), '-C', installed, '--strip-components=1']);
  fs.writeFileSync(path.join(project, 'package.json'), '{ "type": "module" }\n');
  fs.writeFileSync(path.join(project, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { module: 'nodenext', target: 'es2022', strict: true, noEmit: true,
      types: ['node'] },
    include: ['*.ts'],
  }));
  for (const { doc, i, code } of found) {
    fs.writeFileSync(path.join(project, `${doc.replace(/\W/g, '_')}_${i}.ts`), code);
  }
  try {
    runTool('tsc', ['-p', project]);
  } catch (error) {
    assert.fail(`tsc found faults in the snippets:\n${error.stdout}${error.stderr}`);
  }
});
