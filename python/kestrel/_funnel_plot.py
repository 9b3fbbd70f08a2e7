"""A funnel as a horizontal bar chart, drawn with matplotlib."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ._funnel_text import percent
from ._optional import optional as _optional

if TYPE_CHECKING:
    from ._results import FunnelStep


def plot_funnel(steps: Sequence[FunnelStep], by: str | None, ax: Any = None) -> Any:
    """Bars centred on one axis, first step at the top, one bar per step
    (per group and step with `by`): its width the partitions that entered
    the step, labelled with the count and the conversion. Returns the axes."""
    if ax is None:
        ax = _optional("matplotlib.pyplot").subplots()[1]
    labels = [_label(step, by) for step in steps]
    widths = [step.entered for step in steps]
    positions = range(len(steps))
    ax.barh(positions, widths, left=[-width / 2 for width in widths], color="tab:blue")
    for position, step in zip(positions, steps):
        conversion = "" if step.conversion is None else f" ({percent(step.conversion)})"
        ax.text(0, position, f"{step.entered}{conversion}", ha="center", va="center", color="white")
    ax.set_yticks(list(positions), labels)
    ax.invert_yaxis()
    ax.set_xticks([])
    ax.set_xlabel("partitions")
    return ax


def _label(step: FunnelStep, by: str | None) -> str:
    name = f"{step.step}. {step.event_type}"
    return name if by is None else f"{step.group}: {name}"
