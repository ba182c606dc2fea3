#!/usr/bin/env bash
# tests/conformance/run.sh - plays the conformance table on one front-end and
# compares its rows with the simulated device's, sequence by sequence: key
# code, U/D and modifier cells byte for byte and in order; each row's tick,
# counted from the sequence's first row, within TOL ms (default 60). The
# platform differences in differences.txt are applied first.
#
#   tests/conformance/run.sh x11 TAPWATCHER-SIM TAPWATCHER-X11 PROBE
#   tests/conformance/run.sh terminal TAPWATCHER-SIM
#   tests/conformance/run.sh browser TAPWATCHER-SIM
#   tests/conformance/run.sh wine TAPWATCHER-SIM
#
# The matrix (one line per sequence: ok, or what differed) goes to
# $OUT/matrix-FRONTEND.txt. Exit 0 when every sequence matches, 1 otherwise,
# 77 when the browser or the Windows build cannot run here (skipped).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
frontend=$1
sim=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
tol=${TOL:-60}
exe='\Program Files\Wtapwatcher.exe'
work=$(mktemp -d /tmp/tapwatcher-conformance.XXXXXX)
out=${OUT:-$work/out}
mkdir -p "$out"
matrix=$out/matrix-$frontend.txt
: >"$matrix"
pids=()
failures=0

cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && timeout 20 "${WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# rows TRANSCRIPT: the key rows as "TICK CODE U/D MODS", the tick counted from
# the first key row, key names, times and annotations left out.
rows() {
    grep -E '^-?[0-9]+ row [0-9]+: [0-9A-F]{2} (\([^)]*\) )?[DU]' "$1" |
        sed -E 's/^(-?[0-9]+ row [0-9]+: [0-9A-F]{2}) \([^)]*\)/\1/; s/ \+[0-9]+ ms//' |
        sed -E 's/ \(.*\)$//; s/^(-?[0-9]+) row [0-9]+: /\1 /' |
        awk '{ if (NR == 1) t0 = $1; $1 = $1 - t0; print }'
}

# apply RULES: the documented differences of this front-end and sequence
# that change its rows.
apply() {
    local rules=" $1 " repeats=0
    case $rules in *" repeats "*) repeats=1 ;; esac
    awk -v repeats="$repeats" '
        repeats { k = $2; if ($3 == "D" && down[k]) next; down[k] = ($3 == "D") }
        { print }'
}

# compare NAME REF GOT RULES: one matrix line; sets failures.
compare() {
    local name=$1 ref=$2 got=$3 extra=0 verdict
    case " $4 " in *" trailing "*) extra=2 ;; esac
    verdict=$(awk -v tol="$tol" -v extra="$extra" '
        NR == FNR { rt[++n] = $1; $1 = ""; rc[n] = $0; next }
        { gt[++m] = $1; $1 = ""; gc[m] = $0 }
        END {
            if (m > n && m <= n + extra) m = n
            for (i = 1; i <= (n > m ? n : m); i++) {
                if (i > n) { print "extra row" gc[i]; exit }
                if (i > m) { print "lost row" rc[i]; exit }
                if (rc[i] != gc[i]) { print "row " i ":" gc[i] " instead of" rc[i]; exit }
                d = gt[i] - rt[i]; if (d < 0) d = -d
                if (d > tol) { print "row " i ":" gc[i] " at +" gt[i] " ms, not +" rt[i]; exit }
            }
            print "ok"
        }' "$ref" "$got")
    # A known bug must still fail as it did (a strict expected failure): once
    # fixed, its rule goes, so that the row is compared again.
    case " $4 " in *" known-bug "*)
        if [ "$verdict" = ok ]; then
            echo "FAIL $name: passes now; remove its known-bug rule from differences.txt"
            printf '%-15s %s\n' "$name" "ok, but listed as a known bug" >>"$matrix"
            failures=$((failures + 1))
        else
            echo "bug  $name: $verdict (a known bug, docs/conformance.md)"
            printf '%-15s %s\n' "$name" "known bug: $verdict" >>"$matrix"
        fi
        return
        ;;
    esac
    printf '%-15s %s\n' "$name" "$verdict" >>"$matrix"
    if [ "$verdict" = ok ]; then
        echo "ok   $name ($(wc -l <"$got") rows)"
    else
        echo "FAIL $name: $verdict"
        sed 's/^/     ref | /' "$ref"
        sed 's/^/     got | /' "$got"
        failures=$((failures + 1))
    fi
}

