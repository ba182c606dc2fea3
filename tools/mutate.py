#!/usr/bin/env python3
# mutate.py - mutation testing of the tool: plants one fault at a time in
# tool/*.cpp (a deleted statement, or a comparison turned into its opposite),
# rebuilds the test binary, runs the suite, and prints the score.
#
#   tools/mutate.py [--build DIR] [--timeout S] [--shards N] [--only TEXT] [--list]
#                   [--filter GTEST-FILTER]
#
# The work happens on a copy of the tracked sources (DIR/src), never in the
# worktree. A mutant is killed when the suite fails, crashes or runs past the
# timeout; it survives when the suite passes. Mutants that do not compile are
# counted apart. Survivors argued equivalent in docs/mutation.md (its table
# of equivalent mutants: file, kind, statement) are reported as such, and the
# score is given both over all compiled mutants and over the non-equivalent
# ones. The suite is the unit test binary (tapwatcher_tests, which also runs
# tapwatcher-sim), in N shards at once; the layer probes and the Wine run do
# not exercise the tool's code paths.
import argparse
import os
import re
import shutil
import signal
import subprocess
import tempfile
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLIPS = {"==": "!=", "!=": "==", "<=": ">", ">=": "<", "<": ">=", ">": "<="}
KEYWORDS = ("if", "for", "while", "switch", "case", "default", "else", "do")


