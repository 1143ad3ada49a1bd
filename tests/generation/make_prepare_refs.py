#!/usr/bin/python3
"""Makes the expectations of request preparation, independently of the C++
code, and writes tests/data/generation/prepare_expected.json.

For each request below:
  - the prompt: the family's chat template (tokenizer_config.json's
    "chat_template") rendered by jinja2 with add_generation_prompt, each
    "<image>" it emits replaced by that image's placeholder text, computed
    here from the view geometry's f64 formulas;
  - the token ids: the reference tokenizer (npm `tokenizers`) over that
    prompt, with the test tokenizer (GPT-2's vocabulary plus the family's
    five special tokens);
  - the host tensors: shape, element kind and CRC-32 of the bytes, computed
    with numpy from the formulas, the views made with Pillow's LANCZOS resize.

Run from the repository root with Debian's python3 (python3-jinja2, -pil,
-numpy) and node with the `tokenizers` package on NODE_PATH:
  NODE_PATH=<dir>/node_modules /usr/bin/python3 tests/generation/make_prepare_refs.py
"""
import json
import math
import os
import subprocess
import zlib

import jinja2
import numpy as np
from PIL import Image, ImageOps

DATA = "tests/data/generation"
IMG = "tests/data/generation/lanczos"

REQUESTS = [
    {"name": "text_only", "request": {"prompt": "Hello world, what's 2+2? Answer in one word.",
                                      "max_new_tokens": 16}},
    {"name": "single_image", "request": {"prompt": "Describe this image.", "image": IMG + "/astronaut_211x157.png",
                                         "activation": "fp16"}},
    {"name": "several_images", "request": {
        "messages": [{"role": "user", "content": [
            {"type": "image", "path": IMG + "/chelsea_301x200.png"},
            {"type": "text", "text": "Compare this cat"},
            {"type": "image", "data_file": IMG + "/coffee_257x171.png"},
            {"type": "text", "text": " with this cup, and this rocket:"},
            {"type": "image", "path": IMG + "/rocket_149x223.png"}]}],
        "causal_mask": True}},
    {"name": "multi_turn_system", "request": {
        "messages": [
            {"role": "system", "content": [{"type": "text", "text": "You are terse.\nAnswer in English."}]},
            {"role": "user", "content": [{"type": "text", "text": "Hi there!"}]},
            {"role": "assistant", "content": [{"type": "text", "text": "Hello. \u00bfQu\u00e9 tal? 12345"}]},
            {"role": "user", "content": [{"type": "text", "text": "What is this?  "},
                                         {"type": "image", "path": IMG + "/hubble_97x120.png"}]}],
        "max_new_tokens": 100, "context_length": 1000}},
    {"name": "tiled", "request": {"prompt": "Read the tiles.", "image": IMG + "/hubble_97x120.png",
                                  "image_detail": "tiled", "image_longest_edge": 1024}},
    {"name": "tiled_crop_fp16", "request": {
        "messages": [{"role": "user", "content": [{"type": "image", "path": IMG + "/chelsea_301x200.png"},
                                                  {"type": "text", "text": "And now?"}]}],
        "image_detail": "tiled", "image_longest_edge": 1536, "image_crop": [0.1, 0.2, 0.9, 0.95],
        "activation": "fp16"}},
]


def load_docs():
    d = {}
    for n in ("config", "preprocessor_config", "tokenizer_config", "processor_config"):
        with open(os.path.join(DATA, n + ".json")) as f:
            d[n] = json.load(f)
    return d


def even_up(v):
    return v + (v & 1)


def c512(v):
    return (v + 511) // 512 * 512


def views_of(path, detail, edge, crop):
    """The 512 x 512 views of one image and its grid (rows, cols)."""
    im = ImageOps.exif_transpose(Image.open(path)).convert("RGB")
    W, H = im.size
    if crop:
        x0, y0, x1, y1 = crop
        box = (round(x0 * W), round(y0 * H), round(x1 * W), round(y1 * H))  # ties to even
        im = im.crop(box)
        W, H = im.size
    a = W / H
    if W < H:
        fw, fh = even_up(math.trunc(a * edge)) or 1, edge
    else:
        fw, fh = edge, even_up(math.trunc(edge / a)) or 1
    im = im.resize((fw, fh), Image.LANCZOS)
    if detail == "single":
        return [im.resize((512, 512), Image.LANCZOS)], 0, 0
    a = fw / fh
    if fw < fh:
        th = c512(fh)
        tw = c512(math.trunc(a * th))
    else:
        tw = c512(fw)
        th = c512(math.trunc(tw / a))
    gw, gh = max(tw, 512), max(th, 512)
    im = im.resize((gw, gh), Image.LANCZOS)
    if tw <= 512 and th <= 512:
        return [im], 0, 0
    rows, cols = gh // 512, gw // 512
    views = [im.crop((c * 512, r * 512, c * 512 + 512, r * 512 + 512)) for r in range(rows) for c in range(cols)]
    views.append(im.resize((512, 512), Image.LANCZOS))
    return views, rows, cols


def placeholder(tc, seq, rows, cols):
    t = tc["image_token"] * seq
    f, g = tc["fake_image_token"], tc["global_image_token"]
    out = ""
    if rows:
        for r in range(1, rows + 1):
            for c in range(1, cols + 1):
                out += f + "<row_%d_col_%d>" % (r, c) + t
            out += "\n"
        out += "\n"
    return out + f + g + t + f


