#!/usr/bin/python3
"""Draws the built-in button icons and check-box marks as PNG files in assets/icons/.

Every image is a stack of shapes described by signed distance functions (negative inside),
rasterised with 4 x 4 supersampling. Light shapes get a dark rim one pixel wide, so the icons
read on the light, dark and default themes alike. Pure Python: zlib writes the PNG streams and
the output is byte-for-byte reproducible.

Usage: tools/make_icons.py [output directory]
"""

import math
import os
import struct
import sys
import zlib

SUPERSAMPLE = 4
RIM = (38, 40, 46, 255)
WHITE = (250, 250, 250, 255)


# Signed distance functions over (x, y) in pixel units, y downwards.

def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def rect(x0, y0, x1, y1, radius=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def f(x, y):
        dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(dx, 0), max(dy, 0))
        return outside + min(max(dx, dy), 0) - radius
    return f


def segment(ax, ay, bx, by, width):
    def f(x, y):
        px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
        t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
        return math.hypot(px - vx * t, py - vy * t) - width / 2
    return f


def polygon(points):
    n = len(points)

    def f(x, y):
        best = float('inf')
        inside = False
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[(i + 1) % n]
            best = min(best, segment(ax, ay, bx, by, 0)(x, y))
            if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                inside = not inside
        return -best if inside else best
    return f


def arc(cx, cy, r, width, start, end):
    """A ring band between the angles start and end (degrees, clockwise from east)."""
    def f(x, y):
        angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
        band = abs(math.hypot(x - cx, y - cy) - r) - width / 2
        lo, hi = start % 360, end % 360
        within = lo <= angle <= hi if lo <= hi else (angle >= lo or angle <= hi)
        if within:
            return band
        ends = []
        for a in (start, end):
            ex = cx + r * math.cos(math.radians(a))
            ey = cy + r * math.sin(math.radians(a))
            ends.append(math.hypot(x - ex, y - ey) - width / 2)
        return min(ends)
    return f


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def subtract(a, b):
    return lambda x, y: max(a(x, y), -b(x, y))


def grow(shape, amount):
    return lambda x, y: shape(x, y) - amount


# Rasterising and PNG writing.

def render(size, layers):
    """layers: (shape, colour) bottom first; a colour's alpha scales the shape's coverage."""
    w, h = size
    pixels = bytearray(w * h * 4)
    n = SUPERSAMPLE
    for py in range(h):
        for px in range(w):
            r = g = b = a = 0.0
            for shape, (cr, cg, cb, ca) in layers:
                hits = 0
                for sy in range(n):
                    for sx in range(n):
                        if shape(px + (sx + 0.5) / n, py + (sy + 0.5) / n) <= 0:
                            hits += 1
                if not hits:
                    continue
                cov = hits / (n * n) * ca / 255
                # "Over" compositing in premultiplied form.
                r = cr * cov + r * (1 - cov)
                g = cg * cov + g * (1 - cov)
                b = cb * cov + b * (1 - cov)
                a = 255 * cov + a * (1 - cov)
            i = (py * w + px) * 4
            if a > 0:
                pixels[i:i + 4] = bytes((round(r * 255 / a), round(g * 255 / a),
                                         round(b * 255 / a), round(a)))
    return pixels


def png(size, pixels):
    w, h = size

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))
    raw = b''.join(b'\x00' + bytes(pixels[y * w * 4:(y + 1) * w * 4]) for y in range(h))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def rimmed(shape, colour, rim=RIM, width=1.0):
    """The shape with a dark rim around it."""
    return [(grow(shape, width), rim), (shape, colour)]


# The icons, in the order the buttons take them.

def icon_download():
    # Recommended list: an arrow down into a tray.
    arrow = union(rect(8, 2.5, 12, 10), polygon([(4, 9), (16, 9), (10, 15)]))
    tray = union(rect(3, 14, 5, 18), rect(3, 16, 17, 18), rect(15, 14, 17, 18))
    return rimmed(arrow, (90, 170, 250, 255)) + rimmed(tray, WHITE)


def star_points(cx, cy, outer, inner, count=5):
    pts = []
    for i in range(count * 2):
        r = outer if i % 2 == 0 else inner
        a = math.radians(-90 + i * 180 / count)
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


def icon_showfav():
    return rimmed(polygon(star_points(10, 10.8, 8.5, 3.6)), (255, 205, 40, 255))


def icon_addfav():
    plate = rect(2, 2, 18, 18, 3)
    plus = union(rect(8.5, 5, 11.5, 15), rect(5, 8.5, 15, 11.5))
    return rimmed(plate, (225, 45, 45, 255)) + [(plus, WHITE)]


