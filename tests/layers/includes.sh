#!/usr/bin/env bash
# Every quoted #include in the product's folders against the layer rule: a folder
# may include its own headers and those of the folders below it, never one above
# (docs/architecture.md), and no include climbs out with "../".
# Usage: includes.sh SOURCE_DIR. Prints each include that breaks the rule.
set -euo pipefail
cd "$1"

# The folders a folder's files may include from ("FOLDER/" prefixes); a bare
# name is the file's own folder (or, for the tool, platform.h).
allowed() {
    case "$1" in
    tool) echo "" ;;
    platform | platform/win32) echo "platform/win32/ win32/" ;;
    device) echo "platform/ device/" ;;
    device/x11) echo "platform/ device/ device/x11/" ;;
    cli/common) echo "platform/ cli/common/" ;;
    cli/runner) echo "platform/ device/ tool/ cli/common/ cli/runner/" ;;
    cli/terminal | cli/serve) echo "platform/ device/ cli/common/ cli/runner/ $1/" ;;
    cli/sim) echo "platform/ device/ cli/common/ cli/runner/ cli/terminal/ cli/serve/ cli/sim/" ;;
    cli/x11) echo "platform/ device/ device/x11/ cli/common/ cli/runner/ cli/x11/" ;;
    # The report sees no device; its replay check (sim_replay.cpp) is the one
    # file that runs the runner, linked only into the program and the tests.
    cli/report) echo "cli/common/" ;;
    *) echo "?" ;;
    esac
}

bad=0
while IFS= read -r file; do
    dir=${file%/*}
    ok=$(allowed "$dir")
    [ "$file" = cli/report/sim_replay.cpp ] && ok="$ok cli/runner/"
    while IFS= read -r inc; do
        case "$inc" in
        */../* | ../*)
            echo "$file: #include \"$inc\" climbs out of its folder"
            bad=1
            continue
            ;;
        */*) ;;
        *) continue ;; # a header of its own folder (or the generated version header)
        esac
        pass=0
        for prefix in $ok; do
            case "$inc" in "$prefix"*) pass=1 ;; esac
        done
        # A deeper folder is not reached through its parent's prefix.
        if [ $pass = 1 ] && [ "$dir" != device/x11 ] && [ "$dir" != cli/x11 ] &&
            [[ "$inc" == device/x11/* ]]; then
            pass=0
        fi
        if [ $pass = 0 ]; then
            echo "$file: #include \"$inc\" reaches above its layer"
            bad=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <( (git ls-files -- tool platform device cli 2>/dev/null || find tool platform device cli -type f) | grep -E '\.(cpp|h)$')
exit $bad
