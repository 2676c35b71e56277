#!/usr/bin/python3
"""Draws the editor's artwork into this folder.

bg.png          675 x 619 RGB: the panel with knob bodies, labels, display wells
                and the product emblem
button.png      29 x 29 RGBA: a switch that is off
blinkoff.png    29 x 29 RGBA: a switch lamp dimmed between blinks
blinkon.png     29 x 29 RGBA: a switch that is on
knob-glow.png   38 x 38 RGBA: the soft halo a knob flashes when it moves

Shapes are drawn four times larger and scaled down for clean edges; text is
drawn at the final size so FreeType's hinting keeps it crisp. Needs Debian's
python3-pil and fonts-dejavu-core. Run it after changing the look, then
commit the PNG files.
"""
import math
import os

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONTS = "/usr/share/fonts/truetype/dejavu/"
SS = 4  # supersampling factor for shapes

WIDTH, HEIGHT = 675, 619

# Palette: a dark graphite panel, light grey text, one green accent that
# matches the displays' level bars.
PANEL_TOP = (34, 37, 43)
PANEL_BOTTOM = (22, 24, 28)
GROUP_FILL = (40, 44, 51)
GROUP_EDGE = (58, 63, 72)
WELL_FILL = (17, 19, 23)
WELL_EDGE = (64, 70, 80)
PLOT_FILL = (8, 9, 11)
TEXT = (196, 201, 209)
TEXT_DIM = (128, 134, 144)
ACCENT = (92, 214, 128)

# Control rectangles (left, top, right, bottom) of the editor layout.
FREQ_KNOBS = [(26, 50, 63, 95), (120, 50, 157, 95)]
KNOBS = [(54, 106, 91, 143), (23, 365, 60, 402), (23, 303, 60, 340)]
BUTTONS = [(96, 55, 125, 84), (64, 72, 93, 101), (71, 273, 100, 302), (107, 273, 136, 302),
           (114, 308, 143, 337), (114, 369, 143, 398)]
EMBLEM = (5, 475, 130, 570)
DETECT_PANEL = (170, 20, 645, 191)
DETECT_PLOT = (204, 43, 643, 183)
EDIT_PANEL = (170, 192, 650, 619)
EDIT_PLOT = (203, 222, 644, 587)


def font(size, bold=False):
    return ImageFont.truetype(FONTS + ("DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"), size)


def scaled(box):
    return tuple(v * SS for v in box)


def vertical_gradient(size, top, bottom):
    w, h = size
    column = Image.new("RGB", (1, h))
    for y in range(h):
        t = y / max(h - 1, 1)
        column.putpixel((0, y), tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)))
    return column.resize((w, h))


def knob_centre(rect, freq=False):
    left, top, right, bottom = rect
    if freq:
        bottom -= 8  # the readout takes the bottom of a frequency knob's rectangle
    return (left + right) / 2, (top + bottom) / 2


def draw_knob_body(img, centre):
    """A knob cap with a shadow, a rim and a scale of ticks from -135 to +135
    degrees; the control draws its black pointer on top."""
    cx, cy = centre[0] * SS, centre[1] * SS
    shadow = Image.new("L", img.size, 0)
    ImageDraw.Draw(shadow).ellipse((cx - 15 * SS, cy - 13 * SS, cx + 15 * SS, cy + 17 * SS), fill=150)
    shadow = shadow.filter(ImageFilter.GaussianBlur(3 * SS))
    img.paste((0, 0, 0), (0, 0), shadow)
    d = ImageDraw.Draw(img)
    for i in range(11):
        a = math.radians(-135 + 27 * i)
        r0, r1 = 15.6 * SS, (18.2 if i in (0, 5, 10) else 17.4) * SS
        colour = ACCENT if i in (0, 5, 10) else TEXT_DIM
        d.line((cx + r0 * math.sin(a), cy - r0 * math.cos(a), cx + r1 * math.sin(a),
                cy - r1 * math.cos(a)), fill=colour, width=int(1.1 * SS))
    r = 13.5 * SS
    d.ellipse((cx - r, cy - r, cx + r, cy + r), fill=(20, 22, 25))
    # Cap: a light brushed face lit from the top left, so the pointer reads.
    cap = 12.2 * SS
    face = Image.new("RGB", (int(2 * cap) + 1, int(2 * cap) + 1))
    fd = ImageDraw.Draw(face)
    for k in range(int(cap), 0, -1):
        t = k / cap
        shade = tuple(round(a * (1 - t) + b * t) for a, b in zip((214, 218, 224), (140, 146, 155)))
        off = (1 - t) * cap * 0.35
        fd.ellipse((cap - k - off, cap - k - off, cap + k - off, cap + k - off), fill=shade)
    mask = Image.new("L", face.size, 0)
    ImageDraw.Draw(mask).ellipse((0, 0, face.size[0] - 1, face.size[1] - 1), fill=255)
    img.paste(face, (int(cx - cap), int(cy - cap)), mask)
    d.ellipse((cx - cap, cy - cap, cx + cap, cy + cap), outline=(96, 101, 110), width=SS)


