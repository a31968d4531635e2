"""vantor: the package's command line.

    vantor plot RUN.npz -o RUN.png    draws a recorded servo loop run
"""
import argparse
import os
import sys
from typing import Optional, Sequence

from vantor.servo import load_recording

PLOT_EXTRA = 'pip install "VantorHardwareAPI[plot]"'


def fail(command: str, message: str) -> int:
    print(f"vantor {command}: {message}", file=sys.stderr)
    return 1


def plot(args: argparse.Namespace) -> int:
    try:
        recording = load_recording(args.recording)
    except FileNotFoundError:
        return fail("plot", f"{args.recording}: no such file")
    except (OSError, ValueError) as e:
        return fail("plot", str(e))
    if len(recording) == 0:
        return fail("plot", f"{args.recording}: the recording is empty")
    try:
        from matplotlib.backend_bases import FigureCanvasBase

        from vantor import plot as drawing
    except ImportError as e:
        if (e.name or "").split(".")[0] != "matplotlib":
            raise
        print(f"vantor plot: needs matplotlib, which is not installed: {PLOT_EXTRA}", file=sys.stderr)
        return 2
    output = args.output or os.path.splitext(args.recording)[0] + ".png"
    suffix = os.path.splitext(output)[1].lstrip(".").lower()
    formats = sorted(FigureCanvasBase.get_supported_filetypes())
    if suffix not in formats:
        # matplotlib would add a suffix of its own and write another file than the one named.
        return fail("plot", f"{output}: the picture's suffix says its format; use one of {', '.join(formats)}")
    try:
        drawing.figure(recording, title=os.path.basename(args.recording)).savefig(output, dpi=120)
    except (OSError, ValueError) as e:  # an unwritable path, a format matplotlib does not know
        return fail("plot", f"{output}: {e}")
    print(f"wrote {output}")
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
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = make_parser().parse_args(argv)
    return int(args.run(args))


if __name__ == "__main__":
    sys.exit(main())
