#!/usr/bin/python3
"""Draws the updater's pictures and icon into src/resources/.

The colours follow the skin: the orange button gradient for the progress picture, a muted
grey-orange for the failure picture, the blue title gradient for the icon. Every shape is drawn
at four times its final size and scaled down, which gives smooth edges without an antialiasing
API. Needs python3-pil (Debian). Run from anywhere: python3 scripts/draw-pictures.py
"""
import os

from PIL import Image, ImageDraw

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "resources")
SUPER = 4

ORANGE_TOP = (255, 205, 43)
ORANGE_BOTTOM = (255, 165, 12)
FAIL_TOP = (255, 150, 110)
FAIL_BOTTOM = (240, 90, 70)
BLUE_TOP = (70, 69, 255)
BLUE_BOTTOM = (129, 107, 255)
CREAM = (255, 244, 227)


def vertical_gradient(size, top, bottom):
    w, h = size
    img = Image.new("RGBA", size)
    px = img.load()
    for y in range(h):
        t = y / max(1, h - 1)
        c = tuple(round(top[i] + (bottom[i] - top[i]) * t) for i in range(3)) + (255,)
        for x in range(w):
            px[x, y] = c
    return img


def masked(fill, mask):
    out = Image.new("RGBA", fill.size, (0, 0, 0, 0))
    out.paste(fill, (0, 0), mask)
    return out


def arrow(draw, s, cx, top, bottom, width, colour):
    """An upward arrow: a shaft and a triangular head."""
    head = width * 2.4
    head_h = head * 0.8
    draw.polygon([(cx, top), (cx - head / 2, top + head_h), (cx + head / 2, top + head_h)], fill=colour)
    draw.rounded_rectangle([cx - width / 2, top + head_h - s, cx + width / 2, bottom], radius=width / 2,
                           fill=colour)


def progress_picture(size, failed):
    s = size * SUPER
    canvas = Image.new("RGBA", (s, s), (0, 0, 0, 0))
    # a soft cream halo behind the disc
    halo = ImageDraw.Draw(canvas)
    halo.ellipse([0, 0, s - 1, s - 1], fill=CREAM + (255,))
    inset = s * 0.12
    mask = Image.new("L", (s, s), 0)
    ImageDraw.Draw(mask).ellipse([inset, inset, s - inset, s - inset], fill=255)
    top, bottom = (FAIL_TOP, FAIL_BOTTOM) if failed else (ORANGE_TOP, ORANGE_BOTTOM)
    canvas.alpha_composite(masked(vertical_gradient((s, s), top, bottom), mask))
    d = ImageDraw.Draw(canvas)
    white = (255, 255, 255, 255)
    cx = s / 2
    if failed:
        # an exclamation mark
        w = s * 0.085
        d.rounded_rectangle([cx - w / 2, s * 0.27, cx + w / 2, s * 0.60], radius=w / 2, fill=white)
        d.ellipse([cx - w * 0.62, s * 0.66, cx + w * 0.62, s * 0.66 + w * 1.24], fill=white)
    else:
        # an arrow rising out of a tray
        w = s * 0.08
        arrow(d, SUPER, cx, s * 0.25, s * 0.60, w, white)
        tray_w = s * 0.36
        d.rounded_rectangle([cx - tray_w / 2, s * 0.66, cx + tray_w / 2, s * 0.66 + w], radius=w / 2,
                            fill=white)
    return canvas.resize((size, size), Image.LANCZOS)


def close_picture(size):
    s = size * SUPER
    canvas = Image.new("RGBA", (s, s), (0, 0, 0, 0))
    d = ImageDraw.Draw(canvas)
    colour = (178, 146, 127, 255)  # the title colour of the popup
    w = s * 0.075
    a, b = s * 0.32, s * 0.68
    d.line([(a, a), (b, b)], fill=colour, width=round(w))
    d.line([(a, b), (b, a)], fill=colour, width=round(w))
    for x, y in ((a, a), (b, b), (a, b), (b, a)):
        d.ellipse([x - w / 2, y - w / 2, x + w / 2, y + w / 2], fill=colour)
    return canvas.resize((size, size), Image.LANCZOS)


def icon_picture(size):
    s = size * SUPER
    mask = Image.new("L", (s, s), 0)
    ImageDraw.Draw(mask).rounded_rectangle([0, 0, s - 1, s - 1], radius=s * 0.22, fill=255)
    canvas = masked(vertical_gradient((s, s), BLUE_TOP, BLUE_BOTTOM), mask)
    d = ImageDraw.Draw(canvas)
    inset = s * 0.18
    d.ellipse([inset, inset, s - inset, s - inset], fill=ORANGE_BOTTOM + (255,))
    arrow(d, SUPER, s / 2, s * 0.30, s * 0.70, s * 0.09, (255, 255, 255, 255))
    return canvas.resize((size, size), Image.LANCZOS)


def main():
    images = os.path.join(ROOT, "images")
    os.makedirs(images, exist_ok=True)
    progress_picture(80, False).save(os.path.join(images, "update_normal.png"))
    progress_picture(160, False).save(os.path.join(images, "update_normal_2x.png"))
    progress_picture(80, True).save(os.path.join(images, "update_fail.png"))
    progress_picture(160, True).save(os.path.join(images, "update_fail_2x.png"))
    # one picture at twice the button size, so it stays sharp on high-density screens
    close_picture(48).save(os.path.join(images, "close.png"))
    icon_picture(256).save(os.path.join(ROOT, "icon.ico"), sizes=[(16, 16), (24, 24), (32, 32), (48, 48),
                                                                  (64, 64), (128, 128), (256, 256)])
    icon_picture(128).save(os.path.join(ROOT, "..", "..", "docs", "icon.png"))


if __name__ == "__main__":
    main()
