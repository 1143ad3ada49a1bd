#!/usr/bin/python3
"""Writes the image decoder fixtures into tests/data/images/ and the fuzz seed
corpora into tests/image/corpus/.

Run with Debian's python (/usr/bin/python3, which sees python3-pil). Encoded
images come from Pillow or, for PNG layouts Pillow cannot write (2- and 4-bit
grey, interlaced, palette tRNS of any depth), from the small writer below.
Every expected pixel file is what Pillow decodes from the encoded file, so the
decoder under test is compared with an independent one.

manifest.txt lists one fixture a line: file, width, height, orientation that
the decoder must report, and the expected packed RGB file (or "-").
"""
import io
import os
import random
import struct
import zlib

from PIL import Image, ImageOps

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data", "images")
CORPUS = os.path.join(HERE, "corpus")

rng = random.Random(20260406)
manifest = []


def write(name, data):
    with open(os.path.join(DATA, name), "wb") as f:
        f.write(data)


def expect(name, orientation=1):
    """Decodes name with Pillow (EXIF orientation applied) and records it."""
    with Image.open(os.path.join(DATA, name)) as im:
        im.load()
        up = ImageOps.exif_transpose(im)
        rgb = up.convert("RGB")
    rgb_name = name + ".rgb"
    write(rgb_name, rgb.tobytes())
    manifest.append(f"{name} {rgb.width} {rgb.height} {orientation} {rgb_name}")


def test_image(w, h, mode="RGB"):
    """Gradients plus noise, so rows, columns and channels all differ."""
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            px[x, y] = ((x * 255) // max(w - 1, 1) ^ rng.randrange(0, 32),
                        (y * 255) // max(h - 1, 1) ^ rng.randrange(0, 32),
                        (x * 37 + y * 91 + rng.randrange(0, 64)) & 255)
    return im if mode == "RGB" else im.convert(mode)


# ---- a minimal PNG writer for the layouts Pillow does not write ----

def chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def pack_row(samples, bit_depth):
    """Packs one row of sample values (already flattened per pixel)."""
    if bit_depth == 8:
        return bytes(samples)
    if bit_depth == 16:
        return b"".join(struct.pack(">H", s) for s in samples)
    out = bytearray()
    per = 8 // bit_depth
    for i in range(0, len(samples), per):
        byte = 0
        group = samples[i:i + per]
        for j, s in enumerate(group):
            byte |= s << (8 - bit_depth * (j + 1))
        out.append(byte)
    return bytes(out)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png_bytes(w, h, color_type, bit_depth, rows, plte=None, trns=None, interlace=False, extra=()):
    """rows[y][x] is a tuple of samples for pixel (x, y)."""
    raw = bytearray()
    if not interlace:
        for y in range(h):
            raw += b"\x00" + pack_row([s for px in rows[y] for s in px], bit_depth)
    else:
        for x0, y0, dx, dy in ADAM7:
            xs = list(range(x0, w, dx))
            if not xs:
                continue
            for y in range(y0, h, dy):
                raw += b"\x00" + pack_row([s for x in xs for s in rows[y][x]], bit_depth)
    out = b"\x89PNG\r\n\x1a\n"
    out += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, bit_depth, color_type, 0, 0, 1 if interlace else 0))
    for c in extra:
        out += c
    if plte is not None:
        out += chunk(b"PLTE", bytes(v for rgb in plte for v in rgb))
    if trns is not None:
        out += chunk(b"tRNS", trns)
    out += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    out += chunk(b"IEND", b"")
    return out


def random_rows(w, h, channels, maxval, gen=None):
    gen = gen or rng
    return [[tuple(gen.randrange(0, maxval + 1) for _ in range(channels)) for _ in range(w)] for _ in range(h)]


