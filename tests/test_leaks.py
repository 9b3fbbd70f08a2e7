"""Every entry point of the native modules, called 100,000 times, leaks nothing.

Each case is one call (a success path or one error path) repeated after a
warm-up; the figures taken before and after must stay flat. A leaked
reference shows in the reference counts of the objects involved or in the
interpreter's count of allocated blocks; a leaked engine record shows in the
C heap. RSS and tracemalloc figures are checked too.

The cases run in parallel worker processes (this file, run with --shard);
run it with no arguments to print the figures of every case.
"""

from __future__ import annotations

import array
import ctypes
import gc
import json
import os
import subprocess
import sys
import tracemalloc
from collections.abc import Callable, Iterator
from dataclasses import asdict, dataclass

import pytest

import kestrel._core as core
from kestrel._core import (
    Event,
    Match,
    NearMiss,
    Pattern,
    PatternBuilder,
    match_events,
    near_miss_events,
    parse_pattern,
    pattern_from_json,
    sort_events,
)

ITERATIONS = 100_000
WARM_UP = 2_000
# A per-call leak of one object adds ITERATIONS blocks or references and at
# least 16 bytes each; these bounds sit far below that and far above noise.
MAX_OBJECT_GROWTH = ITERATIONS // 100
MAX_BYTE_GROWTH = 512 * 1024
MAX_RSS_GROWTH = 2 * 1024 * 1024


def libc_heap_bytes() -> Callable[[], int] | None:
    """A reader of the bytes the C heap has handed out, or None. Under
    AddressSanitizer its allocator serves every malloc, and with
    PYTHONMALLOC=malloc every Python object too."""
    process = ctypes.CDLL(None)
    try:
        asan_allocated = process.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        pass
    else:
        asan_allocated.restype = ctypes.c_size_t
        return lambda: int(asan_allocated())
    try:
        mallinfo2 = process.mallinfo2
    except AttributeError:
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    mallinfo2.restype = MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return int(info.uordblks + info.hblkhd)

    return in_use


HEAP_BYTES = libc_heap_bytes()


def under_address_sanitizer() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# AddressSanitizer keeps freed memory in quarantine, so RSS only grows there.
RSS_IS_MEANINGFUL = not under_address_sanitizer()


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# The objects the calls work on


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Unconvertible:
    def __index__(self) -> int:
        raise ValueError("no index")

    def __float__(self) -> float:
        raise ValueError("no float")


class FailingSequence:
    def __len__(self) -> int:
        return 1

    def __getitem__(self, index: int) -> Event:
        raise ZeroDivisionError


class StrSub(str):
    pass


class DictSub(dict):  # type: ignore[type-arg]
    pass


EVENTS = [
    Event(
        "p\u00e9",
        10**12 + i,
        "abc"[i % 3],
        {"n": 10**12 + i, "f": i / 2, "s": f"v{i}", "b": i % 2 == 0, "z": None},
    )
    for i in range(9)
]
UNSORTED = EVENTS[::-1]
EVENT = EVENTS[4]
ATTRS = {"n": 10**12, "f": 1.5, "s": "text", "b": True, "z": None, "i": Index(10**12)}
BUILDER = Pattern.event("a").where_eq("b", True).then("b", within=10**12).then("c", no="x")
PATTERN = parse_pattern("a[n > 0, s as $s] -[<=1000000000000, no x]-> b[n > 0] -> c")
EXHAUSTIVE = pattern_from_json(
    PATTERN.to_json().replace("FirstSuccessorPerStart", "ExhaustivePerStart")
)
MATCH = match_events(PATTERN, EVENTS)[0]
DETAIL_PATTERNS = {
    "predicate_failed": parse_pattern("a[s as $s] -> b[n < 0, s == $s, f as $s]"),
    "absence_blocked": Pattern.event("a").then("c", no="b").build(),
    "window_exceeded": Pattern.event("a").then("b", within=0).build(),
    "no_successor": Pattern.event("c").then("q").build(),
}
NEAR_MISSES = {kind: near_miss_events(p, EVENTS)[0] for kind, p in DETAIL_PATTERNS.items()}
NEAR_MISS = NEAR_MISSES["predicate_failed"]
JSON_TEXT = PATTERN.to_json(pretty=True)
LENGTH = len(EVENTS)
TS = array.array("q", [e.ts for e in EVENTS])
COLUMNS = (
    LENGTH,
    ("partition", "object", [e.partition for e in EVENTS]),
    ("ts", TS),
    ("typ", "object", [e.typ for e in EVENTS]),
    [
        ("n", "int", TS, memoryview(bytes([0, 1] * 4 + [0])).cast("?")),
        ("f", "float", array.array("d", [0.5] * LENGTH), None),
        ("b", "bool", memoryview(bytes([1, 0] * 4 + [1])).cast("?"), None),
        ("s", "object", [f"v{i}" if i % 2 else i for i in range(LENGTH)], None),
    ],
)
TABLE = core._table_from_columns(*COLUMNS)
UNSORTED_TABLE = core._table_from_events(UNSORTED)


