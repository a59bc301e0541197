#!/usr/bin/python3
"""Builds the built-in pixel font "sol6x12" (assets/sol6x12.ttf).

The glyphs come from the public-domain misc-fixed 6x12 bitmap face that Debian ships in
xfonts-base (/usr/share/fonts/X11/misc/6x12.pcf.gz, ISO 10646 encoded). Each horizontal run of
lit pixels becomes one rectangular contour on a 6 x 12 grid of 1024 / 12 units a pixel, with
each edge rounded outwards to whole units, so at a pixel height of 12 every lit pixel is fully
covered and the rasterised glyphs are crisp.

Font metrics: 1024 units per em, ascent 853, descent -171, line gap 0, every advance 510
units (6 pixels at a pixel height of 12). The character map covers U+0020-U+007E, U+00A0 and
U+2000-U+200A; every other code point maps to glyph 0, a hollow box.

Needs Debian's python3-fonttools. Usage: tools/make_font.py [pcf.gz] [out.ttf]
"""

import gzip
import math
import os
import struct
import sys

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

UNITS_PER_EM = 1024
ASCENT = 853
DESCENT = -171
ADVANCE = 510
GRID_ROWS = 12          # pixel rows of a cell: 10 above the baseline, 2 below
GRID_ASCENT = 10
FIXED_TIMESTAMP = 0x7C259DC0  # 2026-01-01 in seconds since 1904; keeps the output reproducible

CODE_POINTS = list(range(0x20, 0x7F)) + [0xA0] + list(range(0x2000, 0x200B))

# PCF table types and format bits.
PCF_METRICS = 1 << 2
PCF_BITMAPS = 1 << 3
PCF_BDF_ENCODINGS = 1 << 5
PCF_BDF_ACCELERATORS = 1 << 8
PCF_ACCELERATORS = 1 << 1
PCF_GLYPH_PAD_MASK = 3
PCF_BYTE_MASK = 1 << 2
PCF_BIT_MASK = 1 << 3
PCF_COMPRESSED_METRICS = 0x100


class PcfError(Exception):
    pass


class Reader:
    """Reads little- or big-endian integers from one PCF table, bounded by the file."""

    def __init__(self, data, offset):
        self.data = data
        self.pos = offset
        self.fmt = self.u32('<')
        self.order = '>' if self.fmt & PCF_BYTE_MASK else '<'

    def take(self, code, size, order=None):
        if self.pos + size > len(self.data):
            raise PcfError('table runs past the end of the file')
        value = struct.unpack_from((order or self.order) + code, self.data, self.pos)[0]
        self.pos += size
        return value

    def u32(self, order=None):
        return self.take('I', 4, order)

    def i32(self):
        return self.take('i', 4)

    def i16(self):
        return self.take('h', 2)

    def u16(self):
        return self.take('H', 2)

    def u8(self):
        return self.take('B', 1, '<')


