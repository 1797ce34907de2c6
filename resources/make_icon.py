#!/usr/bin/env python3
"""Murkscope application icon: design source and renderer.

The icon is described below as plain geometry in a unit square
(0..1, y pointing down) and rendered with signed-distance-field
anti-aliasing plus 4x4 supersampling.  Only the standard library is
used.  Running the script (no arguments) rewrites:

    resources/murkscope.ico   seven 32-bit BGRA images (128..16 px)
    docs/icon.png             the 128 px image, for the README

Output is byte-for-byte deterministic.  Nothing is printed unless an
error occurs.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (128, 72, 64, 48, 32, 24, 16)

HERE = os.path.dirname(os.path.abspath(__file__))
ICO_PATH = os.path.join(HERE, "murkscope.ico")
PNG_PATH = os.path.join(HERE, os.pardir, "docs", "icon.png")

SS = 4  # supersamples per axis


# ---------------------------------------------------------------- palette

def rgb(hexstr):
    v = int(hexstr.lstrip("#"), 16)
    return ((v >> 16) & 255) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0


BODY_TOP = rgb("#222b3a")
BODY_BOTTOM = rgb("#121720")
BODY_EDGE = rgb("#4b5b75")
TITLE_BAR = rgb("#34425a")
BUTTONS = (rgb("#ff5f57"), rgb("#febc2e"), rgb("#28c840"))
PROMPT = rgb("#3ee089")
OUTLINE = rgb("#0a0d12")
RING = rgb("#e8edf4")
LENS = rgb("#7fd6ff")
GLINT = rgb("#ffffff")
HANDLE = rgb("#f5a623")
HANDLE_DARK = rgb("#c77d0c")


# ---------------------------------------------------- signed distance fields

def sd_round_rect(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) * 0.5, (y0 + y1) * 0.5
    hx, hy = (x1 - x0) * 0.5 - r, (y1 - y0) * 0.5 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    ox, oy = max(qx, 0.0), max(qy, 0.0)
    return math.hypot(ox, oy) + min(max(qx, qy), 0.0) - r


def sd_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(px - ax - dx * t, py - ay - dy * t)


def sd_polyline(px, py, pts):
    return min(sd_segment(px, py, *pts[i], *pts[i + 1]) for i in range(len(pts) - 1))


def sd_circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


# ------------------------------------------------------------------- design
#
# A dark rounded console window with a title bar, a green ">_" prompt,
# and a white-rimmed magnifying glass with an amber handle over the lower
# right corner.  The small sizes get their own tuned layouts (heavier
# strokes, shapes placed on whole pixels, fewer details) so that the
# prompt and the magnifier both stay readable at 16, 24 and 32 px.

LAYOUTS = {
    # Each layout is drawn on its own grid (grid x grid units, so the small
    # ones can be placed on whole pixels) and scaled to the unit square.
    #   win    console window box, wr its corner radius, bar title-bar bottom
    #   chev   ">" polyline, pw its stroke width
    #   under  "_" box: x0, y0, x1, y1, corner radius
    #   lens   glass centre x, y and inner radius; ring rim width,
    #          gap dark cut-out around the whole magnifier
    #   hb     end of the handle, hw handle width
    "large": dict(grid=128, win=(4, 6, 124, 108), wr=16, bar=23,
                  chev=((17, 37), (35, 51), (17, 65)),
                  under=(38.5, 60.5, 59.5, 69.5, 3), pw=9.5,
                  lens=(88, 85, 20.5), ring=7.5, gap=5,
                  hb=(118, 118), hw=14),
    "medium": dict(grid=32, win=(1, 1.5, 31, 27), wr=4.5, bar=6,
                   chev=((4.5, 9.5), (9, 13), (4.5, 16.5)),
                   under=(10.5, 16, 14, 18, 0.5), pw=2.2,
                   lens=(22, 21, 4.8), ring=2, gap=1.3,
                   hb=(29.5, 29.5), hw=3.8),
    "small": dict(grid=24, win=(0.5, 1, 23.5, 20), wr=3.5, bar=5,
                  chev=((3.5, 7.5), (7, 10.25), (3.5, 13)),
                  under=(8, 12, 11, 14, 0.3), pw=2,
                  lens=(16.8, 15.6, 3.2), ring=1.7, gap=1,
                  hb=(22.3, 22.3), hw=3),
    "tiny": dict(grid=16, win=(0, 0.5, 16, 14), wr=2.5, bar=3.5,
                 chev=((2.5, 4.5), (5.5, 7.5), (2.5, 10.5)),
                 under=(6, 10, 8, 11.5, 0.2), pw=1.7,
                 lens=(12.2, 10.6, 1.7), ring=1.3, gap=0.5,
                 hb=(14.8, 14.8), hw=2.7),
}


def layout_for(size):
    """Pick the layout for a size and scale it to the unit square."""
    if size >= 48:
        raw = LAYOUTS["large"]
    elif size >= 32:
        raw = LAYOUTS["medium"]
    elif size >= 24:
        raw = LAYOUTS["small"]
    else:
        raw = LAYOUTS["tiny"]
    k = 1.0 / raw["grid"]

    def scale(v):
        if isinstance(v, tuple):
            return tuple(scale(e) for e in v)
        return v * k

    return {name: scale(v) for name, v in raw.items() if name != "grid"}


def design(size):
    """Return the list of layers (drawn back to front) for one pixel size.

    Each layer is (distance(x, y), colour(x, y), opacity).  Distances are in
    unit-square coordinates.
    """
    L = layout_for(size)
    px = 1.0 / size

    # console window
    wx0, wy0, wx1, wy1 = L["win"]
    wr = L["wr"]
    bar = L["bar"]
    edge = max(0.016, 1.0 * px)

    def body_col(x, y):
        t = min(max((y - wy0) / (wy1 - wy0), 0.0), 1.0)
        return tuple(a + (b - a) * t for a, b in zip(BODY_TOP, BODY_BOTTOM))

    def inner(x, y):
        return sd_round_rect(x, y, wx0 + edge, wy0 + edge, wx1 - edge, wy1 - edge, wr - edge)

    layers = [
        (lambda x, y: sd_round_rect(x, y, wx0, wy0, wx1, wy1, wr), lambda x, y: BODY_EDGE, 1.0),
        (inner, body_col, 1.0),
        # title bar: the body shape clipped to the band above `bar`
        (lambda x, y: max(inner(x, y), y - bar), lambda x, y: TITLE_BAR, 1.0),
    ]
    if size >= 64:  # window buttons only where they are big enough to read
        for i, col in enumerate(BUTTONS):
            cx = 0.13 + 0.07 * i
            layers.append((lambda x, y, cx=cx: sd_circle(x, y, cx, (wy0 + bar) * 0.5, 0.024),
                           lambda x, y, col=col: col, 1.0))

    # ">_" prompt
    pw = L["pw"] * 0.5
    chev, under = L["chev"], L["under"]
    layers.append((lambda x, y: sd_polyline(x, y, chev) - pw, lambda x, y: PROMPT, 1.0))
    layers.append((lambda x, y: sd_round_rect(x, y, *under), lambda x, y: PROMPT, 1.0))

    # magnifying glass over the lower right, handle leaving the window
    lcx, lcy, lr = L["lens"]
    ring, gap, hw = L["ring"], L["gap"], L["hw"] * 0.5
    mid = lr + ring * 0.5           # centre line of the ring
    ha = (lcx + mid * 0.7071, lcy + mid * 0.7071)
    hb = L["hb"]

    def glass(x, y):
        return min(sd_circle(x, y, lcx, lcy, lr + ring),
                   sd_segment(x, y, ha[0], ha[1], hb[0], hb[1]) - hw)

    def glint(x, y):
        # a short highlight arc in the upper-left quarter of the lens
        gr = lr * 0.62
        arc = abs(sd_circle(x, y, lcx, lcy, gr)) - max(0.014, 0.5 * px)
        dx, dy = x - lcx, y - lcy
        wedge = max(dx + dy * 0.25, dy + dx * 0.25)  # < 0 only up-left
        return max(arc, wedge)

    def handle_col(x, y):
        # shade one flank of the handle a little darker for some depth
        dx, dy = hb[0] - ha[0], hb[1] - ha[1]
        n = math.hypot(dx, dy)
        side = ((x - ha[0]) * dy - (y - ha[1]) * dx) / n
        t = min(max(-side / hw * 0.5 + 0.5, 0.0), 1.0)
        return tuple(a + (b - a) * t * 0.8 for a, b in zip(HANDLE, HANDLE_DARK))

    # dark cut-out so the glass reads against the window
    layers.append((lambda x, y: glass(x, y) - gap, lambda x, y: OUTLINE, 1.0))
    layers.append((lambda x, y: sd_circle(x, y, lcx, lcy, lr), lambda x, y: LENS, 0.22))
    if size >= 32:
        layers.append((glint, lambda x, y: GLINT, 0.6))
    layers.append((lambda x, y: sd_segment(x, y, ha[0], ha[1], hb[0], hb[1]) - hw,
                   handle_col, 1.0))
    layers.append((lambda x, y: abs(sd_circle(x, y, lcx, lcy, mid)) - ring * 0.5,
                   lambda x, y: RING, 1.0))
    return layers


# ---------------------------------------------------------------- rendering

def q(v):
    """Channel value 0..1 to a byte."""
    return max(0, min(255, int(v * 255.0 + 0.5)))


def render(size):
    """Rasterise the design; returns rows (top first) of (r, g, b, a) bytes."""
    layers = design(size)
    offs = [(i + 0.5) / SS for i in range(SS)]
    n = float(SS * SS)
    # half a subsample in unit space: turns each subsample into a tiny box filter
    soft = 0.5 / (size * SS)
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            acc_r = acc_g = acc_b = acc_a = 0.0
            for oy in offs:
                y = (j + oy) / size
                for ox in offs:
                    x = (i + ox) / size
                    r = g = b = a = 0.0  # premultiplied
                    for dist, colour, opacity in layers:
                        d = dist(x, y)
                        cov = 0.5 - d / (2.0 * soft)
                        if cov <= 0.0:
                            continue
                        cov = (1.0 if cov >= 1.0 else cov) * opacity
                        cr, cg, cb = colour(x, y)
                        k = 1.0 - cov
                        r = cr * cov + r * k
                        g = cg * cov + g * k
                        b = cb * cov + b * k
                        a = cov + a * k
                    acc_r += r
                    acc_g += g
                    acc_b += b
                    acc_a += a
            a = acc_a / n
            if a <= 0.0:
                row.append((0, 0, 0, 0))
                continue
            row.append((q(acc_r / n / a), q(acc_g / n / a), q(acc_b / n / a), q(a)))
        rows.append(row)
    return rows


# ------------------------------------------------------------------ writers

def dib(size, rows):
    """BITMAPINFOHEADER + bottom-up BGRA + 1-bit AND mask, as stored in ICO."""
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[i >> 3] |= 0x80 >> (i & 7)
        mask += line
    body = bytes(xor) + bytes(mask)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(body), 0, 0, 0, 0)
    return header + body


def write_ico(path, images):
    count = len(images)
    out = bytearray(struct.pack("<HHH", 0, 1, count))
    offset = 6 + 16 * count
    blobs = []
    for size, rows in images:
        blob = dib(size, rows)
        dim = size if size < 256 else 0
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    for blob in blobs:
        out += blob
    with open(path, "wb") as fh:
        fh.write(bytes(out))


def png_chunk(tag, data):
    return (struct.pack(">I", len(data)) + tag + data
            + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))


def write_png(path, size, rows):
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for px in row:
            raw += bytes(px)
    data = (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + png_chunk(b"IEND", b""))
    with open(path, "wb") as fh:
        fh.write(data)


def main():
    images = [(s, render(s)) for s in SIZES]
    write_ico(ICO_PATH, images)
    png_path = os.path.normpath(PNG_PATH)
    os.makedirs(os.path.dirname(png_path), exist_ok=True)
    write_png(png_path, images[0][0], images[0][1])


if __name__ == "__main__":
    try:
        main()
    except Exception as exc:  # report the failure and nothing else
        sys.stderr.write("make_icon.py: error: %s\n" % exc)
        sys.exit(1)
