"""What the Dask and Spark recipes share: the work done on one chunk of a
shuffled frame, and the schemas of its results.

A chunk holds every event of the partitions it holds, since the frame is
shuffled on the partition key, but in no useful order: the shuffle loses
the input order. So each chunk is sorted by (partition, ts, order) and the
engine is called once over it. Positions in the engine's results are
positions within the chunk, meaningless to the caller; they are replaced by
the order values of the events they name. The schema of each kind of result
comes from running the same job on an empty table of the input's schema, so
that it is declared before any chunk runs and stays the same without rows.
"""

from __future__ import annotations

import importlib
import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from . import _api
from ._api import KestrelWarning
from ._core import Pattern, PatternBuilder
from ._optional import optional

# The column that tells the engine's funnel one (group, partition) pair
# from another within a chunk.
_PAIR = "__kestrel_pair"
_COUNTS = (
    "dropped_predicate_failed",
    "dropped_absence_blocked",
    "dropped_window_exceeded",
    "dropped_no_successor",
)
_DIVISORS = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}


def pa() -> Any:
    return optional("pyarrow")


def cluster_module(name: str, extra: str) -> Any:
    """`name` imported, or an ImportError naming the extra that brings it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ImportError(
            f"this needs {name.partition('.')[0]}, which is not installed; "
            f"install it with pip install 'kestrel[{extra}]'"
        ) from error


def checked_identity(order: object, unique_ts: object, ts: str) -> str:
    """The column whose values name events in the results: `order`, or the
    timestamps when the caller says no two events of a partition share one."""
    if type(unique_ts) is not bool:
        raise TypeError(f"unique_ts must be True or False, not {type(unique_ts).__name__}")
    if order is None:
        if unique_ts:
            return ts
        raise ValueError(
            "order= must name a tie-break column (an event id, say): the shuffle loses the "
            "input order, so events of a partition with equal timestamps would be matched in "
            "an arbitrary order; pass unique_ts=True instead when no two events of a "
            "partition share a timestamp"
        )
    if not isinstance(order, str):
        raise TypeError(f"order must name a column, not {type(order).__name__}")
    return order


@dataclass(frozen=True)
class ChunkJob:
    """One engine call over one chunk; picklable, so that it travels to the
    workers (a Pattern pickles as its JSON form, pattern text as text)."""

    kind: str  # "match", "explain" or "funnel"
    pattern: Pattern | str
    partition: str
    ts: str
    typ: str
    order: str | None
    identity: str
    options: dict[str, Any] = field(default_factory=dict)

    def __call__(self, table: Any) -> Any:
        table = self._sorted(table)
        with warnings.catch_warnings():
            # A chunk may lack an event type the whole frame has.
            warnings.simplefilter("ignore", KestrelWarning)
            if self.kind == "funnel":
                return self._progress(table)
            return self._records(table)

    def schema(self, input_schema: Any) -> Any:
        """The schema of this job's result for input of `input_schema`."""
        missing = [name for name in self._keys() if name not in input_schema.names]
        if missing:
            raise ValueError(
                f"{', '.join(map(repr, missing))} not among the columns of the events "
                f"({', '.join(input_schema.names)})"
            )
        return self(input_schema.empty_table()).schema

    def _keys(self) -> list[str]:
        return [self.partition, self.ts] + ([self.order] if self.order else [])

    def _sorted(self, table: Any) -> Any:
        """The chunk in (partition, ts, order) order, refused when two events
        tie on all three, as their order would then be arbitrary."""
        keys = self._keys()
        if self.order and table.column(self.order).null_count:
            raise ValueError(f"the order column {self.order!r} has nulls")
        table = table.sort_by([(name, "ascending") for name in keys])
        if table.num_rows > 1 and _has_adjacent_equal(table, keys):
            raise ValueError(
                f"events of one partition tie on ({', '.join(keys)}): their order is "
                "arbitrary, so "
                + (
                    "order= must tell them apart"
                    if self.order
                    else "unique_ts=True does not hold; pass order="
                )
            )
        return table

    def _records(self, table: Any) -> Any:
        carry = list(self.options.get("carry") or [])
        if self.identity not in carry:
            carry.append(self.identity)
        options = {**self.options, "carry": carry}
        call = _api.match if self.kind == "match" else _api.explain
        result = call(
            self.pattern, table, partition=self.partition, ts=self.ts, typ=self.typ, **options
        ).to_arrow()
        return _named_by_identity(result, table.column(self.identity), self.identity)

    def _progress(self, table: Any) -> Any:
        """Each (group, partition) pair's progress per step, from the
        engine's funnel with every pair its own group: the pieces from which
        the whole funnel is reduced exactly."""
        by = self.options.get("by")
        partitions = _encoded(table.column(self.partition))
        groups = _encoded(_without_negative_zero(table.column(by))) if by else None
        width = len(groups.dictionary) if groups is not None else 1
        pair = pc().add(
            pc().multiply(partitions.indices.cast(pa().int64()), width),
            groups.indices.cast(pa().int64()) if groups is not None else 0,
        )
        options = {name: value for name, value in self.options.items() if name != "by"}
        steps = _api.funnel(
            self.pattern,
            table.append_column(_PAIR, pair),
            by=_PAIR,
            partition=self.partition,
            ts=self.ts,
            typ=self.typ,
            **options,
        ).to_arrow()
        ids = steps.column(_PAIR).cast(pa().int64())
        first_seen = pc().index_in(ids, pc().unique(ids))
        columns = {
            "partition": partitions.dictionary.take(pc().divide(ids, width)),
            "rank": first_seen.cast(pa().int64()),
        }
        if groups is not None:
            columns["group"] = groups.dictionary.take(
                pc().subtract(ids, pc().multiply(pc().divide(ids, width), width))
            )
        for name in ("step", "event_type", "entered", *_COUNTS, "time_p50"):
            columns[name] = steps.column(name)
        return pa().table(columns)


