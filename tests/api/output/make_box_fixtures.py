#!/usr/bin/python3
"""Writes data/box_fixtures.json: detector outputs of every box layout with
the boxes expected from them, computed here with numpy from the definition
of each layout (float32 throughout). Run with /usr/bin/python3."""
import json
import os

import numpy as np

f32 = np.float32
rng = np.random.default_rng(20260)


def grid(shape, lo, hi, step):
    """Values on a grid of `step`, exact in float32 and short in JSON."""
    n = int(round((hi - lo) / step))
    return (lo + step * rng.integers(0, n + 1, size=shape)).astype(f32)


class Meta:
    def __init__(self, **kw):
        self.input_w = kw.get("input_w", 0)
        self.input_h = kw.get("input_h", 0)
        self.source_w = kw.get("source_w", 0)
        self.source_h = kw.get("source_h", 0)
        self.scale_x = f32(kw.get("scale_x", 1.0))
        self.scale_y = f32(kw.get("scale_y", 1.0))
        self.pad_x = f32(kw.get("pad_x", 0.0))
        self.pad_y = f32(kw.get("pad_y", 0.0))
        self.corner = kw.get("corner", False)
        self.decode = kw.get("decode", "")
        self.task = kw.get("task", "")
        self.labels = kw.get("labels", 0)

    def to_json(self):
        return {k: (float(v) if isinstance(v, np.floating) else v) for k, v in vars(self).items()}

    def mx(self, x):
        s = self.scale_x if self.scale_x > 0 else f32(1)
        v = (f32(x) - self.pad_x) / s
        return f32(min(max(v, f32(0)), f32(self.source_w))) if self.source_w else f32(v)

    def my(self, y):
        s = self.scale_y if self.scale_y > 0 else f32(1)
        v = (f32(y) - self.pad_y) / s
        return f32(min(max(v, f32(0)), f32(self.source_h))) if self.source_h else f32(v)


def corners_of_centre(cx, cy, w, h):
    half = f32(0.5)
    return cx - half * w, cy - half * h, cx + half * w, cy + half * h


