"""vantor plot and vantor.plot.figure on a short simulated run, and the
command's errors: bad files, and matplotlib missing."""
import io
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

import vantor
from vantor import effects
from vantor.cli import main
from vantor.servo import RECORD_FIELDS

CYCLES = 200


def vantor_command():
    command = os.path.join(os.path.dirname(sys.executable), "vantor")
    assert os.access(command, os.X_OK), "vantor is not installed beside this interpreter"
    return command


@pytest.fixture
def run(simulator, tmp_path):
    """A recording of a short simulated run, saved as .npz."""
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        loop.effect = effects.Spring(anchor=(0.0, 0.0, 0.12), stiffness=100.0, damping=1.0)
        loop.record(CYCLES)
        end = time.monotonic() + 30
        while len(loop.recording()) < CYCLES and time.monotonic() < end:
            time.sleep(0.02)
        recording = loop.recording()
    assert len(recording) == CYCLES
    path = tmp_path / "run.npz"
    vantor.save_recording(path, recording)
    return path


@pytest.mark.parametrize("suffix", [".npz", ".csv"])
def test_a_simulated_run_plots_to_a_png_through_the_command(run, suffix):
    pytest.importorskip("matplotlib")
    source = run.with_suffix(suffix)
    vantor.save_recording(source, vantor.load_recording(run))
    picture = run.with_name("picture.png")
    result = subprocess.run([vantor_command(), "plot", str(source), "-o", str(picture)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and picture.stat().st_size > 10_000


def test_the_csv_reads_back_as_the_npz(run):
    recording = vantor.load_recording(run)
    vantor.save_recording(run.with_suffix(".csv"), recording)
    again = vantor.load_recording(run.with_suffix(".csv"))
    for name in RECORD_FIELDS["names"]:
        assert np.array_equal(again[name], recording[name], equal_nan=again[name].dtype.kind == "f"), name


def test_the_figure_has_its_four_panels_labelled(run):
    pytest.importorskip("matplotlib")
    from vantor.plot import figure

    recording = vantor.load_recording(run)
    recording["late"] = 0
    recording["late"][[20, 150]] = 1
    recording["fault"][100:120] = 1
    recording["energy"] = 0.002
    recording["energy"][50:60] = -0.001
    fig = figure(recording, title="run.npz")
    assert fig.get_suptitle().startswith(f"run.npz: {CYCLES} cycles over ")
    axes = {ax.get_title(): ax for ax in fig.axes}
    assert list(axes) == ["Position", "Commanded force", "Energy the hand put into the effect",
                          "Cycle-period deviation", "Exchange latency"]
    assert {title: (ax.get_xlabel(), ax.get_ylabel()) for title, ax in axes.items()} == {
        "Position": ("time (s)", "position from the start (mm)"),
        "Commanded force": ("", "force (N)"),
        "Energy the hand put into the effect": ("time (s)", "energy (mJ)"),
        "Cycle-period deviation": ("time (s)", "deviation from the period (µs)"),
        "Exchange latency": ("exchange latency (µs)", "cycles (count)"),
    }

    start = recording["position"][0]
    for i, axis in enumerate("xyz"):
        moved, pushed = axes["Position"].get_lines()[i], axes["Commanded force"].get_lines()[i]
        assert moved.get_label().startswith(f"{axis} (start ") and pushed.get_label() == axis
        assert np.allclose(moved.get_ydata(), (recording["position"][:, i] - start[i]) * 1e3)
        assert np.allclose(pushed.get_ydata(), recording["force"][:, i])
    assert len(axes["Position"].get_lines()) == 3  # no proxy: none drawn
    assert "fault: zero force" in [text.get_text() for text in axes["Commanded force"].get_legend().get_texts()]

    # The energy under the force, in mJ, what the loop made shaded.
    energy = axes["Energy the hand put into the effect"]
    assert np.allclose(energy.get_lines()[0].get_ydata(), recording["energy"] * 1e3)
    assert energy.get_shared_x_axes().joined(energy, axes["Commanded force"])
    made = [c for c in energy.collections if c.get_label() == "below 0: made by the loop"]
    assert len(made) == 1 and made[0].get_paths()
    assert made[0].get_datalim(energy.transData).y0 == pytest.approx(-1.0)

    # The late markers sit on the late cycles.
    deviation, marks = axes["Cycle-period deviation"].get_lines()
    assert np.array_equal(marks.get_xdata(), recording["t"][[20, 150]])
    assert np.array_equal(marks.get_ydata(), recording["jitter_us"][[20, 150]])
    assert marks.get_label() == "late: overran its period (2)"

    latency = axes["Exchange latency"]
    assert latency.get_xscale() == latency.get_yscale() == "log"
    exchange = recording["exchange_us"]
    p50, p99 = np.percentile(exchange[exchange > 0], [50, 99])
    lines = latency.get_lines()
    assert [line.get_label() for line in lines] == [f"p50 {p50:.0f} µs", f"p99 {p99:.0f} µs"]
    assert [line.get_xdata()[0] for line in lines] == pytest.approx([p50, p99])
    assert latency.get_legend() is not None


def test_one_cycle_and_a_run_without_an_answer_draw_cleanly():
    pytest.importorskip("matplotlib")
    from vantor.plot import figure

    one = np.zeros(1, dtype=np.dtype(RECORD_FIELDS))
    one["exchange_us"] = 80.0
    unanswered = np.zeros(5, dtype=np.dtype(RECORD_FIELDS))
    unanswered["t"] = np.arange(5) / 1000
    unanswered["fault"] = 1
    for recording in (one, unanswered):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            figure(recording).savefig(io.BytesIO(), format="png")
    with pytest.raises(ValueError, match="empty"):
        figure(one[:0])


def test_without_matplotlib_the_command_names_the_extra(run):
    # An interpreter where importing matplotlib fails, whether it is installed or not.
    script = ("import sys; sys.modules['matplotlib'] = None; from vantor.cli import main; "
              "sys.exit(main(sys.argv[1:]))")
    picture = run.with_suffix(".png")
    result = subprocess.run([sys.executable, "-c", script, "plot", str(run), "-o", str(picture)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2, result.stderr
    assert 'pip install "VantorHardwareAPI[plot]"' in result.stderr
    assert "Traceback" not in result.stderr and not picture.exists()


def bad_files(tmp_path):
    """name -> (path, what the message says)"""
    empty = np.zeros(0, dtype=np.dtype(RECORD_FIELDS))
    files = {}

    def make(name, write, says):
        path = tmp_path / name
        if write is not None:
            write(path)
        files[name] = (path, says)

    make("missing.npz", None, "no such file")
    make("other.npz", lambda p: np.savez(p, samples=np.arange(3)), "no recording in it")
    make("text.npz", lambda p: p.write_text("not an archive\n"), "not a .npz archive")
    make("nothing.npz", lambda p: p.write_bytes(b""), "not a .npz archive")
    make("plain.npz", lambda p: np.savez(p, recording=np.arange(3.0)), "not a servo loop's recording")
    make("empty.npz", lambda p: vantor.save_recording(p, empty), "the recording is empty")
    make("empty.csv", lambda p: vantor.save_recording(p, empty), "the recording is empty")
    make("other.csv", lambda p: p.write_text("a,b\n1,2\n"), "not a recording")
    make("short.csv", lambda p: p.write_text(",".join(vantor.servo.CSV_COLUMNS) + "\n1,2,3\n"),
         f"a row is not {len(vantor.servo.CSV_COLUMNS)} numbers")
    make("run.txt", lambda p: p.write_text("1 2 3\n"), "recordings are .npz or .csv files")

    def reshaped(field, element):
        """A recording with the loop's names, one field of another shape or kind."""
        fields = [(name, element if name == field else RECORD_FIELDS["formats"][i])
                  for i, name in enumerate(RECORD_FIELDS["names"])]
        return lambda p: np.savez(p, recording=np.zeros(3, dtype=fields))

    make("flat.npz", reshaped("position", "<f8"), "its field 'position'")
    make("words.npz", reshaped("force", ("U8", (3,))), "its field 'force'")
    make("fifo.npz", lambda p: os.mkfifo(p), "not a regular file")
    make("folder.npz", lambda p: p.mkdir(), "not a regular file")
    return files


def test_a_picture_name_without_a_known_suffix_is_refused(run, tmp_path, capsys):
    pytest.importorskip("matplotlib")  # it knows the formats
    pictures = tmp_path / "pictures"
    pictures.mkdir()
    for name in ("picture", "picture.unknown"):
        assert main(["plot", str(run), "-o", str(pictures / name)]) == 1
        assert "suffix" in capsys.readouterr().err
        assert os.listdir(pictures) == []  # nothing written under another name
    assert main(["plot", str(run), "-o", str(pictures / "picture.svg")]) == 0
    assert capsys.readouterr().out.strip() == f"wrote {pictures / 'picture.svg'}"


def test_bad_files_exit_1_with_a_message(tmp_path, capsys):
    for name, (path, says) in bad_files(tmp_path).items():
        picture = tmp_path / "picture.png"
        assert main(["plot", str(path), "-o", str(picture)]) == 1, name
        err = capsys.readouterr().err
        assert err.startswith(f"vantor plot: {path}: ") and says in err, (name, err)
        assert not picture.exists(), name


def test_the_proxy_is_drawn_beside_the_position_where_there_is_one(run):
    pytest.importorskip("matplotlib")
    from vantor.plot import figure

    recording = vantor.load_recording(run)
    start = recording["position"][0]
    recording["proxy"][CYCLES // 2:] = recording["position"][CYCLES // 2:] + 0.001
    lines = {line.get_label(): line for line in figure(recording).axes[0].get_lines()}
    for i, axis in enumerate("xyz"):
        proxy = lines[f"{axis} proxy"]
        assert proxy.get_linestyle() == "--"
        assert proxy.get_color() == lines[[k for k in lines if k.startswith(f"{axis} (start ")][0]].get_color()
        drawn = np.asarray(proxy.get_ydata(), dtype=float)
        assert np.isnan(drawn[:CYCLES // 2]).all()  # no proxy yet: a gap
        assert np.allclose(drawn[CYCLES // 2:], (recording["proxy"][CYCLES // 2:, i] - start[i]) * 1e3)