def pc() -> Any:
    return optional("pyarrow.compute")


def _has_adjacent_equal(table: Any, keys: list[str]) -> bool:
    n = table.num_rows
    same = None
    for name in keys:
        column = table.column(name)
        equal = pc().equal(column.slice(1), column.slice(0, n - 1))
        same = equal if same is None else pc().and_(same, equal)
    return bool(pc().any(same).as_py())


def _encoded(column: Any) -> Any:
    return pc().dictionary_encode(column, null_encoding="encode").combine_chunks()


def _without_negative_zero(column: Any) -> Any:
    """-0.0 and 0.0 are one group to the engine."""
    return pc().add(column, 0.0) if pa().types.is_floating(column.type) else column


def _named_by_identity(result: Any, identities: Any, identity: str) -> Any:
    """The result with `indices` dropped (the carried identity column holds
    the same events' order values) and every other position column renamed
    `..._<identity>` and holding the order value of the event it names."""
    names, columns = [], []
    for name, column in zip(result.column_names, result.columns, strict=True):
        if name == "indices":
            continue
        if name == "start_index" or (name.startswith("detail.") and name.endswith("_index")):
            name = name[: -len("index")] + identity
            column = identities.take(column)
        names.append(name)
        columns.append(column)
    return pa().table(columns, names=names)


def job(
    kind: str,
    pattern: object,
    order: object,
    unique_ts: object,
    keys: Sequence[str],
    **options: Any,
) -> ChunkJob:
    """The checked job of a cluster call."""
    partition, ts, typ = keys
    identity = checked_identity(order, unique_ts, ts)
    if isinstance(pattern, PatternBuilder):
        pattern = pattern.build()
    if not isinstance(pattern, (Pattern, str)):
        raise TypeError(
            "expected a Pattern, a PatternBuilder, or pattern text, not " + type(pattern).__name__
        )
    options = {name: value for name, value in options.items() if value is not None}
    tie_break = None if order is None else identity
    return ChunkJob(kind, pattern, partition, ts, typ, tie_break, identity, options)


