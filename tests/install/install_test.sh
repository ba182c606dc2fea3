#!/usr/bin/env bash
# install_test.sh - installs a build into a temporary prefix and runs each installed
# program on an installed example, with the build folder and the source tree out of
# sight: a program that reaches into either fails.
#
#   install_test.sh SOURCE BUILD   exit 0 on a pass, 1 naming each failure, 77 when the
#                                  trees cannot be hidden (skipped)
#
# The trees are hidden by mounting empty file systems over them in a private mount
# namespace (unshare; as root, or as a user where user namespaces are allowed). For the
# installed programs that is the build folder removed and the sources gone, and it is
# safe while the test itself runs from the build folder under ctest.
set -euo pipefail

# --- inside the namespace: check the installed tree -------------------------------
if [ "${1:-}" = --hidden ]; then
    PREFIX=$2
    SOURCE=$3
    failures=0
    fail() {
        echo "FAIL $*"
        failures=$((failures + 1))
    }
    [ -z "$(ls -A "$SOURCE")" ] || fail "the source tree is still in sight"
    export PATH="$PREFIX/bin:/usr/bin:/bin"
    EX=$PREFIX/share/tapwatcher/examples
    for file in bin/tapwatcher-sim bin/tapwatcher-report \
        share/man/man1/tapwatcher-sim.1 share/man/man1/tapwatcher-report.1 \
        share/bash-completion/completions/tapwatcher-sim \
        share/bash-completion/completions/tapwatcher-report \
        share/tapwatcher/examples/ctrl-a.scn share/tapwatcher/examples/report/sample.txt \
        share/tapwatcher/examples/profiles/save-on-exit.profile share/doc/tapwatcher/README.md; do
        [ -f "$PREFIX/$file" ] || fail "not installed: $file"
    done
    # Every link of the installed README leads to an installed file.
    doc=$PREFIX/share/doc/tapwatcher
    for link in $(grep -oE '\]\([^):#]+\)' "$doc/README.md" | sed 's/^](//; s/)$//'); do
        [ -e "$doc/$link" ] || fail "the installed README links to $link, which is not installed"
    done
    cd "$(mktemp -d "$WORK/run.XXXXXX")"

    for program in tapwatcher-sim tapwatcher-report tapwatcher-x11; do
        [ -x "$PREFIX/bin/$program" ] || continue
        version=$("$program" --version) || fail "$program --version: status $?"
        [[ $version =~ ^$program\ [0-9][^\ ]*\ \(source\ revision\ [^\ ]+\)$ ]] ||
            fail "$program --version prints \"$version\""
        echo "$version"
    done

    # The runner on an installed scenario and profile: the save-on-exit variant writes
    # its data file under the device root.
    status=0
    tapwatcher-sim --device "$EX/profiles/save-on-exit.profile" --root dev \
        "$EX/save-on-exit.scn" >sim.out 2>sim.err || status=$?
    [ $status = 0 ] || fail "tapwatcher-sim save-on-exit.scn: status $status: $(cat sim.err)"
    grep -q "data file written" sim.out || fail "tapwatcher-sim save-on-exit.scn wrote no data file"
    data="dev/Program Files/tapwatcherdata.txt"
    [ -s "$data" ] || fail "no $data"
    status=0
    tapwatcher-sim "$EX/ctrl-a.scn" >ctrl-a.out 2>&1 || status=$?
    [ $status = 0 ] || fail "tapwatcher-sim ctrl-a.scn: status $status"
    grep -q "key A (0x41) down, mods Ctrl" ctrl-a.out || fail "tapwatcher-sim ctrl-a.scn: no Ctrl+A"

    # The report on the installed sample, and on the file the runner wrote.
    status=0
    tapwatcher-report "$EX/report/sample.txt" --svg grid.svg >report.out 2>&1 || status=$?
    [ $status = 0 ] || fail "tapwatcher-report sample.txt: status $status: $(cat report.out)"
    grep -q "^Findings: 3 (3 faults)" report.out || fail "tapwatcher-report sample.txt: not its 3 faults"
    grep -q "<svg" grid.svg || fail "tapwatcher-report --svg wrote no picture"
    status=0
    tapwatcher-report "$data" >data.out 2>&1 || status=$?
    [ $status = 0 ] || fail "tapwatcher-report on the runner's data file: status $status"

    # The pages, found by man under the prefix, name the installed examples.
    if command -v man >/dev/null; then
        page=$(MANWIDTH=200 man -M "$PREFIX/share/man" tapwatcher-sim 2>/dev/null) ||
            fail "man -M PREFIX/share/man tapwatcher-sim finds no page"
        grep -qF "$EX/" <<<"$page" || fail "tapwatcher-sim(1) does not name $EX"
    fi
    exit $((failures > 0))
fi

# --- outside: install, then check in a namespace without the trees ---------------
SOURCE=$(cd "${1:?usage: install_test.sh SOURCE BUILD}" && pwd)
BUILD=$(cd "${2:?usage: install_test.sh SOURCE BUILD}" && pwd)
WORK=$(mktemp -d /tmp/tapwatcher-install.XXXXXX)
export WORK
trap 'rm -rf "$WORK"' EXIT

hide=(unshare --mount)
[ "$(id -u)" = 0 ] || hide=(unshare --map-root-user --mount)
if ! "${hide[@]}" true 2>/dev/null; then
    echo "install_test.sh: cannot make a private mount namespace (unshare): skipped"
    exit 77
fi

"${CMAKE:-cmake}" --install "$BUILD" --prefix "$WORK/prefix" >"$WORK/install.log" ||
    { cat "$WORK/install.log"; exit 1; }
echo "installed $(find "$WORK/prefix" -type f | wc -l) files into a temporary prefix"
cp "${BASH_SOURCE[0]}" "$WORK/install_test.sh"
# The build folder first: it may lie inside the source tree.
"${hide[@]}" bash -c 'mount -t tmpfs hidden "$2" && mount -t tmpfs hidden "$1" &&
    exec bash "$WORK/install_test.sh" --hidden "$WORK/prefix" "$1"' \
    hide "$SOURCE" "$BUILD"
