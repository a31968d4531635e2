import gc
import importlib.metadata
import os
import subprocess
import sys
import uuid
import warnings

import pytest

import VantorHardwareAPI as api

# The library's version is the package's: both come from the one project version.
VERSION = importlib.metadata.version("VantorHardwareAPI")


def test_versions():
    assert api.__version__ == "dev"
    assert api.get_cpp_version() == VERSION
    assert api.__doc__ == "Python Implementation of the Vantor Hardware API"


def test_registration_order():
    expected = [
        "SerialStream", "UUID", "Device", "get_cpp_version", "print_cpp_version",
        "detect_talons", "detect_handles", "detect_wired_handles", "detect_wireless_handles",
        "Talon", "Handle", "__version__",
    ]
    present = [name for name in api.__dict__ if name in expected]
    assert present == [name for name in expected if hasattr(api, name)]
    names = list(api.__dict__)
    assert names.index("__doc__") < names.index("SerialStream")
    # __version__ comes after every member the module registers.
    assert all(names.index(n) < names.index("__version__") for n in present[:-1])


def test_docstrings_and_signatures():
    assert api.get_cpp_version.__doc__.startswith("get_cpp_version() -> str\n\nGet the version of the CPP library")
    assert api.print_cpp_version.__doc__.startswith(
        "print_cpp_version() -> None\n\nPrint the version of the CPP library")
    assert api.SerialStream.__init__.__doc__.startswith(
        "__init__(self: VantorHardwareAPI.SerialStream, arg0: str) -> None\n\nInitialize the serial stream")
    assert api.UUID.__init__.__doc__.startswith("__init__(self: VantorHardwareAPI.UUID) -> None")
    assert api.UUID.bytes.__doc__.startswith("bytes(self: VantorHardwareAPI.UUID) -> List[int]")


def test_print_cpp_version_writes_native_stdout():
    # sys.stdout is not involved: run in a child and read its real stdout.
    code = "import sys, io, VantorHardwareAPI as a; sys.stdout = io.StringIO(); r = a.print_cpp_version(); assert r is None"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True).stdout
    assert out == f"Library version: {VERSION}\n".encode()


def test_print_cpp_version_bypasses_sys_stdout(capfd):
    api.print_cpp_version()
    captured = capfd.readouterr()
    assert captured.out == f"Library version: {VERSION}\n"


def test_uuid():
    a, b = api.UUID(), api.UUID()
    assert a.bytes() == [0] * 16
    assert a != b


def test_device_has_no_constructor():
    with pytest.raises(TypeError, match=r"^VantorHardwareAPI\.Device: No constructor defined!$"):
        api.Device()


class TestSerialStream:
    def test_missing_port_gives_an_object(self):
        stream = api.SerialStream("/nonexistent/ttyACM7")
        assert isinstance(stream, api.SerialStream)

    def test_none_is_rejected(self):
        with pytest.raises(TypeError):
            api.SerialStream(None)

    def test_wrong_types_are_rejected(self):
        for bad in (1, 2.5, ["/dev/null"], object()):
            with pytest.raises(TypeError):
                api.SerialStream(bad)

    @pytest.mark.parametrize("kind", [str, os.fsencode, lambda p: bytearray(os.fsencode(p))])
    def test_str_bytes_and_bytearray_open_the_same_device(self, pty_device, kind):
        assert descriptors_on(pty_device.path) == 0
        stream = api.SerialStream(kind(pty_device.path))
        assert descriptors_on(pty_device.path) == 1
        del stream
        gc.collect()
        assert descriptors_on(pty_device.path) == 0


def descriptors_on(path):
    """How many of this process's descriptors are open on the device at path."""
    device = os.stat(path).st_rdev
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.stat(f"/proc/self/fd/{fd}").st_rdev == device:
                count += 1
        except OSError:
            pass
    return count
