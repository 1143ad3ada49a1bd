#!/usr/bin/python3
"""Writes the seed corpus of cpu_quant_ranges_fuzzer: a value-count byte
followed by ranges tables, valid and damaged."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "cpu_quant_ranges_fuzzer")


def table(ranges):
    """ranges: list of (lo, hi) or None for a value never seen."""
    amax, mins, maxs = [], [], []
    for r in ranges:
        if r is None:
            amax.append(0.0)
            mins.append(3.0e38)
            maxs.append(-3.0e38)
        else:
            lo, hi = r
            amax.append(max(abs(lo), abs(hi)))
            mins.append(lo)
            maxs.append(hi)
    return struct.pack("<%df" % (3 * len(ranges)), *(amax + mins + maxs))


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {
        "valid3": bytes([2]) + table([(-1.0, 2.0), None, (0.0, 0.5)]),
        "valid1": bytes([0]) + table([(-4.0, -1.0)]),
        "short": bytes([2]) + table([(-1.0, 2.0), None, (0.0, 0.5)])[:-3],
        "inconsistent": bytes([1]) + table([(-1.0, 2.0), (0.0, 1.0)])[:4] + b"\0\0\0\0"
        + table([(-1.0, 2.0), (0.0, 1.0)])[8:],
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
