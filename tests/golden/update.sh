#!/bin/sh
# Regenerates the golden transcripts and device files under tests/golden/
# from the examples listed in tests/golden/MANIFEST. Review the difference
# (git diff tests/golden) before committing it.
#   tests/golden/update.sh [BUILD-DIR]     (default /tmp/build-runner)
set -e
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-/tmp/build-runner}
cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" -j2 --target tapwatcher_tests
TAPWATCHER_UPDATE_GOLDEN=1 "$build/bin/tapwatcher_tests" --gtest_filter='Examples/RunnerGolden.*' --gtest_brief=1
git -C "$src" status --short tests/golden
