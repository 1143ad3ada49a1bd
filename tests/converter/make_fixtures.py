#!/usr/bin/python3
"""Builds the small ONNX fixtures of the converter tests.

Run with Debian's python (/usr/bin/python3, which sees python3-onnx and
numpy); writes tests/data/onnx/*.onnx, the external-data file and
expected.json (the initializer values as numpy widens them, for the tests to
compare against). The graphs only need to be well-formed protobuf with the
operators and attribute forms the importer reads; they are not meant to run.
"""
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "data", "onnx")

expected = {}


def model(graph, opset=17, **kw):
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)], producer_name="vorn-fixtures", **kw)
    m.ir_version = 8
    return m


def save(m, name):
    onnx.save(m, os.path.join(OUT, name))


def vi(name, elem=TensorProto.FLOAT, shape=None):
    return helper.make_tensor_value_info(name, elem, shape)


def init(name, array, elem=None, raw=True, record=True):
    array = np.asarray(array)
    if elem is None:
        t = numpy_helper.from_array(array, name)
        if not raw:
            t = helper.make_tensor(name, t.data_type, array.shape, array.flatten().tolist(), raw=False)
    else:
        t = helper.make_tensor(name, elem, array.shape, array.flatten().tolist(), raw=False)
    if record:
        expected[name] = {"shape": list(array.shape), "values": array.astype(np.float64).flatten().tolist()}
    return t


