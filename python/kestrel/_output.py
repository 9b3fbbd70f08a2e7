"""Results as data frames: one row per match, or one row per near miss with
its reason's detail flattened, so that drop-off tables are a groupby away."""

from __future__ import annotations

import json
from collections.abc import Iterable
from typing import Any

from ._core import Match, NearMiss
from ._optional import optional as _optional
from ._results import delegated

_MATCH_COLUMNS = ("partition", "indices", "types", "start", "end")
_NEAR_MISS_COLUMNS = (
    "partition",
    "start_index",
    "indices",
    "reached_steps",
    "next_event_type",
    "reason",
)


def to_pandas(results: Iterable[Match] | Iterable[NearMiss]) -> Any:
    """Return a pandas DataFrame with one row per Match or NearMiss.

    Matches give the columns partition, indices, types, start, end and one
    `capture.<name>` column per binding name. Near misses give partition,
    start_index, indices, reached_steps, next_event_type, reason, one
    `detail.<field>` column per detail field and the `capture.<name>` columns.
    Cells a record lacks are None. An empty input gives an empty frame with
    the match columns. A result set (`Matches`, `NearMisses`, `Funnel`) is
    converted by way of Arrow, as its `to_pandas()` does.
    """
    results_set = delegated(results)
    if results_set is not None:
        return results_set.to_pandas()
    pd = _optional("pandas")

    columns = _columns(results)
    return pd.DataFrame({name: _pandas_values(pd, values) for name, values in columns.items()})


def to_arrow(results: Iterable[Match] | Iterable[NearMiss]) -> Any:
    """Return a pyarrow Table with the columns of `to_pandas`.

    A column whose values do not share one Arrow type (a capture that is text
    in one match and a number in another, say) is written as each value's
    JSON text, so that distinct values stay distinct. A result set is converted as its
    `to_arrow()` does.
    """
    results_set = delegated(results)
    if results_set is not None:
        return results_set.to_arrow()
    pa = _optional("pyarrow")

    columns = _columns(results)
    return pa.table({name: _arrow_array(values) for name, values in columns.items()})


def _columns(results: Iterable[Match] | Iterable[NearMiss]) -> dict[str, list[Any]]:
    records: list[Any] = list(results)
    if not records:
        # No rows, but the columns every match has: drop-off tables built
        # from the result still find them.
        return {name: [] for name in _MATCH_COLUMNS}
    if all(isinstance(record, Match) for record in records):
        rows = [_flat(match_record(record)) for record in records]
        return _gather(rows, _MATCH_COLUMNS)
    if all(isinstance(record, NearMiss) for record in records):
        rows = [_flat(near_miss_record(record)) for record in records]
        return _gather(rows, _NEAR_MISS_COLUMNS)
    raise TypeError("expected a list of Match objects or a list of NearMiss objects")


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


def _flat(record: dict[str, Any]) -> dict[str, Any]:
    row = {name: value for name, value in record.items() if name not in ("detail", "captures")}
    detail = dict(record.get("detail", {}))
    detail.pop("kind", None)  # the reason column says it
    row.update(_prefixed("detail.", detail))
    row.update(_prefixed("capture.", record["captures"]))
    return row


def _prefixed(prefix: str, values: dict[str, Any]) -> dict[str, Any]:
    return {prefix + name: value for name, value in values.items()}


def _gather(rows: list[dict[str, Any]], base: tuple[str, ...]) -> dict[str, list[Any]]:
    """Columns in a stable order: the base ones, then detail and capture
    columns sorted by name."""
    extra = sorted({name for row in rows for name in row} - set(base))
    extra.sort(key=lambda name: not name.startswith("detail."))
    return {name: [row.get(name) for row in rows] for name in (*base, *extra)}


def _pandas_values(pd: Any, values: list[Any]) -> Any:
    """Integers and booleans with gaps keep their type (nullable dtypes)
    rather than becoming floats or objects; integers mixed with floats stay
    objects, as a float column would round integers past 2**53."""
    present = [value for value in values if value is not None]
    kinds = {type(value) for value in present}
    if int in kinds and float in kinds:
        return pd.array(values, dtype=object)
    if len(present) == len(values) or not present:
        return values
    if kinds == {bool}:
        return pd.array(values, dtype="boolean")
    if kinds == {int} and _fits_int64(present):
        return pd.array(values, dtype="Int64")
    return values


def _fits_int64(values: list[int]) -> bool:
    return -(2**63) <= min(values) and max(values) < 2**63


def _arrow_array(values: list[Any]) -> Any:
    """One Arrow type for the column when its values share one, as result
    sets export them; else each value's JSON text, so that 1, 1.0, "1" and
    True stay four values."""
    pa = _optional("pyarrow")

    if not _merges_numbers(values) and not _mixes_bools(values):
        try:
            return pa.array(values)
        except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, OverflowError):
            pass
    return pa.array([_as_json(value) for value in values], pa.string())


def _merges_numbers(values: list[Any]) -> bool:
    """Whether float64 would read integers among floats wrongly: one that
    is not a float exactly, or one equal to a float of the column."""
    ints = {value for value in values if type(value) is int}
    floats = {value for value in values if type(value) is float}
    if not ints or not floats:
        return False
    return any(float(value) != value or value in floats for value in ints)


def _mixes_bools(values: list[Any]) -> bool:
    """Whether a bool shares the column with other values: pyarrow would
    read True beside floats as 1.0."""
    kinds = {type(value) for value in values if value is not None}
    return bool in kinds and len(kinds) > 1


def _as_json(value: Any) -> str | None:
    return None if value is None else json.dumps(value, ensure_ascii=False)
