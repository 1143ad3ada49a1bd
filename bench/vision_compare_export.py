#!/usr/bin/python3
"""The vision encoder and connector of a generative .vorn container as a
PyTorch module with the container's weights, exported to ONNX for
bench/vision_compare.

    /usr/bin/python3 bench/vision_compare_export.py MODEL.vorn OUT_DIR

Writes OUT_DIR/vision.onnx (input "pixel_values" [1, 3, 512, 512] f32, output
"image_features" [1, 64, text width] f32, opset 17), OUT_DIR/pixels.f32 (the
test view of tests/gpu/generative_reference.py, raw little-endian f32),
OUT_DIR/inputs.json (the input list bench/ort_compare_ort.js reads) and
OUT_DIR/features-torch.f32 (PyTorch's features of that view, f32).

The network, as the container's graph computes it (tests/gpu/generative_model.h):
patch embedding (a p x p convolution of stride p, with bias) plus the
learned position table; per layer a pre-norm block, x += out(attention(q, k,
v of ln1 x)) and x += fc2(gelu_tanh(fc1(ln2 x))), every projection with a
bias, attention over every patch (no mask); a final layer norm; the
connector's pixel shuffle (each f x f block of patches becomes one row:
block row, then block column, then channel) and its projection without
bias. Weights are the container's F16 values in f32.
"""
import json
import os
import sys

import numpy as np
import torch
from torch import nn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "gpu"))
from generative_reference import Model, pixel_values  # noqa: E402  (the independent container reader)


class Block(nn.Module):
    def __init__(self, width, heads, inner, eps):
        super().__init__()
        self.heads = heads
        self.layer_norm1 = nn.LayerNorm(width, eps=eps)
        self.q_proj = nn.Linear(width, width)
        self.k_proj = nn.Linear(width, width)
        self.v_proj = nn.Linear(width, width)
        self.out_proj = nn.Linear(width, width)
        self.layer_norm2 = nn.LayerNorm(width, eps=eps)
        self.fc1 = nn.Linear(width, inner)
        self.fc2 = nn.Linear(inner, width)
        self.gelu = nn.GELU(approximate="tanh")

    def forward(self, x):
        b, n, w = x.shape
        d = w // self.heads
        h = self.layer_norm1(x)
        split = lambda t: t.reshape(b, n, self.heads, d).transpose(1, 2)
        q, k, v = split(self.q_proj(h)), split(self.k_proj(h)), split(self.v_proj(h))
        p = torch.softmax(q @ k.transpose(-1, -2) * (1.0 / d ** 0.5), dim=-1)
        x = x + self.out_proj((p @ v).transpose(1, 2).reshape(b, n, w))
        return x + self.fc2(self.gelu(self.fc1(self.layer_norm2(x))))


class VisionEncoder(nn.Module):
    def __init__(self, config):
        super().__init__()
        vc = config["vision_config"]
        width, self.patch = vc["hidden_size"], vc["patch_size"]
        self.grid = vc["image_size"] // self.patch
        self.factor = config["scale_factor"]
        self.patch_embedding = nn.Conv2d(3, width, self.patch, stride=self.patch)
        self.position_embedding = nn.Parameter(torch.zeros(self.grid * self.grid, width))
        self.layers = nn.ModuleList(Block(width, vc["num_attention_heads"], vc["intermediate_size"],
                                          vc["layer_norm_eps"]) for _ in range(vc["num_hidden_layers"]))
        self.post_layernorm = nn.LayerNorm(width, eps=vc["layer_norm_eps"])
        self.proj = nn.Linear(width * self.factor ** 2, config["text_config"]["hidden_size"], bias=False)

    def forward(self, pixels):
        x = self.patch_embedding(pixels).flatten(2).transpose(1, 2) + self.position_embedding
        for layer in self.layers:
            x = layer(x)
        x = self.post_layernorm(x)
        b, _, w = x.shape
        g, f = self.grid, self.factor
        x = x.reshape(b, g // f, f, g // f, f, w).permute(0, 1, 3, 2, 4, 5).reshape(b, (g // f) ** 2, f * f * w)
        return self.proj(x)


def load(m):
    net = VisionEncoder(m.config)
    own = {"patch_embedding.weight": "vision.patch_embedding.weight",
           "patch_embedding.bias": "vision.patch_embedding.bias",
           "position_embedding": "vision.position_embedding.weight",
           "post_layernorm.weight": "vision.post_layernorm.weight",
           "post_layernorm.bias": "vision.post_layernorm.bias",
           "proj.weight": "connector.proj.weight"}
    for name, _ in net.named_parameters():
        if name.startswith("layers."):
            _, l, part, kind = name.split(".")
            if part in ("q_proj", "k_proj", "v_proj", "out_proj"):
                part = "attn." + part
            elif part in ("fc1", "fc2"):
                part = "mlp." + part
            own[name] = "vision.layers.%s.%s.%s" % (l, part, kind)
    state = {name: torch.from_numpy(np.asarray(m[source], dtype=np.float32)) for name, source in own.items()}
    net.load_state_dict(state, strict=True)
    return net.eval()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    net = load(Model(source))
    pixels = torch.from_numpy(pixel_values(1).astype(np.float32))
    with torch.no_grad():
        features = net(pixels)
        torch.onnx.export(net, (pixels,), os.path.join(out, "vision.onnx"), opset_version=17,
                          input_names=["pixel_values"], output_names=["image_features"])
    pixels.numpy().astype("<f4").tofile(os.path.join(out, "pixels.f32"))
    features.numpy().astype("<f4").tofile(os.path.join(out, "features-torch.f32"))
    with open(os.path.join(out, "inputs.json"), "w") as f:
        json.dump([{"name": "pixel_values", "dtype": "f32", "shape": [1, 3, 512, 512],
                    "file": os.path.join(out, "pixels.f32")}], f)


if __name__ == "__main__":
    main()
