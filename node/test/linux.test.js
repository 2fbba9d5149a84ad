'use strict';
// withHosts on Linux against the Linux varnick-session, as root, inside a
// private mount namespace whose /etc, /run and /var/log are the test's own:
// never this machine's.

const { test } = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '../..');
const PROGRAM = process.env.VARNICK_LINUX_SESSION || path.join(ROOT, 'build/linux/varnick-session');
const API = path.join(ROOT, 'node/varnick-session');
const HOSTS = '127.0.0.1 localhost\n';

// In the namespace: the mounts, a check that /etc is the copy, then Node.
const SETUP = `set -e
mount --bind "$1" /etc
mount -t tmpfs -o mode=0755 tmpfs /run
mount --bind "$2" /var/log
[ "$(cat /etc/varnick-test-copy)" = yes ]
shift 2
exec "$@"`;

const CHILD = `const fs = require('node:fs');
const { withHosts } = require(${JSON.stringify(API)});
withHosts(['127.0.0.1 linux.test'], () => fs.readFileSync('/etc/hosts', 'utf8'))
  .then((during) => process.stdout.write(JSON.stringify({
    during, after: fs.readFileSync('/etc/hosts', 'utf8') })));`;

const runnable = process.platform === 'linux' && process.getuid() === 0;

test('withHosts keeps its entry in /etc/hosts while fn runs, and takes it out', {
  skip: !runnable && 'needs Linux and root for a mount namespace',
}, () => {
  assert.ok(fs.existsSync(PROGRAM), `${PROGRAM} is not built: build the linux preset`);
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'varnick-node-linux-'));
  const etc = path.join(scratch, 'etc');
  const log = path.join(scratch, 'log');
  fs.mkdirSync(log);
  execFileSync('cp', ['-a', '/etc/.', etc]);
  fs.writeFileSync(path.join(etc, 'hosts'), HOSTS);
  fs.writeFileSync(path.join(etc, 'varnick-test-copy'), 'yes');
  const out = execFileSync('unshare', ['--mount', '--propagation', 'private', 'sh', '-c', SETUP,
    'setup', etc, log, process.execPath, '-e', CHILD],
  { env: { ...process.env, VARNICK_SESSION_BINARY: PROGRAM }, encoding: 'utf8' });
  const { during, after } = JSON.parse(out);
  assert.match(during, /^127\.0\.0\.1 linux\.test$/m);
  assert.strictEqual(after, HOSTS);
  assert.strictEqual(fs.readFileSync(path.join(etc, 'hosts'), 'utf8'), HOSTS);
  fs.rmSync(scratch, { recursive: true, force: true });
});