# reference NAME TAKEN RULES STEP...: the simulated device's rows, from a
# scenario (with the rules that change the device or which rows count).
reference() {
    local name=$1 taken=$2 rules=" $3 " step profile=""
    shift 3
    {
        echo "wait 4000"
        for step in "$@"; do
            case $step in
            +*) echo "press ${step#+}" ;;
            -*) echo "release ${step#-}" ;;
            ~*) echo "wait ${step#\~}" ;;
            *) echo "button $step" ;;
            esac
        done
        echo "wait 1000"
    } >"$work/$name.scn"
    [ -n "$taken" ] && profile+="taken = $taken other"$'\n'
    case $rules in *" queue-back "*) profile+="hotkey-queue = back"$'\n' ;; esac
    local device=()
    if [ -n "$profile" ]; then
        printf '%s' "$profile" >"$work/$name.profile"
        device=(--device "$work/$name.profile")
    fi
    timeout 30 "$sim" "${device[@]}" --exe "$exe" --root "$work/sim-$name" "$work/$name.scn" \
        >"$out/$name.sim.txt" 2>&1
    case $rules in
    *" cleared "*) sed '1,/ button Clear$/d' "$out/$name.sim.txt" | rows /dev/stdin ;;
    *) rows "$out/$name.sim.txt" ;;
    esac
}

# ---------------------------------------------------------------------------
# tapwatcher-x11: XTest keys from a second client, a focused listener
# ---------------------------------------------------------------------------

# xvfb_start: an X server of its own for the run; DISPLAY names it.
xvfb_start() {
    local fifo=$work/displayfd
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
    pids+=($!)
    local n
    n=$(timeout 10 head -n1 "$fifo") || {
        echo "Xvfb did not start" >&2
        exit 1
    }
    export DISPLAY=":$n"
}

x11_setup() {
    tool=$1
    probe=$2
    xvfb_start
}

# x11_keysym KEY: the keysym the probe types for a scenario key name.
x11_keysym() {
    case $1 in
    Shift) echo Shift_L ;;
    Ctrl) echo Control_L ;;
    Alt) echo Alt_L ;;
    *) echo "$1" | tr 'A-Z' 'a-z' ;;
    esac
}