def read_pcf(data):
    """Returns ({code point: (left, ascent, rows of bit strings)}, font ascent, font descent)."""
    if data[:4] != b'\x01fcp':
        raise PcfError('not a PCF file')
    count = struct.unpack_from('<I', data, 4)[0]
    tables = {}
    for i in range(count):
        kind, fmt, size, offset = struct.unpack_from('<IIII', data, 8 + 16 * i)
        tables[kind] = offset

    for kind in (PCF_METRICS, PCF_BITMAPS, PCF_BDF_ENCODINGS):
        if kind not in tables:
            raise PcfError('table %d missing' % kind)

    # Metrics: left and right side bearings, advance, ascent, descent per glyph.
    r = Reader(data, tables[PCF_METRICS])
    metrics = []
    if r.fmt & PCF_COMPRESSED_METRICS:
        for _ in range(r.i16()):
            lsb, rsb, width, asc, desc = (r.u8() - 0x80 for _ in range(5))
            metrics.append((lsb, rsb, width, asc, desc))
    else:
        for _ in range(r.i32()):
            lsb, rsb, width, asc, desc, _attr = (r.i16() for _ in range(6))
            metrics.append((lsb, rsb, width, asc, desc))

    # Bitmaps: rows padded to 1 << (format & 3) bytes.
    r = Reader(data, tables[PCF_BITMAPS])
    glyph_count = r.i32()
    offsets = [r.i32() for _ in range(glyph_count)]
    sizes = [r.i32() for _ in range(4)]
    pad = 1 << (r.fmt & PCF_GLYPH_PAD_MASK)
    base = r.pos
    if base + sizes[r.fmt & PCF_GLYPH_PAD_MASK] > len(data):
        raise PcfError('bitmap data runs past the end of the file')
    msb_first = bool(r.fmt & PCF_BIT_MASK)

    def glyph_rows(index):
        lsb, rsb, _width, asc, desc = metrics[index]
        width = rsb - lsb
        stride = ((width + 7) // 8 + pad - 1) // pad * pad
        rows = []
        for y in range(asc + desc):
            start = base + offsets[index] + y * stride
            bits = ''
            for x in range(width):
                byte = data[start + x // 8]
                bit = (byte >> (7 - x % 8)) & 1 if msb_first else (byte >> (x % 8)) & 1
                bits += '#' if bit else '.'
            rows.append(bits)
        return rows

    # Encodings: a two-byte table of glyph indices, 0xFFFF where there is no glyph.
    r = Reader(data, tables[PCF_BDF_ENCODINGS])
    min2, max2, min1, max1, _default = (r.i16() for _ in range(5))
    cols = max2 - min2 + 1
    glyphs = {}
    for b1 in range(min1, max1 + 1):
        for b2 in range(min2, max2 + 1):
            index = r.u16()
            if index == 0xFFFF or index >= len(metrics):
                continue
            lsb, _rsb, _width, asc, _desc = metrics[index]
            glyphs[(b1 << 8) | b2] = (lsb, asc, glyph_rows(index))
    del cols

    accel = tables.get(PCF_BDF_ACCELERATORS, tables.get(PCF_ACCELERATORS))
    font_ascent, font_descent = GRID_ASCENT, GRID_ROWS - GRID_ASCENT
    if accel is not None:
        r = Reader(data, accel)
        r.pos += 8  # eight one-byte flags
        font_ascent, font_descent = r.i32(), r.i32()
    return glyphs, font_ascent, font_descent


def grid(k, outward):
    """Font units of the k-th grid line (pixels from the origin or the baseline).

    A pixel is 1024 / 12 units, not a whole number, so a line between two pixels is rounded
    away from the pixel it bounds: lit pixels are then fully covered (coverage 255 at a pixel
    height of 12) and a neighbour receives at most a 0.004 pixel sliver. The cell's own top and
    bottom stay within the font's ascent and descent.
    """
    exact = k * UNITS_PER_EM / GRID_ROWS
    units = math.ceil(exact) if outward else math.floor(exact)
    return max(DESCENT, min(ASCENT, units))


def outline(rows, left, ascent):
    """Draws one rectangle contour per horizontal run of lit pixels."""
    pen = TTGlyphPen(None)
    for y, bits in enumerate(rows):
        top = ascent - y          # pixel row spans [top - 1, top] above the baseline
        x = 0
        while x < len(bits):
            if bits[x] != '#':
                x += 1
                continue
            start = x
            while x < len(bits) and bits[x] == '#':
                x += 1
            x0, x1 = grid(left + start, False), grid(left + x, True)
            y0, y1 = grid(top - 1, False), grid(top, True)
            # Clockwise, as TrueType expects outer contours.
            pen.moveTo((x0, y0))
            pen.lineTo((x0, y1))
            pen.lineTo((x1, y1))
            pen.lineTo((x1, y0))
            pen.closePath()
    return pen.glyph()


def box_glyph():
    """Glyph 0: a hollow box filling columns 0..4 and rows 1..9 of the cell."""
    rows = ['#####'] + ['#...#'] * 7 + ['#####']
    return outline(rows, 0, 9)


def glyph_name(cp):
    return 'uni%04X' % cp


def build(pcf_path, out_path):
    with gzip.open(pcf_path, 'rb') as f:
        data = f.read()
    glyphs, font_ascent, font_descent = read_pcf(data)
    if (font_ascent, font_descent) != (GRID_ASCENT, GRID_ROWS - GRID_ASCENT):
        raise PcfError('expected a 6x12 face with ascent 10 and descent 2, got %d and %d'
                       % (font_ascent, font_descent))

    order = ['.notdef', '.null', 'nonmarkingreturn'] + [glyph_name(cp) for cp in CODE_POINTS]
    outlines = {'.notdef': box_glyph(), '.null': TTGlyphPen(None).glyph(),
                'nonmarkingreturn': TTGlyphPen(None).glyph()}
    cmap = {}
    for cp in CODE_POINTS:
        name = glyph_name(cp)
        cmap[cp] = name
        if cp in glyphs:
            left, asc, rows = glyphs[cp]
            outlines[name] = outline(rows, left, asc)
        else:
            outlines[name] = TTGlyphPen(None).glyph()
        if cp in (0xA0,) or 0x2000 <= cp <= 0x200A or cp == 0x20:
            outlines[name] = TTGlyphPen(None).glyph()  # the spaces stay blank

    fb = FontBuilder(UNITS_PER_EM, isTTF=True)
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)
    fb.setupGlyf(outlines)
    metrics = {}
    for name in order:
        g = outlines[name]
        g.recalcBounds(fb.font['glyf'])
        metrics[name] = (ADVANCE, getattr(g, 'xMin', 0))
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=DESCENT, lineGap=0)
    fb.setupNameTable({'familyName': 'sol6x12', 'styleName': 'Medium',
                       'copyright': 'Glyphs from the public-domain misc-fixed 6x12 face'})
    fb.setupOS2(sTypoAscender=ASCENT, sTypoDescender=DESCENT, sTypoLineGap=0,
                usWinAscent=ASCENT, usWinDescent=-DESCENT, xAvgCharWidth=ADVANCE,
                fsType=0, achVendID='SOLV', usWeightClass=500)
    fb.setupPost(isFixedPitch=1)
    fb.setupHead(unitsPerEm=UNITS_PER_EM, created=FIXED_TIMESTAMP, modified=FIXED_TIMESTAMP)
    fb.font['head'].macStyle = 0
    fb.font.save(out_path, reorderTables=True)
    # fontTools stamps "modified" on save unless told otherwise; restore the fixed value.
    from fontTools.ttLib import TTFont
    font = TTFont(out_path, recalcTimestamp=False)
    font['head'].modified = FIXED_TIMESTAMP
    font.recalcTimestamp = False
    font.save(out_path, reorderTables=True)
    print('%s: %d glyphs, %d bytes' % (out_path, len(order), os.path.getsize(out_path)))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    pcf = sys.argv[1] if len(sys.argv) > 1 else '/usr/share/fonts/X11/misc/6x12.pcf.gz'
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, '..', 'assets', 'sol6x12.ttf')
    try:
        build(pcf, out)
    except (OSError, PcfError) as e:
        sys.exit('make_font: %s' % e)


if __name__ == '__main__':
    main()
