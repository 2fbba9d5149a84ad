#!/usr/bin/env bash
# The checks of the portable code: the native build with warnings as
# errors, the unit tests (with AddressSanitizer and UBSan), each fuzzer for
# a bounded time, and clang-tidy (scripts/lint.sh: the code, not the
# tests, after its check of every last-error read, Win32 files included).
# scripts/test.sh runs this beside the functional tests, which need only
# the Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."

VARNICK_WERROR=${VARNICK_WERROR:-ON} bash scripts/build.sh native
echo "== unit tests"
ctest --preset native -j2 --output-on-failure | tail -n 3

# Each libFuzzer target runs for a bounded time on its kept corpus; what it
# finds new goes to a scratch corpus under build/, not into git.
fuzz_seconds=${VARNICK_FUZZ_SECONDS:-15}
for fuzzer in build/native/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=${fuzzer##*/fuzz_}
  echo "== fuzzing $name for ${fuzz_seconds}s"
  corpora=("build/fuzz-corpus/$name")
  mkdir -p "${corpora[0]}"
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  "$fuzzer" -max_total_time="$fuzz_seconds" "${corpora[@]}" 2>&1 | tail -n 3
done

echo "== clang-tidy"
bash scripts/lint.sh build/native