# Every operator the importer maps, one node each, with the attribute forms
# that go with it.
def all_ops():
    ops = [
        ("Sub", 2), ("Div", 2), ("Add", 2), ("Mul", 2), ("Relu", 1), ("GlobalAveragePool", 1), ("Flatten", 1),
        ("Sigmoid", 1), ("HardSwish", 1), ("MatMul", 2), ("Erf", 1), ("PRelu", 2), ("Identity", 1),
        ("Shape", 1), ("Reshape", 2), ("Pow", 2), ("Sqrt", 1), ("Equal", 2), ("Where", 3), ("Expand", 2),
        ("DynamicQuantizeLinear", 1), ("Exp", 1), ("Tanh", 1), ("DequantizeLinear", 3), ("Range", 3),
        ("Less", 2), ("Cos", 1), ("Sin", 1), ("Log", 1), ("GridSample", 2), ("Abs", 1), ("Neg", 1),
        ("Floor", 1), ("Ceil", 1), ("Round", 1), ("Reciprocal", 1), ("Max", 2), ("Min", 2), ("GatherND", 2),
        ("ScatterND", 3), ("NonMaxSuppression", 5), ("Greater", 2), ("Not", 1), ("And", 2), ("Or", 2),
        ("Dropout", 1), ("MatMulInteger", 4), ("ConvInteger", 4), ("LessOrEqual", 2), ("GreaterOrEqual", 2),
        ("Tile", 2), ("Slice", 5), ("Expand", 2), ("Clip", ["x0", "clip_lo", "clip_hi"]),
        ("Pad", ["x0", "x1", "pad_value"]), ("Resize", 4), ("ConstantOfShape", 1),
        ("ReduceSum", 2), ("Squeeze", 2), ("Unsqueeze", 2),
    ]
    nodes = []
    for i, (op, n_in) in enumerate(ops):
        inputs = n_in if isinstance(n_in, list) else [f"x{k}" for k in range(n_in)]
        nodes.append(helper.make_node(op, inputs, [f"{op}_{i}_out"], name=f"n_{op}_{i}"))
    extra = [
        helper.make_node("Conv", ["x0", "w4"], ["conv"], name="conv", kernel_shape=[3, 3], strides=[2, 2],
                         pads=[1, 1, 1, 1], dilations=[1, 1], group=1),
        helper.make_node("Conv", ["x0", "w4"], ["conv_same"], name="conv_same", auto_pad="SAME_UPPER"),
        helper.make_node("Conv", ["x0", "w4"], ["conv_lower"], name="conv_lower", auto_pad="SAME_LOWER"),
        helper.make_node("Conv", ["x1d", "w3"], ["conv1d"], name="conv1d", kernel_shape=[3], strides=[2],
                         pads=[1, 1]),
        helper.make_node("ConvTranspose", ["x0", "w4"], ["convt"], name="convt", kernel_shape=[2, 2], strides=[2, 2]),
        helper.make_node("MaxPool", ["x0"], ["maxpool"], name="maxpool", kernel_shape=[2, 2], strides=[2, 2]),
        helper.make_node("AveragePool", ["x0"], ["avgpool"], name="avgpool", kernel_shape=[3, 3], pads=[1, 1, 1, 1],
                         count_include_pad=1),
        helper.make_node("Gemm", ["x0", "x1", "x2"], ["gemm"], name="gemm", alpha=0.5, beta=2.0, transA=1, transB=1),
        helper.make_node("Gemm", ["x0", "x1"], ["gemm_default"], name="gemm_default"),
        helper.make_node("HardSigmoid", ["x0"], ["hsig"], name="hsig"),
        helper.make_node("HardSigmoid", ["x0"], ["hsig_ab"], name="hsig_ab", alpha=0.25, beta=0.75),
        helper.make_node("LeakyRelu", ["x0"], ["lrelu"], name="lrelu"),
        helper.make_node("Elu", ["x0"], ["elu"], name="elu"),
        helper.make_node("Selu", ["x0"], ["selu"], name="selu"),
        helper.make_node("Gelu", ["x0"], ["gelu"], name="gelu", domain=""),
        helper.make_node("Transpose", ["x0"], ["transpose"], name="transpose", perm=[0, 2, 3, 1]),
        helper.make_node("LayerNormalization", ["x0", "x1", "x2"], ["ln"], name="ln", epsilon=1e-6),
        helper.make_node("BatchNormalization", ["x0", "x1", "x2", "x3", "x4"], ["bn"], name="bn"),
        helper.make_node("InstanceNormalization", ["x0", "x1", "x2"], ["inorm"], name="inorm"),
        helper.make_node("Concat", ["x0", "x1", "x2"], ["concat"], name="concat", axis=-1),
        helper.make_node("Softmax", ["x0"], ["softmax"], name="softmax"),
        helper.make_node("ArgMax", ["x0"], ["argmax"], name="argmax", keepdims=0),
        helper.make_node("Split", ["x0", "split_sizes"], ["split_a", "split_b"], name="split"),
        helper.make_node("Gather", ["x0", "x1"], ["gather"], name="gather"),
        helper.make_node("Gather", ["x0", "x1"], ["gather_ax"], name="gather_ax", axis=1),
        helper.make_node("ReduceMean", ["x0"], ["rmean"], name="rmean", axes=[2, 3], keepdims=1),
        helper.make_node("ReduceMax", ["x0"], ["rmax"], name="rmax", axes=[1], keepdims=0),
        helper.make_node("ReduceMin", ["x0"], ["rmin"], name="rmin", axes=[1]),
        helper.make_node("ReduceProd", ["x0"], ["rprod"], name="rprod", axes=[1]),
        helper.make_node("CumSum", ["x0", "x1"], ["cumsum"], name="cumsum", exclusive=1, reverse=1),
        helper.make_node("TopK", ["x0", "k"], ["topk_v", "topk_i"], name="topk"),
        helper.make_node("TopK", ["x0", "k"], ["topk_small", "topk_small_i"], name="topk_small", axis=1, largest=0),
        helper.make_node("SpaceToDepth", ["x0"], ["s2d"], name="s2d", blocksize=2),
        helper.make_node("DepthToSpace", ["x0"], ["d2s"], name="d2s", blocksize=2, mode="CRD"),
        helper.make_node("Mod", ["x0", "x1"], ["mod_floor"], name="mod_floor"),
        helper.make_node("Mod", ["x0", "x1"], ["mod_fmod"], name="mod_fmod", fmod=1),
        helper.make_node("OneHot", ["x0", "x1", "x2"], ["onehot"], name="onehot"),
        helper.make_node("Cast", ["x0"], ["cast"], name="cast", to=TensorProto.INT64),
        helper.make_node("Shape", ["x0"], ["shape_se"], name="shape_se", start=-2, end=4),
        helper.make_node("Resize", ["x0", "", "scales"], ["resize_scales"], name="resize_scales", mode="linear",
                         coordinate_transformation_mode="align_corners"),
        helper.make_node("Resize", ["x0", "", "", "sizes"], ["resize_sizes"], name="resize_sizes", mode="nearest",
                         coordinate_transformation_mode="asymmetric", nearest_mode="floor"),
        helper.make_node("Constant", [], ["const_t"], name="const_t",
                         value=numpy_helper.from_array(np.array([1.5, -2.0], np.float32))),
        helper.make_node("Constant", [], ["const_f"], name="const_f", value_float=3.25),
        helper.make_node("Constant", [], ["const_i"], name="const_i", value_int=-7),
        helper.make_node("ConstantOfShape", ["shape_se"], ["cos_fill"], name="cos_fill",
                         value=numpy_helper.from_array(np.array([2], np.int64))),
    ]
    inits = [
        init("w4", np.arange(2 * 3 * 3 * 3, dtype=np.float32).reshape(2, 3, 3, 3) * 0.25),
        init("w3", np.arange(2 * 3 * 3, dtype=np.float32).reshape(2, 3, 3)),
        init("split_sizes", np.array([1, 2], np.int64)),
        init("k", np.array([2], np.int64)),
        init("scales", np.array([1, 1, 1.5, 1.5], np.float32)),
        init("sizes", np.array([1, 3, 8, 8], np.int64)),
        init("clip_lo", np.array(-1.0, np.float32)),
        init("clip_hi", np.array(6.0, np.float32)),
        init("pad_value", np.array(0.0, np.float32)),
    ]
    inputs = [vi(f"x{k}", shape=[1, 3, 4, 4]) for k in range(5)] + [vi("x1d", shape=[1, 3, 9])]
    outputs = [vi("conv"), vi("softmax")]
    g = helper.make_graph([*nodes, *extra], "all_ops", inputs, outputs, inits)
    save(model(g, opset=17), "all_ops.onnx")


