#!/usr/bin/env bash
# man_check.sh - checks the manual pages a build made (BUILD/man/*.1): each renders with
# `groff -man -Tutf8 -ww` without a warning, has the sections a user looks for, and its
# OPTIONS section lists exactly the options the program's --help lists.
#
#   man_check.sh BUILD        exit 0 when every page passes, 1 naming each failure,
#                             77 when groff is missing (skipped)
set -euo pipefail
BUILD=${1:?usage: man_check.sh BUILD}
command -v groff >/dev/null || { echo "man_check.sh: groff is missing (groff-base)"; exit 77; }

failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# The options a help text lists: the forms at the start of each line of the text that
# begin with INDENT and a "-", "-h, --help" giving -h and --help; one a line, sorted.
options_in() {
    local indent=$1
    sed -n "s/^${indent}\(-[^ ,]*\(, -[^ ,]*\)*\).*/\1/p" | tr -d ',' | tr ' ' '\n' |
        grep '^-' | sort
}

pages=("$BUILD"/man/*.1)
[ -e "${pages[0]}" ] || { echo "man_check.sh: no pages in $BUILD/man"; exit 1; }
for page in "${pages[@]}"; do
    program=$(basename "$page" .1)
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$program.1: groff warns: $warnings"

    text=$(MANWIDTH=80 groff -man -Tutf8 -P-cbou -rLL=80n "$page" 2>/dev/null)
    sections=(NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES "SEE ALSO")
    case $program in
    tapwatcher-sim) sections+=("SCENARIO FORMAT" "PROFILE FORMAT") ;;
    tapwatcher-report) sections+=("DATA FILE FORMAT") ;;
    esac
    for section in "${sections[@]}"; do
        grep -qx "$section" <<<"$text" || fail "$program.1: no $section section"
    done

    # OPTIONS: from its heading to the next heading, each option's forms at 7 columns.
    in_page=$(sed -n '/^OPTIONS$/,/^[A-Z]/p' <<<"$text" | options_in '       ')
    in_help=$("$BUILD/bin/$program" --help | sed -n '/^Options:$/,/^$/p' | options_in '  ')
    [ -n "$in_help" ] || fail "$program --help lists no options"
    if [ "$in_page" != "$in_help" ]; then
        fail "$program.1: OPTIONS and --help differ (< page, > --help):"
        diff <(echo "$in_page") <(echo "$in_help") || true
    fi
    echo "$program.1: $(wc -l <<<"$in_page") option forms, $(wc -l <"$page") lines checked"
done
exit $((failures > 0))
