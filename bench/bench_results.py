"""W1's near misses as a table: `kestrel.explain(...).to_pandas()` against
`kestrel.match` over the same pyarrow table (1,000,000 events in 10,000
partitions, the events of engine_bench.cpp), both whole calls from the table.
Prints each median, the explain-to-table / match ratio, and the share of the
explain call spent building the pandas frame. Rounds are interleaved."""

import argparse
import statistics

from bench_peer import timed
from datasets import SESSION_PATTERN, session_table

import kestrel


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--partitions", type=int, default=10_000)
    parser.add_argument("--events-per-partition", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if min(args.partitions, args.events_per_partition, args.rounds) <= 0:
        parser.error("sizes and rounds must be positive")

    table = session_table(args.partitions, args.events_per_partition)
    seconds = {"match": [], "explain": [], "explain + to_pandas": []}
    for _ in range(args.rounds):
        elapsed, matches = timed(lambda: kestrel.match(SESSION_PATTERN, table))
        seconds["match"].append(elapsed)
        elapsed, misses = timed(lambda: kestrel.explain(SESSION_PATTERN, table))
        seconds["explain"].append(elapsed)
        elapsed, frame = timed(lambda: kestrel.explain(SESSION_PATTERN, table).to_pandas())
        seconds["explain + to_pandas"].append(elapsed)
    if len(frame) != len(misses):
        raise SystemExit(f"the frame has {len(frame)} rows for {len(misses)} near misses")

    print(
        f"results as tables: {table.num_rows:,} events, {len(matches):,} matches, "
        f"{len(misses):,} near misses"
    )
    for label, values in seconds.items():
        print(f"{label:<22} {statistics.median(values) * 1e3:9.1f} ms")
    ratios = [t / m for t, m in zip(seconds["explain + to_pandas"], seconds["match"])]
    shares = [1 - e / t for e, t in zip(seconds["explain"], seconds["explain + to_pandas"])]
    print(f"explain + to_pandas / match: {statistics.median(ratios):.2f}x (goal <= 2x)")
    print(f"share of to_pandas in explain + to_pandas: {statistics.median(shares):.0%}")
    print(f"(medians of {args.rounds} interleaved rounds)")


if __name__ == "__main__":
    main()
