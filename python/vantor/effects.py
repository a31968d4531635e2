"""Haptic effects for vantor.ServoLoop, computed in C++ every cycle.

Parameters are in SI units (m, N, N/m, N s/m) and can be changed while a loop
runs (``spring.anchor = (0, 0, 0.1)``): the change takes effect whole at the
next cycle, without restarting the force ramp. A value out of range (a NaN, a
negative stiffness, a zero normal, ...) raises ValueError and the effect keeps
the values it had. ``a + b`` is ``Sum(a, b)``.

An effect is passive (it only stores or dissipates what the hand puts in) or
active (``ConstantForce``, ``Callback(fn, active=True)``: it does work on the
hand on purpose); ``effect.active`` says which. The loop's energy counts the
passive parts only, a ``Sum``'s by its parts.

``Mesh(vertices, triangles, stiffness=...)`` renders a triangle mesh through
a proxy that stays on its surface; ``state()["proxy"]`` says where it is.
``Mesh.from_file`` reads one from an STL, OBJ or PLY file (with the extra
``VantorHardwareAPI[mesh]``); ``Mesh.box`` and ``Mesh.sphere`` make solids.

``Callback(fn)`` makes a Python function an effect like the others.
"""
import importlib
import inspect
import math
import os
from typing import Any, Callable, Optional, Sequence, Tuple, Union

import numpy as np

from vantor import _native
from vantor._native import Box, ConstantForce, Damper, Effect, Plane, Sphere, Spring, Sum

__all__ = ["Effect", "Spring", "Damper", "Plane", "Sphere", "Box", "ConstantForce", "Sum", "Mesh", "Callback"]


def _takes_time(fn: Callable[..., Any]) -> bool:
    """Whether fn is fn(position, velocity, t, period) rather than fn(position, velocity)."""
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError):  # a builtin without one: the short form
        return False
    for count, takes in ((4, True), (2, False)):
        try:
            signature.bind(*range(count))
            return takes
        except TypeError:
            pass
    raise TypeError(f"an effect's function takes (position, velocity) or (position, velocity, t, period);"
                    f" {getattr(fn, '__name__', fn)!r} takes {signature}")


class Callback(_native.Callback):
    """A Python function as an effect.

    It runs on a thread of its own, not on the loop's, so nothing the
    interpreter does can hold the loop up: the loop uses the latest force it
    computed while the input that force answered is at most ``max_age_s``
    old, and zero force with the fault "the effect's own thread fell behind"
    when it is older. An exception, or a result that is not three real
    numbers (bools and bytes are not), latches the fault "the effect gave no
    valid force" and is kept in ``error``.

    It keeps state for the loop that renders it, so one running loop at a
    time renders it: a second raises RuntimeError; make a Callback per loop.
    Dropping it never waits for the function: its thread ends once the
    function returns.

    fn: fn(position, velocity) -> force, or fn(position, velocity, t, period)
    -> force (m, m/s, s since the loop started, s; N).

    max_age_s: how old, in s, the input a force answered may be when the
    loop uses it, 0.0005 to 1 (ValueError outside); None: 8 periods of the
    loop, at least 8 ms. A bool or a str is a TypeError.

    active: True for a function that does work on the hand on purpose (a
    push, a moving target): its force is left out of the loop's energy and
    never damped by the passivity controller. False (the default): it renders
    a scene, whose energy the loop watches.
    """

    def __init__(self, fn: Callable[..., Sequence[float]], *, max_age_s: Optional[float] = None,
                 active: bool = False) -> None:
        if not callable(fn):
            raise TypeError(f"Callback needs a function, got {type(fn).__name__}")
        super().__init__(fn, with_time=_takes_time(fn), max_age_s=max_age_s, active=active)


