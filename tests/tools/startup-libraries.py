#!/usr/bin/env python3
"""The shared libraries start-up maps: the large ones live in modules loaded
on first use, so a console waiting at its first prompt has mapped none of
them; a digest, the first use of the cryptographic library, maps it; a
script that has used no GUI word has not mapped the view module (nor Pango
or Cairo), and the first GUI word maps it.

    python3 tests/tools/startup-libraries.py --program build/vum
"""
import argparse
import os
import select
import subprocess
import sys
import time

# Libraries (by file name prefix) that only a module may bring in.
LOADED_ON_FIRST_USE = ["libcrypto", "libssl", "libcurl", "libpng", "libjpeg", "libtiff", "libgif",
                       "libcairo", "libSDL2", "libX11", "libpango", "libfontconfig", "libfreetype",
                       "libvum-view", "libvum-windows"]
# What the first GUI word brings in.
GUI_LIBRARIES = ["libvum-view.so", "libvum-windows.so", "libpangocairo", "libcairo", "libfontconfig"]
TIMEOUT = 30.0


def read_until(process, marker, seen):
    """Reads the program's output until it ends with `marker`."""
    deadline = time.monotonic() + TIMEOUT
    fd = process.stdout.fileno()
    while not seen.endswith(marker):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise TimeoutError(f"no {marker!r} within {TIMEOUT} s; output so far: {seen!r}")
        chunk = os.read(fd, 65536)
        if not chunk:
            raise EOFError(f"the program ended before {marker!r}; output: {seen!r}")
        seen += chunk.decode("utf-8", errors="replace")
    return seen


def mapped(pid):
    names = set()
    with open(f"/proc/{pid}/maps") as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 6:
                names.add(os.path.basename(fields[5]))
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    args = ap.parse_args()
    # Headless, so that gui-test is there to be the first GUI word.
    process = subprocess.Popen([args.program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, env=dict(os.environ, VUM_DISPLAY="headless"))
    failures = []
    try:
        seen = read_until(process, ">> ", "")
        at_prompt = mapped(process.pid)
        early = sorted(n for n in at_prompt if any(n.startswith(p) for p in LOADED_ON_FIRST_USE))
        if early:
            failures.append("mapped at the first prompt: " + ", ".join(early))
        process.stdin.write(b"checksum \"abc\" 'md5\n")
        process.stdin.flush()
        seen = read_until(process, "\n>> ", seen)
        if "900150983CD24FB0D6963F7D28E17F72" not in seen:
            failures.append("the digest came out wrong: " + seen)
        after = mapped(process.pid)
        for name in ("libvum-digest.so", "libcrypto"):
            if not any(n.startswith(name) for n in after):
                failures.append(f"{name} not mapped after a digest")
        gui = sorted(n for n in after if any(n.startswith(p) for p in GUI_LIBRARIES))
        if gui:
            failures.append("mapped before any GUI word: " + ", ".join(gui))
        process.stdin.write(b"gui-test/font-family \"Arial\"\n")
        process.stdin.flush()
        seen = read_until(process, "\n>> ", "")
        if '"Liberation Sans"' not in seen:
            failures.append("the first GUI word did not answer: " + seen)
        after_gui = mapped(process.pid)
        for name in GUI_LIBRARIES:
            if not any(n.startswith(name) for n in after_gui):
                failures.append(f"{name} not mapped after the first GUI word")
    finally:
        process.stdin.close()
        process.wait(timeout=TIMEOUT)
    for f in failures:
        print("FAIL:", f)
    print("ok" if not failures else f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
