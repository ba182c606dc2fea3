#!/usr/bin/env bash
# tools/leakcheck.sh - looks for leaks with valgrind over full runs:
#   1. the runner, from boot to exit, on a save-on-exit device with taken
#      combinations, through a scenario that captures, clears and saves;
#   2. the soak test (20000 key events through the whole tool, "Clear" half
#      way, the data file saved at exit).
#
#   tools/leakcheck.sh [BUILD_DIR]     (default: build-leakcheck in the source tree)
#
# The build is a plain one (valgrind does not run sanitized code). Exits
# nonzero when valgrind finds a leak (definite or indirect) or a memory error.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build-leakcheck}"

command -v valgrind >/dev/null || { echo "leakcheck: valgrind is not installed" >&2; exit 1; }
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPWATCHER_SANITIZE=OFF >/dev/null
cmake --build "$build" -j2 --target tapwatcher-sim tapwatcher_tests >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/tapwatcher-leakcheck-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cat >"$work/run.scn" <<'SCN'
wait 1000
type Ctrl+A
type Shift+Alt+F1
press App1
release App1
wait 3500
button Clear
type B
press Shift
press 0x41
release Shift
release 0x41
wait 4000
show
close
SCN

# Valgrind's own notes ("--PID-- ..."), such as its warning for a system call it
# does not know (openat2: the device then walks beneath its root with
# O_NOFOLLOW instead), are neither a leak nor an error: only its reports
# ("==PID== ...") count.
reports() {
    grep -v '^--[0-9]*-- ' "$1" || true
}

vg=(valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect
    --errors-for-leak-kinds=definite,indirect --track-origins=yes --quiet)
status=0

echo "leakcheck: tapwatcher-sim, one full run"
if ! "${vg[@]}" --log-file="$work/runner.vg" "$build/bin/tapwatcher-sim" \
        --device "$src/examples/profiles/save-on-exit.profile" --root "$work/root" "$work/run.scn" \
        >"$work/runner.out"; then
    status=1
fi
if [ -n "$(reports "$work/runner.vg")" ]; then
    status=1
    reports "$work/runner.vg" >&2
fi
if [ ! -s "$work/root/Program Files/tapwatcherdata.txt" ]; then
    echo "leakcheck: the run wrote no data file" >&2
    status=1
fi

echo "leakcheck: soak test, 20000 key events"
if ! TAPWATCHER_SOAK_EVENTS=20000 "${vg[@]}" --log-file="$work/soak.vg" \
        "$build/bin/tapwatcher_tests" --gtest_filter='Soak.*' >"$work/soak.out"; then
    status=1
    tail -20 "$work/soak.out" >&2
fi
if [ -n "$(reports "$work/soak.vg")" ]; then
    status=1
    reports "$work/soak.vg" >&2
fi

if [ "$status" = 0 ]; then
    echo "leakcheck: no leak, no memory error"
else
    echo "leakcheck: FAILED" >&2
fi
exit $status
