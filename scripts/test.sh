#!/usr/bin/env bash
# Installs what is missing, builds both presets and runs every test: the
# native unit tests (with AddressSanitizer and UBSan) and the functional
# tests that drive varnick.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh native windows

echo "== unit tests"
ctest --preset native -j2

echo "== functional tests under Wine"
/usr/bin/python3 -m pytest -q tests/functional
