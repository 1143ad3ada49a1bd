#!/usr/bin/python3
"""Independent forward pass of the small generative test models, in numpy.

Reads only the model file (tensors by name and config.json from the
container) and computes the network from its definition in float64: the
vision encoder, the pixel-shuffle connector and the text decoder, the whole
sequence again at every step (no KV cache). Writes, for each case, the
prompt, the greedy tokens of 16 steps and the logits of each step, which the
graph tests compare with the engine's passes.

    ./build/tests/gpu/write_generative_model /tmp/models
    /usr/bin/python3 tests/gpu/generative_reference.py /tmp/models tests/data/generative

The network (the same text stands in tests/gpu/generative_model.h):
  vision: patch embedding (a p x p convolution of stride p, with bias) plus
    a learned position table indexed by patch_position_ids; per layer a
    pre-norm block: x += out(attention(q(ln1 x), k(ln1 x), v(ln1 x), mask))
    and x += fc2(gelu_tanh(fc1(ln2 x))), every projection with a bias; a
    final layer norm.
  connector: pixel shuffle by the scale factor (each f x f block of patches
    becomes one row of f^2 x width values, block row, then block column,
    then channel) and one projection without bias to the text width.
  text: token embedding; the image-token rows replaced by the connector's
    rows in order; per layer x += o(attention(rope(q(rms1 x)),
    rope(k(rms1 x)), v(rms1 x))) with grouped key/value heads, and
    x += down(silu(gate(rms2 x)) * up(rms2 x)); a final RMS norm and the
    output projection to the vocabulary.
  Q8 weights are used as the engine keeps them: each value is the byte times
  its block's scale in f32, rounded once to f16.
"""
import json
import os
import struct
import sys

import numpy as np

STEPS = 16
SIDE = 512


def u64(buf, at):
    return struct.unpack_from("<Q", buf, at)[0]


def cstr(buf, at):
    end = buf.index(b"\0", at)
    return buf[at:end].decode("utf-8")


class Model:
    def __init__(self, path):
        buf = open(path, "rb").read()
        self.header_digest = buf[256:272].hex()
        directory = lambda slot: (u64(buf, 64 + 16 * slot), u64(buf, 72 + 16 * slot))
        pool = directory(0)[0] + 32
        tensors, _ = directory(3)
        stride, count = u64(buf, tensors + 8), u64(buf, tensors + 16)
        self.weights = {}
        for t in range(count):
            r = tensors + 32 + stride * t
            name = cstr(buf, pool + u64(buf, r))
            kind, rank = u64(buf, r + 8), u64(buf, r + 32)
            dims = [u64(buf, r + 40 + 8 * d) for d in range(rank)]
            at, size, row_bytes = u64(buf, r + 88), u64(buf, r + 96), u64(buf, r + 136)
            data = buf[at:at + size]
            if kind == 1:
                w = np.frombuffer(data, dtype="<f2").astype(np.float64)
            elif kind == 4:
                cols = dims[-1]
                blocks = row_bytes // 68
                raw = np.frombuffer(data, dtype=np.uint8).reshape(-1, blocks, 68)
                q = raw[:, :, :64].view(np.int8).astype(np.float32)
                scale = raw[:, :, 64:].copy().view("<f4")
                w = (q * scale).astype(np.float16).astype(np.float64).reshape(-1, blocks * 64)[:, :cols]
            else:
                raise ValueError("unexpected tensor kind %d" % kind)
            self.weights[name] = w.reshape(dims)
        aux, _ = directory(9)
        stride, count = u64(buf, aux + 8), u64(buf, aux + 16)
        self.documents = {}
        for j in range(count):
            e = aux + 32 + stride * j
            blob, length = u64(buf, e + 16), u64(buf, e + 24)
            self.documents[cstr(buf, u64(buf, e))] = json.loads(buf[blob:blob + length])
        self.config = self.documents["config.json"]

    def __getitem__(self, name):
        return self.weights[name]


def layer_norm(x, w, b, eps):
    mean = x.mean(-1, keepdims=True)
    var = ((x - mean) ** 2).mean(-1, keepdims=True)
    return (x - mean) / np.sqrt(var + eps) * w + b


def rms_norm(x, w, eps):
    return x / np.sqrt((x * x).mean(-1, keepdims=True) + eps) * w


