#!/usr/bin/env bash
# bench/run.sh - builds the benchmarks in Release, runs each of them with
# repetitions, and prints the table of targets: target, floor measured in the
# same run, measured figure (medians of the repetitions), pass or miss.
#
#   bench/run.sh [BUILD_DIR]        (default /tmp/tapwatcher-bench-release)
#   REPS=N bench/run.sh             repetitions per benchmark (default 5)
#
# The raw results stay in BUILD_DIR/bench-results/ (one JSON and one console log
# per program, and table.md).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
build=${1:-/tmp/tapwatcher-bench-release}
reps=${REPS:-5}
out=$build/bench-results

echo "Building in Release: $build" >&2
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAPWATCHER_BENCH=ON \
    -DTAPWATCHER_TESTS=OFF >"$build.configure.log" 2>&1 || {
    cat "$build.configure.log" >&2
    exit 1
}
programs="throughput latency startup memory soak save runner transcript stream report"
targets=""
for p in $programs; do
    [ -f "$src/bench/${p}_bench.cpp" ] && targets="$targets bench_$p"
done
# The runner's benchmark exists only when the runner's library is in the tree.
cmake --build "$build" -j2 --target $targets >"$build.build.log" 2>&1 ||
    cmake --build "$build" -j2 --target ${targets/bench_runner/} >"$build.build.log" 2>&1 || {
    tail -40 "$build.build.log" >&2
    exit 1
}

