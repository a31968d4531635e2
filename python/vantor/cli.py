"""vantor: the package's command line.

    vantor plot RUN.npz -o RUN.png    draws a recorded servo loop run
    vantor view RUN.npz -o RUN.rrd    the same run for the Rerun viewer
    vantor zwidth PORT                which walls the arm renders still
"""
import argparse
import json
import math
import os
import sys
from typing import Any, List, Optional, Sequence

from vantor.servo import load_recording
from vantor.zwidth import DEFAULT_DAMPING, DEFAULT_STIFFNESS

PLOT_EXTRA = 'pip install "VantorHardwareAPI[plot]"'
VIEW_EXTRA = "pip install 'VantorHardwareAPI[view]'"


def fail(command: str, message: str) -> int:
    print(f"vantor {command}: {message}", file=sys.stderr)
    return 1


def read_recording(command: str, path: str) -> Any:
    """The recording at path, or the exit status after saying why not."""
    try:
        recording = load_recording(path)
    except FileNotFoundError:
        return fail(command, f"{path}: no such file")
    except (OSError, ValueError) as e:
        return fail(command, str(e))
    if len(recording) == 0:
        return fail(command, f"{path}: the recording is empty")
    return recording


def plot(args: argparse.Namespace) -> int:
    recording = read_recording("plot", args.recording)
    if isinstance(recording, int):
        return recording
    try:
        from vantor import plot as drawing
    except ImportError as e:
        if (e.name or "").split(".")[0] != "matplotlib":
            raise
        print(f"vantor plot: needs matplotlib, which is not installed: {PLOT_EXTRA}", file=sys.stderr)
        return 2
    output = args.output or os.path.splitext(args.recording)[0] + ".png"
    refused = unknown_format(output)
    if refused:
        return fail("plot", refused)
    try:
        drawing.figure(recording, title=os.path.basename(args.recording)).savefig(output, dpi=120)
    except (OSError, ValueError) as e:  # an unwritable path, a format matplotlib does not know
        return fail("plot", f"{output}: {e}")
    print(f"wrote {output}")
    return 0