# Initializers of every element type the reader widens, raw and typed.
def initializers():
    half = np.array([1.0, -0.0, 2.0 ** -24, 65504.0, -3.5, 0.099975586], np.float16)
    bf16_values = np.array([1.0, -2.5, 3.140625, 0.0], np.float32)
    bf16_bits = (bf16_values.view(np.uint32) >> 16).astype(np.uint16)
    bf16 = helper.make_tensor("bf16", TensorProto.BFLOAT16, [4], bf16_bits.tobytes(), raw=True)
    expected["bf16"] = {"shape": [4], "values": bf16_values.astype(np.float64).tolist()}
    inits = [
        init("f32_raw", np.arange(6, dtype=np.float32).reshape(2, 3) - 2.5),
        init("f32_typed", np.array([0.5, -1.25, 7.0], np.float32), raw=False),
        init("f16_raw", half),
        init("f16_typed", half, elem=TensorProto.FLOAT16),
        init("i64_raw", np.array([[1, -2], [3, 1 << 40]], np.int64)),
        init("i64_typed", np.array([5, -6, 7], np.int64), raw=False),
        init("i64_scalar", np.array(42, np.int64)),
        init("i32_raw", np.array([1, 2, -3], np.int32)),
        init("i32_typed", np.array([-1, 2], np.int32), raw=False),
        init("i8_raw", np.array([-1, 127, -128], np.int8)),
        init("u8_raw", np.array([0, 255, 7], np.uint8)),
        init("bool_raw", np.array([True, False, True])),
        init("i16_raw", np.array([-300, 300], np.int16)),
        init("u16_raw", np.array([65535, 1], np.uint16)),
        init("f64_raw", np.array([0.1, -2.0, 1e10], np.float64)),
        init("f64_typed", np.array([0.25, 3.0], np.float64), raw=False),
        init("u32_raw", np.array([4000000000, 1], np.uint32)),
        init("f32_scalar", np.array(2.5, np.float32)),
        bf16,
    ]
    nodes = [helper.make_node("Add", ["x", "f32_raw"], ["y"], name="add")]
    g = helper.make_graph(nodes, "initializers", [vi("x", shape=[2, 3])], [vi("y", shape=[2, 3])], inits)
    save(model(g), "initializers.onnx")


