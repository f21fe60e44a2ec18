#!/usr/bin/env python3
"""Start-up time: the program from its start to the end of an empty input
(`vum < /dev/null`: the whole environment loaded, the first prompt shown),
best of N runs, beside a bare Python start as the reference; then how the
boot image's part of it splits between decoding and running the modules
(VUM_BOOT_TIMING, from one more run).

    python3 bench/startup-bench.py --program build/vum [--runs 20]
"""
import argparse
import os
import subprocess
import sys
import time


def best_of(command, runs, env=None):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=env, check=False)
        best = min(best, time.perf_counter() - start)
    return best * 1000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--runs", type=int, default=20)
    args = ap.parse_args()

    vum = best_of([args.program], args.runs)
    python = best_of([sys.executable, "-I", "-S", "-c", "pass"], args.runs)
    print(f"vum < /dev/null        {vum:7.2f} ms (best of {args.runs})")
    print(f"python3 -I -S -c pass  {python:7.2f} ms")
    print(f"ratio                  {vum / python:7.2f}")

    env = dict(os.environ, VUM_BOOT_TIMING="1")
    run = subprocess.run([args.program], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, env=env, check=False)
    split = run.stderr.decode("utf-8", errors="replace").strip()
    print(split if split else "(no boot image: the environment was loaded from its sources)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