class Mesh(_native.Mesh):
    """A triangle mesh, touched through a proxy.

    The proxy is a point that follows the effector but never crosses the
    surface: the force is ``stiffness * (proxy - position)``, plus damping
    along the contact normal, so a thin part is never pushed through and
    edges and concave corners hold still. The surface is touched from the
    side its triangles face: the normal of a triangle (a, b, c) is
    (b - a) x (c - a), pointing out into free space. A closed mesh is a
    solid; an open one is a sheet felt from its front only. An effector that
    is inside the mesh when the loop starts rendering it feels nothing until
    it has come out.

    The search tree is built here, on the calling thread (about a second for
    a million triangles), never on the loop's. The mesh keeps the proxy for
    the loop that renders it, so one running loop at a time renders it: a
    second raises RuntimeError. The parameters, ``translation`` and
    ``rotation`` may be changed while it runs, from any thread: a change is
    taken whole at the next cycle, without restarting the force ramp, and a
    mesh moved into the effector pushes the proxy, and the hand, along.

    vertices: an (N, 3) array (or sequence) of corner positions, in m, in
    the mesh's own frame; finite (ValueError otherwise).

    triangles: an (M, 3) array (or sequence) of integer indices into
    vertices, each in range (ValueError otherwise). Triangles without an
    area are skipped and counted in ``skipped_triangles``; a mesh with none
    left is a ValueError.

    stiffness: N/m, above 0: the spring from the effector to the proxy.

    damping: N s/m, 0 or more: resists motion along the contact normal; it
    never pulls the effector in.

    static_friction: 0 or more: the proxy does not slide while the force
    along the surface is at most this times the normal force.

    dynamic_friction: 0 to static_friction: once sliding, the force along
    the surface is this times the normal force.
    """

    def __init__(self, vertices: Union[np.ndarray, Sequence[Sequence[float]]],
                 triangles: Union[np.ndarray, Sequence[Sequence[int]]], *, stiffness: float, damping: float = 0.0,
                 static_friction: float = 0.0, dynamic_friction: float = 0.0) -> None:
        super().__init__(vertices, triangles, stiffness=stiffness, damping=damping, static_friction=static_friction,
                         dynamic_friction=dynamic_friction)
        # A copy to draw it from (the native mesh keeps only its search tree),
        # taken once the mesh is known to be valid.
        self._vertices = _frozen(vertices, np.float64)
        self._triangles = _frozen(triangles, np.int64)

    @property
    def vertices(self) -> np.ndarray:
        """The corners as given, an (N, 3) read-only array, in m, in the
        mesh's own frame (translation and rotation place it). A copy kept
        beside the native mesh, for drawing: with triangles, about 36 bytes a
        triangle of a closed mesh (36 MB for a million triangles)."""
        return self._vertices

    @property
    def triangles(self) -> np.ndarray:
        """The triangles as given, an (M, 3) read-only array of indices
        into vertices, those without an area included."""
        return self._triangles

    @classmethod
    def from_file(cls, path: Union[str, "os.PathLike[str]"], *, scale: float = 1.0, **settings: float) -> "Mesh":
        """A mesh read from an STL, OBJ or PLY file, through trimesh (the
        extra ``pip install VantorHardwareAPI[mesh]``: ImportError saying so
        without it). A file of several parts is one mesh of them all; its
        triangles keep the file's winding, so its normals must point out.

        path: the file; FileNotFoundError when there is none, ValueError when
        it holds no triangles trimesh can read.

        scale: the factor from the file's units to m, above 0 (0.001 for a
        file in mm).

        settings: stiffness (required), damping, static_friction,
        dynamic_friction, as for Mesh.
        """
        if not (isinstance(scale, (int, float)) and not isinstance(scale, bool)
                and math.isfinite(scale) and scale > 0):
            raise ValueError(f"scale must be a finite number above 0, got {scale!r}")
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no mesh file {path!r}")
        try:
            # Imported by name: trimesh is optional and ships no types.
            trimesh = importlib.import_module("trimesh")
        except ImportError as e:
            raise ImportError("effects.Mesh.from_file reads files with trimesh:"
                              " pip install VantorHardwareAPI[mesh]", name="trimesh") from e
        try:
            loaded = trimesh.load(path, force="mesh")
            vertices = np.asarray(loaded.vertices, dtype=np.float64)
            triangles = np.asarray(loaded.faces, dtype=np.int64)
        except Exception as e:  # trimesh raises many kinds for a file it cannot parse
            raise ValueError(f"{path}: not a mesh trimesh can read ({type(e).__name__}: {e})") from e
        if triangles.ndim != 2 or len(triangles) == 0:
            raise ValueError(f"{path}: holds no triangles")
        return cls(vertices * float(scale), triangles, **settings)

    @classmethod
    def box(cls, lower: Sequence[float], upper: Sequence[float], **settings: float) -> "Mesh":
        """A closed box between two corners, aligned with the axes, its faces
        pointing out: a solid, never pushed through (the penalty Box is
        a cage that keeps the effector in).

        lower: (x, y, z) in m, the corner with the smallest coordinates.

        upper: (x, y, z) in m, above lower on every axis (ValueError
        otherwise).

        settings: stiffness (required), damping, static_friction,
        dynamic_friction, as for Mesh.
        """
        low, high = _point("lower", lower), _point("upper", upper)
        if not (high > low).all():
            raise ValueError(f"upper must be above lower on every axis, got {list(lower)} and {list(upper)}")
        corners = np.array([[high[i] if (k >> i) & 1 else low[i] for i in range(3)] for k in range(8)])
        return cls(corners, _BOX_TRIANGLES, **settings)

    @classmethod
    def sphere(cls, center: Sequence[float], radius: float, subdivisions: int = 3, **settings: float) -> "Mesh":
        """A sphere as an icosphere: an icosahedron whose triangles are split
        in four subdivisions times, its corners on the sphere, its faces
        pointing out (20 * 4**subdivisions triangles).

        center: (x, y, z) in m.

        radius: m, above 0.

        subdivisions: 0 to 7 (1,280 triangles at 3, 327,680 at 7).

        settings: stiffness (required), damping, static_friction,
        dynamic_friction, as for Mesh.
        """
        middle = _point("center", center)
        if not (isinstance(radius, (int, float)) and not isinstance(radius, bool)
                and math.isfinite(radius) and radius > 0):
            raise ValueError(f"radius must be a finite number above 0, got {radius!r}")
        if not isinstance(subdivisions, int) or isinstance(subdivisions, bool) or not 0 <= subdivisions <= 7:
            raise ValueError(f"subdivisions must be an integer from 0 to 7, got {subdivisions!r}")
        vertices, triangles = _icosphere(subdivisions)
        return cls(middle + float(radius) * vertices, triangles, **settings)


