#!/usr/bin/python3
"""Writes tests/data/generation/sampler_reference.json: sampling cases and
the choices of an independent rendering of the sampling rule in numpy.

Each case names its vocabulary size, settings, starting generator state and
how its logits, allow mask and history are drawn; the logits themselves are
not stored but drawn again by the test from the same SplitMix64 stream (u64
arithmetic and one rounding to f32, the same on both sides). For each of a
case's steps the file holds the status, the chosen token, its
log-probability and the generator state after the call; the chosen token
joins the history of the next step.

Exponentials and logarithms go through Python's math module (the C
library's), sums run left to right as the rule says (numpy's sum is
pairwise), sorting is numpy's lexsort: identical uniforms give identical
choices.
"""
import json
import math
import sys

import numpy as np

MASK64 = (1 << 64) - 1


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) & MASK64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return state, z ^ (z >> 31)


def uniform(state):
    state, z = splitmix64(state)
    return state, (z >> 11) * 2.0 ** -53


def draw_inputs(case):
    """Logits (f32), allow mask (or None) and history, from the case's stream."""
    s = case["stream"]
    vocab = case["vocab"]
    logits = np.empty(vocab, dtype=np.float32)
    for i in range(vocab):
        s, u = uniform(s)
        x = (u * 2.0 - 1.0) * case["spread"]
        if case["quantum"] > 0:
            x = math.floor(x * case["quantum"] + 0.5) / case["quantum"]
        logits[i] = np.float32(x)
    for i in case["special"]:  # [index, "nan" | "inf" | "-inf" | value]
        logits[i[0]] = np.float32(float(i[1]))
    allow = None
    if case["density"] < 1.0:
        allow = np.zeros(vocab, dtype=np.uint8)
        for i in range(vocab):
            s, u = uniform(s)
            allow[i] = 1 if u < case["density"] else 0
    history = []
    for _ in range(case["history"]):
        s, z = splitmix64(s)
        history.append(z % vocab)
    return logits, allow, history


def sample(logits, allow, history, p, state):
    """Returns (status, token, log_probability, state)."""
    vocab = len(logits)
    window = history
    if p["repetition_window"] != 0 and len(history) >= p["repetition_window"]:
        window = history[len(history) - p["repetition_window"]:]
    if any(h < 0 or h >= vocab for h in window):
        return 1, None, None, state
    seen = np.zeros(vocab, dtype=bool)
    seen[np.array(window, dtype=np.int64)] = True
    if not np.all(np.isfinite(logits)):
        return 2, None, None, state
    x = logits.astype(np.float64)
    pen = p["repetition_penalty"]
    x = np.where(seen, np.where(logits < 0, x * pen, x / pen), x)
    if not np.all(np.isfinite(x)):
        return 2, None, None, state
    ids = np.arange(vocab) if allow is None else np.nonzero(allow)[0]
    if len(ids) == 0:
        return 3, None, None, state
    cx = x[ids]
    best = int(np.argmax(cx))  # the first maximum: the lower id
    mx = cx[best]
    if p["temperature"] == 0.0:
        total = 0.0
        for v in cx:
            total += math.exp(v - mx)
        return 0, int(ids[best]), -math.log(total), state
    order = np.lexsort((ids, -cx))  # x descending, then id ascending
    sx, sid = cx[order], ids[order]
    if p["top_k"] != 0 and p["top_k"] < len(sx):
        sx, sid = sx[:p["top_k"]], sid[:p["top_k"]]
    probs = [math.exp((v - mx) / p["temperature"]) for v in sx]
    total = 0.0
    for q in probs:
        total += q
    while len(probs) >= 2 and probs[-1] < p["min_p"]:
        total -= probs.pop()
    if p["top_p"] < 1.0:
        target = total * p["top_p"]
        running, j = 0.0, 0
        while j < len(probs):
            running += probs[j]
            j += 1
            if not running < target:
                break
        probs = probs[:j]
        total = running
    state, u = uniform(state)
    r = total * u
    chosen = None
    for j, q in enumerate(probs):
        r -= q
        if r < 0.0:
            chosen = j
            break
    if chosen is None:  # rounding: the last candidate whose p is not 0
        chosen = max(j for j, q in enumerate(probs) if q > 0.0)
    return 0, int(sid[chosen]), math.log(probs[chosen] / total), state


def make_cases(rng):
    cases = []
    for n in range(600):
        greedy = rng.random() < 0.2
        case = {
            "vocab": int(rng.choice([1, 2, 3, 7, 64, 257, 1000, 2048, 4099])),
            "spread": float(rng.choice([0.5, 4.0, 12.0, 60.0, 1000.0])),
            "quantum": int(rng.choice([0, 0, 1, 4])),  # coarse logits make ties
            "density": float(rng.choice([1.0, 1.0, 0.5, 0.05])),
            "history": int(rng.choice([0, 3, 40])),
            "stream": int(rng.integers(0, 2**63)),
            "state": int(rng.integers(0, 2**63)) * int(rng.choice([1, 2])),
            "steps": 3,
            "special": [],
            "params": {
                "temperature": 0.0 if greedy else float(rng.choice([0.05, 0.3, 0.7, 1.0, 1.5, 4.0])),
                "top_p": float(rng.choice([1.0, 1.0, 0.95, 0.5, 0.1])),
                "min_p": float(rng.choice([0.0, 0.0, 0.02, 0.2, 1.0])),
                "repetition_penalty": float(rng.choice([1.0, 1.0, 1.3, 2.0, 0.5])),
                "top_k": int(rng.choice([0, 0, 1, 5, 40, 5000])),
                "repetition_window": int(rng.choice([0, 0, 1, 8, 64])),
            },
        }
        if n % 50 == 0:
            case["quantum"], case["spread"] = 1, 0.4  # every logit equal (0)
        if n % 97 == 5:
            case["special"] = [[0, "nan"]]
        if n % 97 == 9:
            case["special"] = [[case["vocab"] - 1, "-inf"]]
        cases.append(case)
    return cases


def main():
    rng = np.random.default_rng(1206)
    out = []
    for case in make_cases(rng):
        logits, allow, history = draw_inputs(case)
        state = case["state"]
        steps = []
        for _ in range(case["steps"]):
            status, token, logp, state = sample(logits, allow, history, case["params"], state)
            steps.append({"status": status, "token": token, "log_probability": logp, "state": state})
            if status != 0:
                break
            history = history + [token]
        case["expected"] = steps
        out.append(case)
    sys.stdout.write("[\n" + ",\n".join(json.dumps(c) for c in out) + "\n]\n")


if __name__ == "__main__":
    main()
