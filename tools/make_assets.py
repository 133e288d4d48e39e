#!/usr/bin/env python3
"""Writes Harbolt's tray icons, application icons and notification sounds.

Usage: tools/make_assets.py [OUTPUT_DIR]   (default: data/ at the repository root)

Only the standard library is used, and the output is byte-identical on every
run, so the generated files can be checked in and rebuilt at will.
"""
import math
import os
import struct
import sys
import wave
import zlib

ICON_SIZES = (16, 24, 32, 48)
# The application icon for menus and launchers: the online globe as PNG, in the
# sizes of the desktop's icon theme (share/icons/hicolor/<N>x<N>/apps).
APP_ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
SUPERSAMPLE = 4  # 4x4 samples per pixel give enough anti-aliasing at 16 px

# --- drawing ---------------------------------------------------------------


def hex_rgb(code):
    return tuple(int(code[i:i + 2], 16) / 255 for i in (1, 3, 5))


def over(dst, rgb, alpha):
    """Composites a straight colour over a premultiplied RGBA sample."""
    r, g, b, a = dst
    k = 1 - alpha
    return (rgb[0] * alpha + r * k, rgb[1] * alpha + g * k,
            rgb[2] * alpha + b * k, alpha + a * k)


def near_segment(x, y, x0, y0, x1, y1, half_width):
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - x0 - t * dx, y - y0 - t * dy) <= half_width


def globe(x, y, s, light, dark, lines):
    """A disc with a rim and a meridian and equator, in pixel coordinates."""
    c, radius = s / 2, s * 0.47
    d = math.hypot(x - c, y - c)
    if d > radius:
        return None
    rim = max(1.0, s / 16)
    if d > radius - rim:
        return dark
    # Lines are a whole number of pixels wide; odd widths are centred on a
    # pixel centre so the equator and the meridian's sides stay crisp.
    width = max(1, round(s / 20))
    lc = c - 0.5 * (width % 2)
    # The meridian is a narrow ellipse; dividing the ellipse equation by its
    # gradient turns it into a rough distance in pixels.
    rx, ry = round(radius * 0.4), radius  # whole pixels: sides on the grid
    e = math.hypot((x - lc) / rx, (y - lc) / ry)
    grad = math.hypot((x - lc) / rx ** 2, (y - lc) / ry ** 2) / max(e, 1e-9)
    if abs(e - 1) / max(grad, 1e-9) <= width / 2 or abs(y - lc) <= width / 2:
        return lines
    # A soft highlight towards the upper left makes it read as a sphere.
    shade = min(1.0, math.hypot(x - c * 0.7, y - c * 0.7) / radius)
    return tuple(l + (dk - l) * shade * 0.6 for l, dk in zip(light, dark))


def online_pixel(x, y, s):
    rgb = globe(x, y, s, hex_rgb("#5fd35a"), hex_rgb("#1f7a26"),
                hex_rgb("#e6ffe0"))
    return (0, 0, 0, 0) if rgb is None else over((0, 0, 0, 0), rgb, 1)


def offline_pixel(x, y, s):
    px = (0, 0, 0, 0)
    rgb = globe(x, y, s, hex_rgb("#b4b4b4"), hex_rgb("#5c5c5c"),
                hex_rgb("#ececec"))
    if rgb is not None:
        px = over(px, rgb, 1)
    # A red slash kept inside the disc: red on grey reads as "down" even at
    # 16 px, where a halo around it would only blur into the grey.
    a, b = s * 0.2, s * 0.8
    if near_segment(x, y, a, a, b, b, max(1.0, s / 20)):
        px = over(px, hex_rgb("#c62828"), 1)
    return px


def email_pixel(x, y, s):
    px = (0, 0, 0, 0)
    # Edges sit on whole pixels so the outline stays sharp at 16 px.
    left, right = round(s * 0.04), s - round(s * 0.04)
    top, bottom = round(s * 0.2), s - round(s * 0.16)
    line = max(1.0, round(s / 16))
    if left <= x <= right and top <= y <= bottom:
        inside = (left + line <= x <= right - line
                  and top + line <= y <= bottom - line)
        px = over(px, hex_rgb("#f7f9fc") if inside else hex_rgb("#34495e"), 1)
        # The flap: a "V" from the top corners to just below the middle.
        tip = (s / 2, top + (bottom - top) * 0.6)
        for corner in ((left + line / 2, top + line / 2),
                       (right - line / 2, top + line / 2)):
            if near_segment(x, y, *corner, *tip, line / 2 + 0.1):
                px = over(px, hex_rgb("#34495e"), 1)
    # An orange dot in the upper right signals "new".
    cx, cy, r = s * 0.82, s * 0.2, s * 0.15
    d = math.hypot(x - cx, y - cy)
    if d <= r + max(1.0, s / 24):
        px = over(px, (1, 1, 1), 1)
    if d <= r:
        px = over(px, hex_rgb("#ff9800"), 1)
    return px


