#!/usr/bin/env python3
"""Prints the effects' numbers from pictures of the real program.

Usage: tools/effect_numbers.py DIR [DIR...]
Each DIR holds pictures named as scripts/capture saves them
(fixed-function.png, hatching.png, watercolor.png and, after --walk, the
-desk and -bookshelf views). For every view it finds, it prints:
  hatching:   correlation of 16-pixel block luminance with the fixed-function
              view, and the share of lit pixels (fixed-function luminance
              above 0.7) that the hatching leaves near white (0.85 or more);
  watercolor: mean chroma (max - min of RGB) over the mean chroma of the
              fixed-function view, and the luminance step at object borders
              (mean over 0-3 px inside the drawn area over 6-12 px inside).
Pixels of the clear colour (51, 26, 13) are left out.
"""
import subprocess
import sys
from pathlib import Path

CLEAR = (51, 26, 13)
BLOCK = 16
LIT = 0.7
NEAR_WHITE = 0.85


def read(path):
    """Width, height and a flat list of (r, g, b) tuples, top row first."""
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True,
                          text=True, check=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], capture_output=True,
                         check=True).stdout
    return w, h, [tuple(raw[i:i + 3]) for i in range(0, len(raw), 3)]


def lum(p):
    return (0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]) / 255.0


def drawn(p):
    return any(abs(p[k] - CLEAR[k]) > 2 for k in range(3))


def correlation(a, b):
    n = len(a)
    ma, mb = sum(a) / n, sum(b) / n
    sab = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    saa = sum((x - ma) ** 2 for x in a)
    sbb = sum((y - mb) ** 2 for y in b)
    return sab / max((saa * sbb) ** 0.5, 1e-12)


def hatching_numbers(plain, hatch):
    w, h, p = plain
    _, _, q = hatch
    lp = [lum(c) for c in p]
    lq = [lum(c) for c in q]
    mask = [drawn(c) for c in p]
    a, b = [], []
    for y0 in range(0, h - BLOCK + 1, BLOCK):
        for x0 in range(0, w - BLOCK + 1, BLOCK):
            idx = [y * w + x for y in range(y0, y0 + BLOCK) for x in range(x0, x0 + BLOCK)]
            if all(mask[i] for i in idx):
                a.append(sum(lp[i] for i in idx) / len(idx))
                b.append(sum(lq[i] for i in idx) / len(idx))
    lit = [i for i in range(w * h) if mask[i] and lp[i] > LIT]
    white = sum(1 for i in lit if lq[i] >= NEAR_WHITE)
    return correlation(a, b), white / max(len(lit), 1)


def inside_distance(w, h, mask):
    """Steps (8-neighbour) from each drawn pixel to the nearest undrawn one."""
    far = w + h
    d = [0 if not m else far for m in mask]
    for y in range(h):  # two-pass chamfer
        for x in range(w):
            i = y * w + x
            if d[i] == 0:
                continue
            best = d[i]
            for dx, dy in ((-1, 0), (-1, -1), (0, -1), (1, -1)):
                nx, ny = x + dx, y + dy
                best = min(best, d[ny * w + nx] + 1 if 0 <= nx < w and 0 <= ny < h else 1)
            d[i] = best
    for y in range(h - 1, -1, -1):
        for x in range(w - 1, -1, -1):
            i = y * w + x
            if d[i] == 0:
                continue
            best = d[i]
            for dx, dy in ((1, 0), (1, 1), (0, 1), (-1, 1)):
                nx, ny = x + dx, y + dy
                best = min(best, d[ny * w + nx] + 1 if 0 <= nx < w and 0 <= ny < h else 1)
            d[i] = best
    return d


def watercolor_numbers(plain, water):
    w, h, p = plain
    _, _, q = water
    mask = [drawn(c) for c in p]
    chroma = lambda c: (max(c) - min(c)) / 255.0
    n = sum(mask)
    ratio = (sum(chroma(c) for c, m in zip(q, mask) if m) /
             max(sum(chroma(c) for c, m in zip(p, mask) if m), 1e-9))
    d = inside_distance(w, h, mask)
    if n == w * h:
        return ratio, None  # no background: no silhouettes to measure
    edge = [lum(q[i]) for i in range(w * h) if 1 <= d[i] <= 3]
    inner = [lum(q[i]) for i in range(w * h) if 6 <= d[i] <= 12]
    return ratio, (sum(edge) / len(edge)) / (sum(inner) / len(inner))


def main(dirs):
    for folder in map(Path, dirs):
        for view in ("", "-desk", "-bookshelf"):
            plain_path = folder / f"fixed-function{view}.png"
            if not plain_path.exists():
                continue
            plain = read(plain_path)
            name = f"{folder.name}{view or ' start'}"
            hatch_path = folder / f"hatching{view}.png"
            if hatch_path.exists():
                r, white = hatching_numbers(plain, read(hatch_path))
                print(f"{name}: hatching block correlation {r:.3f}, lit pixels near white {white:.1%}")
            water_path = folder / f"watercolor{view}.png"
            if water_path.exists():
                ratio, step = watercolor_numbers(plain, read(water_path))
                border = f", border step {step:.3f}" if step is not None else ""
                print(f"{name}: watercolor chroma {ratio:.1%} of fixed function{border}")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