# x11_play NAME TAKEN STEP...: the sequence on a fresh tool; its rows.
x11_play() {
    local name=$1 taken=$2 step keys=() holder=""
    shift 2
    if [ -n "$taken" ]; then
        "$probe" hold "$(echo "$taken" | tr 'A-Z' 'a-z')" \
            >"$work/hold.txt" &
        holder=$!
        timeout 5 bash -c "until grep -q holding '$work/hold.txt'; do sleep 0.02; done"
    fi
    "$probe" listen 30 >"$out/$name.listener.txt" &
    local listener=$!
    timeout 5 bash -c "until grep -q ready '$out/$name.listener.txt'; do sleep 0.02; done"
    timeout 10 bash -c "until [ \"\$(\"\$0\" windows Tapwatcher)\" = 0 ]; do sleep 0.02; done" \
        "$probe"
    timeout 60 "$tool" --exe "$exe" --root "$work/x11-$name" >"$out/$name.x11.txt" 2>&1 &
    local pid=$!
    timeout 20 bash -c "until grep -qE 'the tool holds [0-9]+ combinations' '$out/$name.x11.txt'
        do sleep 0.02; done"
    sleep 0.3
    for step in "$@" end; do
        case $step in
        +* | -*) keys+=("${step:0:1}$(x11_keysym "${step:1}")") ;;
        ~0) ;;
        ~*) keys+=("$step") ;;
        Clear) keys+=(@360,614) ;; # the right half of the menu bar
        Exit) keys+=(@120,614) ;;  # the left half
        end) "$probe" keys "${keys[@]}" ;;
        esac
    done
    sleep 1
    kill -TERM "$pid" 2>/dev/null
    timeout 20 tail --pid="$pid" -f /dev/null
    kill "$listener" ${holder:+"$holder"} 2>/dev/null
    wait "$listener" ${holder:+"$holder"} 2>/dev/null
    # Every key passed on reached the listener as a press and a release. A key
    # still held at Exit is not passed on: its release reaches the listener
    # alone if it comes once the tool has let go (as on the device, where it
    # goes to the system), or not at all if the tool still holds the keyboard.
    local unpaired held_at_exit="" exited=0 s
    for s in "$@"; do
        case $s in
        Exit) exited=1 ;;
        -*) [ $exited = 1 ] && held_at_exit+=" $(x11_keysym "${s:1}")" ;;
        esac
    done
    unpaired=$(awk -v held="$held_at_exit" '$1 == "press" { n[$2]++ } $1 == "release" { n[$2]-- }
        END { split(held, h, " "); for (i in h) ok[h[i]] = 1
              for (k in n) if (n[k] != 0 && !(ok[k] && n[k] == -1)) printf "%s ", k }' \
        "$out/$name.listener.txt")
    [ -n "$unpaired" ] && echo "unpaired keys at the listener: $unpaired" >&2
    rows "$out/$name.x11.txt"
    [ -z "$unpaired" ]
}

# taken_device NAME TAKEN: `device`, the caller's, set to the options of a
# profile in which another program holds TAKEN (none without).
taken_device() {
    device=()
    [ -z "$2" ] && return
    echo "taken = $2 other" >"$work/$1.$frontend.profile"
    device=(--device "$work/$1.$frontend.profile")
}

# ---------------------------------------------------------------------------
# The interactive terminal: a pseudo-terminal with the key-release protocol
# ---------------------------------------------------------------------------

# terminal_play NAME TAKEN STEP...: the sequence on a fresh tool; its rows.
terminal_play() {
    local name=$1 device
    taken_device "$1" "$2"
    shift 2
    timeout 60 python3 "$here/terminal.py" "$out/$name.terminal.txt" "$*" \
        "$sim" "${device[@]}" --exe "$exe" --root "$work/terminal-$name" || return 1
    rows "$out/$name.terminal.txt"
}

# ---------------------------------------------------------------------------
# --serve: keydown and keyup from headless Chromium (tests/browser/conform.mjs)
# ---------------------------------------------------------------------------

# browser_setup: Chromium, node and playwright-core, or a skip (status 77)
# unless TAPWATCHER_REQUIRE_BROWSER=1.
browser_setup() {
    browser=$here/../browser
    local missing=""
    [ -x "${CHROMIUM:-/usr/bin/chromium}" ] || missing="Chromium"
    command -v node >/dev/null || missing="node"
    [ -d "$browser/node_modules/playwright-core" ] || missing="playwright-core (npm ci in tests/browser)"
    [ -z "$missing" ] && return
    echo "conformance.browser: no $missing"
    [ "${TAPWATCHER_REQUIRE_BROWSER:-0}" = 1 ] && exit 1
    exit 77
}

# browser_play NAME TAKEN STEP...: the sequence on a fresh tool; its rows.
browser_play() {
    local name=$1 device
    taken_device "$1" "$2"
    shift 2
    # Played again, up to three times, when the driver missed the table's times.
    local try rc
    for try in 1 2 3; do
        rm -rf "$work/browser-$name"
        (cd "$browser" && timeout 90 node conform.mjs "$out/$name.browser.txt" "$*" \
            "$sim" "${device[@]}" --exe "$exe" --root "$work/browser-$name")
        rc=$?
        [ "$rc" = 3 ] || break
    done
    [ "$rc" = 0 ] || return 1
    rows "$out/$name.browser.txt"
}

