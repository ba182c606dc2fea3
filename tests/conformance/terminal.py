#!/usr/bin/env python3
"""terminal.py - plays one conformance sequence on tapwatcher-sim's interactive
terminal through a pseudo-terminal that speaks the keyboard protocol with key
releases: it answers the tool's query for the protocol, then sends every press,
repeat and release as the protocol's escape code, at the sequence's times.

    terminal.py TRANSCRIPT "STEP..." TAPWATCHER-SIM [OPTION...]

Steps as in table.txt: +KEY, -KEY, ~MS, Clear (Ctrl-L), Exit (Ctrl-X). A key held
repeats as a terminal under X repeats it (after 660 ms, every 40 ms). The transcript goes
to TRANSCRIPT; every wait is bounded. Exit 0 when the run ended as planned.
"""
import os
import pty
import select
import signal
import sys
import time

# Protocol key codes of the scenario's modifier names; other keys are their
# lower-case character.
CODES = {"Shift": 57441, "Ctrl": 57442, "Alt": 57443}
MOD_BITS = {"Shift": 1, "Alt": 2, "Ctrl": 4}
REPEAT_DELAY, REPEAT_EVERY = 0.66, 0.04  # the X server's defaults


def key_event(name, held, kind):
    """The protocol's bytes for a press (1), repeat (2) or release (3) of `name`."""
    code = CODES.get(name, ord(name.lower()[0]) if len(name) == 1 else 0)
    if not code:
        sys.exit(f"terminal.py: no protocol code for key {name}")
    mods = 1 + sum(MOD_BITS.get(k, 0) for k in held)
    return f"\x1b[{code};{mods}{'' if kind == 1 else ':' + str(kind)}u".encode()


def schedule(steps):
    """The bytes to send, each with its time in seconds from the first."""
    out, t, held, last, last_at = [], 0.0, [], None, 0.0
    for step in steps:
        if step[0] == "~":
            wait = int(step[1:]) / 1000
            if last in held:  # the terminal repeats the last key pressed
                r = last_at + REPEAT_DELAY
                while r < t + wait - 1e-9:
                    if r >= t:
                        out.append((r, key_event(last, held, 2)))
                    r += REPEAT_EVERY
            t += wait
        elif step[0] == "+":
            held.append(step[1:])
            out.append((t, key_event(step[1:], held, 1)))
            last, last_at = step[1:], t
        elif step[0] == "-":
            held.remove(step[1:])
            out.append((t, key_event(step[1:], held, 3)))
        elif step in ("Clear", "Exit"):  # the runner's Ctrl-L and Ctrl-X
            code = ord("l" if step == "Clear" else "x")
            out.append((t, f"\x1b[{code};5u".encode()))
            out.append((t, f"\x1b[{code};5:3u".encode()))
    return out


def main():
    transcript, steps, command = sys.argv[1], sys.argv[2].split(), sys.argv[3:]
    log = os.open(transcript, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    pid, fd = pty.fork()
    if pid == 0:
        os.dup2(log, 1)  # the transcript; the screen goes to the terminal
        os.execv(command[0], command[:1] + ["--line-buffered"] + command[1:])
    answered = False

    def pump(until):
        """Reads the screen until `until` (answering the protocol query); False at its end."""
        nonlocal answered
        while True:
            left = until - time.monotonic()
            if select.select([fd], [], [], max(left, 0))[0]:
                try:
                    got = os.read(fd, 65536)
                except OSError:
                    return False
                if not got:
                    return False
                if not answered and b"\x1b[?u" in got:
                    os.write(fd, b"\x1b[?0u\x1b[?62;22c")
                    answered = True
            elif left <= 0:
                return True

    def transcript_has(text):
        with open(transcript, encoding="utf-8", errors="replace") as f:
            return text in f.read()

    ok = True
    deadline = time.monotonic() + 20
    while not transcript_has("quiet mark") and time.monotonic() < deadline:
        pump(time.monotonic() + 0.05)
    if not answered or not transcript_has("quiet mark"):
        print("terminal.py: the tool did not ask for the protocol or start within 20 s", file=sys.stderr)
        ok = False
    else:
        pump(time.monotonic() + 0.3)
        start = time.monotonic()
        for at, data in schedule(steps):
            pump(start + at)
            os.write(fd, data)
        pump(time.monotonic() + 1.0)
    # The shell's close request, unless the tool has exited; then a bounded wait.
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    end = time.monotonic() + 10
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        pump(time.monotonic() + 0.05)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        print("terminal.py: the tool did not end within 10 s", file=sys.stderr)
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
