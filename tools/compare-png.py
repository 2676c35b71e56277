#!/usr/bin/env python3
"""Compares two pictures pixel by pixel.

usage: compare-png.py A.png B.png

Prints whether they are the same; where they differ, how many pixels do, the
box around them and the largest difference of a channel. Exits non-zero when
the sizes or any pixel differ.
"""
import sys

from PIL import Image, ImageChops


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    a = Image.open(sys.argv[1]).convert("RGBA")
    b = Image.open(sys.argv[2]).convert("RGBA")
    if a.size != b.size:
        print(f"sizes differ: {a.size[0]}x{a.size[1]} and {b.size[0]}x{b.size[1]}")
        return 1
    diff = ImageChops.difference(a, b)
    box = diff.getbbox()
    if box is None:
        print(f"{a.size[0]}x{a.size[1]}, every pixel the same")
        return 0
    pixels = sum(1 for p in diff.getdata() if any(p))
    largest = max(high for _, high in diff.getextrema())
    print(f"{a.size[0]}x{a.size[1]}: {pixels} pixels differ, within {box}, "
          f"a channel by at most {largest}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
