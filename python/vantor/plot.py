"""Pictures of a servo loop's run: figure(recording) draws one recording as a
matplotlib Figure (needs the plot extra: pip install "VantorHardwareAPI[plot]")."""
from typing import Any, Optional

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

__all__ = ["figure"]

AXES = ("x", "y", "z")


def figure(recording: Any, title: Optional[str] = None) -> Figure:
    """Position and commanded force against time, the exchange latency
    histogram with its p50 and p99, and the cycle-period deviation with the
    late cycles marked. Raises ValueError for an empty recording.

    recording: what ServoLoop.recording() or load_recording gave.

    title: put before the run's summary at the top; None: the summary alone.
    """
    if len(recording) == 0:
        raise ValueError("the recording is empty")
    t = recording["t"]
    fig = Figure(figsize=(12, 8), layout="constrained")
    FigureCanvasAgg(fig)  # drawn off screen: no display, no pyplot state
    position = fig.add_subplot(2, 2, 1)
    force = fig.add_subplot(2, 2, 2, sharex=position)
    period = fig.add_subplot(2, 2, 3, sharex=position)
    latency = fig.add_subplot(2, 2, 4)

    # From where the run starts, in mm: the movements are millimetres, the
    # axes' positions hundreds of them apart.
    start = recording["position"][0]
    for i, axis in enumerate(AXES):
        position.plot(t, (recording["position"][:, i] - start[i]) * 1e3, linewidth=1,
                      label=f"{axis} (start {start[i] * 1e3:.1f} mm)")
        force.plot(t, recording["force"][:, i], label=axis, linewidth=1)
    fault = recording["fault"] != 0
    if fault.any():
        force.fill_between(t, 0, 1, where=fault, transform=force.get_xaxis_transform(), color="C3", alpha=0.12,
                           linewidth=0, label="fault: zero force")
    position.set(title="Position", xlabel="time (s)", ylabel="position from the start (mm)")
    force.set(title="Commanded force", xlabel="time (s)", ylabel="force (N)")

    late = recording["late"] != 0
    period.plot(t, recording["jitter_us"], linewidth=0.8, color="C0", label="deviation")
    period.plot(t[late], recording["jitter_us"][late], "o", color="C3", markersize=4,
                label=f"late: overran its period ({np.count_nonzero(late)})")
    period.set(title="Cycle-period deviation", xlabel="time (s)", ylabel="deviation from the period (µs)")

    # A failed exchange has no latency to show.
    exchange = recording["exchange_us"]
    exchange = exchange[np.isfinite(exchange) & (exchange > 0)]
    if len(exchange):
        # Bins even on a log scale: the slow exchanges are decades beyond the typical.
        bins = np.geomspace(exchange.min() * 0.95, exchange.max() * 1.05, 60)
        latency.hist(exchange, bins=bins.tolist(), color="C0")
        for q, style in ((50, "--"), (99, ":")):
            value = np.percentile(exchange, q)
            latency.axvline(value, color="C3", linestyle=style, linewidth=1.5, label=f"p{q} {value:.0f} µs")
    else:
        latency.text(0.5, 0.5, "no exchange answered", transform=latency.transAxes, ha="center")
    latency.set_xscale("log")
    latency.set_yscale("log")
    latency.set(title="Exchange latency", xlabel="exchange latency (µs)", ylabel="cycles (count)")

    for ax in (position, force, period, latency):
        ax.grid(True, alpha=0.3)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize="small")

    span = float(t[-1] - t[0])
    rate = f", {(len(t) - 1) / span:.0f} Hz" if span > 0 else ""
    summary = (f"{len(t)} cycles over {span:.2f} s{rate}, {np.count_nonzero(late)} late,"
               f" {np.count_nonzero(fault)} with a fault")
    fig.suptitle(f"{title}: {summary}" if title else summary)
    return fig