def gelu_tanh(x):
    return 0.5 * x * (1 + np.tanh(np.sqrt(2 / np.pi) * (x + 0.044715 * x ** 3)))


def silu(x):
    return x / (1 + np.exp(-x))


def softmax(s):
    s = s - s.max(-1, keepdims=True)
    e = np.exp(s)
    return e / e.sum(-1, keepdims=True)


def attention(q, k, v, heads, kv_heads, causal):
    """q [T, heads*d], k and v [T, kv_heads*d]; query head h reads key head
    h // (heads // kv_heads)."""
    t = q.shape[0]
    d = q.shape[1] // heads
    q = q.reshape(t, heads, d).transpose(1, 0, 2)
    k = k.reshape(t, kv_heads, d).transpose(1, 0, 2)
    v = v.reshape(t, kv_heads, d).transpose(1, 0, 2)
    group = heads // kv_heads
    k = np.repeat(k, group, axis=0)
    v = np.repeat(v, group, axis=0)
    s = q @ k.transpose(0, 2, 1) / np.sqrt(d)
    if causal:
        s = np.where(np.tril(np.ones((t, t), dtype=bool)), s, -np.inf)
    return (softmax(s) @ v).transpose(1, 0, 2).reshape(t, heads * d)


def rope(x, heads, theta):
    t = x.shape[0]
    d = x.shape[1] // heads
    half = d // 2
    inv = theta ** (-2.0 * np.arange(half) / d)
    ang = np.arange(t)[:, None] * inv[None, :]
    cos, sin = np.cos(ang)[:, None, :], np.sin(ang)[:, None, :]
    x = x.reshape(t, heads, d)
    a, b = x[..., :half], x[..., half:]
    return np.concatenate([a * cos - b * sin, b * cos + a * sin], axis=-1).reshape(t, heads * d)