# ---------------------------------------------------------------------------
# The Windows build under Wine: SendInput from tests/e2e/wine/driver.cpp
# ---------------------------------------------------------------------------

# wine_setup: builds tapwatcher.exe and the driver with MinGW-w64 (or skips,
# status 77, without it or Wine), puts them in a folder of their own and starts
# a fresh Wine prefix on an X server of its own.
wine_setup() {
    local root=$here/../.. missing=""
    wine=${WINE:-/usr/lib/wine/wine64}
    command -v x86_64-w64-mingw32-g++ >/dev/null || missing="g++-mingw-w64-x86-64"
    [ -x "$wine" ] || missing="wine64 ($wine)"
    command -v Xvfb >/dev/null || missing="Xvfb"
    if [ -n "$missing" ]; then
        echo "conformance.wine: no $missing"
        exit 77
    fi
    local build=${TAPWATCHER_WIN32_BUILD:-$root/build-win32}
    { timeout 600 cmake -S "$root/platform/win32" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" &&
        timeout 900 cmake --build "$build" -j2; } >"$work/build-win32.txt" 2>&1 || {
        cat "$work/build-win32.txt"
        exit 1
    }
    stage=$work/stage
    mkdir -p "$stage"
    cp "$build/tapwatcher.exe" "$stage/Wtapwatcher.exe"
    cp "$build/tapwatcher-e2e.exe" "$stage/"
    export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
    xvfb_start
    timeout -k 10 240 "$wine" wineboot --init >/dev/null 2>&1 || {
        echo "wineboot failed or timed out" >&2
        exit 1
    }
}

# wine_play NAME TAKEN STEP...: the sequence on a fresh tool; its rows, from
# its data file (SysTime, VK, U/D, Shift, Ctrl, Alt).
wine_play() {
    local name=$1 taken=${2:--}
    shift 2
    timeout -k 10 170 "$wine" "$stage/tapwatcher-e2e.exe" conform "$taken" "$@" >&2 || return 1
    tr -d '\r' <"$stage/tapwatcherdata.txt" >"$out/$name.wine.txt"
    awk -F'\t' 'NR > 1 { printf "%s row %d: %s %s", $1, NR - 1, $2, $3
        for (i = 4; i <= 6; i++) if ($i != "") printf " %s", $i
        print "" }' "$out/$name.wine.txt" | rows /dev/stdin
}

case $frontend in
x11) x11_setup "$3" "$4" ;;
wine) wine_setup ;;
terminal) ;;
browser) browser_setup ;;
*)
    echo "unknown front-end $frontend" >&2
    exit 2
    ;;
esac

while read -r name first rest; do
    [ -z "$name" ] || [ "${name:0:1}" = "#" ] && continue
    taken=""
    if [ "${first#taken=}" != "$first" ]; then
        taken=${first#taken=}
        first=""
    fi
    # shellcheck disable=SC2086
    set -- $first $rest
    rules=$(awk -v f="$frontend" -v s="$name" '$1 == f && ($2 == s || $2 == "*") {
        $1 = $2 = ""; printf "%s", $0 }' "$here/differences.txt")
    reference "$name" "$taken" "$rules" "$@" >"$work/$name.ref"
    if ! "${frontend}_play" "$name" "$taken" "$@" 2>"$work/$name.err" | apply "$rules" \
        >"$work/$name.got"; then
        cat "$work/$name.err"
        printf '%-15s %s\n' "$name" "$(tail -n1 "$work/$name.err" | sed 's/^ *//')" >>"$matrix"
        failures=$((failures + 1))
        continue
    fi
    compare "$name" "$work/$name.ref" "$work/$name.got" "$rules"
done <"$here/table.txt"

echo "$failures failed"
[ "$failures" = 0 ]
