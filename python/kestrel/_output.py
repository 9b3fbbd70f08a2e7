"""Results as data frames: one row per match, or one row per near miss with
its reason's detail flattened, so that drop-off tables are a groupby away."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from ._core import Match, NearMiss, _export_records
from ._optional import optional as _optional
from ._results import delegated, exact_frame


def to_pandas(results: Iterable[Match] | Iterable[NearMiss]) -> Any:
    """Return a pandas DataFrame with one row per Match or NearMiss.

    The columns are those a result set's `to_pandas()` gives: for matches
    partition, indices, types, start, end and one `capture.<name>` column per
    binding name; for near misses partition, start_index, indices,
    reached_steps, next_event_type, reason, the `detail.<field>` columns and
    the captures. Match and NearMiss objects hold no time unit, so start, end
    and the detail's times are the integers they give. An empty input gives
    the match columns. A result set (`Matches`, `NearMisses`, `Funnel`) is
    converted as its `to_pandas()` does, with its carried columns and times.
    """
    results_set = delegated(results)
    if results_set is not None:
        return results_set.to_pandas()
    return exact_frame(to_arrow(results))


def to_arrow(results: Iterable[Match] | Iterable[NearMiss]) -> Any:
    """Return a pyarrow Table with the columns of `to_pandas`.

    A column whose values do not share one Arrow type (a capture that is text
    in one match and a number in another, say) is written as each value's
    JSON text, so that distinct values stay distinct, as result sets write
    it. A result set is converted as its `to_arrow()` does.
    """
    results_set = delegated(results)
    if results_set is not None:
        return results_set.to_arrow()
    pa = _optional("pyarrow")
    return pa.table(_Exported(_export_records(results)))


class _Exported:
    """An exported Arrow C stream, for pyarrow to take once."""

    __slots__ = ("_capsule",)

    def __init__(self, capsule: object) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._capsule


def match_record(found: Match) -> dict[str, Any]:
    """One match as plain data: its fields, with the captures as a dict."""
    return {
        "partition": found.partition,
        "indices": found.indices,
        "types": found.types,
        "start": found.start,
        "end": found.end,
        "captures": found.captures,
    }


def near_miss_record(miss: NearMiss) -> dict[str, Any]:
    """One near miss as plain data: its fields, with the detail and the
    captures as dicts."""
    return {
        "partition": miss.partition,
        "start_index": miss.start_index,
        "indices": miss.indices,
        "reached_steps": miss.reached_steps,
        "next_event_type": miss.next_event_type,
        "reason": miss.reason,
        "detail": miss.detail,
        "captures": miss.captures,
    }
