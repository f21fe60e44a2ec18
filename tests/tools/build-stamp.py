#!/usr/bin/env python3
"""The build date that `about` prints is the one the build wrote: the
stamp file generated at build time holds the moment it was written (its
own modification time, within a minute), and the program built with it
reports that moment.

    build-stamp.py --program VUM --stamp BUILD/generated/build-stamp.cpp
"""
import argparse
import datetime
import os
import re
import subprocess
import sys

DATE = r"(\d{1,2})-([A-Z][a-z]{2})-(\d{4})/(\d{1,2}):(\d{2}):(\d{2})"
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def moment(match):
    day, month, year, hour, minute, second = match.groups()
    return datetime.datetime(int(year), MONTHS.index(month) + 1, int(day), int(hour), int(minute), int(second))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--stamp", required=True)
    args = ap.parse_args()
    failures = []
    if not os.path.exists(args.stamp):
        print(f"FAIL: the build wrote no stamp at {args.stamp}")
        return 1
    with open(args.stamp, encoding="utf-8") as f:
        found = re.search('"' + DATE + '"', f.read())
    if not found:
        print("FAIL: the stamp holds no date")
        return 1
    stamped = moment(found)
    written = datetime.datetime.fromtimestamp(os.path.getmtime(args.stamp))
    if "SOURCE_DATE_EPOCH" not in os.environ and abs((written - stamped).total_seconds()) > 60:
        failures.append(f"the stamp says {stamped}, but it was written at {written}")
    run = subprocess.run([args.program], input=b"about\n", capture_output=True, timeout=60)
    out = run.stdout.decode("utf-8", errors="replace")
    shown = re.search(r"built " + DATE, out)
    if not shown:
        failures.append(f"about shows no build date: {out!r}")
    elif moment(shown) != stamped:
        failures.append(f"about shows {moment(shown)}, the build stamped {stamped}")
    for f in failures:
        print("FAIL:", f)
    print(f"{1 - bool(failures)} passed, {int(bool(failures))} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
