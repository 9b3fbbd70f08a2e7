"""kestrel.match, explain and funnel on one thread against two, over W1's
events as a pyarrow table (4,000,000 events in 40,000 partitions by
default). Each figure is the whole call from the table to the result set;
rounds interleave the two counts (A B A B ...). Prints the medians and the
one-thread/two-thread ratio per call, and checks that both counts give the
same results in the same order. Flags: --partitions, --events-per-partition,
--rounds, --threads (the count set against one)."""

import argparse
import statistics

from bench_peer import timed
from datasets import SESSION_PATTERN, session_table

import kestrel

CALLS = {
    "match": lambda table, threads: kestrel.match(SESSION_PATTERN, table, threads=threads),
    "explain": lambda table, threads: kestrel.explain(SESSION_PATTERN, table, threads=threads),
    "funnel": lambda table, threads: kestrel.funnel(SESSION_PATTERN, table, threads=threads),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--partitions", type=int, default=40_000)
    parser.add_argument("--events-per-partition", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    if min(args.partitions, args.events_per_partition, args.rounds) <= 0 or args.threads < 2:
        parser.error("sizes and rounds must be positive, and threads at least 2")

    table = session_table(args.partitions, args.events_per_partition)
    print(f"W1, {table.num_rows:,} events in {args.partitions:,} partitions, {SESSION_PATTERN}")
    same = True
    for name, call in CALLS.items():
        seconds = {1: [], args.threads: []}
        answers = {}
        for _ in range(args.rounds):
            for threads in seconds:
                elapsed, result = timed(lambda: call(table, threads))
                seconds[threads].append(elapsed)
                answers[threads] = result.to_arrow()
        equal = answers[1].equals(answers[args.threads])
        same = same and equal
        ratios = [one / many for one, many in zip(seconds[1], seconds[args.threads])]
        print(
            f"kestrel.{name:<8} 1 thread {statistics.median(seconds[1]) * 1e3:8.1f} ms  "
            f"{args.threads} threads {statistics.median(seconds[args.threads]) * 1e3:8.1f} ms  "
            f"speedup {statistics.median(ratios):.2f}x  "
            f"({'same results' if equal else 'RESULTS DIFFER'}, {len(answers[1]):,} rows)"
        )
    print(f"(medians of {args.rounds} interleaved rounds)")
    raise SystemExit(0 if same else 1)


if __name__ == "__main__":
    main()
