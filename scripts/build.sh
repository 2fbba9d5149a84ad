#!/usr/bin/env bash
# Configures and builds one or more CMake presets: windows, native.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in "$@"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