mkdir -p "$out"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for p in $programs; do
    exe=$build/bin/bench_$p
    [ -x "$exe" ] || { rm -f "$out/$p.json"; continue; }
    echo "Running bench_$p ($reps repetitions)" >&2
    "$exe" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
        --benchmark_out="$out/$p.json" --benchmark_out_format=json >"$out/$p.log" 2>&1 || {
        echo "bench_$p failed:" >&2
        tail -20 "$out/$p.log" >&2
        exit 1
    }
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# val FILE NAME-REGEX FIELD: a field (counter or real_time) of the first result
# whose name matches, from Google Benchmark's JSON output (one field a line).
val() {
    [ -f "$1" ] || { echo ""; return; }
    awk -v pat="$2" -v field="$3" '
        /^ *"name": / { n = $0; sub(/^ *"name": "/, "", n); sub(/",?$/, "", n); cur = (n ~ pat); next }
        cur && $0 ~ "^ *\"" field "\": " { v = $0; sub(/^[^:]*: /, "", v); sub(/,$/, "", v); print v; exit }' "$1"
}
# calc EXPRESSION: awk arithmetic, printed with %.6g.
calc() { awk "BEGIN { printf \"%.6g\", $1 }"; }
# fmt VALUE DECIMALS
fmt() { [ -n "$1" ] && awk -v v="$1" -v d="$2" 'BEGIN { printf "%.*f", d, v }' || printf "n/a"; }
# verdict CONDITION (awk expression): pass or miss
verdict() { awk "BEGIN { exit !($1) }" && echo pass || echo miss; }
# thousands VALUE: 1234567 -> 1,234,567
thousands() { [ -n "$1" ] && printf "%.0f" "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' || printf "n/a"; }

med='_median$'
floor_rps=$(val "$out/throughput.json" "^BM_ListViewAppend/500000/.*$med" rows_per_s)
tool_rps=$(val "$out/throughput.json" "^BM_WholePath/500000/.*$med" rows_per_s)
tool_cpu=$(val "$out/throughput.json" "^BM_WholePath/500000/.*$med" cpu_ns_per_row)
floor_cpu=$(val "$out/throughput.json" "^BM_ListViewAppend/500000/.*$med" cpu_ns_per_row)
runner_rps=$(val "$out/runner.json" "^BM_RunnerWholePath/500000/1/.*$med" rows_per_s)
runner_null_rps=$(val "$out/runner.json" "^BM_RunnerWholePath/500000/0/.*$med" rows_per_s)
p99=$(val "$out/latency.json" "^BM_ReleaseToSystem/.*$med" p99_us)
p50=$(val "$out/latency.json" "^BM_ReleaseToSystem/.*$med" p50_us)
startup=$(val "$out/startup.json" "^BM_StartupToReady/.*$med" real_time)
hash=$(val "$out/startup.json" "^BM_HashTable2048$med" real_time)
mem=$(val "$out/memory.json" "^BM_LogMemory/500000/.*$med" bytes_per_row)
mem_rows=$(val "$out/memory.json" "^BM_LogMemory/500000/.*$med" rows)
text=$(val "$out/memory.json" "^BM_LogMemory/500000/.*$med" text_bytes_per_row)
mem_rec=$(val "$out/memory.json" "^BM_LogMemoryRecordingSystemKeys/500000/.*$med" bytes_per_row)
mem_journal=$(val "$out/memory.json" "^BM_LogMemoryJournalOn/.*$med" bytes_per_row)
mem10=$(val "$out/memory.json" "^BM_LogMemory/5000000/.*$med" bytes_per_row)
save=$(val "$out/save.json" "^BM_SaveLog/.*$med" save_s)
save_floor=$(val "$out/save.json" "^BM_SaveLog/.*$med" floor_s)
save_ratio=$(val "$out/save.json" "^BM_SaveLog/.*$med" ratio)
save_rows=$(val "$out/save.json" "^BM_SaveLog/.*$med" rows)
ns1=$(val "$out/throughput.json" "^BM_WholePath/500000/.*$med" ns_per_row)
ns10=$(val "$out/throughput.json" "^BM_WholePath/5000000/.*$med" ns_per_row)
rows1=$(val "$out/throughput.json" "^BM_WholePath/500000/.*$med" rows)
rows10=$(val "$out/throughput.json" "^BM_WholePath/5000000/.*$med" rows)

{
    echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
        "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo);" \
        "load average $load_before before, $load_after after; $reps repetitions, medians."
    echo
    echo "| what | target | floor (same run) | measured | result |"
    echo "|---|---|---|---|---|"
    if [ -n "$runner_rps" ]; then
        r=$(calc "$floor_rps / $runner_rps")
        echo "| key events through tapwatcher-sim (press/release pairs, pass-through, transcript to a file) |" \
            ">= 1,000,000 rows/s, within 3x of the floor | $(thousands "$floor_rps") rows/s appended straight to list view storage |" \
            "$(thousands "$runner_rps") rows/s ($(fmt "$r" 1)x the floor's time; $(thousands "$runner_null_rps") rows/s with the transcript dropped) |" \
            "$(verdict "$runner_rps >= 1000000 && $r <= 3") |"
    fi
    r=$(calc "$floor_rps / $tool_rps")
    echo "| key events through the device and the tool (generated input, transcript to a file, buffered) |" \
        ">= 1,000,000 rows/s, within 3x of the floor | $(thousands "$floor_rps") rows/s ($(fmt "$floor_cpu" 0) ns/row CPU) |" \
        "$(thousands "$tool_rps") rows/s, $(fmt "$r" 1)x ($(fmt "$tool_cpu" 0) ns/row CPU, $(fmt "$(calc "$tool_cpu / $floor_cpu")" 1)x) |" \
        "$(verdict "$tool_rps >= 1000000 && $r <= 3") |"
    echo "| key release to its synthesised copy reaching the system (host time) | p99 <= 5 us | - |" \
        "p99 $(fmt "$p99" 2) us (p50 $(fmt "$p50" 2) us) | $(verdict "$p99 <= 5") |"
    echo "| start-up to ready, 100 taken combinations | <= 1 ms | $(fmt "$hash" 1) us: 2048 lookups + inserts in std::unordered_map |" \
        "$(fmt "$startup" 1) us | $(verdict "$startup <= 1000") |"
    echo "| memory of the log at $(thousands "$mem_rows") rows (resident growth / rows) | <= 64 B/row | $(fmt "$text" 1) B/row of text (UTF-16) |" \
        "$(fmt "$mem" 1) B/row (with the device's record of system keys on: $(fmt "$mem_rec" 1); with its journal on: $(fmt "$mem_journal" 0)) | $(verdict "$mem <= 64") |"
    echo "| saving $(thousands "$save_rows") rows | <= 2 s, within 1.5x of the floor | $(fmt "$save_floor" 3) s: the same lines, one write(2) each |" \
        "$(fmt "$save" 3) s, $(fmt "$save_ratio" 2)x | $(verdict "$save <= 2 && $save_ratio <= 1.5") |"
    tr=$(calc "($ns10 * $rows10) / ($ns1 * $rows1)")
    rr=$(calc "$rows10 / $rows1")
    mr=$(calc "($mem10 * $rows10) / ($mem * $rows1)")
    echo "| growth: $(fmt "$rr" 1)x the rows ($(thousands "$rows1") -> $(thousands "$rows10")) | <= 11x time and memory | - |" \
        "time $(fmt "$tr" 2)x, memory $(fmt "$mr" 2)x | $(verdict "$tr <= 1.1 * $rr && $mr <= 1.1 * $rr") |"
    if [ -f "$out/stream.json" ]; then
        sv() { val "$out/stream.json" "^BM_StreamAgainstTheFloor/.*$med" "$1"; }
        echo "| tapwatcher-sim's text transcript, 500,000 \`type A\` lines into a file | within 3x of the floor |" \
            "$(fmt "$(sv floor_s)" 3) s: the same rows through the device and the tool alone |" \
            "$(fmt "$(sv text_s)" 3) s, $(fmt "$(sv text_x_floor)" 2)x | $(verdict "$(sv text_x_floor) <= 3") |"
        echo "| the same as JSON lines | within 1.5x of the text | $(fmt "$(sv text_s)" 3) s as text |" \
            "$(fmt "$(sv jsonl_s)" 3) s, $(fmt "$(sv jsonl_x_text)" 2)x | $(verdict "$(sv jsonl_x_text) <= 1.5") |"
    fi
} | tee "$out/table.md"

# tapwatcher-report on generated data files: no target, the figures for
# docs/performance.md (wall ms of the whole command, what it wrote).
if [ -f "$out/report.json" ]; then
    {
        echo
        echo "| rows | --summary | text report | --timeline (SVG) | --html (page) |"
        echo "|---|---|---|---|---|"
        for rows in 10000 100000 1000000; do
            cell() {
                t=$(val "$out/report.json" "^BM_Report/rows:$rows/output:$1/.*$med" real_time)
                mb=$(val "$out/report.json" "^BM_Report/rows:$rows/output:$1/.*$med" out_MB)
                printf "%s ms" "$(fmt "$t" 0)"
                [ -n "$mb" ] && printf ", %s MB" "$(fmt "$mb" 2)"
                return 0
            }
            echo "| $(thousands "$rows") | $(cell 0) | $(cell 1) | $(cell 2) | $(cell 3) |"
        done
    } | tee -a "$out/table.md"
fi
