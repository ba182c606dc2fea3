#!/usr/bin/env bash
# tests/x11/run.sh - tapwatcher-x11 end to end on its own Xvfb, every wait
# bounded: the sweep lists exactly what a second client holds; XTest keys
# become D and U rows and reach a focused listener afterwards; capture-only
# passes nothing on; Num Lock hides no key; Clear and Exit by clicking; SIGTERM
# saves the file; a second instance exits 0 and leaves one window; no grab is
# left behind; a write the host fails exits 4; a display that cannot be opened
# or goes away.
#
#   tests/x11/run.sh TAPWATCHER-X11 PROBE
#
# OUT=DIR keeps the transcripts, the data files and a screenshot of the window
# (window.png) in DIR. Exit 0 when every check passes, 1 otherwise.
set -uo pipefail

tool=$1
probe=$2
work=$(mktemp -d /tmp/tapwatcher-x11-test.XXXXXX)
out=${OUT:-$work/out}
mkdir -p "$out"
failures=0
pids=()

cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() { # check WHAT COMMAND...: one line per check
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        # What the tool said last, without the sweep's F rows.
        [ -n "${tool_name:-}" ] && grep -vE "^-?[0-9]+ row [0-9]+: .. (\([^)]*\) )?F|held elsewhere" "$out/$tool_name.txt" |
            grep -vE "^  " | tail -15 | sed 's/^/     | /'
        failures=$((failures + 1))
    fi
}

# wait_for FILE REGEX [SECONDS]: until a line of FILE matches.
wait_for() {
    timeout "${3:-10}" bash -c "until grep -qE -- \"\$1\" \"\$0\" 2>/dev/null; do sleep 0.02; done" \
        "$1" "$2"
}

# start_xvfb: a display of our own; sets DISPLAY and xvfb_pid. -noreset: the server
# keeps its state (Num Lock, the keymap) when its last client leaves, between two steps.
start_xvfb() {
    local fifo=$work/displayfd.$RANDOM
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" 2>"$work/xvfb.log" &
    xvfb_pid=$!
    pids+=("$xvfb_pid")
    local n
    n=$(timeout 10 head -n1 "$fifo") || {
        echo "Xvfb did not start" >&2
        exit 1
    }
    export DISPLAY=":$n"
}

# start_tool NAME EXE [OPTION...]: tapwatcher-x11 in the background, transcript in $out/NAME.txt.
start_tool() {
    local name=$1 exe=$2
    shift 2
    # The server may not yet have seen the last instance's connection close (its
    # window, instance selection and grabs go then): wait until its window is gone.
    timeout 10 bash -c "until [ \"\$(\"\$0\" windows Tapwatcher)\" = 0 ]; do sleep 0.02; done" "$probe"
    tool_name=$name
    timeout 120 "$tool" --exe "$exe" --root "$work/$name" "$@" >"$out/$name.txt" 2>"$out/$name.err" &
    tool_pid=$!
    pids+=("$tool_pid")
    # The sweep is over when the transcript says what the tool holds.
    wait_for "$out/$name.txt" "the tool holds [0-9]+ combinations" 20
}

# stop_tool SIGNAL: sends it and waits for the exit; sets tool_rc.
stop_tool() {
    kill -"$1" "$tool_pid" 2>/dev/null
    timeout 30 tail --pid="$tool_pid" -f /dev/null
    wait "$tool_pid"
    tool_rc=$?
}

# The rows' cells as the data file holds them: no key names, no times.
rows_of() {
    grep -E "^-?[0-9]+ row [0-9]+: " "$1" |
        sed -E 's/^-?[0-9]+ row [0-9]+: //; s/^([0-9A-F]{2}) \([^)]*\)/\1/; s/ \+[0-9]+ ms//'
}
data_file() { echo "$work/$1/Program Files/tapwatcherdata.txt"; }

start_xvfb

