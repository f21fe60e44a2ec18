#!/usr/bin/env python3
"""Holds our deflate, zlib and gzip routines against Python's zlib and gzip.

    deflate-oracle.py --probe BUILD/tests/vum-deflate-probe

For every input of a table (empty, one byte, long runs, random bytes, text
with long repeats, a mix), Python must decode what the probe encodes in each
of the three formats, and the probe must decode what Python encodes at
levels 0 (stored blocks), 1, 6 and 9 (dynamic blocks) and with fixed-code,
Huffman-only and run-length strategies; a gzip header carrying a name, a
comment, extra data and a header CRC is built here too.
"""
import argparse
import gzip
import os
import random
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from pass_timeout import scaled  # noqa: E402

WBITS = {"deflate": -15, "zlib": 15, "gzip": 31}


def text_like(n, seed):
    rng = random.Random(seed)
    words = ["".join(rng.choice("etaoinshrdlucmfwyp") for _ in range(rng.randint(2, 9))) for _ in range(400)]
    lines, size = [], 0
    while size < n:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(3, 14))) + "\n"
        if lines and rng.random() < 0.3:
            line = rng.choice(lines)  # whole lines repeat, as in logs and sources
        lines.append(line)
        size += len(line)
    return "".join(lines).encode()[:n]


def inputs():
    rng = random.Random(1951)
    return {
        "empty": b"",
        "one byte": b"\xa7",
        "64 KB of one byte": b"\x00" * 65536,
        "1 MB random": rng.randbytes(1 << 20),
        "text with repeats": text_like(300_000, 7) * 2,
        "every byte value": bytes(range(256)) * 40,
        "runs and noise": b"".join(bytes([rng.randrange(256)]) * rng.randrange(1, 300) + rng.randbytes(20)
                                   for _ in range(2000)),
    }


def python_encode(method, data, level, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, WBITS[method], 9, strategy)
    return c.compress(data) + c.flush()


def gzip_with_header_fields(data):
    """A gzip member with FEXTRA, FNAME, FCOMMENT and FHCRC set."""
    flags = 0x02 | 0x04 | 0x08 | 0x10
    header = b"\x1f\x8b\x08" + bytes([flags]) + struct.pack("<I", 123456789) + b"\x00\x03"
    header += struct.pack("<H", 5) + b"AB\x00CD" + b"name.txt\x00" + b"a comment\x00"
    header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    trailer = struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    return header + python_encode("deflate", data, 6) + trailer


class Oracle:
    def __init__(self, probe):
        self.probe = probe
        self.failures = 0
        self.checks = 0

    def run(self, method, direction, data):
        r = subprocess.run([self.probe, method, direction], input=data, capture_output=True,
                           timeout=scaled(60))
        return r.returncode, r.stdout

    def check(self, ok, what):
        self.checks += 1
        if not ok:
            self.failures += 1
            print("FAIL:", what)

    def ours_to_python(self, name, data):
        for method in WBITS:
            code, stream = self.run(method, "compress", data)
            if code != 0:
                self.check(False, f"{name}: {method} compress exited {code}")
                continue
            decoded = gzip.decompress(stream) if method == "gzip" else zlib.decompress(stream, WBITS[method])
            self.check(decoded == data, f"{name}: Python decodes our {method} stream")

    def python_to_ours(self, name, data):
        variants = [(level, zlib.Z_DEFAULT_STRATEGY, f"level {level}") for level in (0, 1, 6, 9)]
        variants += [(6, zlib.Z_FIXED, "fixed codes"), (6, zlib.Z_HUFFMAN_ONLY, "Huffman only"),
                     (6, zlib.Z_RLE, "run-length")]
        for method in WBITS:
            for level, strategy, label in variants:
                stream = python_encode(method, data, level, strategy)
                code, decoded = self.run(method, "decompress", stream)
                self.check(code == 0 and decoded == data,
                           f"{name}: our {method} decoder on Python's {label} (exit {code})")
        code, decoded = self.run("gzip", "decompress", gzip_with_header_fields(data))
        self.check(code == 0 and decoded == data, f"{name}: gzip with every header field (exit {code})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--probe", required=True)
    args = ap.parse_args()
    oracle = Oracle(args.probe)
    for name, data in inputs().items():
        oracle.ours_to_python(name, data)
        oracle.python_to_ours(name, data)
    print(f"{oracle.checks} checks, {oracle.failures} failed")
    return 1 if oracle.failures else 0


if __name__ == "__main__":
    sys.exit(main())
