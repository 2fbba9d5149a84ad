'use strict';
// The Node API and launcher against the real varnick-session.exe under
// Wine, in the functional tests' prefix.

const { test } = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const { withHosts, startHosts, VarnickSessionError } = require('../varnick-session');
const { useWine, onMacos, AS_MACOS, DEFAULT_HOSTS, TRUST } = require('./wine.js');

const hosts = useWine();
const LAUNCHER = path.join(__dirname, '../varnick-session/bin/varnick-session.js');

test('entries are in while fn runs, gone after, and fn\'s value comes back', async () => {
  const value = await withHosts(['10.0.0.1 node.test'], async () => {
    assert.ok(hosts().includes('10.0.0.1 node.test\r\n'));
    return 42;
  }, TRUST);
  assert.strictEqual(value, 42);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('fn throwing still takes the entries out, and its error comes back', async () => {
  await assert.rejects(
    withHosts(['10.0.0.2 thrown.test'], () => {
      throw new Error('the test failed');
    }, TRUST),
    /the test failed/,
  );
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('a refused entry rejects with 120 and the session\'s reason', async () => {
  await assert.rejects(withHosts(['999.1.1.1 bad.test'], () => {}, TRUST), (error) => {
    assert.ok(error instanceof VarnickSessionError);
    assert.strictEqual(error.exitCode, 120);
    assert.match(error.message, /'999\.1\.1\.1' is not an IPv4 or IPv6 address/);
    return true;
  });
  // A zero character, which no command line carries, is refused before
  // any session starts.
  const refusedBeforeStart = (error) => {
    assert.ok(error instanceof VarnickSessionError, error);
    assert.deepStrictEqual([error.exitCode, error.reason], [120, 'usage']);
    assert.match(error.message, /the entry '10\.0\.0\.1 a\.test\\0b\.test' holds a zero character/);
    return true;
  };
  let ran = false;
  await assert.rejects(withHosts(['10.0.0.1 a.test\0b.test'], () => { ran = true; }, TRUST),
    refusedBeforeStart);
  await assert.rejects(startHosts(['10.0.0.1 ok.test', '10.0.0.1 a.test\0b.test'], TRUST),
    refusedBeforeStart);
  assert.strictEqual(ran, false);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('two at once each keep their own entry for their own time', async () => {
  const pause = () => new Promise((resolve) => setTimeout(resolve, 500));
  const holds = (entry) => async () => {
    await pause();
    assert.ok(hosts().includes(`${entry}\r\n`), hosts());
  };
  await Promise.all([
    withHosts(['10.0.0.3 one.test'], holds('10.0.0.3 one.test'), TRUST),
    withHosts(['10.0.0.4 two.test'], holds('10.0.0.4 two.test'), TRUST),
  ]);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('startHosts keeps the entries until stop, which is the same promise each time', async () => {
  const held = await startHosts(['10.0.0.6 dev.test'], TRUST);
  assert.deepStrictEqual(held.entries, ['10.0.0.6 dev.test']);
  assert.ok(hosts().includes('10.0.0.6 dev.test\r\n'));
  const stopping = held.stop();
  assert.strictEqual(held.stop(), stopping);
  await stopping;
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('the launcher passes the command\'s exit code through', () => {
  const launched = spawnSync(process.execPath, [LAUNCHER, '--trust-varnick-folder', '--add',
    '10.0.0.5 code.test', '--', 'cmd', '/c', 'exit 3'], { stdio: 'ignore' });
  assert.strictEqual(launched.status, 3);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('the ES module face offers the same functions', async () => {
  const esm = await import('../varnick-session/index.mjs');
  assert.strictEqual(esm.withHosts, withHosts);
  assert.strictEqual(esm.VarnickSessionError, VarnickSessionError);
});

test('a folder others may change is refused with its reason and every remedy', async () => {
  await assert.rejects(withHosts(['10.0.0.7 untrusted.test'], () => {}), (error) => {
    assert.ok(error instanceof VarnickSessionError);
    assert.deepStrictEqual([error.exitCode, error.reason, error.remedies.length],
      [121, 'varnick-untrusted-folder', 3]);
    assert.match(error.remedies[2], /--trust-varnick-folder/);
    assert.ok(error.message.endsWith(`\n  ${error.remedies[2]}`), error.message);
    return true;
  });
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('an abort before the entries are in ends the session and leaves nothing', async () => {
  const aborted = AbortSignal.abort(new Error('no longer wanted'));
  await assert.rejects(startHosts(['10.0.0.8 abort.test'], { ...TRUST, signal: aborted }),
    { reason: 'aborted' });
  const controller = new AbortController();
  const starting = startHosts(['10.0.0.8 abort.test'], { ...TRUST, signal: controller.signal });
  setTimeout(() => controller.abort(), 50);
  await assert.rejects(starting, (error) => {
    assert.strictEqual(error.reason, 'aborted');
    assert.ok(error instanceof VarnickSessionError);
    return true;
  });
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});

test('events are read whole: a character cut between writes, the last error before the exit', async () => {
  const fake = (mode) => ({ ...process.env, VARNICK_SESSION_BINARY: path.join(__dirname, 'fake-session.js'),
    FAKE_SESSION: mode });
  const saved = process.env;
  try {
    process.env = fake('split');
    const held = await startHosts(['127.0.0.1 café.test']);
    assert.deepStrictEqual(held.entries, ['127.0.0.1 café.test']);
    await held.stop();
    process.env = fake('failing');
    await assert.rejects(startHosts(['127.0.0.1 a.test']), {
      message: 'varnick-session: the last word (exit code 121)\n  do this',
      reason: 'service-not-running',
      exitCode: 121,
    });
  } finally {
    process.env = saved;
  }
});

test('on macOS, optional runs without entries; without it, the failure names the option', async () => {
  await onMacos(async () => {
    assert.strictEqual(await withHosts(['10.0.0.9 off.test'], () => 'ran', { optional: true }), 'ran');
    assert.strictEqual((await startHosts(['10.0.0.9 off.test'], { optional: true })).via, 'none');
    await assert.rejects(withHosts(['10.0.0.9 off.test'], () => {}), (error) => {
      assert.ok(error instanceof VarnickSessionError);
      assert.strictEqual(error.reason, 'unsupported-platform');
      assert.match(error.message, /optional: true/);
      return true;
    });
  });
  const launch = (...args) => spawnSync(process.execPath, [...AS_MACOS, LAUNCHER, ...args],
    { env: { ...process.env, VARNICK_SESSION_BINARY: '' }, encoding: 'utf8' });
  const optional = launch('--optional', '--add', '10.0.0.9 off.test', '--', 'sh', '-c', 'exit 3');
  assert.strictEqual(optional.status, 3);
  assert.match(optional.stderr, /running the command without hosts entries/);
  const refused = launch('--add', '10.0.0.9 off.test', '--', 'sh', '-c', 'exit 3');
  assert.strictEqual(refused.status, 1);
  assert.match(refused.stderr, /Varnick runs on Windows \(x64\) and Linux \(x64\)[^]*--optional/);
  assert.strictEqual(launch('--help').status, 0);
  assert.match(launch('--version').stdout, /^varnick-session \S+ \(no program for darwin-x64\)/);
  assert.strictEqual(hosts(), DEFAULT_HOSTS);
});