# --- the sweep, keys, the listener, SIGTERM, no grab left --------------------
"$probe" hold ctrl+alt+t shift+F3 >"$work/hold.txt" &
hold_pid=$!
pids+=("$hold_pid")
wait_for "$work/hold.txt" "^holding" 5
"$probe" listen 60 >"$out/listener.txt" &
listeners=($!)
pids+=($!)
wait_for "$out/listener.txt" "^ready" 5
start_tool main '\Program Files\Wtapwatcher.exe'
check "the window shows" test "$("$probe" windows Tapwatcher)" = 1
# Ctrl held while T is typed; Ctrl is let go only once T has reached the listener.
"$probe" keys +Control_L +t -t
wait_for "$out/listener.txt" "^release t " 5
"$probe" keys -Control_L +a -a
wait_for "$out/listener.txt" "^release a " 5
wait_for "$out/main.txt" "row [0-9]+: 41 \(A\) U( \+[0-9]+ ms)?$" 5
if command -v xwd >/dev/null; then
    xwd -id "$("$probe" windowid Tapwatcher)" -silent >"$work/w.xwd" 2>/dev/null ||
        xwd -root -silent >"$work/w.xwd"
fi
if command -v convert >/dev/null; then # the screenshot is kept, not checked
    convert "$work/w.xwd" -crop 480x640+0+0 +repage "$out/window.png" 2>/dev/null
fi
stop_tool TERM
check "SIGTERM: exit 0" test "$tool_rc" = 0
check "the sweep lists exactly the two held combinations" \
    test "$(rows_of "$out/main.txt" | grep ' F' | tr '\n' '|')" = "54 F C A|72 F S|"
check "Ctrl, T: D and U rows with Ctrl" \
    test "$(rows_of "$out/main.txt" | grep -E '^(11|54) [DU]' | head -4 | tr '\n' '|')" = \
    "11 D C|54 D C|54 U C|11 U C (echo of the tool's own Ctrl up)|"
check "T reached the listener with Ctrl held" \
    grep -q "^press t Control$" "$out/listener.txt"
# The tool took Ctrl's press, and takes its release (its own Ctrl up, made on
# the server too): the listener never sees a release without its press.
check "no release of Ctrl without its press reached the listener" \
    bash -c "! grep -q '^release Control_L' '$out/listener.txt'"
check "A reached the listener, no modifier" grep -q "^press a none$" "$out/listener.txt"
check "SIGTERM: the data file is written" grep -q "data file written" "$out/main.txt"
cp "$(data_file main)" "$out/tapwatcherdata.txt" 2>/dev/null
check "the data file holds the F rows and the key rows" \
    test "$(cut -f2- "$(data_file main)" | tr -d '\r' | tr '\t' ' ' | sed 's/ *$//' | grep . | tr '\n' '|')" = \
    "VK U/D Shift Ctrl Alt|54 F  C A|72 F S|11 D  C|54 D  C|54 U  C|11 U  C|41 D|41 U|"
check "the tool gave every grab back itself" \
    bash -c "! grep -q 'grabs the tool left' '$out/main.txt'"
kill "$hold_pid"
wait "$hold_pid" 2>/dev/null
check "no grab left behind: every key can be grabbed again" \
    test "$("$probe" grab-all)" = "refused 0"

# --- capture-only -------------------------------------------------------------
"$probe" listen 30 >"$out/listener2.txt" &
listeners+=($!)
pids+=($!)
wait_for "$out/listener2.txt" "^ready" 5
start_tool capture '\Program Files\tapwatcherL.exe'
"$probe" keys +b -b
wait_for "$out/capture.txt" "row [0-9]+: 42 \(B\) U( \+[0-9]+ ms)?$" 5
sleep 0.3
stop_tool INT
check "capture-only: B logged, SIGINT exits 0" test "$tool_rc" = 0
check "capture-only passes nothing on" test "$(grep -c '^press\|^release' "$out/listener2.txt")" = 0

# --- --modifier-hot-keys no: Ctrl reaches the focused window, only as C in rows --
"$probe" listen 30 >"$out/listener3.txt" &
listeners+=($!)
pids+=($!)
wait_for "$out/listener3.txt" "^ready" 5
start_tool nomods '\Program Files\tapwatcher.exe' --modifier-hot-keys no
check "--modifier-hot-keys no: in the start line" grep -q "modifier-hot-keys no" "$out/nomods.txt"
"$probe" keys +Control_L +a -a
wait_for "$out/listener3.txt" "^release a " 5
"$probe" keys -Control_L
sleep 0.3
stop_tool TERM
check "--modifier-hot-keys no: Ctrl+A's rows, none for Ctrl" \
    test "$(rows_of "$out/nomods.txt" | grep -E '^[0-9A-F]{2} [DU]' | tr '\n' '|')" = "41 D C|41 U C|"
