#!/usr/bin/env python3
"""Runs a test command with the collector's torture switch made coarser.

Usage: torture-stride.py STRIDE COMMAND...

In a torture pass (VUM_GC_TORTURE set to a stride below STRIDE) the
command runs with VUM_GC_TORTURE=STRIDE: the test still collects and moves
every buffer, at every STRIDE-th allocation, so a test whose work is large
stays within CI's time while the tests that cover the collector's paths run
with every allocation collecting. Outside a torture pass the command runs
as it stands.
"""
import os
import sys


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: torture-stride.py STRIDE COMMAND...")
    stride = int(sys.argv[1])
    try:
        current = int(os.environ.get("VUM_GC_TORTURE", "") or 0)
    except ValueError:
        current = 0
    if 0 < current < stride:
        os.environ["VUM_GC_TORTURE"] = str(stride)
    command = sys.argv[2:]
    os.execvp(command[0], command)


if __name__ == "__main__":
    main()
