#!/usr/bin/env python3
"""Inflate speed against Python's zlib, and CRC-32 throughput.

Builds about 50 MB of text-like data (lines of words, many lines repeated,
always the same), compresses it with Python's zlib at level 6, and times our
zlib_decompress (the vum-bench-inflate program, best of five) against
zlib.decompress of the same stream into a buffer of the right size (best
of five). CRC-32 runs over 256 MB in both. Prints MB/s and our speed as a
ratio of Python's.

    python3 bench/inflate-bench.py [--program BUILD/vum-bench-inflate] [--megabytes N]
"""
import argparse
import os
import random
import subprocess
import tempfile
import time
import zlib


def text_like(size):
    rng = random.Random(1950)
    words = ["".join(rng.choice("etaoinshrdlucmfwypvbgkjqxz") for _ in range(rng.randint(1, 10)))
             for _ in range(5000)]
    lines, total = [], 0
    while total < size:
        if lines and rng.random() < 0.25:
            line = lines[rng.randrange(max(0, len(lines) - 2000), len(lines))]
        else:
            line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 16))) + "\n"
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def best_of_five(work):
    best = None
    for _ in range(5):
        start = time.perf_counter()
        work()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", default=os.path.join(here, "..", "build", "vum-bench-inflate"))
    ap.add_argument("--megabytes", type=int, default=50)
    args = ap.parse_args()

    data = text_like(args.megabytes << 20)
    stream = zlib.compress(data, 6)
    # Told the output size, as ours is, so that neither grows a buffer.
    python_inflate = best_of_five(lambda: zlib.decompress(stream, zlib.MAX_WBITS, len(data)))
    block = bytes(((i * 2654435761) >> 24) & 0xFF for i in range(1 << 16)) * 4096
    python_crc = best_of_five(lambda: zlib.crc32(block))

    with tempfile.NamedTemporaryFile(suffix=".zlib") as f:
        f.write(stream)
        f.flush()
        out = subprocess.run([args.program, f.name, str(len(data))], capture_output=True, text=True, check=True)
    ours = {}
    for line in out.stdout.splitlines():
        name, seconds, size = line.split()
        ours[name] = (float(seconds), int(size))

    mb = 1 << 20
    print(f"input {len(data) / mb:.1f} MB, zlib level 6 stream {len(stream) / mb:.1f} MB")
    ours_inflate = ours["inflate"][0]
    print(f"inflate  ours {len(data) / mb / ours_inflate:8.1f} MB/s   Python zlib {len(data) / mb / python_inflate:8.1f} MB/s"
          f"   ours/Python {python_inflate / ours_inflate:.2f}")
    crc_seconds, crc_size = ours["crc32"]
    print(f"crc32    ours {crc_size / mb / crc_seconds:8.1f} MB/s   Python zlib {len(block) / mb / python_crc:8.1f} MB/s"
          f"   ours/Python {python_crc / crc_seconds:.2f}")


if __name__ == "__main__":
    main()
