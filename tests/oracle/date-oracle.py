#!/usr/bin/env python3
"""Checks the calendar of date! against Python's datetime.

    date-oracle.py --program VUM [--count N] [--seed S]

Random dates from -9999 to 9999, with and without a time and zone, go to one
vum process as a script; for each it prints the days between two dates, the
weekday, ISO week, day of the year and Sunday-based week of the first, the
first moved by a number of days, and the difference of the two as a time.
Python computes the same from datetime and the two must agree line by line.

datetime knows only years 1 to 9999; the Gregorian calendar repeats every
400 years (146097 days, a whole number of weeks), so other years are moved
into that range by whole cycles and the day counts moved back.
"""
import argparse
import datetime
import os
import random
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from pass_timeout import scaled  # noqa: E402

CYCLE_YEARS = 400
CYCLE_DAYS = 146097
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def shifted(y, m, d):
    """A datetime.date in the same place of the 400-year cycle, and the
    number of cycles it was moved by."""
    k = 0
    while y + CYCLE_YEARS * k < 1:
        k += 1
    while y + CYCLE_YEARS * k > 9999:
        k -= 1
    return datetime.date(y + CYCLE_YEARS * k, m, d), k


def day_number(y, m, d):
    date, k = shifted(y, m, d)
    return date.toordinal() - k * CYCLE_DAYS


def from_day_number(n):
    k = 0
    while n + k * CYCLE_DAYS < 1:
        k += 1
    while n + k * CYCLE_DAYS > datetime.date(9999, 12, 31).toordinal():
        k -= 1
    date = datetime.date.fromordinal(n + k * CYCLE_DAYS)
    return date.year - CYCLE_YEARS * k, date.month, date.day


def month_length(y, m):
    if m == 2:
        return 29 if (y % 4 == 0 and y % 100 != 0) or y % 400 == 0 else 28
    return [31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31][m - 1]


class Moment:
    """A date literal: calendar date, local time in whole seconds (or None)
    and zone in quarter hours east of UTC."""

    def __init__(self, rng):
        self.y = rng.randint(-9999, 9999)
        self.m = rng.randint(1, 12)
        self.d = rng.randint(1, month_length(self.y, self.m))
        self.time = rng.randrange(86400) if rng.random() < 0.5 else None
        self.zone = rng.randint(-60, 60) if self.time is not None and rng.random() < 0.7 else 0

    @property
    def offset(self):
        return self.zone * 900

    @property
    def stored(self):
        return 0 if self.time is None else self.time - self.offset

    def literal(self):
        sign = "-" if self.y < 0 else ""
        text = f"{sign}{abs(self.y):04d}-{self.m:02d}-{self.d:02d}"
        if self.time is not None:
            h, rest = divmod(self.time, 3600)
            text += f"/{h:02d}:{rest // 60:02d}:{rest % 60:02d}"
            if self.zone:
                q = abs(self.zone)
                text += f"{'-' if self.zone < 0 else '+'}{q // 4:02d}:{q % 4 * 15:02d}"
        return text


def time_text(seconds):
    sign = "-" if seconds < 0 else ""
    h, rest = divmod(abs(seconds), 3600)
    return f"{sign}{h}:{rest // 60:02d}:{rest % 60:02d}"


def date_text(y, m, d, moment):
    sep = "-" if y >= 0 else "/"
    year = f"{abs(y):04d}" if abs(y) < 100 else str(abs(y))
    text = f"{d}{sep}{MONTHS[m - 1]}{sep}{'-' if y < 0 else ''}{year}"
    if moment.time is not None:
        text += "/" + time_text(moment.time)
        if moment.zone:
            q = abs(moment.zone)
            text += f"{'-' if moment.zone < 0 else '+'}{q // 4:02d}:{q % 4 * 15:02d}"
    return text


def expected_line(a, b, n):
    da, db = day_number(a.y, a.m, a.d), day_number(b.y, b.m, b.d)
    # Whole days once the times' difference is carried in a's zone.
    days = da - db + (a.stored - b.stored + a.offset) // 86400
    date, _ = shifted(a.y, a.m, a.d)
    jan1, _ = shifted(a.y, 1, 1)
    yearday = date.timetuple().tm_yday
    sunday_first = jan1.isoweekday() % 7
    week = (yearday + sunday_first - 1) // 7 + 1
    moved = date_text(*from_day_number(da + n), a)
    difference = (da - db) * 86400 + a.stored - b.stored
    return " ".join(str(x) for x in [days, date.isoweekday(), date.isocalendar()[1], yearday, week, moved,
                                      time_text(difference)])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--count", type=int, default=10000)
    ap.add_argument("--seed", type=int, default=20240229)
    args = ap.parse_args()
    count = args.count
    # Under the collector's torture every allocation collects: a sample
    # exercises the same code at a bearable pace.
    if os.environ.get("VUM_GC_TORTURE") and "--count" not in sys.argv:
        count = 1000

    rng = random.Random(args.seed)
    cases = []
    lowest, highest = day_number(-9999, 1, 1), day_number(9999, 12, 31)
    for _ in range(count):
        a, b = Moment(rng), Moment(rng)
        da = day_number(a.y, a.m, a.d)
        n = rng.randint(max(-400000, lowest - da), min(400000, highest - da))
        cases.append((a, b, n))

    lines = ["Vum [Title: \"date oracle\"]", "foreach [a b n] ["]
    lines += [f"    {a.literal()} {b.literal()} {n}" for a, b, n in cases]
    lines.append("] [print [a - b a/weekday a/isoweek a/yearday a/week a + n difference a b]]")
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "dates.vum")
        with open(script, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        run = subprocess.run([args.program, script], capture_output=True, text=True, timeout=scaled(120))
    got = run.stdout.splitlines()
    failures = 0
    for i, (a, b, n) in enumerate(cases):
        want = expected_line(a, b, n)
        have = got[i] if i < len(got) else "<missing>"
        if have != want:
            failures += 1
            if failures <= 20:
                print(f"{a.literal()} {b.literal()} {n}\n  expected {want}\n  got      {have}")
    if len(got) != len(cases) or run.returncode != 0:
        print(f"vum exited with {run.returncode} after {len(got)} lines of {len(cases)}")
        print(run.stderr[-2000:])
        failures += 1
    print(f"{len(cases)} dates, {failures} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
