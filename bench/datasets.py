"""The events of the engine benchmarks as pyarrow tables (columns partition,
ts, typ, user), drawn from the same pseudo-random stream as
bench_support.hpp's mix, so that the Python figures are over the very events
the C++ programs use."""

import pyarrow as pa

MASK = (1 << 64) - 1
TYPES = ("login", "purchase", "logout", "view")

SESSION_PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"
GROWTH_PATTERN = "login[user as $u] -[no logout[user == $u]]-> purchase[user == $u]"


def mix(seed, i):
    z = (seed + (i + 1) * 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def event_type(h):
    kind = h % 100
    return TYPES[0 if kind < 20 else 1 if kind < 45 else 2 if kind < 60 else 3]


def session_table(partitions=10_000, per_partition=100):
    """engine_bench.cpp's W1 events: four users per partition, one event in
    five by a user of the next partition, gaps of 1 to 30."""
    names = [f"account-{p:07d}" for p in range(partitions)]
    partition, ts, typ, user = [], [], [], []
    for p in range(partitions):
        now = 1_700_000_000 + p
        for i in range(per_partition):
            h = mix(1, p * per_partition + i)
            slot = (h >> 8) % 5
            owner, member = (p, slot) if slot < 4 else ((p + 1) % partitions, (h >> 16) % 4)
            partition.append(names[p])
            ts.append(now)
            typ.append(event_type(h))
            user.append(f"user-{owner * 4 + member:07d}")
            now += 1 + (h >> 24) % 30
    return pa.table({"partition": partition, "ts": ts, "typ": typ, "user": user})


def growth_table(count):
    """growth_bench.cpp's W5 events: one partition, count/10 users."""
    users = max(1, count // 10)
    typ, user = [], []
    for i in range(count):
        h = mix(5, i)
        typ.append(event_type(h))
        user.append(f"user-{(h >> 8) % users:07d}")
    return pa.table(
        {
            "partition": ["all"] * count,
            "ts": list(range(1_700_000_000, 1_700_000_000 + count)),
            "typ": typ,
            "user": user,
        }
    )
