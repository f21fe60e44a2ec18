#!/usr/bin/env python3
"""Instructions per operation of the natives the block, strcat and map
workloads lean on, counted by callgrind (which load does not move).

Each case runs its loop n times and once; the difference over n - 1 is one
iteration's cost. The loop line is the empty loop's (`repeat k n [k - 1]`),
and each case is shown with and without it. With --compare the same cases
run on a second program too, and the last column is the change.

    python3 bench/natives-bench.py [--program build/vum] [--compare OTHER/vum]
        [--count 100001]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# name, set-up, loop body (k counts from 1); the map's select runs over the
# keys the set-up put in.
CASES = [
    ("loop", "", "k - 1"),
    ("append block", "b: make block! 0", "append b k - 1"),
    ("append integer", 's: copy ""', "append s k - 1"),
    ("form integer", "", "form k - 1"),
    ("rejoin", "", 'rejoin ["k" k - 1]'),
    ("key text", "", 'append copy "k" k - 1'),
    ("map put", "d: make map! 0", 'put d append copy "k" k - 1 k'),
    ("map select", 'd: make map! 0 repeat k {n} [put d append copy "k" k - 1 k]',
     'select d append copy "k" k - 1'),
]


def instructions(program, script_text):
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "case.vum")
        with open(script, "w", encoding="utf-8") as f:
            f.write(script_text)
        out = os.path.join(folder, "callgrind.out")
        run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, program, script],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             check=False)
        if run.returncode != 0:
            sys.exit(f"{program} {script_text!r} failed:\n{run.stderr.decode('utf-8', errors='replace')}")
        m = re.search(r"Collected : (\d+)", run.stderr.decode("utf-8", errors="replace"))
        if not m:
            sys.exit("callgrind gave no count")
        return int(m.group(1))


def per_iteration(program, setup, body, n):
    def script(count):
        # The set-up always fills for n, so both runs start alike.
        return f"Vum []\n{setup.format(n=n)}\nrepeat k {count} [{body}]\n"
    return (instructions(program, script(n)) - instructions(program, script(1))) / (n - 1)


def measure(program, n):
    return {name: per_iteration(program, setup, body, n) for name, setup, body in CASES}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", default=os.path.join(HERE, "..", "build", "vum"))
    ap.add_argument("--compare", help="a second program, shown beside the first")
    ap.add_argument("--count", type=int, default=100001, help="iterations of the long run")
    args = ap.parse_args()

    results = [measure(args.program, args.count)]
    if args.compare:
        results.append(measure(args.compare, args.count))
    header = f"{'case':16} {'per iteration':>14} {'less the loop':>14}"
    if args.compare:
        header += f" {'compared':>14} {'less the loop':>14} {'change':>8}"
    print(header)
    print("-" * len(header))
    for name, _, _ in CASES:
        line = f"{name:16}"
        for r in results:
            line += f" {r[name]:14.0f} {r[name] - r['loop'] if name != 'loop' else 0:14.0f}"
        if args.compare:
            line += f" {(results[1][name] / results[0][name] - 1) * 100:+7.1f}%"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
