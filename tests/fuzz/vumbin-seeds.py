#!/usr/bin/env python3
"""Writes a seed corpus for vumbin-decode-fuzz: hand-built serialised-value
files, compact and fixed, that between them hold every record kind the
decoder reads (shared series, self-reference, words bound to objects and
functions, natives, operators, errors, maps, hashes ...).

    python3 tests/fuzz/vumbin-seeds.py /tmp/vumbin-corpus
"""
import os
import struct
import sys


def uv(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def sv(n):
    return uv(((n << 1) ^ (n >> 31)) & 0xFFFFFFFF)


def u32(n):
    return struct.pack("<I", n & 0xFFFFFFFF)


def f64(d):
    return struct.pack("<d", d)


def f32(f):
    return struct.pack("<f", f)


def symbol_table(symbols, varint):
    names = b""
    offsets = b""
    for s in symbols:
        offsets += u32(len(names))
        names += s.encode() + b"\0"
    count = uv if varint else u32
    return count(len(symbols)) + count(len(names)) + offsets + names


def compact(records, symbols=()):
    flags = 1 | (4 if symbols else 0)
    out = b"VUMBIN" + bytes([2, flags]) + uv(1) + uv(len(records))
    if symbols:
        out += symbol_table(symbols, True)
    return out + records


def fixed(records, symbols=()):
    flags = 4 if symbols else 0
    out = b"VUMBIN" + bytes([2, flags]) + u32(1) + u32(len(records))
    if symbols:
        out += symbol_table(symbols, False)
    return out + records


def date_word(year, month, day, time):
    return year << 17 | (1 << 16 if time else 0) | month << 12 | day << 7


AB = ("a", "b")
OBJECT = b"\x20" + sv(7) + b"\x0e\x12\x02\x00\x01\x85\x05\x01\xc1\x4f\x00" + sv(0) + b"\x01\x00"

COMPACT = [
    (b"\x85\x0b\x80\x01\x0b\x01\xc2\xc3\x03\x02\x3f\x0b\x0a", ()),
    (b"\x4c\x04\x0c" + f64(2.5) + b"\x66" + sv(250) + b"\x6b" + sv(3661) + b"\x25" + sv(640) + sv(-480), ()),
    (b"\x0a\x41\x27\x01\x02\x03\x67\x04\x0a\x00\x00\x01\x01\x07\x21\x02\x00\x10", ()),
    (b"\x31" + bytes(9) + b"\x01\x23\x40" + b"\x2f" + u32(date_word(2020, 1, 1, False)), ()),
    (b"\x6f" + u32(date_word(2020, 1, 1, True)) + f64(37800), ()),
    (b"\x07\x0cabc\x07\x0d\x61\x00\xe9\x00\xac\x20\x07\x06\x00\xf6\x01\x00\x08\x0cabc\x29\x03\x01\x02\x03", ()),
    (b"\x05\x03\x85\xc0\x86\x06\x01\x87\x24\x02\x85\x86", ()),
    (b"\x23\x2d\x03\x01\x00\x02\x00\x03\x00\x23\x33\x01" + f64(1.5) + b"\x1e\x02\x80\x40\x5e\x01\xff", ()),
    (b"\x33" + f32(1.5) + f32(2.0) + b"\x34" + f32(1.0) + f32(2.0) + f32(3.0), ()),
    (b"\x0f\x00\x10\x00\x11\x00\x12\x00\x13\x00\x14\x01\x19\x02\x0f\x00\x0f\x01", AB),
    (b"\x28\x04\x10\x00\x85\x0f\x01\x86", AB),
    (b"\x05\x02\x05\x02\x07\x08ab\xc1\x07\x03\x00\x00\x00\xc1\x45\x01\x02\x00\x00", ()),
    (b"\x05\x02\x85\xc1\x05\x01\x00\xff\x02\x00\x00", ()),
    (OBJECT, AB),
    (b"\x4f\x00" + sv(0) + OBJECT + b"\xc1\x50\x01" + sv(1) + b"\x01\x00", AB),
    (b"\x60" + sv(0) + sv(1 << 16 | 2) + sv(-65536) + b"\x0e\x12\x02\x00\x01\x85\x86", ("a", "on-change*")),
    (b"\x18\x01\x01\x0e\x05\x01\x00\x05\x01\x0f\x00\x05\x01\xc1\x4f\x00" + sv(0) + b"\x01\x00"
     b"\xc1\x18\x01\x00\xff\x03\x00\x01\x00", ("x",)),
    (b"\x15\x01\x05\x02\x0f\x00\x0f\x01\x16\x01\x05\x00\x17\x15\x01\x05\x02\x0f\x00\x0f\x01", AB),
    (b"\x17\x18\x02\x00\x0e\x05\x02\x00\x01\x05\x02\x0f\x00\x0f\x01\x05\x00", AB),
    (b"\x22" + uv(300) + b"\x85\x07\x0cabc\x03\x03\x03\x05\x00", ()),
    (b"\x0e\x12\x01\x00\x85", ("a",)),
]

FIXED = [
    (u32(0x0B) + u32(5) + u32(0x03) + u32(0) + u32(0x04) + u32(1) + u32(0x0C) + f64(2.5), ()),
    (u32(0x2F) + u32(date_word(2020, 1, 1, True)) + f64(37800) + u32(0x27 | 4 << 8) + bytes([10, 0, 0, 1]) + bytes(8), ()),
    (u32(0x07 | 1 << 8) + u32(0) + u32(3) + b"abc\0" + u32(0x29 | 1 << 8) + u32(0) + u32(2) + b"\x01\x02\0\0", ()),
    (u32(0x05) + u32(0) + u32(2) + u32(0x0B) + u32(5) + u32(0x05 | 1 << 19) + u32(0) + u32(1) + u32(0), ()),
    (u32(0x23 | 2 << 8) + u32(0) + u32(2) + u32(0x0B) + b"\x01\x00\x02\x00" + u32(0x1E | 1 << 23) + u32(1) + b"\xff\0\0\0", ()),
    (u32(0x0F | 1 << 25) + u32(0) + u32(0) + u32(0x14) + u32(1) + u32(0x28) + u32(2) + u32(0x10 | 1 << 25) + u32(1)
     + u32(0) + u32(0x0B) + u32(5), AB),
    (u32(0x20) + u32(0) + u32(0x0E | 2 << 26 | 1 << 30) + u32(1) + u32(0) + u32(0x0B) + u32(5)
     + u32(0x0F | 1 << 19) + u32(0) + u32(0) + u32(1) + u32(0), ("a",)),
]


def packed(file):
    """The same file with its body in an LZ container of literals only: each
    byte a 0 bit and its 8 bits, least significant first, in one block."""
    body = file[8:]
    bits = []
    for b in body:
        bits.append(0)
        bits.extend((b >> i) & 1 for i in range(8))
    while len(bits) % 8:
        bits.append(0)
    stream = bytes(sum(bits[i + k] << k for k in range(8)) for i in range(0, len(bits), 8))
    block = u32(len(body)) + stream
    header = file[:7] + bytes([file[7] | 2])
    return header + u32(len(block)) + u32(len(body)) + block


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else "vumbin-corpus"
    os.makedirs(target, exist_ok=True)
    files = [compact(r, s) for r, s in COMPACT] + [fixed(r, s) for r, s in FIXED]
    files += [packed(files[0]), packed(compact(*COMPACT[13]))]
    for i, data in enumerate(files):
        with open(os.path.join(target, "seed-%02d" % i), "wb") as f:
            f.write(data)
    print("%d seeds in %s" % (len(files), target))


if __name__ == "__main__":
    main()
