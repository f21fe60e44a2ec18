#!/usr/bin/env python3
"""Holds our image codecs against PIL, both ways.

    image-codecs-interop.py --tool BUILD/tests/vum-image-codec-tool

PIL must read what our encoders write (PNG, TIFF and BMP with alpha
exactly, GIF exactly for few colours and within the colour cube's step for
many, JPEG as our own decoder reads it), and our decoder must give the
pixels PIL gives for files PIL writes in each colour type, depth and
compression it offers, and for a few layouts built here by hand (interlaced
and 16-bit PNG, bit-mask, top-down and OS/2 BMP). Nothing is kept on disk.
"""
import argparse
import io
import os
import random
import struct
import subprocess
import sys
import zlib

try:
    from PIL import Image
except ImportError:
    # PIL comes as Debian's python3-pil; a Python of its own earlier on the
    # path (a pyenv one, say) does not see it, the system's does.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pass_timeout import scaled  # noqa: E402

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


class Tool:
    def __init__(self, path):
        self.path = path

    def run(self, args, data):
        return subprocess.run([self.path] + args, input=data, capture_output=True, timeout=scaled(60))

    def decode(self, data):
        """(width, height, RGBA bytes) or None with the reason printed."""
        r = self.run(["decode"], data)
        if r.returncode != 0:
            print("  our decoder refused:", r.stderr.decode(errors="replace").strip())
            return None
        w, h = struct.unpack_from("<II", r.stdout)
        return w, h, bgra_to_rgba(r.stdout[8:])

    def encode(self, fmt, image):
        rgba = image.convert("RGBA")
        r = self.run(["encode", fmt], struct.pack("<II", *rgba.size) + rgba_to_bgra(rgba.tobytes()))
        if r.returncode != 0:
            print("  our encoder refused:", r.stderr.decode(errors="replace").strip())
            return None
        return r.stdout


def bgra_to_rgba(b):
    out = bytearray(b)
    out[0::4], out[2::4] = b[2::4], b[0::4]
    return bytes(out)


rgba_to_bgra = bgra_to_rgba


def max_difference(a, b, channels=(0, 1, 2, 3)):
    return max((abs(a[i + c] - b[i + c]) for i in range(0, len(a), 4) for c in channels), default=0)


def pil_rgba(data):
    with Image.open(io.BytesIO(data)) as im:
        im.seek(0)
        return im.convert("RGBA")


def sample_image(width, height, seed, alpha=True):
    """Distinct pixels, with partial alpha when asked."""
    rng = random.Random(seed)
    im = Image.new("RGBA", (width, height))
    im.putdata([(rng.randrange(256), rng.randrange(256), rng.randrange(256),
                 rng.randrange(256) if alpha else 255) for _ in range(width * height)])
    return im


def gradient(width, height):
    im = Image.new("RGBA", (width, height))
    im.putdata([(x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1), (x + y) * 127 // (width + height), 255)
                for y in range(height) for x in range(width)])
    return im


def few_colours(width, height):
    palette = [(255, 0, 0, 255), (0, 128, 255, 255), (10, 20, 30, 255), (0, 0, 0, 0), (200, 200, 0, 60)]
    im = Image.new("RGBA", (width, height))
    im.putdata([palette[(x * 3 + y) % len(palette)] for y in range(height) for x in range(width)])
    return im


# --- our encoders, PIL's decoder ---------------------------------------------

