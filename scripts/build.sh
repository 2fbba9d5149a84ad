#!/usr/bin/env bash
# Configures and builds one or more CMake presets: windows, native, linux.
# VARNICK_WERROR=ON makes compiler warnings errors, as the test command does.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in "$@"; do
  cmake --preset "$preset" -DVARNICK_WERROR="${VARNICK_WERROR:-OFF}" >/dev/null
  cmake --build --preset "$preset"
done