def view(args: argparse.Namespace) -> int:
    recording = read_recording("view", args.recording)
    if isinstance(recording, int):
        return recording
    output = args.output or os.path.splitext(args.recording)[0] + ".rrd"
    if not output.endswith(".rrd"):
        return fail("view", f"{output}: Rerun's recordings are .rrd files")
    from vantor import view as viewing
    try:
        samples = viewing.view_recording(recording, output, rate_hz=args.rate)
    except ImportError as e:
        if (e.name or "").split(".")[0] != "rerun":
            raise
        print(f"vantor view: needs rerun-sdk, which is not installed: {VIEW_EXTRA}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as e:
        return fail("view", f"{output}: {e}")
    print(f"wrote {output} ({samples} samples); open it with: rerun {output}")
    return 0


def view_rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of Hz") from None
    if not (math.isfinite(value) and 1.0 <= value <= 1000.0):
        raise argparse.ArgumentTypeError(f"{text!r}: samples at 1 to 1000 Hz")
    return value


def unknown_format(picture: str) -> Optional[str]:
    """Why matplotlib cannot write picture under its name, or None."""
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = os.path.splitext(picture)[1].lstrip(".").lower()
    formats = sorted(FigureCanvasBase.get_supported_filetypes())
    if suffix not in formats:
        # matplotlib would add a suffix of its own and write another file than the one named.
        return f"{picture}: the picture's suffix says its format; use one of {', '.join(formats)}"
    return None


def numbers(what: str, low: float, low_included: bool) -> "argparse._ActionType":
    """A comma-separated list of finite numbers above low (or at it)."""
    def parse(text: str) -> List[float]:
        values = []
        for item in text.split(","):
            try:
                value = float(item)
            except ValueError:
                raise argparse.ArgumentTypeError(f"{what}: {item!r} is not a number") from None
            if not math.isfinite(value) or value < low or (value == low and not low_included):
                bound = f"{low:g} or more" if low_included else f"above {low:g}"
                raise argparse.ArgumentTypeError(f"{what}: {item!r} is not a finite number {bound}")
            values.append(value)
        return values
    return parse


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of Hz") from None
    if not (math.isfinite(value) and 1.0 <= value <= 20_000.0):
        raise argparse.ArgumentTypeError(f"{text!r}: the loop runs at 1 to 20000 Hz")
    return value


def zwidth(args: argparse.Namespace) -> int:
    from vantor import zwidth as measure
    from vantor.simulator import Simulator, find_simulator

    if (args.port is None) == (not args.simulate):
        print("vantor zwidth: give a PORT or --simulate, not both" if args.simulate else
              "vantor zwidth: give the arm's PORT, or --simulate", file=sys.stderr)
        return 2
    if args.save:
        try:
            refused = unknown_format(args.save)
        except ImportError as e:
            if (e.name or "").split(".")[0] != "matplotlib":
                raise
            print(f"vantor zwidth: --save needs matplotlib, which is not installed: {PLOT_EXTRA}", file=sys.stderr)
            return 2
        if refused:
            print(f"vantor zwidth: {refused}", file=sys.stderr)
            return 2
    simulator = None
    if args.simulate:
        if find_simulator() is None:
            return fail("zwidth", "vantor-sim not found: install the package (pip install .)")
        simulator = Simulator("talon")
    port = args.port if simulator is None else simulator.port

    def progress(trial: "measure.Trial") -> None:
        if not args.json:
            print(measure.row(trial), flush=True)

    try:
        if not args.json:
            print(f"{port}: {len(args.stiffness) * len(args.damping) * 2} walls at {args.rate:g} Hz,"
                  f" each {measure.TRIAL_S:g} s: {measure.PUSH_N:g} N onto a plane {measure.GAP_M * 1e3:g} mm"
                  f" below the effector; stable: at most {measure.STILL_M * 1e3:g} mm peak to peak over the last"
                  f" {measure.WINDOW_S:g} s, the force below the {measure.FORCE_LIMIT_N:g} N clamp")
            print(measure.HEADER)
        results = measure.sweep(port, args.rate, args.stiffness, args.damping, progress)
    except measure.NoArm as e:
        return fail("zwidth", f"{port}: no arm answers: {e}")
    finally:
        if simulator is not None:
            simulator.stop()
    if args.json:
        print(json.dumps(results))
    else:
        print(measure.summary(results))
    if args.save:
        from vantor import plot as drawing
        try:
            arm = "vantor-sim talon" if args.simulate else port
            drawing.zwidth_figure(results, title=f"{arm} at {args.rate:g} Hz").savefig(args.save, dpi=120)
        except (OSError, ValueError) as e:
            return fail("zwidth", f"{args.save}: {e}")
        if not args.json:
            print(f"wrote {args.save}")
    return 0


def make_parser() -> argparse.ArgumentParser:
    """The command line, also read by the generated reference."""
    parser = argparse.ArgumentParser(prog="vantor", description="The Vantor package's tools.")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)
    # Each command is a parser of its own whose "run" default is its function.
    command = commands.add_parser("plot", help="draw a recorded run", description=(
        "Draws a recording written by vantor.save_recording: position, commanded force, exchange latency"
        " and the cycle-period deviation with the late cycles."))
    command.add_argument("recording", metavar="RUN", help="the recording (.npz or .csv)")
    command.add_argument("-o", "--output", metavar="PICTURE",
                         help="where to write the picture (default: RUN with .png); its suffix picks the format")
    command.set_defaults(run=plot)

    command = commands.add_parser("view", help="turn a recorded run into a Rerun recording", description=(
        "Writes a recording written by vantor.save_recording to an .rrd file for the Rerun viewer, in the"
        " layout vantor.view.Viewer logs a live run: the arm, its velocity, the commanded force, the proxy and"
        " the loop's figures, sampled as a live viewer at --rate would have (docs/live-view.md). Needs rerun-sdk."))
    command.add_argument("recording", metavar="RUN", help="the recording (.npz or .csv)")
    command.add_argument("-o", "--output", metavar="RRD", help="where to write it (default: RUN with .rrd)")
    command.add_argument("--rate", type=view_rate, default="60", metavar="HZ",
                         help="samples a second, 1 to 1000 (default: %(default)s)")
    command.set_defaults(run=view)

    command = commands.add_parser("zwidth", help="measure which walls the arm renders still", description=(
        "For each stiffness and damping, with the passivity controller off and on, places a plane 3 mm below the"
        " effector and pushes the arm onto it with 1 N of the loop's own force: the wall is stable when the arm"
        " comes to rest on it (at most 0.2 mm peak to peak over the last 0.5 s, the force below the loop's 4 N"
        " clamp). Prints a table and the largest stable stiffness per damping, off and on. Hold a real arm loosely"
        " or let it rest: it moves down by a few millimetres."))
    command.add_argument("port", metavar="PORT", nargs="?", help="the arm's port (or --simulate)")
    command.add_argument("--simulate", action="store_true", help="measure a simulated arm (vantor-sim talon)")
    # String defaults go through the type, as given ones do, and read as typed.
    command.add_argument("--rate", type=rate, default="1000", metavar="HZ", help="the loop's rate (default: %(default)s)")
    command.add_argument("--stiffness", type=numbers("--stiffness", 0.0, False), metavar="K,...",
                         default=",".join(f"{k:g}" for k in DEFAULT_STIFFNESS),
                         help="the walls' stiffnesses in N/m (default: %(default)s)")
    command.add_argument("--damping", type=numbers("--damping", 0.0, True), metavar="B,...",
                         default=",".join(f"{b:g}" for b in DEFAULT_DAMPING),
                         help="the walls' dampings in N s/m (default: %(default)s)")
    command.add_argument("--json", action="store_true", help="print the trials as a JSON list instead of the table")
    command.add_argument("--save", metavar="PICTURE", help="draw the stable region (needs matplotlib)")
    command.set_defaults(run=zwidth)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = make_parser().parse_args(argv)
    return int(args.run(args))


if __name__ == "__main__":
    sys.exit(main())
