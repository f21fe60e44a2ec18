#!/usr/bin/env python3
"""Holds the runtime's layering: a source may include headers of its own
floor and of the floors below it, never of one above. The order, lowest
first:

    platform < base < memory < datatypes < io < engine < environment
             < view < view/windows < gui-console

Only the composition root, which starts every floor and hands the program
its top level, reaches up (ALLOWED). Lower floors that need something of a
higher one get it through what start-up gives them, not an include.

    layering-check.py --root SOURCE_DIR
    layering-check.py --self-test

Each upward include is printed as FILE:LINE: FROM -> TO ("HEADER") and the
status is 1. Includes outside the floors (the generated headers, the
standard library) are not edges. --self-test runs the check over a small
tree with edges planted in it.
"""

import argparse
import os
import re
import sys
import tempfile

ORDER = ["platform", "base", "memory", "datatypes", "io", "engine", "environment",
         "view", "view/windows", "gui-console"]
ALLOWED = {"base/runtime-init.cpp", "base/main.cpp"}
SOURCE_SUFFIXES = (".h", ".cpp")
INCLUDE = re.compile(r'\s*#\s*include\s*"([^"]+)"')


def floor_of(path):
    """The floor a path (relative to the root, with "/") lies in: the
    longest floor that is a folder prefix of it, so that view/windows/x.h is
    in view/windows, not view. None outside every floor."""
    best = None
    for floor in ORDER:
        if path.startswith(floor + "/") and (best is None or len(floor) > len(best)):
            best = floor
    return best


def sources(root):
    """Every source file of the floors, relative to the root, in a stable
    order. A floor's subfolders belong to it unless they are floors
    themselves (view/windows under view)."""
    found = []
    for floor in ORDER:
        top = os.path.join(root, floor)
        if not os.path.isdir(top):
            continue
        for folder, dirs, files in os.walk(top):
            dirs.sort()
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                if floor_of(rel) == floor:
                    found.append(rel)
    return found


def upward_edges(root):
    """(file, line, from floor, to floor, header) for each include that
    points up the order, the allowed files left out."""
    rank = {floor: i for i, floor in enumerate(ORDER)}
    edges = []
    for rel in sources(root):
        if rel in ALLOWED:
            continue
        here = floor_of(rel)
        with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                there = floor_of(m.group(1))
                if there is not None and rank[there] > rank[here]:
                    edges.append((rel, number, here, there, m.group(1)))
    return edges


def check(root):
    edges = upward_edges(root)
    for rel, number, here, there, header in edges:
        print(f'{rel}:{number}: {here} -> {there} ("{header}") points up the layering')
    if edges:
        print(f"{len(edges)} upward include(s); only {', '.join(sorted(ALLOWED))} may reach up")
        return 1
    print(f"layering holds over {len(sources(root))} files")
    return 0


def self_test():
    """The check over a planted tree: it must name exactly the upward edges,
    and pass the same tree once they are gone."""
    files = {
        "memory/a.cpp": '#include "memory/b.h"\n#include "engine/interpreter.h"\n#include "base/x.h"\n',
        "memory/b.h": '// #include "gui-console/c.h" in a comment is no edge\n#include <vector>\n',
        "datatypes/d.cpp": '#include "io/files.h"\n#include "generated/native-ids.h"\n',
        "view/v.cpp": '#include "view/windows/w.h"\n',
        "view/windows/w.cpp": '#include "view/v.h"\n#  include "gui-console/g.h"\n',
        "platform/sub/p.cpp": '#include "base/b.h"\n',
        "base/runtime-init.cpp": '#include "engine/interpreter.h"\n',
        "base/main.cpp": '#include "gui-console/terminal-console.h"\n',
        "gui-console/g.cpp": '#include "platform/p.h"\n',
    }
    expected = [
        ("datatypes/d.cpp", 1, "datatypes", "io", "io/files.h"),
        ("memory/a.cpp", 2, "memory", "engine", "engine/interpreter.h"),
        ("platform/sub/p.cpp", 1, "platform", "base", "base/b.h"),
        ("view/v.cpp", 1, "view", "view/windows", "view/windows/w.h"),
        ("view/windows/w.cpp", 2, "view/windows", "gui-console", "gui-console/g.h"),
    ]
    with tempfile.TemporaryDirectory() as root:
        for rel, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        found = sorted(upward_edges(root))
        if found != expected:
            print("planted edges: expected", expected, "found", found)
            return 1
        if check(root) != 1:
            print("the planted tree passed")
            return 1
        for rel, *_ in expected:
            os.remove(os.path.join(root, rel))
        if check(root) != 0:
            print("the tree without its upward edges failed")
            return 1
    print("self-test passed")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", help="the source tree")
    ap.add_argument("--self-test", action="store_true")
    args = ap.parse_args()
    if args.self_test:
        return self_test()
    if not args.root:
        ap.error("--root is required")
    return check(args.root)


if __name__ == "__main__":
    sys.exit(main())
