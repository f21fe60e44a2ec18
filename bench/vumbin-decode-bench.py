#!/usr/bin/env python3
"""Serialised-value decoding against Python's pickle: a million mixed
values (ten kinds, a hundred thousand times each), decoded from the compact
and the fixed form by the vum-bench-vumbin-decode program, and the same
list loaded by pickle.loads (highest protocol). Prints processor
milliseconds, best of five, and the bytes of each file.

    python3 bench/vumbin-decode-bench.py [--program BUILD/vum-bench-vumbin-decode]
"""
import argparse
import os
import pickle
import subprocess
import sys
import time


def pickle_measure(rounds):
    values = []
    for _ in range(rounds):
        values.extend([1, 2.5, "abc", "foo", ["x", "y"], "c", (1, 2, 3), 1000, None, -7])
    data = pickle.dumps(values, pickle.HIGHEST_PROTOCOL)
    best = None
    for _ in range(5):
        start = time.process_time()
        pickle.loads(data)
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    return best * 1e3, len(data)


def main():
    parser = argparse.ArgumentParser()
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--program", default=os.path.join(here, "..", "build", "vum-bench-vumbin-decode"))
    parser.add_argument("--rounds", type=int, default=100000)
    args = parser.parse_args()
    env = dict(os.environ, VUM_VUMBIN_BENCH_ROUNDS=str(args.rounds))
    out = subprocess.run([args.program], env=env, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("the benchmark program failed:\n" + out.stderr)
    reference, size = pickle_measure(args.rounds)
    print("%-16s %10s %12s %8s" % ("measure", "ms", "bytes", "/pickle"))
    for line in out.stdout.split("\n"):
        if not line.strip():
            continue
        name, ms, nbytes = line.split()
        print("%-16s %10.1f %12s %8.2f" % (name, float(ms), nbytes, float(ms) / reference))
    print("%-16s %10.1f %12d %8.2f" % ("pickle.loads", reference, size, 1.0))


if __name__ == "__main__":
    main()
