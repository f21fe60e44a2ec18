#!/usr/bin/env python3
"""Random grammars checked against Python's regular expressions.

Each case is a small PARSE rules block over short strings and the regular
expression with the same meaning: PARSE never backtracks into a rule that
has matched, so every block becomes an atomic group, every repetition a
possessive quantifier, `to` and `thru` a lazy scan inside an atomic group,
`not` and `ahead` lookarounds. A rules block succeeds when it matches and
the input is at its end: re.match of the atomic pattern followed by \\Z.
One vum process runs every case; the outputs are compared line by line.

Usage: parse-oracle.py --program VUM [--seed N] [--count N]
"""
import argparse
import os
import random
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from pass_timeout import scaled  # noqa: E402
import tempfile

if sys.version_info < (3, 11):
    sys.exit("needs Python 3.11 (possessive quantifiers and atomic groups)")

BITSETS = {"bs-a": "a", "bs-ab": "ab", "bs-bc": "bc"}


class Gen:
    def __init__(self, rng, alphabet):
        self.rng = rng
        self.alphabet = alphabet

    def text(self, lo, hi):
        return "".join(self.rng.choice(self.alphabet) for _ in range(self.rng.randint(lo, hi)))

    def terminal(self):
        """(parse text, regex) of a rule that matches in place."""
        r = self.rng.random()
        if r < 0.35:
            s = self.text(1, 2)
            return '"%s"' % s, re.escape(s)
        if r < 0.55:
            c = self.rng.choice(self.alphabet)
            return '#"%s"' % c, re.escape(c)
        if r < 0.65:
            name = self.rng.choice(sorted(BITSETS))
            # Bitsets match case-sensitively whatever the mode.
            return name, "(?-i:[%s])" % BITSETS[name]
        if r < 0.75:
            return "skip", "."
        if r < 0.80:
            return "end", r"\Z"
        if r < 0.85:
            return "none", ""
        if r < 0.88:
            return "fail", "(?!)"
        return '""', ""

    def rule(self, depth):
        if depth <= 0 or self.rng.random() < 0.3:
            return self.terminal()
        r = self.rng.random()
        if r < 0.25:
            return self.block(depth - 1)
        if r < 0.55:
            sub_p, sub_r = self.rule(depth - 1)
            if sub_p[0].isdigit():
                # A count right after a count would read as its maximum.
                sub_p, sub_r = "[%s]" % sub_p, "(?>%s)" % sub_r
            kind = self.rng.choice(["any", "some", "opt", "count", "range"])
            if kind == "any":
                return "any " + sub_p, "(?:%s)*+" % sub_r
            if kind == "some":
                return "some " + sub_p, "(?:%s)++" % sub_r
            if kind == "opt":
                return "opt " + sub_p, "(?:%s)?+" % sub_r
            if kind == "count":
                n = self.rng.randint(0, 3)
                return "%d %s" % (n, sub_p), "(?:%s){%d}+" % (sub_r, n)
            lo = self.rng.randint(0, 2)
            hi = lo + self.rng.randint(0, 2)
            return "%d %d %s" % (lo, hi, sub_p), "(?:%s){%d,%d}+" % (sub_r, lo, hi)
        if r < 0.70:
            sub_p, sub_r = self.rule(depth - 1)
            if self.rng.random() < 0.5:
                return "not " + sub_p, "(?!%s)" % sub_r
            return "ahead " + sub_p, "(?=%s)" % sub_r
        # to/thru: a literal, a character, a bitset or a block of alternatives.
        thru = self.rng.random() < 0.5
        if self.rng.random() < 0.6:
            sub_p, sub_r = self.terminal()
            if sub_p in ("skip", "end", "none", "fail"):
                sub_p, sub_r = '"%s"' % self.alphabet[0], re.escape(self.alphabet[0])
        else:
            sub_p, sub_r = self.block(depth - 1)
        if sub_p == "end":
            return ("thru end" if thru else "to end"), r"(?>.*)"
        if thru:
            return "thru " + sub_p, "(?>.*?%s)" % sub_r
        return "to " + sub_p, "(?>.*?(?=%s))" % sub_r

    def sequence(self, depth):
        items = [self.rule(depth) for _ in range(self.rng.randint(1, 3))]
        return " ".join(p for p, _ in items), "".join(r for _, r in items)

    def block(self, depth):
        alternatives = [self.sequence(depth) for _ in range(self.rng.randint(1, 3))]
        return ("[" + " | ".join(p for p, _ in alternatives) + "]",
                "(?>" + "|".join(r for _, r in alternatives) + ")")


def make_cases(seed, count):
    rng = random.Random(seed)
    cases = []
    for _ in range(count):
        caseless = rng.random() < 0.7
        alphabet = rng.choice(["ab", "abc"])
        gen = Gen(rng, alphabet)
        rules, regex = gen.block(3)
        compiled = re.compile(regex + r"\Z", re.DOTALL | (re.IGNORECASE if caseless else 0))
        # Up to three inputs that match and three that do not, from a
        # larger random draw: most random inputs fail.
        picked = {"true": [], "false": []}
        for _ in range(40):
            text = gen.text(0, 7)
            if caseless and rng.random() < 0.4:
                text = "".join(c.upper() if rng.random() < 0.5 else c for c in text)
            expected = "true" if compiled.match(text) else "false"
            if len(picked[expected]) < 3 and text not in picked[expected]:
                picked[expected].append(text)
        for expected, texts in picked.items():
            for text in texts:
                # Every other case reports to a callback, which makes the
                # engine run literal repetitions through its frames too.
                traced = len(cases) % 2 == 1
                cases.append((rules, regex, text, caseless, traced, expected))
    return cases


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--seed", type=int, default=20260101)
    ap.add_argument("--count", type=int, default=0, help="grammars (0: the default for the run)")
    args = ap.parse_args()
    count = args.count or (40 if os.environ.get("VUM_GC_TORTURE") else 400)
    cases = make_cases(args.seed, count)

    lines = ["Vum []"]
    lines += ["%s: make bitset! %s" % (name, '"%s"' % chars) for name, chars in sorted(BITSETS.items())]
    lines.append("go-on: func [event match? rule input stack] [true]")
    for rules, _, text, caseless, traced, _ in cases:
        refinements = ("" if caseless else "/case") + ("/trace" if traced else "")
        lines.append('print parse%s "%s" %s%s' % (refinements, text, rules, " :go-on" if traced else ""))
    with tempfile.NamedTemporaryFile("w", suffix=".vum", delete=False, encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
        script = f.name
    try:
        run = subprocess.run([args.program, script], capture_output=True, timeout=scaled(120))
    finally:
        os.unlink(script)
    got = run.stdout.decode("utf-8", "replace").splitlines()
    failures = 0
    for i, (rules, regex, text, caseless, traced, expected) in enumerate(cases):
        actual = got[i] if i < len(got) else "(no output)"
        if actual != expected:
            failures += 1
            if failures <= 20:
                print("MISMATCH parse%s%s %r %s\n  regex %s\n  expected %s, got %s"
                      % ("" if caseless else "/case", "/trace" if traced else "", text, rules, regex, expected,
                         actual))
    if run.returncode != 0 or len(got) != len(cases):
        print("vum exited with %d after %d of %d lines" % (run.returncode, len(got), len(cases)))
        print(run.stderr.decode("utf-8", "replace")[-2000:])
        failures += 1
    print("%d cases, %d mismatches" % (len(cases), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