def replaced(columns: tuple[object, ...], at: int, replacement: object) -> tuple[object, ...]:
    changed = list(columns)
    changed[at] = replacement
    return tuple(changed)


# ---------------------------------------------------------------------------
# The cases

Call = Callable[[], object]


@dataclass(frozen=True)
class Case:
    name: str
    call: Call
    # The exception this path must raise, or None for a success path.
    raises: type[BaseException] | None = None


def ok(name: str, call: Call) -> Case:
    return Case(name, call)


def fails(name: str, error: type[BaseException], call: Call) -> Case:
    return Case(name, call, error)


def event_cases() -> Iterator[Case]:
    yield ok("Event()", lambda: Event("p", 10**12, "a"))
    yield ok("Event(attrs)", lambda: Event("p", Index(10**12), "a", ATTRS))
    yield ok(
        "Event(keywords, subclasses)",
        lambda: Event(attrs=DictSub(k=2**64), typ=StrSub("t"), ts=True, partition="p"),
    )
    yield ok("Event.partition", lambda: EVENT.partition)
    yield ok("Event.ts", lambda: EVENT.ts)
    yield ok("Event.typ", lambda: EVENT.typ)
    yield ok("Event.attrs", lambda: EVENT.attrs)
    yield ok("repr(Event)", lambda: repr(EVENT))
    yield fails("Event(bad partition)", TypeError, lambda: Event(1, 1, "a"))
    yield fails("Event(float ts)", TypeError, lambda: Event("p", 1.5, "a"))
    yield fails("Event(ts overflow)", OverflowError, lambda: Event("p", 2**63, "a"))
    yield fails("Event(bad typ)", TypeError, lambda: Event("p", 1, b"a"))
    yield fails("Event(attrs list)", TypeError, lambda: Event("p", 1, "a", [1]))
    yield fails("Event(attrs key)", TypeError, lambda: Event("p", 1, "a", {1: 1}))
    yield fails("Event(attrs value)", TypeError, lambda: Event("p", 1, "a", {"x": [1]}))
    yield fails(
        "Event(failing hooks)", TypeError, lambda: Event("p", 1, "a", {"x": Unconvertible()})
    )
    yield fails("Event(surrogate)", UnicodeEncodeError, lambda: Event("\ud800", 1, "a"))
    yield fails("Event(missing)", TypeError, lambda: Event("p"))
    yield fails("Event(too many)", TypeError, lambda: Event("p", 1, "a", None, 5))
    yield fails("Event(unknown keyword)", TypeError, lambda: Event("p", 1, "a", x=1))
    yield fails("Event(repeated)", TypeError, lambda: Event("p", 1, "a", ts=2))


