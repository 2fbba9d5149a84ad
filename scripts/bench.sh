#!/usr/bin/env bash
# Installs what the benchmarks need when it is missing, then runs them:
# builds the `windows` preset into build/bench-windows, runs varnick.exe and
# its baselines under the Wine prefix build/bench-wine, prints the table and
# writes build/bench/results.json and build/bench/del_time.png.
# Arguments go to bench/run.py (try --help). Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# Only the benchmarks need these: the chart, and GNU time for peak memory.
missing=()
for p in python3-matplotlib time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian's own Python, which the packages above are installed for.
exec /usr/bin/python3 bench/run.py "$@"
