#!/usr/bin/env bash
# bench/x11_run.sh - builds tapwatcher-x11 and its benchmark in Release,
# runs the benchmark on an Xvfb of its own and prints the table of targets
# (sweep under 300 ms; press to row and release to passed-on key, p99 under 5 ms).
#
#   bench/x11_run.sh [BUILD_DIR]   (default /tmp/tapwatcher-x11-bench)
#
# The raw results stay in BUILD_DIR/x11-bench.json.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-/tmp/tapwatcher-x11-bench}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAPWATCHER_BENCH=ON \
    -DTAPWATCHER_TESTS=OFF >"$build.configure.log" 2>&1 || {
    cat "$build.configure.log" >&2
    exit 1
}
cmake --build "$build" -j2 --target tapwatcher-x11 bench_x11 >"$build.build.log" 2>&1 || {
    tail -40 "$build.build.log" >&2
    exit 1
}

fifo=$(mktemp -u /tmp/x11-bench-fd.XXXXXX)
mkfifo "$fifo"
# -noreset: between two benchmarks no client is connected, and a server that resets
# then refuses the next one for a moment.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -f "$fifo"' EXIT
display=$(timeout 10 head -n1 "$fifo")
export DISPLAY=":$display"

timeout 600 "$build/bin/bench_x11" --benchmark_out="$build/x11-bench.json" \
    --benchmark_out_format=json --benchmark_counters_tabular=true

python3 - "$build/x11-bench.json" <<'PY'
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
sweep = runs["BM_Sweep"]["real_time"]
bare = runs["BM_SweepWithoutLockVariants"]["real_time"]
lat = runs["BM_KeyLatency"]
floor = runs["BM_XTestFloor"]
rows = [
    ("sweep of 2048 combinations (with lock variants)", "< 300 ms", "%.0f ms" % sweep, sweep < 300),
    ("  the same grabs without lock variants (cause)", "-", "%.0f ms" % bare, None),
    ("XTest press -> its row, median", "-", "%.2f ms" % lat["press_row_p50_ms"], None),
    ("XTest press -> its row, p99", "< 5 ms", "%.2f ms" % lat["press_row_p99_ms"], lat["press_row_p99_ms"] < 5),
    ("release -> passed-on key at a listener, median", "-", "%.2f ms" % lat["release_on_p50_ms"], None),
    ("release -> passed-on key at a listener, p99", "< 5 ms", "%.2f ms" % lat["release_on_p99_ms"], lat["release_on_p99_ms"] < 5),
    ("floor: XTest press -> listener, no tool, median / p90 / p99", "-",
     "%.2f / %.2f / %.2f ms" % (floor["p50_ms"], floor["p90_ms"], floor["p99_ms"]), None),
]
print("| measure | target | measured | |")
print("|---|---|---|---|")
for name, target, got, ok in rows:
    print("| %s | %s | %s | %s |" % (name, target, got, "" if ok is None else ("pass" if ok else "miss")))
print("\n(grabs held after the sweep: %d; latency samples: %d; p90: press -> row %.2f ms, release -> listener %.2f ms)"
      % (runs["BM_Sweep"]["grabs"], lat["samples"], lat["press_row_p90_ms"], lat["release_on_p90_ms"]))
with open("/proc/loadavg") as f:
    print("(load average during the run: %s)" % " ".join(f.read().split()[:3]))
PY
