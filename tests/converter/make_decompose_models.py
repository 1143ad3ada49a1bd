#!/usr/bin/python3
"""Builds the models of decompose_test.cpp: one node each of the operators the
converter imports as chains of others (Softplus, Sign, LogSoftmax, ReduceL2),
and reductions over three attribute axes.
The test computes its own references, so only the models are written:

    /usr/bin/python3 tests/converter/make_decompose_models.py

into tests/data/converter_lowering/decompose/<name>.onnx.
"""
import os

from onnx import TensorProto, helper

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(os.path.dirname(HERE), "data", "converter_lowering", "decompose")


def model(name, op, opset, in_shape, out_shape, **attrs):
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, in_shape)
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, out_shape)
    g = helper.make_graph([helper.make_node(op, ["x"], ["y"], name=name, **attrs)], name, [x], [y])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", opset)])
    m.ir_version = 7
    with open(os.path.join(OUT, name + ".onnx"), "wb") as f:
        f.write(m.SerializeToString())


def main():
    os.makedirs(OUT, exist_ok=True)
    model("softplus", "Softplus", 13, [2, 8], [2, 8])
    model("sign", "Sign", 13, [2, 8], [2, 8])
    model("logsoftmax_axis1", "LogSoftmax", 13, [2, 4, 3], [2, 4, 3], axis=1)
    model("logsoftmax_last", "LogSoftmax", 13, [2, 4, 3], [2, 4, 3], axis=-1)
    model("logsoftmax_op11_axis1", "LogSoftmax", 11, [2, 4, 3], [2, 4, 3], axis=1)
    model("reducel2_axes02_drop", "ReduceL2", 13, [2, 4, 3], [4], axes=[0, 2], keepdims=0)
    model("reducel2_axis1_keep", "ReduceL2", 13, [2, 4, 3], [2, 1, 3], axes=[1], keepdims=1)
    model("reducel2_all", "ReduceL2", 13, [2, 4, 3], [1, 1, 1])
    # Reductions with more attribute axes than a node record holds.
    model("reducesum_three_axes_op11", "ReduceSum", 11, [2, 3, 4, 5], [4], axes=[0, 1, 3], keepdims=0)
    model("reducemax_three_axes_keep", "ReduceMax", 13, [2, 3, 4, 5], [1, 3, 1, 1], axes=[0, -2, 3])


if __name__ == "__main__":
    main()