def builder_cases() -> Iterator[Case]:
    yield ok("Pattern.event", lambda: Pattern.event("a"))
    for method in ("where_eq", "where_ne", "where_gt", "where_gte", "where_lt", "where_lte"):
        yield ok(
            f"PatternBuilder.{method}", lambda method=method: getattr(BUILDER, method)("n", 10**12)
        )
    yield ok("PatternBuilder.capture", lambda: BUILDER.capture("s", " $s "))
    yield ok("PatternBuilder.where_ref_eq", lambda: BUILDER.where_ref_eq("s", "$s"))
    yield ok("PatternBuilder.then", lambda: BUILDER.then("d", within=Index(5), no="e"))
    yield ok("PatternBuilder.build", lambda: BUILDER.build())
    yield ok("repr(PatternBuilder)", lambda: repr(BUILDER))
    yield ok("repr(Pattern)", lambda: repr(PATTERN))
    yield ok("Pattern.to_json", lambda: PATTERN.to_json())
    yield ok("Pattern.to_json(pretty)", lambda: PATTERN.to_json(pretty=True))
    yield fails("Pattern.event(bad typ)", TypeError, lambda: Pattern.event(1))
    yield fails("Pattern.event(keyword)", TypeError, lambda: Pattern.event(typ="a", kind="b"))
    yield fails("then(bad within)", TypeError, lambda: BUILDER.then("b", within=1.5))
    yield fails("then(within overflow)", OverflowError, lambda: BUILDER.then("b", within=-(2**70)))
    yield fails("then(bad no)", TypeError, lambda: BUILDER.then("b", no=1))
    yield fails("where_eq(bad attribute)", TypeError, lambda: BUILDER.where_eq(1, "v"))
    yield fails("where_eq(bad value)", TypeError, lambda: BUILDER.where_eq("x", [1]))
    yield fails("capture(bad name)", TypeError, lambda: BUILDER.capture("x", None))
    yield fails("where_ref_eq(missing)", TypeError, lambda: BUILDER.where_ref_eq("x"))
    yield fails("build(extra)", TypeError, lambda: BUILDER.build(1))
    yield fails("to_json(None)", TypeError, lambda: PATTERN.to_json(None))
    yield fails("Pattern()", TypeError, lambda: Pattern())
    yield fails("PatternBuilder()", TypeError, lambda: PatternBuilder())


def matching_cases() -> Iterator[Case]:
    yield ok("sort_events", lambda: sort_events(UNSORTED))
    yield ok("sort_events(tuple)", lambda: sort_events(tuple(UNSORTED)))
    yield ok("match_events", lambda: match_events(PATTERN, EVENTS))
    yield ok(
        "match_events(builder, exhaustive)", lambda: match_events(BUILDER, EVENTS, exhaustive=True)
    )
    yield ok("match_events(oracle)", lambda: match_events(EXHAUSTIVE, EVENTS, use_oracle=True))
    yield ok("Match.partition", lambda: MATCH.partition)
    yield ok("Match.indices", lambda: MATCH.indices)
    yield ok("Match.start", lambda: MATCH.start)
    yield ok("Match.end", lambda: MATCH.end)
    yield ok("Match.types", lambda: MATCH.types)
    yield ok("Match.events", lambda: MATCH.events)
    yield ok("Match.captures", lambda: MATCH.captures)
    yield ok("repr(Match)", lambda: repr(MATCH))
    yield fails("Match()", TypeError, lambda: Match())
    yield fails("sort_events(str)", TypeError, lambda: sort_events("abc"))
    yield fails("sort_events(not a sequence)", TypeError, lambda: sort_events(5))
    yield fails("sort_events(not an Event)", TypeError, lambda: sort_events([EVENT, None]))
    yield fails("sort_events(too many)", TypeError, lambda: sort_events([], []))
    yield fails("match_events(missing)", TypeError, lambda: match_events(PATTERN))
    yield fails("match_events(unsorted)", ValueError, lambda: match_events(PATTERN, UNSORTED))
    yield fails("match_events(not a pattern)", TypeError, lambda: match_events("a -> b", EVENTS))
    yield fails(
        "match_events(exhaustive=None)",
        TypeError,
        lambda: match_events(PATTERN, EVENTS, exhaustive=None),
    )
    yield fails(
        "match_events(use_oracle=1)", TypeError, lambda: match_events(PATTERN, EVENTS, use_oracle=1)
    )
    yield fails(
        "match_events(failing sequence)",
        ZeroDivisionError,
        lambda: match_events(PATTERN, FailingSequence()),
    )


