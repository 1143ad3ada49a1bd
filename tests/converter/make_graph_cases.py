#!/usr/bin/python3
"""Builds graphs written the way real exporters write them, with ONNX
Runtime's outputs: nodes without names, nodes out of dependency order,
ScatterND reductions and Splits into more than four outputs.

    /usr/bin/python3 tests/converter/make_graph_cases.py --ort /work/ort

It reuses the conformance fixture machinery and writes
tests/data/converter_graphs/ in the same layout (one folder per case and
manifest.json). Cases listed in graph_refusals.txt must be refused naming the
node; the others must match ONNX Runtime.
"""
import argparse
import json
import os
import sys

import numpy as np
import onnx
from onnx import helper

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
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        f.write('{"tolerance": {"relative": 1e-4, "absolute": 1e-5},\n "cases": [\n')
        f.write(",\n".join("  " + json.dumps(e) for e in entries))
        f.write("\n]}\n")


if __name__ == "__main__":
    main()
