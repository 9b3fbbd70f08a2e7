"""A funnel as an aligned text table, for printing."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._results import FunnelStep

_HEADERS = (
    "step",
    "event_type",
    "entered",
    "conversion",
    "dropped",
    "predicate_failed",
    "absence_blocked",
    "window_exceeded",
    "no_successor",
    "time_p50",
    "time_p90",
)
_LEFT_ALIGNED = {"event_type"}


def funnel_table(steps: Sequence[FunnelStep], by: str | None) -> str:
    """One line per step under a header line, columns aligned; with `by`, a
    first column holds each step's group."""
    headers = ([by] if by is not None else []) + list(_HEADERS)
    left = _LEFT_ALIGNED | ({by} if by is not None else set())
    rows = [headers] + [_cells(step, by is not None) for step in steps]
    widths = [max(len(row[i]) for row in rows) for i in range(len(headers))]
    lines = [
        "  ".join(
            cell.ljust(width) if name in left else cell.rjust(width)
            for name, cell, width in zip(headers, row, widths)
        ).rstrip()
        for row in rows
    ]
    return "\n".join(lines)


def _cells(step: FunnelStep, grouped: bool) -> list[str]:
    cells = [_text(step.group)] if grouped else []
    return cells + [
        str(step.step),
        step.event_type,
        str(step.entered),
        "" if step.conversion is None else percent(step.conversion),
        str(step.dropped),
        str(step.dropped_predicate_failed),
        str(step.dropped_absence_blocked),
        str(step.dropped_window_exceeded),
        str(step.dropped_no_successor),
        _text(step.time_p50),
        _text(step.time_p90),
    ]


def percent(rate: float) -> str:
    """One decimal, or as many more as keep a rate short of 100% (or above
    0%) from printing as if it were."""
    for digits in range(1, 7):
        text = f"{rate:.{digits}%}"
        rounded = float(text[:-1]) / 100
        if (rounded == 1) == (rate == 1) and (rounded == 0) == (rate == 0):
            return text
    return text


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)
