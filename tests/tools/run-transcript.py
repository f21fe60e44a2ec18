#!/usr/bin/env python3
"""Runs one transcript: a console session as it appears on screen.

Lines before the first prompt describe the session; among them a line
"; exit-status: N" sets the status the program must end with (0 otherwise).
From the first prompt on, a line starting with ">> " holds an input; lines
that follow it and start with a continuation cue (an open delimiter and four
spaces) continue that input. Every other line is expected output. A line
"..." matches any number of lines.

The inputs are fed to the program's standard input; the console echoes each
line after its prompt, so its output reads as the transcript itself.

Code that reads a line itself (`ask`) prompts with a text of its own: a
line "; input-prompt: TEXT" before the first prompt (TEXT ends at the end
of the line, blanks included) makes the lines starting with TEXT inputs
too, taken from the input in the order they stand with the others.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from output_check import check  # noqa: E402
from pass_timeout import scaled  # noqa: E402

PROMPT = ">> "
CUE = re.compile(r'^[\[\(\{"<]    ')


def prompted(line, prompt):
    """The input on a line that starts with the prompt, else None."""
    if line.startswith(prompt):
        return line[len(prompt):]
    if line == prompt.rstrip():
        return ""
    return None


def parse(text):
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    status = 0
    start = len(lines)
    asked = []
    for i, line in enumerate(lines):
        if prompted(line, PROMPT) is not None:
            start = i
            break
        m = re.match(r"^;\s*exit-status:\s*(-?\d+)\s*$", line)
        if m:
            status = int(m.group(1)) & 0xFF
        m = re.match(r"^;\s*input-prompt: (.+)$", line)
        if m:
            asked.append(m.group(1))
    expected = lines[start:]
    inputs = []
    in_input = False
    for line in expected:
        if prompted(line, PROMPT) is not None:
            inputs.append(prompted(line, PROMPT))
            in_input = True
        elif any(prompted(line, p) is not None for p in asked):
            inputs.append(next(prompted(line, p) for p in asked if prompted(line, p) is not None))
            in_input = False
        elif in_input and CUE.match(line):
            inputs.append(line[len(CUE.match(line).group(0)):])
        else:
            in_input = False
    return expected, inputs, status


def session_lines(output):
    lines = output.split("\n")
    for i, line in enumerate(lines):
        if line.startswith(PROMPT) or line == PROMPT.rstrip():
            lines = lines[i:]
            break
    else:
        lines = []
    # The prompt shown when the input ran out ends the output.
    while lines and lines[-1].strip() in ("", PROMPT.strip()):
        lines.pop()
    return lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--timeout", type=float, help="seconds; by default 180 scaled to the pass")
    ap.add_argument("transcript")
    args = ap.parse_args()
    # Only a hang should meet it: a loaded two-core machine took over 120 s
    # for the limits transcript under the torture switch.
    if args.timeout is None:
        args.timeout = scaled(180)

    with open(args.transcript, encoding="utf-8") as f:
        expected, inputs, status = parse(f.read())
    feed = "".join(line + "\n" for line in inputs)
    # A transcript never shows a window on the desk it runs at: the GUI
    # runs headless, and gui-test exists.
    env = dict(os.environ, VUM_DISPLAY="headless")
    try:
        run = subprocess.run([args.program], input=feed.encode("utf-8"),
                             capture_output=True, timeout=args.timeout,
                             env=env)
    except subprocess.TimeoutExpired:
        print(f"{args.transcript}: timed out after {args.timeout} s")
        return 1
    output = run.stdout.decode("utf-8", errors="replace")
    actual = session_lines(output)
    trimmed = list(expected)
    while trimmed and trimmed[-1].strip() == "":
        trimmed.pop()

    return check(args.transcript, trimmed, actual, run, status)


if __name__ == "__main__":
    sys.exit(main())
