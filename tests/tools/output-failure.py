#!/usr/bin/env python3
"""Checks how the program ends when its standard output fails, for a script
and for the console reading piped input:

- output to a full device (/dev/full) ends it with status 1 and a message
  on standard error;
- a reader that closes the pipe after one line ends it quietly (nothing on
  standard error) with status 1, not killed by SIGPIPE, even when the
  program would print forever.

    output-failure.py --program VUM
"""
import argparse
import os
import subprocess
import sys
import tempfile

FOREVER = 'forever [print "a line"]\n'


def run_to_full(program, args, feed, timeout):
    with open("/dev/full", "wb") as full:
        run = subprocess.run([program] + args, input=feed, stdout=full, stderr=subprocess.PIPE,
                             timeout=timeout)
    return run.returncode, run.stderr.decode("utf-8", errors="replace")


def run_to_closed_pipe(program, args, feed, timeout):
    proc = subprocess.Popen([program] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if feed:
        proc.stdin.write(feed)
    proc.stdin.close()
    first = proc.stdout.readline()
    proc.stdout.close()  # the reader goes away
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None, first, ""
    return proc.returncode, first, proc.stderr.read().decode("utf-8", errors="replace")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--timeout", type=float, default=300)
    args = ap.parse_args()

    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        once = os.path.join(tmp, "once.vum")
        forever = os.path.join(tmp, "forever.vum")
        with open(once, "w") as f:
            f.write('Vum []\nprint "a line"\n')
        with open(forever, "w") as f:
            f.write("Vum []\n" + FOREVER)

        cases = [("script", [once], b""), ("console", [], b"1 + 2\n")]
        if os.path.exists("/dev/full"):
            for name, argv, feed in cases:
                status, err = run_to_full(args.program, argv, feed, args.timeout)
                if status != 1 or "cannot write to standard output" not in err:
                    failures.append(f"{name} to /dev/full: status {status}, standard error {err!r}")
        else:
            print("no /dev/full here: the full-device cases are not run")

        for name, argv, feed in [("script", [forever], b""), ("console", [], FOREVER.encode())]:
            status, first, err = run_to_closed_pipe(args.program, argv, feed, args.timeout)
            if status is None:
                failures.append(f"{name} to a closed pipe: still running after {args.timeout} s")
            elif status != 1 or err or not first:
                failures.append(f"{name} to a closed pipe: status {status}, first line {first!r}, "
                                f"standard error {err!r}")

    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