def icon_play():
    return rimmed(polygon([(5, 3), (17, 10), (5, 17)]), (70, 200, 90, 255))


def icon_go():
    lens = circle(8, 8, 5.5)
    ring = subtract(lens, circle(8, 8, 3.3))
    handle = segment(12, 12, 17, 17, 3.2)
    return ([(grow(union(lens, handle), 1), RIM), (handle, (200, 150, 90, 255)),
             (ring, WHITE), (circle(8, 8, 3.3), (150, 200, 250, 200))])


def icon_user_uploads():
    head = circle(10, 6.5, 3.8)
    body = subtract(circle(10, 19, 7.5), rect(0, 17.5, 20, 20))
    return rimmed(union(head, body), (120, 170, 240, 255))


def icon_path():
    folder = union(rect(2, 4, 9, 8, 1.2), rect(2, 6, 18, 16, 1.2))
    flap = rect(2, 8.5, 18, 16, 1.2)
    return rimmed(folder, (220, 170, 60, 255)) + [(flap, (245, 205, 95, 255))]


def icon_save():
    body = polygon([(2.5, 2.5), (15, 2.5), (17.5, 5), (17.5, 17.5), (2.5, 17.5)])
    shutter = rect(6, 2.5, 13.5, 7.5, 0.5)
    label = rect(5, 10.5, 15, 17.5, 0.5)
    return (rimmed(body, (60, 110, 200, 255)) + [(shutter, (210, 215, 225, 255)),
                                                  (rect(11, 3.5, 12.5, 6.5), RIM),
                                                  (label, WHITE)])


def icon_revert():
    curl = arc(10, 10.5, 5.8, 2.6, 200, 500)   # from the left, round the bottom, to the top
    head = polygon([(1.5, 4.2), (9.5, 3.0), (4.5, 10.5)])
    shape = union(curl, head)
    return rimmed(shape, (240, 140, 40, 255))


def icon_search_settings():
    # Three sliders, 16 x 16.
    layers = []
    for y, knob in ((3.5, 10.5), (8, 5), (12.5, 9)):
        layers += rimmed(rect(1.5, y - 0.8, 14.5, y + 0.8), WHITE, width=0.9)
    for y, knob in ((3.5, 10.5), (8, 5), (12.5, 9)):
        layers += rimmed(circle(knob, y, 2.1), (90, 170, 250, 255), width=0.9)
    return layers


def icon_feed():
    plate = rect(2, 2, 18, 18, 3.5)
    dot = circle(6, 14, 1.8)
    arcs = union(arc(5, 15, 5.5, 2.2, 270, 360), arc(5, 15, 9.5, 2.2, 270, 360))
    return rimmed(plate, (245, 135, 30, 255)) + [(union(dot, arcs), WHITE)]


def check_box():
    return rect(1.5, 1.5, 14.5, 14.5, 2)


def check_mark_off():
    return rimmed(check_box(), WHITE)


def check_mark_on():
    tick = union(segment(4, 8.3, 6.8, 11.2, 2.4), segment(6.8, 11.2, 12, 4.5, 2.4))
    return rimmed(check_box(), (70, 140, 230, 255)) + [(tick, WHITE)]


def small_icon():
    # The plug-in's own 16 x 16 mark: a play triangle on a rounded plate.
    plate = rect(0.5, 1.5, 15.5, 14.5, 3.5)
    return rimmed(plate, (200, 40, 40, 255), width=0.5) + [
        (polygon([(6, 4.5), (11.5, 8), (6, 11.5)]), WHITE)]


IMAGES = [
    ('icon_download', (20, 20), icon_download),
    ('icon_showfav', (20, 20), icon_showfav),
    ('icon_addfav', (20, 20), icon_addfav),
    ('icon_play', (20, 20), icon_play),
    ('icon_go', (20, 20), icon_go),
    ('icon_user_uploads', (20, 20), icon_user_uploads),
    ('icon_path', (20, 20), icon_path),
    ('icon_save', (20, 20), icon_save),
    ('icon_revert', (20, 20), icon_revert),
    ('icon_search_settings', (16, 16), icon_search_settings),
    ('icon_feed', (20, 20), icon_feed),
    ('check_off', (16, 16), check_mark_off),
    ('check_on', (16, 16), check_mark_on),
    ('small_icon', (16, 16), small_icon),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', 'assets', 'icons')
    os.makedirs(out, exist_ok=True)
    for name, size, draw in IMAGES:
        path = os.path.join(out, name + '.png')
        with open(path, 'wb') as f:
            f.write(png(size, render(size, draw())))
        print(path)


if __name__ == '__main__':
    main()
