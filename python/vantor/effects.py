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

``Callback(fn)`` makes a Python function an effect like the others.
"""
import inspect
from typing import Any, Callable, Optional, Sequence

from vantor import _native
from vantor._native import Box, ConstantForce, Damper, Effect, Plane, Sphere, Spring, Sum

__all__ = ["Effect", "Spring", "Damper", "Plane", "Sphere", "Box", "ConstantForce", "Sum", "Callback"]


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