def candidates(tensors, m):
    """(x1, y1, x2, y2, score, class, lx, ly) in tensor coordinates, in the
    order the layout visits them."""
    t = tensors
    fw = m.input_w or 640
    fh = m.input_h or fw
    if len(t) == 9 and m.decode in ("", "scrfd") and t[0][1].size == (fw // 8) * (fh // 8) * 2:
        out = []
        for i, s in enumerate((8, 16, 32)):
            cols, rows = fw // s, fh // s
            sc = t[i][1].reshape(-1)
            bx = t[i + 3][1].reshape(-1, 4)
            lm = t[i + 6][1].reshape(-1, 10)
            for k in range(cols * rows * 2):
                cell = k // 2
                cx, cy = f32((cell % cols) * s), f32((cell // cols) * s)
                d = bx[k] * f32(s)
                l = lm[k] * f32(s)
                out.append((cx - d[0], cy - d[1], cx + d[2], cy + d[3], sc[k], 0,
                            [cx + l[2 * p] for p in range(5)], [cy + l[2 * p + 1] for p in range(5)]))
        return out
    d0 = t[0][0]
    if len(t) >= 2 and len(d0) == 3 and len(t[1][0]) == 3:
        d1 = t[1][0]
        if d0[1] == 4 and d0[2] == d1[2]:
            n, c = d0[2], d1[1]
            b = t[0][1].reshape(4, n)
            s = t[1][1].reshape(c, n)
            corner = m.corner or m.decode in ("xyxy", "yolov8_xyxy")
            out = []
            for i in range(n):
                cls = int(np.argmax(s[:, i])) if c >= 2 else 0
                v = b[:, i]
                box = (v[0], v[1], v[2], v[3]) if corner else corners_of_centre(*v)
                out.append((*box, s[cls, i], cls, [], []))
            return out
        if d1[2] == 4 and d0[1] == d1[1]:
            n, c = d0[1], d0[2]
            used = c - 1 if c in (92, 81) else c
            lg = t[0][1].reshape(n, c)
            b = t[1][1].reshape(n, 4)
            wb = f32(m.input_w or m.source_w or 640)
            hb = f32(m.input_h or m.source_h or 640)
            half = f32(0.5)
            out = []
            for i in range(n):
                cls = int(np.argmax(lg[i, :used]))
                score = lg[i, cls]
                if score < 0 or score > 1:
                    score = f32(1) / (f32(1) + np.exp(-score))
                q = b[i]
                out.append((wb * q[0] - half * wb * q[2], hb * q[1] - half * hb * q[3],
                            wb * q[0] + half * wb * q[2], hb * q[1] + half * hb * q[3], score, cls, [], []))
            return out
    if len(d0) == 3 and d0[2] != 6 and d0[1] >= 5 and d0[2] >= 16:
        a, n = d0[1], d0[2]
        v = t[0][1].reshape(a, n)
        pose = m.decode == "yolov8_pose" or m.task == "pose" or (a == 56 and m.labels < 2)
        out = []
        for i in range(n):
            if pose or a - 4 < 2:
                cls, score = 0, v[4, i]
            else:
                cls = int(np.argmax(v[4:, i]))
                score = v[4 + cls, i]
            lx = [v[5 + 3 * k, i] for k in range(17)] if pose else []
            ly = [v[6 + 3 * k, i] for k in range(17)] if pose else []
            out.append((*corners_of_centre(v[0, i], v[1, i], v[2, i], v[3, i]), score, cls, lx, ly))
        return out
    if len(d0) == 3 and d0[2] == 6:
        r = t[0][1].reshape(d0[1], 6)
        return [(row[0], row[1], row[2], row[3], row[4], int(row[5]), [], []) for row in r]
    raise ValueError("unknown layout")


def iou(a, b):
    w = min(a[2], b[2]) - max(a[0], b[0])
    h = min(a[3], b[3]) - max(a[1], b[1])
    inter = w * h if w > 0 and h > 0 else f32(0)
    u = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / u if u > 0 else f32(0)


def decode(tensors, m, max_boxes, score_thr, iou_thr):
    pool = []
    for c in candidates(tensors, m):
        if not c[4] >= f32(score_thr):
            continue
        box = (m.mx(c[0]), m.my(c[1]), m.mx(c[2]), m.my(c[3]), f32(c[4]), c[5],
               [m.mx(x) for x in c[6]], [m.my(y) for y in c[7]])
        if len(pool) < 512:
            pool.append(box)
        else:
            low = min(range(512), key=lambda i: (pool[i][4], i))
            if box[4] > pool[low][4]:
                pool[low] = box
    for i in range(len(pool)):
        for j in range(i + 1, len(pool)):
            if pool[j][4] > pool[i][4]:
                pool[i], pool[j] = pool[j], pool[i]
    kept, gone = [], [False] * len(pool)
    limit = min(max_boxes, 256)
    for i, b in enumerate(pool):
        if gone[i]:
            continue
        if len(kept) == limit:
            break
        kept.append(b)
        for j in range(i + 1, len(pool)):
            if not gone[j] and pool[j][5] == b[5] and iou(b, pool[j]) > f32(iou_thr):
                gone[j] = True
    return kept


def case(name, tensors, meta, settings):
    out = []
    for max_boxes, score_thr, iou_thr in settings:
        boxes = decode(tensors, meta, max_boxes, score_thr, iou_thr)
        out.append({
            "max_boxes": max_boxes, "score": score_thr, "iou": iou_thr,
            "boxes": [[float(b[0]), float(b[1]), float(b[2]), float(b[3]), float(b[4]), int(b[5]),
                       [float(x) for x in b[6]], [float(y) for y in b[7]]] for b in boxes],
        })
    return {"name": name, "meta": meta.to_json(),
            "tensors": [{"dims": list(map(int, d)), "data": [float(x) for x in v.reshape(-1)]}
                        for d, v in tensors],
            "runs": out}


def face(w, h):
    t = []
    for kind, lo, hi in ((1, 0, 1), (4, 0.25, 3), (10, -2, 2)):
        for s in (8, 16, 32):
            n = (w // s) * (h // s) * 2
            step = 1 / 16 if kind == 1 else 1 / 4
            t.append(([1, n, kind], grid((n, kind), lo, hi, step)))
    return t


def centre_boxes(n, hi):
    return np.stack([grid(n, 0, hi, 0.25), grid(n, 0, hi, 0.25), grid(n, 1, hi / 3, 0.25),
                     grid(n, 1, hi / 3, 0.25)])


def attributes(a, n):
    v = np.concatenate([centre_boxes(n, 300), grid((a - 4, n), 0, 1, 1 / 16)])
    return [([1, a, n], v)]


def finished(rows):
    x, y = grid(rows, 0, 200, 0.25), grid(rows, 0, 200, 0.25)
    r = np.stack([x, y, x + grid(rows, 1, 60, 0.25), y + grid(rows, 1, 60, 0.25),
                  grid(rows, 0, 1, 1 / 16), grid(rows, 0, 4, 0.5)], axis=1)
    return [([1, rows, 6], r)]


S = [(300, 0.0, 0.5), (10, 0.3, 0.3), (1000, 0.5, 0.7), (3, 0.0, 0.0)]
letterbox = dict(scale_x=0.5, scale_y=0.5, pad_y=24.0, source_w=130, source_h=90)
cases = [
    case("face", face(64, 48), Meta(input_w=64, input_h=48, **letterbox), S),
    case("boxes and scores", [([1, 4, 30], centre_boxes(30, 100)), ([1, 3, 30], grid((3, 30), 0, 1, 1 / 16))],
         Meta(), S),
    case("boxes and scores as corners",
         [([1, 4, 30], centre_boxes(30, 100)), ([1, 1, 30], grid((1, 30), 0, 1, 1 / 16))],
         Meta(decode="xyxy", **letterbox), S),
    case("queries with no-object class",
         [([1, 20, 92], grid((20, 92), -3, 3, 0.25)), ([1, 20, 4], grid((20, 4), 0, 0.5, 1 / 64))],
         Meta(input_w=320, input_h=256), S),
    case("queries as probabilities",
         [([1, 20, 6], grid((20, 6), 0, 1, 1 / 16)), ([1, 20, 4], grid((20, 4), 0, 0.5, 1 / 64))],
         Meta(source_w=500, source_h=400), S),
    case("attributes", attributes(8, 40), Meta(**letterbox), S),
    case("pose", attributes(56, 16), Meta(**letterbox), S),
    case("finished", finished(30), Meta(source_w=150, source_h=150), S),
    case("pool overflow", attributes(5, 700), Meta(), S),
]
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "data", "box_fixtures.json"), "w") as f:
    json.dump({"generated_by": "tests/api/output/make_box_fixtures.py", "cases": cases}, f,
              separators=(",", ":"))
