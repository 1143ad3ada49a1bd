#!/usr/bin/python3
"""Builds the lowering fixtures: hand-built ONNX graphs, one per lowering rule
or rewrite, with deterministic inputs and ONNX Runtime's outputs.

    /usr/bin/python3 tests/converter/make_lowering_fixtures.py --ort /work/ort

It reuses the conformance fixture machinery (tests/conformance/make_fixtures.py
and ort_reference.js) and writes tests/data/converter_lowering/ in the same
layout: one folder per case and manifest.json. Cases whose name starts with
"refuse_" are graphs that options mode must refuse naming the node; they get
ONNX Runtime outputs all the same.
"""
import argparse
import json
import os
import sys

import numpy as np
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "conformance"))
import make_fixtures as conf  # noqa: E402

OUT_DIR = os.path.join(conf.REPO, "tests", "data", "converter_lowering")
Case, op_model, rand, seed_of = conf.Case, conf.op_model, conf.rand, conf.seed_of
node = helper.make_node


def feeds(name, specs):
    rng = np.random.RandomState(seed_of(name))
    out = []
    for n, d, shape in specs:
        if d == "f32":
            out.append((n, d, rand(rng, shape, -3.0, 3.0)))
        else:
            out.append((n, d, rng.randint(-4, 9, size=shape).astype(np.int64)))
    return out


def case(name, opset, nodes, ins, inits, outs):
    model = op_model(name, opset, nodes, ins, inits, outs)
    return Case(name, "op", opset, model, feeds(name, ins))


def w(name, shape, scale=0.5):
    return conf.weights(name, shape, scale)


