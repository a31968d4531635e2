"""Writes bracket.stl beside this script: an L-shaped bracket in mm, its
inner corner filleted and its outer corner rounded, the L drawn in the x-z
plane and 40 mm deep along y. The base's top face is at z = 6, from x = 14
(where the fillet ends) to x = 60; the upright's inner face at x = 6.

Usage: python examples/scenes/make_bracket.py   (needs trimesh)
"""
import math
from pathlib import Path
from typing import List, Tuple

import numpy as np
import trimesh  # type: ignore  # ships no types

THICKNESS = 6.0   # mm, of the base and the upright
LENGTH = 60.0     # mm, of the base along x
HEIGHT = 50.0     # mm, of the upright along z
DEPTH = 40.0      # mm, along y
FILLET = 8.0      # mm, the inner corner's radius
ROUND = 10.0      # mm, the outer corner's radius
SEGMENTS = 24     # per arc


def arc(cx: float, cz: float, r: float, start: float, end: float) -> List[Tuple[float, float]]:
    return [(cx + r * math.cos(a), cz + r * math.sin(a)) for a in np.linspace(start, end, SEGMENTS + 1)]


def profile() -> List[Tuple[float, float]]:
    """The L's outline, counter-clockwise seen from -y (x right, z up)."""
    t = THICKNESS
    points = arc(ROUND, ROUND, ROUND, math.pi, 1.5 * math.pi)   # outer corner, from the upright's back down
    points += [(LENGTH, 0.0), (LENGTH, t)]
    # The fillet, from the base's top round to the upright's inner face.
    points += arc(t + FILLET, t + FILLET, FILLET, 1.5 * math.pi, math.pi)
    points += [(t, HEIGHT), (0.0, HEIGHT)]
    return points


def ear_clip(points: List[Tuple[float, float]]) -> List[Tuple[int, int, int]]:
    """Triangles of a simple counter-clockwise polygon, by cutting ears."""
    p = np.array(points)
    left = list(range(len(points)))
    triangles = []

    def cross(o: int, a: int, b: int) -> float:
        return float((p[a][0] - p[o][0]) * (p[b][1] - p[o][1]) - (p[a][1] - p[o][1]) * (p[b][0] - p[o][0]))

    while len(left) > 3:
        for k in range(len(left)):
            a, b, c = left[k - 1], left[k], left[(k + 1) % len(left)]
            if cross(a, b, c) <= 1e-12:
                continue  # reflex or flat: not an ear
            inside = any(cross(a, b, q) >= 0 and cross(b, c, q) >= 0 and cross(c, a, q) >= 0
                         for q in left if q not in (a, b, c))
            if not inside:
                triangles.append((a, b, c))
                left.pop(k)
                break
        else:
            raise RuntimeError("no ear: the outline is not simple")
    triangles.append(tuple(left))  # type: ignore[arg-type]
    return triangles


def bracket() -> trimesh.Trimesh:
    outline = profile()
    n = len(outline)
    # Front (y = 0) and back (y = DEPTH) rings of vertices.
    vertices = [(x, 0.0, z) for x, z in outline] + [(x, DEPTH, z) for x, z in outline]
    cap = ear_clip(outline)
    faces = [(a, b, c) for a, b, c in cap] + [(c + n, b + n, a + n) for a, b, c in cap]
    for i in range(n):
        j = (i + 1) % n
        faces += [(i, i + n, j), (j, i + n, j + n)]
    mesh = trimesh.Trimesh(np.array(vertices), np.array(faces), process=False)
    if mesh.volume < 0:  # wound inwards: turn every triangle over
        mesh = trimesh.Trimesh(mesh.vertices, mesh.faces[:, ::-1], process=False)
    assert mesh.is_watertight and mesh.is_winding_consistent and mesh.volume > 0
    return mesh


if __name__ == "__main__":
    out = Path(__file__).with_name("bracket.stl")
    mesh = bracket()
    mesh.export(out)
    print(f"wrote {out}: {len(mesh.faces)} triangles, {mesh.volume:.0f} mm^3")
