"""W1's first-successor (login, purchase) pairs by kestrel.match and by a
DuckDB query with window functions, over the same pyarrow table: 1,000,000
events in 10,000 partitions (the events of engine_bench.cpp). Checks that the
pairs are equal and prints the kestrel/DuckDB time ratio, medians of
interleaved rounds. Each figure is the whole call from the table to the
answer: kestrel's result set, DuckDB's Arrow result. The engine runs on one
thread, so DuckDB is timed both on one thread and on all it wants. Also
prints the share of kestrel's call spent reading the table into the engine's
columns."""

import argparse
import os
import statistics
import time

import duckdb
import pyarrow as pa
from datasets import SESSION_PATTERN, session_table

import kestrel
from kestrel import _core

# A login pairs with its user's next purchase in the partition when that
# comes within 300 time units and before the user's next logout. Timestamps
# never decrease within a partition, so the smallest following purchase
# timestamp is the next purchase's.
QUERY = """
SELECT idx AS login, next_purchase AS purchase
FROM (
  SELECT idx, typ, ts,
         min(CASE WHEN typ = 'purchase' THEN idx END) OVER following AS next_purchase,
         min(CASE WHEN typ = 'purchase' THEN ts END) OVER following AS purchase_ts,
         min(CASE WHEN typ = 'logout' THEN idx END) OVER following AS next_logout
  FROM events
  WHERE typ IN ('login', 'purchase', 'logout')
  WINDOW following AS (PARTITION BY partition, "user" ORDER BY idx
                       ROWS BETWEEN 1 FOLLOWING AND UNBOUNDED FOLLOWING)
)
WHERE typ = 'login' AND purchase_ts - ts <= 300
  AND (next_logout IS NULL OR next_logout > next_purchase)
ORDER BY login
"""


def duckdb_connection(table, threads):
    connection = duckdb.connect()
    connection.execute(f"SET threads = {threads}")
    # Row positions are kestrel's match indices; SQL needs them as a column.
    connection.register(
        "events", table.append_column("idx", pa.array(range(table.num_rows), pa.int64()))
    )
    return connection


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--partitions", type=int, default=10_000)
    parser.add_argument("--events-per-partition", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if min(args.partitions, args.events_per_partition, args.rounds) <= 0:
        parser.error("sizes and rounds must be positive")

    table = session_table(args.partitions, args.events_per_partition)
    all_threads = os.cpu_count() or 1
    peers = {
        "DuckDB, 1 thread": duckdb_connection(table, 1),
        f"DuckDB, {all_threads} threads": duckdb_connection(table, all_threads),
    }
    seconds = {"kestrel.match": [], "reading": [], **{label: [] for label in peers}}
    answers = {}
    for _ in range(args.rounds):
        elapsed, matches = timed(lambda: kestrel.match(SESSION_PATTERN, table))
        seconds["kestrel.match"].append(elapsed)
        answers["kestrel.match"] = matches
        elapsed, _ = timed(
            lambda: _core._table_from_arrow(table, "partition", "ts", "typ", None, [])
        )
        seconds["reading"].append(elapsed)
        for label, connection in peers.items():
            elapsed, result = timed(lambda: connection.sql(QUERY).to_arrow_table())
            seconds[label].append(elapsed)
            answers[label] = result

    pairs = [tuple(match.indices) for match in answers["kestrel.match"]]
    print(
        f"peer query: {table.num_rows:,} events in {args.partitions:,} partitions, "
        f"first-successor pairs of\n{SESSION_PATTERN}"
    )
    kestrel_time = statistics.median(seconds["kestrel.match"])
    print(f"{'kestrel.match':<20} {kestrel_time * 1e3:9.1f} ms  {len(pairs):,} pairs")
    same = True
    for label in peers:
        result = answers[label]
        peer_pairs = list(
            zip(result.column("login").to_pylist(), result.column("purchase").to_pylist())
        )
        same = same and peer_pairs == pairs
        ratios = [k / p for k, p in zip(seconds["kestrel.match"], seconds[label])]
        print(
            f"{label:<20} {statistics.median(seconds[label]) * 1e3:9.1f} ms  "
            f"kestrel/DuckDB {statistics.median(ratios):.2f}x  "
            f"({'same pairs' if peer_pairs == pairs else 'PAIRS DIFFER'})"
        )
    shares = [r / k for r, k in zip(seconds["reading"], seconds["kestrel.match"])]
    print(
        f"reading the table: {statistics.median(seconds['reading']) * 1e3:.1f} ms, "
        f"{statistics.median(shares):.0%} of kestrel.match"
    )
    print(f"(medians of {args.rounds} interleaved rounds)")
    raise SystemExit(0 if same else 1)


if __name__ == "__main__":
    main()
