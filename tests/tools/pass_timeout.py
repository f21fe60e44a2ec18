"""Timeouts that follow the pass a test runs in.

A timeout only catches a hang, so it is set for the plain build and grows
with what the pass costs: under the collector's torture switch every
allocation collects (a coarser stride costs less), and the sanitizers slow
everything again. CTest's own timeout for these tests is set above the
largest of them, so the runner's message is the one that shows.
"""
import os


def pass_factor():
    factor = 1.0
    try:
        stride = int(os.environ.get("VUM_GC_TORTURE", "") or 0)
    except ValueError:
        stride = 0
    if stride > 0:
        factor *= max(2.0, 10.0 / stride)
    if os.environ.get("VUM_TEST_SANITIZED", "") not in ("", "0"):
        factor *= 3.0
    return factor


def scaled(seconds):
    return seconds * pass_factor()