def blank_comments_and_strings(text):
    """The text with comments and string/char literals replaced by blanks
    (newlines kept), so that positions still match the original."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def code_blocks(clean):
    """For each character: True when it lies inside a function body (a brace
    block opened after ')' or 'else', or nested in one)."""
    inside = [False] * len(clean)
    stack = []
    for i, c in enumerate(clean):
        if c == "{":
            before = clean[:i].rstrip()
            code = bool(stack and stack[-1]) and not before.endswith("=")
            code = code or before.endswith(")") or before.endswith("else")
            code = code or re.search(r"\)\s*const$", before) is not None
            stack.append(code)
        elif c == "}":
            if stack:
                stack.pop()
        inside[i] = bool(stack and stack[-1])
    return inside


DECL = re.compile(r"^(static\s+|const\s+)*[A-Za-z_][\w:]*[\s*]+\**[A-Za-z_]\w*\s*(\[|=|;|,)")


def statements(clean, inside):
    """(start, end) of each deletable statement: an expression statement, a
    return, break or continue, inside a function body."""
    found = []
    i, n = 0, len(clean)
    while i < n:
        if not inside[i] or clean[i] in " \t\n{};":
            i += 1
            continue
        # A statement starts here only after '{', '}', ';', ':' or a control
        # header's ')' (the previous non-blank character).
        j = i - 1
        while j >= 0 and clean[j] in " \t\n":
            j -= 1
        prev = clean[j] if j >= 0 else ";"
        head = clean[i:i + 40]
        starts_after_header = prev == ")" or clean[max(0, j - 3):j + 1] == "else"
        if prev not in "{};:" and not starts_after_header:
            i = clean.find("\n", i) if clean.find("\n", i) >= 0 else n
            continue
        word = re.match(r"[A-Za-z_]\w*", head)
        if word and word.group(0) in KEYWORDS:
            # Skip the control header; its body is looked at on its own.
            if word.group(0) in ("else", "do", "default"):
                i += len(word.group(0))
            elif word.group(0) == "case":
                i = clean.find(":", i) + 1
            else:
                k = clean.find("(", i)
                depth = 0
                while k < n:
                    depth += clean[k] == "("
                    depth -= clean[k] == ")"
                    k += 1
                    if depth == 0:
                        break
                i = k
            continue
        # The statement runs to the ';' at its own parenthesis depth.
        k, depth = i, 0
        while k < n and not (clean[k] == ";" and depth == 0):
            depth += clean[k] in "({["
            depth -= clean[k] in ")}]"
            if depth < 0:
                break
            k += 1
        if k >= n or depth < 0:
            i += 1
            continue
        text = clean[i:k + 1]
        if not DECL.match(text.strip()) or text.strip().startswith("return"):
            found.append((i, k + 1))
        i = k + 1
    return found


def comparisons(clean, inside):
    """(start, operator) of each comparison inside a function body."""
    found = []
    for m in re.finditer(r"==|!=|<=|>=|(?<![<>\-])<(?![<=])|(?<![<>\-])>(?![>=])", clean):
        if inside[m.start()] and not clean[m.start():m.start() + 2] in ("->",):
            found.append((m.start(), m.group(0)))
    return found


def mutants(path, text):
    """Every mutant of one file: (description, line, mutated text)."""
    clean = blank_comments_and_strings(text)
    inside = code_blocks(clean)
    out = []
    for start, end in statements(clean, inside):
        line = text.count("\n", 0, start) + 1
        original = " ".join(text[start:end].split())
        mutated = text[:start] + "{}" + "\n" * text.count("\n", start, end) + text[end:]
        out.append(("delete", original, line, mutated))
    for start, op in comparisons(clean, inside):
        line = text.count("\n", 0, start) + 1
        mutated = text[:start] + FLIPS[op] + text[start + len(op):]
        # Shown as the line after the flip, which tells two flips of one line apart.
        line_text = mutated.splitlines()[line - 1].strip()
        out.append(("flip %s to %s" % (op, FLIPS[op]), line_text, line, mutated))
    # The same statement twice in a file: the later ones are told apart as
    # "[2]", "[3]", in source order.
    out.sort(key=lambda m: m[2])
    seen = {}
    for i, (kind, original, line, mutated) in enumerate(out):
        seen[(kind, original)] = seen.get((kind, original), 0) + 1
        if seen[(kind, original)] > 1:
            out[i] = (kind, "%s [%d]" % (original, seen[(kind, original)]), line, mutated)
    return out


def equivalents():
    """(file, kind, statement) rows of the equivalent-mutant table in
    docs/mutation.md."""
    rows = set()
    path = os.path.join(ROOT, "docs", "mutation.md")
    if not os.path.exists(path):
        return rows
    in_table = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("## Equivalent mutants"):
            in_table = True
            continue
        if in_table and line.startswith("## "):
            break
        if in_table and line.startswith("| `tool/"):
            cells = [c.strip().strip("`").replace("\\|", "|")
                     for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
            if len(cells) >= 3:
                rows.add((cells[0], cells[1], cells[2]))
    return rows


def copy(a, b):
    """Copies file a to b unless b already holds the same bytes (so that a
    second run rebuilds nothing it need not)."""
    data = open(a, "rb").read()
    if os.path.exists(b) and open(b, "rb").read() == data:
        return
    os.makedirs(os.path.dirname(b), exist_ok=True)
    with open(b, "wb") as out:
        out.write(data)
    shutil.copymode(a, b)


def run(cmd, cwd=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout).returncode


def suite(binary, shards, timeout, gtest_filter=""):
    """(passed, why): passed when every shard of the suite passes within the
    timeout; otherwise why names the failing tests, a crash or the timeout."""
    procs, logs = [], []
    for s in range(shards):
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(s))
        logs.append(tempfile.TemporaryFile())
        flags = ["--gtest_brief=1", "--gtest_fail_fast"]
        if gtest_filter:
            flags.append("--gtest_filter=" + gtest_filter)
        procs.append(subprocess.Popen([binary] + flags, env=env,
                                      stdout=logs[-1], stderr=subprocess.STDOUT))
    # The first failing shard decides; the others are stopped.
    deadline = time.time() + timeout
    ok = True
    while ok and any(p.poll() is None for p in procs) and time.time() < deadline:
        ok = all(p.poll() in (None, 0) for p in procs)
        time.sleep(0.02)
    timed_out = any(p.poll() is None for p in procs) and time.time() >= deadline
    ok = ok and all(p.poll() == 0 for p in procs)
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()
    why = []
    for p, log in zip(procs, logs):
        log.seek(0)
        failed = re.findall(rb"^\[  FAILED  \] ([\w./]+)", log.read(), re.M)
        why += [f.decode() for f in failed if f.decode() not in why]
        if p.returncode not in (0, 1, -9) and not failed:
            why.append("crash (status %d)" % p.returncode)
        log.close()
    if timed_out:
        why.append("timeout")
    return ok, ", ".join(why)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--build", default="/tmp/build-mutate")
    ap.add_argument("--timeout", type=float, default=60, help="seconds per mutant's suite")
    ap.add_argument("--shards", type=int, default=2)
    ap.add_argument("--only", default="", help="only mutants whose description contains this")
    ap.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    ap.add_argument("--filter", default="", help="run only these tests (--gtest_filter)")
    args = ap.parse_args()

    src = os.path.join(args.build, "src")
    files = sorted(f for f in subprocess.check_output(["git", "ls-files"], cwd=ROOT, text=True)
                   .split() if f.startswith("tool/") and f.endswith(".cpp"))
    plan = []
    for f in files:
        text = open(os.path.join(ROOT, f), encoding="utf-8").read()
        for kind, original, line, mutated in mutants(f, text):
            if args.only in "%s:%d %s %s" % (f, line, kind, original):
                plan.append((f, kind, original, line, mutated, text))
    if args.list:
        for f, kind, original, line, _, _ in plan:
            print("%s:%d %s: %s" % (f, line, kind, original))
        print("%d mutants" % len(plan))
        return 0

    # A copy of the tracked sources, built once with Ninja.
    for f in subprocess.check_output(["git", "ls-files", "-z"], cwd=ROOT).decode().split("\0"):
        if f and os.path.isfile(os.path.join(ROOT, f)):
            copy(os.path.join(ROOT, f), os.path.join(src, f))
    bdir = os.path.join(args.build, "build")
    # A fast linker when there is one: each mutant relinks two programs.
    linker = ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=%s" % l for l in ("lld", "gold")
              if shutil.which("ld." + l)][:1]
    if run(["cmake", "-S", src, "-B", bdir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"] +
           linker) != 0:
        sys.exit("mutate: cmake failed")
    # The suite runs tapwatcher-sim too (the interactive run on a terminal).
    build = ["cmake", "--build", bdir, "-j2", "--target", "tapwatcher_tests", "tapwatcher-sim"]
    binary = os.path.join(bdir, "bin", "tapwatcher_tests")
    if run(build) != 0 or not suite(binary, args.shards, args.timeout * 3)[0]:
        sys.exit("mutate: the unmutated suite does not build or pass")

    # A stop (Ctrl-C, kill) still puts the mutated file back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mutate: stopped"))
    known = equivalents()
    killed, survived, broken, equivalent = [], [], [], []
    started = time.time()
    for n, (f, kind, original, line, mutated, text) in enumerate(plan, 1):
        target = os.path.join(src, f)
        with open(target, "w", encoding="utf-8") as out:
            out.write(mutated)
        try:
            passed, why = (False, "")
            if run(build) != 0:
                verdict, bucket = "does not compile", broken
            else:
                passed, why = suite(binary, args.shards, args.timeout, args.filter)
                if not passed:
                    verdict, bucket = "killed by " + (why or "a failing run"), killed
                elif (f, kind, original) in known:
                    verdict, bucket = "survived (equivalent)", equivalent
                else:
                    verdict, bucket = "SURVIVED", survived
        finally:
            with open(target, "w", encoding="utf-8") as out:
                out.write(text)
        bucket.append((f, line, kind, original))
        print("[%d/%d] %s:%d %s: %s -> %s" % (n, len(plan), f, line, kind, original, verdict),
              flush=True)
    run(build)

    compiled = len(plan) - len(broken)
    print("\n%d mutants: %d killed, %d survived (%d of them argued equivalent), "
          "%d did not compile; %.0f s" % (len(plan), len(killed), len(survived) + len(equivalent),
                                         len(equivalent), len(broken), time.time() - started))
    if compiled:
        print("score: %d/%d = %.1f%% of compiled mutants killed" %
              (len(killed), compiled, 100.0 * len(killed) / compiled))
        live = compiled - len(equivalent)
        if live:
            print("score without the equivalent mutants: %d/%d = %.1f%%" %
                  (len(killed), live, 100.0 * len(killed) / live))
    for f, line, kind, original in survived:
        print("survivor: %s:%d %s: %s" % (f, line, kind, original))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
