"""Kestrel over a Dask DataFrame: the frame is shuffled on the partition key,
and the engine runs once per chunk (`map_partitions`), each chunk sorted by
(partition, ts, order).

`order` names a tie-break column (an event id, say); it is required, because
the shuffle loses the input order and equal timestamps would otherwise meet
in an arbitrary order. Without it, `unique_ts=True` says that no two events
of a partition share a timestamp (checked per chunk). Positions mean nothing
outside a chunk, so the results name events by their order values instead:
the column named as the order column (the timestamps with `unique_ts=True`)
holds, per match or near miss, the list of its events' values in place of
`indices`, and `start_index`, `detail.event_index`,
`detail.candidate_index` and `detail.blocking_index` become `start_<order>`,
`detail.event_<order>` and so on. The other columns are those of the
package's results. Rows come chunk by chunk, each chunk's in the package's
order. The result's schema (its `meta`) is known before any chunk runs, and
is the same whether or not anything matches.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from . import _cluster


def match(
    pattern: object,
    events: Any,
    *,
    order: str | None = None,
    unique_ts: bool = False,
    exhaustive: bool = False,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
    carry: Sequence[str] | None = None,
    unit: str | None = None,
) -> Any:
    """The matches of `pattern` in the Dask DataFrame `events`, as a Dask
    DataFrame; otherwise as `kestrel.match`."""
    job = _cluster.job(
        "match",
        pattern,
        order,
        unique_ts,
        (partition, ts, typ),
        exhaustive=exhaustive,
        attributes=attributes,
        carry=carry,
        unit=unit,
    )
    return _records(job, events)


def explain(
    pattern: object,
    events: Any,
    *,
    order: str | None = None,
    unique_ts: bool = False,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
    carry: Sequence[str] | None = None,
    unit: str | None = None,
) -> Any:
    """The near misses of `pattern` in the Dask DataFrame `events`, as a Dask
    DataFrame; otherwise as `kestrel.explain`."""
    job = _cluster.job(
        "explain",
        pattern,
        order,
        unique_ts,
        (partition, ts, typ),
        attributes=attributes,
        carry=carry,
        unit=unit,
    )
    return _records(job, events)


def funnel(
    pattern: object,
    events: Any,
    *,
    order: str | None = None,
    unique_ts: bool = False,
    by: str | None = None,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
    unit: str | None = None,
) -> Any:
    """The funnel of `pattern` over the Dask DataFrame `events`, equal to
    `kestrel.funnel`'s, as a one-chunk Dask DataFrame. It is computed at
    once: each chunk gives the progress of each of its partitions, and the
    quantiles need them all."""
    job = _cluster.job(
        "funnel",
        pattern,
        order,
        unique_ts,
        (partition, ts, typ),
        by=by,
        attributes=attributes,
        unit=unit,
    )
    frame = _frame(events)
    schema = _input_schema(frame)
    pieces_schema = job.schema(schema)
    pieces = (
        _shuffled(frame, job)
        .map_partitions(_Chunks(job), meta=_pandas(pieces_schema.empty_table()))
        .compute()
    )
    pa = _cluster.pa()
    table = pa.Table.from_pandas(pieces, schema=pieces_schema, preserve_index=False)
    result = _pandas(_cluster.reduced_funnel(job, table))
    return _cluster.cluster_module("dask.dataframe", "dask").from_pandas(result, npartitions=1)


class _Chunks:
    """The job over one pandas chunk, as map_partitions calls it."""

    def __init__(self, job: _cluster.ChunkJob) -> None:
        self.job = job

    def __call__(self, chunk: Any) -> Any:
        pa = _cluster.pa()
        return _pandas(self.job(pa.Table.from_pandas(chunk, preserve_index=False)))


def _records(job: _cluster.ChunkJob, events: Any) -> Any:
    frame = _frame(events)
    meta = _pandas(job.schema(_input_schema(frame)).empty_table())
    return _shuffled(frame, job).map_partitions(_Chunks(job), meta=meta)


def _pandas(table: Any) -> Any:
    """`table` as pandas with Arrow-backed columns, so that nulls, lists and
    integer types come through exactly."""
    pd = _cluster.cluster_module("pandas", "dask")
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def _frame(events: Any) -> Any:
    dd = _cluster.cluster_module("dask.dataframe", "dask")
    if not isinstance(events, dd.DataFrame):
        raise TypeError(f"expected a Dask DataFrame, not {type(events).__name__}")
    return events


def _input_schema(frame: Any) -> Any:
    return _cluster.pa().Schema.from_pandas(frame._meta, preserve_index=False)


def _shuffled(frame: Any, job: _cluster.ChunkJob) -> Any:
    return frame.shuffle(on=job.partition)
