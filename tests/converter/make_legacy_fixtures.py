#!/usr/bin/python3
"""Builds the legacy-rewrite fixtures: small hand-built ONNX graphs shaped like
the subgraphs each name-matched rewrite of the legacy conversion mode replaces,
with deterministic inputs and numpy-computed outputs of what the rewrite
promises (not of the dropped nodes, which are only placeholders here).

    /usr/bin/python3 tests/converter/make_legacy_fixtures.py

Writes tests/data/legacy/: one folder per case with model.onnx, in<i>.bin and
out<i>.bin (raw little-endian f32), manifest.json in the conformance layout,
and near_miss/<name>.onnx: graphs one name or one shape away from a pattern,
which the conversion must refuse or leave alone. mask_box/model.onnx and
sam_image/model.onnx have no data files: their inputs (48 and 12 MB) and
references are made by the test.
"""
import json
import os
import zlib

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
OUT = os.path.join(REPO, "tests", "data", "legacy")
node = helper.make_node
F = np.float32


def rng_of(name):
    return np.random.RandomState(zlib.crc32(name.encode()) & 0x7FFFFFFF)


def model(nodes, inputs, inits, outputs, opset=13):
    g = helper.make_graph(
        nodes, "legacy",
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in inputs],
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in outputs],
        [numpy_helper.from_array(np.asarray(a), n) for n, a in inits])
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", opset)], producer_name="legacy-fixtures")
    m.ir_version = 8
    return m


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------

def conv2d(x, w, b=None, stride=1, pad=0):
    n, c, h, wd = x.shape
    o, _, kh, kw = w.shape
    xp = np.pad(x.astype(np.float64), ((0, 0), (0, 0), (pad, pad), (pad, pad)))
    ho, wo = (h + 2 * pad - kh) // stride + 1, (wd + 2 * pad - kw) // stride + 1
    y = np.zeros((n, o, ho, wo))
    for i in range(ho):
        for j in range(wo):
            patch = xp[:, :, i * stride:i * stride + kh, j * stride:j * stride + kw]
            y[:, :, i, j] = np.einsum("nckl,ockl->no", patch, w)
    if b is not None:
        y += b.reshape(1, -1, 1, 1)
    return y


def bilinear_zero(plane, y, x):
    """Bilinear sample with zeros outside, as modulated deformable convolution does."""
    h, w = plane.shape
    if y <= -1 or y >= h or x <= -1 or x >= w:
        return 0.0
    y0, x0 = int(np.floor(y)), int(np.floor(x))
    fy, fx = y - y0, x - x0
    acc = 0.0
    for yy, xx, wt in ((y0, x0, (1 - fy) * (1 - fx)), (y0, x0 + 1, (1 - fy) * fx),
                       (y0 + 1, x0, fy * (1 - fx)), (y0 + 1, x0 + 1, fy * fx)):
        if 0 <= yy < h and 0 <= xx < w:
            acc += plane[yy, xx] * wt
    return acc


def deform_unfold(x, off, mask, k):
    """[1, C, H k, W k]: tap (a, b) of position (r, c) sampled at
    (r - k//2 + a + dy, c - k//2 + b + dx), times its mask."""
    _, ch, h, w = x.shape
    pad = k // 2
    y = np.zeros((1, ch, h * k, w * k))
    for r in range(h):
        for c in range(w):
            for a in range(k):
                for b in range(k):
                    t = a * k + b
                    sy = r - pad + a + float(off[0, 2 * t, r, c])
                    sx = c - pad + b + float(off[0, 2 * t + 1, r, c])
                    m = float(mask[0, t, r, c])
                    for q in range(ch):
                        y[0, q, r * k + a, c * k + b] = m * bilinear_zero(x[0, q].astype(np.float64), sy, sx)
    return y


def swin_masks(n):
    """Shifted-window attention masks of an n x n grid of 12 x 12 windows."""
    out = np.zeros((n * n, 144, 144), F)
    for r in range(n):
        for c in range(n):
            region = []
            for t in range(144):
                yy, xx = divmod(t, 12)
                region.append((2 * (yy >= 6) if r == n - 1 else 0) + ((xx >= 6) if c == n - 1 else 0))
            region = np.array(region)
            out[r * n + c] = np.where(region[:, None] == region[None, :], 0.0, -100.0)
    return out


# ---------------------------------------------------------------------------
# Cases: (name, model, [(input name, array)], [(output name, array)])
# ---------------------------------------------------------------------------

