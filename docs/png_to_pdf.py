#!/usr/bin/python3
"""Wraps a PNG picture in a one-page PDF for groff's PDFPIC: png_to_pdf.py IN OUT"""
import sys

from PIL import Image

Image.open(sys.argv[1]).convert("RGB").save(sys.argv[2], "PDF", resolution=144.0)
