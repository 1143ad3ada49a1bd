#!/usr/bin/python3
"""Writes the small images the frame tests load (run with /usr/bin/python3).

Every lossless image holds the pattern of pattern_rgb(x, y) below, which the
tests recompute; the JPEG holds two flat halves so that lossy coding keeps
each half's colour within a few levels.
"""
import io
import os

from PIL import Image

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def pattern_rgb(x, y):
    return ((x * 40 + y) & 255, (y * 60 + x) & 255, (x * y * 7 + 3) & 255)


def pattern_image(w, h):
    img = Image.new("RGB", (w, h))
    for y in range(h):
        for x in range(w):
            img.putpixel((x, y), pattern_rgb(x, y))
    return img


def exif_orientation_block(orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    return exif.tobytes()


def with_long_orientation(jpeg_bytes, orientation):
    """Inserts an APP1 Exif block whose Orientation entry has type LONG right
    after the start-of-image marker: the strict EXIF reader ignores it, the
    lenient one used for frames does not."""
    import struct
    tiff = b"II*\x00" + struct.pack("<I", 8) + struct.pack("<H", 1)
    tiff += struct.pack("<HHII", 0x0112, 4, 1, orientation) + struct.pack("<I", 0)
    payload = b"Exif\x00\x00" + tiff
    app1 = b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload
    assert jpeg_bytes[:2] == b"\xff\xd8"
    return jpeg_bytes[:2] + app1 + jpeg_bytes[2:]


def jpeg_bytes(img):
    buf = io.BytesIO()
    img.save(buf, format="JPEG", quality=95, subsampling=0)
    return buf.getvalue()


def main():
    os.makedirs(HERE, exist_ok=True)
    pattern_image(5, 3).save(os.path.join(HERE, "pattern_5x3.png"))
    gray = Image.new("L", (4, 2))
    for y in range(2):
        for x in range(4):
            gray.putpixel((x, y), x * 50 + y * 7)
    gray.save(os.path.join(HERE, "gray_4x2.png"))
    # PPM "P6" written by hand: header, one blank, packed RGB.
    img = pattern_image(3, 2)
    with open(os.path.join(HERE, "pattern_3x2.ppm"), "wb") as f:
        f.write(b"P6\n3 2\n255\n" + img.tobytes())
    # Stored 16 wide and 8 high, left half red and right half blue, shown
    # rotated a quarter turn clockwise (orientation 6).
    halves = Image.new("RGB", (16, 8), (0, 0, 255))
    halves.paste((255, 0, 0), (0, 0, 8, 8))
    halves.save(os.path.join(HERE, "halves_16x8_orient6.jpg"), quality=95,
                subsampling=0, exif=exif_orientation_block(6))
    with open(os.path.join(HERE, "halves_16x8_long6.jpg"), "wb") as f:
        f.write(with_long_orientation(jpeg_bytes(halves), 6))
    # Wider than a frame may be once turned upright by set_pixels.
    wide = Image.new("RGB", (16385, 8), (10, 200, 30))
    with open(os.path.join(HERE, "wide_16385x8_long6.jpg"), "wb") as f:
        f.write(with_long_orientation(jpeg_bytes(wide), 6))


if __name__ == "__main__":
    main()
