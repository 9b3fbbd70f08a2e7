"""match() from data frames against the same events as Python Event objects.

1,000,000 rows in 10,000 partitions (the rows of bench_match.py), first-
successor mode, the login-then-purchase pattern. Each figure is the whole
call, conversion included: a pandas, pyarrow or polars frame is turned into
engine events natively from its columns; a list of Events is copied record by
record. Frames are built beforehand and so are the Events, whose construction
is reported on its own line. Rows are shuffled once with --shuffled, so that
every call also pays for the stable sort.
"""

import argparse
import random
import time

from bench_match import PATTERN, best_of, make_rows

from kestrel import Event, match, match_events, parse_pattern


def frames(rows):
    import pandas as pd

    columns = {
        "tenant": [r[0] for r in rows],
        "ts": [r[1] for r in rows],
        "event": [r[2] for r in rows],
        "user": [r[3]["user"] for r in rows],
    }
    built = {"pandas": pd.DataFrame(columns)}
    try:
        import pyarrow as pa

        built["pyarrow"] = pa.table(columns)
    except ImportError:
        pass
    try:
        import polars as pl

        built["polars"] = pl.DataFrame(columns)
    except ImportError:
        pass
    return built


def report(label, seconds, count, baseline=None):
    line = f"{label:<34} {seconds * 1e3:8.1f} ms  {count / seconds / 1e6:6.2f} M events/s"
    if baseline:
        matched, built = baseline
        line += (
            f"  {matched / seconds:.2f}x match(Event list),"
            f" {(matched + built) / seconds:.1f}x building the Events and matching"
        )
    print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--partitions", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--shuffled", action="store_true")
    args = parser.parse_args()

    rows = make_rows(args.events, args.partitions)
    if args.shuffled:
        random.Random(3).shuffle(rows)
    keys = {"partition": "tenant", "ts": "ts", "typ": "event"}
    order = "shuffled" if args.shuffled else "sorted"
    print(f"{len(rows):,} rows in {args.partitions:,} partitions, {order}")

    start = time.perf_counter()
    events = [Event(*row) for row in rows]
    built = time.perf_counter() - start
    report("building the Event objects", built, len(rows))
    pattern = parse_pattern(PATTERN)
    baseline, expected = best_of(args.repeats, lambda: match(pattern, events))
    report("match(list of Event)", baseline, len(rows))
    if not args.shuffled:
        seconds, low_level = best_of(args.repeats, lambda: match_events(pattern, events))
        report("match_events(list of Event)", seconds, len(rows))
        assert [m.indices for m in low_level] == [m.indices for m in expected]
    for name, frame in frames(rows).items():
        seconds, found = best_of(args.repeats, lambda: match(pattern, frame, **keys))
        report(f"match({name} frame)", seconds, len(rows), (baseline, built))
        assert [m.indices for m in found] == [m.indices for m in expected], name
    print(f"{len(expected):,} matches, identical from every source")


if __name__ == "__main__":
    main()
