"""End-to-end throughput of match_events from Python Event objects.

1,000,000 events in 10,000 partitions, five users per partition, matched
with the login-then-purchase pattern in both consumption modes. Prints
events/s for the call alone (events built beforehand) and, separately,
the cost of building the Event objects.
"""

import argparse
import random
import time

from kestrel import Event, match_events, parse_pattern, sort_events

PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"
TYPES = ["login", "view", "view", "view", "purchase", "logout"]


def make_rows(count, partitions, seed=7):
    rng = random.Random(seed)
    per_partition = count // partitions
    rows = []
    for p in range(partitions):
        ts = 0
        name = f"tenant-{p:05d}"
        for _ in range(per_partition):
            ts += rng.randrange(0, 60)
            rows.append((name, ts, rng.choice(TYPES), {"user": f"u{rng.randrange(5)}"}))
    return rows


def best_of(repeats, call):
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--partitions", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    rows = make_rows(args.events, args.partitions)
    start = time.perf_counter()
    events = [Event(*row) for row in rows]
    built = time.perf_counter() - start
    events = sort_events(events)
    pattern = parse_pattern(PATTERN)
    print(f"{len(events):,} events in {args.partitions:,} partitions")
    print(f"building Event objects: {len(events) / built / 1e6:.2f} M events/s")
    for exhaustive in (False, True):
        mode = "exhaustive" if exhaustive else "first-successor"
        seconds, matches = best_of(
            args.repeats, lambda: match_events(pattern, events, exhaustive=exhaustive)
        )
        print(
            f"match_events end to end, {mode:15}: {len(events) / seconds / 1e6:6.2f} M events/s "
            f"({seconds * 1e3:.0f} ms, {len(matches):,} matches)"
        )


if __name__ == "__main__":
    main()