def check_our_encoders(tool):
    for size in [(3, 2), (37, 23)]:
        image = sample_image(*size, seed=size[0])
        for fmt in ["png", "tiff", "bmp"]:
            data = tool.encode(fmt, image)
            check(data is not None and pil_rgba(data).tobytes() == image.tobytes(),
                  f"PIL reads our {fmt} {size} exactly, alpha included")
        opaque = sample_image(*size, seed=size[1], alpha=False)
        for fmt in ["png", "tiff"]:
            data = tool.encode(fmt, opaque)
            check(data is not None and pil_rgba(data).tobytes() == opaque.tobytes(), f"PIL reads our opaque {fmt} {size}")

    image = few_colours(19, 7)
    data = tool.encode("gif", image)
    got = list(pil_rgba(data).getdata()) if data else []
    # Pixels below half opacity become the transparent entry, whose colour
    # does not matter; the others keep their colour, opaque.
    check(len(got) == image.size[0] * image.size[1] and all(
        g[3] == 0 if p[3] < 128 else g == p[:3] + (255,) for p, g in zip(image.getdata(), got)),
        "PIL reads our few-colour GIF exactly, transparency included")

    image = gradient(64, 48)
    data = tool.encode("gif", image)
    got = pil_rgba(data).tobytes() if data else b""
    # The 6x7x6 cube's nearest level is at most half a step away.
    check(len(got) == len(image.tobytes()) and max_difference(got, image.tobytes(), (0, 2)) <= 26
          and max_difference(got, image.tobytes(), (1,)) <= 22, "PIL reads our many-colour GIF within the cube's step")

    for image in [gradient(40, 30), sample_image(3, 2, seed=5, alpha=False)]:
        data = tool.encode("jpeg", image)
        ours = tool.decode(data) if data else None
        theirs = pil_rgba(data).tobytes() if data else b""
        check(ours is not None and ours[2] == theirs, f"our JPEG {image.size} decodes as PIL decodes it")
        check(max_difference(theirs, image.tobytes()) <= (8 if image.size[0] > 3 else 24),
              f"our JPEG {image.size} keeps the colours closely")


# --- PIL's encoders, our decoder ---------------------------------------------

def compare_with_pil(tool, name, data, tolerance=0, colour_of_transparent=True, expected=None):
    """`expected` stands in for PIL's reading where PIL's own conversion to
    RGBA is not the reference (it clips 16-bit grey instead of scaling)."""
    if expected is None:
        with Image.open(io.BytesIO(data)) as im:
            im.seek(0)
            expected = im.convert("RGBA")
    ours = tool.decode(data)
    if ours is None:
        check(False, f"{name}: our decoder refused it")
        return
    w, h, rgba = ours
    check((w, h) == expected.size, f"{name}: size {(w, h)} against PIL's {expected.size}")
    if (w, h) != expected.size:
        return
    theirs = expected.tobytes()
    if not colour_of_transparent:  # alpha-0 pixels may carry any colour
        rgba = bytes(0 if rgba[i - i % 4 + 3] == 0 else rgba[i] for i in range(len(rgba)))
        theirs = bytes(0 if theirs[i - i % 4 + 3] == 0 else theirs[i] for i in range(len(theirs)))
    difference = max_difference(rgba, theirs)
    check(difference <= tolerance, f"{name}: differs from PIL by {difference} (allowed {tolerance})")


def pil_save(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, fmt, **options)
    return out.getvalue()