# Weights in "<model>.data": one tensor by offset and length, one by offset
# alone (to the end of the file).
def external():
    a = np.arange(12, dtype=np.float32).reshape(3, 4) * 0.5
    b = np.array([1, 2], np.int32)
    blob = a.tobytes() + b"\0" * 4 + b.tobytes()
    with open(os.path.join(OUT, "external.onnx.data"), "wb") as f:
        f.write(blob)

    def ext(name, elem, dims, offset, length=None):
        t = TensorProto()
        t.name = name
        t.data_type = elem
        t.dims.extend(dims)
        t.data_location = TensorProto.EXTERNAL
        for k, v in [("location", "external.onnx.data"), ("offset", str(offset))] + (
                [("length", str(length))] if length is not None else []):
            e = t.external_data.add()
            e.key, e.value = k, v
        return t

    expected["ext_a"] = {"shape": [3, 4], "values": a.astype(np.float64).flatten().tolist()}
    expected["ext_b"] = {"shape": [2], "values": b.astype(np.float64).tolist()}
    inits = [ext("ext_a", TensorProto.FLOAT, [3, 4], 0, a.nbytes), ext("ext_b", TensorProto.INT32, [2], a.nbytes + 4)]
    nodes = [helper.make_node("MatMul", ["x", "ext_a"], ["y"], name="mm")]
    g = helper.make_graph(nodes, "external", [vi("x", shape=[2, 3])], [vi("y", shape=[2, 4])], inits)
    save(model(g), "external.onnx")


# Axes given as attributes (opset 11) and as inputs (opset 13), Pad and Clip
# with their parameters as inputs, dynamic input dimensions.
def axes_forms():
    n11 = [
        helper.make_node("Unsqueeze", ["x"], ["u"], name="unsq", axes=[0, 3]),
        helper.make_node("Squeeze", ["u"], ["s"], name="sq", axes=[0]),
        helper.make_node("ReduceSum", ["s"], ["r"], name="rsum", axes=[1], keepdims=0),
        helper.make_node("Softmax", ["x"], ["sm"], name="sm"),
        helper.make_node("Split", ["x"], ["p0", "p1"], name="split", axis=1, split=[1, 2]),
        helper.make_node("Clip", ["x", "lo", "hi"], ["c"], name="clip"),
        helper.make_node("Pad", ["x", "pads", "pv"], ["pd"], name="pad", mode="constant"),
    ]
    inits = [init("lo", np.array(-1.0, np.float32)), init("hi", np.array(6.0, np.float32)),
             init("pads", np.array([0, 0, 0, 1, 0, 0], np.int64)), init("pv", np.array(0.0, np.float32))]
    g = helper.make_graph(n11, "axes11", [vi("x", shape=["batch", 3, 5])], [vi("r"), vi("sm")], inits)
    save(model(g, opset=11), "axes_attr_opset11.onnx")

    n13 = [
        helper.make_node("Unsqueeze", ["x", "ax"], ["u"], name="unsq"),
        helper.make_node("Squeeze", ["u", "ax0"], ["s"], name="sq"),
        helper.make_node("ReduceSum", ["s", "ax1"], ["r"], name="rsum", keepdims=0),
        helper.make_node("Softmax", ["x"], ["sm"], name="sm"),
    ]
    inits = [init("ax", np.array([0, 3], np.int64)), init("ax0", np.array([0], np.int64)),
             init("ax1", np.array([1], np.int64))]
    g = helper.make_graph(n13, "axes13", [vi("x", shape=["batch", "seq", 5]), vi("ids", TensorProto.INT64, ["seq"])],
                          [vi("r"), vi("sm")], inits)
    save(model(g, opset=13), "axes_input_opset13.onnx")


