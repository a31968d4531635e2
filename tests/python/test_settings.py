"""The settings of ServoLoop and GripReader as a program gives them: one set on
both faces, every number checked against its range whatever its kind (a huge
int, a Fraction), and a refusal that quotes the value exactly as given."""
import decimal
import fractions
import math

import pytest

import vantor

NUMBERS = ["rate_hz", "force_limit", "ramp_s", "velocity_limit", "exchange_deadline_ms", "link_timeout_ms",
           "reply_timeout_s", "spin_us", "reconnect_after_s", "velocity_filter_hz"]


def refusal(make, exception=ValueError):
    with pytest.raises(exception) as refused:
        make()
    return str(refused.value)


def servo_refusal(port, exception=ValueError, **settings):
    return refusal(lambda: vantor.ServoLoop(port, **settings), exception)


@pytest.mark.parametrize("setting", NUMBERS)
@pytest.mark.parametrize("huge", [10**400, -10**400, 2**1024], ids=["10**400", "-10**400", "2**1024"])
def test_an_int_beyond_a_double_is_refused_by_name_with_the_int_given(pty_device, setting, huge):
    text = servo_refusal(pty_device.path, **{setting: huge})
    assert text.startswith(setting + " ") and text.endswith(f", got {huge}")


def test_a_workspace_corner_beyond_a_double_is_refused_by_name(pty_device):
    corners = ((0, 0, 0), (1, 1, 10**400))
    text = servo_refusal(pty_device.path, workspace=corners)
    assert text.startswith("workspace ") and text.endswith(f", got {corners!r}")


@pytest.mark.parametrize("setting, value", [
    ("rate_hz", 0.999999999), ("rate_hz", 20000.000001), ("rate_hz", 10**20), ("rate_hz", 2**53 + 1),
    ("rate_hz", fractions.Fraction(1, 3)), ("ramp_s", 60.00000000000001), ("force_limit", -1e-300),
    ("spin_us", 1000.5), ("reconnect_after_s", 1e-9), ("reconnect_after_s", 0.049999999),
    ("link_timeout_ms", math.inf), ("velocity_limit", 100.0000001), ("cpu", -2), ("cpu", 1024),
    ("cpu", 10**30), ("cpu", -10**30),
], ids=repr)
def test_a_refusal_quotes_the_value_exactly_as_given(pty_device, setting, value):
    text = servo_refusal(pty_device.path, **{setting: value})
    assert text.startswith(setting + " ") and text.endswith(f", got {value!r}")


def test_a_huge_int_too_long_to_print_is_still_refused_by_name(pty_device):
    text = servo_refusal(pty_device.path, rate_hz=10**5000)
    assert text.startswith("rate_hz must be between 1 and 20000 Hz, got an int of 16610 bits")


def test_cpu_minus_one_is_no_pinning_as_the_range_says(pty_device):
    assert "-1 (none)" in servo_refusal(pty_device.path, cpu=-2)
    vantor.ServoLoop(pty_device.path, cpu=-1)
    vantor.ServoLoop(pty_device.path, cpu=None)


def test_spin_us_is_a_setting_of_the_python_loop_too(pty_device):
    vantor.ServoLoop(pty_device.path, spin_us=0)
    vantor.ServoLoop(pty_device.path, spin_us=1000.0)
    assert servo_refusal(pty_device.path, spin_us=1000.5).startswith("spin_us must be between 0 and 1000")
    assert "spin_us" in servo_refusal(pty_device.path, TypeError, spin_us="50")


@pytest.mark.parametrize("value", [True, "1", None, 1j, b"1"])
def test_grip_reconnect_after_s_is_typed_like_the_servo_loops(pty_device, value):
    servo_text = servo_refusal(pty_device.path, TypeError, reconnect_after_s=value)
    grip_text = refusal(lambda: vantor.GripReader(pty_device.path, reconnect_after_s=value), TypeError)
    assert grip_text == servo_text and grip_text.startswith("reconnect_after_s must be a number")


@pytest.mark.parametrize("value", [10**400, 1e-9, 0.049999999, fractions.Fraction(1, 100), math.nan],
                         ids=["10**400", "1e-9", "0.049999999", "Fraction", "nan"])
def test_grip_reconnect_after_s_out_of_range_quotes_it(pty_device, value):
    text = refusal(lambda: vantor.GripReader(pty_device.path, reconnect_after_s=value))
    assert text == f"reconnect_after_s must be between 0.05 and 3600 s, got {value!r}"


@pytest.mark.parametrize("setting", ["wakeup", "reconnect"])
@pytest.mark.parametrize("value", [1, "yes", None])
def test_grip_flags_are_true_or_false(pty_device, setting, value):
    text = refusal(lambda: vantor.GripReader(pty_device.path, **{setting: value}), TypeError)
    assert text == f"{setting} must be True or False, got {value!r}"


def test_grip_settings_in_range_of_any_real_kind_are_taken(pty_device):
    for value in (2, fractions.Fraction(1, 2), 3600):
        vantor.GripReader(pty_device.path, reconnect_after_s=value)


def test_servo_settings_in_range_of_any_real_kind_are_taken(pty_device):
    numpy = pytest.importorskip("numpy")
    for value in (500, fractions.Fraction(1001, 2), decimal.Decimal("500.5"), numpy.float32(500), numpy.int64(500)):
        vantor.ServoLoop(pty_device.path, rate_hz=value)