def deform_case(name, k, closing="/dec/aspp1/atrous_conv/Reshape_20", entry="/dec/aspp1/atrous_conv/Reshape",
                mask_channels=None):
    """BiRefNet's deformable ASPP as exported: offset conv, modulator conv,
    2 * sigmoid, then the sampling subgraph between the entry and closing
    Reshape nodes (placeholders here), then the k-strided conv over it."""
    rng = rng_of(name)
    ch, h, w, o = 3, 5, 6, 4
    mc = k * k if mask_channels is None else mask_channels
    x = rng.uniform(-1, 1, (1, ch, h, w)).astype(F)
    w_off = (rng.uniform(-1, 1, (2 * k * k, ch, k, k)) * 0.6).astype(F)
    b_off = rng.uniform(-0.5, 0.5, (2 * k * k,)).astype(F)
    w_mod = rng.uniform(-1, 1, (mc, ch, k, k)).astype(F)
    w_reg = rng.uniform(-1, 1, (o, ch, k, k)).astype(F)
    two = np.array([2.0], F)
    shape = np.array([1, ch, h * k, w * k], np.int64)
    p = k // 2
    nodes = [
        node("Conv", ["x0", "w_off", "b_off"], ["off"], pads=[p] * 4, name="/dec/aspp1/offset_conv/Conv"),
        node("Conv", ["x0", "w_mod"], ["mod_raw"], pads=[p] * 4, name="/dec/aspp1/modulator_conv/Conv"),
        node("Sigmoid", ["mod_raw"], ["mod_sig"], name="/dec/aspp1/Sigmoid"),
        node("Mul", ["mod_sig", "two"], ["mod"], name="/dec/aspp1/Mul"),
        # The sampling subgraph; only its first and last names matter.
        node("Reshape", ["off", "shape"], ["s0"], name=entry),
        node("GatherElements", ["x0", "s0"], ["s1"], name="/dec/aspp1/atrous_conv/GatherElements"),
        node("Mul", ["s1", "mod"], ["s2"], name="/dec/aspp1/atrous_conv/Mul_7"),
        node("Reshape", ["s2", "shape"], ["cols"], name=closing),
        node("Conv", ["cols", "w_reg"], ["y0"], kernel_shape=[k, k], strides=[k, k],
             name="/dec/aspp1/atrous_conv/Conv"),
    ]
    inits = [("w_off", w_off), ("b_off", b_off), ("w_mod", w_mod), ("w_reg", w_reg), ("two", two),
             ("shape", shape)]
    m = model(nodes, [("x0", [1, ch, h, w])], inits, [("y0", [1, o, h, w])])
    if mask_channels is not None:
        return name, m, [("x0", x)], []
    off = conv2d(x, w_off, b_off, pad=p)
    mask = 2.0 / (1.0 + np.exp(-conv2d(x, w_mod, pad=p)))
    cols = deform_unfold(x, off, mask, k)
    y = conv2d(cols, w_reg, stride=k)
    return name, m, [("x0", x)], [("y0", y.astype(F))]


def detr_case(name, queries=320, closing="GatherND.0"):
    """PP-DocLayoutV3's query selection: the best-scoring 300 queries' rows."""
    rng = rng_of(name)
    classes, width = 5, 8
    logits = rng.uniform(-4, 4, (1, queries, classes)).astype(F)
    rows = rng.uniform(-1, 1, (1, queries, width)).astype(F)
    nodes = [
        node("ReduceMax", ["p2o.pd_op.add.37.0"], ["best"], axes=[-1], keepdims=0, name="ReduceMax.0"),
        node("TopK", ["best", "k300"], ["top_v", "top_i"], name="TopK.0"),
        node("Unsqueeze", ["top_i", "ax"], ["idx"], name="Unsqueeze.3"),
        node("GatherND", ["p2o.pd_op.layer_norm.2.0", "idx"], ["y0"], batch_dims=1, name=closing),
    ]
    inits = [("k300", np.array([300], np.int64)), ("ax", np.array([2], np.int64))]
    m = model(nodes, [("p2o.pd_op.add.37.0", [1, queries, classes]), ("p2o.pd_op.layer_norm.2.0", [1, queries, width])],
              inits, [("y0", [1, 300, width])])
    best = logits[0].max(axis=1)
    order = sorted(range(queries), key=lambda q: (-best[q], q))[:300]
    y = rows[0][order][None]
    return name, m, [("p2o.pd_op.add.37.0", logits), ("p2o.pd_op.layer_norm.2.0", rows)], [("y0", y)]