def text_cases() -> Iterator[Case]:
    yield ok("parse_pattern", lambda: parse_pattern('a[s == "\u00e9", n >= 1.5] -[<=5]-> b'))
    yield ok("pattern_from_json", lambda: pattern_from_json(JSON_TEXT))
    yield fails("parse_pattern(empty)", ValueError, lambda: parse_pattern(""))
    yield fails("parse_pattern(malformed)", ValueError, lambda: parse_pattern("a -[<=x]-> b"))
    yield fails("parse_pattern(bytes)", TypeError, lambda: parse_pattern(b"a"))
    yield fails("parse_pattern(surrogate)", UnicodeEncodeError, lambda: parse_pattern("a\udc00"))
    yield fails("pattern_from_json(malformed)", ValueError, lambda: pattern_from_json("{"))
    yield fails(
        "pattern_from_json(structure)",
        ValueError,
        lambda: pattern_from_json('{"steps":[],"consumption":"FirstSuccessorPerStart"}'),
    )
    yield fails("pattern_from_json(bytes)", TypeError, lambda: pattern_from_json(b"{}"))
    yield fails("pattern_from_json(keyword)", TypeError, lambda: pattern_from_json(text="{}"))


def near_miss_cases() -> Iterator[Case]:
    yield ok(
        "near_miss_events", lambda: near_miss_events(DETAIL_PATTERNS["predicate_failed"], EVENTS)
    )
    for kind, miss in NEAR_MISSES.items():
        yield ok(f"NearMiss.detail ({kind})", lambda miss=miss: miss.detail)
    yield ok("NearMiss.partition", lambda: NEAR_MISS.partition)
    yield ok("NearMiss.start_index", lambda: NEAR_MISS.start_index)
    yield ok("NearMiss.indices", lambda: NEAR_MISS.indices)
    yield ok("NearMiss.reached_steps", lambda: NEAR_MISS.reached_steps)
    yield ok("NearMiss.next_event_type", lambda: NEAR_MISS.next_event_type)
    yield ok("NearMiss.reason", lambda: NEAR_MISS.reason)
    yield ok("NearMiss.events", lambda: NEAR_MISS.events)
    yield ok("NearMiss.captures", lambda: NEAR_MISS.captures)
    yield ok("repr(NearMiss)", lambda: repr(NEAR_MISS))
    yield fails("NearMiss()", TypeError, lambda: NearMiss())
    yield fails("near_miss_events(unsorted)", ValueError, lambda: near_miss_events(None, UNSORTED))
    yield fails("near_miss_events(not a pattern)", TypeError, lambda: near_miss_events(1, EVENTS))
    yield fails(
        "near_miss_events(not a sequence)", TypeError, lambda: near_miss_events(PATTERN, EVENT)
    )


