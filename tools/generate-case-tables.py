#!/usr/bin/env python3
"""Writes memory/case-tables.h and memory/case-tables.cpp: the character
property tables of the runtime (case pairs and display-width ranges).

The output is committed; the build never runs this. Run it again only to
change a rule below, and commit what it writes:

    npm install --prefix /tmp/ucd @unicode/unicode-11.0.0@2.0.7
    python3.11 tools/generate-case-tables.py \
        /tmp/ucd/node_modules/@unicode/unicode-11.0.0 memory

Sources and rules:

Case pairs: Unicode 11.0.0, from the npm package @unicode/unicode-11.0.0
(2.0.7), its Simple_Case_Mapping maps (the UnicodeData.txt of that version).
  upper pairs: each BMP code point whose simple uppercase mapping differs
    from it. 1,175 pairs. Case conversion works in place, one code point for
    one, so a character whose full mapping is longer (U+00DF to "SS", U+FB01
    to "FI") keeps its simple mapping, mostly itself, rather than the first
    letter of the longer one, which would change the word.
  lower pairs: each BMP code point whose simple lowercase mapping differs
    from it. 1,158 pairs.
  astral pairs: the same simple upper and lower mappings above U+FFFF
    (Deseret, Osage, Old Hungarian, Warang Citi, Medefaidrin, Adlam).
    225 pairs each.
  Both newer and older Unicode versions give other counts; 11.0 is the one
  whose data give exactly these.

Width ranges: Python 3.11's unicodedata (Unicode 14.0.0; its ucd_3_2_0 view
for the old ambiguous set).
  zero width: General_Category Mn and Me of 14.0, merged into ranges; then
    the format characters U+0600-U+0605, U+061C, U+06DD, U+070F and the
    Hangul vowel and final jamo U+1160-U+11FF and U+D7B0-U+D7FF added as
    ranges of their own (not merged with neighbouring marks). 339 ranges.
  wide: East_Asian_Width W and F of the assigned code points of 14.0, with
    the unassigned code points that default to W (U+3400-U+4DBF,
    U+4E00-U+9FFF, U+F900-U+FAFF, and the planes U+20000-U+2FFFD and
    U+30000-U+3FFFD, kept whole), less the Mn and Me marks. 122 ranges.
  ambiguous: East_Asian_Width A as Unicode 5.0 published it (before 9.0 moved
    U+2614-U+2615 and others to W): the A code points of 3.2 plus the A
    characters that 4.0 added (U+24FF, U+2614-U+2615), less the code points
    of category Mn, Me or Cf (so U+00AD is out). 156 ranges.
"""

import base64
import gzip
import json
import os
import re
import sys
import unicodedata


def load_npm_map(package, relative):
    text = open(os.path.join(package, relative), encoding="utf-8").read()
    match = re.search(r"Buffer\.from\('([^']+)'", text)
    if not match:
        sys.exit("no encoded map in " + relative)
    return dict((k, v) for k, v in json.loads(gzip.decompress(base64.b64decode(match.group(1)))))


def merge(code_points):
    ranges = []
    for c in sorted(set(code_points)):
        if ranges and ranges[-1][1] == c - 1:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return [tuple(r) for r in ranges]


UPPER_PAIRS = 1175


def case_pairs(package):
    upper = load_npm_map(package, "Simple_Case_Mapping/Uppercase/code-points.mjs")
    lower = load_npm_map(package, "Simple_Case_Mapping/Lowercase/code-points.mjs")
    upper_bmp = sorted((c, m) for c, m in upper.items() if c <= 0xFFFF and m != c)
    lower_bmp = sorted((c, m) for c, m in lower.items() if c <= 0xFFFF and m != c)
    upper_astral = sorted((c, m) for c, m in upper.items() if c > 0xFFFF and m != c)
    lower_astral = sorted((c, m) for c, m in lower.items() if c > 0xFFFF and m != c)
    expect(len(upper_bmp) == UPPER_PAIRS, "upper pairs", len(upper_bmp))
    expect(len(lower_bmp) == 1158, "lower pairs", len(lower_bmp))
    expect(len(upper_astral) == 225 and len(lower_astral) == 225, "astral pairs", len(upper_astral), len(lower_astral))
    expect(upper_bmp[0] == (0x61, 0x41) and upper_bmp[-1] == (0xFF5A, 0xFF3A), "upper ends")
    expect(lower_bmp[0] == (0x41, 0x61) and lower_bmp[-1] == (0xFF3A, 0xFF5A), "lower ends")
    expect(upper_astral[0] == (0x10428, 0x10400) and upper_astral[-1] == (0x1E943, 0x1E921), "astral ends")
    return upper_bmp, lower_bmp, upper_astral, lower_astral