def mask_box_model(side=200, closing="Log.0", flat=False):
    """PP-DocLayoutV3's boxes from masks: Greater.0 enters, Log.0 closes. The
    masks come from a batched MatMul, [1, 300, 200 * 200] (flat) or planes."""
    nodes = [
        node("Greater", ["p2o.pd_op.bmm.0.0", "zero"], ["pos"], name="Greater.0"),
        node("Cast", ["pos"], ["posf"], to=1, name="Cast.7"),
        node("ReduceMax", ["posf"], ["rm"], axes=[-1], name="ReduceMax.5"),
        node("Log", ["rm"], ["y0"], name=closing),
    ]
    shape = [1, 300, side * side] if flat else [1, 300, side, side]
    return model(nodes, [("p2o.pd_op.bmm.0.0", shape)], [("zero", np.array([0.0], F))],
                 [("y0", [1, 300, 4])])


def doc_tail_case(name, closing="Where.0"):
    """PP-DocLayoutV3's Where.0 as a Mul of two named values, and the class
    scores at Identity.1354: sigmoid, joined after p2o.pd_op.sigmoid.25.0."""
    rng = rng_of(name)
    a = rng.uniform(-2, 2, (1, 6, 4)).astype(F)
    b = rng.uniform(-2, 2, (1, 6, 4)).astype(F)
    s25 = rng.uniform(0, 1, (1, 6, 3)).astype(F)
    nodes = [
        node("Shape", ["p2o.pd_op.concat.11.0"], ["shp"], name="Shape.14"),
        node("Equal", ["shp", "shp"], ["eq"], name="Equal.2"),
        node("Where", ["eq", "p2o.pd_op.concat.11.0", "eager_tmp_2_deepcopy_547"], ["wh"], name=closing),
        node("Identity", ["wh"], ["scores"], name="Identity.1354"),
        node("Relu", ["scores"], ["never"], name="Relu.99"),
    ]
    m = model(nodes, [("p2o.pd_op.concat.11.0", [1, 6, 4]), ("eager_tmp_2_deepcopy_547", [1, 6, 4]),
                      ("p2o.pd_op.sigmoid.25.0", [1, 6, 3])], [], [("fetch_name_0", [1, 6, 7])])
    y = np.concatenate([s25, 1.0 / (1.0 + np.exp(-(a.astype(np.float64) * b)))], axis=2)
    return name, m, [("p2o.pd_op.concat.11.0", a), ("eager_tmp_2_deepcopy_547", b),
                     ("p2o.pd_op.sigmoid.25.0", s25)], [("fetch_name_0", y.astype(F))]


