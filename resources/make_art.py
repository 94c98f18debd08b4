#!/usr/bin/python3
"""Draws the stub's own artwork: the program icon (id 1000) and the twelve animation frames of
the progress window (ids 1001 to 1012).

The shapes are our own: a shield in the product's slate blue with a downward arrow, the
picture of "unpacking into a protected place", and below it a ring of twelve segments whose
bright head moves one segment clockwise per frame. Run it after changing the drawing; its
outputs are committed so that builds do not depend on the imaging library's version.

    make_art.py                      icon and frames into this folder
    make_art.py --test-frames DIR    five larger frames for the progress window's tests
"""
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
SLATE = (52, 84, 122)
LIGHT = (205, 215, 225)
BACKGROUND = (22, 32, 46)
TRACK = (44, 56, 72)        # the groove the progress line is drawn over (row 127)
RING_DIM = (48, 62, 82)
SEGMENTS = 12
HEAD_TRAIL = 6              # segments from the bright head down to the dim rest
SUPERSAMPLE = 4
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def shield_polygons(x0, y0, s):
    outline = [(4, 4), (16, 1), (28, 4), (28, 15), (16, 30), (4, 15)]
    arrow = [(13, 7), (19, 7), (19, 14), (23, 14), (16, 22), (9, 14), (13, 14)]
    place = lambda pts: [(x0 + x * s, y0 + y * s) for x, y in pts]
    return place(outline), place(arrow)


def shield(size):
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    outline, arrow = shield_polygons(0, 0, size / 32.0)
    d.polygon(outline, fill=SLATE + (255,))
    d.polygon(arrow, fill=LIGHT + (255,))
    return img


def segment_shade(segment, frame):
    behind = (frame - segment) % SEGMENTS  # 0 is the head, 1 the segment it just left, ...
    if behind >= HEAD_TRAIL:
        return RING_DIM
    return mix(LIGHT, RING_DIM, behind / HEAD_TRAIL)


def ring_shades():
    return [mix(LIGHT, RING_DIM, k / HEAD_TRAIL) for k in range(HEAD_TRAIL + 1)]


def palette_image():
    """A fixed palette: every drawn colour and its blends into the background, so flat areas
    keep their exact colour through the 8-bit conversion."""
    keys = [SLATE, LIGHT, TRACK] + ring_shades()
    colours = [BACKGROUND]
    for key in keys:
        colours += [mix(BACKGROUND, key, k / 15) for k in range(1, 16)]
    colours += [mix(SLATE, LIGHT, k / 15) for k in range(1, 15)]
    colours = list(dict.fromkeys(colours))[:256]
    flat = [c for rgb in colours for c in rgb]
    flat += [0] * (768 - len(flat))
    pal = Image.new("P", (1, 1))
    pal.putpalette(flat)
    return pal


def frame(index, width, height):
    k = SUPERSAMPLE
    scale = min(width / 199.0, height / 133.0) * k
    img = Image.new("RGB", (width * k, height * k), BACKGROUND)
    d = ImageDraw.Draw(img)

    # Logo: the shield and the word mark side by side, centred at the top.
    font = ImageFont.truetype(FONT, round(21 * scale))
    word = "zanti!"
    word_w = d.textlength(word, font=font)
    shield_w = 26 * scale
    gap = 8 * scale
    left = (width * k - (shield_w + gap + word_w)) / 2
    outline, arrow = shield_polygons(left, 9 * scale, shield_w / 32.0)
    d.polygon(outline, fill=SLATE)
    d.polygon(arrow, fill=LIGHT)
    d.text((left + shield_w + gap, 10 * scale), word, font=font, fill=LIGHT)

    # The ring: twelve sectors, segment 0 at the top, counted clockwise.
    cx, cy = width * k / 2.0, 84 * scale
    outer, inner = 23 * scale, 13 * scale
    for seg in range(SEGMENTS):
        mid = seg * 360.0 / SEGMENTS - 90.0
        start, end = mid - 11.0, mid + 11.0
        d.pieslice([cx - outer, cy - outer, cx + outer, cy + outer], start, end,
                   fill=segment_shade(seg, index))
    d.ellipse([cx - inner, cy - inner, cx + inner, cy + inner], fill=BACKGROUND)

    # The groove under the progress line, which the window draws from x = 10 to 10 + L.
    d.rectangle([10 * k, 127 * k, (width - 10) * k - 1, 128 * k - 1], fill=TRACK)

    small = img.resize((width, height), Image.BOX)
    return small.quantize(palette=palette_image(), dither=Image.Dither.NONE)


def write_frames(folder, count, width, height, stem):
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        frame(i, width, height).save(os.path.join(folder, "%s%02d.png" % (stem, i + 1)), optimize=True)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--test-frames":
        write_frames(sys.argv[2], 5, 240, 150, "large_frame_")
        return
    out = sys.argv[1] if len(sys.argv) > 1 else HERE
    big = shield(256)
    big.save(os.path.join(out, "stub.ico"), sizes=[(16, 16), (32, 32), (48, 48), (256, 256)])
    write_frames(os.path.join(out, "frames"), SEGMENTS, 199, 133, "frame_")


if __name__ == "__main__":
    main()
