#!/usr/bin/env python3
"""Encoding a million mixed values: the serialised-value encoders against
Python's pickle (protocol 5) on the same mixture.

Runs vum-bench-vumbin (both forms) and pickles the equivalent list (words
and times become str and float), then prints nanoseconds per value,
processor time, best of three, and the sizes.

    python3 bench/vumbin-bench.py [--program BUILD/vum-bench-vumbin] [--count N]
"""
import argparse
import os
import pickle
import subprocess
import sys
import time


def mixture(n):
    values = []
    for i in range(n):
        k = i % 8
        if k == 0:
            values.append(i % 64)
        elif k == 1:
            values.append(i * 1000)
        elif k == 2:
            values.append(i + 0.5)
        elif k == 3:
            values.append(f"text {i}")
        elif k == 4:
            values.append(sys.intern(f"word{i % 1000}"))
        elif k == 5:
            values.append(None if i % 16 == 5 else True)
        elif k == 6:
            values.append([i, "x"])
        else:
            values.append(float((i % 24) * 3600 + 1800))
    return values


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", default=os.path.join(here, "..", "build", "vum-bench-vumbin"))
    parser.add_argument("--count", type=int, default=1_000_000)
    args = parser.parse_args()

    env = dict(os.environ, VUM_VUMBIN_BENCH_COUNT=str(args.count))
    text = subprocess.run([args.program], env=env, check=True, capture_output=True, text=True).stdout
    vum = {}
    for line in text.splitlines():
        name, ns, size = line.split()
        vum[name] = (float(ns), int(size))

    values = mixture(args.count)
    best, size = None, 0
    for _ in range(3):
        start = time.process_time()
        size = len(pickle.dumps(values, protocol=5))
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    pickle_ns = best * 1e9 / args.count

    print(f"{args.count} mixed values, ns per value (processor time, best of 3)")
    print(f"{'':24} {'ns':>8} {'bytes':>10} {'ratio':>7}")
    for name in ("compact", "fixed"):
        if name in vum:
            ns, size_v = vum[name]
            print(f"{'vumbin ' + name:24} {ns:8.1f} {size_v:10d} {ns / pickle_ns:7.2f}")
    print(f"{'pickle':24} {pickle_ns:8.1f} {size:10d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