def make_pngs():
    w, h = 11, 7
    for depth in (1, 2, 4, 8):
        maxval = (1 << depth) - 1
        rows = random_rows(w, h, 1, maxval)
        name = f"png_gray{depth}.png"
        write(name, png_bytes(w, h, 0, depth, rows))
        expect(name)
        name = f"png_gray{depth}_trns.png"
        write(name, png_bytes(w, h, 0, depth, rows, trns=struct.pack(">H", rows[0][0][0])))
        expect(name)
        colours = 1 << depth
        plte = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(colours)]
        rows = random_rows(w, h, 1, colours - 1)
        name = f"png_palette{depth}.png"
        write(name, png_bytes(w, h, 3, depth, rows, plte=plte))
        expect(name)
        name = f"png_palette{depth}_trns.png"
        trns = bytes(rng.randrange(256) for _ in range(max(1, colours // 2)))
        write(name, png_bytes(w, h, 3, depth, rows, plte=plte, trns=trns))
        expect(name)
    write("png_rgb8.png", png_bytes(w, h, 2, 8, random_rows(w, h, 3, 255)))
    expect("png_rgb8.png")
    rows = random_rows(w, h, 3, 255)
    write("png_rgb8_trns.png", png_bytes(w, h, 2, 8, rows, trns=struct.pack(">HHH", *rows[1][1])))
    expect("png_rgb8_trns.png")
    write("png_gray_alpha8.png", png_bytes(w, h, 4, 8, random_rows(w, h, 2, 255)))
    expect("png_gray_alpha8.png")
    write("png_rgba8.png", png_bytes(w, h, 6, 8, random_rows(w, h, 4, 255)))
    expect("png_rgba8.png")
    # Interlaced: big enough that every Adam7 pass holds pixels, odd sides.
    iw, ih = 19, 13
    write("png_rgb8_interlaced.png", png_bytes(iw, ih, 2, 8, random_rows(iw, ih, 3, 255), interlace=True))
    expect("png_rgb8_interlaced.png")
    plte = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(16)]
    write("png_palette4_interlaced.png",
          png_bytes(iw, ih, 3, 4, random_rows(iw, ih, 1, 15), plte=plte, trns=b"\x00\x80", interlace=True))
    expect("png_palette4_interlaced.png")
    write("png_gray_alpha8_interlaced.png", png_bytes(iw, ih, 4, 8, random_rows(iw, ih, 2, 255), interlace=True))
    expect("png_gray_alpha8_interlaced.png")
    # A 1x1 image and one made by Pillow itself.
    write("png_rgb8_1x1.png", png_bytes(1, 1, 2, 8, [[(1, 2, 3)]]))
    expect("png_rgb8_1x1.png")
    buf = io.BytesIO()
    test_image(23, 9).save(buf, "PNG")
    write("png_pillow_rgb.png", buf.getvalue())
    expect("png_pillow_rgb.png")
    # Refused layouts.
    write("bad_png_rgb16.png", png_bytes(3, 2, 2, 16, random_rows(3, 2, 3, 65535)))
    write("bad_png_gray16.png", png_bytes(3, 2, 0, 16, random_rows(3, 2, 1, 65535)))
    # Its own generator, so adding it left the other fixtures as they were.
    meta_rng = random.Random(5)
    # Metadata chunks (text, gamma, colour profile, a private chunk) change
    # nothing in the pixels.
    meta = [chunk(b"gAMA", struct.pack(">I", 45455)),
            chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1)),
            chunk(b"tEXt", b"Comment\x00made for the decoder tests"),
            chunk(b"zTXt", b"Comment\x00\x00" + zlib.compress(b"compressed text " * 50)),
            chunk(b"iCCP", b"profile\x00\x00" + zlib.compress(bytes(meta_rng.randrange(256) for _ in range(600)))),
            chunk(b"prVt", b"private data")]
    write("png_rgb8_metadata.png", png_bytes(w, h, 2, 8, random_rows(w, h, 3, 255, meta_rng), extra=meta))
    expect("png_rgb8_metadata.png")


def jpeg_bytes(im, **kw):
    buf = io.BytesIO()
    im.save(buf, "JPEG", **kw)
    return buf.getvalue()


