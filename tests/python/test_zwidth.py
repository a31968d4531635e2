"""vantor zwidth: against an arm with dynamics on a pseudo-terminal
(DynamicArm: a mass, viscous damping, moved one loop period per force
received, so a run is the same on any machine), and against vantor-sim.
What each trial ends with is read from the arm itself."""
import json
import math
import subprocess
import sys

import pytest

import vantor.zwidth
from conftest import DynamicArm, PtyDevice, wait_for
from vantor.cli import main

KEYS = {"stiffness", "damping", "passivity", "stable", "peak_to_peak_m", "force_peak_n"}


def vantor_command(*args, timeout=180):
    command = [sys.executable, "-c", "import sys; from vantor.cli import main; sys.exit(main())", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def arm(pty_device, monkeypatch):
    """A still arm at rest (no hand: zwidth pushes it itself); each trial's
    last force received is kept in arm.ends."""
    arm = DynamicArm(pty_device, period=0.001, position=(0.0, 0.0, 0.1))
    arm.ends = []

    class Watched(vantor.ServoLoop):
        def stop(self):
            super().stop()
            if self.stats()["cycles"]:
                # The next trial has not started: nothing else can come.
                wait_for(lambda: arm.forces and arm.forces[-1] == (0.0, 0.0, 0.0), timeout=2.0)
                arm.ends.append(arm.forces[-1])

    monkeypatch.setattr(vantor.zwidth, "ServoLoop", Watched)
    yield arm
    arm.stopped = True


def test_the_sampled_walls_range_on_an_arm_with_dynamics(arm, capsys):
    assert main(["zwidth", arm.pty.path, "--stiffness", "1500,20000", "--damping", "0", "--json"]) == 0
    trials = json.loads(capsys.readouterr().out)
    assert [set(t) for t in trials] == [KEYS] * 4
    found = {(t["stiffness"], t["passivity"]): t for t in trials}
    assert list(found) == [(1500.0, False), (1500.0, True), (20000.0, False), (20000.0, True)]
    assert all(t["damping"] == 0.0 and isinstance(t["stable"], bool) for t in trials)
    assert found[1500.0, False]["stable"]
    assert not found[20000.0, False]["stable"] and found[20000.0, False]["peak_to_peak_m"] > 0.0008
    assert found[20000.0, True]["stable"] and found[20000.0, True]["peak_to_peak_m"] <= 0.0002
    # At rest on the wall the push and the wall cancel; within the clamp throughout.
    assert found[20000.0, True]["force_peak_n"] < 0.5
    assert max(math.hypot(*f) for f in arm.forces) <= vantor.zwidth.FORCE_LIMIT_N * (1 + 1e-6)
    # Every trial ended with zero force (one the link spoilt is run again).
    assert len(arm.ends) >= 4 and set(arm.ends) == {(0.0, 0.0, 0.0)}
    # Each wall 3 mm below where the arm was: about 3 mm down a trial, more
    # where a wall rattled and the arm ended its trial inside it.
    assert 0.1 - 0.005 * len(arm.ends) < arm.position[2] < 0.1 - 0.0025 * len(arm.ends)


def test_the_table_says_the_largest_stable_stiffness_off_and_on(arm, capsys):
    assert main(["zwidth", arm.pty.path, "--stiffness", "20000", "--damping", "0,5"]) == 0
    out = capsys.readouterr().out
    assert "UNSTABLE" in out and "largest stable stiffness (N/m):" in out
    summary = out.split("largest stable stiffness (N/m):")[1].split("\n")
    assert summary[2].split() == ["0", "none", "20000"]
    assert summary[3].split()[0] == "5" and summary[3].split()[2] == "20000"


@pytest.mark.parametrize("args, says", [
    ([], "give the arm's PORT, or --simulate"),
    (["/dev/ttyACM0", "--simulate"], "not both"),
    (["--simulate", "--rate", "0"], "1 to 20000 Hz"),
    (["--simulate", "--rate", "fast"], "not a number of Hz"),
    (["--simulate", "--stiffness", "1000,-5"], "--stiffness: '-5' is not a finite number above 0"),
    (["--simulate", "--stiffness", "0"], "above 0"),
    (["--simulate", "--stiffness", "nan"], "not a finite number"),
    (["--simulate", "--stiffness", ""], "'' is not a number"),
    (["--simulate", "--damping", "-1"], "--damping: '-1' is not a finite number 0 or more"),
    (["--simulate", "--save", "region.unknown"], "the picture's suffix says its format"),
    (["--simulate", "--bogus"], "unrecognized arguments"),
])
def test_bad_options_exit_2_saying_why(args, says):
    if "--save" in args:  # the suffix is judged once matplotlib is known to be there
        pytest.importorskip("matplotlib")
    result = vantor_command("zwidth", *args, timeout=60)
    assert result.returncode == 2, result.stderr
    assert says in result.stderr and "Traceback" not in result.stderr


def test_a_port_with_no_arm_exits_1_saying_so(tmp_path, simulator):
    silent = PtyDevice()
    try:
        for port in (str(tmp_path / "nothing"), silent.path, simulator("handle", "--stream", "100")):
            result = vantor_command("zwidth", port, "--stiffness", "1000", timeout=60)
            assert result.returncode == 1, (port, result.stderr)
            assert result.stderr.startswith(f"vantor zwidth: {port}: no arm answers: "), result.stderr
            assert "Traceback" not in result.stderr
    finally:
        silent.close()


def test_without_matplotlib_save_names_the_extra_before_measuring(tmp_path):
    script = ("import sys; sys.modules['matplotlib'] = None; from vantor.cli import main; "
              "sys.exit(main(sys.argv[1:]))")
    picture = tmp_path / "region.png"
    result = subprocess.run([sys.executable, "-c", script, "zwidth", "--simulate", "--save", str(picture)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2, result.stderr
    assert 'pip install "VantorHardwareAPI[plot]"' in result.stderr
    assert "Traceback" not in result.stderr and not picture.exists()


def test_simulated_arm_json_and_picture(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "region.png"
    result = vantor_command("zwidth", "--simulate", "--stiffness", "1000", "--damping", "0", "--json",
                            "--save", str(picture))
    assert result.returncode == 0, result.stderr
    trials = json.loads(result.stdout)
    assert [(t["stiffness"], t["passivity"], t["stable"]) for t in trials] == [(1000.0, False, True),
                                                                              (1000.0, True, True)]
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and picture.stat().st_size > 10_000


def test_each_trial_on_the_simulator_ends_with_zero_force(simulator, tmp_path):
    log = tmp_path / "forces.log"
    port = simulator("talon", "--force-log", str(log))
    result = vantor_command("zwidth", port, "--stiffness", "8000", "--damping", "0")
    assert result.returncode == 0, result.stderr
    forces = [tuple(map(float, line.split()[1:])) for line in log.read_text().splitlines()
              if line.startswith("force ")]
    assert forces[-1] == (0.0, 0.0, 0.0)
    assert max(math.hypot(*f) for f in forces) <= vantor.zwidth.FORCE_LIMIT_N * (1 + 1e-6)
    assert any(f[2] < -0.9 for f in forces)  # the push reached the arm


def test_the_region_figure_puts_each_wall_where_it_was_tried():
    pytest.importorskip("matplotlib")
    from vantor.plot import zwidth_figure

    def t(k, b, p, stable):
        return {"stiffness": k, "damping": b, "passivity": p, "stable": stable, "peak_to_peak_m": 0.0,
                "force_peak_n": 0.0}

    trials = [t(1000.0, 0.0, False, True), t(8000.0, 0.0, False, False), t(1000.0, 2.0, False, True),
              t(8000.0, 0.0, True, True), t(8000.0, 2.0, True, True)]
    off, on = zwidth_figure(trials, title="arm").axes
    assert (off.get_title(), on.get_title()) == ("passivity controller off", "passivity controller on")
    assert off.get_yscale() == "log" and off.get_ylabel() == "wall stiffness (N/m)"
    lines = {line.get_label(): line for line in off.get_lines()}
    assert list(lines["stable: comes to rest"].get_ydata()) == [1000.0, 1000.0]
    assert list(lines["rattles or bounces"].get_xydata().ravel()) == [0.0, 8000.0]
    assert list(lines["largest stable stiffness"].get_ydata()) == [1000.0, 1000.0]
    assert "rattles or bounces" not in [line.get_label() for line in on.get_lines()]
    with pytest.raises(ValueError):
        zwidth_figure([])
