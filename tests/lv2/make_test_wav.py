#!/usr/bin/env python3
"""Writes a stereo 32-bit float WAV file of drum-like hits over a tone.

usage: make_test_wav.py OUT.wav RATE SECONDS [SEED]

The hits (noise bursts with a fast decay, at random times and levels) give the
detector events to shape; the tone keeps the band busy between them. The seed
(default 1, or KELO_TEST_SEED) fixes the file.
"""
import math
import os
import random
import struct
import sys


def main():
    path, rate, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else int(os.environ.get("KELO_TEST_SEED", "1"))
    rng = random.Random(seed)
    frames = int(rate * seconds)
    left = [0.1 * math.sin(2 * math.pi * 220 * i / rate) for i in range(frames)]
    right = [0.1 * math.sin(2 * math.pi * 330 * i / rate + 0.5) for i in range(frames)]
    at = int(0.05 * rate)
    while at < frames:
        level = rng.uniform(0.2, 0.95)
        decay = math.exp(-1.0 / (rng.uniform(0.01, 0.08) * rate))
        gain = level
        for i in range(at, min(frames, at + int(0.3 * rate))):
            left[i] += gain * rng.uniform(-1, 1)
            right[i] += gain * rng.uniform(-1, 1)
            gain *= decay
        at += int(rng.uniform(0.12, 0.45) * rate)
    data = bytearray()
    for l, r in zip(left, right):
        data += struct.pack("<ff", max(-1.0, min(1.0, l)), max(-1.0, min(1.0, r)))
    fmt = struct.pack("<HHIIHH", 3, 2, rate, rate * 8, 8, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


if __name__ == "__main__":
    main()
