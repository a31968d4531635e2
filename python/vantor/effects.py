"""Haptic effects for vantor.ServoLoop, computed in C++ every cycle.

Parameters are in SI units (m, N, N/m, N s/m) and can be changed while a loop
runs (``spring.anchor = (0, 0, 0.1)``): the change takes effect whole at the
next cycle, without restarting the force ramp. ``a + b`` is ``Sum(a, b)``.
"""
from vantor._native import (Box, CallbackEffect, ConstantForce, Damper, Effect, Plane, Sphere, Spring,
                            Sum)

__all__ = ["Effect", "Spring", "Damper", "Plane", "Sphere", "Box", "ConstantForce", "Sum", "CallbackEffect"]
