#!/usr/bin/env python3
"""Ctrl-C during long work: the console under a pseudo-terminal gets
SIGINT while each case runs, and must print "(halted)", give the prompt
back and evaluate the next input; the data the work was on must be intact,
and no child process or descriptor may be left behind.

    interrupt-console.py --program VUM

The signal goes to the program's process alone (not to its process group,
as a terminal's Ctrl-C would), so a child of call/wait sees only what the
program does to it; one case sends it to the group, as a terminal does, so
that the child may die of it before the program looks. The cases that need large data depend on the machine's
speed (the work must still run when the signal comes): they run in the
plain pass only; the others run in every pass.
"""
import argparse
import os
import pty
import select
import signal
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pass_timeout import scaled  # noqa: E402

PROMPT = ">> "


class Console:
    def __init__(self, program, config):
        env = dict(os.environ, XDG_CONFIG_HOME=config, TERM="dumb")
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(program, [program], env)
        self.seen = b""
        self.mark = 0

    def read_some(self, wait):
        ready, _, _ = select.select([self.fd], [], [], wait)
        if not ready:
            return
        try:
            data = os.read(self.fd, 65536)
        except OSError:
            data = b""
        if not data:
            raise EOFError("the console ended")
        self.seen += data

    def text(self):
        return self.seen[self.mark:].decode("utf-8", "replace").replace("\r", "")

    def wait_for(self, *texts, timeout=10.0):
        """True when the texts appear in order after the mark."""
        end = time.time() + scaled(timeout)
        while True:
            at = 0
            shown = self.text()
            for t in texts:
                at = shown.find(t, at)
                if at < 0:
                    break
                at += len(t)
            else:
                return True
            if time.time() > end:
                return False
            self.read_some(0.05)

    def send(self, line):
        self.mark = len(self.seen)
        os.write(self.fd, line.encode() + b"\r")

    def interrupt(self, group=False):
        # The program leads its own session: its group has its id.
        if group:
            os.killpg(self.pid, signal.SIGINT)
        else:
            os.kill(self.pid, signal.SIGINT)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)


def children_of(pid):
    """Processes whose parent is pid, zombies included."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name is in parentheses and may hold blanks.
        fields = stat[stat.rfind(")") + 2:].split()
        if int(fields[1]) == pid:
            found.append(f"{entry} ({fields[0]})")
    return found


def descriptors_of(pid):
    return sorted(os.listdir(f"/proc/{pid}/fd"))


class SilentServer:
    """Accepts connections on 127.0.0.1 and never answers them."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.held = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.held.append(connection)

    def close(self):
        self.listener.close()
        for c in self.held:
            c.close()


def cases(port):
    # (what, inputs that set up, the long input, inputs that check the data
    # afterwards with the text each must show, needs large data[, signal
    # to the whole group])
    return [
        ("forever over an empty block", [], "forever []", [], False),
        ("loop with a huge count over an empty block", [], "loop 2000000000 []", [], False),
        ("repeat with a huge count over an empty block", [], "repeat i 2000000000 []", [], False),
        ("a parse rule that matches nothing, forever", [], 'parse "a" [while [opt "x"]]', [], False),
        ("wait", [], "wait 30", [], False),
        ("call/wait of a long-running child", [], 'call/wait "sleep 30"', [], False),
        ("call/wait of a long-running child, Ctrl-C to the group", [], 'call/wait "sleep 30"', [], False, True),
        ("call/wait collecting the output of a long-running child",
         ["out: copy {}"], 'call/wait/output "sleep 30" out', [("out", '== ""')], False),
        ("read of a server that never answers", [], f"read http://127.0.0.1:{port}/", [], False),
        ("sort/compare with a function",
         ["random/seed 7  b: copy [] repeat i 500000 [append b random 1000000]  s: sort copy b  length? b"],
         "sort/compare b func [x y] [x < y]",
         [("s = sort copy b", "== true")], False),
        ("parse over a long input",
         ['t: append/dup copy "" "ab" 20000000  length? t'],
         'parse t [any [ahead "a" skip "b" | skip]]',
         [("length? t", "== 40000000"), ("copy/part t 6", '== "ababab"')], True),
        ("a long plain sort",
         ["random/seed 7  c: copy [] repeat i 6000000 [append c random 1000000]  s: sort copy c  length? c"],
         "sort c",
         [("length? c", "== 6000000"), ("s = sort copy c", "== true")], True),
    ]


def start(program, config):
    """A console at its prompt, and its descriptors once the HTTP module is
    loaded (a read that fails at once loads it)."""
    console = Console(os.path.abspath(program), config)
    if not console.wait_for(PROMPT, timeout=30):
        raise EOFError("no prompt at start")
    console.send("attempt [read http://127.0.0.1:1/]")
    console.wait_for(PROMPT, timeout=30)
    return console, descriptors_of(console.pid)


def run_case(console, what, setup, work, checks, failures, group=False):
    """False when the console did not come back to its prompt."""
    for line in setup:
        console.send(line)
        if not console.wait_for("== ", PROMPT, timeout=120):
            failures.append(f"{what}: setup {line!r} gave no result:\n{console.text()[-1000:]}")
            return False
    console.send(work)
    console.wait_for(work, timeout=5)
    # Time for the work to be well under way.
    time.sleep(0.4)
    started = time.time()
    console.interrupt(group)
    if not console.wait_for("(halted)\n" + PROMPT, timeout=5):
        failures.append(f"{what}: no halt and prompt after SIGINT:\n{console.text()[-1000:]}")
        return False
    # The halt stops the work: nothing of it shows a result or a stray throw.
    shown = console.text()
    stray = shown[shown.rfind(work) + len(work):shown.find("(halted)")]
    if stray.strip() or "no catch" in shown:
        failures.append(f"{what}: more than the halt after SIGINT:\n{shown[-1000:]}")
    took = time.time() - started
    if took > scaled(3):
        failures.append(f"{what}: the halt took {took:.1f} s")
    left = children_of(console.pid)
    if left:
        failures.append(f"{what}: children left behind: {', '.join(left)}")
    for line, shown in checks + [("1 + 1", "== 2")]:
        console.send(line)
        if not console.wait_for(shown + "\n" + PROMPT, timeout=60):
            failures.append(f"{what}: {line!r} should show {shown!r}:\n{console.text()[-1000:]}")
    return True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--all-cases", action="store_true",
                    help="run the cases that need large data in any pass")
    args = ap.parse_args()
    slow_pass = os.environ.get("VUM_GC_TORTURE", "") not in ("", "0") or \
        os.environ.get("VUM_TEST_SANITIZED", "") not in ("", "0")
    failures = []
    server = SilentServer()
    with tempfile.TemporaryDirectory() as config:
        console = None
        try:
            for what, setup, work, checks, large, *group in cases(server.port):
                if large and slow_pass and not args.all_cases:
                    continue
                if console is None:
                    console, descriptors = start(args.program, config)
                if not run_case(console, what, setup, work, checks, failures, bool(group and group[0])):
                    # A console that did not come back cannot run the rest.
                    console.close()
                    console = None
            if console is not None:
                now = descriptors_of(console.pid)
                if now != descriptors:
                    failures.append(f"descriptors before the cases {descriptors}, after {now}")
        except EOFError as e:
            failures.append(f"{e}:\n" + (console.text()[-2000:] if console else ""))
        finally:
            if console is not None:
                console.close()
            server.close()
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
