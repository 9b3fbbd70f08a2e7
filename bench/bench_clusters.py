"""The cluster recipes against one kestrel.match: W1's events (2,000,000 in
20,000 partitions by default, an event id column `eid` as the tie-break),
matched by kestrel.dask.match on Dask's local threads, by kestrel.spark.match
on a local[2] Spark, and by one kestrel.match over the same pyarrow table.
Each figure is the whole call from the frame to the matches in the driver
(the Dask frame computed to pandas, the Spark frame collected as Arrow);
building the frames is not timed. Medians of interleaved rounds. Checks
that every recipe's matches equal kestrel.match's. The per-key group-apply
(Dask's groupby().apply, Spark's groupBy().applyInArrow: one engine call per
partition key) is timed alongside, as the slow way.

Flags: --partitions, --events-per-partition, --rounds, --chunks (Dask
chunks and Spark shuffle partitions)."""

import argparse
import os
import statistics
import sys
import time
import warnings

import dask.dataframe as dd
import pandas as pd
import pyarrow as pa
from datasets import SESSION_PATTERN, session_table
from pyspark.sql import SparkSession
from pyspark.sql.pandas.types import from_arrow_schema

import kestrel
import kestrel.dask
import kestrel.spark
from kestrel import _cluster


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def rows(table):
    """Matches as comparable rows, whatever their frame's column types."""
    return sorted(
        (row["partition"], tuple(row["eid"]), row["start"], row["end"], row["capture.u"])
        for row in table.to_pylist()
    )


def spark_session(chunks):
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (
        SparkSession.builder.master("local[2]")
        .config("spark.sql.shuffle.partitions", str(chunks))
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    return session


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--partitions", type=int, default=20_000)
    parser.add_argument("--events-per-partition", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--chunks", type=int, default=8)
    args = parser.parse_args()
    if min(args.partitions, args.events_per_partition, args.rounds, args.chunks) <= 0:
        parser.error("sizes, rounds and chunks must be positive")
    warnings.simplefilter("ignore", FutureWarning)  # PySpark's word on pandas 3

    table = session_table(args.partitions, args.events_per_partition)
    table = table.append_column("eid", pa.array(range(table.num_rows), pa.int64()))
    pattern = SESSION_PATTERN
    dask_frame = dd.from_pandas(
        table.to_pandas(types_mapper=pd.ArrowDtype), npartitions=args.chunks
    ).persist()
    spark = spark_session(args.chunks)
    spark_frame = spark.createDataFrame(table).cache()
    spark_frame.count()

    job = _cluster.job("match", pattern, "eid", False, ("partition", "ts", "typ"))
    schema = job.schema(table.schema)
    spark_schema = from_arrow_schema(schema)
    dask_meta = schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)

    def dask_per_key():
        per_key = kestrel.dask._Chunks(job)
        # A copy of the key to group by: pandas hands the groups over without it.
        keyed = dask_frame.assign(key=dask_frame["partition"])
        return keyed.groupby("key").apply(per_key, meta=dask_meta, include_groups=False).compute()

    def spark_per_key():
        return (
            spark_frame.groupBy("partition")
            .applyInArrow(lambda events: job(events).cast(schema), spark_schema)
            .toArrow()
        )

    recipes = {
        "kestrel.match": lambda: kestrel.match(pattern, table, carry=["eid"]).to_arrow(),
        "kestrel.dask.match": lambda: pa.Table.from_pandas(
            kestrel.dask.match(pattern, dask_frame, order="eid").compute(),
            preserve_index=False,
        ),
        "kestrel.spark.match": lambda: kestrel.spark.match(
            pattern, spark_frame, order="eid"
        ).toArrow(),
        "Dask per-key groupby().apply": lambda: pa.Table.from_pandas(
            dask_per_key(), preserve_index=False
        ),
        "Spark per-key applyInArrow": spark_per_key,
    }
    seconds = {label: [] for label in recipes}
    answers = {}
    for _ in range(args.rounds):
        for label, recipe in recipes.items():
            elapsed, result = timed(recipe)
            seconds[label].append(elapsed)
            answers[label] = rows(result)
    single = answers["kestrel.match"]
    for label, answer in answers.items():
        if answer != single:
            raise SystemExit(f"{label} differs from kestrel.match")

    print(
        f"{table.num_rows:,} events in {args.partitions:,} partitions, {len(single):,} "
        f"matches, {args.chunks} chunks, {os.cpu_count()} cores, medians of {args.rounds} rounds"
    )
    base = statistics.median(seconds["kestrel.match"])
    for label, values in seconds.items():
        median = statistics.median(values)
        print(f"  {label:30} {median:8.2f} s  {median / base:6.1f}x kestrel.match")
    spark.stop()


if __name__ == "__main__":
    main()
