"""Peak memory of matching ten million events, stage by stage.

Each scenario runs in a fresh interpreter. Before every stage the kernel's
peak-RSS mark is reset (/proc/self/clear_refs), so a stage's peak is its
own. The size of one engine copy of the events is measured directly: the
memory a `kestrel._columnar` table of them keeps. Each stage's growth is
then also given in engine copies, which shows how often the stage copies
the events:

  events   Event objects -> match_events: one copy for the call (the
           engine needs the records contiguous), none in the matcher.
           sort_events: one copy, then new Event objects take the texts
           over by move. near_miss_events: one copy, as match_events.
  columns  from_columns builds the one copy straight from the columns;
           match and explain over the table copy nothing. Unsorted
           columns: the sort moves the records into place (texts and
           attributes move, only the fixed-size part is written twice).
"""

from __future__ import annotations

import argparse
import array
import ctypes
import gc
import os
import random
import re
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

import kestrel._core as core
from kestrel._core import Event, match_events, near_miss_events, parse_pattern, sort_events

PARTITIONS = 10_000
TYPES = ["a", "b", "c"]
# Few matches, so the figures are the input's, not the results'.
PATTERN = "a[i < 1000] -[<=5]-> b"


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        found = re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.MULTILINE)
    assert found, field
    return int(found.group(1))


def release_free_memory() -> None:
    """Hands memory freed by earlier stages back to the kernel, so that the
    next stage's growth is not hidden by reuse."""
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


class Stages:
    """Runs stages and prints, for each, resident memory kept and peak."""

    def __init__(self, events: int) -> None:
        self.events = events
        self.copy_bytes = 0  # one engine copy, once measured

    def run(self, name: str, stage: Callable[[], Any]) -> Any:
        release_free_memory()
        before = status_kib("VmRSS")
        reset_peak()
        start = time.perf_counter()
        result = stage()
        seconds = time.perf_counter() - start
        peak = status_kib("VmHWM") - before
        kept = status_kib("VmRSS") - before
        copies = f"{peak * 1024 / self.copy_bytes:5.2f}" if self.copy_bytes else "    -"
        print(
            f"  {name:38} {seconds:6.1f} s  peak +{peak / 1024:7.0f} MiB"
            f" ({peak * 1024 / self.events:4.0f} B/event, {copies} copies)"
            f"  kept +{kept / 1024:7.0f} MiB"
        )
        return result

    def measure_copy(self, make_table: Callable[[], Any]) -> Any:
        release_free_memory()
        before = status_kib("VmRSS")
        table = make_table()
        gc.collect()
        self.copy_bytes = (status_kib("VmRSS") - before) * 1024
        print(
            f"  one engine copy: {self.copy_bytes / 2**20:.0f} MiB"
            f" ({self.copy_bytes / self.events:.0f} B/event)"
        )
        return table


def timestamps(count: int) -> list[int]:
    per_partition = count // PARTITIONS
    return [i % per_partition for i in range(count)]


def partition_names(count: int) -> list[str]:
    names = [f"tenant-{p:05d}" for p in range(PARTITIONS)]
    per_partition = count // PARTITIONS
    return [names[i // per_partition] for i in range(count)]


def types(count: int) -> list[str]:
    rng = random.Random(7)
    return [rng.choice(TYPES) for _ in range(count)]


def events_scenario(count: int) -> None:
    stages = Stages(count)
    parts, ts, typs = partition_names(count), timestamps(count), types(count)
    pattern = parse_pattern(PATTERN)
    events = stages.run(
        "build Event objects",
        lambda: [Event(p, t, typ, {"i": i}) for i, (p, t, typ) in enumerate(zip(parts, ts, typs))],
    )
    del parts, ts, typs
    table = stages.measure_copy(lambda: core._table_from_events(events))
    del table
    found = stages.run("match_events", lambda: match_events(pattern, events))
    print(f"    {len(found):,} matches")
    stages.run("near_miss_events", lambda: len(near_miss_events(pattern, events[: count // 10])))
    print("    (on the first tenth of the events)")
    shuffled = events[::-1]
    stages.run("sort_events (reversed input)", lambda: len(sort_events(shuffled)))


def column_data(count: int) -> tuple[Any, ...]:
    ts = array.array("q", timestamps(count))
    return (
        count,
        ("partition", "object", partition_names(count)),
        ("ts", ts),
        ("typ", "object", types(count)),
        [("i", "int", array.array("q", range(count)), None)],
    )


def reversed_columns(columns: tuple[Any, ...]) -> tuple[Any, ...]:
    count, (pn, pk, pv), (tn, tv), (yn, yk, yv), [(an, ak, av, am)] = columns
    return (
        count,
        (pn, pk, pv[::-1]),
        (tn, array.array("q", tv[::-1])),
        (yn, yk, yv[::-1]),
        [(an, ak, array.array("q", av[::-1]), am)],
    )


def columns_scenario(count: int) -> None:
    stages = Stages(count)
    pattern = parse_pattern(PATTERN)
    columns = stages.run("build columns", lambda: column_data(count))
    table = stages.measure_copy(lambda: core._table_from_columns(*columns))
    del table
    table = stages.run("from_columns", lambda: core._table_from_columns(*columns))
    found = stages.run("match over the table", lambda: core._match(pattern, table, False))
    print(f"    {len(found):,} matches")
    stages.run("explain over the table", lambda: len(core._explain(pattern, table)))
    del table
    backwards = reversed_columns(columns)
    del columns
    stages.run("from_columns (reversed input)", lambda: len(core._table_from_columns(*backwards)))


SCENARIOS = {"events": events_scenario, "columns": columns_scenario}


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--events", type=int, default=10_000_000)
    parser.add_argument("--scenario", choices=SCENARIOS)
    args = parser.parse_args()
    if args.scenario:
        SCENARIOS[args.scenario](args.events)
        return
    print(f"{args.events:,} events in {PARTITIONS:,} partitions, pattern {PATTERN}")
    for name in SCENARIOS:
        print(f"{name}:", flush=True)
        subprocess.run(
            [sys.executable, __file__, "--events", str(args.events), "--scenario", name],
            check=True,
            env=os.environ,
        )


if __name__ == "__main__":
    main()
