#!/usr/bin/env bash
# Installs the Debian packages that building and testing Varnick need, when
# they are missing, and any further packages named as arguments. Run as root
# on Debian 12.
set -euo pipefail

packages=(
  cmake ninja-build            # build
  mingw-w64                    # cross compiler for varnick.exe
  wine wine64                  # runs varnick.exe and its functional tests
  clang libclang-rt-14-dev     # native unit tests with sanitizers, fuzzers
  clang-format clang-tidy      # the format and lint checks
  googletest libgtest-dev      # unit tests
  python3 python3-pytest       # functional tests
  python3-yaml                 # the functional tests read the winget manifests
  osslsigncode openssl         # signing a release, and its test
  sudo                         # the Linux session's functional tests (run in private namespaces)
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The Node package's tests: any Node from 18 on, Debian's when there is none.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