def check_pil_files(tool):
    base = sample_image(29, 17, seed=11)
    rgb, grey = base.convert("RGB"), base.convert("L")
    palette = base.convert("RGB").quantize(16)
    palette_alpha = palette.copy()
    palette_alpha.info["transparency"] = 3
    bilevel = grey.convert("1")
    grey16 = grey.point(lambda v: v * 256 + (v & 0x7F), "I").convert("I;16")  # high byte: the grey
    cases = [
        ("PNG RGBA", pil_save(base, "PNG"), {}),
        ("PNG RGB", pil_save(rgb, "PNG"), {}),
        ("PNG grey", pil_save(grey, "PNG"), {}),
        ("PNG grey+alpha", pil_save(base.convert("LA"), "PNG"), {}),
        ("PNG palette", pil_save(palette, "PNG"), {}),
        ("PNG 4-bit palette with tRNS", pil_save(palette, "PNG", bits=4, transparency=3), {}),
        ("PNG 1-bit", pil_save(bilevel, "PNG"), {}),
        ("PNG grey with tRNS", pil_save(grey, "PNG", transparency=grey.getpixel((0, 0))), {}),
        ("PNG RGB with tRNS", pil_save(rgb, "PNG", transparency=rgb.getpixel((1, 0))), {}),
        ("PNG 16-bit grey", pil_save(grey16, "PNG"), {"expected": grey.convert("RGBA")}),
        ("PNG interlaced 16-bit RGBA", handmade_png(base, 16, interlaced=True), {}),
        ("PNG interlaced 8-bit RGB", handmade_png(rgb.convert("RGBA"), 8, interlaced=True, alpha=False), {}),
        ("BMP RGB", pil_save(rgb, "BMP"), {}),
        ("BMP RGBA (alpha byte unused)", pil_save(base, "BMP"), {}),
        ("BMP grey", pil_save(grey, "BMP"), {}),
        ("BMP palette", pil_save(palette, "BMP"), {}),
        ("BMP 1-bit", pil_save(bilevel, "BMP"), {}),
        ("BMP 16-bit 565 top-down", handmade_bmp_565(rgb), {"tolerance": 1}),
        ("BMP 4-bit OS/2", handmade_bmp_core_4bit(palette), {}),
        ("GIF palette", pil_save(palette, "GIF"), {}),
        ("GIF with transparency", pil_save(palette_alpha, "GIF", transparency=3), {"colour_of_transparent": False}),
        ("GIF interlaced 64x40", pil_save(gradient(64, 40).convert("RGB").quantize(200), "GIF", interlace=True), {}),
        ("GIF animated, frame 0", pil_save(palette, "GIF", save_all=True,
                                           append_images=[palette.transpose(Image.FLIP_LEFT_RIGHT)]), {}),
        ("TIFF RGB raw", pil_save(rgb, "TIFF"), {}),
        ("TIFF RGBA LZW", pil_save(base, "TIFF", compression="tiff_lzw"), {}),
        ("TIFF RGBA deflate", pil_save(base, "TIFF", compression="tiff_adobe_deflate"), {}),
        ("TIFF RGB packbits", pil_save(rgb, "TIFF", compression="packbits"), {}),
        ("TIFF grey", pil_save(grey, "TIFF"), {}),
        ("TIFF grey+alpha", pil_save(base.convert("LA"), "TIFF"), {}),
        ("TIFF 1-bit", pil_save(bilevel, "TIFF"), {}),
        ("TIFF 1-bit group 4", pil_save(bilevel, "TIFF", compression="group4"), {}),
        ("TIFF palette", pil_save(palette, "TIFF"), {}),
        ("TIFF 16-bit grey", pil_save(grey16, "TIFF"), {"expected": grey.convert("RGBA")}),
        ("TIFF CMYK", pil_save(rgb.convert("CMYK"), "TIFF"), {"tolerance": 1}),
        ("TIFF premultiplied RGBA", handmade_tiff(base, premultiplied=True, order="<"), {"tolerance": 1}),
        ("TIFF big-endian RGBA", handmade_tiff(base, premultiplied=False, order=">"), {}),
        ("TIFF JPEG-compressed", pil_save(rgb, "TIFF", compression="jpeg"), {"tolerance": 2}),
        ("JPEG RGB 4:2:0", pil_save(rgb, "JPEG", quality=85), {"tolerance": 1}),
        ("JPEG RGB progressive", pil_save(gradient(64, 40).convert("RGB"), "JPEG", progressive=True), {"tolerance": 1}),
        ("JPEG grey", pil_save(grey, "JPEG"), {"tolerance": 1}),
        ("JPEG CMYK", pil_save(rgb.convert("CMYK"), "JPEG"), {"tolerance": 1}),
    ]
    for name, data, options in cases:
        compare_with_pil(tool, name, data, **options)


# --- files built by hand ------------------------------------------------------

def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def handmade_png(image, depth, interlaced, alpha=True):
    """RGBA or RGB, 8 or 16 bits a sample, optionally Adam7-interlaced."""
    w, h = image.size
    pixels = list(image.getdata())
    channels = 4 if alpha else 3

    def sample(p):
        values = p[:channels]
        if depth == 8:
            return bytes(values)
        return b"".join(struct.pack(">H", v * 257 ^ (v & 0x5A)) for v in values)  # low bytes vary

    def rows(xs, ys):
        return b"".join(b"\x00" + b"".join(sample(pixels[y * w + x]) for x in xs) for y in ys)

    if interlaced:
        raw = b"".join(rows(range(x0, w, dx), range(y0, h, dy)) for x0, y0, dx, dy in ADAM7
                       if x0 < w and y0 < h)
    else:
        raw = rows(range(w), range(h))
    header = struct.pack(">IIBBBBB", w, h, depth, 6 if alpha else 2, 0, 0, 1 if interlaced else 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(raw))
            + png_chunk(b"IEND", b""))


