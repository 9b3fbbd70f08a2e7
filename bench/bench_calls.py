"""The fixed cost of one `kestrel.match` call on a small pyarrow table, and
what the default thread count costs or saves against one thread.

Per size (--rows, default "100,1000,10000,100000,1000000"), times,
interleaved (A B C D E A B C D E ...), `kestrel.match` with the default
threads and with threads=1, the native `_core._match` on a table and pattern
built beforehand, the native Arrow reader alone, and an empty Python call;
prints the median of each, what the Python layer adds to the two native
calls, and the default / threads=1 ratio. Goals: `kestrel.match` on 100 rows
<= 20 us; the default never more than 1.10x threads=1. Calls per timed batch
shrink with the size (--calls at 100 rows). Flags: --rows, --rounds, --calls.
"""

import argparse
import os
import statistics
import time

import pyarrow as pa

import kestrel
from kestrel import _core
from kestrel._input import DEFAULT_KEYS, to_table

PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"
TYPES = ["login", "view", "purchase", "logout"]


def make_table(rows):
    return pa.table(
        {
            "partition": [f"p{i % 10}" for i in range(rows)],
            "ts": list(range(rows)),
            "typ": [TYPES[i % len(TYPES)] for i in range(rows)],
            "user": [f"u{i % 3}" for i in range(rows)],
        }
    )


def per_call(call, calls):
    start = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - start) / calls


def empty():
    return None


def measure(rows, rounds, calls):
    table = make_table(rows)
    prebuilt = to_table(table, DEFAULT_KEYS)
    pattern = kestrel.parse_pattern(PATTERN)
    candidates = {
        "kestrel.match": lambda: kestrel.match(PATTERN, table),
        "kestrel.match threads=1": lambda: kestrel.match(PATTERN, table, threads=1),
        "_core._match (prebuilt)": lambda: _core._match(pattern, prebuilt, False, None),
        "_core._table_from_arrow": lambda: _core._table_from_arrow(
            table, "partition", "ts", "typ", None, []
        ),
        "empty Python call": empty,
    }
    counts = {len(candidates[name]()) for name in list(candidates)[:3]}
    assert len(counts) == 1, counts
    times = {name: [] for name in candidates}
    for _ in range(rounds):
        for name, call in candidates.items():
            times[name].append(per_call(call, calls))
    return {name: statistics.median(values) * 1e6 for name, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", default="100,1000,10000,100000,1000000")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for rows in (int(size) for size in args.rows.split(",")):
        calls = max(3, args.calls * 100 // rows)
        medians = measure(rows, args.rounds, calls)
        print(f"{rows:,} rows, median of {args.rounds} rounds of {calls} calls")
        for name, micros in medians.items():
            print(f"  {name:<26} {micros:10.2f} us")
        native = medians["_core._match (prebuilt)"] + medians["_core._table_from_arrow"]
        overhead = medians["kestrel.match threads=1"] - native
        print(
            f"  Python layer               {overhead:10.2f} us (threads=1 match minus both native calls)"
        )
        ratio = medians["kestrel.match"] / medians["kestrel.match threads=1"]
        print(f"  default threads / threads=1 {ratio:9.2f}x (goal <= 1.10)")
        if rows == 100:
            verdict = "within" if medians["kestrel.match"] <= 20 else "over"
            print(f"  kestrel.match is {verdict} the 20 us goal")
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
