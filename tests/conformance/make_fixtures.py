#!/usr/bin/python3
"""Builds the conformance fixtures: ONNX models, deterministic inputs and the
outputs ONNX Runtime computes for them.

Run with the Debian interpreter, which sees python3-onnx, python3-numpy,
python3-torch and python3-torchvision:

    /usr/bin/python3 tests/conformance/make_fixtures.py --ort /work/ort

--ort names a scratch directory outside the repository where
`npm install --ignore-scripts onnxruntime-node` is run when it is missing.
Everything goes to tests/data/conformance/: one folder per case holding
model.onnx, in<i>.bin and out<i>.bin (raw little-endian f32 or i64), and
manifest.json describing every case. The weights are random with fixed
seeds, so a second run writes the same models; only ONNX Runtime decides the
reference outputs.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zlib

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
OUT_DIR = os.path.join(REPO, "tests", "data", "conformance")

NP_OF = {"f32": np.float32, "i64": np.int64}
ONNX_OF = {"f32": TensorProto.FLOAT, "i64": TensorProto.INT64}


def seed_of(name):
    return zlib.crc32(name.encode()) & 0x7FFFFFFF


class Case:
    """One model with its inputs. inputs: list of (name, dtype, array)."""

    def __init__(self, name, kind, opset, model, inputs, top1=False, mask_threshold=None):
        self.name, self.kind, self.opset = name, kind, opset
        self.model, self.inputs, self.top1 = model, inputs, top1
        self.mask_threshold = mask_threshold


# ---------------------------------------------------------------------------
# Hand-built graphs, one operator (and attribute form) each
# ---------------------------------------------------------------------------

def rand(rng, shape, low=-1.0, high=1.0):
    return rng.uniform(low, high, size=shape).astype(np.float32)


def op_model(name, opset, nodes, inputs, initializers, outputs):
    """inputs: [(name, dtype, shape)]; outputs: [(name, dtype)]."""
    graph = helper.make_graph(
        nodes,
        name,
        [helper.make_tensor_value_info(n, ONNX_OF[d], s) for n, d, s in inputs],
        # Output shapes are filled in from ONNX Runtime's results later.
        [helper.make_tensor_value_info(n, ONNX_OF[d], None) for n, d in outputs],
        initializer=[numpy_helper.from_array(a, n) for n, a in initializers],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)],
                              producer_name="vorn-conformance")
    model.ir_version = 7 if opset <= 15 else 8
    return model


def single_op(name, op_type, opset, in_shapes, attrs=None, consts=(), low=-1.0, high=1.0,
              out_count=1, out_dtypes=None, in_dtype="f32"):
    """A graph of one node: runtime inputs x0.. then constant inputs."""
    rng = np.random.RandomState(seed_of(name))
    inputs, feeds = [], []
    for i, shape in enumerate(in_shapes):
        n = "x%d" % i
        inputs.append((n, in_dtype, list(shape)))
        if in_dtype == "f32":
            feeds.append((n, "f32", rand(rng, shape, low, high)))
        else:
            feeds.append((n, "i64", rng.randint(0, 5, size=shape).astype(np.int64)))
    inits, node_inputs = [], [n for n, _, _ in inputs]
    for j, c in enumerate(consts):
        if c is None:
            node_inputs.append("")
            continue
        cn = "c%d" % j
        inits.append((cn, c))
        node_inputs.append(cn)
    out_dtypes = out_dtypes or ["f32"] * out_count
    outs = [("y%d" % k, out_dtypes[k]) for k in range(out_count)]
    node = helper.make_node(op_type, node_inputs, [n for n, _ in outs], name=op_type.lower() + "0",
                            **(attrs or {}))
    model = op_model(name, opset, [node], inputs, inits, outs)
    return Case(name, "op", opset, model, feeds)


def weights(name, shape, scale=0.5):
    rng = np.random.RandomState(seed_of(name + "/w"))
    return rand(rng, shape, -scale, scale)


def op_cases():
    c = []
    s4 = [1, 3, 8, 9]
    # Element-wise, one input.
    for op in ["Relu", "Sigmoid", "Tanh", "Exp", "Abs", "Neg", "Erf", "Floor", "Ceil",
               "Softplus", "Identity", "Sign", "Round"]:
        c.append(single_op("unary_" + op.lower(), op, 13, [s4], low=-3, high=3))
    for op in ["Log", "Sqrt", "Reciprocal"]:
        c.append(single_op("unary_" + op.lower(), op, 13, [s4], low=0.1, high=4))
    c.append(single_op("leakyrelu", "LeakyRelu", 13, [s4], {"alpha": 0.2}, low=-3, high=3))
    c.append(single_op("elu", "Elu", 13, [s4], {"alpha": 0.7}, low=-3, high=3))
    c.append(single_op("hardsigmoid", "HardSigmoid", 13, [s4], {"alpha": 0.25, "beta": 0.4},
                       low=-4, high=4))
    c.append(single_op("hardswish_op14", "HardSwish", 14, [s4], low=-5, high=5))
    c.append(single_op("clip_op11_inputs", "Clip", 11, [s4],
                       consts=[np.array(-0.5, np.float32), np.array(0.6, np.float32)]))
    c.append(single_op("clip_op13_min_only", "Clip", 13, [s4], consts=[np.array(0.0, np.float32)],
                       low=-2, high=2))
    c.append(single_op("clip_op11_relu6", "Clip", 11, [s4],
                       consts=[np.array(0.0, np.float32), np.array(6.0, np.float32)],
                       low=-8, high=8))
    # Element-wise, two inputs, with broadcasting forms.
    for op in ["Add", "Sub", "Mul", "Div", "Max", "Min"]:
        low = 0.5 if op == "Div" else -1
        c.append(single_op("binary_%s_same" % op.lower(), op, 13, [s4, s4], low=low, high=2))
        c.append(single_op("binary_%s_bcast" % op.lower(), op, 13, [s4, [3, 1, 1]], low=low,
                           high=2))
    c.append(single_op("binary_add_const_row", "Add", 13, [s4], consts=[weights("row", [9])]))
    c.append(single_op("binary_mul_scalar", "Mul", 13, [s4], consts=[np.array(1.7, np.float32)]))
    c.append(single_op("pow_square", "Pow", 13, [s4], consts=[np.array(2.0, np.float32)]))
    c.append(single_op("pow_sqrt", "Pow", 13, [s4], consts=[np.array(0.5, np.float32)],
                       low=0.1, high=3))
    # Convolutions.
    def conv(name, cin, cout, k, group=1, bias=True, hw=(9, 10), opset=13, **attrs):
        w = weights(name, [cout, cin // group] + list(k))
        consts = [w] + ([weights(name + "b", [cout])] if bias else [])
        attrs = dict(attrs)
        if group != 1:
            attrs["group"] = group
        return single_op(name, "Conv", opset, [[1, cin] + list(hw)], attrs, consts)
    c.append(conv("conv_3x3_pad1", 3, 8, (3, 3), pads=[1, 1, 1, 1]))
    c.append(conv("conv_3x3_nopad_nobias", 3, 5, (3, 3), bias=False))
    c.append(conv("conv_stride2", 4, 6, (3, 3), strides=[2, 2], pads=[1, 1, 1, 1]))
    c.append(conv("conv_dilation2", 3, 4, (3, 3), dilations=[2, 2], pads=[2, 2, 2, 2]))
    c.append(conv("conv_group2", 4, 6, (3, 3), group=2, pads=[1, 1, 1, 1]))
    c.append(conv("conv_depthwise", 8, 8, (3, 3), group=8, pads=[1, 1, 1, 1]))
    c.append(conv("conv_depthwise_s2", 8, 8, (5, 5), group=8, strides=[2, 2], pads=[2, 2, 2, 2]))
    c.append(conv("conv_1x1", 16, 12, (1, 1)))
    c.append(conv("conv_asym_pads", 3, 4, (3, 3), pads=[0, 1, 2, 1]))
    c.append(conv("conv_same_upper", 3, 4, (3, 3), strides=[2, 2], auto_pad="SAME_UPPER"))
    c.append(conv("conv_rect_kernel", 3, 4, (1, 5), pads=[0, 2, 0, 2]))
    c.append(conv("conv_op11", 3, 8, (3, 3), pads=[1, 1, 1, 1], opset=11))
    c.append(conv("conv_wide_input", 3, 16, (3, 3), pads=[1, 1, 1, 1], hw=(24, 32)))
    def convt(name, cin, cout, k, group=1, opset=13, **attrs):
        w = weights(name, [cin, cout // group] + list(k))
        attrs = dict(attrs)
        if group != 1:
            attrs["group"] = group
        return single_op(name, "ConvTranspose", opset, [[1, cin, 5, 6]], attrs,
                         [w, weights(name + "b", [cout])])
    c.append(convt("convtranspose_k2s2", 4, 3, (2, 2), strides=[2, 2]))
    c.append(convt("convtranspose_k3s2_outpad", 4, 3, (3, 3), strides=[2, 2], pads=[1, 1, 1, 1],
                   output_padding=[1, 1]))
    c.append(convt("convtranspose_k4s2p1", 4, 6, (4, 4), strides=[2, 2], pads=[1, 1, 1, 1]))
    c.append(convt("convtranspose_k3s1", 3, 2, (3, 3)))
    c.append(convt("convtranspose_group2", 4, 4, (2, 2), group=2, strides=[2, 2]))
    # Pooling.
    p4 = [1, 4, 11, 12]
    c.append(single_op("maxpool_k2s2", "MaxPool", 13, [p4], {"kernel_shape": [2, 2], "strides": [2, 2]}))
    c.append(single_op("maxpool_k3s2p1", "MaxPool", 13, [p4],
                       {"kernel_shape": [3, 3], "strides": [2, 2], "pads": [1, 1, 1, 1]}))
    c.append(single_op("maxpool_ceil", "MaxPool", 13, [p4],
                       {"kernel_shape": [3, 3], "strides": [2, 2], "ceil_mode": 1}))
    c.append(single_op("maxpool_k5s1p2", "MaxPool", 11, [p4],
                       {"kernel_shape": [5, 5], "strides": [1, 1], "pads": [2, 2, 2, 2]}))
    c.append(single_op("avgpool_k2s2", "AveragePool", 13, [p4], {"kernel_shape": [2, 2], "strides": [2, 2]}))
    c.append(single_op("avgpool_pad_exclude", "AveragePool", 13, [p4],
                       {"kernel_shape": [3, 3], "strides": [2, 2], "pads": [1, 1, 1, 1]}))
    c.append(single_op("avgpool_pad_include", "AveragePool", 13, [p4],
                       {"kernel_shape": [3, 3], "strides": [2, 2], "pads": [1, 1, 1, 1],
                        "count_include_pad": 1}))
    c.append(single_op("avgpool_ceil", "AveragePool", 13, [p4],
                       {"kernel_shape": [3, 3], "strides": [2, 2], "ceil_mode": 1}))
    c.append(single_op("globalavgpool", "GlobalAveragePool", 13, [p4]))
    c.append(single_op("globalmaxpool", "GlobalMaxPool", 13, [p4]))
    # Normalisation.
    ch = 4
    c.append(single_op("batchnorm", "BatchNormalization", 13, [p4], {"epsilon": 1e-3},
                       [weights("bn_s", [ch]), weights("bn_b", [ch]), weights("bn_m", [ch]),
                        np.abs(weights("bn_v", [ch])) + 0.5]))
    c.append(single_op("instancenorm", "InstanceNormalization", 13, [p4], {"epsilon": 1e-5},
                       [weights("in_s", [ch]), weights("in_b", [ch])]))
    c.append(single_op("layernorm_op17", "LayerNormalization", 17, [[1, 6, 16]],
                       {"axis": -1, "epsilon": 1e-5}, [weights("ln_s", [16]), weights("ln_b", [16])]))
    # Matrix products.
    c.append(single_op("gemm_transb_bias", "Gemm", 13, [[2, 16]], {"transB": 1},
                       [weights("g1", [10, 16]), weights("g1b", [10])]))
    c.append(single_op("gemm_alpha_beta", "Gemm", 13, [[3, 8]], {"alpha": 0.7, "beta": 1.3},
                       [weights("g2", [8, 5]), weights("g2b", [5])]))
    c.append(single_op("gemm_op11_nobias", "Gemm", 11, [[1, 12]], {"transB": 1},
                       [weights("g3", [7, 12])]))
    c.append(single_op("matmul_2d_const", "MatMul", 13, [[5, 12]], consts=[weights("m1", [12, 7])]))
    c.append(single_op("matmul_3d_const", "MatMul", 13, [[2, 5, 12]], consts=[weights("m2", [12, 7])]))
    c.append(single_op("matmul_batched", "MatMul", 13, [[2, 3, 5, 8], [2, 3, 8, 4]]))
    c.append(single_op("matmul_bcast", "MatMul", 13, [[2, 3, 5, 8], [1, 1, 8, 4]]))
    # Softmax family: opset 11 flattens from the axis, opset 13 works on one axis.
    c.append(single_op("softmax_op11_axis1", "Softmax", 11, [[2, 10]], {"axis": 1}, low=-4, high=4))
    c.append(single_op("softmax_op13_last", "Softmax", 13, [[1, 3, 4, 6]], {"axis": -1}, low=-4, high=4))
    c.append(single_op("softmax_op13_axis1", "Softmax", 13, [[1, 5, 4, 6]], {"axis": 1}, low=-4, high=4))
    c.append(single_op("logsoftmax_op13", "LogSoftmax", 13, [[2, 10]], {"axis": -1}, low=-4, high=4))
    # Layout.
    i64 = lambda v: np.array(v, dtype=np.int64)
    c.append(single_op("transpose_0231", "Transpose", 13, [s4], {"perm": [0, 2, 3, 1]}))
    c.append(single_op("transpose_0213", "Transpose", 13, [[2, 3, 4, 5]], {"perm": [0, 2, 1, 3]}))
    c.append(single_op("reshape_minus1", "Reshape", 13, [s4], consts=[i64([1, -1, 9])]))
    c.append(single_op("reshape_zero", "Reshape", 13, [s4], consts=[i64([0, 0, 72])]))
    c.append(single_op("flatten_axis1", "Flatten", 13, [s4], {"axis": 1}))
    c.append(single_op("concat_axis1", "Concat", 13, [s4, [1, 2, 8, 9]], {"axis": 1}))
    c.append(single_op("concat_axis_last", "Concat", 13, [s4, [1, 3, 8, 4]], {"axis": -1}))
    c.append(single_op("split_op11_attr", "Split", 11, [[1, 6, 4, 5]], {"axis": 1, "split": [2, 4]},
                       out_count=2))
    c.append(single_op("split_op13_input", "Split", 13, [[1, 6, 4, 5]], {"axis": 1},
                       consts=[i64([1, 5])], out_count=2))
    c.append(single_op("split_op13_equal", "Split", 13, [[1, 6, 4, 6]], {"axis": 3}, out_count=3))
    c.append(single_op("slice_basic", "Slice", 13, [s4], consts=[i64([1, 2]), i64([7, 8]), i64([2, 3])]))
    c.append(single_op("slice_steps", "Slice", 13, [s4],
                       consts=[i64([0, 1]), i64([8, 9]), i64([2, 3]), i64([2, 2])]))
    c.append(single_op("slice_negative", "Slice", 13, [s4],
                       consts=[i64([-5]), i64([-1]), i64([3])]))
    c.append(single_op("slice_channels", "Slice", 13, [s4], consts=[i64([1]), i64([3]), i64([1])]))
    c.append(single_op("squeeze_op11_attr", "Squeeze", 11, [[1, 3, 1, 5]], {"axes": [2]}))
    c.append(single_op("squeeze_op13_input", "Squeeze", 13, [[1, 3, 1, 5]], consts=[i64([2])]))
    c.append(single_op("unsqueeze_op11_attr", "Unsqueeze", 11, [[3, 5]], {"axes": [0, 2]}))
    c.append(single_op("unsqueeze_op13_input", "Unsqueeze", 13, [[3, 5]], consts=[i64([0, 2])]))
    c.append(single_op("depthtospace_dcr", "DepthToSpace", 13, [[1, 8, 3, 4]], {"blocksize": 2}))
    c.append(single_op("depthtospace_crd", "DepthToSpace", 13, [[1, 8, 3, 4]],
                       {"blocksize": 2, "mode": "CRD"}))
    c.append(single_op("spacetodepth", "SpaceToDepth", 13, [[1, 2, 6, 4]], {"blocksize": 2}))
    c.append(single_op("expand_channels", "Expand", 13, [[1, 1, 4, 5]], consts=[i64([1, 3, 4, 5])]))
    c.append(single_op("tile_const_repeats", "Tile", 13, [[1, 2, 3, 4]], consts=[i64([1, 2, 1, 2])]))
    c.append(single_op("gather_axis1_const", "Gather", 13, [[2, 5, 6]], {"axis": 1},
                       consts=[i64([4, 0, 2])]))
    c.append(single_op("gather_scalar_index", "Gather", 13, [[2, 5, 6]], {"axis": 1},
                       consts=[np.array(3, np.int64)]))
    c.append(single_op("pad_constant_op13", "Pad", 13, [s4], {"mode": "constant"},
                       consts=[i64([0, 0, 1, 2, 0, 0, 2, 1]), np.array(0.5, np.float32)]))
    c.append(single_op("pad_reflect_op13", "Pad", 13, [s4], {"mode": "reflect"},
                       consts=[i64([0, 0, 1, 2, 0, 0, 2, 1])]))
    c.append(single_op("pad_zero_op11", "Pad", 11, [s4], consts=[i64([0, 0, 1, 1, 0, 0, 1, 1])]))
    # Resize: attribute forms differ between opsets 11 and 13.
    empty_f = np.zeros([0], np.float32)
    for opset in (11, 13):
        roi = empty_f if opset == 13 else np.zeros([0], np.float32)
        c.append(single_op("resize_nearest_scales_op%d" % opset, "Resize", opset, [[1, 3, 4, 5]],
                           {"mode": "nearest", "coordinate_transformation_mode": "asymmetric",
                            "nearest_mode": "floor"},
                           consts=[roi, np.array([1, 1, 2, 2], np.float32)]))
        c.append(single_op("resize_linear_half_pixel_op%d" % opset, "Resize", opset, [[1, 3, 4, 5]],
                           {"mode": "linear", "coordinate_transformation_mode": "half_pixel"},
                           consts=[roi, np.array([1, 1, 2, 2], np.float32)]))
        c.append(single_op("resize_linear_align_corners_op%d" % opset, "Resize", opset,
                           [[1, 3, 4, 5]],
                           {"mode": "linear", "coordinate_transformation_mode": "align_corners"},
                           consts=[roi, empty_f, i64([1, 3, 7, 9])]))
        c.append(single_op("resize_nearest_sizes_op%d" % opset, "Resize", opset, [[1, 3, 4, 5]],
                           {"mode": "nearest", "coordinate_transformation_mode": "half_pixel",
                            "nearest_mode": "round_prefer_ceil"},
                           consts=[roi, empty_f, i64([1, 3, 6, 11])]))
    c.append(single_op("resize_linear_pytorch_half_pixel", "Resize", 13, [[1, 3, 4, 5]],
                       {"mode": "linear", "coordinate_transformation_mode": "pytorch_half_pixel"},
                       consts=[empty_f, np.array([1, 1, 1.5, 2], np.float32)]))
    c.append(single_op("resize_linear_downscale", "Resize", 13, [[1, 2, 8, 10]],
                       {"mode": "linear", "coordinate_transformation_mode": "half_pixel"},
                       consts=[empty_f, np.array([1, 1, 0.5, 0.5], np.float32)]))
    # Reductions.
    c.append(single_op("reducemean_op13_keep", "ReduceMean", 13, [s4], {"axes": [2, 3], "keepdims": 1}))
    c.append(single_op("reducemean_op13_drop", "ReduceMean", 13, [s4], {"axes": [-1], "keepdims": 0}))
    c.append(single_op("reducemean_op11", "ReduceMean", 11, [s4], {"axes": [1], "keepdims": 1}))
    c.append(single_op("reducesum_op13_input", "ReduceSum", 13, [s4], {"keepdims": 1},
                       consts=[i64([1])]))
    c.append(single_op("reducesum_op11_attr", "ReduceSum", 11, [s4], {"axes": [3], "keepdims": 0}))
    c.append(single_op("reducemax_op13", "ReduceMax", 13, [s4], {"axes": [1], "keepdims": 1}))
    c.append(single_op("reducemin_op13", "ReduceMin", 13, [s4], {"axes": [2], "keepdims": 0}))
    c.append(single_op("reducel2_op13", "ReduceL2", 13, [s4], {"axes": [3], "keepdims": 1}))
    c.append(single_op("argmax_axis1_keep", "ArgMax", 13, [[2, 10, 3]], {"axis": 1, "keepdims": 1},
                       out_dtypes=["i64"]))
    c.append(single_op("argmax_last_drop", "ArgMax", 13, [[2, 3, 10]], {"axis": -1, "keepdims": 0},
                       out_dtypes=["i64"]))
    c.append(single_op("topk_k3", "TopK", 11, [[2, 12]], {"axis": -1}, consts=[i64([3])],
                       out_count=2, out_dtypes=["f32", "i64"]))
    c.append(single_op("cast_i64_to_f32", "Cast", 13, [[2, 6]], {"to": TensorProto.FLOAT},
                       in_dtype="i64"))
    c.append(single_op("unary_cos", "Cos", 13, [s4], low=-4, high=4))
    c.append(single_op("unary_sin", "Sin", 13, [s4], low=-4, high=4))
    c.append(single_op("selu", "Selu", 13, [s4], {"alpha": 1.5, "gamma": 1.1}, low=-3, high=3))
    c.append(single_op("prelu_channel_slope", "PRelu", 13, [s4], consts=[weights("pr", [3, 1, 1])],
                       low=-3, high=3))
    c.append(single_op("mod_fmod", "Mod", 13, [s4], {"fmod": 1},
                       consts=[np.array(0.7, np.float32)], low=-3, high=3))
    c.append(single_op("cumsum_axis2", "CumSum", 13, [s4], consts=[np.array(2, np.int64)]))
    c.append(single_op("cumsum_exclusive_reverse", "CumSum", 13, [s4],
                       {"exclusive": 1, "reverse": 1}, consts=[np.array(3, np.int64)]))
    c.append(single_op("dropout_inference", "Dropout", 13, [s4]))
    c.append(single_op("reduceprod_op13", "ReduceProd", 13, [s4], {"axes": [1], "keepdims": 1},
                       low=0.5, high=1.5))
    c.append(single_op("gathernd_pairs", "GatherND", 13, [[2, 3, 4]],
                       consts=[i64([[0, 1], [1, 2]])]))
    c.append(scatter_case("scatternd_rows"))
    c.append(scatter_case("scatterelements_axis0"))
    c.append(single_op("topk_smallest_axis1", "TopK", 11, [[2, 9, 3]], {"axis": 1, "largest": 0},
                       consts=[i64([4])], out_count=2, out_dtypes=["f32", "i64"]))
    c.append(single_op("gridsample_op16_bilinear", "GridSample", 16, [[1, 2, 5, 6], [1, 4, 4, 2]],
                       {"mode": "bilinear", "align_corners": 0}))
    c.append(single_op("gridsample_op16_nearest_border", "GridSample", 16,
                       [[1, 2, 5, 6], [1, 3, 4, 2]],
                       {"mode": "nearest", "padding_mode": "border", "align_corners": 1},
                       low=-1.2, high=1.2))
    c += composite_cases()
    return c


def scatter_case(name):
    """ScatterND and ScatterElements with constant indices and runtime data."""
    rng = np.random.RandomState(seed_of(name))
    if name.startswith("scatternd"):
        node = helper.make_node("ScatterND", ["x0", "idx", "x1"], ["y0"])
        shapes, idx = [[4, 3], [2, 3]], np.array([[3], [1]], np.int64)
    else:
        node = helper.make_node("ScatterElements", ["x0", "idx", "x1"], ["y0"], axis=0)
        shapes, idx = [[3, 4], [1, 4]], np.array([[2, 0, 1, 2]], np.int64)
    model = op_model(name, 13, [node], [("x0", "f32", shapes[0]), ("x1", "f32", shapes[1])],
                     [("idx", idx)], [("y0", "f32")])
    return Case(name, "op", 13, model,
                [("x0", "f32", rand(rng, shapes[0])), ("x1", "f32", rand(rng, shapes[1]))])


def composite_cases():
    """Small graphs for patterns exporters emit around single operators."""
    out = []
    i64 = lambda v: np.array(v, dtype=np.int64)
    # Dynamic reshape through Shape/Gather/Unsqueeze/Concat, as PyTorch writes flatten.
    nodes = [
        helper.make_node("Shape", ["x0"], ["s"]),
        helper.make_node("Gather", ["s", "zero"], ["n"], axis=0),
        helper.make_node("Unsqueeze", ["n", "axes0"], ["n1"]),
        helper.make_node("Concat", ["n1", "minus1"], ["shape"], axis=0),
        helper.make_node("Reshape", ["x0", "shape"], ["y0"]),
    ]
    inits = [("zero", np.array(0, np.int64)), ("axes0", i64([0])), ("minus1", i64([-1]))]
    model = op_model("shape_gather_reshape", 13, nodes, [("x0", "f32", [1, 3, 4, 5])], inits,
                     [("y0", "f32")])
    rng = np.random.RandomState(seed_of("shape_gather_reshape"))
    out.append(Case("shape_gather_reshape", "op", 13, model,
                    [("x0", "f32", rand(rng, [1, 3, 4, 5]))]))
    # Where over a computed condition.
    nodes = [
        helper.make_node("Greater", ["x0", "zero"], ["cond"]),
        helper.make_node("Where", ["cond", "x0", "x1"], ["y0"]),
    ]
    model = op_model("where_greater", 13, nodes,
                     [("x0", "f32", [1, 3, 4, 5]), ("x1", "f32", [1, 3, 4, 5])],
                     [("zero", np.array(0.0, np.float32))], [("y0", "f32")])
    rng = np.random.RandomState(seed_of("where_greater"))
    out.append(Case("where_greater", "op", 13, model,
                    [("x0", "f32", rand(rng, [1, 3, 4, 5])), ("x1", "f32", rand(rng, [1, 3, 4, 5]))]))
    # Conv, BatchNormalization and Relu in a row (the fusion pattern).
    w = weights("cbr", [6, 3, 3, 3])
    nodes = [
        helper.make_node("Conv", ["x0", "w"], ["c"], pads=[1, 1, 1, 1]),
        helper.make_node("BatchNormalization", ["c", "s", "b", "m", "v"], ["bn"]),
        helper.make_node("Relu", ["bn"], ["y0"]),
    ]
    inits = [("w", w), ("s", weights("cbr_s", [6])), ("b", weights("cbr_b", [6])),
             ("m", weights("cbr_m", [6])), ("v", np.abs(weights("cbr_v", [6])) + 0.5)]
    model = op_model("conv_bn_relu", 13, nodes, [("x0", "f32", [1, 3, 10, 10])], inits,
                     [("y0", "f32")])
    rng = np.random.RandomState(seed_of("conv_bn_relu"))
    out.append(Case("conv_bn_relu", "op", 13, model, [("x0", "f32", rand(rng, [1, 3, 10, 10]))]))
    # Two graph outputs, one of them an intermediate value that is also consumed.
    nodes = [
        helper.make_node("Sigmoid", ["x0"], ["y0"]),
        helper.make_node("Mul", ["x0", "y0"], ["y1"]),
    ]
    model = op_model("two_outputs_swish", 13, nodes, [("x0", "f32", [1, 4, 5, 6])], [],
                     [("y0", "f32"), ("y1", "f32")])
    rng = np.random.RandomState(seed_of("two_outputs_swish"))
    out.append(Case("two_outputs_swish", "op", 13, model,
                    [("x0", "f32", rand(rng, [1, 4, 5, 6], -4, 4))]))
    # Comparisons and logic feeding Where.
    nodes = [
        helper.make_node("Less", ["x0", "half"], ["lt"]),
        helper.make_node("Equal", ["x0", "x1"], ["eq"]),
        helper.make_node("Not", ["eq"], ["ne"]),
        helper.make_node("And", ["lt", "ne"], ["both"]),
        helper.make_node("Greater", ["x1", "half"], ["gt"]),
        helper.make_node("Or", ["both", "gt"], ["any"]),
        helper.make_node("Where", ["any", "x0", "x1"], ["y0"]),
    ]
    model = op_model("logic_where", 13, nodes,
                     [("x0", "f32", [2, 3, 4]), ("x1", "f32", [2, 3, 4])],
                     [("half", np.array(0.5, np.float32))], [("y0", "f32")])
    rng = np.random.RandomState(seed_of("logic_where"))
    a = rand(rng, [2, 3, 4])
    b = rand(rng, [2, 3, 4])
    b[0, 0, :2] = a[0, 0, :2]  # some equal pairs
    out.append(Case("logic_where", "op", 13, model, [("x0", "f32", a), ("x1", "f32", b)]))
    # ConstantOfShape over a runtime shape.
    nodes = [
        helper.make_node("Shape", ["x0"], ["s"]),
        helper.make_node("ConstantOfShape", ["s"], ["k"],
                         value=numpy_helper.from_array(np.array([0.25], np.float32))),
        helper.make_node("Add", ["x0", "k"], ["y0"]),
    ]
    model = op_model("constantofshape_add", 13, nodes, [("x0", "f32", [1, 3, 4, 5])], [],
                     [("y0", "f32")])
    rng = np.random.RandomState(seed_of("constantofshape_add"))
    out.append(Case("constantofshape_add", "op", 13, model, [("x0", "f32", rand(rng, [1, 3, 4, 5]))]))
    # Range of constants added to a row.
    nodes = [
        helper.make_node("Range", ["start", "limit", "delta"], ["r"]),
        helper.make_node("Add", ["x0", "r"], ["y0"]),
    ]
    model = op_model("range_add", 13, nodes, [("x0", "f32", [2, 6])],
                     [("start", np.array(-1.0, np.float32)), ("limit", np.array(2.0, np.float32)),
                      ("delta", np.array(0.5, np.float32))], [("y0", "f32")])
    rng = np.random.RandomState(seed_of("range_add"))
    out.append(Case("range_add", "op", 13, model, [("x0", "f32", rand(rng, [2, 6]))]))
    # Weight-only int8: DequantizeLinear of a constant, then MatMul.
    wq = np.random.RandomState(seed_of("dequant_matmul")).randint(-127, 128, [12, 5]).astype(np.int8)
    nodes = [
        helper.make_node("DequantizeLinear", ["wq", "scale", "zp"], ["w"]),
        helper.make_node("MatMul", ["x0", "w"], ["y0"]),
    ]
    model = op_model("dequantize_matmul", 13, nodes, [("x0", "f32", [3, 12])],
                     [("wq", wq), ("scale", np.array(0.02, np.float32)),
                      ("zp", np.array(3, np.int8))], [("y0", "f32")])
    rng = np.random.RandomState(seed_of("dequantize_matmul"))
    out.append(Case("dequantize_matmul", "op", 13, model, [("x0", "f32", rand(rng, [3, 12]))]))
    # NonMaxSuppression: selected (batch, class, box) indices, compared exactly.
    rng = np.random.RandomState(seed_of("nms_indices"))
    n = 12
    corner = rng.uniform(0, 40, size=(n, 2)).astype(np.float32)
    size = rng.uniform(8, 24, size=(n, 2)).astype(np.float32)
    boxes = np.concatenate([corner, corner + size], 1)[None]  # [1, n, 4] y1 x1 y2 x2
    scores = rng.uniform(0, 1, size=(1, 2, n)).astype(np.float32)
    nodes = [helper.make_node("NonMaxSuppression", ["x0", "x1", "maxout", "iou", "thr"], ["y0"])]
    model = op_model("nms_indices", 11, nodes,
                     [("x0", "f32", [1, n, 4]), ("x1", "f32", [1, 2, n])],
                     [("maxout", np.array([5], np.int64)), ("iou", np.array([0.4], np.float32)),
                      ("thr", np.array([0.2], np.float32))], [("y0", "i64")])
    out.append(Case("nms_indices", "op", 11, model, [("x0", "f32", boxes), ("x1", "f32", scores)]))
    return out


# ---------------------------------------------------------------------------
# Real architectures from PyTorch, reduced in width, random weights
# ---------------------------------------------------------------------------

def net_cases(opsets, full=False):
    """The reduced architectures, or with full=True the stock-width ones at
    their usual input sizes (for the benchmark; not committed)."""
    import torch
    import torch.nn as nn
    import torch.nn.functional as F
    import torchvision.models as tvm
    from torchvision.models import efficientnet as tv_eff
    from torchvision.models import mobilenetv3 as tv_mb3
    from torchvision.models import regnet as tv_reg
    from torchvision.models import resnet as tv_res
    from torchvision.models import shufflenetv2 as tv_shf
    from torchvision.models import squeezenet as tv_sq
    from torchvision.models import vision_transformer as tv_vit

    class SmallResNet(nn.Module):
        """The ResNet layout (stem, four stages, pooled classifier) at 1/8 width."""

        def __init__(self, block, layers, widths, classes=10):
            super().__init__()
            self.inplanes = widths[0]
            self.conv1 = nn.Conv2d(3, widths[0], 7, 2, 3, bias=False)
            self.bn1 = nn.BatchNorm2d(widths[0])
            self.relu = nn.ReLU(inplace=True)
            self.maxpool = nn.MaxPool2d(3, 2, 1)
            stages = []
            for i, (w, n) in enumerate(zip(widths, layers)):
                stages.append(self._stage(block, w, n, 1 if i == 0 else 2))
            self.stages = nn.Sequential(*stages)
            self.avgpool = nn.AdaptiveAvgPool2d(1)
            self.fc = nn.Linear(widths[-1] * block.expansion, classes)

        def _stage(self, block, planes, blocks, stride):
            down = None
            if stride != 1 or self.inplanes != planes * block.expansion:
                down = nn.Sequential(nn.Conv2d(self.inplanes, planes * block.expansion, 1, stride,
                                               bias=False),
                                     nn.BatchNorm2d(planes * block.expansion))
            layers = [block(self.inplanes, planes, stride, down)]
            self.inplanes = planes * block.expansion
            layers += [block(self.inplanes, planes) for _ in range(1, blocks)]
            return nn.Sequential(*layers)

        def forward(self, x):
            x = self.maxpool(self.relu(self.bn1(self.conv1(x))))
            x = self.avgpool(self.stages(x))
            return self.fc(torch.flatten(x, 1))

    class TinyUNet(nn.Module):
        """Two-level U-Net: ConvTranspose on one up path, Resize on the other."""

        def __init__(self, c=8):
            super().__init__()
            def block(i, o):
                return nn.Sequential(nn.Conv2d(i, o, 3, padding=1), nn.BatchNorm2d(o), nn.ReLU(),
                                     nn.Conv2d(o, o, 3, padding=1), nn.ReLU())
            self.e1, self.e2, self.mid = block(3, c), block(c, 2 * c), block(2 * c, 4 * c)
            self.up2 = nn.ConvTranspose2d(4 * c, 2 * c, 2, stride=2)
            self.d2 = block(4 * c, 2 * c)
            self.reduce1 = nn.Conv2d(2 * c, c, 1)
            self.d1 = block(2 * c, c)
            self.head = nn.Conv2d(c, 2, 1)

        def forward(self, x):
            e1 = self.e1(x)
            e2 = self.e2(F.max_pool2d(e1, 2))
            m = self.mid(F.max_pool2d(e2, 2))
            d2 = self.d2(torch.cat([self.up2(m), e2], 1))
            up1 = F.interpolate(self.reduce1(d2), scale_factor=2.0, mode="bilinear",
                                align_corners=False)
            d1 = self.d1(torch.cat([up1, e1], 1))
            near = F.interpolate(self.head(d1), scale_factor=0.5, mode="nearest")
            return torch.sigmoid(self.head(d1)), near

    class TinyYolo(nn.Module):
        """A YOLO-style detector: strided backbone, two detection scales, grid and
        anchor decoding into [1, boxes, 5 + classes]."""

        def __init__(self, classes=3, anchors=2, w=8):
            super().__init__()
            def cbs(i, o, s):
                return nn.Sequential(nn.Conv2d(i, o, 3, s, 1, bias=False), nn.BatchNorm2d(o),
                                     nn.SiLU())
            self.b1 = nn.Sequential(cbs(3, w, 2), cbs(w, 2 * w, 2), cbs(2 * w, 2 * w, 2))  # /8
            self.b2 = cbs(2 * w, 4 * w, 2)                                                 # /16
            self.lat = nn.Conv2d(4 * w, 2 * w, 1)
            self.no, self.na = classes + 5, anchors
            self.h8 = nn.Conv2d(4 * w, self.no * anchors, 1)
            self.h16 = nn.Conv2d(4 * w, self.no * anchors, 1)
            self.register_buffer("anchor8", torch.tensor([[10.0, 13.0], [16.0, 30.0]]))
            self.register_buffer("anchor16", torch.tensor([[30.0, 61.0], [62.0, 45.0]]))

        def decode(self, p, stride, anchor):
            n, _, h, w = p.shape
            p = p.view(n, self.na, self.no, h, w).permute(0, 1, 3, 4, 2).sigmoid()
            ys = torch.arange(h, dtype=torch.float32).view(1, 1, h, 1, 1).expand(1, 1, h, w, 1)
            xs = torch.arange(w, dtype=torch.float32).view(1, 1, 1, w, 1).expand(1, 1, h, w, 1)
            grid = torch.cat([xs, ys], -1)
            xy = (p[..., 0:2] * 2 - 0.5 + grid) * stride
            wh = (p[..., 2:4] * 2) ** 2 * anchor.view(1, self.na, 1, 1, 2)
            return torch.cat([xy, wh, p[..., 4:]], -1).view(n, -1, self.no)

        def forward(self, x):
            f8 = self.b1(x)
            f16 = self.b2(f8)
            up = F.interpolate(self.lat(f16), scale_factor=2.0, mode="nearest")
            p8 = self.h8(torch.cat([f8, up], 1))
            p16 = self.h16(f16)
            return torch.cat([self.decode(p8, 8.0, self.anchor8),
                              self.decode(p16, 16.0, self.anchor16)], 1)

    def resnet_basic():
        return SmallResNet(tv_res.BasicBlock, [1, 1, 1, 1], [8, 16, 32, 64])

    def resnet_bottleneck():
        return SmallResNet(tv_res.Bottleneck, [1, 2, 1, 1], [4, 8, 16, 16])

    def mobilenet_v2():
        return tvm.mobilenet_v2(num_classes=10, width_mult=0.25)

    def mobilenet_v3_small():
        settings, last = tv_mb3._mobilenet_v3_conf("mobilenet_v3_small", width_mult=0.25)
        return tv_mb3.MobileNetV3(settings, last, num_classes=10)

    def mobilenet_v3_large():
        settings, last = tv_mb3._mobilenet_v3_conf("mobilenet_v3_large", width_mult=0.25)
        return tv_mb3.MobileNetV3(settings, last, num_classes=10)

    def efficientnet():
        settings, last = tv_eff._efficientnet_conf("efficientnet_b0", width_mult=0.25,
                                                   depth_mult=0.34)
        return tv_eff.EfficientNet(settings, 0.2, last_channel=last, num_classes=10)

    def shufflenet():
        return tv_shf.ShuffleNetV2([2, 2, 2], [8, 16, 32, 64, 128], num_classes=10)

    def squeezenet():
        # SqueezeNet 1.1 at a quarter of its width: the stock Fire modules and
        # ceil-mode pools, a tenth of the classes.
        model = tv_sq.SqueezeNet("1_1", num_classes=10)
        model.features = nn.Sequential(
            nn.Conv2d(3, 16, 3, 2), nn.ReLU(inplace=True),
            nn.MaxPool2d(3, 2, ceil_mode=True),
            tv_sq.Fire(16, 4, 8, 8), tv_sq.Fire(16, 4, 8, 8),
            nn.MaxPool2d(3, 2, ceil_mode=True),
            tv_sq.Fire(16, 8, 16, 16), tv_sq.Fire(32, 8, 16, 16),
            nn.MaxPool2d(3, 2, ceil_mode=True),
            tv_sq.Fire(32, 12, 24, 24), tv_sq.Fire(48, 12, 24, 24),
            tv_sq.Fire(48, 16, 32, 32), tv_sq.Fire(64, 16, 32, 32))
        model.classifier = nn.Sequential(nn.Dropout(0.5), nn.Conv2d(64, 10, 1),
                                         nn.ReLU(inplace=True), nn.AdaptiveAvgPool2d(1))
        return model

    def regnet():
        params = tv_reg.BlockParams.from_init_params(depth=6, w_0=8, w_a=8.0, w_m=2.0,
                                                     group_width=8)
        return tv_reg.RegNet(params, num_classes=10)

    def vit():
        return tv_vit.VisionTransformer(image_size=32, patch_size=8, num_layers=2, num_heads=2,
                                        hidden_dim=32, mlp_dim=64, num_classes=10)

    nets = [
        ("resnet_basic", resnet_basic, [1, 3, 64, 64], True),
        ("resnet_bottleneck", resnet_bottleneck, [1, 3, 64, 64], True),
        ("mobilenet_v2", mobilenet_v2, [1, 3, 64, 64], True),
        ("mobilenet_v3_small", mobilenet_v3_small, [1, 3, 64, 64], True),
        ("mobilenet_v3_large", mobilenet_v3_large, [1, 3, 64, 64], True),
        ("efficientnet_b0", efficientnet, [1, 3, 64, 64], True),
        ("shufflenet_v2", shufflenet, [1, 3, 64, 64], True),
        ("squeezenet_1_1", squeezenet, [1, 3, 64, 64], True),
        ("regnet", regnet, [1, 3, 64, 64], True),
        ("vit_tiny", vit, [1, 3, 32, 32], True),
        ("unet_tiny", TinyUNet, [1, 3, 32, 32], False),
        ("yolo_tiny", TinyYolo, [1, 3, 64, 64], False),
    ]
    if full:
        nets = [
            ("resnet18", lambda: tvm.resnet18(), [1, 3, 224, 224], True),
            ("resnet50", lambda: tvm.resnet50(), [1, 3, 224, 224], True),
            ("mobilenet_v2", lambda: tvm.mobilenet_v2(), [1, 3, 224, 224], True),
            ("mobilenet_v3_small", lambda: tvm.mobilenet_v3_small(), [1, 3, 224, 224], True),
            ("mobilenet_v3_large", lambda: tvm.mobilenet_v3_large(), [1, 3, 224, 224], True),
            ("efficientnet_b0", lambda: tvm.efficientnet_b0(), [1, 3, 224, 224], True),
            ("shufflenet_v2", lambda: tvm.shufflenet_v2_x1_0(), [1, 3, 224, 224], True),
            ("squeezenet_1_1", lambda: tvm.squeezenet1_1(), [1, 3, 224, 224], True),
            ("regnet_y_400mf", lambda: tvm.regnet_y_400mf(), [1, 3, 224, 224], True),
            # DeiT-tiny's shape: 12 layers of width 192 on 16 x 16 patches.
            ("vit_tiny", lambda: tv_vit.VisionTransformer(
                image_size=224, patch_size=16, num_layers=12, num_heads=3, hidden_dim=192,
                mlp_dim=768), [1, 3, 224, 224], True),
            ("unet", lambda: TinyUNet(32), [1, 3, 256, 256], False),
            ("yolo", lambda: TinyYolo(80, 2, 32), [1, 3, 320, 320], False),
        ]
        nets = [(n + "_full", m, s, t) for n, m, s, t in nets]
    cases = []
    for name, make, shape, top1 in nets:
        for opset in opsets:
            case_name = "%s_op%d" % (name, opset)
            torch.manual_seed(seed_of(name))
            model = make()
            randomize_statistics(model, torch, nn)
            model.eval()
            rng = np.random.RandomState(seed_of(case_name))
            x = rand(rng, shape)
            with tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, "m.onnx")
                outs = ["mask", "mask_half"] if name.startswith("unet") else ["output"]
                torch.onnx.export(model, torch.from_numpy(x), path, opset_version=opset,
                                  input_names=["input"], output_names=outs,
                                  do_constant_folding=True)
                proto = onnx.load(path)
            cases.append(Case(case_name, "net", opset, proto, [("input", "f32", x)], top1=top1))
    return cases


def randomize_statistics(model, torch, nn):
    """Fresh BatchNorm layers are the identity; give them real statistics so
    the exported affine transforms are exercised."""
    with torch.no_grad():
        for m in model.modules():
            if isinstance(m, nn.BatchNorm2d):
                m.running_mean.uniform_(-0.2, 0.2)
                m.running_var.uniform_(0.5, 1.5)
                m.weight.uniform_(0.5, 1.5)
                m.bias.uniform_(-0.2, 0.2)


# ---------------------------------------------------------------------------
# Reference outputs and the manifest
# ---------------------------------------------------------------------------

def ensure_ort(ort_dir):
    if os.path.isdir(os.path.join(ort_dir, "node_modules", "onnxruntime-node")):
        return
    os.makedirs(ort_dir, exist_ok=True)
    if not os.path.exists(os.path.join(ort_dir, "package.json")):
        subprocess.run(["npm", "init", "-y"], cwd=ort_dir, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["npm", "install", "--ignore-scripts", "onnxruntime-node"], cwd=ort_dir,
                   check=True)


def write_cases(cases, ort_dir, out_dir):
    request = []
    for case in cases:
        folder = os.path.join(out_dir, case.name)
        if os.path.isdir(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
        onnx.save(case.model, os.path.join(folder, "model.onnx"))
        specs = []
        for i, (name, dtype, array) in enumerate(case.inputs):
            f = os.path.join(folder, "in%d.bin" % i)
            np.ascontiguousarray(array, dtype=np.dtype(NP_OF[dtype]).newbyteorder("<")).tofile(f)
            specs.append({"name": name, "dtype": dtype, "shape": list(array.shape), "file": f})
        request.append({"model": os.path.join(folder, "model.onnx"), "inputs": specs,
                        "output_prefix": os.path.join(folder, "out")})
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(request, f)
        req_path = f.name
    try:
        answer = subprocess.run(["node", os.path.join(HERE, "ort_reference.js"), ort_dir, req_path],
                                check=True, stdout=subprocess.PIPE).stdout
    finally:
        os.unlink(req_path)
    answers = json.loads(answer)
    entries = []
    for case, req, ans in zip(cases, request, answers):
        folder = os.path.join(out_dir, case.name)
        if "error" in ans:
            print("ONNX Runtime refused %s: %s" % (case.name, ans["error"]), file=sys.stderr)
            shutil.rmtree(folder)
            continue
        fix_output_shapes(case.model, ans["outputs"])
        onnx.checker.check_model(case.model)
        onnx.save(case.model, os.path.join(folder, "model.onnx"))
        rel = lambda p: os.path.relpath(p, out_dir)
        outputs = []
        for o in ans["outputs"]:
            outputs.append({"name": o["name"], "dtype": o["dtype"], "shape": o["shape"],
                            "file": rel(o["file"])})
        entries.append({
            "name": case.name,
            "kind": case.kind,
            "opset": case.opset,
            "model": rel(req["model"]),
            "inputs": [dict(s, file=rel(s["file"])) for s in req["inputs"]],
            "outputs": outputs,
            # The first output's arg-max along its last axis must match exactly.
            "top1": case.top1,
        })
        if case.mask_threshold is not None:
            # A probability map users binarise at this level.
            entries[-1]["mask_threshold"] = case.mask_threshold
    return entries


def write_manifest(out_dir, entries):
    """manifest.json of a fixture folder: the comparison rule and one line per case."""
    with open(os.path.join(out_dir, "manifest.json"), "w") as f:
        f.write('{"tolerance": {"relative": 1e-4, "absolute": 1e-5},\n "cases": [\n')
        f.write(",\n".join("  " + json.dumps(e) for e in entries))
        f.write("\n]}\n")


def fix_output_shapes(model, outputs):
    """Graph outputs get the static shapes ONNX Runtime produced."""
    by_name = {o["name"]: o["shape"] for o in outputs}
    for vi in model.graph.output:
        shape = by_name.get(vi.name)
        if shape is None:
            continue
        vi.type.tensor_type.ClearField("shape")
        for d in shape:
            vi.type.tensor_type.shape.dim.add().dim_value = d


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ort", default="/work/ort", help="scratch directory for onnxruntime-node")
    ap.add_argument("--out", default=OUT_DIR)
    ap.add_argument("--only", default="", help="substring: rebuild only matching cases")
    ap.add_argument("--no-nets", action="store_true", help="skip the PyTorch architectures")
    ap.add_argument("--full", action="store_true",
                    help="only the stock-width architectures at opset 13 (benchmark models; "
                         "give --out a folder outside the tree)")
    args = ap.parse_args()
    ensure_ort(args.ort)
    if args.full:
        cases = net_cases([13], full=True)
    else:
        cases = op_cases()
        if not args.no_nets:
            cases += net_cases([11, 13, 17])
    if args.only:
        cases = [c for c in cases if args.only in c.name]
    os.makedirs(args.out, exist_ok=True)
    entries = write_cases(cases, args.ort, args.out)
    manifest_path = os.path.join(args.out, "manifest.json")
    if args.only and os.path.exists(manifest_path):
        with open(manifest_path) as f:
            old = json.load(f)["cases"]
        names = {e["name"] for e in entries}
        entries = [e for e in old if e["name"] not in names] + entries
        entries.sort(key=lambda e: (e["kind"] != "op", e["name"]))
    with open(manifest_path, "w") as f:
        # One case a line keeps the diff of a regeneration readable.
        f.write('{"tolerance": {"relative": 1e-4, "absolute": 1e-5},\n "cases": [\n')
        f.write(",\n".join("  " + json.dumps(e) for e in entries))
        f.write("\n]}\n")
    total = sum(os.path.getsize(os.path.join(dp, fn)) for dp, _, fns in os.walk(args.out)
                for fn in fns)
    print("%d cases, %.1f MB in %s" % (len(entries), total / 1e6, args.out))


if __name__ == "__main__":
    main()
