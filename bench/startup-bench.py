#!/usr/bin/env python3
"""Start-up time: the program from its start to the end of an empty input
(`vum < /dev/null`: the whole environment loaded, the first prompt shown)
beside a bare Python start (`python3 -I -S -c pass`) as the reference.

The machine is shared, so one run says little: both programs are pinned to
one core (--cpu, default 7) and run alternately, pair by pair, the order
flipping each pair, so a burst of load hits both alike. The report gives
each one's median and best, the ratio of the medians and the median of the
pairs' ratios; then how the boot image's part splits between decoding and
running the modules (VUM_BOOT_TIMING, median of the runs). With --callgrind
it also counts both programs' instructions, which load does not move.

    python3 bench/startup-bench.py --program build/vum [--runs 40] [--cpu 7]
        [--python PATH] [--callgrind]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run_once(command, env=None):
    start = time.perf_counter()
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=env, check=False)
    return (time.perf_counter() - start) * 1000


def boot_split(program):
    env = dict(os.environ, VUM_BOOT_TIMING="1")
    run = subprocess.run([program], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, env=env, check=False)
    text = run.stderr.decode("utf-8", errors="replace")
    m = re.search(r"decode ([\d.]+) ms, run ([\d.]+) ms", text)
    return (float(m.group(1)), float(m.group(2))) if m else None


def instructions(command):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + command,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, check=False)
        m = re.search(r"Collected : (\d+)", run.stderr.decode("utf-8", errors="replace"))
        return int(m.group(1)) if m else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--runs", type=int, default=40)
    ap.add_argument("--cpu", type=int, default=7, help="the core both programs run on (-1: any)")
    ap.add_argument("--python", default=sys.executable, help="the Python to compare with")
    ap.add_argument("--callgrind", action="store_true", help="count instructions as well")
    args = ap.parse_args()

    if args.cpu >= 0:
        os.sched_setaffinity(0, {args.cpu})  # the children inherit it
    vum_command = [args.program]
    python_command = [args.python, "-I", "-S", "-c", "pass"]
    # One start of each first, so neither pays for a cold page cache.
    run_once(vum_command)
    run_once(python_command)
    vum, python, ratios = [], [], []
    for i in range(args.runs):
        if i % 2 == 0:
            v = run_once(vum_command)
            p = run_once(python_command)
        else:
            p = run_once(python_command)
            v = run_once(vum_command)
        vum.append(v)
        python.append(p)
        ratios.append(v / p)

    where = f"core {args.cpu}" if args.cpu >= 0 else "any core"
    print(f"{args.runs} paired runs on {where}       median     best")
    print(f"vum < /dev/null              {statistics.median(vum):7.2f} ms {min(vum):7.2f} ms")
    print(f"python3 -I -S -c pass        {statistics.median(python):7.2f} ms {min(python):7.2f} ms")
    print(f"ratio of the medians         {statistics.median(vum) / statistics.median(python):7.2f}")
    print(f"median of the pairs' ratios  {statistics.median(ratios):7.2f}")

    splits = [s for s in (boot_split(args.program) for _ in range(min(args.runs, 20))) if s]
    if splits:
        decode = statistics.median(s[0] for s in splits)
        run = statistics.median(s[1] for s in splits)
        print(f"boot image (median of {len(splits)}): decode {decode:.3f} ms, run {run:.3f} ms")
    else:
        print("(no boot image: the environment was loaded from its sources)")

    if args.callgrind:
        if not shutil.which("valgrind"):
            print("(no valgrind: instructions not counted)")
        else:
            vi = instructions(vum_command)
            pi = instructions(python_command)
            if vi and pi:
                print(f"instructions: vum {vi:,}, python {pi:,}, ratio {vi / pi:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