def cases():
    c = []
    f = np.float32
    i64 = lambda v: np.array(v, dtype=np.int64)

    # BatchNormalization folded and fused into the Conv before it; and folded
    # but not fused when the Conv output also feeds another node.
    bn = lambda n: [("s", (np.linspace(0.5, 1.5, 4)).astype(f)), ("b", np.linspace(-0.2, 0.2, 4).astype(f)),
                    ("m", np.linspace(-0.1, 0.3, 4).astype(f)), ("v", np.linspace(0.5, 2.0, 4).astype(f))]
    c.append(case("bn_fused_no_conv_bias", 13, [
        node("Conv", ["x0", "w"], ["c"], pads=[1, 1, 1, 1], name="conv"),
        node("BatchNormalization", ["c", "s", "b", "m", "v"], ["y0"], epsilon=1e-3, name="bn")],
        [("x0", "f32", [1, 3, 6, 7])], [("w", w("bnf", [4, 3, 3, 3]))] + bn("a"), [("y0", "f32")]))
    c.append(case("bn_shared_conv_output", 13, [
        node("Conv", ["x0", "w", "cb"], ["c"], name="conv"),
        node("BatchNormalization", ["c", "s", "b", "m", "v"], ["bn"], name="bn"),
        node("Add", ["bn", "c"], ["y0"], name="add")],
        [("x0", "f32", [1, 3, 5, 5])], [("w", w("bns", [4, 3, 1, 1])), ("cb", w("bnsb", [4]))] + bn("b"),
        [("y0", "f32")]))

    # An int64 graph input meets an int64 constant at run time.
    c.append(case("add_i64_input_constant", 13, [node("Add", ["x0", "k"], ["y0"], name="add")],
                  [("x0", "i64", [2, 3])], [("k", i64([5, -7, 11]))], [("y0", "i64")]))

    # Range with float bounds counts ceil((limit - start) / delta) elements.
    c.append(case("range_f32_ceil", 13, [
        node("Range", ["r0", "r1", "r2"], ["r"], name="range"),
        node("Add", ["x0", "r"], ["y0"], name="add")],
        [("x0", "f32", [2, 4])], [("r0", np.array(0.0, f)), ("r1", np.array(1.0, f)), ("r2", np.array(0.3, f))],
        [("y0", "f32")]))
    c.append(case("range_f32_descending", 13, [
        node("Range", ["r0", "r1", "r2"], ["r"], name="range"),
        node("Mul", ["x0", "r"], ["y0"], name="mul")],
        [("x0", "f32", [3, 5])], [("r0", np.array(2.0, f)), ("r1", np.array(0.5, f)), ("r2", np.array(-0.3, f))],
        [("y0", "f32")]))

    # ConstantOfShape of a constant shape, with a fill value.
    c.append(case("constantofshape_fill", 13, [
        node("ConstantOfShape", ["shape"], ["k"], value=helper.make_tensor("v", TensorProto.FLOAT, [1], [2.5]),
             name="cos"),
        node("Add", ["x0", "k"], ["y0"], name="add")],
        [("x0", "f32", [2, 3, 4])], [("shape", i64([3, 1]))], [("y0", "f32")]))

    # DequantizeLinear of int8 weights with per-channel scales and zero
    # points on axis 0, and of int32 data with a scalar scale.
    q8 = np.random.RandomState(7).randint(-100, 100, size=(4, 3)).astype(np.int8)
    c.append(case("dequantize_int8_axis0", 13, [
        node("DequantizeLinear", ["q", "qs", "qz"], ["wq"], axis=0, name="dq"),
        node("MatMul", ["x0", "wq"], ["y0"], name="mm")],
        [("x0", "f32", [2, 4])], [("q", q8), ("qs", np.array([0.01, 0.02, 0.03, 0.05], f)),
                                  ("qz", np.array([0, 3, -5, 9], np.int8))], [("y0", "f32")]))
    q32 = np.random.RandomState(8).randint(-100000, 100000, size=(3, 5)).astype(np.int32)
    c.append(case("dequantize_int32", 13, [
        node("DequantizeLinear", ["q", "qs"], ["wq"], name="dq"),
        node("Add", ["x0", "wq"], ["y0"], name="add")],
        [("x0", "f32", [3, 5])], [("q", q32), ("qs", np.array(1e-4, f))], [("y0", "f32")]))

    # Gather along axis 1 by constant indices out of order, and negative.
    c.append(case("gather_axis1_unordered", 13, [node("Gather", ["x0", "idx"], ["y0"], axis=1, name="gather")],
                  [("x0", "f32", [2, 5, 3])], [("idx", i64([[2, 0], [-1, 1]]))], [("y0", "f32")]))

    # Slice over two axes with negative starts and ends past the end.
    c.append(case("slice_two_axes", 13, [node("Slice", ["x0", "st", "en", "ax", "sp"], ["y0"], name="slice")],
                  [("x0", "f32", [1, 3, 8, 9])],
                  [("st", i64([-7, 1])), ("en", i64([1000, -1])), ("ax", i64([3, 2])), ("sp", i64([2, 1]))],
                  [("y0", "f32")]))

    # Nearest Resize shrinking by 2 (half_pixel, both tie directions and
    # asymmetric) and growing by 3.
    for mode, coord, tag in [("round_prefer_floor", "half_pixel", "floor"), ("round_prefer_ceil", "half_pixel", "ceil"),
                             ("floor", "asymmetric", "asym")]:
        c.append(case("resize_nearest_half_" + tag, 13, [
            node("Resize", ["x0", "", "sc"], ["y0"], mode="nearest", coordinate_transformation_mode=coord,
                 nearest_mode=mode, name="resize")],
            [("x0", "f32", [1, 2, 8, 6])], [("sc", np.array([1, 1, 0.5, 0.5], f))], [("y0", "f32")]))
    c.append(case("resize_nearest_up3", 13, [
        node("Resize", ["x0", "", "sc"], ["y0"], mode="nearest", coordinate_transformation_mode="asymmetric",
             nearest_mode="floor", name="resize")],
        [("x0", "f32", [1, 2, 3, 4])], [("sc", np.array([1, 1, 3, 3], f))], [("y0", "f32")]))

    # Softmax before opset 13 normalises the flattened block from the axis on.
    c.append(case("softmax_op11_block", 11, [node("Softmax", ["x0"], ["y0"], axis=1, name="softmax")],
                  [("x0", "f32", [2, 3, 4, 5])], [], [("y0", "f32")]))

    # keepdims honoured.
    c.append(case("reducemean_spatial_drop", 13, [
        node("ReduceMean", ["x0"], ["y0"], axes=[2, 3], keepdims=0, name="rmean")],
        [("x0", "f32", [1, 4, 5, 6])], [], [("y0", "f32")]))
    c.append(case("reducemax_axis1_drop", 13, [node("ReduceMax", ["x0"], ["y0"], axes=[1], keepdims=0, name="rmax")],
                  [("x0", "f32", [2, 5, 3])], [], [("y0", "f32")]))
    c.append(case("reducesum_default_keep", 13, [node("ReduceSum", ["x0", "ax"], ["y0"], name="rsum")],
                  [("x0", "f32", [2, 5, 3])], [("ax", i64([-1]))], [("y0", "f32")]))

    # Zero padding of the spatial axes, alone and in front of a Conv.
    c.append(case("pad_spatial", 13, [node("Pad", ["x0", "p"], ["y0"], name="pad")],
                  [("x0", "f32", [1, 3, 5, 6])], [("p", i64([0, 0, 2, 1, 0, 0, 0, 3]))], [("y0", "f32")]))
    c.append(case("pad_into_conv", 13, [
        node("Pad", ["x0", "p"], ["xp"], name="pad"),
        node("Conv", ["xp", "w"], ["y0"], name="conv")],
        [("x0", "f32", [1, 3, 5, 6])], [("p", i64([0, 0, 1, 0, 0, 0, 2, 1])), ("w", w("pic", [2, 3, 3, 3]))],
        [("y0", "f32")]))

    # Gemm with a one-value addend.
    c.append(case("gemm_scalar_addend", 13, [node("Gemm", ["x0", "b", "z"], ["y0"], beta=0.5, name="gemm")],
                  [("x0", "f32", [3, 4])], [("b", w("gsa", [4, 5])), ("z", np.array([1.5], f))], [("y0", "f32")]))

    # Cast to an integer type truncates at run time.
    c.append(case("cast_truncates", 13, [
        node("Cast", ["x0"], ["i"], to=TensorProto.INT64, name="cast_i"),
        node("Cast", ["i"], ["y0"], to=TensorProto.FLOAT, name="cast_f")],
        [("x0", "f32", [2, 7])], [], [("y0", "f32")]))

    # Tile repeating dims of size 1 is an Expand.
    c.append(case("tile_ones_dims", 13, [node("Tile", ["x0", "r"], ["y0"], name="tile")],
                  [("x0", "f32", [1, 1, 4, 5])], [("r", i64([2, 3, 1, 1]))], [("y0", "f32")]))

    # Conv over [N, C, L].
    c.append(case("conv1d", 13, [node("Conv", ["x0", "w", "b"], ["y0"], pads=[1, 2], strides=[2], name="conv")],
                  [("x0", "f32", [1, 4, 11])], [("w", w("c1d", [6, 4, 3])), ("b", w("c1db", [6]))], [("y0", "f32")]))

    # MatMul with B's batch repeated over A's leading axis.
    c.append(case("matmul_batch_repeat", 13, [node("MatMul", ["x0", "b"], ["y0"], name="mm")],
                  [("x0", "f32", [2, 3, 4, 5])], [("b", w("mbr", [3, 5, 6]))], [("y0", "f32")]))

    # Where with a constant condition and a constant y.
    c.append(case("where_constant_condition", 13, [node("Where", ["cond", "x0", "yc"], ["y0"], name="where")],
                  [("x0", "f32", [2, 3])], [("cond", np.array([[True, False, True]])), ("yc", np.array([7.0], f))],
                  [("y0", "f32")]))

    # Shape arithmetic folded at convert time feeding Expand and Reshape.
    c.append(case("shape_folded_expand", 13, [
        node("Shape", ["x1"], ["s"], name="shape"),
        node("Expand", ["x0", "s"], ["e"], name="expand"),
        node("Mul", ["e", "x1"], ["y0"], name="mul")],
        [("x0", "f32", [3, 1]), ("x1", "f32", [2, 3, 4])], [], [("y0", "f32")]))

    # ConvTranspose sized by output_shape, and by output_padding with SAME
    # padding; MaxPool rounding its output up.
    c.append(case("convtranspose_output_shape", 13, [
        node("ConvTranspose", ["x0", "w"], ["y0"], strides=[2, 2], output_shape=[10, 11], name="convt")],
        [("x0", "f32", [1, 2, 5, 5])], [("w", w("cts", [2, 3, 3, 3]))], [("y0", "f32")]))
    c.append(case("convtranspose_same_upper", 13, [
        node("ConvTranspose", ["x0", "w", "b"], ["y0"], strides=[2, 2], auto_pad="SAME_UPPER", name="convt")],
        [("x0", "f32", [1, 2, 4, 5])], [("w", w("ctu", [2, 3, 4, 3])), ("b", w("ctub", [3]))], [("y0", "f32")]))
    c.append(case("maxpool_ceil_padded", 13, [
        node("MaxPool", ["x0"], ["y0"], kernel_shape=[3, 3], strides=[2, 2], pads=[1, 0, 1, 0], ceil_mode=1,
             name="maxpool")],
        [("x0", "f32", [1, 2, 8, 9])], [], [("y0", "f32")]))

    # Graphs options mode must refuse, naming the node.
    c.append(case("refuse_pow_cube", 13, [node("Pow", ["x0", "e"], ["y0"], name="pow3")],
                  [("x0", "f32", [2, 3])], [("e", np.array(3.0, f))], [("y0", "f32")]))
    c.append(case("refuse_slice_negative_step", 13, [
        node("Slice", ["x0", "st", "en", "ax", "sp"], ["y0"], name="slice_back")],
        [("x0", "f32", [2, 6])], [("st", i64([-1])), ("en", i64([-100])), ("ax", i64([1])), ("sp", i64([-1]))],
        [("y0", "f32")]))
    c.append(case("refuse_unsqueeze_three_axes", 13, [node("Unsqueeze", ["x0", "ax"], ["y0"], name="unsq3")],
                  [("x0", "f32", [2, 3])], [("ax", i64([0, 1, 4]))], [("y0", "f32")]))
    c.append(case("reduce_all_axes", 13, [node("ReduceSum", ["x0"], ["y0"], name="rsum_all")],
                  [("x0", "f32", [2, 3])], [], [("y0", "f32")]))
    c.append(case("reducemax_two_axes_drop", 13, [node("ReduceMax", ["x0"], ["y0"], axes=[0, 2], keepdims=0, name="rmax2")],
                  [("x0", "f32", [2, 3, 4])], [], [("y0", "f32")]))
    c.append(case("refuse_reshape_runtime_shape", 13, [
        node("Cast", ["x1"], ["s"], to=TensorProto.INT64, name="shape_cast"),
        node("Reshape", ["x0", "s"], ["y0"], name="reshape_rt")],
        [("x0", "f32", [2, 6]), ("x1", "f32", [2])], [], [("y0", "f32")]))
    c[-1].inputs[1] = ("x1", "f32", np.array([3.0, 4.0], f))
    c.append(case("refuse_layernorm_axis1", 17, [
        node("LayerNormalization", ["x0", "g"], ["y0"], axis=1, name="ln_axis1")],
        [("x0", "f32", [2, 3, 4])], [("g", np.ones((3, 4), f))], [("y0", "f32")]))
    c.append(case("refuse_nms", 13, [
        node("NonMaxSuppression", ["x0", "x1", "mb"], ["y0"], name="nms")],
        [("x0", "f32", [1, 6, 4]), ("x1", "f32", [1, 1, 6])], [("mb", i64([3]))], [("y0", "i64")]))
    c.append(case("refuse_mod_floor_runtime", 13, [node("Mod", ["x0", "d"], ["y0"], name="mod_floor")],
                  [("x0", "i64", [2, 3])], [("d", i64([3]))], [("y0", "i64")]))
    c.append(case("refuse_resize_nearest_fraction", 13, [
        node("Resize", ["x0", "", "sc"], ["y0"], mode="nearest", name="resize_frac")],
        [("x0", "f32", [1, 1, 4, 4])], [("sc", np.array([1, 1, 1.5, 1.5], f))], [("y0", "f32")]))
    c.append(case("refuse_custom_domain", 13, [
        node("Relu", ["x0"], ["y0"], domain="com.example", name="custom_relu")],
        [("x0", "f32", [2, 3])], [], [("y0", "f32")]))
    return c


