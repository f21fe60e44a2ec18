#!/usr/bin/env python3
"""The file services where a transcript cannot reach: each case runs a
small script in a temporary folder of its own, with what the case needs
made around it (a pipe on standard input, a named pipe with a writer, a
file with a given modification time, a name that is not UTF-8, a stand-in
xdg-open on PATH), and compares what the script prints.

    file-services.py --program VUM [--only NAME]

The folder is removed afterwards, whatever happened.
"""
import argparse
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pass_timeout import scaled  # noqa: E402

HEADER = "Vum []\n"


def payload(size, seed):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(size))


def signed32(n):
    return n - (1 << 32) if n >= 1 << 31 else n


def opener(folder, body):
    """A stand-in xdg-open in folder/bin, doing `body` (sh)."""
    bin_dir = os.path.join(folder, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    path = os.path.join(bin_dir, "xdg-open")
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body + "\n")
    os.chmod(path, stat.S_IRWXU)
    return {"PATH": bin_dir + ":/usr/bin:/bin"}


# ---- Cases: each prepares the folder and gives the script, its input, the
# environment to add and the expected lines (a function of the folder). ----

def case_stdin_pipe(folder):
    # More than the 64 KB a read takes at a time, through a pipe that
    # reports no size and cannot be read twice.
    data = payload(300_000, 1)
    script = 'd: read/binary %/dev/stdin print [length? d checksum d \'crc32]'
    return script, data, {}, [f"{len(data)} {signed32(zlib.crc32(data))}"]


def case_stdin_text(folder):
    text = ("line\r\n" * 20_000 + "last\rend").encode()
    script = 'lines: read/lines %/dev/stdin print [length? lines mold last lines]'
    return script, text, {}, ['20002 "end"']


def case_fifo_seek(folder):
    # A named pipe cannot be positioned: the bytes before the seek are read
    # and dropped. The writer may meet a reader that has gone.
    data = payload(200_000, 2)
    fifo = os.path.join(folder, "fifo")
    os.mkfifo(fifo)

    def feed():
        try:
            with open(fifo, "wb") as f:
                f.write(data)
        except BrokenPipeError:
            pass

    threading.Thread(target=feed, daemon=True).start()
    script = 'print enbase/base read/binary/seek/part %fifo 100000 8 16'
    return script, b"", {}, [data[100_000:100_008].hex().upper()]


def case_query_time(folder):
    path = os.path.join(folder, "dated.txt")
    with open(path, "w") as f:
        f.write("x")
    os.utime(path, ns=(1_700_000_000_123_456_789, 1_700_000_000_123_456_789))
    script = 'd: query %dated.txt print [d d/zone]'
    return script, b"", {}, ["14-Nov-2023/22:13:20.123 0:00:00"]


def case_odd_name(folder):
    # A name that is not UTF-8 keeps its bytes: each byte outside UTF-8 is
    # listed as U+DC00 plus the byte, molds as ^(DCxx), and the listed name
    # (as it is, or molded and loaded back) opens the file again; a name
    # made with such a character writes that byte. Other names come through
    # as they are.
    odd = os.path.join(folder.encode(), b"odd")
    os.makedirs(os.path.join(odd, b"d\xff"))
    for name, text in ((b"caf\xe9", "one"), ("é€.txt".encode(), "two"), (b"d\xff/x\xe2\x82y", "three")):
        with open(os.path.join(odd, name), "w") as f:
            f.write(text)
    script = '\n'.join([
        'names: sort read %odd/',
        'print mold names',
        'foreach name names [print exists? append copy %odd/ load mold name]',
        'print read append copy %odd/ names/1',
        'inner: append copy %odd/ names/2',
        'print mold read inner',
        'print read append copy inner first read inner',
        'write %"odd/new^(DCE9)" "four"',
    ])
    expected = ['[%"caf^(DCE9)" %"d^(DCFF)/" %é€.txt]', "true", "true", "true", "one",
                '[%"x^(DCE2)^(DC82)y"]', "three"]

    def check():
        # The byte itself reached the system.
        with open(os.path.join(odd, b"new\xe9")) as f:
            return f.read() == "four"
    return script, b"", {}, expected, check


def case_browse_hands_over(folder):
    env = opener(folder, 'printf "%s\\n" "$@" >> "$(dirname "$0")/../args.txt"')
    script = '\n'.join([
        'browse http://example.org/a%20b?q=1',
        'browse %"page one.html"',
        'print read %args.txt',
    ])
    return script, b"", env, ["http://example.org/a%20b?q=1", os.path.join(folder, "page one.html")]


def case_browse_fails(folder):
    env = opener(folder, "exit 4")
    script = 'print none? attempt [browse %page.html]\nbrowse http://example.org/'
    return script, b"", env, ["true", "*** Access Error: cannot open: http://example.org/", "..."]


def case_browse_without_opener(folder):
    os.makedirs(os.path.join(folder, "empty-bin"))
    env = {"PATH": os.path.join(folder, "empty-bin")}
    script = 'browse %page.html'
    return script, b"", env, ["*** Access Error: cannot open: %page.html", "..."]


def case_browse_long_opener(folder):
    # An opener that goes on running does not hold browse up, and is reaped
    # when it ends: its /proc entry goes away instead of staying a zombie.
    env = opener(folder, 'echo $$ > "$(dirname "$0")/../pid.txt"\nexec sleep 4')
    script = '\n'.join([
        'browse http://example.org/',
        'entry: rejoin [%/proc/ first read/lines %pid.txt %/stat]',
        'print either exists? entry ["still running"] ["ended early"]',
        'loop 600 [if not exists? entry [break] wait 0.05]',
        'print either exists? entry [rejoin ["state " first find/tail read entry ") "]] ["reaped"]',
    ])
    return script, b"", env, ["still running", "reaped"]


CASES = {name[5:]: fn for name, fn in sorted(globals().items()) if name.startswith("case_")}

def matches(expected, actual):
    i = 0
    for k, line in enumerate(expected):
        if line == "...":
            return True
        if i >= len(actual) or actual[i] != line:
            return False
        i += 1
    return i == len(actual)


def run_case(program, name, fn, timeout):
    folder = tempfile.mkdtemp(prefix="vum-file-services-")
    try:
        folder = os.path.realpath(folder)
        script, stdin, env_add, expected, *after = fn(folder)
        path = os.path.join(folder, "case.vum")
        with open(path, "w", encoding="utf-8") as f:
            f.write(HEADER + script + "\n")
        env = dict(os.environ)
        env.update(env_add)
        run = subprocess.run([program, path], cwd=folder, input=stdin, capture_output=True,
                             timeout=timeout, env=env)
        actual = run.stdout.decode("utf-8", "replace").split("\n")
        while actual and actual[-1] == "":
            actual.pop()
        if not matches(expected, actual):
            print(f"{name}: expected\n  " + "\n  ".join(expected) + "\ngot\n  " + "\n  ".join(actual))
            if run.stderr:
                print("stderr:\n" + run.stderr.decode("utf-8", "replace"))
            return False
        for check in after:
            if not check():
                print(f"{name}: the folder is not as the script should have left it")
                return False
        return True
    except subprocess.TimeoutExpired:
        print(f"{name}: no end within {timeout} s")
        return False
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--only")
    args = ap.parse_args()
    program = os.path.abspath(args.program)
    failed = [name for name, fn in CASES.items()
              if (not args.only or name == args.only) and not run_case(program, name, fn, scaled(60))]
    if failed:
        print("failed: " + " ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
