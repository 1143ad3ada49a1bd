#!/usr/bin/python3
"""Writes the text decoder of a generative .vorn container as a GGUF file
(architecture "llama"), with the container's own weights, for
bench/llama_compare.

    /usr/bin/python3 bench/gguf_writer.py MODEL.vorn OUT.gguf f16|q8_0

The container must hold F16 weights and tie its output projection to the
token table (the family's smallest member does). The GGUF file, version 3,
little-endian: the magic "GGUF", the version (u32), the tensor count and the
key/value count (u64 each); the key/value pairs (a string key, a u32 value
type, the value; a string is a u64 length and its bytes, an array a u32
element type, a u64 count and the elements); the tensor records (name, u32
rank, the dimensions innermost first as u64, u32 element type, u64 offset
from the start of the data); then, at the next multiple of the alignment (32),
the data, each tensor at an offset that is a multiple of 32.

Element types: F32 (0), F16 (1) and Q8_0 (8): blocks of 32 values along a row,
each an f16 scale d = max|v| / 127 followed by 32 signed bytes round(v / d)
(halves away from zero), 34 bytes. In q8_0 every matrix is stored so, the
token table too; norm weights are F32 in both kinds (the F16 values widened,
exactly).

Layout conventions that differ from the container's, converted here so that
both sides compute the same function:
  - the rotary embedding: the container's graph rotates halves (channel c
    with c + d/2), the llama architecture rotates adjacent pairs (2i with
    2i + 1) at the same angle; so the rows of each head of the query and key
    projections are interleaved: GGUF row 2i is the container's row i, GGUF
    row 2i + 1 the container's row i + d/2. Query and key channels move
    alike, so every dot product, and the attention, stays the same;
  - matrices: the container's [out, in] rows are GGUF's [in, out] dimensions
    (innermost first) over the same bytes.

The vocabulary: the container's byte-level BPE entries and merges, its added
tokens as control tokens, and "<unused_N>" for the ids that the generated
vocabulary leaves unnamed. Tokens are never looked up by text in the
benchmark, which feeds ids.
"""
import os
import struct
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "gpu"))
from generative_reference import Model  # noqa: E402  (the independent container reader)

GGUF_VERSION = 3
ALIGNMENT = 32
T_U32, T_I32, T_F32, T_STRING, T_ARRAY = 4, 5, 6, 8, 9
GGML_F32, GGML_F16, GGML_Q8_0 = 0, 1, 8
FILE_TYPE = {"f16": 1, "q8_0": 7}  # "mostly F16", "mostly Q8_0"
TOKEN_NORMAL, TOKEN_CONTROL, TOKEN_UNUSED = 1, 3, 5


def gguf_string(text):
    b = text.encode("utf-8")
    return struct.pack("<Q", len(b)) + b


def kv_value(kind, value):
    if kind == T_U32:
        return struct.pack("<I", value)
    if kind == T_I32:
        return struct.pack("<i", value)
    if kind == T_F32:
        return struct.pack("<f", value)
    if kind == T_STRING:
        return gguf_string(value)
    raise ValueError(kind)


def kv(key, kind, value):
    return gguf_string(key) + struct.pack("<I", kind) + kv_value(kind, value)


def kv_array(key, kind, values):
    out = [gguf_string(key), struct.pack("<IIQ", T_ARRAY, kind, len(values))]
    if kind == T_I32:
        out.append(np.asarray(values, dtype="<i4").tobytes())
    else:
        out.extend(kv_value(kind, v) for v in values)
    return b"".join(out)


def q8_0(w):
    """Rows of a 2-D array as Q8_0 blocks (the row length a multiple of 32)."""
    w = np.asarray(w, dtype=np.float32)
    blocks = w.reshape(-1, 32)
    d = np.abs(blocks).max(axis=1) / 127.0
    inv = np.where(d > 0, 1.0 / np.where(d > 0, d, 1.0), 0.0).astype(np.float32)
    x = blocks * inv[:, None]
    q = (np.sign(x) * np.floor(np.abs(x) + 0.5)).astype(np.int8)
    out = np.empty((blocks.shape[0], 34), dtype=np.uint8)
    out[:, :2] = d.astype("<f2").view(np.uint8).reshape(-1, 2)
    out[:, 2:] = q.view(np.uint8)
    return out.tobytes()


