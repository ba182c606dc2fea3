#!/usr/bin/env bash
# completion_check.sh - checks the bash completion scripts a build made
# (BUILD/completions/*): each passes `bash -n`, and, loaded into bash with the
# bash-completion package, completes "--" to exactly the options --help lists, and the
# values and operands to what they take (folders for --root, scenario files, the tool's
# device paths for --exe).
#
#   completion_check.sh BUILD    exit 0 on a pass, 1 naming each failure,
#                                77 when bash-completion is missing (skipped)
set -euo pipefail
BUILD=$(cd "${1:?usage: completion_check.sh BUILD}" && pwd)
LIB=${BASH_COMPLETION_LIB:-/usr/share/bash-completion/bash_completion}

failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

for script in "$BUILD"/completions/*; do
    bash -n "$script" || fail "$(basename "$script"): bash -n"
done
[ -r "$LIB" ] || { echo "completion_check.sh: $LIB is missing (bash-completion)"; exit 77; }

# A folder to complete in: a scenario, a profile, a data file, a folder.
WORK=$(mktemp -d /tmp/tapwatcher-completion.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir "$WORK/dev"
touch "$WORK/a.scn" "$WORK/b.profile" "$WORK/tapwatcherdata.txt"

# What bash offers for the command line WORDS..., the last one being completed; one a
# line, sorted.
complete_line() {
    (
        cd "$WORK"
        # shellcheck disable=SC1090
        source "$LIB"
        # shellcheck disable=SC1090
        source "$BUILD/completions/$1"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        "_${1//-/_}" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf '%s\n' "${COMPREPLY[@]}" | sort
    )
}

# Expects the completion of WORDS... (after "--") to be the lines of WANT.
expect() {
    local want=$1
    shift
    local got
    got=$(complete_line "$@")
    [ "$got" = "$want" ] || fail "'$*' completes to [${got//$'\n'/ }], expected [${want//$'\n'/ }]"
}

for script in "$BUILD"/completions/*; do
    program=$(basename "$script")
    help_options=$("$BUILD/bin/$program" --help | sed -n '/^Options:$/,/^$/p' |
        sed -n 's/^  \(-[^ ,]*\(, -[^ ,]*\)*\).*/\1/p' | tr -d ',' | tr ' ' '\n' |
        grep '^--' | sort)
    expect "$help_options" "$program" "--"
done

expect "dev" tapwatcher-sim --root ""
expect "b.profile"$'\n'"dev" tapwatcher-sim --device ""
expect "a.scn"$'\n'"dev" tapwatcher-sim ""
expect "--exe" tapwatcher-sim --root dev --e
expect '\\Program\ Files\\Wtapwatcher.exe'$'\n''\\Program\ Files\\WtapwatcherL.exe' \
    tapwatcher-sim --exe '\\Program\ Files\\W'
expect "a.scn"$'\n'"b.profile"$'\n'"dev"$'\n'"tapwatcherdata.txt" tapwatcher-report ""
expect "--scenario"$'\n'"--summary"$'\n'"--svg" tapwatcher-report --s
exit $((failures > 0))
