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
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from . import _api
from ._api import KestrelWarning
from ._core import Pattern, PatternBuilder
from ._optional import optional

# The column of a funnel piece that names its first start in the chunk.
_POSITION = "__kestrel_position"


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
                return self._pieces(table)
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

    def _pieces(self, table: Any) -> Any:
        """The engine's funnel pieces of the chunk, each with its first
        start's partition, ts, type and `by` cell: what the whole funnel is
        reduced from, exactly."""
        by = self.options.get("by")
        keys = (self.partition, self.ts, self.typ, self.options.get("attributes"))
        capsule = _api.funnel_pieces(self.pattern, table, by, keys, self.options.get("unit"))
        pieces = pa().RecordBatchReader._import_from_c_capsule(capsule).read_all()
        starts = pieces.column(_POSITION)
        names = [self.partition, self.ts, self.typ] + ([by] if by else [])
        columns = [table.column(name).take(starts) for name in names]
        rest = pieces.drop_columns([_POSITION])
        return pa().table(columns + rest.columns, names=names + rest.column_names)


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


def reduced_funnel(job: ChunkJob, pieces: Any) -> Any:
    """The funnel of the whole frame from the chunks' pieces, reduced by the
    engine as it reduces its own."""
    keys = (job.partition, job.ts, job.typ)
    by = job.options.get("by")
    return _api.reduced_funnel(job.pattern, pieces, by, keys, job.options.get("unit")).to_arrow()