def interleave_heads(w, heads):
    """Rows [heads * d, in] from halves order to adjacent pairs per head."""
    d = w.shape[0] // heads
    return w.reshape(heads, 2, d // 2, -1).transpose(0, 2, 1, 3).reshape(w.shape)


def vocabulary(m, size):
    tok = m.documents["tokenizer.json"]
    tokens = ["<unused_%d>" % i for i in range(size)]
    types = [TOKEN_UNUSED] * size
    for text, i in tok["model"]["vocab"].items():
        tokens[i], types[i] = text, TOKEN_NORMAL
    for t in tok["added_tokens"]:
        tokens[t["id"]], types[t["id"]] = t["content"], TOKEN_CONTROL
    merges = [" ".join(pair) for pair in tok["model"]["merges"]]
    return tokens, types, merges


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in FILE_TYPE:
        sys.exit(__doc__)
    source, target, kind = sys.argv[1], sys.argv[2], sys.argv[3]
    m = Model(source)
    cfg = m.config["text_config"]
    if "lm_head.weight" in m.weights or not m.config.get("tie_word_embeddings"):
        sys.exit("gguf_writer: the container's output projection must be tied to the token table")
    width, layers, heads, kv_heads = cfg["hidden_size"], cfg["num_hidden_layers"], cfg["num_attention_heads"], \
        cfg["num_key_value_heads"]
    vocab = cfg["vocab_size"]
    specials = {t["content"]: t["id"] for t in m.documents["tokenizer.json"]["added_tokens"]}

    tensors = []  # (name, dims innermost first, ggml type, bytes)

    def matrix(name, w):
        w = np.asarray(w)
        dims = [w.shape[1], w.shape[0]]
        if kind == "q8_0":
            tensors.append((name, dims, GGML_Q8_0, q8_0(w)))
        else:
            tensors.append((name, dims, GGML_F16, w.astype("<f2").tobytes()))

    def vector(name, w):
        tensors.append((name, [w.shape[0]], GGML_F32, np.asarray(w, dtype="<f4").tobytes()))

    matrix("token_embd.weight", m["text.embed_tokens.weight"])
    for l in range(layers):
        src, dst = "text.layers.%d." % l, "blk.%d." % l
        vector(dst + "attn_norm.weight", m[src + "input_layernorm.weight"])
        matrix(dst + "attn_q.weight", interleave_heads(m[src + "self_attn.q_proj.weight"], heads))
        matrix(dst + "attn_k.weight", interleave_heads(m[src + "self_attn.k_proj.weight"], kv_heads))
        matrix(dst + "attn_v.weight", m[src + "self_attn.v_proj.weight"])
        matrix(dst + "attn_output.weight", m[src + "self_attn.o_proj.weight"])
        vector(dst + "ffn_norm.weight", m[src + "post_attention_layernorm.weight"])
        matrix(dst + "ffn_gate.weight", m[src + "mlp.gate_proj.weight"])
        matrix(dst + "ffn_up.weight", m[src + "mlp.up_proj.weight"])
        matrix(dst + "ffn_down.weight", m[src + "mlp.down_proj.weight"])
    vector("output_norm.weight", m["text.norm.weight"])

    tokens, types, merges = vocabulary(m, vocab)
    pairs = [
        kv("general.architecture", T_STRING, "llama"),
        kv("general.name", T_STRING, "vorn bench text decoder"),
        kv("general.file_type", T_U32, FILE_TYPE[kind]),
        kv("general.alignment", T_U32, ALIGNMENT),
        kv("llama.vocab_size", T_U32, vocab),
        kv("llama.context_length", T_U32, cfg["max_position_embeddings"]),
        kv("llama.embedding_length", T_U32, width),
        kv("llama.block_count", T_U32, layers),
        kv("llama.feed_forward_length", T_U32, cfg["intermediate_size"]),
        kv("llama.attention.head_count", T_U32, heads),
        kv("llama.attention.head_count_kv", T_U32, kv_heads),
        kv("llama.attention.layer_norm_rms_epsilon", T_F32, cfg["rms_norm_eps"]),
        kv("llama.rope.freq_base", T_F32, cfg["rope_theta"]),
        kv("llama.rope.dimension_count", T_U32, cfg["head_dim"]),
        kv("tokenizer.ggml.model", T_STRING, "gpt2"),
        kv_array("tokenizer.ggml.tokens", T_STRING, tokens),
        kv_array("tokenizer.ggml.token_type", T_I32, types),
        kv_array("tokenizer.ggml.merges", T_STRING, merges),
        kv("tokenizer.ggml.bos_token_id", T_U32, specials["<|im_start|>"]),
        kv("tokenizer.ggml.eos_token_id", T_U32, specials["<end_of_utterance>"]),
    ]
    header = [b"GGUF", struct.pack("<IQQ", GGUF_VERSION, len(tensors), len(pairs))] + pairs
    offset = 0
    for name, dims, ggml_type, data in tensors:
        header.append(gguf_string(name) + struct.pack("<I", len(dims)) + struct.pack("<%dQ" % len(dims), *dims) +
                      struct.pack("<IQ", ggml_type, offset))
        offset += (len(data) + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT
    head = b"".join(header)
    tmp = target + ".tmp"
    with open(tmp, "wb") as f:
        f.write(head + b"\0" * (-len(head) % ALIGNMENT))
        for _, _, _, data in tensors:
            f.write(data + b"\0" * (-len(data) % ALIGNMENT))
    os.replace(tmp, target)


if __name__ == "__main__":
    main()