def tokenize(prompts):
    script = r"""
const {Tokenizer} = require('tokenizers');
const fs = require('fs');
const tok = JSON.parse(fs.readFileSync('tests/data/gpt2/tokenizer.json', 'utf8'));
tok.added_tokens = (tok.added_tokens || []).concat(JSON.parse(fs.readFileSync('tests/data/generation/added_tokens.json', 'utf8')));
const t = Tokenizer.fromString(JSON.stringify(tok));
const prompts = JSON.parse(fs.readFileSync(0, 'utf8'));
(async () => {
  const out = [];
  for (const p of prompts) out.push((await t.encode(p, null, {addSpecialTokens: false})).getIds());
  process.stdout.write(JSON.stringify(out));
})();
"""
    r = subprocess.run(["node", "-e", script], input=json.dumps(prompts).encode(), capture_output=True, check=True)
    return json.loads(r.stdout)


def crc(a):
    return "%08x" % zlib.crc32(np.ascontiguousarray(a).tobytes())


def tensors(req, ids, views, docs):
    cfg, pre = docs["config"], docs["preprocessor_config"]
    f16 = req.get("activation") == "fp16"
    fdt = np.float16 if f16 else np.float32
    fkind = 1 if f16 else 2
    n = len(ids)
    out = {}

    def put(name, arr, shape, kind):
        out[name] = {"shape": list(shape), "dtype": kind, "crc": crc(arr)}

    ids_a = np.array(ids, dtype=np.int64)
    put("input_ids", ids_a, [1, n], 3)
    put("position_ids", np.arange(n, dtype=np.int64), [1, n], 3)
    if req.get("causal_mask"):
        put("text_attention_mask", np.zeros(0, fdt), [1, 1, 0, 0], fkind)
    else:
        mask = np.zeros((n, n), dtype=fdt)
        mask[np.triu_indices(n, 1)] = np.finfo(fdt).min
        put("text_attention_mask", mask, [1, 1, n, n], fkind)
    V = len(views)
    rescale = float(pre["rescale_factor"])
    mean = np.array(pre["image_mean"], dtype=np.float32)
    std = np.array(pre["image_std"], dtype=np.float32)
    pix = np.zeros((V, 3, 512, 512), dtype=np.float32)
    for v, im in enumerate(views):
        b = np.asarray(im, dtype=np.uint8).astype(np.float64)  # H, W, 3
        x = (rescale * b).astype(np.float32)
        x = (x - mean) / std
        pix[v] = x.transpose(2, 0, 1)
    put("pixel_values", pix.astype(fdt), [V, 3, 512, 512], fkind)
    P = 512 // cfg["vision_config"]["patch_size"]
    put("patch_position_ids", np.tile(np.arange(P * P, dtype=np.int64), V), [V, P * P], 3)
    put("vision_attention_mask", np.zeros(V * P * P * P * P, fdt), [V, 1, P * P, P * P], fkind)
    pos = np.nonzero(ids_a == cfg["image_token_id"])[0].astype(np.int64)
    put("image_token_positions", pos, [len(pos)], 3)
    tcfg = cfg["text_config"]
    for l in range(tcfg["num_hidden_layers"]):
        for w in ("key", "value"):
            put("past_%s.%d" % (w, l), np.zeros(0, fdt), [1, tcfg["num_key_value_heads"], 0, tcfg["head_dim"]], fkind)
    return out


def main():
    docs = load_docs()
    tc = docs["tokenizer_config"]
    seq = docs["processor_config"]["image_seq_len"]
    template = jinja2.Environment().from_string(tc["chat_template"])
    cases = []
    for case in REQUESTS:
        req = case["request"]
        req.setdefault("max_new_tokens", 64)
        msgs = req.get("messages")
        if msgs is None:
            content = ([{"type": "image", "path": req["image"]}] if req.get("image") else []) + \
                      [{"type": "text", "text": req.get("prompt", "")}]
            msgs = [{"role": "user", "content": content}]
        rendered = template.render(messages=msgs, add_generation_prompt=True)
        pieces = rendered.split(tc["image_token"])
        prompt, views = pieces[0], []
        images = [p for m in msgs for p in m["content"] if p["type"] == "image"]
        assert len(images) == len(pieces) - 1
        for img, rest in zip(images, pieces[1:]):
            v, rows, cols = views_of(img.get("path") or img.get("data_file"), req.get("image_detail", "single"),
                                     req.get("image_longest_edge", 512), req.get("image_crop"))
            views += v
            prompt += placeholder(tc, seq, rows, cols) + rest
        cases.append({"name": case["name"], "request": req, "rendered_prompt": prompt, "views": views})
    ids = tokenize([c["rendered_prompt"] for c in cases])
    out = []
    for c, i in zip(cases, ids):
        out.append({"name": c["name"], "request": c["request"], "rendered_prompt": c["rendered_prompt"],
                    "prompt_token_ids": i, "image_views": len(c["views"]),
                    "inputs": tensors(c["request"], i, c["views"], docs)})
    with open(os.path.join(DATA, "prepare_expected.json"), "w") as f:
        f.write(json.dumps({"generated_by": "tests/generation/make_prepare_refs.py", "cases": out}, indent=1))
        f.write("\n")


if __name__ == "__main__":
    main()
