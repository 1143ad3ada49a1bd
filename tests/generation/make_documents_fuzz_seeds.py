#!/usr/bin/python3
"""Writes the seeds of documents_fuzzer (tests/generation/corpus/documents_fuzzer/):
the family's documents with GPT-2's vocabulary cut to its first 300 tokens
and the merges that make them, and the family's special tokens as ids 300..304 (vocabulary
size 305), once as separated documents plus a text to encode, once inside a
container image whose aux table names them."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
NAMES = ["config.json", "preprocessor_config.json", "tokenizer_config.json", "processor_config.json",
         "generation_config.json", "tokenizer.json"]


def documents():
    docs = {}
    for name in NAMES[:5]:
        with open(os.path.join(DATA, "generation", name)) as f:
            docs[name] = json.load(f)
    with open(os.path.join(DATA, "gpt2", "tokenizer.json")) as f:
        tok = json.load(f)
    tok["model"]["vocab"] = {t: i for t, i in tok["model"]["vocab"].items() if i < 300}
    vocab = tok["model"]["vocab"]
    tok["model"]["merges"] = [m for m in tok["model"]["merges"][:400] if m[0] + m[1] in vocab]
    with open(os.path.join(DATA, "generation", "added_tokens.json")) as f:
        added = json.load(f)
    for i, t in enumerate(added):
        t["id"] = 300 + i
    tok["added_tokens"] = added
    docs["tokenizer.json"] = tok
    docs["config.json"]["text_config"]["vocab_size"] = 305
    docs["config.json"]["image_token_id"] = 303
    docs["generation_config.json"]["eos_token_id"] = [301]
    return docs


def container(blobs):
    """The layout documents_fixture.h's AuxContainer writes."""
    names = b""
    name_at = []
    for name, _ in blobs:
        name_at.append(len(names))
        names += name.encode() + b"\0"
    names_offset = 512
    names_size = 32 + len(names)
    aux_offset = (names_offset + names_size + 7) // 8 * 8
    aux_size = 32 + 64 * len(blobs)
    end = aux_offset + aux_size
    image = bytearray(end)
    image[0:4] = b"VORN"
    image[names_offset + 32:names_offset + 32 + len(names)] = names
    put = lambda at, v: struct.pack_into("<Q", image, at, v)
    put(80, names_offset)
    put(88, names_size)
    put(208, aux_offset)
    put(216, aux_size)
    put(aux_offset, 1)
    put(aux_offset + 8, 64)
    put(aux_offset + 16, len(blobs))
    at = end
    for j, (_, data) in enumerate(blobs):
        entry = aux_offset + 32 + 64 * j
        put(entry, names_offset + 32 + name_at[j])
        put(entry + 16, at)
        put(entry + 24, len(data))
        at += len(data)
    put(32, at)
    return bytes(image), b"".join(d for _, d in blobs)


def main():
    docs = documents()
    parts = [json.dumps(docs[n], separators=(",", ":")).encode() for n in NAMES]
    text = "Hello world, don't stop: 2024 <image> caf\u00e9 \U0001f600<|im_start|>".encode()
    out = os.path.join(HERE, "corpus", "documents_fuzzer")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "documents"), "wb") as f:
        f.write(b"\x00" + b"\x1e".join(parts + [text]))
    image, blobs = container(list(zip(NAMES, parts)))
    with open(os.path.join(out, "container"), "wb") as f:
        f.write(b"\x01" + struct.pack("<H", len(image)) + image + blobs)


if __name__ == "__main__":
    main()
