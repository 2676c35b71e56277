#!/usr/bin/env python3
"""Compares two 32-bit float WAV files sample by sample.

usage: compare-wav.py A.wav B.wav TOLERANCE

Prints the largest difference (in units of full scale) and where it lies; exits
non-zero when the files differ in layout, when a difference exceeds TOLERANCE,
or when A is silent (a silent comparison proves nothing).
"""
import array
import struct
import sys


def read_float_wav(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    fmt = samples = None
    at = 12
    while at + 8 <= len(data):
        kind, size = struct.unpack_from("<4sI", data, at)
        body = data[at + 8 : at + 8 + size]
        if kind == b"fmt ":
            tag, channels, rate = struct.unpack_from("<HHI", body)
            bits = struct.unpack_from("<H", body, 14)[0]
            if tag == 0xFFFE:  # WAVE_FORMAT_EXTENSIBLE: the subformat's tag
                tag = struct.unpack_from("<H", body, 24)[0]
            fmt = (tag, channels, rate, bits)
        elif kind == b"data":
            samples = array.array("f")
            samples.frombytes(body[: len(body) // 4 * 4])
            if sys.byteorder != "little":
                samples.byteswap()
        at += 8 + size + (size & 1)
    if fmt is None or samples is None:
        raise ValueError(f"{path}: no fmt or data chunk")
    if fmt[0] != 3 or fmt[3] != 32:
        raise ValueError(f"{path}: not 32-bit float samples")
    return fmt[1], fmt[2], samples


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    a_path, b_path, tolerance = sys.argv[1], sys.argv[2], float(sys.argv[3])
    a_channels, a_rate, a = read_float_wav(a_path)
    b_channels, b_rate, b = read_float_wav(b_path)
    if (a_channels, a_rate, len(a)) != (b_channels, b_rate, len(b)):
        print(f"layouts differ: {a_channels} channels at {a_rate} Hz, {len(a)} samples "
              f"against {b_channels} at {b_rate} Hz, {len(b)}")
        return 1
    worst, where, peak, differing = 0.0, 0, 0.0, 0
    for i, (x, y) in enumerate(zip(a, b)):
        d = abs(x - y)
        if not d <= worst:  # also takes NaN
            worst, where = d, i
        if x != y:
            differing += 1
        peak = max(peak, abs(x))
    frame, channel = divmod(where, a_channels)
    print(f"{len(a) // a_channels} frames, peak {peak:.6f}; {differing} samples differ, "
          f"the most by {worst:.3g} of full scale (frame {frame}, channel {channel})")
    if peak == 0.0:
        print(f"{a_path} is silent")
        return 1
    if not worst <= tolerance:
        print(f"difference above {tolerance:g}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