def table_cases() -> Iterator[Case]:
    yield ok("_table_from_events", lambda: core._table_from_events(UNSORTED))
    yield ok("_table_from_columns", lambda: core._table_from_columns(*COLUMNS))
    yield ok("_match(table)", lambda: list(core._match(PATTERN, TABLE, False)))
    yield ok(
        "_match(unsorted table, exhaustive)", lambda: core._match(BUILDER, UNSORTED_TABLE, True)
    )
    yield ok(
        "_explain(table)", lambda: list(core._explain(DETAIL_PATTERNS["predicate_failed"], TABLE))
    )
    yield ok(
        "_explain(unsorted table)",
        lambda: core._explain(DETAIL_PATTERNS["absence_blocked"], UNSORTED_TABLE),
    )
    yield ok("repr(EventTable)", lambda: repr(TABLE))
    yield ok("_EventTable.types and .time", lambda: (TABLE.types, TABLE.time))
    yield ok("_Results.take, .kind, [-1]", lambda: core._match(PATTERN, TABLE).take([0, 0]).kind)
    yield ok(
        "_Results[-1]",
        lambda: core._explain(DETAIL_PATTERNS["absence_blocked"], UNSORTED_TABLE)[-1],
    )
    yield fails("_Results[len]", IndexError, lambda: core._match(PATTERN, TABLE)[10**6])
    yield ok("len(EventTable)", lambda: len(TABLE))
    yield fails("EventTable()", TypeError, lambda: type(TABLE)())
    yield fails("_table_from_events(not an Event)", TypeError, lambda: core._table_from_events([1]))
    yield fails(
        "from_columns(negative length)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 0, -1)),
    )
    yield fails(
        "from_columns(wrong length)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 0, LENGTH - 1)),
    )
    yield fails(
        "from_columns(ts format)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 2, ("ts", array.array("d", TS)))),
    )
    yield fails(
        "from_columns(ts not a buffer)",
        TypeError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 2, ("ts", list(TS)))),
    )
    yield fails(
        "from_columns(key not a list)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 1, ("p", "object", ("p",) * LENGTH))),
    )
    yield fails(
        "from_columns(null key)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 3, ("t", "object", [None] * LENGTH))),
    )
    yield fails(
        "from_columns(key not text)",
        TypeError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 3, ("t", "object", [1] * LENGTH))),
    )
    yield fails(
        "from_columns(mask length)",
        ValueError,
        lambda: core._table_from_columns(
            *replaced(COLUMNS, 4, [("n", "int", TS, memoryview(b"\0").cast("?"))])
        ),
    )
    yield fails(
        "from_columns(unknown kind)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 4, [("n", "text", TS, None)])),
    )
    yield fails(
        "from_columns(bad cell)",
        TypeError,
        lambda: core._table_from_columns(
            *replaced(COLUMNS, 4, [("n", "object", [[]] * LENGTH, None)])
        ),
    )
    yield fails(
        "from_columns(repeated attribute)",
        ValueError,
        lambda: core._table_from_columns(*replaced(COLUMNS, 4, [("n", "int", TS, None)] * 2)),
    )
    yield fails("_match(not a table)", TypeError, lambda: core._match(PATTERN, EVENTS, False))
    yield fails("_match(not a pattern)", TypeError, lambda: core._match("a", TABLE, False))
    yield fails("_explain(not a table)", TypeError, lambda: core._explain(PATTERN, None))
    yield ok("_Stream push, near_misses, flush", stream_through)
    yield fails("_Stream.push(after flush)", ValueError, lambda: stream_through().push(TABLE))


def stream_through() -> core._Stream:
    stream = core._stream(DETAIL_PATTERNS["absence_blocked"], False, True, False, 2)
    list(stream.push(TABLE))
    list(stream.near_misses())
    list(stream.end())
    list(stream.flush())
    return stream


CASES = [
    *event_cases(),
    *builder_cases(),
    *matching_cases(),
    *text_cases(),
    *near_miss_cases(),
    *table_cases(),
]

# Objects whose reference counts a leaked reference would raise.
WATCHED: tuple[object, ...] = (
    None,
    True,
    False,
    EVENT,
    EVENTS,
    UNSORTED,
    ATTRS,
    BUILDER,
    PATTERN,
    EXHAUSTIVE,
    MATCH,
    NEAR_MISS,
    TABLE,
    UNSORTED_TABLE,
    TS,
    COLUMNS,
    Event,
    Pattern,
    PatternBuilder,
    Match,
    NearMiss,
    type(TABLE),
    *EVENTS,
    *ATTRS.values(),
    *COLUMNS[4],
)


# ---------------------------------------------------------------------------
# Measuring


@dataclass(frozen=True)
class Figures:
    blocks: int
    traced: int
    heap: int
    rss: int
    references: tuple[int, ...]


def figures(watched: tuple[object, ...]) -> Figures:
    gc.collect()
    return Figures(
        blocks=sys.getallocatedblocks(),
        traced=tracemalloc.get_traced_memory()[0],
        heap=HEAP_BYTES() if HEAP_BYTES else 0,
        rss=rss_bytes(),
        references=tuple(sys.getrefcount(item) for item in watched),
    )


