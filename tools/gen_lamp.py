#!/usr/bin/env python3
"""Writes models/lamp/lamp.obj (deterministic): a lamp turned on a lathe,
for showing what files say beyond positions and faces. Its vertices carry
colours (warm at the foot, cool at the top), each section of its profile is
a smoothing group of its own, so the rims between sections stay hard while
the sections are round, its caps are single polygons and its sides quads.

Usage: tools/gen_lamp.py [output-directory]   (default: models/lamp)
"""
import math
import os
import sys

SIDES = 40
# The profile, bottom to top, as (radius, height) rings, and its sections
# as ranges of rings. Neighbouring sections share a ring: the rim between
# them, hard because they are smoothing groups of their own.
PROFILE = ([(1.6, 0.0), (1.6, 0.25), (1.3, 0.45)] +
           [(0.35 + 0.08 * math.cos(k * math.pi / 4), 0.45 + 0.35 * k) for k in range(1, 8)] +
           [(0.6 + 1.2 * math.sin(k * math.pi / 16), 2.9 + 0.1 * k) for k in range(1, 9)])
SECTIONS = [("foot", 0, 1), ("foot top", 1, 2), ("stem", 2, 9), ("shade", 9, 17)]


def colour(height):
    """Warm orange at the foot to a cool blue at the top."""
    t = min(max(height / 3.7, 0.0), 1.0)
    return (0.95 - 0.7 * t, 0.55 - 0.1 * t, 0.15 + 0.8 * t)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "models", "lamp")
    os.makedirs(out, exist_ok=True)
    lines = ["# A lamp turned on a lathe: vertex colours, smoothing groups,",
             "# quads and polygons. Written by tools/gen_lamp.py.", "o lamp"]
    faces = []
    for radius, height in PROFILE:
        r, g, b = colour(height)
        for k in range(SIDES):
            a = 2 * math.pi * k / SIDES
            lines.append("v %.5f %.5f %.5f %.4f %.4f %.4f" %
                         (radius * math.cos(a), height, -radius * math.sin(a), r, g, b))
    ring = [1 + SIDES * i for i in range(len(PROFILE))]
    for index, (name, first, last) in enumerate(SECTIONS):
        faces.append("g %s" % name)
        faces.append("s %d" % (index + 1))
        for k in range(first, last):
            for s in range(SIDES):
                n = (s + 1) % SIDES
                faces.append("f %d %d %d %d" % (ring[k] + s, ring[k] + n, ring[k + 1] + n,
                                                  ring[k + 1] + s))
    # Flat caps under the foot and over the shade, one polygon each.
    faces.append("g caps")
    faces.append("s off")
    foot = ring[0]
    faces.append("f " + " ".join(str(foot + s) for s in reversed(range(SIDES))))
    top = ring[-1]
    faces.append("f " + " ".join(str(top + s) for s in range(SIDES)))
    with open(os.path.join(out, "lamp.obj"), "w") as f:
        f.write("\n".join(lines + faces) + "\n")


if __name__ == "__main__":
    main()