def rounded(d, box, radius, fill=None, outline=None, width=1):
    d.rounded_rectangle(scaled(box), radius * SS, fill=fill, outline=outline, width=width * SS)


def draw_emblem_shapes(img):
    """A transient drawn as a pulse under a shaped envelope, beside the name."""
    d = ImageDraw.Draw(img)
    left, top, right, bottom = EMBLEM
    rounded(d, (left + 3, top + 3, right - 3, bottom - 3), 8, fill=(27, 30, 35), outline=GROUP_EDGE)
    base = top + 54
    points = []
    for i in range(0, 100):
        x = left + 14 + i
        t = i / 99
        env = 0 if t < 0.08 else math.exp(-(t - 0.08) * 5.5)
        points.append((x, env))
    outline = [(x * SS, (base - 19 * e) * SS) for x, e in points]
    mirror = [(x * SS, (base + 19 * e) * SS) for x, e in points]
    d.polygon(outline + mirror[::-1], fill=(36, 74, 50))
    wave = []
    for x, e in points:
        t = (x - left - 14) / 99
        wave.append((x * SS, (base - 17 * e * math.sin(t * 60)) * SS))
    d.line(wave, fill=(120, 200, 140), width=int(1.2 * SS))
    d.line(outline, fill=ACCENT, width=int(1.6 * SS))
    d.line(mirror, fill=ACCENT, width=int(1.6 * SS))


def background():
    big = vertical_gradient((WIDTH * SS, HEIGHT * SS), PANEL_TOP, PANEL_BOTTOM)
    d = ImageDraw.Draw(big)
    # Left column: the detector group above, the envelope group below.
    rounded(d, (6, 8, 164, 189), 9, fill=GROUP_FILL, outline=GROUP_EDGE)
    rounded(d, (6, 198, 164, 428), 9, fill=GROUP_FILL, outline=GROUP_EDGE)
    # Display wells and their plot areas.
    for panel, plot in ((DETECT_PANEL, DETECT_PLOT), (EDIT_PANEL, EDIT_PLOT)):
        l, t, r, b = panel
        rounded(d, (l + 1, t + 1, r - 1, b - 2), 8, fill=WELL_FILL, outline=WELL_EDGE)
        pl, pt, pr, pb = plot
        d.rectangle(scaled((pl, pt, pr, pb)), fill=PLOT_FILL)
    # Leaders from the group headings to the display each group belongs to.
    d.line(scaled((62, 19, 171, 19)), fill=ACCENT, width=SS)
    d.line(scaled((50, 209, 171, 209)), fill=ACCENT, width=SS)
    for rect in FREQ_KNOBS:
        draw_knob_body(big, knob_centre(rect, freq=True))
    for rect in KNOBS:
        draw_knob_body(big, knob_centre(rect))
    # Sockets under the switches: a faint ring where each lamp sits.
    for l, t, r, b in BUTTONS:
        d.ellipse(scaled((l - 1, t - 1, r + 1, b + 1)), fill=(30, 33, 38))
    draw_emblem_shapes(big)
    img = big.resize((WIDTH, HEIGHT), Image.LANCZOS)

    d = ImageDraw.Draw(img)
    small, label, heading = font(9), font(10), font(11, bold=True)

    def text(xy, s, f=label, fill=TEXT, anchor="mm"):
        d.text(xy, s, font=f, fill=fill, anchor=anchor)

    # Detector group.
    text((14, 19), "detect", heading, ACCENT, "lm")
    text((91.5, 31), "frequency", label)
    text((44.5, 42), "low", small, TEXT_DIM)
    text((138.5, 42), "hi", small, TEXT_DIM)
    text((110.5, 49), "monitor", small)
    text((109.5, 93), "apply", small)
    text((72.5, 156), "threshold", label)
    # Envelope group.
    text((14, 209), "edit", heading, ACCENT, "lm")
    text((85.5, 255), "show", small)
    text((85.5, 265), "input", small)
    text((121.5, 255), "apply", small)
    text((121.5, 265), "output", small)
    text((65, 321.5), "length", label, anchor="lm")
    text((41.5, 353), "envelope", small, TEXT_DIM)
    text((65, 383.5), "strength", label, anchor="lm")
    text((128.5, 346), "fit", small)
    text((128.5, 407), "gate", small)
    # The displays carry no captions of their own: their axis labels fill the
    # wells' top left corners, and the group headings' leaders name them.
    # Emblem: the product name over the pulse.
    l, t, r, b = EMBLEM
    text(((l + r) / 2, t + 20), "KELO", font(20, bold=True), TEXT)
    text(((l + r) / 2, b - 10), "transient shaper", small, TEXT_DIM)
    return img


