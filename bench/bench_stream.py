"""Peak memory of kestrel.Stream over a long time-ordered log: 10M events
against 1M, pushed in batches of 100k, each run in a fresh process, in
interleaved rounds. Also the stream's time per event against one
match + explain call over the same 1M events, and a check that both give
the same results.

The log is W1's mix written as a real log would be: all partitions
interleaved, each in time order, about 100 events a second, so a user's
login and purchase are a few minutes apart and the 300 s window matters.

    python bench/bench_stream.py [--rounds 3]
"""

import argparse
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
import pyarrow as pa
from datasets import SESSION_PATTERN

import kestrel

BATCH = 100_000
PARTITIONS = 10_000
TYPES = np.array(["login", "purchase", "logout", "view"])


def batch(k):
    """Events k*BATCH to (k+1)*BATCH of the log."""
    rng = np.random.default_rng(k)
    index = np.arange(k * BATCH, (k + 1) * BATCH)
    account = rng.integers(0, PARTITIONS, BATCH)
    kind = rng.integers(0, 100, BATCH)
    typ = np.select([kind < 20, kind < 45, kind < 60], [0, 1, 2], 3)
    user = account * 4 + rng.integers(0, 4, BATCH)
    return pa.record_batch(
        {
            "partition": pa.array(np.char.add("account-", account.astype(str))),
            "ts": pa.array(1_700_000_000 + index // 100),
            "typ": pa.array(TYPES[typ]),
            "user": pa.array(np.char.add("user-", user.astype(str))),
        }
    )


def child(events):
    stream = kestrel.Stream(SESSION_PATTERN)
    matches = misses = 0
    started = time.perf_counter()
    for k in range(events // BATCH):
        matches += len(stream.push(batch(k)))
        misses += len(stream.near_misses())
    end = stream.flush()
    elapsed = time.perf_counter() - started
    matches += len(end.matches)
    misses += len(end.near_misses)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{peak_mb:.1f} {elapsed:.3f} {matches} {misses}")


def run_child(events):
    out = subprocess.run(
        [sys.executable, __file__, "--child", str(events)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    return float(out[0]), float(out[1]), int(out[2]), int(out[3])


def batch_call_check(events):
    """One match + explain over the whole log, timed, with the counts."""
    table = pa.Table.from_batches([batch(k) for k in range(events // BATCH)])
    started = time.perf_counter()
    matches = len(kestrel.match(SESSION_PATTERN, table))
    misses = len(kestrel.explain(SESSION_PATTERN, table))
    return time.perf_counter() - started, matches, misses


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", type=int)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    small, large = 1_000_000, 10_000_000
    peaks = {small: [], large: []}
    times = {small: [], large: []}
    counts = {}
    for _ in range(args.rounds):
        for events in (small, large):
            peak, elapsed, matches, misses = run_child(events)
            peaks[events].append(peak)
            times[events].append(elapsed)
            counts[events] = (matches, misses)
    call_time, matches, misses = batch_call_check(small)
    assert counts[small] == (matches, misses), (counts[small], matches, misses)
    for events in (small, large):
        print(
            f"stream {events:>10,} events: peak RSS {statistics.median(peaks[events]):7.1f} MB, "
            f"{statistics.median(times[events]):6.2f} s, matches/near misses {counts[events]}"
        )
    ratio = statistics.median(peaks[large]) / statistics.median(peaks[small])
    print(f"peak RSS 10M / 1M: {ratio:.2f}x (goal <= 1.5x)")
    per_event = statistics.median(times[small]) / small * 1e9
    print(
        f"1M events: stream {per_event:.0f} ns/event; one match + explain call "
        f"{call_time / small * 1e9:.0f} ns/event (same counts checked)"
    )


if __name__ == "__main__":
    main()
