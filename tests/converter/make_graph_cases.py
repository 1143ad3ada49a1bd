#!/usr/bin/python3
"""Builds graphs written the way real exporters write them, with ONNX
Runtime's outputs: nodes without names, nodes out of dependency order,
ScatterND reductions, Splits into more than four outputs, and the forms
that once converted to other numbers than ONNX's or to containers the
runtime refused (explicit zeros of Elu and Selu, weights shared with a
folded node, variadic Max and Min, Slices over several axes, pads split
from a constant, Clip bounds computed at run time, names and counts the
runtime's descriptors cannot hold).

    /usr/bin/python3 tests/converter/make_graph_cases.py --ort /work/ort

It reuses the conformance fixture machinery and writes
tests/data/converter_graphs/ in the same layout (one folder per case and
manifest.json). Cases listed in graph_refusals.txt must be refused naming the
node; the others must match ONNX Runtime.
"""
import argparse
import os
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "conformance"))
import make_fixtures as conf  # noqa: E402

OUT_DIR = os.path.join(conf.REPO, "tests", "data", "converter_graphs")
node = helper.make_node  # no name: exporters often leave it out
f32 = np.float32


def i64(v):
    return np.array(v, dtype=np.int64)


def case(name, opset, nodes, ins, inits, outs):
    model = conf.op_model(name, opset, nodes, ins, inits, outs)
    rng = np.random.RandomState(conf.seed_of(name))
    feeds = []
    for n, d, shape in ins:
        if d == "f32":
            feeds.append((n, d, conf.rand(rng, shape, -3.0, 3.0)))
        else:
            feeds.append((n, d, rng.randint(0, 3, size=shape).astype(np.int64)))
    return conf.Case(name, "op", opset, model, feeds)


def cases():
    c = []
    x = lambda shape: [("x", "f32", shape)]
    # Attributes read back from the node: they hold for unnamed nodes too.
    c.append(case("avgpool_include_pad_unnamed", 13, [
        node("AveragePool", ["x"], ["y"], kernel_shape=[3, 3], pads=[1, 1, 1, 1], count_include_pad=1)],
        x([1, 2, 6, 6]), [], [("y", "f32")]))
    c.append(case("maxpool_ceil_unnamed", 13, [
        node("MaxPool", ["x"], ["y"], kernel_shape=[3, 3], strides=[2, 2], ceil_mode=1)],
        x([1, 2, 8, 8]), [], [("y", "f32")]))
    c.append(case("convtranspose_output_padding_unnamed", 13, [
        node("ConvTranspose", ["x", "w"], ["y"], strides=[2, 2], pads=[1, 1, 1, 1], output_padding=[1, 1])],
        x([1, 2, 5, 5]), [("w", conf.weights("ct_w", [2, 3, 3, 3], 0.5))], [("y", "f32")]))
    c.append(case("reducemean_keepdims0_unnamed", 13, [
        node("ReduceMean", ["x"], ["y"], axes=[1], keepdims=0)], x([2, 3, 4]), [], [("y", "f32")]))
    c.append(case("gridsample_align_corners_unnamed", 16, [
        node("GridSample", ["x", "g"], ["y"], align_corners=1)],
        x([1, 2, 4, 5]) + [("g", "f32", [1, 3, 3, 2])], [], [("y", "f32")]))
    # ScatterND reductions.
    c.append(case("scatternd_add", 16, [node("ScatterND", ["x", "i", "u"], ["y"], reduction="add")],
                  x([4, 3]) + [("u", "f32", [2, 3])], [("i", i64([[1], [3]]))], [("y", "f32")]))
    c.append(case("scatternd_mul_tuples", 16, [node("ScatterND", ["x", "i", "u"], ["y"], reduction="mul")],
                  x([2, 3, 4]) + [("u", "f32", [2, 4])], [("i", i64([[0, 1], [1, -1]]))], [("y", "f32")]))
    c.append(case("scatternd_max", 18, [node("ScatterND", ["x", "i", "u"], ["y"], reduction="max")],
                  x([3, 4]) + [("u", "f32", [2, 4])], [("i", i64([[2], [0]]))], [("y", "f32")]))
    c.append(case("scatternd_min", 18, [node("ScatterND", ["x", "i", "u"], ["y"], reduction="min")],
                  x([3, 4]) + [("u", "f32", [1, 4])], [("i", i64([[1]]))], [("y", "f32")]))
    c.append(case("scatternd_add_repeated", 16, [node("ScatterND", ["x", "i", "u"], ["y"], reduction="add")],
                  x([4, 3]) + [("u", "f32", [2, 3])], [("i", i64([[1], [1]]))], [("y", "f32")]))
    c.append(case("scatternd_add_runtime_indices", 16, [
        node("ScatterND", ["x", "i", "u"], ["y"], reduction="add")],
        x([4, 3]) + [("i", "i64", [2, 1]), ("u", "f32", [2, 3])], [], [("y", "f32")]))
    # Splits into more than four outputs.
    outs = lambda n: ["y%d" % k for k in range(n)]
    c.append(case("split6_sizes", 13, [node("Split", ["x", "s"], outs(6), axis=1)],
                  x([1, 12, 2, 3]), [("s", i64([1, 3, 2, 2, 1, 3]))], [(o, "f32") for o in outs(6)]))
    c.append(case("split5_equal_op11", 11, [node("Split", ["x"], outs(5), axis=2)],
                  x([1, 2, 10, 3]), [], [(o, "f32") for o in outs(5)]))
    c.append(case("split6_constant", 13, [node("Split", ["w", "s"], ["p%d" % k for k in range(6)], axis=0)] +
                  [node("Add", ["x", "p%d" % k], [o]) for k, o in enumerate(outs(6))],
                  x([1, 4]), [("w", conf.weights("split_w", [8, 4], 1.0)), ("s", i64([1, 2, 1, 1, 2, 1]))],
                  [(o, "f32") for o in outs(6)]))
    # Nodes out of dependency order (the model file is written reversed).
    c.append(case("unsorted_convnet", 13, [
        node("Conv", ["x", "w", "b"], ["c"], pads=[1, 1, 1, 1]),
        node("Relu", ["c"], ["r"]),
        node("MaxPool", ["r"], ["p"], kernel_shape=[2, 2], strides=[2, 2]),
        node("Flatten", ["p"], ["f"]),
        node("Gemm", ["f", "g"], ["y"], transB=1)],
        x([1, 2, 6, 6]), [("w", conf.weights("un_w", [4, 2, 3, 3], 0.5)), ("b", conf.weights("un_b", [4], 0.1)),
                          ("g", conf.weights("un_g", [5, 36], 0.2))], [("y", "f32")]))
    c.extend(issue_cases())
    return c