def _frozen(values: Any, dtype: Any) -> np.ndarray:
    array = np.array(values, dtype=dtype).reshape(-1, 3)
    array.setflags(write=False)
    return array


def _point(name: str, value: Sequence[float]) -> np.ndarray:
    point = np.asarray(value, dtype=np.float64)
    if point.shape != (3,) or not np.isfinite(point).all():
        raise ValueError(f"{name} must be 3 finite numbers, got {value!r}")
    return point


# Corner k of a box has bit i set where its coordinate i is the upper one.
# Two triangles a face, wound so that (b - a) x (c - a) points out.
_BOX_TRIANGLES = [
    [0, 2, 3], [0, 3, 1],  # z low
    [4, 5, 7], [4, 7, 6],  # z high
    [0, 1, 5], [0, 5, 4],  # y low
    [2, 6, 7], [2, 7, 3],  # y high
    [0, 4, 6], [0, 6, 2],  # x low
    [1, 3, 7], [1, 7, 5],  # x high
]


def _icosphere(subdivisions: int) -> Tuple[np.ndarray, np.ndarray]:
    """The unit icosphere: its vertices and its outward triangles."""
    g = (1.0 + math.sqrt(5.0)) / 2.0
    vertices = [(-1, g, 0), (1, g, 0), (-1, -g, 0), (1, -g, 0), (0, -1, g), (0, 1, g),
                (0, -1, -g), (0, 1, -g), (g, 0, -1), (g, 0, 1), (-g, 0, -1), (-g, 0, 1)]
    points = [np.array(v, dtype=np.float64) / math.sqrt(1.0 + g * g) for v in vertices]
    triangles = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
                 (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
                 (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    for _ in range(subdivisions):
        middles: dict = {}

        def middle(a: int, b: int) -> int:
            key = (min(a, b), max(a, b))
            if key not in middles:
                m = points[a] + points[b]
                points.append(m / np.linalg.norm(m))
                middles[key] = len(points) - 1
            return middles[key]

        split = []
        for a, b, c in triangles:
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            split += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        triangles = split
    return np.array(points), np.array(triangles, dtype=np.int64)