def render(pixel, s):
    """Returns rows of straight RGBA bytes, top row first."""
    n = SUPERSAMPLE
    rows = []
    for y in range(s):
        row = []
        for x in range(s):
            acc = [0.0, 0.0, 0.0, 0.0]
            for j in range(n):
                for i in range(n):
                    p = pixel(x + (i + 0.5) / n, y + (j + 0.5) / n, s)
                    for k in range(4):
                        acc[k] += p[k]
            r, g, b, a = (v / (n * n) for v in acc)
            if a <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(min(1.0, v / a) * 255) for v in (r, g, b))
                           + (round(a * 255),))
        rows.append(row)
    return rows


def bmp_entry(rows):
    """Encodes one classic ICO entry: 32-bit BGRA bitmap plus the AND mask."""
    s = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows)
                      for r, g, b, a in row)
    # Readers that ignore alpha use the mask: set bits are transparent.
    mask_stride = (s + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + bytes(mask)


def write_ico(path, pixel):
    images = [(s, bmp_entry(render(pixel, s))) for s in ICON_SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = len(out) + 16 * len(images)
    for s, data in images:
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png(path, pixel, s):
    """Writes one straight-alpha RGBA PNG; no time or text chunks, so the
    bytes depend on the drawing only."""
    rows = render(pixel, s)
    # Filter type 0 (none) on every row keeps the encoder trivial; zlib
    # still shrinks the flat areas well.
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)
    out = (b"\x89PNG\r\n\x1a\n"
           + png_chunk(b"IHDR", struct.pack(">IIBBBBB", s, s, 8, 6, 0, 0, 0))
           + png_chunk(b"IDAT", zlib.compress(raw, 9))
           + png_chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(out)


# --- sounds ----------------------------------------------------------------

RATE = 22050
PEAK = 0.5  # about -6 dBFS


def chime(notes, length, decay):
    """Mixes (frequency, start) notes; each rings with an exponential decay."""
    n = int(RATE * length)
    samples = [0.0] * n
    attack = int(RATE * 0.005)  # 5 ms fade-in per note avoids a click
    for freq, start in notes:
        first = int(RATE * start)
        for i in range(n - first):
            t = i / RATE
            env = math.exp(-t / decay) * min(1.0, i / attack)
            # A little second harmonic makes it sound like a bell, not a beep.
            samples[first + i] += env * (math.sin(2 * math.pi * freq * t)
                                         + 0.25 * math.sin(4 * math.pi * freq * t))
    # Fade the tail to silence so playback does not end with a click.
    fade = int(RATE * 0.04)
    for i in range(fade):
        samples[n - 1 - i] *= i / fade
    scale = PEAK / max(abs(v) for v in samples)
    return [round(v * scale * 32767) for v in samples]


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


# --- main ------------------------------------------------------------------


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "data")
    os.makedirs(out, exist_ok=True)
    write_ico(os.path.join(out, "online.ico"), online_pixel)
    write_ico(os.path.join(out, "offline.ico"), offline_pixel)
    write_ico(os.path.join(out, "email.ico"), email_pixel)
    for size in APP_ICON_SIZES:
        write_png(os.path.join(out, "harbolt-%d.png" % size), online_pixel,
                  size)
    write_wav(os.path.join(out, "online.wav"),
              chime([(660, 0.0), (880, 0.13)], 0.4, 0.09))
    write_wav(os.path.join(out, "offline.wav"),
              chime([(880, 0.0), (660, 0.13)], 0.4, 0.09))
    write_wav(os.path.join(out, "email.wav"),
              chime([(880, 0.0), (1175, 0.08), (1568, 0.16)], 0.5, 0.08))


if __name__ == "__main__":
    main()
