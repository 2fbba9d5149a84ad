#!/usr/bin/env bash
# Runs clang-tidy, with the checks in .clang-tidy, over the source files of
# the project that a native build compiles: the portable core and the fuzz
# targets (the headers they include come along), and with --tests the unit
# tests too. The Win32 files are not in a native build, so clang-tidy does
# not see them; scripts/check_last_error.py, run first, reads every file
# under src/, theirs too, for a last error read where another call may run
# before it. The unit tests are left out by default: each pulls in GoogleTest,
# whose headers the checks walk through for two thirds of the time of the
# whole run, and their faults show when they run.
#
# Usage: scripts/lint.sh [--tests] [build-dir]   (default build/native)
# The build dir needs a compile_commands.json: configure it with
# -DCMAKE_EXPORT_COMPILE_COMMANDS=ON. Prints one line when clean; otherwise
# prints the findings and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

last_error=0
python3 scripts/check_last_error.py || last_error=1

tests=no
if [ "${1:-}" = --tests ]; then
  tests=yes
  shift
fi
build=${1:-build/native}
database="$build/compile_commands.json"
if [ ! -f "$database" ]; then
  echo "lint: no $database; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
  exit 2
fi
tidy=${CLANG_TIDY:-clang-tidy}
command -v "$tidy" >/dev/null || { echo "lint: $tidy not found (apt-get install clang-tidy)" >&2; exit 2; }

mapfile -t files < <(python3 - "$database" "$root" "$tests" <<'EOF'
import json, os, sys
database, root, tests = sys.argv[1], sys.argv[2], sys.argv[3] == "yes"
files = set()
for entry in json.load(open(database)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if os.path.relpath(path, root).split(os.sep)[0] not in ("src", "fuzz"):
        continue
    if tests or not path.endswith("_test.cc"):
        files.add(path)
print("\n".join(sorted(files)))
EOF
)
if ((${#files[@]} == 0)); then
  echo "lint: $database lists no files under src/ or fuzz/" >&2
  exit 2
fi

# One log per file, so that parallel runs do not interleave their output; a
# file whose run fails keeps its log under a .failed name.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
start=$SECONDS
printf '%s\0' "${files[@]}" | xargs -0 -P "$(nproc)" -I{} \
  sh -c 'log="$3/$(printf %s "$4" | tr / _)"
         "$1" -p "$2" --quiet "$4" >"$log" 2>&1 || mv "$log" "$log.failed"' \
  lint "$tidy" "$build" "$logs" {}

failed=("$logs"/*.failed)
if [ -e "${failed[0]}" ]; then
  # clang-tidy's own tally lines ("N warnings generated.") say nothing more.
  cat "${failed[@]}" | grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2 || true
  echo "lint: clang-tidy found problems in ${#failed[@]} of ${#files[@]} files" >&2
  exit 1
fi
echo "lint: ${#files[@]} files clean ($((SECONDS - start))s)"
exit "$last_error"
