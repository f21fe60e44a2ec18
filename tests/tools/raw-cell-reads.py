#!/usr/bin/env python3
"""Holds the use of the named cell accessors (memory/cell-access.h): no
source file may read or write a cell's payload words raw (`->w1`, `.w2`,
`&c->w3` ...) more often than the baseline allows it. A file missing from
the baseline is allowed none, so new code goes through the accessors.

    raw-cell-reads.py --root SOURCE --baseline tests/tools/raw-cell-reads.txt
    raw-cell-reads.py --root SOURCE --baseline ... --update

--update rewrites the baseline with today's figures, lowering those that
went down (a ratchet); run it after converting code, or after a merge that
moved files between folders. It also accepts rises: look at the diff.
"""
import argparse
import os
import re
import sys

# Every C++ folder of the program and its build-time tools; the tests read
# raw words on purpose (they check the layout itself).
FOLDERS = ["platform", "base", "memory", "datatypes", "io", "engine", "environment", "view", "gui-console",
           "tools", "bench"]
SUFFIXES = (".cpp", ".h")
RAW = re.compile(r"(?:->|\.)w[0-3]\b")
LINE_COMMENT = re.compile(r"//.*")
STRING = re.compile(r'"(?:[^"\\\n]|\\.)*"')


def count_raw(text):
    n = 0
    for line in text.splitlines():
        line = LINE_COMMENT.sub("", STRING.sub('""', line))
        n += len(RAW.findall(line))
    return n


def measure(root):
    counts = {}
    for folder in FOLDERS:
        top = os.path.join(root, folder)
        for dirpath, dirnames, filenames in os.walk(top):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.endswith(SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    n = count_raw(f.read())
                if n:
                    counts[os.path.relpath(path, root).replace(os.sep, "/")] = n
    return counts


def read_baseline(path):
    allowed = {}
    if not os.path.exists(path):
        return allowed
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split()
            if len(parts) != 2 or not parts[1].isdigit():
                sys.exit(f"{path}:{number}: expected 'FILE COUNT', found {line!r}")
            allowed[parts[0]] = int(parts[1])
    return allowed


def write_baseline(path, counts):
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Raw cell-word accesses (->w1, .w2 ...) allowed per file; files not\n")
        f.write("# listed are allowed none. Written by tests/tools/raw-cell-reads.py --update.\n")
        for name in sorted(counts):
            f.write(f"{name} {counts[name]}\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--baseline", required=True)
    ap.add_argument("--update", action="store_true")
    args = ap.parse_args()
    counts = measure(args.root)
    if args.update:
        write_baseline(args.baseline, counts)
        print(f"{args.baseline}: {len(counts)} files, {sum(counts.values())} raw cell-word accesses")
        return 0
    allowed = read_baseline(args.baseline)
    risen = [(name, n, allowed.get(name, 0)) for name, n in sorted(counts.items()) if n > allowed.get(name, 0)]
    fallen = [(name, counts.get(name, 0), a) for name, a in sorted(allowed.items()) if counts.get(name, 0) < a]
    for name, n, a in risen:
        print(f"{name}: {n} raw cell-word accesses, the baseline allows {a}: "
              f"read and write cells through memory/cell-access.h")
    for name, n, a in fallen:
        print(f"note: {name} is down to {n} from {a}; --update writes the lower figure down")
    return 1 if risen else 0


if __name__ == "__main__":
    sys.exit(main())
