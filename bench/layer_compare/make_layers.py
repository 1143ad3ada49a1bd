#!/usr/bin/python3
"""Writes one single-Conv ONNX graph per layer shape of ResNet-18/50,
MobileNetV2/V3, EfficientNet-B0, ShuffleNetV2 and RegNetY-400MF (224 x 224 input, batch 1)
into OUT_DIR, and OUT_DIR/layers.txt, the table the C++ runner reads.

    /usr/bin/python3 make_layers.py OUT_DIR

Each graph is Conv(x, W, B) followed by Relu when the layer's activation is
"relu" (the engine fuses Relu into Conv; ONNX Runtime fuses Conv+Relu too).
Layers whose network uses HardSwish or SiLU are timed as Conv+bias alone, the
part both runtimes spend in the convolution kernel.

layers.txt lines: name cin h w cout k stride pad groups relu
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

# name, cin, h (=w), cout, k, stride, groups, relu
LAYERS = [
    # ResNet-18
    ("r18_conv1_7x7s2", 3, 224, 64, 7, 2, 1, 1),
    ("r18_l1_3x3", 64, 56, 64, 3, 1, 1, 1),
    ("r18_l2_3x3s2", 64, 56, 128, 3, 2, 1, 1),
    ("r18_l2_3x3", 128, 28, 128, 3, 1, 1, 1),
    ("r18_l2_down1x1s2", 64, 56, 128, 1, 2, 1, 0),
    ("r18_l3_3x3", 256, 14, 256, 3, 1, 1, 1),
    ("r18_l4_3x3s2", 256, 14, 512, 3, 2, 1, 1),
    ("r18_l4_3x3", 512, 7, 512, 3, 1, 1, 1),
    # U-Net (width 32) at 256 x 256: few output channels, many positions
    ("unet_e1b_3x3", 32, 256, 32, 3, 1, 1, 1),
    ("unet_d1a_3x3", 64, 256, 32, 3, 1, 1, 1),
    ("unet_e2b_3x3", 64, 128, 64, 3, 1, 1, 1),
    ("unet_midb_3x3", 128, 64, 128, 3, 1, 1, 1),
    # ResNet-50 bottlenecks
    ("r50_l1_pw64_256", 64, 56, 256, 1, 1, 1, 1),
    ("r50_l1_pw256_64", 256, 56, 64, 1, 1, 1, 1),
    ("r50_l2_pw512_128", 512, 28, 128, 1, 1, 1, 1),
    ("r50_l3_pw1024_256", 1024, 14, 256, 1, 1, 1, 1),
    ("r50_l3_pw256_1024", 256, 14, 1024, 1, 1, 1, 0),
    ("r50_l4_pw2048_512", 2048, 7, 512, 1, 1, 1, 1),
    ("r50_l4_down1x1s2", 1024, 14, 2048, 1, 2, 1, 0),
    # MobileNetV2
    ("mv2_stem_3x3s2", 3, 224, 32, 3, 2, 1, 1),
    ("mv2_dw32_112", 32, 112, 32, 3, 1, 32, 1),
    ("mv2_pw32_16_112", 32, 112, 16, 1, 1, 1, 0),
    ("mv2_pw16_96_112", 16, 112, 96, 1, 1, 1, 1),
    ("mv2_dw96_s2_112", 96, 112, 96, 3, 2, 96, 1),
    ("mv2_pw96_24_56", 96, 56, 24, 1, 1, 1, 0),
    ("mv2_dw144_56", 144, 56, 144, 3, 1, 144, 1),
    ("mv2_dw144_s2_56", 144, 56, 144, 3, 2, 144, 1),
    ("mv2_dw192_28", 192, 28, 192, 3, 1, 192, 1),
    ("mv2_dw384_14", 384, 14, 384, 3, 1, 384, 1),
    ("mv2_pw64_384_14", 64, 14, 384, 1, 1, 1, 1),
    ("mv2_dw576_s2_14", 576, 14, 576, 3, 2, 576, 1),
    ("mv2_dw960_7", 960, 7, 960, 3, 1, 960, 1),
    ("mv2_pw320_1280_7", 320, 7, 1280, 1, 1, 1, 1),
    # MobileNetV3-Large (5x5 depthwise; HardSwish layers as Conv+bias)
    ("mv3_dw72_5x5s2_56", 72, 56, 72, 5, 2, 72, 1),
    ("mv3_dw120_5x5_28", 120, 28, 120, 5, 1, 120, 1),
    ("mv3_dw240_3x3s2_28", 240, 28, 240, 3, 2, 240, 0),
    ("mv3_dw672_5x5_14", 672, 14, 672, 5, 1, 672, 0),
    ("mv3_dw960_5x5_7", 960, 7, 960, 5, 1, 960, 0),
    # EfficientNet-B0 (SiLU layers as Conv+bias)
    ("eb0_dw32_112", 32, 112, 32, 3, 1, 32, 0),
    ("eb0_dw144_5x5s2_56", 144, 56, 144, 5, 2, 144, 0),
    ("eb0_dw240_5x5_28", 240, 28, 240, 5, 1, 240, 0),
    ("eb0_dw480_3x3_14", 480, 14, 480, 3, 1, 480, 0),
    ("eb0_dw672_5x5_14", 672, 14, 672, 5, 1, 672, 0),
    ("eb0_dw1152_5x5_7", 1152, 7, 1152, 5, 1, 1152, 0),
    ("eb0_pw1152_192_7", 1152, 7, 192, 1, 1, 1, 0),
    # ShuffleNetV2 x1.0
    ("sh2_stem_3x3s2", 3, 224, 24, 3, 2, 1, 1),
    ("sh2_dw58_s2_28", 58, 56, 58, 3, 2, 58, 0),
    ("sh2_pw58_58_28", 58, 28, 58, 1, 1, 1, 1),
    ("sh2_dw116_14", 116, 14, 116, 3, 1, 116, 0),
    ("sh2_dw232_7", 232, 7, 232, 3, 1, 232, 0),
    ("sh2_pw232_232_7", 232, 7, 232, 1, 1, 1, 1),
    # Grouped convolutions with few outputs (ResNeXt-style, 32 groups)
    ("grp32_3x3_256_14", 256, 14, 256, 3, 1, 32, 1),
    ("grp32_3x3_512_7", 512, 7, 512, 3, 1, 32, 1),
    # RegNetY-400MF (groups of 8 channels)
    ("rgy_g48_s2_112", 48, 112, 48, 3, 2, 6, 1),
    ("rgy_g48_56", 48, 56, 48, 3, 1, 6, 1),
    ("rgy_g104_s2_56", 104, 56, 104, 3, 2, 13, 1),
    ("rgy_g104_28", 104, 28, 104, 3, 1, 13, 1),
    ("rgy_g208_14", 208, 14, 208, 3, 1, 26, 1),
    ("rgy_g440_7", 440, 7, 440, 3, 1, 55, 1),
]


def make(out_dir, name, cin, h, cout, k, stride, groups, relu):
    pad = k // 2
    ho = (h + 2 * pad - k) // stride + 1
    rng = np.random.default_rng(abs(hash(name)) % (1 << 31))
    w = (rng.standard_normal((cout, cin // groups, k, k)) * 0.1).astype(np.float32)
    b = (rng.standard_normal(cout) * 0.1).astype(np.float32)
    conv_out = "y" if not relu else "c"
    nodes = [helper.make_node("Conv", ["x", "w", "b"], [conv_out], kernel_shape=[k, k],
                              strides=[stride, stride], pads=[pad] * 4, group=groups)]
    if relu:
        nodes.append(helper.make_node("Relu", ["c"], ["y"]))
    g = helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, cin, h, h])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, cout, ho, ho])],
        [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 13)])
    m.ir_version = 8
    onnx.checker.check_model(m)
    onnx.save(m, os.path.join(out_dir, name + ".onnx"))
    return pad


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    only = set(sys.argv[2:])
    with open(os.path.join(out_dir, "layers.txt"), "w") as f:
        for name, cin, h, cout, k, s, g, relu in LAYERS:
            if only and name not in only:
                continue
            pad = make(out_dir, name, cin, h, cout, k, s, g, relu)
            f.write(f"{name} {cin} {h} {h} {cout} {k} {s} {pad} {g} {relu}\n")


if __name__ == "__main__":
    main()
