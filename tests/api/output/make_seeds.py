#!/usr/bin/python3
"""Writes the seed corpus of output_fuzzer: one input per box layout and an
image tensor, in the fuzzer's own encoding (see output_fuzzer.cpp)."""
import os
import struct

DIMS = [0, 1, 2, 3, 4, 5, 6, 8, 16, 17, 20, 55, 56, 57, 81, 84, 92, 100]
TEXTS = ["", "scrfd", "xyxy", "yolov8_xyxy", "yolov8_pose", "pose"]


def dim(d):
    if d in DIMS:
        return bytes([DIMS.index(d)])
    return bytes([200]) + struct.pack("<H", d)


def tensor(dims, count):
    out = bytes([len(dims)]) + b"".join(dim(d) for d in dims)
    return out + struct.pack("<H", count) + bytes([0])


def seed(tensors, input_wh=(0, 0), decode="", task="", labels=b""):
    out = bytes([len(tensors)]) + b"".join(tensor(d, c) for d, c in tensors)
    for side in input_wh:
        out += bytes([1]) + struct.pack("<H", side) if side else bytes([0])
    out += struct.pack("<HH", 640, 480) + struct.pack("<ffff", 1.0, 1.0, 0.0, 40.0)
    out += bytes([TEXTS.index(decode) + 6 * TEXTS.index(task)])
    out += bytes([len(labels)]) + labels + (bytes([len(labels.split(b"\0"))]) if labels else b"")
    out += struct.pack("<hff", 50, 0.5, 0.45)
    out += (struct.pack("<h", 5) + struct.pack("<ff", 255.0, 0.0)) * len(tensors)
    return out


def face():
    ts = []
    for kind in (1, 4, 10):
        for s in (8, 16, 32):
            n = (64 // s) * (48 // s) * 2
            ts.append(([1, n, kind], n * kind))
    return ts


SEEDS = {
    "attributes": seed([([1, 84, 20], 84 * 20)], labels=b"a\0b\0c"),
    "pose": seed([([1, 56, 20], 56 * 20)]),
    "pose_text": seed([([1, 57, 16], 57 * 16)], decode="yolov8_pose"),
    "finished": seed([([1, 20, 6], 120)]),
    "boxes_scores": seed([([1, 4, 20], 80), ([1, 3, 20], 60)], decode="xyxy"),
    "queries": seed([([1, 20, 92], 20 * 92), ([1, 20, 4], 80)], input_wh=(320, 240)),
    "face": seed(face(), input_wh=(64, 48)),
    "image": seed([([1, 3, 16, 16], 768), ([1, 16, 16], 256)]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "output_fuzzer")
os.makedirs(here, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
