"""Calls from several Python threads at once, on shared Pattern, Event and
table objects, give what serial calls give."""

from __future__ import annotations

import array
import random
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import TypeVar

import pytest

import kestrel._core as core
from kestrel._core import (
    Event,
    Pattern,
    match_events,
    near_miss_events,
    parse_pattern,
    pattern_from_json,
    sort_events,
)

THREADS = 8
ROUNDS = 30
T = TypeVar("T")


@pytest.fixture(autouse=True)
def frequent_switches() -> Iterator[None]:
    """Lets the interpreter switch threads between almost any two bytecodes."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_together(work: Callable[[int], T]) -> list[T]:
    """Runs work(k) on THREADS threads released at the same moment."""
    barrier = threading.Barrier(THREADS)
    results: list[T | None] = [None] * THREADS
    errors: list[BaseException] = []

    def body(k: int) -> None:
        barrier.wait()
        try:
            results[k] = work(k)
        except BaseException as error:  # reported below, in the test's thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results  # type: ignore[return-value]


RNG = random.Random(5)
EVENTS = sort_events(
    [
        Event(
            f"u{RNG.randrange(3)}\u00e9",
            i // 2,
            RNG.choice(["login", "purchase", "logout", "view"]),
            {
                "user": f"n{RNG.randrange(2)}",
                "amount": RNG.randrange(20) * 1.5,
                "ok": i % 2 == 0,
                "n": i,
                "z": None,
            },
        )
        for i in range(150)
    ]
)
PATTERN = parse_pattern(
    "login[user as $u] -[<=30, no logout[user == $u]]-> purchase[user == $u, amount > 10]"
)
BUILDER = (
    Pattern.event("login").capture("user", "$u").then("view", within=20).where_ref_eq("user", "u")
)
EXHAUSTIVE = pattern_from_json(
    PATTERN.to_json().replace("FirstSuccessorPerStart", "ExhaustivePerStart")
)
TS = array.array("q", [e.ts for e in EVENTS])
COLUMNS = (
    len(EVENTS),
    ("partition", "object", [e.partition for e in EVENTS]),
    ("ts", TS),
    ("typ", "object", [e.typ for e in EVENTS]),
    [
        (name, "object", [e.attrs.get(name) for e in EVENTS], None)
        for name in ("user", "amount", "ok", "n")
    ],
)
TABLE = core._table_from_columns(*COLUMNS)


def matches_of(found: list) -> list:
    return [
        (
            repr(m),
            m.partition,
            m.indices,
            m.start,
            m.end,
            m.types,
            m.captures,
            [(repr(e), e.attrs) for e in m.events],
        )
        for m in found
    ]


def misses_of(found: list) -> list:
    return [
        (
            repr(n),
            n.partition,
            n.start_index,
            n.indices,
            n.reached_steps,
            n.next_event_type,
            n.reason,
            n.detail,
            n.captures,
            [repr(e) for e in n.events],
        )
        for n in found
    ]


def everything() -> dict[str, object]:
    """Plain data from every kind of call, on the shared objects."""
    return {
        "compiled": matches_of(match_events(PATTERN, EVENTS)),
        "oracle": matches_of(match_events(PATTERN, EVENTS, use_oracle=True)),
        "exhaustive": matches_of(match_events(BUILDER, EVENTS, exhaustive=True)),
        "own consumption": matches_of(match_events(EXHAUSTIVE, EVENTS)),
        "near misses": misses_of(near_miss_events(PATTERN, EVENTS)),
        "sorted": [(repr(e), e.attrs) for e in sort_events(EVENTS[::-1])],
        "json": (PATTERN.to_json(), PATTERN.to_json(pretty=True), BUILDER.build().to_json()),
        "built": BUILDER.then("purchase", no="logout").where_gt("amount", 3).build().to_json(),
        "events": [(e.partition, e.ts, e.typ, e.attrs, repr(e)) for e in EVENTS],
        "reprs": (repr(PATTERN), repr(BUILDER)),
        "table match": matches_of(core._match(PATTERN, TABLE, False)),
        "table explain": misses_of(core._explain(PATTERN, TABLE)),
        "fresh tables": (
            matches_of(core._match(BUILDER, core._table_from_columns(*COLUMNS), True)),
            misses_of(core._explain(PATTERN, core._table_from_events(EVENTS[::-1]))),
        ),
    }


def test_concurrent_calls_equal_serial_calls() -> None:
    serial = everything()
    assert serial["compiled"] and serial["near misses"] and serial["exhaustive"]

    def work(_: int) -> list[str]:
        differing = []
        for _ in range(ROUNDS):
            got = everything()
            differing += [key for key in serial if got[key] != serial[key]]
        return differing

    assert run_together(work) == [[]] * THREADS


def test_threads_reading_a_dict_another_thread_changes() -> None:
    """Event() sees one whole state of the dict or refuses it."""
    states = [{"a": 1, "b": 2}, {"a": 1, "c": 3}, {"a": 1, "b": 2, "c": 3}]
    shared: dict = dict(states[0])
    stop = threading.Event()

    class Yielding:
        """An integer that lets other threads run while it is converted."""

        def __index__(self) -> int:
            time.sleep(0)
            return 1

    def changer() -> None:
        while not stop.is_set():
            for state in states:
                shared.clear()
                shared.update(state)
                shared["a"] = Yielding()

    def reader(_: int) -> list[dict]:
        seen = []
        for _ in range(ROUNDS * 10):
            try:
                seen.append(Event("p", 1, "a", shared).attrs)
            except RuntimeError:
                pass
        return seen

    thread = threading.Thread(target=changer)
    thread.start()
    try:
        results = run_together(reader)
    finally:
        stop.set()
        thread.join()
    # Between clear() and update() the dict is empty, a state too.
    assert all(attrs in states + [{}] for seen in results for attrs in seen)
    assert any(seen for seen in results)


def test_builders_shared_between_threads_stay_unchanged() -> None:
    expected = BUILDER.build().to_json()

    def work(k: int) -> list[str]:
        return [
            BUILDER.then(f"t{k}", within=r).where_eq("n", r).build().to_json()
            for r in range(ROUNDS)
        ]

    results = run_together(work)
    assert BUILDER.build().to_json() == expected
    for k, texts in enumerate(results):
        assert all(
            f'"event_type":"t{k}"' in text and f'"max_elapsed":{r}' in text
            for r, text in enumerate(texts)
        )


FIRST_USE = """
import threading
from kestrel._core import Event
events = [Event("p\\u00e9\\u0301", i, "t\\u200b") for i in range(8)]
barrier = threading.Barrier(8)
out = [None] * 8
def body(k):
    barrier.wait()
    out[k] = repr(events[k])
threads = [threading.Thread(target=body, args=(k,)) for k in range(8)]
[t.start() for t in threads]
[t.join() for t in threads]
print(sorted(set(r.split(", ts=")[0] for r in out)))
"""


def test_the_first_reprs_of_a_process_from_many_threads() -> None:
    """The Unicode tables the reprs use are loaded on first use."""
    done = subprocess.run(
        [sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "['Event(partition=\"p\u00e9\\\\u{301}\"']\n"
