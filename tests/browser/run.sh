#!/bin/sh
# run.sh BUILD-DIR - the page of tapwatcher-report in a real browser: makes the page of
# examples/report/session.txt, opens it in Debian's headless Chromium with check_page.mjs
# (playwright-core from tests/browser/node_modules: npm ci there), and checks that the
# checker itself fails on a page with a console error and a request, and on a blank page.
# Without Chromium or playwright-core it skips (status 77), unless
# TAPWATCHER_REQUIRE_BROWSER=1 (CI), where that is a failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:?usage: run.sh BUILD-DIR}
missing() {
    echo "browser check: $1"
    [ "${TAPWATCHER_REQUIRE_BROWSER:-0}" = 1 ] && exit 1
    exit 77
}
[ -x "${CHROMIUM:-/usr/bin/chromium}" ] || missing "no Chromium (apt-get install chromium)"
command -v node >/dev/null || missing "no node"
[ -d "$here/node_modules/playwright-core" ] || missing "no playwright-core (npm ci in tests/browser)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

# The example's page: 30 rows, 3 findings.
"$build/bin/tapwatcher-report" "$src/examples/report/session.txt" --html "$tmp/page.html" \
    >"$tmp/report.out" 2>&1 || { cat "$tmp/report.out"; exit 1; }
timeout 150 node "$here/check_page.mjs" "$tmp/page.html" "${SCREENSHOT:-$tmp/page.png}" 30 3 ||
    status=1

# The checker must see what is wrong with these.
cat >"$tmp/noisy.html" <<'PAGE'
<!DOCTYPE html><html><head><title>noisy</title></head><body><h1>noisy</h1>
<img src="http://192.0.2.1/picture.png" alt=""><script>console.error("broken");</script>
</body></html>
PAGE
printf '<!DOCTYPE html><html><head><title>blank</title><link rel="icon" href="data:,"></head><body></body></html>\n' \
    >"$tmp/blank.html"
for bad in noisy blank; do
    if timeout 150 node "$here/check_page.mjs" "$tmp/$bad.html" "$tmp/$bad.png" 0 0 >"$tmp/$bad.out" 2>&1; then
        echo "browser check: the $bad page passed the check"
        status=1
    else
        echo "browser check: the $bad page fails as it should: $(grep -c FAIL "$tmp/$bad.out") failures"
    fi
done
exit $status
