"""What the transcript and script runners share: matching expected lines
against the program's output ("..." stands for any run of lines) and the
report of a mismatch."""
import difflib
import sys

WILDCARD = "..."


def matches(expected, actual):
    """Line match where WILDCARD stands for any run of lines."""
    memo = {}

    def go(i, j):
        key = (i, j)
        if key in memo:
            return memo[key]
        if i == len(expected):
            r = j == len(actual)
        elif expected[i] == WILDCARD:
            r = go(i + 1, j) or (j < len(actual) and go(i, j + 1))
        else:
            r = j < len(actual) and expected[i] == actual[j] and go(i + 1, j + 1)
        memo[key] = r
        return r

    sys.setrecursionlimit(max(10000, 4 * (len(expected) + len(actual))))
    return go(0, 0)


def check(name, expected, actual, run, status):
    """Prints what differs; returns the runner's exit status."""
    ok = True
    if not matches(expected, actual):
        ok = False
        print(f"{name}: output differs")
        for line in difflib.unified_diff(expected, actual, "expected", "actual", lineterm=""):
            print(line)
    if run.returncode & 0xFF != status:
        ok = False
        print(f"{name}: exit status {run.returncode}, expected {status}")
    if not ok and run.stderr:
        print("standard error:")
        print(run.stderr.decode("utf-8", errors="replace"))
    return 0 if ok else 1
