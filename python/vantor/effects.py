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

``Callback(fn)`` makes a Python function an effect like the others.
"""
import inspect
from typing import Any, Callable, Optional, Sequence, Union

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