def make_jpegs():
    im = test_image(29, 17)
    for name, kw in [("jpeg_baseline_420.jpg", dict(quality=90)),
                     ("jpeg_baseline_444.jpg", dict(quality=95, subsampling=0)),
                     ("jpeg_baseline_422.jpg", dict(quality=85, subsampling=1)),
                     ("jpeg_progressive_420.jpg", dict(quality=90, progressive=True)),
                     ("jpeg_progressive_444.jpg", dict(quality=80, progressive=True, subsampling=0)),
                     ("jpeg_optimized.jpg", dict(quality=75, optimize=True))]:
        write(name, jpeg_bytes(im, **kw))
        expect(name)
    write("jpeg_gray.jpg", jpeg_bytes(test_image(21, 10, "L"), quality=90))
    expect("jpeg_gray.jpg")
    write("jpeg_gray_progressive.jpg", jpeg_bytes(test_image(21, 10, "L"), quality=90, progressive=True))
    expect("jpeg_gray_progressive.jpg")
    write("bad_jpeg_cmyk.jpg", jpeg_bytes(test_image(8, 8).convert("CMYK"), quality=90))
    # EXIF orientations 1..8 on a non-square image, as Pillow writes them.
    base = test_image(12, 5)
    for o in range(1, 9):
        exif = Image.Exif()
        exif[274] = o
        name = f"jpeg_exif_{o}.jpg"
        write(name, jpeg_bytes(base, quality=92, exif=exif.tobytes()))
        expect(name, o)
    exif = Image.Exif()
    exif[274] = 6
    buf = io.BytesIO()
    test_image(6, 4).save(buf, "PNG", exif=exif.tobytes())
    write("png_exif_6.png", buf.getvalue())
    expect("png_exif_6.png", 6)
    # Big-endian TIFF block written by hand, orientation 8, after a JFIF APP0.
    plain = jpeg_bytes(base, quality=92)
    tiff = b"MM\x00\x2a\x00\x00\x00\x08" + struct.pack(">H", 2)
    tiff += struct.pack(">HHIHH", 0x0100, 3, 1, 12, 0)  # ImageWidth first
    tiff += struct.pack(">HHIHH", 274, 3, 1, 8, 0) + b"\x00\x00\x00\x00"
    app1 = b"\xff\xe1" + struct.pack(">H", len(tiff) + 8) + b"Exif\x00\x00" + tiff
    write("jpeg_exif_8_mm.jpg", insert_after_app0(plain, app1))
    expect("jpeg_exif_8_mm.jpg", 8)
    # Orientation 6 stored as LONG: the decoder's strict reader ignores it,
    # while the segment walker of the frame loaders reports it.
    tiff = b"II\x2a\x00\x08\x00\x00\x00" + struct.pack("<H", 1)
    tiff += struct.pack("<HHII", 274, 4, 1, 6) + b"\x00\x00\x00\x00"
    app1 = b"\xff\xe1" + struct.pack(">H", len(tiff) + 8) + b"Exif\x00\x00" + tiff
    data = insert_after_app0(plain, app1)
    write("jpeg_exif_6_long.jpg", data)
    with Image.open(io.BytesIO(plain)) as p:
        write("jpeg_exif_6_long.jpg.rgb", p.convert("RGB").tobytes())
        manifest.append(f"jpeg_exif_6_long.jpg {p.width} {p.height} 1 jpeg_exif_6_long.jpg.rgb")


def insert_after_app0(jpeg, segment):
    assert jpeg[:4] == b"\xff\xd8\xff\xe0"
    app0_end = 4 + struct.unpack(">H", jpeg[4:6])[0]
    return jpeg[:app0_end] + segment + jpeg[app0_end:]


def make_ppms():
    im = test_image(9, 6)
    data = b"P6\n# made for the decoder tests\n9 # width\n# between width and height\n6\n255\n" + im.tobytes()
    write("ppm_comments.ppm", data)
    expect("ppm_comments.ppm")
    write("ppm_plain.ppm", b"P6 9 6 255\n" + im.tobytes())
    expect("ppm_plain.ppm")
    # Maximum value 65535: refused by the PPM parser and by the decoder.
    write("bad_ppm_maxval65535.ppm", b"P6\n2 2\n65535\n" + bytes(24))


def write_corpus(name, files):
    folder = os.path.join(CORPUS, name)
    os.makedirs(folder, exist_ok=True)
    for f in files:
        with open(os.path.join(DATA, f), "rb") as src:
            data = src.read()
        with open(os.path.join(folder, f), "wb") as dst:
            dst.write(data)


def make_corpora():
    pngs = sorted(f for f in os.listdir(DATA) if f.endswith(".png"))
    jpegs = sorted(f for f in os.listdir(DATA) if f.endswith(".jpg"))
    ppms = sorted(f for f in os.listdir(DATA) if f.endswith(".ppm"))
    write_corpus("image_decode_fuzzer", pngs + jpegs)
    write_corpus("image_load_fuzzer", ppms + jpegs[:4] + pngs[:4])
    # The EXIF readers: whole JPEGs with Exif segments for the segment walker,
    # and bare TIFF blocks cut out of them for the block readers.
    folder = os.path.join(CORPUS, "exif_fuzzer")
    os.makedirs(folder, exist_ok=True)
    for f in jpegs + ["png_exif_6.png"]:
        if "exif" not in f:
            continue
        with open(os.path.join(DATA, f), "rb") as src:
            data = src.read()
        with open(os.path.join(folder, f), "wb") as dst:
            dst.write(data)
        at = data.find(b"Exif\x00\x00")
        if at < 0:
            continue
        seg_len = struct.unpack(">H", data[at - 2:at])[0]
        with open(os.path.join(folder, f + ".tiff"), "wb") as dst:
            dst.write(data[at + 6:at - 2 + seg_len])


def main():
    os.makedirs(DATA, exist_ok=True)
    make_pngs()
    make_jpegs()
    make_ppms()
    with open(os.path.join(DATA, "manifest.txt"), "w") as f:
        f.write("# generated, do not edit: tests/image/make_fixtures.py\n")
        f.write("# file width height orientation expected-rgb\n")
        f.write("\n".join(manifest) + "\n")
    make_corpora()


if __name__ == "__main__":
    main()
