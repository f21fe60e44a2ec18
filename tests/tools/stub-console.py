#!/usr/bin/env python3
"""A stand-in console for checking the transcript runner itself: echoes each
input after the prompt; "print x" prints x, "quit N" ends with status N,
"[" opens an input that the next line closes, "ask" reads the next line
after the prompt "? " and shows it as a result, anything else is shown as a
result."""
import sys

pending = None
while True:
    sys.stdout.write("[    " if pending is not None else ">> ")
    line = sys.stdin.readline()
    if not line:
        break
    line = line.rstrip("\n")
    sys.stdout.write(line + "\n")
    if pending is not None:
        sys.stdout.write("== " + pending + " " + line + "\n")
        pending = None
    elif line == "[":
        pending = line
    elif line == "ask":
        sys.stdout.write("? ")
        answer = sys.stdin.readline().rstrip("\n")
        sys.stdout.write(answer + "\n== " + answer + "\n")
    elif line.startswith("print "):
        sys.stdout.write(line[6:] + "\n")
    elif line.startswith("quit "):
        sys.stdout.flush()
        sys.exit(int(line[5:]))
    else:
        sys.stdout.write("== " + line + "\n")
sys.stdout.flush()
