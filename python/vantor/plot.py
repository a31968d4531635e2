"""Pictures of a servo loop's run: figure(recording) draws one recording as a
matplotlib Figure, zwidth_figure(trials) the walls vantor zwidth found stable
(needs the plot extra: pip install "VantorHardwareAPI[plot]")."""
from typing import Any, Dict, Mapping, Optional, Sequence

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

__all__ = ["figure", "zwidth_figure"]

AXES = ("x", "y", "z")


def figure(recording: Any, title: Optional[str] = None) -> Figure:
    """Position (and the proxy's, dashed, where the effect has one) and
    commanded force against time, the energy the hand put
    into the effect under the force, the exchange latency histogram with its
    p50 and p99, and the cycle-period deviation with the late cycles marked.
    Raises ValueError for an empty recording.

    recording: what ServoLoop.recording() or load_recording gave.

    title: put before the run's summary at the top; None: the summary alone.
    """
    if len(recording) == 0:
        raise ValueError("the recording is empty")
    t = recording["t"]
    fig = Figure(figsize=(12, 8), layout="constrained")
    FigureCanvasAgg(fig)  # drawn off screen: no display, no pyplot state
    grid = fig.add_gridspec(2, 2)
    position = fig.add_subplot(grid[0, 0])
    # The energy under the force: a wall that rattles shows in both at once.
    right = grid[0, 1].subgridspec(2, 1, height_ratios=(3, 2))
    force = fig.add_subplot(right[0], sharex=position)
    energy = fig.add_subplot(right[1], sharex=position)
    period = fig.add_subplot(grid[1, 0], sharex=position)
    latency = fig.add_subplot(grid[1, 1])

    # From where the run starts, in mm: the movements are millimetres, the
    # axes' positions hundreds of them apart.
    start = recording["position"][0]
    for i, axis in enumerate(AXES):
        position.plot(t, (recording["position"][:, i] - start[i]) * 1e3, linewidth=1,
                      label=f"{axis} (start {start[i] * 1e3:.1f} mm)")
        force.plot(t, recording["force"][:, i], label=axis, linewidth=1)
    # The proxy where the effect has one (a mesh): on the surface while the
    # arm is in it, so the gap between the two is the penetration.
    proxy = recording["proxy"] if "proxy" in recording.dtype.names else None
    if proxy is not None and np.isfinite(proxy).any():
        for i, axis in enumerate(AXES):
            position.plot(t, (proxy[:, i] - start[i]) * 1e3, linewidth=1, linestyle="--",
                          color=position.get_lines()[i].get_color(), label=f"{axis} proxy")
    fault = recording["fault"] != 0
    if fault.any():
        force.fill_between(t, 0, 1, where=fault, transform=force.get_xaxis_transform(), color="C3", alpha=0.12,
                           linewidth=0, label="fault: zero force")
    position.set(title="Position", xlabel="time (s)", ylabel="position from the start (mm)")
    force.set(title="Commanded force", ylabel="force (N)")

    # mJ: a newton over a millimetre. Below zero is energy the loop made.
    work = recording["energy"] * 1e3
    energy.plot(t, work, linewidth=1, color="C0", label="energy")
    energy.fill_between(t, work, 0, where=work < 0, color="C3", alpha=0.3, linewidth=0,
                        label="below 0: made by the loop")
    energy.axhline(0.0, color="0.5", linewidth=0.8)
    energy.set(title="Energy the hand put into the effect", xlabel="time (s)", ylabel="energy (mJ)")

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

    for ax in (position, force, energy, period, latency):
        ax.grid(True, alpha=0.3)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize="small")

    span = float(t[-1] - t[0])
    rate = f", {(len(t) - 1) / span:.0f} Hz" if span > 0 else ""
    summary = (f"{len(t)} cycles over {span:.2f} s{rate}, {np.count_nonzero(late)} late,"
               f" {np.count_nonzero(fault)} with a fault")
    fig.suptitle(f"{title}: {summary}" if title else summary)
    return fig


def zwidth_figure(trials: Sequence[Mapping[str, Any]], title: Optional[str] = None) -> Figure:
    """The walls vantor zwidth tried, stiffness against damping, one panel
    with the passivity controller off and one with it on: each wall a green
    dot where the arm came to rest on it, a red cross where it did not, and
    the largest stable stiffness per damping joined by a line. Raises
    ValueError when there is no trial.

    trials: what vantor zwidth --json prints (vantor.zwidth.sweep gives it).

    title: put at the top; None: no title.
    """
    if not trials:
        raise ValueError("no trial to draw")
    fig = Figure(figsize=(10, 5), layout="constrained")
    FigureCanvasAgg(fig)
    panels = fig.subplots(1, 2, sharex=True, sharey=True)
    for ax, passivity in zip(panels, (False, True)):
        these = [r for r in trials if bool(r["passivity"]) == passivity]
        for stable, style in ((True, dict(marker="o", color="C2", label="stable: comes to rest")),
                              (False, dict(marker="x", color="C3", label="rattles or bounces"))):
            points = [(r["damping"], r["stiffness"]) for r in these if bool(r["stable"]) == stable]
            if points:
                ax.plot(*zip(*points), linestyle="none", markersize=8, **style)  # type: ignore[arg-type]
        largest: Dict[float, float] = {}
        for r in these:
            if r["stable"]:
                largest[r["damping"]] = max(largest.get(r["damping"], 0.0), r["stiffness"])
        if largest:
            dampings = sorted(largest)
            ax.plot(dampings, [largest[b] for b in dampings], color="C2", linewidth=1.5,
                    label="largest stable stiffness")
        ax.set_yscale("log")
        ax.set(title=f"passivity controller {'on' if passivity else 'off'}", xlabel="wall damping (N s/m)",
               ylabel="wall stiffness (N/m)")
        ax.grid(True, which="both", alpha=0.3)
    # One legend under both panels, where it hides no wall.
    legend = {label: handle for ax in panels for handle, label in zip(*ax.get_legend_handles_labels())}
    fig.legend(list(legend.values()), list(legend), loc="outside lower center", ncols=len(legend), fontsize="small")
    if title:
        fig.suptitle(title)
    return fig
