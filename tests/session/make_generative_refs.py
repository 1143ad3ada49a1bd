#!/usr/bin/python3
"""Expected greedy answers of generative sessions, computed independently of
the C++ code, for the chats tests/session/generative_session_test.cpp runs
through the C interface.

For each chat below and each weight variant of its model:
  - the prompt: the model's own chat template (tokenizer_config.json)
    rendered by jinja2, each "<image>" replaced by that image's placeholder
    and the views cut with Pillow's LANCZOS resize (the view geometry of
    tests/generation/make_prepare_refs.py);
  - the prompt ids: the reference tokenizer (npm `tokenizers`) over the
    model's own tokenizer.json;
  - the pixels: (byte / 255 in f32 - mean) / std in f32, as the runtime
    prepares them;
  - the greedy tokens: the numpy float64 forward pass of
    tests/gpu/generative_reference.py, whole sequence at every step, until
    the end-of-utterance token or 16 tokens;
  - the answer: the tokens' bytes (special tokens have none) decoded as
    UTF-8 with each ill-formed part replaced by U+FFFD; also the answer of
    each shorter budget (the first k tokens).

    ./build/tests/gpu/write_generative_model /tmp/models
    NODE_PATH=<dir>/node_modules /usr/bin/python3 tests/session/make_generative_refs.py /tmp/models
"""
import json
import os
import subprocess
import sys

import jinja2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "gpu"))
sys.path.insert(0, os.path.join(HERE, "..", "generation"))
from generative_reference import Model, text_logits, vision_features  # noqa: E402
from make_prepare_refs import placeholder, views_of  # noqa: E402

STEPS = 16
IMG = "tests/data/generation/lanczos"
OUT = "tests/data/generative/sessions.json"

# name, model variant, messages (role, text, image file or None), detail, longest edge
CHATS = [
    ("text", "patch", [("user", "Name three colours of apples.", None)], "single", 512),
    ("image", "patch", [("user", "What is in this picture?", "chelsea_301x200.png")], "single", 512),
    ("tiled", "shuffle", [("user", "Read the text in the image.", "astronaut_211x157.png")], "tiled", 1024),
    ("multi_turn", "patch", [("user", "What is this?", "coffee_257x171.png"),
                             ("assistant", "A cup of coffee on a table.", None),
                             ("user", "What colour is the cup?", None)], "single", 512),
]


def tokenize(tokenizer_json, texts):
    script = r"""
const {Tokenizer} = require('tokenizers');
const input = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const t = Tokenizer.fromString(input.tokenizer);
(async () => {
  const out = [];
  for (const p of input.texts) out.push((await t.encode(p, null, {addSpecialTokens: false})).getIds());
  process.stdout.write(JSON.stringify(out));
})();
"""
    data = json.dumps({"tokenizer": json.dumps(tokenizer_json), "texts": texts}).encode()
    r = subprocess.run(["node", "-e", script], input=data, capture_output=True, check=True)
    return json.loads(r.stdout)


def byte_decoder():
    bs = list(range(33, 127)) + list(range(161, 173)) + list(range(174, 256))
    cs = bs[:]
    n = 0
    for b in range(256):
        if b not in bs:
            bs.append(b)
            cs.append(256 + n)
            n += 1
    return {chr(c): b for b, c in zip(bs, cs)}


def answer_text(m, tokens):
    vocab = m.documents["tokenizer.json"]["model"]["vocab"]
    by_id = {i: t for t, i in vocab.items()}
    decoder = byte_decoder()
    out = bytearray()
    for t in tokens:
        if t in by_id:
            out += bytes(decoder[c] for c in by_id[t])
    return out.decode("utf-8", errors="replace")


def pixels_of(m, views):
    pre = m.documents["preprocessor_config.json"]
    mean = np.array(pre["image_mean"], dtype=np.float32)
    std = np.array(pre["image_std"], dtype=np.float32)
    out = np.zeros((len(views), 3, 512, 512), dtype=np.float32)
    for v, im in enumerate(views):
        x = (float(pre["rescale_factor"]) * np.asarray(im, dtype=np.uint8).astype(np.float64)).astype(np.float32)
        out[v] = ((x - mean) / std).transpose(2, 0, 1)
    return out.astype(np.float64)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_generative_refs.py MODEL_DIR")
    model_dir = sys.argv[1]
    cases = {}
    for name, variant, chat, detail, edge in CHATS:
        for weights in ("f16", "q8"):
            model_name = "%s_%s" % (variant, weights)
            m = Model(os.path.join(model_dir, model_name + ".vorn"))
            tc = m.documents["tokenizer_config.json"]
            template = jinja2.Environment().from_string(tc["chat_template"])
            messages = [{"role": role, "content": ([{"type": "image"}] if image else []) +
                         [{"type": "text", "text": text}]} for role, text, image in chat]
            pieces = template.render(messages=messages, add_generation_prompt=True).split(tc["image_token"])
            prompt, views = pieces[0], []
            seq_len = m.documents["processor_config.json"]["image_seq_len"]
            for (_, _, image), rest in zip([c for c in chat if c[2]], pieces[1:]):
                v, rows, cols = views_of(os.path.join(IMG, image), detail, edge, None)
                views += v
                prompt += placeholder(tc, seq_len, rows, cols) + rest
            ids = tokenize(m.documents["tokenizer.json"], [prompt])[0]
            image_id = m.config["image_token_id"]
            positions = [i for i, t in enumerate(ids) if t == image_id]
            features = vision_features(m, pixels_of(m, views)) if views else None
            eos = m.documents["generation_config.json"]["eos_token_id"]
            seq, tokens, margin = list(ids), [], 1.0
            for _ in range(STEPS):
                out = text_logits(m, seq, features, positions)
                top = np.sort(out)[-2:]
                margin = min(margin, (top[1] - top[0]) / np.abs(out).max())
                tokens.append(int(np.argmax(out)))
                if tokens[-1] in eos:
                    break
                seq.append(tokens[-1])
            case = "%s_%s" % (name, weights)
            cases[case] = {"model": model_name, "messages": [list(c) for c in chat], "detail": detail,
                           "longest_edge": edge, "prompt_tokens": len(ids), "views": len(views),
                           "tokens": tokens, "answer": answer_text(m, tokens),
                           "answers_by_length": [answer_text(m, tokens[:k]) for k in range(len(tokens) + 1)],
                           "finish": "eos" if tokens[-1] in eos else "length"}
            print("%-14s prompt %4d views %d tokens %s margin %.5f" % (case, len(ids), len(views), tokens, margin))
    with open(OUT, "w") as f:
        json.dump({"generated_by": "tests/session/make_generative_refs.py", "cases": cases}, f, indent=1,
                  ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
