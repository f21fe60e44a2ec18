#!/usr/bin/env python3
"""Runs the eight-workload suite in Tcl, Python and Vum, one after the other,
checks that the three agree on every checksum and prints each language's
time with the ratios of Vum and Tcl to Python.

    python3 bench/run-bench.py [--program BUILD/vum] [--reference-dir DIR]

Checksums compare as numbers: Vum's integers become floats past 32 bits, so
"4499998500000.0" equals "4499998500000". Exits 1 when a checksum differs or
a program fails.
"""
import argparse
import os
import subprocess
import sys
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = "fib loop strcat block map sort trees method".split()


def run(label, command):
    print(f"running {label}: {' '.join(command)}", file=sys.stderr, flush=True)
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{label} failed (exit {done.returncode}):\n{done.stdout}{done.stderr}")
    results = {}
    for line in done.stdout.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] in NAMES:
            results[parts[0]] = (parts[1], float(parts[2]))
    return results


def same_number(a, b):
    # exact rationals: no rounding can make two different checksums agree
    try:
        return Fraction(a) == Fraction(b)
    except (ValueError, ZeroDivisionError):
        return a == b


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=os.path.join(HERE, "..", "build", "vum"),
                        help="the vum binary (default: build/vum)")
    parser.add_argument("--reference-dir", default=os.path.join(HERE, "..", "..", "shared", "bench"),
                        help="where bench.py and bench.tcl are (default: ../shared/bench)")
    args = parser.parse_args()

    langs = [
        ("tcl", ["tclsh", os.path.join(args.reference_dir, "bench.tcl")]),
        ("python", ["python3", os.path.join(args.reference_dir, "bench.py")]),
        ("vum", [args.program, os.path.join(HERE, "bench.vum")]),
    ]
    results = {label: run(label, command) for label, command in langs}

    mismatches = []
    header = f"{'bench':8} {'checksum':>16} {'python ms':>10} {'tcl ms':>10} {'vum ms':>10} {'tcl/py':>7} {'vum/py':>7}"
    print(header)
    print("-" * len(header))
    for name in NAMES:
        missing = [label for label, _ in langs if name not in results[label]]
        if missing:
            mismatches.append(f"{name}: no result from {', '.join(missing)}")
            print(f"{name:8} {'MISSING':>16}")
            continue
        py_sum, py_ms = results["python"][name]
        tcl_sum, tcl_ms = results["tcl"][name]
        vum_sum, vum_ms = results["vum"][name]
        agree = same_number(py_sum, tcl_sum) and same_number(py_sum, vum_sum)
        if not agree:
            mismatches.append(f"{name}: python {py_sum}, tcl {tcl_sum}, vum {vum_sum}")
        shown = py_sum if agree else "MISMATCH"
        ratio = lambda ms: f"{ms / py_ms:7.2f}" if py_ms > 0 else f"{'-':>7}"
        print(f"{name:8} {shown:>16} {py_ms:10.1f} {tcl_ms:10.1f} {vum_ms:10.1f} {ratio(tcl_ms)} {ratio(vum_ms)}")

    if mismatches:
        print("\nCHECKSUM MISMATCH:", file=sys.stderr)
        for m in mismatches:
            print("  " + m, file=sys.stderr)
        return 1
    print("\nall checksums agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