def torch_cases():
    """Small networks exported from PyTorch with dynamic axes and without
    constant folding, so that shape arithmetic reaches the converter."""
    import tempfile

    import onnx
    import torch
    import torch.nn as nn
    import torch.nn.functional as F

    class DynCnn(nn.Module):
        def __init__(self):
            super().__init__()
            self.c1 = nn.Conv2d(3, 8, 3, 1, 1, bias=False)
            self.b1 = nn.BatchNorm2d(8)
            self.c2 = nn.Conv2d(8, 16, 3, 2, 1)
            self.b2 = nn.BatchNorm2d(16)
            self.dw = nn.Conv2d(16, 16, 3, 1, 1, groups=16)
            self.up = nn.Conv2d(16, 8, 1)
            self.fc = nn.Linear(16, 5)

        def forward(self, x):
            y = F.relu(self.b1(self.c1(x)))
            y = F.max_pool2d(y, 2)
            y = F.relu(self.b2(self.c2(y)))
            y = y + F.hardswish(self.dw(y))
            side = F.interpolate(self.up(y), scale_factor=2.0, mode="nearest")
            g = y.mean((2, 3)) + side.sum() * 0.0
            g = g.reshape(g.shape[0], -1)
            return torch.softmax(self.fc(g), dim=-1)

    class DynAttention(nn.Module):
        def __init__(self, c=16, heads=2):
            super().__init__()
            self.heads = heads
            self.ln1 = nn.LayerNorm(c)
            self.qkv = nn.Linear(c, 3 * c)
            self.proj = nn.Linear(c, c)
            self.ln2 = nn.LayerNorm(c)
            self.mlp = nn.Sequential(nn.Linear(c, 2 * c), nn.GELU(), nn.Linear(2 * c, c))

        def forward(self, x):
            b, t, c = x.shape
            q, k, v = self.qkv(self.ln1(x)).chunk(3, dim=-1)
            q = q.reshape(b, t, self.heads, c // self.heads).transpose(1, 2)
            k = k.reshape(b, t, self.heads, c // self.heads).transpose(1, 2)
            v = v.reshape(b, t, self.heads, c // self.heads).transpose(1, 2)
            a = torch.softmax(q @ k.transpose(-2, -1) / (c // self.heads) ** 0.5, dim=-1)
            y = (a @ v).transpose(1, 2).reshape(b, t, c)
            x = x + self.proj(y)
            return x + self.mlp(self.ln2(x))

    out = []
    for name, make, shape, axes in [
            ("torch_dyn_cnn", DynCnn, [2, 3, 24, 20], {0: "batch", 2: "height", 3: "width"}),
            ("torch_dyn_attention", DynAttention, [1, 7, 16], {1: "tokens"})]:
        for opset in (11, 13, 17):
            for folding in (False, True):
                case_name = "%s_op%d%s" % (name, opset, "_folded" if folding else "")
                torch.manual_seed(seed_of(name))
                model = make()
                conf.randomize_statistics(model, torch, nn)
                model.eval()
                x = rand(np.random.RandomState(seed_of(case_name)), shape)
                with tempfile.TemporaryDirectory() as tmp:
                    path = os.path.join(tmp, "m.onnx")
                    torch.onnx.export(model, torch.from_numpy(x), path, opset_version=opset,
                                      input_names=["input"], output_names=["output"],
                                      dynamic_axes={"input": axes}, do_constant_folding=folding)
                    proto = onnx.load(path)
                out.append(Case(case_name, "net", opset, proto, [("input", "f32", x)]))
    return out


def tail_models():
    """Detection tails for the matcher (structure only; they are converted,
    not run by ONNX Runtime): the matching one and three near misses."""
    f = np.float32
    i64 = lambda v: np.array(v, dtype=np.int64)

    def tail(name, outputs=1, second_nms=False, computed_threshold=False):
        nodes = [node("Sigmoid", ["x0"], ["pred"], name="head")]
        nodes += [node("Slice", ["pred", "s0", "s1", "sax"], ["cls"], name="cls_slice"),
                  node("ReduceMax", ["cls"], ["best"], axes=[1], keepdims=1, name="best")]
        if computed_threshold:
            nodes.append(node("Mul", ["thr", "two"], ["thr2"], name="thr_calc"))
        nodes += [node("Greater", ["best", "thr2" if computed_threshold else "thr"], ["keep"], name="keep"),
                  node("Reshape", ["keep", "nshape"], ["nms_scores"], name="nms_scores"),
                  node("NonMaxSuppression", ["pred", "nms_scores", "maxout", "iou"], ["sel"],
                       center_point_box=1, name="nms")]
        if second_nms:
            nodes.append(node("NonMaxSuppression", ["pred", "nms_scores", "maxout", "iou"], ["sel2"], name="nms2"))
        nodes += [node("NonZero", ["keep"], ["nz"], name="nz"),
                  node("Cast", ["nz"], ["nzf"], to=TensorProto.FLOAT, name="nz_cast"),
                  node("Mul", ["nzf", "cscale"], ["scaled"], name="cast_mul"),
                  node("Div", ["scaled", "divisor"], ["div"], name="div"),
                  node("Mul", ["div", "dscale"], ["boxes"], name="div_mul"),
                  node("Reshape", ["boxes", "oshape"], ["y0"], name="out")]
        outs = [("y0", "f32")] + ([("sel", "i64")] if outputs == 2 else [])
        inits = [("s0", i64([4])), ("s1", i64([6])), ("sax", i64([1])), ("thr", np.array(0.25, f)),
                 ("two", np.array(2.0, f)), ("nshape", i64([1, 1, 20])), ("maxout", i64([10])),
                 ("iou", np.array(0.45, f)), ("cscale", np.array(3.0, f)), ("divisor", np.array(640.0, f)),
                 ("dscale", np.array(0.5, f)), ("oshape", i64([1, 10, 7]))]
        model = op_model(name, 13, nodes, [("x0", "f32", [1, 7, 20])], inits, outs)
        for vi in model.graph.output:
            if vi.name == "y0":
                for d in (1, 10, 7):
                    vi.type.tensor_type.shape.dim.add().dim_value = d
            else:
                vi.type.tensor_type.shape.dim.add().dim_value = 10
                vi.type.tensor_type.shape.dim.add().dim_value = 3
        return model

    return {"tail_match": tail("tail_match"), "tail_two_outputs": tail("tail_two_outputs", outputs=2),
            "tail_two_nms": tail("tail_two_nms", second_nms=True),
            "tail_computed_threshold": tail("tail_computed_threshold", computed_threshold=True)}


def extra_models():
    """Models converted but not run by ONNX Runtime: a weight holding an
    infinity (the Q8 quantizer keeps it in F32) and a node reading a tensor
    nothing produces."""
    f = np.float32
    wq = w("q8nf", [64, 64])
    wq[3, 5] = np.inf
    wok = w("q8ok", [64, 64])
    nonfinite = op_model("q8_nonfinite", 13, [
        node("MatMul", ["x0", "w_inf"], ["h"], name="mm_inf"),
        node("MatMul", ["h", "w_ok"], ["y0"], name="mm_ok")],
        [("x0", "f32", [2, 64])], [("w_inf", wq), ("w_ok", wok)], [("y0", "f32")])
    dangling = op_model("dangling_input", 13, [node("Add", ["x0", "ghost"], ["y0"], name="add_ghost")],
                        [("x0", "f32", [2, 3])], [], [("y0", "f32")])
    for m in (nonfinite, dangling):
        for vi in m.graph.output:
            vi.type.tensor_type.shape.dim.add().dim_value = 2
            vi.type.tensor_type.shape.dim.add().dim_value = 64 if m is nonfinite else 3
    return {"q8_nonfinite": nonfinite, "dangling_input": dangling}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ort", default="/work/ort")
    ap.add_argument("--out", default=OUT_DIR)
    args = ap.parse_args()
    conf.ensure_ort(args.ort)
    all_cases = cases() + torch_cases()
    # ONNX Runtime cannot run a node of an unknown domain: that case keeps no
    # outputs and is only converted.
    runnable = [k for k in all_cases if k.name != "refuse_custom_domain"]
    os.makedirs(args.out, exist_ok=True)
    entries = conf.write_cases(runnable, args.ort, args.out)
    custom = [k for k in all_cases if k.name == "refuse_custom_domain"][0]
    folder = os.path.join(args.out, custom.name)
    os.makedirs(folder, exist_ok=True)
    custom.model.opset_import.append(helper.make_opsetid("com.example", 1))
    for vi in custom.model.graph.output:
        vi.type.tensor_type.shape.dim.add().dim_value = 2
        vi.type.tensor_type.shape.dim.add().dim_value = 3
    import onnx
    onnx.save(custom.model, os.path.join(folder, "model.onnx"))
    x = custom.inputs[0][2]
    x.astype("<f4").tofile(os.path.join(folder, "in0.bin"))
    x.astype("<f4").tofile(os.path.join(folder, "out0.bin"))
    entries.append({"name": custom.name, "kind": "op", "opset": 13, "model": custom.name + "/model.onnx",
                    "inputs": [{"name": "x0", "dtype": "f32", "shape": [2, 3], "file": custom.name + "/in0.bin"}],
                    "outputs": [{"name": "y0", "dtype": "f32", "shape": [2, 3], "file": custom.name + "/out0.bin"}],
                    "top1": False})
    for name, model in list(tail_models().items()) + list(extra_models().items()):
        os.makedirs(os.path.join(args.out, name), exist_ok=True)
        onnx.save(model, os.path.join(args.out, name, "model.onnx"))
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        f.write('{"tolerance": {"relative": 1e-4, "absolute": 1e-5},\n "cases": [\n')
        f.write(",\n".join("  " + json.dumps(e) for e in entries))
        f.write("\n]}\n")


if __name__ == "__main__":
    main()
