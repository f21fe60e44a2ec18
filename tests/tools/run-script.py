#!/usr/bin/env python3
"""Runs the program once and compares what it writes to standard output, and
its exit status, with an expectation file.

    run-script.py --program VUM [--script FILE [--from-parent] | --input TEXT] [--stderr] EXPECTED

With --script the program runs that script (`vum FILE`) from the script's
own folder, or with --from-parent from the folder above it
(`vum FOLDER/FILE`); with --input the text (each \\n a line feed, each
\\xHH that byte) is fed to its standard input. With --stderr what the
program writes to standard error is compared instead of its standard
output.
The expectation file may start with the lines "; exit-status: N" (0
otherwise), "; switches: WORDS" and "; arguments: WORDS" (command-line
arguments before and after the script, split as a POSIX shell splits
them, each \\xHH then that byte), "; environment: NAME=VALUE ..." (added
to the program's environment, split and unescaped the same way) and
"; input: TEXT" (fed to a script's standard input, as --input); the rest
is the exact output, where a line
"..." matches any number of lines. The output must end where the
expectation ends, up to a final line feed the expectation file itself ends
with.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from output_check import check  # noqa: E402
from pass_timeout import scaled  # noqa: E402



def input_bytes(text):
    """The --input text as bytes: \\n is a line feed, \\xHH the byte HH."""
    parts = re.split(r"(\\n|\\x[0-9A-Fa-f]{2})", text)
    out = b""
    for part in parts:
        if part == "\\n":
            out += b"\n"
        elif part.startswith("\\x") and len(part) == 4:
            out += bytes([int(part[2:], 16)])
        else:
            out += part.encode("utf-8")
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--script")
    ap.add_argument("--from-parent", action="store_true")
    ap.add_argument("--input")
    ap.add_argument("--stderr", action="store_true", help="compare standard error instead")
    ap.add_argument("--timeout", type=float, help="seconds; by default 60 scaled to the pass")
    ap.add_argument("expected")
    args = ap.parse_args()
    if args.timeout is None:
        args.timeout = scaled(60)

    with open(args.expected, encoding="utf-8") as f:
        lines = f.read().split("\n")
    status = 0
    switches, arguments = [], []
    environment = {}
    script_input = None
    while lines:
        if re.match(r"^;\s*exit-status:\s*-?\d+\s*$", lines[0]):
            status = int(lines[0].split(":")[1]) & 0xFF
        elif re.match(r"^;\s*switches:", lines[0]):
            switches = shlex.split(lines[0].split(":", 1)[1])
        elif re.match(r"^;\s*arguments:", lines[0]):
            arguments = [input_bytes(a) for a in shlex.split(lines[0].split(":", 1)[1])]
        elif re.match(r"^;\s*environment:", lines[0]):
            for item in shlex.split(lines[0].split(":", 1)[1]):
                name, value = item.split("=", 1)
                environment[name.encode()] = input_bytes(value)
        elif re.match(r"^;\s*input:", lines[0]):
            script_input = lines[0].split(":", 1)[1].strip()
        else:
            break
        lines = lines[1:]

    command = [args.program]
    feed = b""
    if args.script:
        # Scripts run from their own folder, as the console would run them.
        folder = os.path.dirname(os.path.abspath(args.script))
        name = os.path.basename(args.script)
        if args.from_parent:
            name = os.path.join(os.path.basename(folder), name)
            folder = os.path.dirname(folder)
        command += switches + [name]
        cwd = folder
        if script_input is not None:
            feed = input_bytes(script_input)
    else:
        cwd = None
        if args.input is not None:
            feed = input_bytes(args.input)
    command += arguments
    try:
        run = subprocess.run(command, input=feed, capture_output=True, cwd=cwd,
                             timeout=args.timeout, env={**os.environb, **environment})
    except subprocess.TimeoutExpired:
        print(f"{args.expected}: timed out after {args.timeout} s")
        return 1
    actual = (run.stderr if args.stderr else run.stdout).decode("utf-8", errors="replace").split("\n")
    # The expectation file ends with a line feed that the output may lack.
    if len(lines) > 1 and lines[-1] == "" and actual and actual[-1] != "":
        lines = lines[:-1]

    return check(args.expected, lines, actual, run, status)


if __name__ == "__main__":
    sys.exit(main())