@dataclass(frozen=True)
class Growth:
    blocks: int
    traced: int
    heap: int
    rss: int
    references: int  # the largest growth of one watched object

    def __str__(self) -> str:
        return (
            f"blocks {self.blocks:+d}, tracemalloc {self.traced:+d} B, "
            f"heap {self.heap:+d} B, RSS {self.rss:+d} B, references {self.references:+d}"
        )


def repeat(case: Case, times: int) -> None:
    call, error = case.call, case.raises
    if error is None:
        for _ in range(times):
            call()
        return
    for _ in range(times):
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"{case.name} did not raise {error.__name__}")


def parts(result: object) -> tuple[object, ...]:
    """A call's result and the items it holds: cached objects (small ints,
    one-character texts) only show a leaked reference in their counts."""
    if isinstance(result, dict):
        return (result, *result.keys(), *result.values())
    if isinstance(result, (list, tuple)):
        return (result, *result)
    return (result,)


def growth(case: Case, iterations: int = ITERATIONS) -> Growth:
    tracemalloc.start()
    try:
        repeat(case, WARM_UP)
        watched = WATCHED + (parts(case.call()) if case.raises is None else ())
        before = figures(watched)
        repeat(case, iterations)
        after = figures(watched)
    finally:
        tracemalloc.stop()
    return Growth(
        blocks=after.blocks - before.blocks,
        traced=after.traced - before.traced,
        heap=after.heap - before.heap,
        rss=after.rss - before.rss,
        references=max(a - b for a, b in zip(after.references, before.references)),
    )


WORKERS = max(1, min(2, os.cpu_count() or 1))


def run_shard(shard: int, shards: int) -> None:
    """Prints the growth of every `shards`-th case as one JSON line each."""
    for case in CASES[shard::shards]:
        print(json.dumps({"case": case.name, **asdict(growth(case))}), flush=True)


@pytest.fixture(scope="module")
def growth_by_case() -> dict[str, Growth]:
    """Runs the cases in parallel worker processes, which inherit this
    process's environment and so import the same package."""
    workers = [
        subprocess.Popen(
            [sys.executable, __file__, "--shard", str(shard), str(WORKERS)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for shard in range(WORKERS)
    ]
    found: dict[str, Growth] = {}
    for worker in workers:
        out, err = worker.communicate()
        assert worker.returncode == 0, f"leak worker failed ({worker.returncode}):\n{err}"
        for line in out.splitlines():
            record = json.loads(line)
            name = record.pop("case")
            found[name] = Growth(**record)
    return found


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_repeated_calls_leak_nothing(case: Case, growth_by_case: dict[str, Growth]) -> None:
    found = growth_by_case[case.name]
    assert found.blocks < MAX_OBJECT_GROWTH, found
    assert found.references < MAX_OBJECT_GROWTH, found
    assert found.traced < MAX_BYTE_GROWTH, found
    assert found.heap < MAX_BYTE_GROWTH, found
    if RSS_IS_MEANINGFUL:
        assert found.rss < MAX_RSS_GROWTH, found


def test_every_public_callable_and_property_is_exercised() -> None:
    names = " ".join(case.name for case in CASES)
    for cls in (Event, Pattern, PatternBuilder, Match, NearMiss):
        for attribute in vars(cls):
            if not attribute.startswith("_"):
                assert f"{cls.__name__}.{attribute}" in names, attribute
    for function in (
        sort_events,
        match_events,
        near_miss_events,
        parse_pattern,
        pattern_from_json,
        core._table_from_events,
        core._table_from_columns,
        core._match,
        core._explain,
    ):
        assert function.__name__ in names
    assert all(miss.reason == kind for kind, miss in NEAR_MISSES.items())
    failures = NEAR_MISS.detail["failures"]
    assert [failure["type"] for failure in failures] == ["predicate", "reference", "capture"]


if __name__ == "__main__":
    if sys.argv[1:2] == ["--shard"]:
        run_shard(int(sys.argv[2]), int(sys.argv[3]))
    else:
        for each in CASES:
            print(f"{each.name:40} {growth(each)}")