def width_ranges():
    expect(unicodedata.unidata_version == "14.0.0", "unicodedata is", unicodedata.unidata_version)
    category = lambda c: unicodedata.category(chr(c))
    marks = [c for c in range(0x110000) if category(c) in ("Mn", "Me")]
    extra = [(0x0600, 0x0605), (0x061C, 0x061C), (0x06DD, 0x06DD), (0x070F, 0x070F),
             (0x1160, 0x11FF), (0xD7B0, 0xD7FF)]
    zero = sorted(merge(marks) + extra)
    expect(all(zero[i][1] < zero[i + 1][0] for i in range(len(zero) - 1)), "zero-width ranges overlap")

    mark_set = set(marks)
    default_wide = [(0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF)]
    planes = [(0x20000, 0x2FFFD), (0x30000, 0x3FFFD)]
    wide_points = set()
    for c in range(0x20000):
        if category(c) != "Cn" and unicodedata.east_asian_width(chr(c)) in ("W", "F"):
            wide_points.add(c)
    for first, last in default_wide:
        wide_points.update(range(first, last + 1))
    for c in range(0x40000, 0x110000):
        if category(c) != "Cn" and unicodedata.east_asian_width(chr(c)) in ("W", "F"):
            wide_points.add(c)
    wide = sorted(merge(wide_points - mark_set) + planes)

    old = unicodedata.ucd_3_2_0
    excluded = ("Mn", "Me", "Cf")
    ambiguous_points = [c for c in range(0x110000) if old.east_asian_width(chr(c)) == "A"]
    ambiguous_points += [0x24FF, 0x2614, 0x2615]
    ambiguous = merge(c for c in ambiguous_points
                      if old.category(chr(c)) not in excluded and category(c) not in excluded)

    expect(len(zero) == 339, "zero-width ranges", len(zero))
    expect(len(wide) == 122, "wide ranges", len(wide))
    expect(len(ambiguous) == 156, "ambiguous ranges", len(ambiguous))
    expect(zero[:3] == [(0x300, 0x36F), (0x483, 0x489), (0x591, 0x5BD)] and zero[-1] == (0xE0100, 0xE01EF), "zero ends")
    expect(wide[:2] == [(0x1100, 0x115F), (0x231A, 0x231B)] and wide[-3:] ==
           [(0x1FAF0, 0x1FAF6), (0x20000, 0x2FFFD), (0x30000, 0x3FFFD)], "wide ends")
    expect(ambiguous[:5] == [(0xA1, 0xA1), (0xA4, 0xA4), (0xA7, 0xA8), (0xAA, 0xAA), (0xAE, 0xAE)] and
           ambiguous[-4:] == [(0xE000, 0xF8FF), (0xFFFD, 0xFFFD), (0xF0000, 0xFFFFD), (0x100000, 0x10FFFD)],
           "ambiguous ends")
    expect((0x2614, 0x2615) in ambiguous, "U+2614-U+2615 ambiguous")
    return zero, wide, ambiguous


def expect(ok, what, *got):
    if not ok:
        sys.exit("unexpected data: " + what + " " + " ".join(str(g) for g in got))


def rows(pairs, per_line):
    lines = []
    for i in range(0, len(pairs), per_line):
        chunk = pairs[i:i + per_line]
        lines.append("    " + " ".join("0x%04X, 0x%04X," % p for p in chunk))
    return "\n".join(lines)


HEADER_NOTE = """\
// Generated by tools/generate-case-tables.py; do not edit by hand.
// Case pairs: Unicode 11.0.0, simple (one to one) mappings.
// Width ranges: Unicode 14.0.0 marks and East_Asian_Width, and the
// ambiguous width of Unicode 5.0. The generator states the exact rules.
"""


def write(out_dir, upper, lower, upper_astral, lower_astral, zero, wide, ambiguous):
    tables = [
        ("case_map", "upper_pairs", upper, "{code point, uppercase form} of the BMP, by code point: %d pairs"),
        ("case_map", "lower_pairs", lower, "{code point, lowercase form} of the BMP, by code point: %d pairs"),
        ("case_map", "upper_pairs_astral", upper_astral, "The same above U+FFFF: %d pairs"),
        ("case_map", "lower_pairs_astral", lower_astral, "The same above U+FFFF: %d pairs"),
        ("unicode", "zero_width_ranges", zero, "Inclusive {first, last} ranges that take no column: %d ranges"),
        ("unicode", "wide_ranges", wide, "Ranges that take two columns: %d ranges"),
        ("unicode", "ambiguous_ranges", ambiguous, "Ranges that take two columns in East Asian text: %d ranges"),
    ]
    h = [HEADER_NOTE, "#pragma once\n#include <cstdint>\n\n"]
    cpp = [HEADER_NOTE, '#include "memory/case-tables.h"\n\n']
    for space in ("case_map", "unicode"):
        h.append("namespace vum::%s {\n" % space)
        cpp.append("namespace vum::%s {\n" % space)
        for ns, name, data, note in tables:
            if ns != space:
                continue
            h.append("// %s.\n" % (note % len(data)))
            h.append("constexpr int32_t %s_values = %d;\n" % (name, 2 * len(data)))
            h.append("extern const uint32_t %s[%s_values];\n\n" % (name, name))
            cpp.append("const uint32_t %s[%s_values] = {\n%s\n};\n\n" % (name, name, rows(data, 4)))
        h.append("}  // namespace vum::%s\n\n" % space)
        cpp.append("}  // namespace vum::%s\n\n" % space)
    for file_name, parts in (("case-tables.h", h), ("case-tables.cpp", cpp)):
        with open(os.path.join(out_dir, file_name), "w", encoding="utf-8") as f:
            f.write("".join(parts).rstrip("\n") + "\n")


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: generate-case-tables.py UNICODE-11-PACKAGE-DIR OUTPUT-DIR")
    upper, lower, upper_astral, lower_astral = case_pairs(sys.argv[1])
    zero, wide, ambiguous = width_ranges()
    write(sys.argv[2], upper, lower, upper_astral, lower_astral, zero, wide, ambiguous)


if __name__ == "__main__":
    main()
