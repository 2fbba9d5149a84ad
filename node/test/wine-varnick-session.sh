#!/bin/sh
# varnick-session.exe of the build, under Wine, for the Node tests
# (VARNICK_SESSION_BINARY). Wine shows the build folder as its Unix user's
# to change, so a test that needs varnick.exe to start passes
# trustVarnickFolder (--trust-varnick-folder).
root=$(cd "$(dirname "$0")/../.." && pwd)
exec wine "${VARNICK_BUILD_DIR:-$root/build/windows}/varnick-session.exe" "$@"
