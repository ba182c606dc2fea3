#!/usr/bin/env bash
# fuzz/run.sh - builds the fuzz targets and runs each one for a bounded time,
# starting from its checked-in seed corpus.
#
#   fuzz/run.sh [BUILD_DIR]        (default: build-fuzz in the source tree)
#
# FUZZ_SECONDS  time per target (default 60)
# FUZZ_TARGETS  space-separated target names (default: every target built)
# FUZZ_ARTIFACTS  where crashing inputs are written (default BUILD_DIR/fuzz-artifacts)
#
# Exits nonzero when a target crashes, fails one of its checks, or reports a
# sanitizer error; the input that did it is kept in FUZZ_ARTIFACTS, and
# `BUILD_DIR/bin/<target> <input>` replays it.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
artifacts="${FUZZ_ARTIFACTS:-$build/fuzz-artifacts}"

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DTAPWATCHER_SANITIZE=ON -DTAPWATCHER_FUZZ=ON -DTAPWATCHER_TESTS=OFF >/dev/null
# FUZZ_TARGETS given: only those are built.
cmake --build "$build" -j2 ${FUZZ_TARGETS:+--target $FUZZ_TARGETS} >/dev/null

# target -> seed folder and longest input
declare -A corpus=([fuzz_messages]=messages [fuzz_scenario]=scenario [fuzz_profile]=profile
    [fuzz_requests]=requests)
declare -A maxlen=([fuzz_messages]=512 [fuzz_scenario]=4096 [fuzz_profile]=2048
    [fuzz_requests]=4096)

targets="${FUZZ_TARGETS:-}"
if [ -z "$targets" ]; then
    for t in fuzz_messages fuzz_scenario fuzz_profile fuzz_requests; do
        [ -x "$build/bin/$t" ] && targets="$targets $t"
    done
fi

mkdir -p "$artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
summary=""
for t in $targets; do
    bin="$build/bin/$t"
    if [ ! -x "$bin" ]; then
        echo "fuzz: $t was not built" >&2
        status=1
        continue
    fi
    seeds="$src/fuzz/corpus/${corpus[$t]}"
    work="$(mktemp -d "${TMPDIR:-/tmp}/tapwatcher-$t-XXXXXX")"
    dict=()
    [ -f "$src/fuzz/${corpus[$t]}.dict" ] && dict=(-dict="$src/fuzz/${corpus[$t]}.dict")
    log="$build/$t.log"
    echo "fuzz: $t for ${seconds}s (seeds: $(ls "$seeds" | wc -l))"
    rc=0
    "$bin" "$work" "$seeds" "${dict[@]}" -max_total_time="$seconds" -max_len="${maxlen[$t]}" \
        -timeout=20 -rss_limit_mb=2048 -len_control=0 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
        >"$log" 2>&1 || rc=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
    rm -rf "$work"
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "fuzz: $t FAILED (exit $rc); the last lines of $log:" >&2
        grep -E "CHECK FAILED|ERROR: |SUMMARY|runtime error|Test unit written" "$log" | head -20 >&2 || tail -30 "$log" >&2
        summary="$summary$t: FAILED after ${runs:-?} executions\n"
    else
        summary="$summary$t: ${runs:-?} executions (${rate:-?}/s), no failure\n"
    fi
done
printf "fuzz summary:\n$summary"
exit $status
