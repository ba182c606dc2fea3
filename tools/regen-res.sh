#!/bin/sh
# tools/regen-res.sh - remakes tool/tapwatcher.res, the compiled resource script
# the simulated device embeds, with MinGW's windres as the Windows build runs it
# (platform/win32/CMakeLists.txt: the same defines). Run it after editing
# tool/tapwatcher.rc or tool/resource.h, and commit the result.
#
#   tools/regen-res.sh [OUTPUT]      (default: tool/tapwatcher.res)
set -eu
tool="$(cd "$(dirname "$0")/../tool" && pwd)"
exec "${WINDRES:-x86_64-w64-mingw32-windres}" -DUNICODE -D_UNICODE \
    "$tool/tapwatcher.rc" -O res -o "${1:-$tool/tapwatcher.res}"
