#!/usr/bin/env python3
"""Converts the Natural Earth land outlines (TopoJSON "land" object, as shipped
by the npm package world-atlas) into the compact binary resource the world map
draws: src/ui/map/mapdata/land.bin.

Usage: convert.py LAND_TOPOJSON [OUTPUT] [--tolerance DEG] [--min-area DEG2]

Steps: decode the quantized, delta-encoded arcs; stitch each polygon ring from
its arcs (a negative index ~i means arc i reversed); make each ring planar
(see unwrap); simplify every ring with Douglas-Peucker; drop rings too small
to see; write int16 coordinates.

The TopoJSON is spherical: a ring may cross the antimeridian (Chukotka,
Wrangel Island, Fiji) or go round a pole (Antarctica). Here every ring's
longitudes are made continuous, so a crossing ring reaches a little past
+-180 (the map draws the world three times side by side, so such a ring shows
on both edges), and a ring round the south pole is closed along the pole
itself (latitude -90, which the Mercator map clamps off-screen).

Output format (little-endian):
  char[4]  "VLND"
  uint16   version (2)
  uint16   reserved (0)
  uint32   ring count R
  uint32   point count P (all rings)
  uint32[R] points per ring
  int16[2P] lon, lat pairs; lon = round(deg / 360 * 32767), lat = round(deg / 90 * 32767)
            (longitudes may lie outside [-180, 180], see above)
Rings are closed implicitly (the last point is not repeated). Outer rings and
holes (lakes, inland seas) are both present; draw them with the odd-even rule.
"""

import json
import math
import struct
import sys


def decode_arcs(topology):
    scale = topology["transform"]["scale"]
    translate = topology["transform"]["translate"]
    arcs = []
    for arc in topology["arcs"]:
        x = y = 0
        points = []
        for dx, dy in arc:
            x += dx
            y += dy
            points.append((x * scale[0] + translate[0], y * scale[1] + translate[1]))
        arcs.append(points)
    return arcs


def stitch_ring(arcs, indices):
    ring = []
    for index in indices:
        points = arcs[index] if index >= 0 else list(reversed(arcs[~index]))
        ring.extend(points if not ring else points[1:])
    if len(ring) > 1 and ring[0] == ring[-1]:
        ring.pop()
    return ring


def unwrap(ring):
    """Continuous longitudes; closes a ring round a pole along the pole."""
    out = [ring[0]]
    offset = 0.0
    for (lon, lat), (previous, _) in zip(ring[1:], ring[:-1]):
        step = lon - previous
        if step > 180:
            offset -= 360
        elif step < -180:
            offset += 360
        out.append((lon + offset, lat))
    closing = ring[0][0] - ring[-1][0]
    closing += -360 if closing > 180 else 360 if closing < -180 else 0
    turn = out[-1][0] + closing - out[0][0]
    if abs(turn) > 180:
        pole = -90.0 if sum(lat for _, lat in ring) < 0 else 90.0
        start_lon, start_lat = out[0]
        out += [(start_lon + turn, start_lat), (start_lon + turn, pole), (start_lon, pole)]
        return out
    middle = (min(lon for lon, _ in out) + max(lon for lon, _ in out)) / 2
    shift = -360 if middle > 180 else 360 if middle < -180 else 0
    return [(lon + shift, lat) for lon, lat in out]


def perpendicular_distance(p, a, b):
    (px, py), (ax, ay), (bx, by) = p, a, b
    dx, dy = bx - ax, by - ay
    length = math.hypot(dx, dy)
    if length == 0:
        return math.hypot(px - ax, py - ay)
    return abs(dy * px - dx * py + bx * ay - by * ax) / length


def douglas_peucker(points, tolerance):
    if len(points) < 3:
        return points
    keep = [False] * len(points)
    keep[0] = keep[-1] = True
    stack = [(0, len(points) - 1)]
    while stack:
        first, last = stack.pop()
        worst, worst_index = 0.0, -1
        for i in range(first + 1, last):
            d = perpendicular_distance(points[i], points[first], points[last])
            if d > worst:
                worst, worst_index = d, i
        if worst > tolerance:
            keep[worst_index] = True
            stack.append((first, worst_index))
            stack.append((worst_index, last))
    return [p for p, k in zip(points, keep) if k]


def simplify_ring(ring, tolerance):
    # A closed ring is split at its first point and the point farthest from
    # it, so both halves have distinct end points.
    if len(ring) < 4:
        return ring
    start = ring[0]
    far = max(range(len(ring)), key=lambda i: (ring[i][0] - start[0]) ** 2 + (ring[i][1] - start[1]) ** 2)
    first = douglas_peucker(ring[: far + 1], tolerance)
    second = douglas_peucker(ring[far:] + [ring[0]], tolerance)
    return first[:-1] + second[:-1]


def ring_area(ring):
    area = 0.0
    for i in range(len(ring)):
        x1, y1 = ring[i]
        x2, y2 = ring[(i + 1) % len(ring)]
        area += x1 * y2 - x2 * y1
    return abs(area) / 2


def quantize(value, limit):
    return max(-32767, min(32767, round(value / limit * 32767)))


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    options = dict(a[2:].split("=", 1) for a in argv[1:] if a.startswith("--") and "=" in a)
    if not args:
        print(__doc__)
        return 2
    source = args[0]
    output = args[1] if len(args) > 1 else "land.bin"
    tolerance = float(options.get("tolerance", "0.03"))
    min_area = float(options.get("min-area", "0.01"))

    with open(source, encoding="utf-8") as f:
        topology = json.load(f)
    arcs = decode_arcs(topology)
    land = topology["objects"]["land"]
    geometries = land["geometries"] if land["type"] == "GeometryCollection" else [land]

    rings = []
    raw_points = 0
    for geometry in geometries:
        polygons = geometry["arcs"] if geometry["type"] == "MultiPolygon" else [geometry["arcs"]]
        for polygon in polygons:
            for indices in polygon:
                ring = unwrap(stitch_ring(arcs, indices))
                raw_points += len(ring)
                if ring_area(ring) < min_area:
                    continue
                ring = simplify_ring(ring, tolerance)
                if len(ring) >= 3:
                    rings.append([(quantize(lon, 360), quantize(lat, 90)) for lon, lat in ring])

    total = sum(len(r) for r in rings)
    with open(output, "wb") as f:
        f.write(b"VLND")
        f.write(struct.pack("<HHII", 2, 0, len(rings), total))
        f.write(struct.pack("<%dI" % len(rings), *[len(r) for r in rings]))
        for ring in rings:
            for lon, lat in ring:
                f.write(struct.pack("<hh", lon, lat))
    size = 16 + 4 * len(rings) + 4 * total
    print(f"{source}: {raw_points} points -> {len(rings)} rings, {total} points, {size} bytes in {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
