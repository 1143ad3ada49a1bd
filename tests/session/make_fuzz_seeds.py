#!/usr/bin/python3
# Writes the seed inputs of session_open_fuzzer: byte strings that describe
# models with metadata, a few nodes, batch sizes above 1 and image settings
# (the fuzzer reads them byte by byte; see open_fuzzer.cpp). Run from the
# repository root with /usr/bin/python3.
import os
import random

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "session_open_fuzzer")
os.makedirs(out, exist_ok=True)
rng = random.Random(20261206)
for i in range(8):
    n = 48 + 24 * i
    data = bytes(rng.randrange(256) for _ in range(n))
    with open(os.path.join(out, "seed_%d" % i), "wb") as f:
        f.write(data)
