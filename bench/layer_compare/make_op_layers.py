#!/usr/bin/python3
"""Writes one small ONNX graph per non-convolution layer class (pools, the
activations, elementwise arithmetic, softmax, normalisation, resize and
layout copies) at the sizes they have in the benchmark's networks, with a
deterministic input, into OUT_DIR, and OUT_DIR/ops.txt naming them.

    /usr/bin/python3 make_op_layers.py OUT_DIR [NAME...]

ops.txt lines: name input_name dims (comma-separated); the input is
OUT_DIR/name.bin (raw little-endian f32).
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def maxpool(k, s, p, ceil=0):
    return [("MaxPool", {"kernel_shape": [k, k], "strides": [s, s], "pads": [p] * 4, "ceil_mode": ceil})]


def avgpool(k, s, p, include=0):
    return [("AveragePool", {"kernel_shape": [k, k], "strides": [s, s], "pads": [p] * 4,
                             "count_include_pad": include})]


# name, input dims, nodes (op, attributes) applied in a chain, extra
# constant second inputs per node (None or a shape).
LAYERS = [
    ("maxpool_squeezenet1_3x3s2", [1, 64, 111, 111], maxpool(3, 2, 0, 1)),
    ("maxpool_squeezenet2_3x3s2", [1, 128, 55, 55], maxpool(3, 2, 0, 1)),
    ("maxpool_squeezenet3_3x3s2", [1, 256, 27, 27], maxpool(3, 2, 0, 1)),
    ("maxpool_resnet_3x3s2p1", [1, 64, 112, 112], maxpool(3, 2, 1)),
    ("maxpool_unet_2x2s2", [1, 64, 128, 128], maxpool(2, 2, 0)),
    ("maxpool_spp_5x5s1p2", [1, 128, 20, 20], maxpool(5, 1, 2)),
    ("avgpool_3x3s1p1_exclude", [1, 64, 56, 56], avgpool(3, 1, 1)),
    ("avgpool_2x2s2", [1, 128, 56, 56], avgpool(2, 2, 0)),
    ("gap_resnet_512x7x7", [1, 512, 7, 7], [("GlobalAveragePool", {})]),
    ("gap_se_96x56x56", [1, 96, 56, 56], [("GlobalAveragePool", {})]),
    ("tanh_64x56x56", [1, 64, 56, 56], [("Tanh", {})]),
    ("tanh_256x1x64", [1, 256, 64], [("Tanh", {})]),
    ("sigmoid_96x56x56", [1, 96, 56, 56], [("Sigmoid", {})]),
    ("silu_96x112x112", [1, 96, 112, 112], "silu"),
    ("hardswish_16x112x112", [1, 16, 112, 112], [("HardSwish", {})]),
    ("relu_64x56x56", [1, 64, 56, 56], [("Relu", {})]),
    ("add_64x56x56", [1, 64, 56, 56], [("Add", {}, [1, 64, 56, 56])]),
    ("mul_se_96x56x56", [1, 96, 56, 56], [("Mul", {}, [1, 96, 1, 1])]),
    ("softmax_vit_3x197x197", [1, 3, 197, 197], [("Softmax", {"axis": -1})]),
    ("layernorm_vit_197x192", [1, 197, 192], "layernorm"),
    ("resize_nearest2x_128x20x20", [1, 128, 20, 20], "nearest"),
    ("resize_bilinear2x_32x64x64", [1, 32, 64, 64], "bilinear"),
    ("shuffle_116x28x28", [1, 116, 28, 28], "shuffle"),
    ("concat_2x58x28x28", [1, 58, 28, 28], "concat"),
]


def graph_nodes(spec, dims, rng):
    """Returns nodes, initializers and the output name for a layer spec."""
    inits, nodes = [], []
    if spec == "silu":
        nodes = [helper.make_node("Sigmoid", ["x"], ["g"]), helper.make_node("Mul", ["x", "g"], ["y"])]
    elif spec == "layernorm":
        c = dims[-1]
        inits = [numpy_helper.from_array(rng.standard_normal(c).astype(np.float32), "scale"),
                 numpy_helper.from_array(rng.standard_normal(c).astype(np.float32), "bias")]
        nodes = [helper.make_node("LayerNormalization", ["x", "scale", "bias"], ["y"], axis=-1, epsilon=1e-5)]
    elif spec in ("nearest", "bilinear"):
        inits = [numpy_helper.from_array(np.array([1, 1, 2, 2], np.float32), "scales")]
        attrs = {"mode": "nearest"} if spec == "nearest" else {"mode": "linear",
                                                                "coordinate_transformation_mode": "half_pixel"}
        nodes = [helper.make_node("Resize", ["x", "", "scales"], ["y"], **attrs)]
    elif spec == "shuffle":
        n, c, h, w = dims
        inits = [numpy_helper.from_array(np.array([n, 2, c // 2, h, w], np.int64), "s5"),
                 numpy_helper.from_array(np.array(dims, np.int64), "s4")]
        nodes = [helper.make_node("Reshape", ["x", "s5"], ["r"]),
                 helper.make_node("Transpose", ["r"], ["t"], perm=[0, 2, 1, 3, 4]),
                 helper.make_node("Reshape", ["t", "s4"], ["y"])]
    elif spec == "concat":
        inits = [numpy_helper.from_array(rng.standard_normal(dims).astype(np.float32), "b")]
        nodes = [helper.make_node("Relu", ["x"], ["a"]), helper.make_node("Concat", ["a", "b"], ["y"], axis=1)]
    else:
        prev = "x"
        for i, node in enumerate(spec):
            op, attrs = node[0], node[1]
            out = "y" if i == len(spec) - 1 else f"t{i}"
            ins = [prev]
            if len(node) > 2:
                name = f"c{i}"
                inits.append(numpy_helper.from_array(rng.standard_normal(node[2]).astype(np.float32), name))
                ins.append(name)
            nodes.append(helper.make_node(op, ins, [out], **attrs))
            prev = out
    return nodes, inits


def make(out_dir, name, dims, spec):
    rng = np.random.default_rng(abs(hash(name)) % (1 << 31))
    nodes, inits = graph_nodes(spec, dims, rng)
    g = helper.make_graph(nodes, name, [helper.make_tensor_value_info("x", TensorProto.FLOAT, dims)],
                          [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)], inits)
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])
    m.ir_version = 8
    m = onnx.shape_inference.infer_shapes(m)
    onnx.checker.check_model(m)
    onnx.save(m, os.path.join(out_dir, name + ".onnx"))
    x = (rng.standard_normal(dims) * 2).astype(np.float32)
    x.tofile(os.path.join(out_dir, name + ".bin"))


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    only = set(sys.argv[2:])
    with open(os.path.join(out_dir, "ops.txt"), "w") as f:
        for name, dims, spec in LAYERS:
            if only and name not in only:
                continue
            make(out_dir, name, dims, spec)
            f.write(f"{name} x {','.join(map(str, dims))}\n")


if __name__ == "__main__":
    main()
