#!/usr/bin/python3
"""Writes seed inputs for cpu_engine_create_fuzzer: small well-formed graphs
in the fuzzer's byte format, so that fuzzing starts from graphs the engine
accepts (fusion, batching and the Concat placement get exercised) rather
than from refusals. Run from this directory."""
import os

OPS = [3, 4, 5, 6, 9, 14, 19, 20, 26, 28, 29, 33, 34, 36, 10, 16, 21, 25]
OUT = "corpus/cpu_engine_create_fuzzer"


def attr(v):
    # the fuzzer reads a small attribute as byte % 9 - 4
    return (v + 4) % 9


def graph(values, nodes, batch=0, common=(1, 4, 4), weights=None, nofuse=False):
    # mode byte: batch in its value mod 6, fusion off with bit 7
    b = bytearray([len(values) - 2, len(nodes) - 1, batch | (0x80 if nofuse else 0)])
    b += bytes(weights or [16] * 64)
    b += bytes(common)  # channels - 1, height - 1, width - 1 (mod 4, 5, 5)
    for v in values:
        if v == "act":
            b += bytes([0])
        elif v == "out":
            b += bytes([3])
        elif v == "in":
            b += bytes([0])  # value 0 is made the graph input
        elif v[0] == "w":  # ("w", offset)
            b += bytes([1, v[1]])
        else:  # ("shape", rank, dims...) with the given kind (0 act, 3 out)
            kind, dims = v[1], v[2:]
            b += bytes([0x80 | kind, len(dims)] + list(dims) + [0] * (6 - len(dims)))
    for op, ins, outs, attrs in nodes:
        b += bytes([0, OPS.index(op), len(ins) - 1, len(outs) - 1])
        b += bytes(list(ins) + [0] * (8 - len(ins)))
        b += bytes(list(outs) + [0] * (4 - len(outs)))
        a = [attr(0)] * 16
        for k, v in attrs.items():
            a[k] = attr(v)
        b += bytes(a)
    return bytes(b)


seeds = {
    # in -> Relu -> Add(in) -> Relu -> out
    "relu_add": graph(["in", "act", "act", "out"],
                      [(6, [0], [1], {}), (3, [1, 0], [2], {}), (6, [2], [3], {})]),
    # 1x1 Conv + BatchNormalization + Relu on [1,1,1,1]: folding and fusion
    "conv_bn_relu": graph(["in", ("w", 0), ("w", 1), ("w", 2), "act", "act", "out"],
                          [(5, [0, 1], [4], {0: 1, 1: 1}), (19, [4, 2, 3], [5], {}),
                           (6, [5], [6], {})], common=(0, 0, 0)),
    # Conv, Relu, BatchNormalization, then LeakyRelu behind a second Conv
    "conv_relu_bn": graph(["in", ("w", 0), ("w", 1), ("w", 2), "act", "act", "act", "act", "out"],
                          [(5, [0, 1], [4], {0: 1, 1: 1}), (6, [4], [5], {}),
                           (19, [5, 2, 3], [6], {}), (5, [6, 1], [7], {0: 1, 1: 1}),
                           (26, [7], [8], {})], common=(0, 0, 0)),
    # Mul by a one-element weight then Add: the scaled addition
    "mul_add": graph(["in", ("w", 3), "act", "act", "out"],
                     [(6, [0], [3], {}), (4, [0, 1], [2], {}), (3, [2, 3], [4], {})],
                     common=(0, 0, 0)),
    # two Relus concatenated on channels, then a Relu: zero-copy placement
    "concat": graph(["in", "act", "act", ("shape", 0, 1, 2, 4, 4), ("shape", 3, 1, 2, 4, 4)],
                    [(6, [0], [1], {}), (6, [0], [2], {}), (20, [1, 2], [3], {11: 1}),
                     (6, [3], [4], {})], common=(0, 3, 3)),
    # Conv, BatchNormalization and Relu left unfused
    "conv_bn_relu_nofuse": graph(["in", ("w", 0), ("w", 1), ("w", 2), "act", "act", "out"],
                                 [(5, [0, 1], [4], {0: 1, 1: 1}), (19, [4, 2, 3], [5], {}),
                                  (6, [5], [6], {})], common=(0, 0, 0), nofuse=True),
    # the same with a batch of 3 requested
    "batched": graph(["in", "act", "act", "out"],
                     [(6, [0], [1], {}), (3, [1, 0], [2], {}), (6, [2], [3], {})], batch=3),
}

os.makedirs(OUT, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