def nafnet_case(name, pad_inputs=2):
    """NAFNet's simplified channel attention exported through CumSum: the
    subgraph from '/squeeze...' CumSum to its Pad is a global average pool."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 4, 5, 6)).astype(F)
    pads = ["cs", "pads"] + (["cval"] if pad_inputs == 3 else [])
    nodes = [
        node("CumSum", ["x0", "ax"], ["cs"], name="/squeeze/CumSum"),
        node("Div", ["cs", "cs"], ["d"], name="/squeeze/Div"),
        node("Pad", pads, ["pooled"], name="/squeeze/Pad"),
        node("Mul", ["x0", "pooled"], ["y0"], name="/sca/Mul"),
    ]
    inits = [("ax", np.array(2, np.int64)), ("pads", np.zeros(8, np.int64)), ("cval", np.array(0.0, F))]
    m = model(nodes, [("x0", [1, 4, 5, 6])], inits, [("y0", [1, 4, 5, 6])])
    y = x * x.astype(np.float64).mean(axis=(2, 3), keepdims=True)
    return name, m, [("x0", x)], [("y0", y.astype(F))]


def swin_case(name, closing="/bb/layers.2/Cast_44"):
    """BiRefNet's Swin stage 2 (a 2 x 2 grid of windows): the mask subgraph
    from '/bb/layers.2_1/Cast' to '.../Cast_44' becomes the baked masks."""
    rng = rng_of(name)
    attn = rng.uniform(-1, 1, (4, 144, 144)).astype(F)
    nodes = [
        node("Cast", ["attn"], ["c0"], to=1, name="/bb/layers.2_1/Cast"),
        node("Sub", ["c0", "c0"], ["c1"], name="/bb/layers.2/Sub_3"),
        node("Cast", ["c1"], ["mask"], to=1, name=closing),
        node("Add", ["attn", "mask"], ["y0"], name="/bb/layers.2/blocks.1/attn/Add"),
    ]
    m = model(nodes, [("attn", [4, 144, 144])], [], [("y0", [4, 144, 144])])
    return name, m, [("attn", attn)], [("y0", attn + swin_masks(2))]


def rel_pos_case(name, rows=27):
    """SAM's decomposed relative positions: the table gathered by the
    distance grid, then the per-row Einsum (MatMul in legacy mode)."""
    rng = rng_of(name)
    s = (rows + 1) // 2
    table = rng.uniform(-1, 1, (rows, 64)).astype(F)
    idx = (np.arange(s)[:, None] - np.arange(s)[None, :] + s - 1).astype(np.int64)
    q = rng.uniform(-1, 1, (1, s, s, 64)).astype(F)
    table_w = rng.uniform(-1, 1, (rows, 64)).astype(F)
    nodes = [
        node("Gather", ["rel_pos_h", "idx"], ["Rh"], name="/blocks.0/attn/Gather_2"),
        node("Gather", ["rel_pos_w", "idx"], ["Rw"], name="/blocks.0/attn/Gather_3"),
        node("Einsum", ["q", "Rh"], ["y0"], equation="bhwc,hkc->bhwk", name="/blocks.0/attn/Einsum"),
        node("Einsum", ["q", "Rw"], ["y1"], equation="bhwc,wkc->bhwk", name="/blocks.0/attn/Einsum_1"),
    ]
    m = model(nodes, [("q", [1, s, s, 64])], [("rel_pos_h", table), ("rel_pos_w", table_w), ("idx", idx)],
              [("y0", [1, s, s, s]), ("y1", [1, s, s, s])])
    q64 = q.astype(np.float64)
    y0 = np.einsum("bhwc,hkc->bhwk", q64, table[idx].astype(np.float64))
    y1 = np.einsum("bhwc,wkc->bhwk", q64, table_w[idx].astype(np.float64))
    return name, m, [("q", q)], [("y0", y0.astype(F)), ("y1", y1.astype(F))]


def raw_sigmoid_case(name, width=6):
    """YOLOP's detection head: three Conv outputs, each through a 24-node box
    decode (placeholders here) into a Concat whose [1, 25200, 6] output the
    legacy mode replaces by the raw sigmoids joined along axis 2."""
    rng = rng_of(name)
    sides = (80, 40, 20)
    nodes, ins, inits, feeds, refs = [], [], [], [], []
    for b, side in enumerate(sides):
        x = rng.uniform(-1, 1, (1, 2, side, side)).astype(F)
        wt = rng.uniform(-1, 1, (6, 2, 1, 1)).astype(F)
        ins.append(("f%d" % b, [1, 2, side, side]))
        inits.append(("w%d" % b, wt))
        feeds.append(("f%d" % b, x))
        nodes.append(node("Conv", ["f%d" % b, "w%d" % b], ["c%d" % b], name="/head/m.%d/Conv" % b))
        prev = "c%d" % b
        for k in range(24):
            out = "v%d" % b if k == 23 else "d%d_%d" % (b, k)
            nodes.append(node("Relu", [prev], [out], name="/head/decode%d/Relu_%d" % (b, k)))
            prev = out
        refs.append(1.0 / (1.0 + np.exp(-conv2d(x, wt).reshape(1, 6, side * side))))
    nodes.append(node("Concat", ["v0", "v1", "v2"], ["det_out"], axis=1, name="/head/Concat"))
    m = model(nodes, ins, inits, [("det_out", [1, 25200, width])])
    return name, m, feeds, [("det_out", np.concatenate(refs, axis=2).astype(F))]


def where_case(name, comparison):
    """A Where whose condition is not a comparison (CLIP's attention mask)
    becomes its y input; a comparison's condition keeps the Where."""
    rng = rng_of(name)
    m_in = rng.uniform(-1, 1, (2, 5)).astype(F)
    x = rng.uniform(-1, 1, (2, 5)).astype(F)
    y = rng.uniform(-1, 1, (2, 5)).astype(F)
    cond = node("Less", ["m", "zero"], ["c"], name="/Less") if comparison else \
        node("Relu", ["m"], ["c"], name="/Relu")
    nodes = [cond, node("Where", ["c", "x", "y"], ["y0"], name="/Where")]
    mdl = model(nodes, [("m", [2, 5]), ("x", [2, 5]), ("y", [2, 5])], [("zero", np.array([0.0], F))],
                [("y0", [2, 5])])
    ref = np.where(m_in < 0, x, y) if comparison else y
    return name, mdl, [("m", m_in), ("x", x), ("y", y)], [("y0", ref.astype(F))]


def pow_case(name):
    """Pow by 3 is approximated by a square in legacy mode (a documented
    approximation, noted): the reference is x * x."""
    rng = rng_of(name)
    x = rng.uniform(-2, 2, (3, 4)).astype(F)
    m = model([node("Pow", ["x", "e"], ["y0"], name="/Pow")], [("x", [3, 4])], [("e", np.array(3.0, F))],
              [("y0", [3, 4])])
    return name, m, [("x", x)], [("y0", (x * x).astype(F))]


def pad_runtime_case(name):
    """A Pad whose amounts are computed at run time, on an NHWC tensor of at
    least 192 channels (BiRefNet's Swin stages): padded after the data on
    dims 1 and 2 up to a multiple of the 12-wide window."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 13, 2, 192)).astype(F)
    pf = np.zeros(8, F)
    nodes = [
        node("Relu", ["pf"], ["pr"], name="/bb/Relu"),
        node("Cast", ["pr"], ["pads"], to=7, name="/bb/Cast"),
        node("Pad", ["x", "pads"], ["y0"], name="/bb/layers.1/Pad"),
    ]
    m = model(nodes, [("x", [1, 13, 2, 192]), ("pf", [8])], [], [("y0", [1, 24, 13, 192])])
    ref = np.pad(x, ((0, 0), (0, 11), (0, 11), (0, 0)))
    return name, m, [("x", x), ("pf", pf)], [("y0", ref.astype(F))]


def clip_mask_case(name):
    """CLIP's text model: attention_mask is baked as 77 ones, and the
    last_hidden_state output is dropped (only the pooled output stays)."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 77)).astype(F)
    nodes = [
        node("Mul", ["x", "attention_mask"], ["y0"], name="/text_model/Mul"),
        node("Relu", ["x"], ["last_hidden_state"], name="/text_model/Relu"),
    ]
    m = model(nodes, [("x", [1, 77]), ("attention_mask", [1, 0])], [],
              [("y0", [1, 77]), ("last_hidden_state", [1, 77])])
    return name, m, [("x", x)], [("y0", x)]


def sam_points_case(name):
    """SAM's prompt inputs: point_coords baked as the point (600, 350) when
    the size word is 0, point_labels and orig_im_size dropped."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 1, 2)).astype(F)
    nodes = [
        node("Add", ["x", "point_coords"], ["y0"], name="/Add_point"),
        node("Relu", ["point_labels"], ["unused_labels"], name="/Relu_labels"),
    ]
    m = model(nodes, [("x", [1, 1, 2]), ("point_coords", [1, 0, 2]), ("point_labels", [1, 0]),
                      ("orig_im_size", [2])], [], [("y0", [1, 1, 2])])
    return name, m, [("x", x)], [("y0", x + np.array([600.0, 350.0], F))]


def birefnet_mod_pad_case(name):
    """BiRefNet's window padding: a Mod under /bb/ stands for the pad amount
    6 and the nodes up to the Pad are dropped; the Pad's runtime amounts then
    come from the window table (11 on 13 rows of 192 channels)."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 13, 2, 192)).astype(F)
    nodes = [
        node("Relu", ["x"], ["a"], name="/bb/layers.1/Relu"),
        node("Shape", ["a"], ["shp"], name="/bb/layers.1/Shape"),
        node("Mod", ["shp", "twelve"], ["m"], name="/bb/layers.1/Mod"),
        node("Sub", ["twelve", "m"], ["rest"], name="/bb/layers.1/Sub"),
        node("Concat", ["zeros", "rest"], ["pads"], axis=0, name="/bb/layers.1/Concat"),
        node("Pad", ["a", "pads"], ["y0"], name="/bb/layers.1/Pad"),
    ]
    inits = [("twelve", np.array([12], np.int64)), ("zeros", np.zeros(4, np.int64))]
    m = model(nodes, [("x", [1, 13, 2, 192])], inits, [("y0", [1, 24, 13, 192])])
    ref = np.pad(np.maximum(x, 0), ((0, 0), (0, 11), (0, 11), (0, 0)))
    return name, m, [("x", x)], [("y0", ref.astype(F))]


def birefnet_pad_subgraph_case(name):
    """A Pad whose input 0 comes from the node 12 slots back: the 11 nodes in
    between (the exported pad-amount arithmetic) are removed."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 13, 2, 192)).astype(F)
    nodes = [node("Relu", ["x"], ["a"], name="/bb/layers.2/Relu"),
             node("Relu", ["pf"], ["p0"], name="/bb/layers.2/pads/Relu")]
    for k in range(1, 10):
        nodes.append(node("Relu", ["p%d" % (k - 1)], ["p%d" % k], name="/bb/layers.2/pads/Relu_%d" % k))
    nodes.append(node("Cast", ["p9"], ["pads"], to=7, name="/bb/layers.2/pads/Cast"))
    nodes.append(node("Pad", ["a", "pads"], ["y0"], name="/bb/layers.2/Pad"))
    m = model(nodes, [("x", [1, 13, 2, 192]), ("pf", [8])], [], [("y0", [1, 24, 13, 192])])
    ref = np.pad(np.maximum(x, 0), ((0, 0), (0, 11), (0, 11), (0, 0)))
    return name, m, [("x", x), ("pf", np.zeros(8, F))], [("y0", ref.astype(F))]


def cut300_case(name, rows=300):
    """An NMS-free detector's [1, 300, 6] output: the graph is cut at the
    Concat of the head, whose output becomes the model's output."""
    rng = rng_of(name)
    boxes = rng.uniform(0, 640, (1, 300, 4)).astype(F)
    scores = rng.uniform(0, 1, (1, 300, 2)).astype(F)
    nodes = [
        node("Concat", ["boxes", "scores"], ["cat"], axis=2, name="/model.23/Concat"),
        node("Transpose", ["cat"], ["tr"], perm=[0, 2, 1], name="/model.23/Transpose"),
        node("Sigmoid", ["tr"], ["sg"], name="/model.23/Sigmoid"),
        node("ReduceMax", ["sg"], ["rm"], axes=[1], name="/model.23/ReduceMax"),
        node("TopK", ["rm", "k"], ["tv", "ti"], name="/model.23/TopK"),
        node("Relu", ["tv"], ["det"], name="/model.23/Relu"),
    ]
    m = model(nodes, [("boxes", [1, 300, 4]), ("scores", [1, 300, 2])], [("k", np.array([300], np.int64))],
              [("det", [1, rows, 6])])
    return name, m, [("boxes", boxes), ("scores", scores)], [("det", np.concatenate([boxes, scores], axis=2))]


def sam_decoder_case(name):
    """SAM's prompt decoder: with an image_embeddings input, '/Unsqueeze'
    enters the prompt rewrite, whose named nodes are rewired (the point
    embedding, the dense embedding added to the image embedding, the sparse
    embeddings' Concat, the positional encoding kept) and the rest dropped;
    '/Reshape_5' and the IoU head's Gemm produce the masks and iou_predictions
    outputs, and the import stops after the latter."""
    rng = rng_of(name)
    e, p, q = (rng.uniform(-1, 1, (1, 4)).astype(F) for _ in range(3))
    w_pt = rng.uniform(-1, 1, (1, 4)).astype(F)
    s9 = rng.uniform(-1, 1, (1, 4)).astype(F)
    wg = rng.uniform(-1, 1, (4, 3)).astype(F)
    nodes = [
        node("Concat", ["p", "q"], ["/Concat_output_0"], axis=0, name="/Concat"),
        node("Unsqueeze", ["p", "ax0"], ["u0"], name="/Unsqueeze"),
        node("Mul", ["q", "s9"], ["m9"], name="/Mul_9"),
        node("Add", ["m9", "m9"], ["sum7"], name="/Add_7"),
        node("Expand", ["q", "shape2"], ["ex1"], name="/Expand_1"),
        node("Concat", ["ex1", "sum7"], ["cat2"], axis=0, name="/Concat_2"),
        node("Add", ["u0", "u0"], ["add5"], name="/Add_5"),
        node("Unsqueeze", ["p", "ax0"], ["/Unsqueeze_1_output_0"], name="/Unsqueeze_1"),
        node("Sin", ["add5"], ["sin"], name="/pe_layer/Sin"),
        node("Relu", ["sin"], ["dropped"], name="/Relu_3"),
        node("Concat", ["dropped", "dropped"], ["c6"], axis=0, name="/Concat_6"),
        node("Add", ["cat2", "sin"], ["y_a"], name="/Add_out"),
        node("Reshape", ["c6", "shape14"], ["/Reshape_5_output_0"], name="/Reshape_5"),
        node("Gemm", ["sum7", "wg"], ["/iou_output"], name="/iou_prediction_head/layers.2/Gemm"),
        node("Relu", ["/iou_output"], ["after"], name="/after_stop"),
    ]
    inits = [("model.prompt_encoder.point_embeddings.1.weight", w_pt), ("s9", s9), ("wg", wg),
             ("ax0", np.array([0], np.int64)), ("shape2", np.array([1, 4], np.int64)),
             ("shape14", np.array([1, 4], np.int64))]
    m = model(nodes, [("image_embeddings", [1, 4]), ("p", [1, 4]), ("q", [1, 4])], inits,
              [("y_a", [2, 4]), ("masks", [1, 4]), ("iou_predictions", [1, 3])])
    sum7 = e.astype(np.float64) + s9
    y_a = np.concatenate([q, sum7], axis=0) + np.sin(np.concatenate([p, q], axis=0) + w_pt)
    return name, m, [("image_embeddings", e), ("p", p), ("q", q)], [
        ("y_a", y_a.astype(F)), ("masks", p), ("iou_predictions", (sum7 @ wg).astype(F))]


def birefnet_scatter_case(name, node_name="/bb/layers.0/ScatterND"):
    """A ScatterND under /bb/ (the Swin mask construction) passes its data
    through unchanged."""
    rng = rng_of(name)
    x = rng.uniform(-1, 1, (1, 6, 4)).astype(F)
    nodes = [node("ScatterND", ["x", "idx", "upd"], ["y0"], name=node_name)]
    inits = [("idx", np.array([[[0, 1]]], np.int64)), ("upd", np.ones((1, 1, 4), F))]
    m = model(nodes, [("x", [1, 6, 4])], inits, [("y0", [1, 6, 4])])
    return name, m, [("x", x)], [("y0", x)]


def cases():
    return [
        deform_case("deform_k3", 3),
        deform_case("deform_k1", 1),
        detr_case("detr_topk"),
        doc_tail_case("doc_where_scores"),
        nafnet_case("nafnet_pool"),
        swin_case("swin_masks_2x2"),
        rel_pos_case("sam_rel_pos"),
        raw_sigmoid_case("yolop_raw_sigmoid"),
        where_case("where_as_y", comparison=False),
        where_case("where_kept", comparison=True),
        pow_case("pow_cube_as_square"),
        pad_runtime_case("pad_runtime_window"),
        clip_mask_case("clip_attention_mask"),
        sam_points_case("sam_point_coords"),
        birefnet_mod_pad_case("birefnet_mod_pad"),
        birefnet_pad_subgraph_case("birefnet_pad_subgraph"),
        cut300_case("cut300_head"),
        sam_decoder_case("sam_prompt_decoder"),
        birefnet_scatter_case("birefnet_scatter"),
    ]


def deform_without_offsets():
    """The sampling subgraph's names without the offset and mask convs."""
    nodes = [
        node("Reshape", ["x0", "shape"], ["s0"], name="/dec/aspp1/atrous_conv/Reshape"),
        node("Relu", ["s0"], ["s1"], name="/dec/aspp1/atrous_conv/Relu"),
        node("Reshape", ["s1", "shape"], ["y0"], name="/dec/aspp1/atrous_conv/Reshape_20"),
    ]
    return model(nodes, [("x0", [1, 3, 5, 6])], [("shape", np.array([1, 3, 15, 18], np.int64))],
                 [("y0", [1, 3, 15, 18])])


def near_misses():
    """Graphs one name or shape away from a pattern."""
    return {
        "deform_closing_renamed": deform_case("deform_closing_renamed", 3,
                                              closing="/dec/aspp1/atrous_conv/Reshape_21")[1],
        "deform_entry_renamed": deform_case("deform_entry_renamed", 3, entry="/dec/aspp1/atrous_conv/Reshap")[1],
        "deform_without_offsets": deform_without_offsets(),
        "deform_mask_25": deform_case("deform_mask_25", 3, mask_channels=25)[1],
        "detr_closing_renamed": detr_case("detr_closing_renamed", closing="GatherND.1")[1],
        "detr_too_few_queries": detr_case("detr_too_few_queries", queries=200)[1],
        "mask_box_small": mask_box_model(side=100),
        "doc_where_renamed": doc_tail_case("doc_where_renamed", closing="Where.1")[1],
        "nafnet_pad_three_inputs": nafnet_case("nafnet_pad_three_inputs", pad_inputs=3)[1],
        "sam_rel_pos_28_rows": rel_pos_case("sam_rel_pos_28_rows", rows=28)[1],
        "yolop_width_7": raw_sigmoid_case("yolop_width_7", width=7)[1],
        "cut299_head": cut300_case("cut299_head", rows=299)[1],
        "scatter_outside_bb": birefnet_scatter_case("scatter_outside_bb", node_name="/bx/layers.0/ScatterND")[1],
        "swin_closing_long": swin_case("swin_closing_long", closing="/bb/layers.2/x/Cast_44")[1],
    }


def sam_image_model():
    """SAM's image encoder with its preprocessing: a rank-3 input_image
    becomes a [1, 3, 1024, 1024] input, everything up to '/Unsqueeze_4' is
    dropped (it reads the input directly), and after a Range the next Gather
    is kept."""
    nodes = [
        node("Transpose", ["input_image"], ["t"], perm=[2, 0, 1], name="/Transpose"),
        node("Sub", ["t", "mean"], ["centred"], name="/Sub"),
        node("Unsqueeze", ["centred", "ax0"], ["img"], name="/Unsqueeze_4"),
        node("GlobalAveragePool", ["img"], ["y0"], name="/pool"),
        node("Range", ["r0", "r1", "r2"], ["rng"], name="/Range"),
        node("Cast", ["rng"], ["rngf"], to=1, name="/Cast_3"),
        node("Gather", ["y0", "one"], ["y1"], axis=1, name="/Gather_2"),
    ]
    inits = [("mean", np.array([0.5], F)), ("ax0", np.array([0], np.int64)), ("one", np.array(1, np.int64)),
             ("r0", np.array(0, np.int64)), ("r1", np.array(4, np.int64)), ("r2", np.array(1, np.int64))]
    return model(nodes, [("input_image", [0, 0, 3])], inits, [("y0", [1, 3, 1, 1]), ("y1", [1, 1, 1])])


def write_tensor(path, a):
    np.ascontiguousarray(a, dtype="<f4").tofile(path)


def main():
    os.makedirs(os.path.join(OUT, "near_miss"), exist_ok=True)
    entries = []
    for name, m, ins, outs in cases():
        d = os.path.join(OUT, name)
        os.makedirs(d, exist_ok=True)
        onnx.save(m, os.path.join(d, "model.onnx"))
        spec = {"name": name, "kind": "op", "opset": 13, "model": name + "/model.onnx", "inputs": [],
                "outputs": [], "top1": False}
        for i, (n, a) in enumerate(ins):
            write_tensor(os.path.join(d, "in%d.bin" % i), a)
            spec["inputs"].append({"name": n, "dtype": "f32", "shape": list(a.shape),
                                   "file": "%s/in%d.bin" % (name, i)})
        for i, (n, a) in enumerate(outs):
            write_tensor(os.path.join(d, "out%d.bin" % i), a)
            spec["outputs"].append({"name": n, "dtype": "f32", "shape": list(a.shape),
                                    "file": "%s/out%d.bin" % (name, i)})
        entries.append(spec)
    os.makedirs(os.path.join(OUT, "mask_box"), exist_ok=True)
    onnx.save(mask_box_model(), os.path.join(OUT, "mask_box", "model.onnx"))
    onnx.save(mask_box_model(flat=True), os.path.join(OUT, "mask_box", "flat.onnx"))
    os.makedirs(os.path.join(OUT, "sam_image"), exist_ok=True)
    onnx.save(sam_image_model(), os.path.join(OUT, "sam_image", "model.onnx"))
    for name, m in near_misses().items():
        onnx.save(m, os.path.join(OUT, "near_miss", name + ".onnx"))
    with open(os.path.join(OUT, "manifest.json"), "w") as f:
        f.write('{"tolerance": {"relative": 1e-4, "absolute": 1e-4},\n "cases": [\n')
        f.write(",\n".join("  " + json.dumps(e) for e in entries))
        f.write("\n ]}\n")


if __name__ == "__main__":
    main()
