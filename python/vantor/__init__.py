"""Companion package of the Vantor Hardware API: a native haptic servo loop
with its effects, the simulated devices, and tools that check a machine's
ports. VantorHardwareAPI itself stays exactly the device module it is."""
from vantor import effects
from vantor.servo import ServoLoop, load_recording, save_recording

__all__ = ["ServoLoop", "effects", "load_recording", "save_recording"]
