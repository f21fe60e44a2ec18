#!/usr/bin/env python3
"""The repetition test: the inputs of every transcript, run several times in
one vum process, must not make memory grow once a full collection is done.

    repeat-transcripts.py --program VUM [--runs N] [--transcripts DIR]
                          [--tolerance BYTES] [--rss-tolerance KB] [--only NAME]

After each run the tool sends `recycle` and reads three figures: the bytes
the runtime's series and nodes hold (`stats`), the bytes of its own heap
(the last figure of `stats/info`) and the process's resident set (VmRSS of
/proc/PID/status). The figures of the last run must not exceed those of the
second run by more than the tolerances; the first run is left out, since it
interns words, grows the stacks and tables to their working sizes and fills
caches once.

Inputs that end the session are left out, and so is a transcript that ends
with a status of its own; PRELUDE undoes state one transcript leaves that
another one expects to be absent, since they all share one session here.
Under the collector's torture switch the runs take too long for CI and the
tool passes at once; in a sanitized build the resident set is not checked.
"""
import argparse
import os
import re
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import importlib.util  # noqa: E402

_spec = importlib.util.spec_from_file_location("run_transcript", os.path.join(HERE, "run-transcript.py"))
run_transcript = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(run_transcript)

# Transcripts left out, with the reason. (A transcript whose session ends
# with a status of its own is left out by that status.)
SKIP = {
    # Its 100 MB strings and 100,000-deep values take most of a run's time.
    "limits": "too slow to repeat",
}
# Inputs run before a transcript's own, undoing what an earlier transcript
# (or the previous run) left that the transcript expects to find unset.
PRELUDE = {
    # date.transcript ends with `system: none`; port.transcript makes its
    # own system object when none exists and adds its schemes to it.
    "port": ["unset 'system"],
}
# Inputs that end the session are left out wherever they appear.
QUITS = re.compile(r"^\s*(quit|halt|q)(/\S+)?(\s|$)")
MARK = "@@repeat-mark@@"


def load_inputs(directory):
    """(name, inputs) for every transcript in file name order; an input is
    the list of its lines, its first line and the lines that continue it."""
    sessions = []
    for name in sorted(os.listdir(directory)):
        stem, ext = os.path.splitext(name)
        if ext != ".transcript" or stem in SKIP:
            continue
        with open(os.path.join(directory, name), encoding="utf-8") as f:
            text = f.read()
        expected, _, status = run_transcript.parse(text)
        if status != 0:
            continue
        entries = [[line] for line in PRELUDE.get(stem, ())]
        current = None
        for line in expected:
            cue = run_transcript.CUE.match(line)
            if line.startswith(run_transcript.PROMPT) or line == run_transcript.PROMPT.rstrip():
                current = [line[len(run_transcript.PROMPT):]]
                entries.append(current)
            elif current is not None and cue:
                current.append(line[len(cue.group(0)):])
            else:
                current = None
        sessions.append((stem, [e for e in entries if not QUITS.match(e[0])]))
    return sessions


def rss_kb(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Session:
    """One vum process fed input by input, whose output is read as it comes."""

    def __init__(self, program):
        self.proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=os.environ.copy())
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", errors="replace").rstrip("\n")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)
            self.cond.notify_all()

    def send(self, text):
        self.proc.stdin.write(text.encode("utf-8"))
        self.proc.stdin.flush()

    def measure(self, timeout, text=""):
        """Feeds the text, collects, then gives the runtime's figure and the
        resident set."""
        # A thread writes, so that a long text cannot fill the pipes both ways.
        writer = threading.Thread(target=self.send, args=(text + f'recycle print ["{MARK}" stats pick stats/info 5]\n',),
                                  daemon=True)
        writer.start()
        pattern = re.compile(re.escape(MARK) + r" (\d+) (\d+)$")
        with self.cond:
            while True:
                for i, line in enumerate(self.lines):
                    if line is None:
                        raise RuntimeError("vum ended:\n" + "\n".join(l for l in self.lines[-40:] if l))
                    m = pattern.match(line)
                    if m:
                        del self.lines[: i + 1]
                        writer.join()
                        return int(m.group(1)), int(m.group(2)), rss_kb(self.proc.pid)
                # Keep the tail only, for the report of a failure.
                if len(self.lines) > 200:
                    del self.lines[:-100]
                if not self.cond.wait(timeout):
                    raise RuntimeError("no answer within %s s; the output ends:\n%s"
                                       % (timeout, "\n".join(l for l in self.lines[-40:] if l)))

    def close(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def sanitized(program):
    try:
        with open(program, "rb") as f:
            return b"__asan_init" in f.read()
    except OSError:
        return False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--transcripts", default=os.path.join(HERE, "..", "transcripts"))
    ap.add_argument("--runs", type=int, default=10)
    ap.add_argument("--tolerance", type=int, default=4096,
                    help="bytes the runtime's figure may differ between run 2 and the last")
    ap.add_argument("--rss-tolerance", type=int, default=2048,
                    help="kilobytes the resident set may grow between run 2 and the last")
    ap.add_argument("--timeout", type=float, default=120)
    ap.add_argument("--only", action="append", default=[],
                    help="repeat this transcript alone (by name, without .transcript; may repeat)")
    ap.add_argument("--force", action="store_true", help="run under the torture switch too")
    args = ap.parse_args()

    if not args.force and os.environ.get("VUM_GC_TORTURE", "") not in ("", "0"):
        print("skipped under the collector's torture switch")
        return 0
    # AddressSanitizer holds freed memory back for a while: the resident set
    # grows whatever the runtime does, so only the runtime's figures count.
    check_rss = not sanitized(args.program)

    sessions = load_inputs(args.transcripts)
    if args.only:
        sessions = [s for s in sessions if s[0] in args.only]
    text = "".join("".join(line + "\n" for line in entry) + "\n"
                   for _, entries in sessions for entry in entries)
    session = Session(args.program)
    figures = []
    try:
        session.measure(args.timeout)
        for run in range(args.runs):
            figure = session.measure(args.timeout, text)
            figures.append(figure)
            print(f"run {run + 1}: series and nodes {figure[0]} bytes, heap {figure[1]} bytes, resident {figure[2]} kB")
    except (RuntimeError, BrokenPipeError) as e:
        print(f"repetition failed: {e}")
        session.close()
        return 1
    session.close()

    if len(figures) < 3:
        return 0
    (stats2, heap2, rss2), (stats_n, heap_n, rss_n) = figures[1], figures[-1]
    ok = True
    if stats_n - stats2 > args.tolerance:
        print(f"series and nodes hold {stats_n - stats2} bytes more after run {len(figures)} than after run 2")
        ok = False
    if heap_n - heap2 > args.tolerance:
        print(f"the runtime's heap holds {heap_n - heap2} bytes more after run {len(figures)} than after run 2")
        ok = False
    if check_rss and rss_n - rss2 > args.rss_tolerance:
        print(f"the resident set grew by {rss_n - rss2} kB between run 2 and run {len(figures)}")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