check "... Ctrl's press reached the listener, then A with Ctrl" \
    test "$(grep -E '^press' "$out/listener3.txt" | cut -d' ' -f1-3 | tr '\n' '|')" = \
    "press Control_L none|press a Control|"

# --- Num Lock on hides no key; the keypad follows it ---------------------------
"$probe" numlock on
start_tool numlock '\Program Files\tapwatcherL.exe'
"$probe" keys +Control_L +t -t -Control_L +KP_1 -KP_1
wait_for "$out/numlock.txt" "row [0-9]+: 61 \(Numpad1\) U( \+[0-9]+ ms)?$" 5
"$probe" numlock off
"$probe" keys +KP_1 -KP_1
wait_for "$out/numlock.txt" "row [0-9]+: 23 \(End\) U( \+[0-9]+ ms)?$" 5
stop_tool TERM
check "Num Lock on: Ctrl+T still makes its rows" \
    test "$(rows_of "$out/numlock.txt" | grep -E '^54 [DU]' | head -2 | tr '\n' '|')" = "54 D C|54 U C|"
check "the keypad's 1 is Numpad1 with Num Lock, End without" \
    test "$(rows_of "$out/numlock.txt" | grep -E '^(61|23) ' | tr '\n' '|')" = "61 D|61 U|23 D|23 U|"

# --- Clear and Exit by clicking; a second instance -----------------------------
start_tool clicks '\Program Files\Wtapwatcher.exe'
"$probe" keys +c -c
wait_for "$out/clicks.txt" "row [0-9]+: 43 \(C\) U( \+[0-9]+ ms)?$" 5
timeout 20 "$tool" --root "$work/second" >"$out/second.txt" 2>&1
second_rc=$?
check "a second instance exits 0" test "$second_rc" = 0
check "... brings the first forward" grep -q "comes to the front" "$out/second.txt"
wait_for "$out/clicks.txt" "brings this window to the front" 5
check "... and leaves one window" test "$("$probe" windows Tapwatcher)" = 1
check "... and no device folder" test ! -e "$work/second"
"$probe" click Tapwatcher 360 614 # Clear: the right half of the menu bar
wait_for "$out/clicks.txt" "log cleared" 5
check "a click on Clear empties the list" grep -q "log cleared" "$out/clicks.txt"
"$probe" click Tapwatcher 120 614 # Exit: the left half
timeout 30 tail --pid="$tool_pid" -f /dev/null
wait "$tool_pid"
tool_rc=$?
check "a click on Exit ends the tool with 0" test "$tool_rc" = 0
check "Exit: the data file holds only its header" \
    test "$(tr -d '\r' <"$(data_file clicks)" | tr '\t' ' ')" = "SysTime VK U/D Shift Ctrl Alt"

# --- a file operation the host refuses (here a link under the root): exit 4, as tapwatcher-sim
mkdir -p "$work/full/Program Files"
ln -s /dev/full "$(data_file full)"
start_tool full '\Program Files\Wtapwatcher.exe'
stop_tool TERM
check "a file operation the host refuses: exit 4" test "$tool_rc" = 4
check "... and the transcript says so" grep -Eq "host: (write|open) failed" "$out/full.txt"

# --- displays that cannot be used ------------------------------------------------
timeout 10 "$tool" --display :987 >/dev/null 2>"$work/nodisplay.err"
check "no display: exit 3" test $? = 3
check "... with a message naming it" grep -q 'cannot open display ":987"' "$work/nodisplay.err"
timeout 10 "$tool" --frobnicate >/dev/null 2>&1
check "a bad argument: exit 2" test $? = 2
start_tool lost '\Program Files\Wtapwatcher.exe'
"$probe" keys +d -d
wait_for "$out/lost.txt" "row [0-9]+: 44 \(D\) U( \+[0-9]+ ms)?$" 5
kill "${listeners[@]}" 2>/dev/null
wait "${listeners[@]}" 2>/dev/null
kill "$xvfb_pid"
timeout 30 tail --pid="$tool_pid" -f /dev/null
wait "$tool_pid"
tool_rc=$?
check "the display going away: exit 1" test "$tool_rc" = 1
check "... after the tool saved its data file" grep -q "44	U" "$(data_file lost)"

echo "$failures failed"
[ "$failures" = 0 ]
