#!/usr/bin/env bash
# run.sh - builds tapwatcher.exe with MinGW-w64, packs the Windows zip and runs
# the tool from the unpacked zip end to end under Wine: the driver
# (tests/e2e/wine/driver.cpp), put beside the zip's Wtapwatcher.exe, starts it,
# types Ctrl+A at it, ends it and checks its data file. Before that it checks the
# zip's contents and the executable's version resource. Exit status 0 on a pass.
#
# Installs nothing. Needs g++-mingw-w64-x86-64, wine64, xvfb (xvfb-run), cmake
# (with cpack) and unzip. Every step is bounded by `timeout`, so a hung Wine fails
# the run.
#
# Environment:
#   TAPWATCHER_WIN32_BUILD  build folder (default: <repo>/build-win32)
#   WINE, WINESERVER        (default: /usr/lib/wine/wine64, /usr/lib/wine/wineserver)
#   KEEP=1                  keep the staging folder and Wine prefix, and say where
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
BUILD=${TAPWATCHER_WIN32_BUILD:-$ROOT/build-win32}
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-x86-64)
command -v x86_64-w64-mingw32-windres >/dev/null || missing+=(binutils-mingw-w64-x86-64)
[ -x "$WINE" ] || missing+=("wine64 ($WINE)")
[ -x "$WINESERVER" ] || missing+=("wineserver ($WINESERVER)")
command -v xvfb-run >/dev/null || missing+=(xvfb)
command -v unzip >/dev/null || missing+=(unzip)
command -v timeout >/dev/null || missing+=(timeout)
if [ ${#missing[@]} -ne 0 ]; then
    echo "run.sh: missing: ${missing[*]}" >&2
    exit 2
fi

echo "== building tapwatcher.exe (MinGW-w64) in $BUILD"
timeout 600 cmake -S "$ROOT/platform/win32" -B "$BUILD" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" >/dev/null
timeout 600 cmake --build "$BUILD" -j "$(nproc)"
echo "== packing the Windows zip"
rm -f "$BUILD"/tapwatcher-*-win64.zip
(cd "$BUILD" && timeout 300 cpack -G ZIP >/dev/null)
ZIP=$(ls "$BUILD"/tapwatcher-*-win64.zip)
echo "$ZIP"

STAGE=$(mktemp -d /tmp/tapwatcher-wine-stage.XXXXXX)
PREFIX=$(mktemp -d /tmp/tapwatcher-wine-prefix.XXXXXX)
export WINEPREFIX=$PREFIX
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko download prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
    timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
    if [ "${KEEP:-0}" = 1 ]; then
        echo "kept: stage $STAGE, prefix $PREFIX"
    else
        rm -rf "$STAGE" "$PREFIX"
    fi
}
trap cleanup EXIT

# The zip unpacked as a user would: the tool under each of its names, the same
# program under all four; the driver beside them runs Wtapwatcher.exe.
timeout 60 unzip -q "$ZIP" -d "$STAGE"
UNPACKED=$(echo "$STAGE"/tapwatcher-*-win64)
for name in tapwatcher tapwatcherL Wtapwatcher WtapwatcherL; do
    if ! cmp -s "$UNPACKED/$name.exe" "$BUILD/tapwatcher.exe"; then
        echo "run.sh: the zip's $name.exe is not the tool just built" >&2
        exit 1
    fi
done
[ -s "$UNPACKED/README.txt" ] || { echo "run.sh: the zip has no README.txt" >&2; exit 1; }
# Its version resource says what --version says in the other programs: the version
# and source revision this build described (as windres reads the resource back).
described() { sed -n "s/^set($1 \"\(.*\)\")\$/\1/p" "$BUILD/generated/tapwatcher_version.cmake"; }
text="$(described TAPWATCHER_BUILD_VERSION) (source revision $(described TAPWATCHER_BUILD_REVISION))"
resources=$(timeout 60 x86_64-w64-mingw32-windres -i "$UNPACKED/tapwatcher.exe" -O rc)
for key in FileVersion ProductVersion; do
    if ! grep -qF "VALUE \"$key\", \"$text\"" <<<"$resources"; then
        echo "run.sh: tapwatcher.exe's $key is not \"$text\"" >&2
        exit 1
    fi
done
cp "$BUILD/tapwatcher-e2e.exe" "$UNPACKED/tapwatcher-e2e.exe"

echo "== running under Wine ($("$WINE" --version 2>/dev/null || echo unknown)), prefix $PREFIX"
set +e
timeout -k 15 420 xvfb-run -a -s "-screen 0 1024x768x24" \
    env WINE="$WINE" WINESERVER="$WINESERVER" UNPACKED="$UNPACKED" bash -c '
        timeout -k 10 240 "$WINE" wineboot --init >/dev/null 2>&1 ||
            { echo "run.sh: wineboot failed or timed out" >&2; exit 4; }
        timeout -k 10 170 "$WINE" "$UNPACKED/tapwatcher-e2e.exe"
        rc=$?
        timeout 20 "$WINESERVER" -k >/dev/null 2>&1
        exit $rc'
rc=$?
set -e

case $rc in
0) echo "== Wine end-to-end run passed" ;;
124 | 137) echo "== Wine end-to-end run timed out" >&2 ;;
*) echo "== Wine end-to-end run failed (status $rc)" >&2 ;;
esac
exit $rc
