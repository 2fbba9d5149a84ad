#!/usr/bin/env bash
# Installs what the benchmarks need when it is missing, then runs them:
# builds the `windows` preset into build/bench-windows, runs varnick.exe and
# its baselines under the Wine prefix build/bench-wine, prints the table and
# writes build/bench/results.json and build/bench/file_work.png.
# Arguments go to bench/run.py (try --help). Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

# Beyond the build, only the benchmarks need these: the chart, and GNU time
# for peak memory.
bash scripts/setup.sh python3-matplotlib time

# Debian's own Python, which the packages above are installed for.
exec /usr/bin/python3 bench/run.py "$@"
