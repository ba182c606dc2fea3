#!/bin/sh
# serve.sh TAPWATCHER-SIM - tapwatcher-sim --serve in a real browser (serve_test.mjs:
# Debian's headless Chromium driven by playwright-core from tests/browser/node_modules).
# Without Chromium or playwright-core it skips (status 77), unless
# TAPWATCHER_REQUIRE_BROWSER=1 (CI), where that is a failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
sim=${1:?usage: serve.sh TAPWATCHER-SIM [SCREENSHOT.png]}
missing() {
    echo "browser check: $1"
    [ "${TAPWATCHER_REQUIRE_BROWSER:-0}" = 1 ] && exit 1
    exit 77
}
[ -x "${CHROMIUM:-/usr/bin/chromium}" ] || missing "no Chromium (apt-get install chromium)"
command -v node >/dev/null || missing "no node"
[ -d "$here/node_modules/playwright-core" ] || missing "no playwright-core (npm ci in tests/browser)"
cd "$here" && exec timeout 150 node serve_test.mjs "$sim" ${2:+"$2"}
