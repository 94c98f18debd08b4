#!/usr/bin/env python3
"""Draws the stub's own artwork: the program icon (id 1000).

The shapes are our own: a shield in the product's slate blue with a downward arrow, the
picture of "unpacking into a protected place". Run it after changing the drawing; its outputs
are committed so that builds do not depend on the imaging library's version.
"""
import os
import sys

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
SLATE = (52, 84, 122, 255)
LIGHT = (205, 215, 225, 255)


def shield(size):
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    s = size / 32.0
    outline = [(4, 4), (16, 1), (28, 4), (28, 15), (16, 30), (4, 15)]
    d.polygon([(x * s, y * s) for x, y in outline], fill=SLATE)
    arrow = [(13, 7), (19, 7), (19, 14), (23, 14), (16, 22), (9, 14), (13, 14)]
    d.polygon([(x * s, y * s) for x, y in arrow], fill=LIGHT)
    return img


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else HERE
    big = shield(256)
    big.save(os.path.join(out, "stub.ico"), sizes=[(16, 16), (32, 32), (48, 48), (256, 256)])


if __name__ == "__main__":
    main()