def vision_features(m, pixels):
    vc = m.config["vision_config"]
    p, width, heads, eps = vc["patch_size"], vc["hidden_size"], vc["num_attention_heads"], vc["layer_norm_eps"]
    g = SIDE // p
    views = pixels.shape[0]
    patches = pixels.reshape(views, 3, g, p, g, p).transpose(0, 2, 4, 1, 3, 5).reshape(views, g * g, 3 * p * p)
    x = patches @ m["vision.patch_embedding.weight"].reshape(width, -1).T + m["vision.patch_embedding.bias"]
    x = x + m["vision.position_embedding.weight"][np.arange(g * g)]
    lin = lambda h, name: h @ m[name + ".weight"].T + m[name + ".bias"]
    for l in range(vc["num_hidden_layers"]):
        pre = "vision.layers.%d." % l
        out = np.empty_like(x)
        for view in range(views):
            h = layer_norm(x[view], m[pre + "layer_norm1.weight"], m[pre + "layer_norm1.bias"], eps)
            a = attention(lin(h, pre + "attn.q_proj"), lin(h, pre + "attn.k_proj"), lin(h, pre + "attn.v_proj"),
                          heads, heads, False)
            out[view] = x[view] + lin(a, pre + "attn.out_proj")
        x = out
        h = layer_norm(x, m[pre + "layer_norm2.weight"], m[pre + "layer_norm2.bias"], eps)
        x = x + lin(gelu_tanh(lin(h, pre + "mlp.fc1")), pre + "mlp.fc2")
    x = layer_norm(x, m["vision.post_layernorm.weight"], m["vision.post_layernorm.bias"], eps)
    f = m.config["scale_factor"]
    x = x.reshape(views, g // f, f, g // f, f, width).transpose(0, 1, 3, 2, 4, 5).reshape(views, -1, f * f * width)
    return (x @ m["connector.proj.weight"].T).reshape(-1, m.config["text_config"]["hidden_size"])


def text_logits(m, ids, features, image_positions):
    tc = m.config["text_config"]
    heads, kv_heads, eps, theta = tc["num_attention_heads"], tc["num_key_value_heads"], tc["rms_norm_eps"], tc["rope_theta"]
    x = m["text.embed_tokens.weight"][np.array(ids)]
    if len(image_positions):
        x[np.array(image_positions)] = features
    lin = lambda h, name: h @ m[name + ".weight"].T
    for l in range(tc["num_hidden_layers"]):
        pre = "text.layers.%d." % l
        h = rms_norm(x, m[pre + "input_layernorm.weight"], eps)
        q = rope(lin(h, pre + "self_attn.q_proj"), heads, theta)
        k = rope(lin(h, pre + "self_attn.k_proj"), kv_heads, theta)
        a = attention(q, k, lin(h, pre + "self_attn.v_proj"), heads, kv_heads, True)
        x = x + lin(a, pre + "self_attn.o_proj")
        h = rms_norm(x, m[pre + "post_attention_layernorm.weight"], eps)
        x = x + lin(silu(lin(h, pre + "mlp.gate_proj")) * lin(h, pre + "mlp.up_proj"), pre + "mlp.down_proj")
    x = rms_norm(x[-1], m["text.norm.weight"], eps)
    return x @ m["lm_head.weight"].T


def pixel_values(views):
    """The test image: view v, channel c, row y, column x is k / 128 - 1 with
    k = (37 v + 101 c + 7 y + 3 x + (x y mod 13)) mod 256, exact in f16."""
    v, c, y, x = np.meshgrid(np.arange(views), np.arange(3), np.arange(SIDE), np.arange(SIDE), indexing="ij")
    k = (37 * v + 101 * c + 7 * y + 3 * x + (x * y) % 13) % 256
    return k / 128.0 - 1.0


def special_ids(m):
    return {t["content"]: t["id"] for t in m.documents["tokenizer.json"]["added_tokens"]}


def text_ids(text):
    # The generated vocabularies give every byte its own value as id.
    return list(text.encode("utf-8"))


def prompt(m, question, grid):
    """A chat prompt with an image of rows x cols tiles plus the global view
    (grid None: no image), laid out as the request preparation does."""
    sp = special_ids(m)
    seq = [sp["<|im_start|>"]] + text_ids("User:" if grid is not None else "User: ")
    image = [sp["<image>"]] * 64
    if grid is not None:
        rows, cols = grid
        for r in range(1, rows + 1):
            for c in range(1, cols + 1):
                seq += [sp["<fake_token_around_image>"], sp["<row_%d_col_%d>" % (r, c)]] + image
            seq += text_ids("\n")
        if rows:
            seq += text_ids("\n")
        seq += [sp["<fake_token_around_image>"], sp["<global-img>"]] + image + [sp["<fake_token_around_image>"]]
    seq += text_ids(question) + [sp["<end_of_utterance>"]] + text_ids("\nAssistant:")
    return seq


CASES = [
    # name, model, question, image grid (None: no image; (0, 0): one view)
    ("text", "patch", "Name three colours of apples.", None),
    ("image", "patch", "What is in this picture?", (0, 0)),
    ("tiled", "shuffle", "Read the text in the image.", (2, 2)),
]


def run_case(m, question, grid):
    ids = prompt(m, question, grid)
    views = 0 if grid is None else grid[0] * grid[1] + 1
    image_id = special_ids(m)["<image>"]
    positions = [i for i, t in enumerate(ids) if t == image_id]
    assert len(positions) == 64 * views
    features = vision_features(m, pixel_values(views)) if views else None
    tokens, logits, margins = [], [], []
    seq = list(ids)
    for _ in range(STEPS):
        out = text_logits(m, seq, features, positions)
        top = np.sort(out)[-2:]
        margins.append((top[1] - top[0]) / np.abs(out).max())
        tokens.append(int(np.argmax(out)))
        logits.append(out.astype(np.float32))
        seq.append(tokens[-1])
    return ids, views, positions, tokens, np.stack(logits), min(margins)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: generative_reference.py MODEL_DIR OUTPUT_DIR")
    model_dir, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    manifest = {}
    for name, variant, question, grid in CASES:
        for weights in ("f16", "q8"):
            model_name = "%s_%s" % (variant, weights)
            m = Model(os.path.join(model_dir, model_name + ".vorn"))
            ids, views, positions, tokens, logits, margin = run_case(m, question, grid)
            case = "%s_%s" % (name, weights)
            logits.astype("<f4").tofile(os.path.join(out_dir, case + ".logits"))
            manifest[case] = {"model": model_name, "header_digest": m.header_digest, "prompt": ids,
                              "views": views, "image_token_positions": positions, "tokens": tokens,
                              "logits": case + ".logits", "vocab": int(logits.shape[1])}
            print("%-10s %-12s prompt %4d views %d tokens %s min margin %.4f" %
                  (case, model_name, len(ids), views, tokens, margin))
    with open(os.path.join(out_dir, "expected.json"), "w") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
