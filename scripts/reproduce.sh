#!/usr/bin/env bash
# Checks that the release is reproducible: builds it from this source tree
# in fresh folders with different paths, at different times, and compares
# the SHA-256 of the zip, of both programs and of both npm tarballs.
#
#   scripts/reproduce.sh                   two new builds, compared
#   scripts/reproduce.sh --against DIR     one new build, compared with the
#                                          release already built in DIR
#
# The source is the working tree as git sees it (tracked files and new ones
# that are not ignored), copied without .git, so every build takes its date
# from SOURCE_DATE_EPOCH: the environment's, else the last commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

against=""
if (($# == 2)) && [[ $1 == --against ]]; then
  against=$(cd "$2" && pwd)
elif (($# != 0)); then
  sed -n '2,9p' "$0" >&2
  exit 2
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
scratch=$(mktemp -d /tmp/varnick-reproduce-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# Builds the release in $scratch/$1/<a path of its own>, and prints the
# folder that holds it.
build_in() {
  local source="$scratch/$1/source-$RANDOM"
  mkdir -p "$source"
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - -cf - | tar -xf - -C "$source"
  cmake -S "$source" -B "$source/out" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$source/out" >/dev/null
  (cd "$source/out" && cpack >/dev/null)
  echo "$source/out"
}

# The files a user downloads or runs, by name, with their sums.
sums() {
  (cd "$1" && sha256sum varnick-*-win64.zip varnick.exe varnick-session.exe \
    varnick-session-[0-9]*.tgz varnick-session-win32-x64-*.tgz)
}

if [[ -n $against ]]; then
  first=$against
else
  first=$(build_in a)
  sleep 2  # a later clock: nothing may carry it
fi
second=$(build_in b)
if diff <(sums "$first") <(sums "$second"); then
  echo "reproduce: the same bytes from $first and $second (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH):"
  sums "$second"
else
  echo "reproduce: the builds differ (above: < $first, > $second)" >&2
  exit 1
fi