def const_i64(name, values):
    return helper.make_node("Constant", [], [name], value=numpy_helper.from_array(i64(values), name + "_value"))


def issue_cases():
    """Graphs whose conversion computed other numbers than ONNX's, or wrote a
    container the runtime refused at open."""
    c = []
    x = lambda shape: [("x", "f32", shape)]
    # Explicit zeros of Elu and Selu mean zero (the kernels read a zero word
    # as the default).
    c.append(case("elu_alpha_zero", 13, [node("Elu", ["x"], ["y"], alpha=0.0)], x([2, 7]), [], [("y", "f32")]))
    c.append(case("selu_alpha_zero", 13, [node("Selu", ["x"], ["y"], alpha=0.0, gamma=2.0)], x([2, 7]), [],
                  [("y", "f32")]))
    c.append(case("selu_gamma_zero", 13, [node("Selu", ["x"], ["y"], gamma=0.0)], x([2, 7]), [], [("y", "f32")]))
    # One Conv bias read by two Convs, one of them followed by a
    # BatchNormalization that folds into it.
    ch = 4
    c.append(case("bn_fold_shared_conv_bias", 13, [
        node("Conv", ["x", "w0", "cb"], ["c"], pads=[1, 1, 1, 1]),
        node("BatchNormalization", ["c", "s", "b", "m", "v"], ["n"]),
        node("Conv", ["x", "w1", "cb"], ["d"], pads=[1, 1, 1, 1]),
        node("Add", ["n", "d"], ["y"])],
        x([1, 2, 6, 6]), [("w0", conf.weights("sb_w0", [ch, 2, 3, 3])), ("w1", conf.weights("sb_w1", [ch, 2, 3, 3])),
                          ("cb", conf.weights("sb_cb", [ch], 0.3)), ("s", conf.weights("sb_s", [ch]) + 1.0),
                          ("b", conf.weights("sb_b", [ch])), ("m", conf.weights("sb_m", [ch])),
                          ("v", np.abs(conf.weights("sb_v", [ch])) + 0.5)], [("y", "f32")]))
    # A 1-D Conv weight read by two Convs and by a reduction.
    c.append(case("conv1d_shared_weight", 13, [
        node("Conv", ["x", "w"], ["a"], pads=[1, 1]),
        node("Conv", ["x", "w"], ["b"], pads=[2, 2], dilations=[2]),
        node("Add", ["a", "b"], ["y"]),
        node("ReduceSum", ["w", "rax"], ["r"])],
        x([1, 3, 10]), [("w", conf.weights("c1s_w", [4, 3, 3])), ("rax", i64([2]))], [("y", "f32"), ("r", "f32")]))
    # Variadic Max and Min, with broadcasting, and Max of one input.
    three = [("a", "f32", [2, 3]), ("b", "f32", [3]), ("c", "f32", [1, 3])]
    c.append(case("max_three_inputs", 13, [node("Max", ["a", "b", "c"], ["y"])], three, [], [("y", "f32")]))
    c.append(case("min_four_inputs", 13, [node("Min", ["a", "b", "k", "c"], ["y"])], three,
                  [("k", conf.weights("min4_k", [2, 1], 2.0))], [("y", "f32")]))
    c.append(case("max_one_input", 13, [node("Max", ["x"], ["m"]), node("Neg", ["m"], ["y"])], x([2, 3]), [],
                  [("y", "f32")]))
    # A Slice over four axes listed out of order, ends past the axes (as
    # tf2onnx writes them), and transposed to the graph output.
    c.append(case("slice_four_axes", 11, [node("Slice", ["x", "st", "en", "ax"], ["s"]),
                                          node("Transpose", ["s"], ["y"], perm=[0, 2, 3, 1])], x([1, 6, 8, 5]),
                  [("st", i64([0, 1, 2, 1])), ("en", i64([2147483647, 5, 7, 4])), ("ax", i64([0, 2, 3, 1]))],
                  [("y", "f32")]))
    # Pads made by splitting an int64 constant and joining the parts again
    # (tf2onnx's ZeroPadding2D), in front of a strided Conv and alone.
    parts = ["p%d" % k for k in range(8)]
    c.append(case("pad_split_constant_conv", 11, [
        const_i64("pads_c", [0, 0, 0, 0, 0, 1, 1, 0]),
        node("Split", ["pads_c"], parts, axis=0, split=[1] * 8),
        node("Concat", [parts[k] for k in (0, 3, 1, 2, 4, 7, 5, 6)], ["pads"], axis=0),
        node("Pad", ["x", "pads"], ["padded"]),
        node("Conv", ["padded", "w"], ["y"], strides=[2, 2])],
        x([1, 2, 7, 7]), [("w", conf.weights("psc_w", [3, 2, 3, 3]))], [("y", "f32")]))
    c.append(case("pad_split_constant_op13", 13, [
        node("Split", ["pads_c", "sizes"], ["front", "back"], axis=0),
        node("Concat", ["front", "back"], ["pads"], axis=0),
        node("Pad", ["x", "pads"], ["y"])],
        x([1, 2, 3, 4]), [("pads_c", i64([0, 0, 0, 0, 0, 0, 2, 1])), ("sizes", i64([4, 4]))], [("y", "f32")]))
    # Clip bounds computed at run time (a log-mel spectrogram's floor 80 dB
    # below its peak), and a constant min with a run-time max.
    c.append(case("clip_runtime_min", 13, [
        node("ReduceMax", ["x"], ["peak"], keepdims=0),
        node("Sub", ["peak", "range"], ["floor"]),
        node("Clip", ["x", "floor"], ["y"])],
        x([1, 1, 5, 8]), [("range", np.array(2.0, dtype=f32))], [("y", "f32")]))
    c.append(case("clip_runtime_max", 13, [
        node("ReduceMean", ["x"], ["mean"], keepdims=0),
        node("Clip", ["x", "lo", "mean"], ["y"])],
        x([2, 6]), [("lo", np.array(-1.5, dtype=f32))], [("y", "f32")]))
    # Names and counts the runtime's descriptors cannot hold: refused.
    long_name = '{"1": "1_minute_timer", "2": "5_minute_timer", "3": "10_minute_timer", "4": "20_minute_timer"}'
    c.append(case("output_name_too_long", 13, [node("Relu", ["x"], [long_name])], x([1, 4]), [], [(long_name, "f32")]))
    nine = [("x%d" % k, "f32", [1, 2]) for k in range(9)]
    c.append(case("nine_graph_inputs", 13, [node("Concat", [n for n, _, _ in nine], ["y"], axis=0)], nine, [],
                  [("y", "f32")]))
    return c


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ort", default="/work/ort")
    ap.add_argument("--out", default=OUT_DIR)
    args = ap.parse_args()
    conf.ensure_ort(args.ort)
    os.makedirs(args.out, exist_ok=True)
    entries = conf.write_cases(cases(), args.ort, args.out)
    # ONNX Runtime computed the references from the sorted graphs; the
    # converter gets the same graphs with their nodes in reverse order.
    for e in entries:
        if e["name"].startswith("unsorted_"):
            path = os.path.join(args.out, e["model"])
            model = onnx.load(path)
            nodes = list(model.graph.node)[::-1]
            del model.graph.node[:]
            model.graph.node.extend(nodes)
            onnx.save(model, path)
    conf.write_manifest(args.out, entries)


if __name__ == "__main__":
    main()
