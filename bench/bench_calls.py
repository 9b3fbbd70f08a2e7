"""The fixed cost of one `kestrel.match` call on a small pyarrow table.

Times, interleaved (A B C D A B C D ...), `kestrel.match` on a 100-row table
with pattern text, the native `_core._match` on a table and pattern built
beforehand, the native Arrow reader alone, and an empty Python call; prints
the median of each and what the Python layer adds to the two native calls. Goal: `kestrel.match` <= 20 us.
Flags: --rows, --rounds, --calls (calls per timed batch).
"""

import argparse
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()

    table = make_table(args.rows)
    prebuilt = to_table(table, DEFAULT_KEYS)
    pattern = kestrel.parse_pattern(PATTERN)
    candidates = {
        "kestrel.match": lambda: kestrel.match(PATTERN, table),
        "_core._match (prebuilt)": lambda: _core._match(pattern, prebuilt, False, None),
        "_core._table_from_arrow": lambda: _core._table_from_arrow(
            table, "partition", "ts", "typ", None, []
        ),
        "empty Python call": empty,
    }
    assert len(candidates["kestrel.match"]()) == len(candidates["_core._match (prebuilt)"]())
    times = {name: [] for name in candidates}
    for _ in range(args.rounds):
        for name, call in candidates.items():
            times[name].append(per_call(call, args.calls))
    medians = {name: statistics.median(values) * 1e6 for name, values in times.items()}
    print(f"{args.rows} rows, median of {args.rounds} rounds of {args.calls} calls")
    for name, micros in medians.items():
        print(f"  {name:<26} {micros:8.2f} us")
    native = medians["_core._match (prebuilt)"] + medians["_core._table_from_arrow"]
    overhead = medians["kestrel.match"] - native
    print(
        f"  Python layer               {overhead:8.2f} us (kestrel.match minus both native calls)"
    )
    verdict = "within" if medians["kestrel.match"] <= 20 else "over"
    print(f"  kestrel.match is {verdict} the 20 us goal")


if __name__ == "__main__":
    main()
