"""Companion package of the Vantor Hardware API: a native haptic servo loop
with its effects, the simulated devices, and tools that check a machine's
ports. VantorHardwareAPI itself stays exactly the device module it is."""
from vantor import effects
from vantor.devicelog import restore_device_log, route_device_log
from vantor.grip import GripReader, GripStats, GripStatus
from vantor.servo import (FaultCounts, FaultReport, PassivityStats, Percentiles, ServoLoop, ServoState, ServoStats,
                          load_recording, save_recording)

__all__ = ["ServoLoop", "GripReader", "effects", "load_recording", "save_recording", "route_device_log",
           "restore_device_log",
           # What state(), stats() and latest() give, for annotating the code that reads them.
           "ServoState", "ServoStats", "Percentiles", "FaultReport", "FaultCounts", "PassivityStats", "GripStatus",
           "GripStats"]
