#!/usr/bin/env python3
"""The type soup: every function the running program holds (natives,
actions, operators, routines and functions) called with a sample of every
datatype in every argument position.

    run-soup.py --program VUM [--sources FILE|DIR ...] [--sanitized]
                [--stride N] [--offset K] [--only NAME[/REFINEMENT]]
                [--timeout S]

tests/soup/soup.vum finds the functions itself: every value of type
any-function! under a word of the global context, and what the objects,
maps and blocks reached from there hold (system/codecs/json/encode, the
console's and the tracer's functions, a context's helpers), each function
once. It makes and runs the calls in one vum process, each under try/all,
so a language error passes; the run fails when vum ends with a fault, a
sanitizer report or a non-zero status, or does not finish within the
timeout. The word or refinement the run was in is then run again alone,
with a marker before every call, to name the call. Left out are the
functions that end the process (quit and its kin, the consoles' loops).

The sources (the files given, or every .vum file of a folder given; by
default environment/ and gui-console/; the build passes the ones it embeds) serve only to
report what the program holds beyond the words their definitions show.

Under the collector's torture switch, and in a sanitized build, one call in
a stride runs, which keeps the run within CI's time; --stride and --offset
choose the share by hand (stride 4 with offsets 0 to 3 covers every call in
four runs).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from pass_timeout import scaled  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEFINITION = re.compile(
    r"^([^\s;:/\[\]\"]+): (?:make (?:native|action|op)! |func\b|function\b|does\b|has\b|boot-routine\b)")
# A function a context makes for the global word it sets; the words such a
# context defines for itself are indented and stay out.
SET_IN_CONTEXT = re.compile(r"^\s*set '([^\s;:\[\]\"]+) (?:func|function|does|has)\b")
SANITIZER = re.compile(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|SUMMARY: UndefinedBehaviorSanitizer")


def source_files(sources):
    files = []
    for path in sources:
        if os.path.isdir(path):
            files += sorted(os.path.join(path, n) for n in os.listdir(path) if n.endswith(".vum"))
        else:
            files.append(path)
    return files


def words(sources):
    names = []
    for name in source_files(sources):
        with open(name, encoding="utf-8") as f:
            for line in f:
                m = DEFINITION.match(line) or SET_IN_CONTEXT.match(line)
                if m and m.group(1) not in names:
                    names.append(m.group(1))
    return names


def vum_string(text):
    return '"' + text.replace("^", "^^").replace('"', '^"') + '"'


def run(args, only=None, verbose=False, stride=1, offset=0):
    with open(os.path.join(HERE, "soup.vum"), encoding="utf-8") as f:
        body = f.read()
    # The header stays first; the settings go right after it.
    header_end = body.index("\n") + 1
    settings = [
        "soup-only: " + (vum_string(only) if only else "none"),
        "soup-verbose: " + ("true" if verbose else "false"),
        f"soup-stride: {stride}",
        f"soup-offset: {offset}",
    ]
    script_text = body[:header_end] + "\n".join(settings) + "\n" + body[header_end:]
    with tempfile.TemporaryDirectory(prefix="vum-soup-") as folder:
        script = os.path.join(folder, "soup.vum")
        with open(script, "w", encoding="utf-8") as f:
            f.write(script_text)
        with open(os.path.join(folder, "soup-file.txt"), "w", encoding="utf-8") as f:
            f.write("soup\n")
        # browse hands its argument to xdg-open: a stand-in that does
        # nothing comes first on PATH, so no browser opens on the desk.
        opener_dir = os.path.join(folder, "soup-bin")
        os.mkdir(opener_dir)
        opener = os.path.join(opener_dir, "xdg-open")
        with open(opener, "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(opener, 0o700)
        env = dict(os.environ)
        env["PATH"] = opener_dir + os.pathsep + env.get("PATH", "")
        # The cache-through functions make their folders under the cache
        # folder: one of the soup's own, not the user's.
        env["XDG_CACHE_HOME"] = os.path.join(folder, "soup-cache")
        # No window opens on the desk, and gui-test is there to be called.
        env["VUM_DISPLAY"] = "headless"
        try:
            done = subprocess.run([args.program, script], cwd=folder, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=args.timeout, env=env)
            return done.returncode, done.stdout.decode("utf-8", "replace"), \
                done.stderr.decode("utf-8", "replace"), False
        except subprocess.TimeoutExpired as e:
            out = (e.stdout or b"").decode("utf-8", "replace")
            err = (e.stderr or b"").decode("utf-8", "replace")
            return None, out, err, True


def report_difference(names, found):
    """What the running program holds beyond what the sources' definitions
    show, and the definitions it did not reach (a context's own words)."""
    found_set, names_set = set(found), set(names)
    beyond = [n for n in found if n not in names_set]
    unreached = [n for n in names if n not in found_set]
    print(f"{len(names)} defined in the sources' forms; {len(beyond)} more reached in the "
          f"program: {' '.join(beyond)}")
    if unreached:
        print(f"defined but not reached: {' '.join(unreached)}")


def failure(code, out, err, timed_out):
    if timed_out:
        return "no end within the timeout"
    if code != 0:
        return f"exit status {code}"
    if SANITIZER.search(err):
        return "sanitizer report"
    if not re.search(r"@@soup-done \d+", out):
        return "no end marker"
    return None


def last(pattern, out):
    found = re.findall(pattern, out)
    return found[-1] if found else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--sources", nargs="+", default=[os.path.join(HERE, "..", "..", "environment"),
                                                     os.path.join(HERE, "..", "..", "gui-console")])
    ap.add_argument("--sanitized", action="store_true")
    ap.add_argument("--stride", type=int)
    ap.add_argument("--offset", type=int, default=0)
    ap.add_argument("--only")
    ap.add_argument("--timeout", type=float, help="seconds; by default 120 scaled to the pass")
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    if args.timeout is None:
        args.timeout = scaled(120)

    stride, offset = args.stride, args.offset
    if stride is None:
        # Each pass of test.sh takes a different share of the calls: under
        # torture every allocation is a full collection, some 5 ms a call,
        # and 8 ms with the sanitizers too.
        torture = os.environ.get("VUM_GC_TORTURE", "") not in ("", "0")
        stride, offset = {(False, False): (1, 0), (False, True): (2, 1),
                          (True, False): (200, 0), (True, True): (800, 7)}[(torture, args.sanitized)]
    offset %= stride
    names = words(args.sources)
    code, out, err, timed_out = run(args, args.only, bool(args.only), stride, offset)
    why = failure(code, out, err, timed_out)
    if why is None:
        calls = last(r"@@soup-done (\d+)", out)
        found = re.findall(r"@@soup-word (\S+)$", out, re.M)
        print(f"{len(found)} functions, {calls} calls, stride {stride}: no fault")
        report_difference(names, found)
        return 0

    print(f"type soup failed: {why}")
    print("\n".join(out.splitlines()[-10:]))
    print(err[-4000:])
    where = last(r"@@soup (\S+)", out)
    if where and not args.only:
        print(f"in {where}; again alone, naming each call:")
        code, out, err, timed_out = run(args, where, True, stride, offset)
        again = failure(code, out, err, timed_out)
        call = last(r"@@soup-call (.*)", out)
        if again:
            print(f"{again} at: {call}")
            print(err[-4000:])
        else:
            print("alone it passes; the fault needs the calls before it")
    elif args.only:
        call = last(r"@@soup-call (.*)", out)
        print(f"at: {call}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