# Opsets at and outside the supported range, and a default domain spelled
# "ai.onnx".
def opsets():
    for v in (10, 11, 20, 21):
        g = helper.make_graph([helper.make_node("Relu", ["x"], ["y"], name="relu")], "relu",
                              [vi("x", shape=[1, 4])], [vi("y", shape=[1, 4])])
        save(model(g, opset=v), f"relu_opset{v}.onnx")
    g = helper.make_graph([helper.make_node("Relu", ["x"], ["y"], name="relu")], "relu",
                          [vi("x", shape=[1, 4])], [vi("y", shape=[1, 4])])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("ai.onnx", 13)])
    m.metadata_props.add(key="author", value="vorn")
    m.metadata_props.add(key="", value="dropped")
    save(m, "relu_domain_ai_onnx.onnx")


# Operators and attribute values without a faithful lowering.
def refused():
    nodes = [
        helper.make_node("DepthToSpace", ["x"], ["d"], name="d2s_dcr", blocksize=2),
        helper.make_node("ScatterElements", ["x", "i", "x"], ["se"], name="scatter_el", axis=1),
        helper.make_node("Pad", ["x", "pads"], ["pr"], name="pad_reflect", mode="reflect"),
        helper.make_node("Einsum", ["x", "x"], ["e"], name="einsum", equation="bhwc,bhkc->bhwk"),
        helper.make_node("LogSoftmax", ["x"], ["ls"], name="logsoftmax"),
        helper.make_node("Relu", ["x"], ["cr"], name="custom_relu", domain="com.example"),
        helper.make_node("MaxPool", ["x"], ["mp"], name="maxpool_ceil", kernel_shape=[2, 2], ceil_mode=1),
        helper.make_node("AveragePool", ["x"], ["ap"], name="avgpool_pads", kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        helper.make_node("Resize", ["x", "", "sc"], ["rz"], name="resize_asym_linear", mode="linear",
                         coordinate_transformation_mode="asymmetric"),
        helper.make_node("Resize", ["x", "", "sc"], ["rn"], name="resize_nearest_ceil", mode="nearest",
                         nearest_mode="ceil"),
        helper.make_node("Pad", ["x", "pads", "one"], ["p1"], name="pad_one"),
        helper.make_node("Clip", ["x", "x"], ["cl"], name="clip_runtime"),
    ]
    inits = [init("pads", np.zeros(8, np.int64), record=False), init("i", np.zeros((1, 4, 2, 2), np.int64), record=False),
             init("sc", np.array([1, 1, 2, 2], np.float32), record=False),
             init("one", np.array(1.0, np.float32), record=False)]
    g = helper.make_graph(nodes, "refused", [vi("x", shape=[1, 4, 2, 2])], [vi("d")], inits)
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 17), helper.make_opsetid("com.example", 1)])
    save(m, "refused.onnx")


# Seeds of the libFuzzer target: each fixture behind the target's 4-byte
# prefix (flags, external-data length, option word).
def fuzz_corpus():
    dst = os.path.join(HERE, "corpus", "converter_onnx_fuzzer")
    os.makedirs(dst, exist_ok=True)
    for name in sorted(os.listdir(OUT)):
        if not name.endswith(".onnx"):
            continue
        data = open(os.path.join(OUT, name), "rb").read()
        ext = b""
        if os.path.exists(os.path.join(OUT, name + ".data")):
            ext = open(os.path.join(OUT, name + ".data"), "rb").read()
        for flags in (1, 0):
            prefix = bytes([flags | 2, len(ext) & 255, len(ext) >> 8, 0])
            with open(os.path.join(dst, f"{name[:-5]}_{flags}"), "wb") as f:
                f.write(prefix + data + ext)


def main():
    os.makedirs(OUT, exist_ok=True)
    all_ops()
    initializers()
    external()
    axes_forms()
    opsets()
    refused()
    with open(os.path.join(OUT, "expected.json"), "w") as f:
        json.dump(expected, f, indent=1, sort_keys=True)
        f.write("\n")
    fuzz_corpus()


if __name__ == "__main__":
    main()
