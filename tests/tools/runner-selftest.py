#!/usr/bin/env python3
"""The transcript runner must pass sessions that match and fail those that
do not; checked against a stand-in console."""
import os
import subprocess
import sys
import tempfile

runner = sys.argv[1]
here = os.path.dirname(os.path.abspath(__file__))
stub = os.path.join(here, "stub-console.py")

cases = [
    ("plain session", True, "A description line.\n>> 1\n== 1\n>> print hi\nhi\n"),
    ("wildcard spans lines", True, ">> print a\n...\n>> 2\n== 2\n"),
    ("wildcard spans nothing", True, ">> 1\n...\n== 1\n"),
    ("continued input", True, ">> [\n[    x\n== [ x\n>> 3\n== 3\n"),
    ("wrong result", False, ">> 1\n== 2\n"),
    ("missing line", False, ">> print hi\n>> 2\n== 2\n"),
    ("extra line expected", False, ">> 1\n== 1\n== 1\n"),
    ("exit status", True, "; exit-status: 3\n>> quit 3\n"),
    ("wrong exit status", False, ">> quit 3\n"),
    ("asked input", True, "; input-prompt: ? \n>> ask\n? yes\n== yes\n>> 2\n== 2\n"),
    ("asked input without its prompt declared", False, ">> ask\n? yes\n== yes\n>> 2\n== 2\n"),
]

# The stand-in is a script; give the runner one program path to run.
with tempfile.TemporaryDirectory() as tmp:
    program = os.path.join(tmp, "console")
    with open(program, "w") as f:
        f.write(f"#!/bin/sh\nexec {sys.executable} {stub}\n")
    os.chmod(program, 0o755)
    failures = 0
    for name, should_pass, text in cases:
        path = os.path.join(tmp, "case.transcript")
        with open(path, "w") as f:
            f.write(text)
        r = subprocess.run([sys.executable, runner, "--program", program, path],
                           capture_output=True, text=True)
        passed = r.returncode == 0
        if passed != should_pass:
            failures += 1
            print(f"FAIL {name}: runner said {'pass' if passed else 'fail'}\n{r.stdout}")
    sys.exit(1 if failures else 0)
