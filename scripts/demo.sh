#!/usr/bin/env bash
# Builds varnick.exe and runs `add` under Wine against the hosts file of a
# Wine prefix of its own (build/wine-demo), then shows the hosts file and the
# log. Usage: scripts/demo.sh ["<entry>"]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
entry=${1:-127.0.0.1 varnick.demo}

bash scripts/setup.sh
bash scripts/build.sh windows

export WINEPREFIX="$root/build/wine-demo" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
mkdir -p build/demo
cd build/demo

echo "== wine varnick.exe add \"$entry\""
set +e
wine "$root/build/windows/varnick.exe" add "$entry"
status=$?
set -e
echo "== exit code: $status"
hosts="$WINEPREFIX/drive_c/windows/system32/drivers/etc/hosts"
echo "== hosts file ($hosts):"
cat "$hosts"; echo
echo "== log ($root/build/demo/varnick.log):"
cat varnick.log
wineserver -k || true
exit "$status"
