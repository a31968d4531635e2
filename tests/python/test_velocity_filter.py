"""velocity_filter_hz: its checks, the recordings that keep both velocities,
and the forces an arm receives from damping on its noisy velocity, against
an ArmPeer on a pseudo-terminal whose velocity flips sign each reply."""
import math

import numpy as np
import pytest

import vantor
from vantor import effects
from conftest import ArmPeer, servo, wait_for

RATE_HZ = 1000.0
NOISE = 0.05  # m/s either way
DAMPING = 20.0  # N s/m: 1 N of buzz on the raw velocity


class BuzzingArm(ArmPeer):
    """An arm at rest whose velocity reading flips sign each reply."""

    def _react(self, force):
        sign = -1.0 if len(self.forces) % 2 else 1.0
        self.velocity = (0.0, 0.0, sign * NOISE)


@pytest.mark.parametrize("value", [0, 0.0, -1.0, 500.0, 500.5, math.inf, math.nan, 10**400], ids=repr)
def test_a_cut_off_outside_its_range_is_refused_by_name_quoting_it(pty_device, value):
    with pytest.raises(ValueError) as refused:
        vantor.ServoLoop(pty_device.path, RATE_HZ, velocity_filter_hz=value)
    text = str(refused.value)
    assert text.startswith("velocity_filter_hz must be above 0 and below 500 Hz (half of rate_hz)")
    assert text.endswith(f", got {value!r}")


@pytest.mark.parametrize("value", [True, False, "50", b"50", (50.0,)], ids=repr)
def test_a_cut_off_that_is_no_number_is_a_type_error(pty_device, value):
    with pytest.raises(TypeError, match="velocity_filter_hz must be a number"):
        vantor.ServoLoop(pty_device.path, RATE_HZ, velocity_filter_hz=value)


def test_the_range_follows_the_rate(pty_device):
    vantor.ServoLoop(pty_device.path, 4000.0, velocity_filter_hz=1999)
    vantor.ServoLoop(pty_device.path, 4000.0, velocity_filter_hz=None)
    with pytest.raises(ValueError, match="below 50 Hz"):
        vantor.ServoLoop(pty_device.path, 100.0, velocity_filter_hz=50)


def buzz(pty_device, cycles, **settings):
    """A Damper on the buzzing arm for `cycles` recorded cycles, from the
    first: the recording, and the forces the arm received."""
    arm = BuzzingArm(pty_device)
    # No ramp, which counts wall-clock time: each run is the same on any machine.
    loop = servo(pty_device.path, RATE_HZ, ramp_s=0.0, force_limit=5.0, **settings)
    loop.effect = effects.Damper(damping=DAMPING)
    loop.record(cycles)
    try:
        with loop:
            wait_for(lambda: len(loop.recording()) >= cycles, timeout=60.0)
            recording = loop.recording()
        forces = arm.settle()
    finally:
        arm.stopped = True
    return recording, forces


def test_damping_on_a_velocity_that_flips_sign_buzzes_less_with_the_filter(pty_device):
    raw_recording, raw = buzz(pty_device, 300)
    recording, filtered = buzz(pty_device, 300, velocity_filter_hz=50.0)
    # What the arm received, once the filter has settled (its first 50
    # cycles) and before the stop's zero.
    raw_z = np.array([f[2] for f in raw[50:-1]])
    filtered_z = np.array([f[2] for f in filtered[50:-1]])
    assert len(raw_z) > 200 and len(filtered_z) > 200
    assert np.abs(raw_z).max() > 0.9  # 20 N s/m x 0.05 m/s, either way
    assert np.abs(filtered_z).max() < 0.05 * np.abs(raw_z).max()
    # The recording keeps what the arm sent and what the effect saw.
    assert np.abs(recording["velocity"][50:, 2]).min() == pytest.approx(NOISE)
    assert np.abs(recording["filtered_velocity"][50:, 2]).max() < 0.05 * NOISE
    assert (raw_recording["filtered_velocity"] == raw_recording["velocity"]).all()  # no filter: the arm's
    # The first cycle starts the filter at the arm's reading: no jump from zero.
    assert recording["filtered_velocity"][0, 2] == recording["velocity"][0, 2]


def test_both_velocities_survive_csv_and_npz(pty_device, tmp_path):
    recording, _ = buzz(pty_device, 60, velocity_filter_hz=20.0)
    assert {"fvx", "fvy", "fvz"} <= set(vantor.servo.CSV_COLUMNS)
    for name in ("run.csv", "run.npz"):
        vantor.save_recording(tmp_path / name, recording)
        loaded = vantor.load_recording(tmp_path / name)
        assert (loaded["filtered_velocity"] == recording["filtered_velocity"]).all()
        assert (loaded["velocity"] == recording["velocity"]).all()
    assert not (recording["filtered_velocity"] == recording["velocity"]).all()


def test_a_recording_saved_before_the_filter_loads_with_the_arms_velocity_as_the_filtered(tmp_path):
    # A cycle as files saved before filtered_velocity (and the energy) were written.
    before = [name for name in vantor.servo.RECORD_FIELDS["names"] if name not in vantor.servo._ADDED_LATER]
    columns = vantor.servo._CSV_COLUMNS_BEFORE
    row = {"t": "0.5", "x": "0.01", "vx": "0.25", "vz": "-0.125", "fx": "1.5"}
    (tmp_path / "old.csv").write_text(",".join(columns) + "\n" + ",".join(row.get(c, "0") for c in columns) + "\n")
    loaded = vantor.load_recording(tmp_path / "old.csv")
    assert loaded["velocity"][0].tolist() == [0.25, 0.0, -0.125]
    assert loaded["filtered_velocity"][0].tolist() == [0.25, 0.0, -0.125]
    assert loaded["force"][0, 0] == 1.5 and np.isnan(loaded["energy"][0])
    old = np.zeros(3, dtype=[(name, loaded.dtype[name]) for name in before])
    old["velocity"] = [[0.1, 0.2, 0.3]] * 3
    old["t"] = [0.0, 0.001, 0.002]
    np.savez(tmp_path / "old.npz", recording=old)
    loaded = vantor.load_recording(tmp_path / "old.npz")
    assert (loaded["filtered_velocity"] == old["velocity"]).all()
    assert np.isnan(loaded["energy"]).all() and np.isnan(loaded["proxy"]).all()
    assert (loaded["t"] == old["t"]).all()
    vantor.save_recording(tmp_path / "again.csv", loaded)  # and in today's layout from then on
    assert (tmp_path / "again.csv").read_text().splitlines()[0].split(",") == vantor.servo.CSV_COLUMNS
