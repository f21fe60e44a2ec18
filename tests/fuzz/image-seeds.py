#!/usr/bin/env python3
"""Writes a seed corpus for image-decode-fuzz: small files in each format
and in the layouts the decoders treat differently (colour types, depths,
palettes with transparency, interlacing, progressive JPEG, CMYK, TIFF
compressions, animated GIF, BMP depths).

    image-seeds.py DIRECTORY

Needs PIL (Debian's python3-pil).
"""
import io
import os
import random
import sys

try:
    from PIL import Image
except ImportError:
    # PIL is Debian's package; a Python of its own earlier on the path may
    # not see it, the system's does.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(7)
    base = Image.new("RGBA", (13, 9))
    base.putdata([(rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.randrange(256))
                  for _ in range(13 * 9)])
    rgb, grey = base.convert("RGB"), base.convert("L")
    palette = rgb.quantize(16)
    bigger = Image.new("RGB", (40, 24))
    bigger.putdata([(x * 6, y * 10, (x * y) % 256) for y in range(24) for x in range(40)])
    seeds = {
        "rgba.png": (base, "PNG", {}),
        "grey.png": (grey, "PNG", {}),
        "palette-trns.png": (palette, "PNG", {"bits": 4, "transparency": 2}),
        "bilevel.png": (grey.convert("1"), "PNG", {}),
        "grey16.png": (grey.point(lambda v: v * 256, "I").convert("I;16"), "PNG", {}),
        "baseline.jpg": (rgb, "JPEG", {}),
        "progressive.jpg": (bigger, "JPEG", {"progressive": True}),
        "grey.jpg": (grey, "JPEG", {}),
        "cmyk.jpg": (rgb.convert("CMYK"), "JPEG", {}),
        "palette.gif": (palette, "GIF", {"transparency": 3}),
        "interlaced.gif": (bigger.quantize(64), "GIF", {"interlace": True}),
        "animated.gif": (palette, "GIF", {"save_all": True, "append_images": [palette.rotate(90)]}),
        "rgb.bmp": (rgb, "BMP", {}),
        "palette.bmp": (palette, "BMP", {}),
        "bilevel.bmp": (grey.convert("1"), "BMP", {}),
        "rgba-lzw.tif": (base, "TIFF", {"compression": "tiff_lzw"}),
        "rgb-packbits.tif": (rgb, "TIFF", {"compression": "packbits"}),
        "grey-deflate.tif": (grey, "TIFF", {"compression": "tiff_adobe_deflate"}),
        "bilevel-g4.tif": (grey.convert("1"), "TIFF", {"compression": "group4"}),
        "palette.tif": (palette, "TIFF", {}),
        "cmyk.tif": (rgb.convert("CMYK"), "TIFF", {}),
        "jpeg.tif": (rgb, "TIFF", {"compression": "jpeg"}),
    }
    for name, (image, fmt, options) in seeds.items():
        data = io.BytesIO()
        image.save(data, fmt, **options)
        with open(os.path.join(out, name), "wb") as f:
            f.write(data.getvalue())


if __name__ == "__main__":
    main()