def bmp_file(info, palette, pixel_rows):
    offset = 14 + len(info) + len(palette)
    data = b"".join(pixel_rows)
    return b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + info + palette + data


def handmade_bmp_565(image):
    """16 bits a pixel with 5-6-5 masks in a version 4 header, rows top-down."""
    w, h = image.size
    stride = (w * 2 + 3) // 4 * 4
    rows = []
    for y in range(h):
        row = b"".join(struct.pack("<H", (r >> 3) << 11 | (g >> 2) << 5 | b >> 3)
                       for r, g, b in (image.getpixel((x, y)) for x in range(w)))
        rows.append(row.ljust(stride, b"\0"))
    info = struct.pack("<IiiHHIIiiII", 108, w, -h, 1, 16, 3, stride * h, 2835, 2835, 0, 0)
    info += struct.pack("<IIII", 0xF800, 0x07E0, 0x001F, 0).ljust(108 - 40, b"\0")
    return bmp_file(info, b"", rows)


def handmade_bmp_core_4bit(image):
    """The 12-byte OS/2 header, 4 bits a pixel, a palette of 3-byte entries."""
    w, h = image.size
    colours = image.getpalette()[:48]
    palette = b"".join(bytes([colours[i + 2], colours[i + 1], colours[i]]) for i in range(0, 48, 3))
    stride = (w * 4 + 31) // 32 * 4
    rows = []
    for y in reversed(range(h)):
        indices = [image.getpixel((x, y)) for x in range(w)] + [0]
        rows.append(bytes(indices[x] << 4 | indices[x + 1] for x in range(0, w, 2)).ljust(stride, b"\0"))
    info = struct.pack("<IHHHH", 12, w, h, 1, 4)
    return bmp_file(info, palette, rows)


def handmade_tiff(image, premultiplied, order):
    """Uncompressed 8-bit RGBA in one strip, alpha associated or not, in
    either byte order."""
    w, h = image.size
    if premultiplied:
        data = bytes(v * p[3] // 255 if i < 3 else v for p in image.getdata() for i, v in enumerate(p))
    else:
        data = image.tobytes()
    tags = [(256, 4, w), (257, 4, h), (258, 3, 8), (259, 3, 1), (262, 3, 2), (273, 4, 0), (277, 3, 4),
            (278, 4, h), (279, 4, len(data)), (284, 3, 1), (338, 3, 1 if premultiplied else 2)]
    ifd_at = 8
    data_at = ifd_at + 2 + 12 * len(tags) + 4
    # Bits a sample: four values, stored after the pixel data.
    bits_at = data_at + len(data)
    entries = b""
    for tag, kind, value in tags:
        count = 4 if tag == 258 else 1
        if tag == 258:
            value, kind = bits_at, 3
            field = struct.pack(order + "I", value)
        elif tag == 273:
            field = struct.pack(order + "I", data_at)
        elif kind == 3:
            field = struct.pack(order + "HH", value, 0)
        else:
            field = struct.pack(order + "I", value)
        entries += struct.pack(order + "HHI", tag, kind, count) + field
    head = (b"II*\0" if order == "<" else b"MM\0*") + struct.pack(order + "I", ifd_at)
    ifd = struct.pack(order + "H", len(tags)) + entries + struct.pack(order + "I", 0)
    return head + ifd + data + struct.pack(order + "4H", 8, 8, 8, 8)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    args = parser.parse_args()
    tool = Tool(args.tool)
    check_our_encoders(tool)
    check_pil_files(tool)
    if FAILURES:
        print(f"{len(FAILURES)} failed")
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
