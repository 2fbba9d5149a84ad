#!/usr/bin/env bash
# Installs what is missing, checks the format, the rooms' includes and the
# map's paths, symbols, locks, modes and loggers against
# docs/architecture.md, builds the presets with warnings as errors,
# lints the portable code, and runs every test: the native unit tests (with
# AddressSanitizer and UBSan), the fuzzers for a bounded time, and the
# functional tests that drive varnick.exe under Wine and the Linux
# varnick-session in private mount namespaces (Python's, then the Node
# package's), and rebuilds the release elsewhere to compare its bytes.
#
# The functional tests need only the Windows and Linux builds, and mostly wait on
# Wine: they start as soon as it is packaged, while the portable checks
# (scripts/portable_checks.sh) run beside them at the lowest priority, their
# output shown once the tests are done.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "== format"
bash scripts/format.sh
echo "== rooms"
/usr/bin/python3 scripts/check_rooms.py
echo "== map"
/usr/bin/python3 scripts/check_map.py
VARNICK_WERROR=ON bash scripts/build.sh windows
# The Linux varnick-session as it ships, which tests/functional/linux_session.py
# and the Node tests run, with its tarball and npm package.
VARNICK_WERROR=ON bash scripts/build.sh linux
cmake --build --preset linux --target package >/dev/null
# The release zip and its checksum, which the functional tests unpack and run.
cmake --build --preset windows --target package >/dev/null

# The Linux half's driver, which the functional tests run too.
VARNICK_WERROR=ON bash scripts/build.sh native >/dev/null

mkdir -p build
checks_log=build/portable-checks.log
nice -n 19 bash scripts/portable_checks.sh >"$checks_log" 2>&1 &
checks=$!
trap 'kill "$checks" 2>/dev/null || true' EXIT

echo "== functional tests under Wine"
functional=0
# The slowest tests are listed at the end, so that a suite that grows slow
# is seen.
/usr/bin/python3 -m pytest -q --durations=15 tests/functional || functional=$?
# The Node API and launcher drive the same varnick-session.exe, in the same
# prefix, after the Python tests have let it go.
echo "== Node tests under Wine"
node --test --test-concurrency=1 --test-reporter=dot node/test/*.test.js || functional=$?
# The release built again in another folder, later, must give the same bytes.
echo "== the release, rebuilt elsewhere"
bash scripts/reproduce.sh --against build/windows || functional=$?

checked=0
wait "$checks" || checked=$?
trap - EXIT
cat "$checks_log"
if ((checked != 0)); then
  echo "test: the portable checks failed (exit $checked)" >&2
fi
if ((functional != 0)); then
  echo "test: the functional tests failed (exit $functional)" >&2
fi
((checked == 0 && functional == 0))
