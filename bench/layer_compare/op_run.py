#!/usr/bin/python3
"""Times the layer classes of make_op_layers.py on our CPU engine and on ONNX
Runtime, one process per layer and side, pinned to the same cores: ours
through bench/ort_compare_runner (the whole run, and the layer's own time
from the engine's profile), ONNX Runtime through ort_compare_ort.js (the
whole run). With --vs OTHER, a second build of ours is timed alternating
with the first (old and new binaries side by side).

    op_run.py --layers DIR --runner RUNNER --ort ORT_DIR [--vs RUNNER2]
              [--cpus 0] [--seconds 1] [--rounds 1] [NAME...]

Prints per layer: ours whole-run ms, ours layer ms (profile), ORT ms and the
ratio of the whole runs (ours / ORT); with --vs the same for the second
build. Medians over the rounds. Cores: taskset list; ONNX Runtime gets one
intra-op thread per core listed.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def ours(runner, vorn, bin_path, input_name, cpus, seconds):
    env = dict(os.environ, VORN_CPU_PROFILE="")
    r = subprocess.run(["taskset", "-c", cpus, runner, "run", vorn, str(seconds), f"{input_name}:f32:{bin_path}"],
                       capture_output=True, text=True, env=env)
    if r.returncode != 0:
        return None, None
    whole = json.loads(r.stdout.strip().split("\n")[-1])["median_ms"]
    # One profile block per pass: sum the node times of each pass.
    passes, current, seen = [], 0.0, set()
    for line in r.stderr.splitlines():
        m = re.match(r"cpuprof op=(\S+) n=\d+ ms=(\S+)", line)
        if not m:
            continue
        if m.group(1) in seen:
            passes.append(current)
            current, seen = 0.0, set()
        seen.add(m.group(1))
        current += float(m.group(2))
    passes.append(current)
    return whole, statistics.median(passes)


def ort(ort_dir, model, bin_path, input_name, dims, cpus, seconds, threads, work):
    spec = os.path.join(work, os.path.basename(model) + ".inputs.json")
    with open(spec, "w") as f:
        json.dump([{"name": input_name, "dtype": "f32", "shape": dims, "file": bin_path}], f)
    r = subprocess.run(["taskset", "-c", cpus, "node", os.path.join(HERE, "..", "ort_compare_ort.js"), ort_dir,
                        model, str(threads), str(seconds), spec], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    return json.loads(r.stdout.strip().split("\n")[-1])["median_ms"]


def cores(text):
    n = 0
    for part in text.split(","):
        a, _, b = part.partition("-")
        n += int(b) - int(a) + 1 if b else 1
    return n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--layers", required=True)
    ap.add_argument("--runner", required=True)
    ap.add_argument("--vs")
    ap.add_argument("--ort", required=True)
    ap.add_argument("--cpus", default="0")
    ap.add_argument("--seconds", type=float, default=1.0)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("names", nargs="*")
    a = ap.parse_args()
    runners = [a.runner] + ([a.vs] if a.vs else [])
    work = os.path.join(a.layers, "work")
    os.makedirs(work, exist_ok=True)
    layers = []
    with open(os.path.join(a.layers, "ops.txt")) as f:
        for line in f:
            name, input_name, dims = line.split()
            if not a.names or name in a.names:
                layers.append((name, input_name, [int(d) for d in dims.split(",")]))
    threads = cores(a.cpus)
    head = f"{'layer':32} {'ours ms':>8} {'layer ms':>8}"
    if a.vs:
        head += f" {'vs ms':>8} {'vs layer':>8}"
    print(f"cores {a.cpus} ({threads} threads), load {os.getloadavg()[0]:.1f}")
    print(head + f" {'ORT ms':>8} {'ours/ORT':>8}" + (f" {'vs/ORT':>8}" if a.vs else ""))
    ratios = [[] for _ in runners]
    for name, input_name, dims in layers:
        model = os.path.join(a.layers, name + ".onnx")
        bin_path = os.path.join(a.layers, name + ".bin")
        vorn = []
        for i, runner in enumerate(runners):
            v = os.path.join(work, f"{name}.{i}.vorn")
            if subprocess.run([runner, "convert", model, v], capture_output=True).returncode != 0:
                v = None
            vorn.append(v)
        samples = [[] for _ in runners]
        theirs = []
        for _ in range(a.rounds):
            for i, runner in enumerate(runners):
                if vorn[i]:
                    samples[i].append(ours(runner, vorn[i], bin_path, input_name, a.cpus, a.seconds))
            theirs.append(ort(a.ort, model, bin_path, input_name, dims, a.cpus, a.seconds, threads, work))
        t = statistics.median([x for x in theirs if x is not None] or [float("nan")])
        line = f"{name:32}"
        cells = []
        for i in range(len(runners)):
            ok = [s for s in samples[i] if s[0] is not None]
            whole = statistics.median([s[0] for s in ok]) if ok else float("nan")
            layer = statistics.median([s[1] for s in ok]) if ok else float("nan")
            line += f" {whole:8.4f} {layer:8.4f}"
            cells.append(whole / t)
            ratios[i].append(whole / t)
        line += f" {t:8.4f}" + "".join(f" {c:8.2f}" for c in cells)
        print(line, flush=True)
    for i, r in enumerate(ratios):
        r = [x for x in r if x == x]
        if r:
            geo = statistics.geometric_mean(r)
            print(f"geometric mean {'ours' if i == 0 else 'vs'}/ORT: {geo:.2f} over {len(r)} layers")


if __name__ == "__main__":
    main()