def lamp(state):
    """A round switch lamp with a metal bezel: state 0 off, 1 dimmed, 2 lit."""
    size = 29 * SS
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    c = size / 2
    shadow = Image.new("L", (size, size), 0)
    ImageDraw.Draw(shadow).ellipse((c - 13 * SS, c - 12 * SS, c + 13 * SS, c + 14 * SS), fill=170)
    shadow = shadow.filter(ImageFilter.GaussianBlur(1.2 * SS))
    img.putalpha(shadow)
    img = Image.composite(Image.new("RGBA", (size, size), (0, 0, 0, 255)), img, shadow)
    img.putalpha(shadow)
    d = ImageDraw.Draw(img)
    bezel = 12.5 * SS
    d.ellipse((c - bezel, c - bezel, c + bezel, c + bezel), fill=(70, 75, 84, 255))
    d.ellipse((c - bezel, c - bezel, c + bezel, c + bezel - SS), fill=(150, 156, 165, 255))
    inner = 10.5 * SS
    d.ellipse((c - inner, c - inner, c + inner, c + inner), fill=(24, 26, 30, 255))
    lens = 8.6 * SS
    if state == 0:
        core, edge = (52, 60, 56), (30, 34, 33)
    elif state == 1:
        core, edge = (58, 120, 78), (26, 60, 38)
    else:
        core, edge = (190, 255, 200), (60, 200, 105)
    for k in range(int(lens), 0, -1):
        t = k / lens
        shade = tuple(round(a * (1 - t) + b * t) for a, b in zip(core, edge)) + (255,)
        d.ellipse((c - k, c - k, c + k, c + k), fill=shade)
    # A small reflection on the lens, top left.
    hl = Image.new("L", (size, size), 0)
    ImageDraw.Draw(hl).ellipse((c - 6 * SS, c - 7 * SS, c + 1 * SS, c - 2 * SS), fill=70 if state < 2 else 110)
    hl = hl.filter(ImageFilter.GaussianBlur(1.0 * SS))
    white = Image.new("RGBA", (size, size), (255, 255, 255, 255))
    img = Image.composite(white, img, hl).convert("RGBA")
    img.putalpha(Image.composite(Image.new("L", (size, size), 255), shadow, _disc(size, c, bezel)))
    return img.resize((29, 29), Image.LANCZOS)


def _disc(size, c, r):
    m = Image.new("L", (size, size), 0)
    ImageDraw.Draw(m).ellipse((c - r, c - r, c + r, c + r), fill=255)
    return m


def glow():
    """A soft green halo around the knob's rim, faint over its face."""
    size = 38
    img = Image.new("RGBA", (size, size), ACCENT + (0,))
    c = 18.5  # the knob's centre within its 37-pixel rectangle
    alpha = Image.new("L", (size, size), 0)
    for y in range(size):
        for x in range(size):
            r = math.hypot(x + 0.5 - c, y + 0.5 - c)
            ring = math.exp(-((r - 14.5) / 2.6) ** 2)
            face = 0.18 if r < 12.5 else 0.0
            alpha.putpixel((x, y), min(255, round(255 * max(ring, face))))
    img.putalpha(alpha)
    return img


def main():
    background().save(os.path.join(HERE, "bg.png"), optimize=True)
    lamp(0).save(os.path.join(HERE, "button.png"), optimize=True)
    lamp(1).save(os.path.join(HERE, "blinkoff.png"), optimize=True)
    lamp(2).save(os.path.join(HERE, "blinkon.png"), optimize=True)
    glow().save(os.path.join(HERE, "knob-glow.png"), optimize=True)


if __name__ == "__main__":
    main()