def _empty_funnel(job: ChunkJob, input_schema: Any, grouped: bool = True) -> Any:
    """The funnel of no events: its schema, and without `by` its steps."""
    options = job.options if grouped else {k: v for k, v in job.options.items() if k != "by"}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", KestrelWarning)
        return _api.funnel(
            job.pattern,
            input_schema.empty_table(),
            partition=job.partition,
            ts=job.ts,
            typ=job.typ,
            **options,
        ).to_arrow()


def reduced_funnel(job: ChunkJob, input_schema: Any, progress: Any) -> Any:
    """The funnel of the whole frame from the chunks' progress: counts add
    up, and each step's times are the pairs' times, whose quantiles are taken
    as the engine takes them (linear between ranks, in nanoseconds for
    datetimes, then rounded to the unit)."""
    declared = _empty_funnel(job, input_schema)
    by = job.options.get("by")
    types = _empty_funnel(job, input_schema, grouped=False).column("event_type").to_pylist()
    time_type = declared.schema.field("time_p50").type
    divisor = _DIVISORS[time_type.unit] if pa().types.is_duration(time_type) else None
    groups: dict[Any, dict[str, Any]] = {}
    times = progress.column("time_p50")
    if pa().types.is_duration(times.type):
        times = times.cast(pa().int64())
    rows = progress.drop_columns(["time_p50"]).append_column("time", times).to_pylist()
    for row in rows:
        value = row.get("group")
        group = groups.setdefault(
            _group_key(value),
            {
                "value": value,
                "first": (row["partition"], row["rank"]),
                "entered": [0] * len(types),
                "dropped": [[0] * 4 for _ in types],
                "times": [[] for _ in types],
            },
        )
        group["first"] = min(group["first"], (row["partition"], row["rank"]))
        k = row["step"] - 1
        group["entered"][k] += row["entered"]
        for reason, name in enumerate(_COUNTS):
            group["dropped"][k][reason] += row[name]
        if row["time"] is not None:
            group["times"][k].append(float(row["time"] * (divisor or 1)))
    if by is None and not groups:
        return declared
    out = []
    for group in sorted(groups.values(), key=lambda g: g["first"]):
        for k, event_type in enumerate(types):
            out.append(_step_row(group, k, event_type, divisor, by))
    return pa().table(
        [_column([row[f.name] for row in out], f.type) for f in declared.schema],
        schema=declared.schema,
    )


def _column(values: list[Any], type_: Any) -> Any:
    if pa().types.is_duration(type_):
        return pa().array(values, pa().int64()).cast(type_)
    return pa().array(values, type_)


def _step_row(
    group: dict[str, Any], k: int, event_type: str, divisor: int | None, by: str | None
) -> dict[str, Any]:
    entered = group["entered"][k]
    dropped = group["dropped"][k]
    before = group["entered"][k - 1] if k else 0
    times = sorted(group["times"][k])
    row = {
        "step": k + 1,
        "event_type": event_type,
        "entered": entered,
        "dropped": sum(dropped),
        **dict(zip(_COUNTS, dropped, strict=True)),
        "conversion": entered / before if k and before else None,
        "time_p50": _time(times, 0.5, divisor),
        "time_p90": _time(times, 0.9, divisor),
    }
    if by is not None:
        row[by] = group["value"]
    return row


def _time(values: list[float], q: float, divisor: int | None) -> float | int | None:
    """The engine's quantile; rounded to the unit when `divisor` is one."""
    if not values:
        return None
    rank = q * float(len(values) - 1)
    low = math.floor(rank)
    value = values[low]
    if low + 1 < len(values):
        value = value + (rank - low) * (values[low + 1] - value)
    return value if divisor is None else round(value / divisor)


def _group_key(value: Any) -> Any:
    return "NaN" if isinstance(value, float) and math.isnan(value) else (type(value), value)
