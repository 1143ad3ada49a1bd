#!/usr/bin/python3
"""Writes xxh3_128_fixtures.txt: XXH3-128 (seed 0) digests computed by
python3-xxhash, an implementation independent of the one the library links.

Input n is `length` bytes where byte i is (i * 31 + length * 7 + 3) & 0xFF.
Each line: length, then the 16 digest bytes as the container stores them
(low 64 bits first, each half little-endian), in hex.

Run with /usr/bin/python3 (Debian's python3-xxhash).
"""
import os
import xxhash

LENGTHS = [0, 1, 2, 3, 4, 8, 9, 16, 17, 32, 64, 96, 128, 129, 200, 240, 241,
           255, 256, 1000, 1024, 4096, 16383, 16384, 65536, 100003]


def data(length):
    return bytes((i * 31 + length * 7 + 3) & 0xFF for i in range(length))


def stored(digest_int):
    low = digest_int & ((1 << 64) - 1)
    high = digest_int >> 64
    return low.to_bytes(8, "little") + high.to_bytes(8, "little")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "xxh3_128_fixtures.txt")
    with open(out, "w") as f:
        f.write("# generated, do not edit: tests/container/make_fixtures.py\n")
        for n in LENGTHS:
            d = xxhash.xxh3_128(data(n), seed=0).intdigest()
            f.write("%d %s\n" % (n, stored(d).hex()))


if __name__ == "__main__":
    main()
