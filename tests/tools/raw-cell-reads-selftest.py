#!/usr/bin/env python3
"""The raw cell-word check on a small tree of its own: a rise fails and
names the file with both figures, a new file is allowed none, comments and
strings do not count, a fall passes, and --update writes the new figures.

    raw-cell-reads-selftest.py CHECKER
"""
import os
import subprocess
import sys
import tempfile


def run(checker, root, baseline, *more):
    p = subprocess.run([sys.executable, checker, "--root", root, "--baseline", baseline, *more],
                       capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def main():
    checker = sys.argv[1]
    failures = []

    def expect(what, ok):
        if not ok:
            failures.append(what)

    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "memory"))
        os.makedirs(os.path.join(root, "tests"))
        old = os.path.join(root, "memory", "old.cpp")
        baseline = os.path.join(root, "baseline.txt")

        def write(path, text):
            with open(path, "w") as f:
                f.write(text)

        write(old, "uint32_t a = c->w1 + d.w2;  // c->w3\nconst char* s = \"x.w1\";\n")
        write(os.path.join(root, "tests", "t.cpp"), "int t = c->w1;\n")  # tests are not held
        code, out = run(checker, root, baseline, "--update")
        expect("update succeeds", code == 0)
        with open(baseline) as f:
            expect("baseline holds the file's two accesses", "memory/old.cpp 2\n" in f.read())
        code, out = run(checker, root, baseline)
        expect("unchanged tree passes: " + out, code == 0)

        write(old, "uint32_t a = c->w1 + d.w2 + (&e)->w3;\n")
        code, out = run(checker, root, baseline)
        expect("a rise fails", code != 0)
        expect("the rise names the file and both figures: " + out, "memory/old.cpp: 3" in out and "allows 2" in out)

        write(old, "uint32_t a = c->w1;\n")
        write(os.path.join(root, "memory", "new.h"), "inline int f(const Cell* c) { return c->w0 + c->w2; }\n")
        code, out = run(checker, root, baseline)
        expect("a new file is allowed none", code != 0 and "memory/new.h: 2" in out and "allows 0" in out)
        expect("a fall is not a failure", "memory/old.cpp:" not in out and "down to 1 from 2" in out)

        os.remove(os.path.join(root, "memory", "new.h"))
        run(checker, root, baseline, "--update")
        with open(baseline) as f:
            expect("--update writes the lower figure", "memory/old.cpp 1\n" in f.read())

    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
