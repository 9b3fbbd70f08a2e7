"""Kestrel over a Spark DataFrame: the frame is shuffled on the partition
key, and the engine runs once per chunk (`mapInArrow`), each chunk sorted
by (partition, ts, order). Spark hands a chunk over in Arrow batches of
`spark.sql.execution.arrow.maxRecordsPerBatch` rows, which can split a
partition's events, so a chunk's batches are gathered before the call.

`order`, `unique_ts` and the columns of the results are as in
`kestrel.dask`: the results name events by their order values, not by
positions, and their schema is declared before any chunk runs.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
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
    """The matches of `pattern` in the Spark DataFrame `events`, as a Spark
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
    """The near misses of `pattern` in the Spark DataFrame `events`, as a
    Spark DataFrame; otherwise as `kestrel.explain`."""
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
    """The funnel of `pattern` over the Spark DataFrame `events`, equal to
    `kestrel.funnel`'s, as a Spark DataFrame. It is computed at once: each
    chunk gives the progress of each of its partitions, and the quantiles
    need them all."""
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
    pieces = _mapped(frame, job, job.schema(schema)).toArrow()
    result = _cluster.reduced_funnel(job, pieces)
    return frame.sparkSession.createDataFrame(
        result, _spark_types().from_arrow_schema(result.schema)
    )


def _records(job: _cluster.ChunkJob, events: Any) -> Any:
    frame = _frame(events)
    return _mapped(frame, job, job.schema(_input_schema(frame)))


def _mapped(frame: Any, job: _cluster.ChunkJob, schema: Any) -> Any:
    spark_schema = _spark_types().from_arrow_schema(schema)
    return frame.repartition(job.partition).mapInArrow(_Chunks(job, schema), spark_schema)


class _Chunks:
    """The job over one chunk, as mapInArrow calls it: once, with an
    iterator over the chunk's batches."""

    def __init__(self, job: _cluster.ChunkJob, schema: Any) -> None:
        self.job = job
        self.schema = schema

    def __call__(self, batches: Iterator[Any]) -> Iterator[Any]:
        gathered = list(batches)
        if not gathered:
            return
        table = _cluster.pa().Table.from_batches(gathered)
        yield from self.job(table).cast(self.schema).to_batches()


def _frame(events: Any) -> Any:
    sql = _cluster.cluster_module("pyspark.sql", "spark")
    if not isinstance(events, sql.DataFrame):
        raise TypeError(f"expected a Spark DataFrame, not {type(events).__name__}")
    return events


def _spark_types() -> Any:
    return _cluster.cluster_module("pyspark.sql.pandas.types", "spark")


def _input_schema(frame: Any) -> Any:
    """The Arrow schema of the batches that mapInArrow hands over."""
    zone = frame.sparkSession.conf.get("spark.sql.session.timeZone")
    return _spark_types().to_arrow_schema(frame.schema, timezone=zone)
