#!/usr/bin/env bash
# Installs what is missing, checks the format and the rooms' includes
# against docs/architecture.md, builds both presets with
# warnings as errors, lints the portable code, and runs every test: the
# native unit tests (with AddressSanitizer and UBSan), the fuzzers for a
# bounded time, and the functional tests that drive varnick.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "== format"
bash scripts/format.sh
echo "== rooms"
/usr/bin/python3 scripts/check_rooms.py
VARNICK_WERROR=ON bash scripts/build.sh native windows
echo "== clang-tidy"
bash scripts/lint.sh build/native
# The release zip and its checksum, which the functional tests unpack and run.
cmake --build --preset windows --target package >/dev/null

echo "== unit tests"
ctest --preset native -j2

# Each libFuzzer target runs for a bounded time on its kept corpus; what it
# finds new goes to a scratch corpus under build/, not into git.
fuzz_seconds=${VARNICK_FUZZ_SECONDS:-30}
for fuzzer in build/native/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=${fuzzer##*/fuzz_}
  echo "== fuzzing $name for ${fuzz_seconds}s"
  corpora=("build/fuzz-corpus/$name")
  mkdir -p "${corpora[0]}"
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  "$fuzzer" -max_total_time="$fuzz_seconds" "${corpora[@]}" 2>&1 | tail -n 3
done

echo "== functional tests under Wine"
/usr/bin/python3 -m pytest -q tests/functional
