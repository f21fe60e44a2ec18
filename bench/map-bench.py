#!/usr/bin/env python3
"""map! against Python's dict: a million integer keys, put then select.

Runs the Vum measures (the vum-bench-map program: the same loops as Vum
code through the interpreter, and the map's handlers called directly from
C++) and the same work on a dict, then prints nanoseconds per operation,
processor time, best of three. The loop lines are the empty loops: what
each interpreter spends per iteration before any map work.

    python3 bench/map-bench.py [--program BUILD/vum-bench-map] [--count N]
"""
import argparse
import os
import subprocess
import sys
import time


def best_of_three(fn):
    best, result = None, None
    for _ in range(3):
        start = time.process_time()
        result = fn()
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def python_measures(n):
    def loop_set():
        x = 0
        for i in range(1, n + 1):
            x = i
        return x

    def loop_add():
        s = 0
        for i in range(1, n + 1):
            s = s + i
        return s

    def put():
        d = {}
        for i in range(1, n + 1):
            d[i] = i
        return len(d)

    filled = {i: i for i in range(1, n + 1)}

    def select():
        d, s = filled, 0
        for i in range(1, n + 1):
            s = s + d[i]
        return s

    def select_get():
        d, s = filled, 0
        for i in range(1, n + 1):
            s = s + d.get(i)
        return s

    def spread(i):
        return i * 40503 % 2147483648

    def put_spread():
        d = {}
        for i in range(1, n + 1):
            d[spread(i)] = i
        return len(d)

    filled_spread = {spread(i): i for i in range(1, n + 1)}

    def select_spread():
        d, s = filled_spread, 0
        for i in range(1, n + 1):
            s = s + d[spread(i)]
        return s

    def loop_spread():
        s = 0
        for i in range(1, n + 1):
            s = s + spread(i)
        return s

    out = {}
    for name, fn in [("loop-set", loop_set), ("loop-add", loop_add), ("put", put), ("select", select),
                     ("select-get", select_get), ("put-spread", put_spread), ("select-spread", select_spread),
                     ("loop-spread", loop_spread)]:
        seconds, result = best_of_three(fn)
        out[name] = (seconds * 1e9 / n, result)
    return out


def vum_measures(program, n):
    env = dict(os.environ, VUM_MAP_BENCH_COUNT=str(n))
    text = subprocess.run([program], env=env, check=True, capture_output=True, text=True).stdout
    out = {}
    for line in text.splitlines():
        name, ns, checksum = line.split()
        out[name] = (float(ns), checksum)
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(here, "..", "build", "vum-bench-map"))
    parser.add_argument("--count", type=int, default=1_000_000)
    args = parser.parse_args()
    vum = vum_measures(args.program, args.count)
    py = python_measures(args.count)
    rows = [
        ("empty loop, one set", "loop-set", "loop-set"),
        ("empty loop, s: s + i", "loop-add", "loop-add"),
        ("put m i i / d[i] = i", "put", "put"),
        ("select m i / d[i]", "select", "select"),
        ("m/:i: i / d[i] = i", "path-set", "put"),
        ("m/:i / d.get(i)", "path-get", "select-get"),
        ("put, map handler from C++", "direct-put", "put"),
        ("select, map handler from C++", "direct-select", "select"),
    ]
    print(f"{args.count} integer keys, ns per operation (processor time, best of 3)")
    print(f"{'':34} {'Vum':>9} {'Python':>9} {'ratio':>7}")
    for label, v, p in rows:
        if v not in vum:
            continue
        vn, pn = vum[v][0], py[p][0]
        print(f"{label:34} {vn:9.1f} {pn:9.1f} {vn / pn:7.2f}")
    # Keys i * 40503 mod 2^31: Python's loop computes each key, so its
    # rows have that loop (the last line) taken off.
    print("keys spread over the table (i * 40503 mod 2^31):")
    base = py["loop-spread"][0]
    for label, v, p in [("put, map handler from C++", "direct-put-spread", "put-spread"),
                        ("select, map handler from C++", "direct-select-spread", "select-spread")]:
        if v not in vum:
            continue
        vn, pn = vum[v][0], py[p][0] - base
        print(f"{label:34} {vn:9.1f} {pn:9.1f} {vn / pn:7.2f}")
    print(f"{'Python loop computing the keys':34} {'':9} {base:9.1f}")
    # Checksums agree numerically (Vum's sums are floats past 32 bits).
    for v, p in [("select", "select"), ("direct-select", "select"), ("put", "put")]:
        if v in vum and float(vum[v][1]) != float(py[p][1]):
            print(f"checksum mismatch in {v}: {vum[v][1]} against {py[p][1]}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
