#!/usr/bin/env python3
"""PARSE against Python's str.find: `some [thru "x"]` over a 10 MB string.

The same work on both sides: walk a 10,000,000-character string from one
"x" to the next until none is left. Vum runs `parse s [some [thru "x"]]`
(caseless, the default, and with /case); Python runs a str.find loop.
Three spacings of the "x": every 10, 100 and 10,000 characters, so the
per-match cost and the scanning speed both show. Times are per walk over
the string: the best of three timings of repeated walks, measured inside
each program around the matching only.

    python3 bench/parse-bench.py [--program BUILD/vum]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

SIZE = 10_000_000
SPACINGS = [10, 100, 10_000]
# Repetitions per timing, so that each lasts well above the 0.1 ms
# resolution of now/precise.
REPEATS = {10: 2, 100: 10, 10_000: 100}


def python_time(spacing):
    s = ("a" * (spacing - 1) + "x") * (SIZE // spacing)
    repeats = REPEATS[spacing]
    best = None
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(repeats):
            i, n = 0, 0
            while True:
                j = s.find("x", i)
                if j < 0:
                    break
                i, n = j + 1, n + 1
        elapsed = (time.perf_counter() - start) / repeats
        best = elapsed if best is None else min(best, elapsed)
    assert n == SIZE // spacing
    return best


VUM_SCRIPT = """Vum []
seconds: func [t1 t2] [to float! t2/time - t1/time]
foreach [spacing repeats] [%s] [
    s: make string! %d
    unit: append/dup make string! spacing "a" spacing - 1
    append unit "x"
    append/dup s unit %d / spacing
    foreach refinement [none case] [
        best: none
        loop 3 [
            t1: now/precise
            loop repeats [
                r: either refinement = 'case [parse/case s [some [thru "x"]]] [parse s [some [thru "x"]]]
            ]
            t2: now/precise
            t: (seconds t1 t2) / repeats
            if any [best = none t < best] [best: t]
        ]
        print [spacing refinement r best]
    ]
]
"""


def vum_times(program):
    pairs = " ".join("%d %d" % (s, REPEATS[s]) for s in SPACINGS)
    script = VUM_SCRIPT % (pairs, SIZE, SIZE)
    with tempfile.NamedTemporaryFile("w", suffix=".vum", delete=False) as f:
        f.write(script)
        path = f.name
    try:
        run = subprocess.run([program, path], capture_output=True, text=True, timeout=600)
    finally:
        os.unlink(path)
    times = {}
    for line in run.stdout.splitlines():
        parts = line.split()
        if len(parts) == 4 and parts[2] == "true":
            times[(int(parts[0]), parts[1])] = float(parts[3])
    if len(times) != 2 * len(SPACINGS):
        sys.exit("vum run failed:\n" + run.stdout + run.stderr)
    return times


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", default=os.path.join(here, "..", "build", "vum"))
    args = ap.parse_args()
    vum = vum_times(args.program)
    print("%-8s %10s %10s %10s %10s %8s" % ("spacing", "matches", "python ms", "vum ms", "/case ms", "ratio"))
    for spacing in SPACINGS:
        py = python_time(spacing)
        caseless = vum[(spacing, "none")]
        exact = vum[(spacing, "case")]
        print("%-8d %10d %10.3f %10.3f %10.3f %8.2f" % (spacing, SIZE // spacing, py * 1000, caseless * 1000,
                                                        exact * 1000, caseless / py))
    print("ratio: caseless PARSE time / Python time (target: at most 2)")


if __name__ == "__main__":
    main()
