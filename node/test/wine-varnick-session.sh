#!/bin/sh
# varnick-session.exe of the build, under Wine, for the Node tests
# (VARNICK_SESSION_BINARY). Wine shows the build folder as its Unix user's
# to change, so the session is told to trust it.
root=$(cd "$(dirname "$0")/../.." && pwd)
exec wine "${VARNICK_BUILD_DIR:-$root/build/windows}/varnick-session.exe" --trust-varnick-folder "$@"
