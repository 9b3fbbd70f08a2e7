"""Large inputs: patterns of 100,000 steps, JSON nested 10,000 deep, long
texts and many events give clean results or clean messages, never a stack
overflow. Memory figures for ten million events are in bench/bench_memory.py."""

from __future__ import annotations

import array
import json
import signal
import subprocess
import sys
import time

import pytest

import kestrel._core as core
from kestrel._core import (
    Event,
    Pattern,
    match_events,
    near_miss_events,
    parse_pattern,
    pattern_from_json,
)

STEPS = 100_000
DEEP = 10_000
# Events that go a little way along the long chain: the compiled matcher and
# the near-miss search work on them in well under a second.
PARTIAL = 2_000


def chain_json(steps: int) -> str:
    """A pattern t0 -> t1 -> ... whose every step has a distinct type."""

    def atom(typ: str) -> dict[str, object]:
        return {"event_type": typ, "predicates": [], "reference_predicates": [], "captures": []}

    return json.dumps(
        {
            "steps": [
                {
                    "atom": atom(f"t{i}"),
                    "transition_from_previous": None
                    if i == 0
                    else {"max_elapsed": None, "absence": []},
                }
                for i in range(steps)
            ],
            "consumption": "FirstSuccessorPerStart",
        }
    )


@pytest.fixture(scope="module")
def long_json() -> str:
    return chain_json(STEPS)


@pytest.fixture(scope="module")
def long_pattern(long_json: str) -> Pattern:
    return pattern_from_json(long_json)


@pytest.fixture(scope="module")
def chain_events() -> list[Event]:
    return [Event("p", i, f"t{i}") for i in range(STEPS)]


def test_a_pattern_of_100000_steps_round_trips_through_json(
    long_json: str, long_pattern: Pattern
) -> None:
    assert repr(long_pattern) == f"Pattern(steps={STEPS})"
    compact = long_pattern.to_json()
    # json.dumps puts a space after each separator; the writer does not.
    assert compact == long_json.replace(", ", ",").replace(": ", ":")
    assert pattern_from_json(compact).to_json() == compact
    assert pattern_from_json(long_pattern.to_json(pretty=True)).to_json() == compact


def test_a_pattern_of_100000_steps_matches_its_whole_chain(
    long_pattern: Pattern, chain_events: list[Event]
) -> None:
    for use_oracle in (False, True):
        [found] = match_events(long_pattern, chain_events, use_oracle=use_oracle)
        assert found.indices == list(range(STEPS))
        assert (found.start, found.end, found.types[-1]) == (0, STEPS - 1, f"t{STEPS - 1}")
    table = core._table_from_events(chain_events)
    [found] = core._match(long_pattern, table, False)
    assert found.indices == list(range(STEPS))


def test_a_pattern_of_100000_steps_explains_a_partial_chain(
    long_pattern: Pattern, chain_events: list[Event]
) -> None:
    partial = chain_events[:PARTIAL]
    assert match_events(long_pattern, partial) == []
    assert match_events(long_pattern, partial, exhaustive=True, use_oracle=True) == []
    [miss] = near_miss_events(long_pattern, partial)
    assert (miss.reached_steps, miss.next_event_type, miss.reason) == (
        PARTIAL,
        f"t{PARTIAL}",
        "no_successor",
    )
    assert miss.indices == list(range(PARTIAL))
    [same] = core._explain(long_pattern, core._table_from_events(partial[::-1]))
    assert (same.start_index, same.indices) == (PARTIAL - 1, list(range(PARTIAL - 1, -1, -1)))


def test_100000_steps_of_pattern_text_parse(long_pattern: Pattern) -> None:
    text = " -> ".join(f"t{i}" for i in range(STEPS))
    assert parse_pattern(text).to_json() == long_pattern.to_json()
    windowed = " -[<=5, no x]-> ".join(f't{i}[v == "{i}", v as $v{i % 7}]' for i in range(STEPS))
    assert repr(parse_pattern(windowed)) == f"Pattern(steps={STEPS})"


def test_long_builder_chains_stay_correct() -> None:
    builder = Pattern.event("t0")
    for i in range(1, 2_000):
        builder = builder.then(f"t{i}", within=1)
    events = [Event("p", i, f"t{i}") for i in range(2_000)]
    [found] = match_events(builder, events)
    assert len(found.indices) == 2_000


def nested(depth: int, opener: str = "[", closer: str = "]", inner: str = "") -> str:
    return opener * depth + inner + closer * depth


BASE = json.loads(Pattern.event("a").where_eq("x", 1).then("b").build().to_json())


def document_with(path: list[object], value: str) -> str:
    """The base pattern document with `value` (JSON text) at `path`."""
    document = json.loads(json.dumps(BASE))
    target = document
    for key in path[:-1]:
        target = target[key]
    target[path[-1]] = "HOLE"
    return json.dumps(document).replace('"HOLE"', value)


DEEP_DOCUMENTS = {
    "the whole document": nested(DEEP),
    "an unknown key": document_with(["extra"], nested(DEEP)),
    "an unknown key, objects": document_with(["extra"], nested(DEEP, '{"k":', "}", "1")),
    "steps": document_with(["steps"], nested(DEEP)),
    "an atom": document_with(["steps", 0, "atom"], nested(DEEP, '{"a":', "}", "1")),
    "a predicate value": document_with(
        ["steps", 0, "atom", "predicates", 0, "value"], nested(DEEP)
    ),
    "a transition": document_with(["steps", 1, "transition_from_previous"], nested(DEEP)),
    "consumption": document_with(["consumption"], nested(DEEP)),
    "unclosed": "[" * DEEP,
}


@pytest.mark.parametrize("text", DEEP_DOCUMENTS.values(), ids=DEEP_DOCUMENTS.keys())
def test_json_nested_10000_deep_is_refused_cleanly(text: str) -> None:
    with pytest.raises(ValueError, match="^recursion limit exceeded at line 1 column "):
        pattern_from_json(text)


def test_nesting_below_the_limit_is_read() -> None:
    # The document and the value of an unknown key make 1 + 127 levels.
    assert repr(pattern_from_json(document_with(["extra"], nested(127)))) == "Pattern(steps=2)"
    with pytest.raises(ValueError, match="^recursion limit exceeded"):
        pattern_from_json(document_with(["extra"], nested(128)))


@pytest.mark.parametrize(
    "text",
    [
        "a" + nested(DEEP, inner="x == 1"),
        "a -" + nested(DEEP, inner="<=1") + "-> b",
        "a" + "[" * DEEP,
        " -> ".join(["a"] * DEEP) + " ->",
    ],
)
def test_deeply_bracketed_pattern_text_is_refused_cleanly(text: str) -> None:
    with pytest.raises(ValueError):
        parse_pattern(text)


@pytest.mark.parametrize(
    "text, event_type",
    [
        (nested(DEEP, "(", ")", "a"), nested(DEEP, "(", ")", "a")),
        ("]" * DEEP + "a", "]" * DEEP + "a"),
        ('a[x == "' + "\\" * DEEP + '"]', "a"),
    ],
)
def test_long_runs_of_punctuation_are_read_as_text(text: str, event_type: str) -> None:
    steps = json.loads(parse_pattern(text).to_json())["steps"]
    assert steps[0]["atom"]["event_type"] == event_type


def test_many_events_through_both_modules() -> None:
    rows = 200_000
    events = [Event("p", i, "ab"[i % 2], {"i": i}) for i in range(rows)]
    pattern = Pattern.event("a").capture("i", "i").then("b", within=1).build()
    found = match_events(pattern, events)
    assert len(found) == rows // 2
    assert found[-1].indices == [rows - 2, rows - 1]
    ts = array.array("q", range(rows))
    table = core._table_from_columns(
        rows,
        ("p", "object", ["p"] * rows),
        ("ts", ts),
        ("t", "object", [e.typ for e in events]),
        [("i", "int", ts, None)],
    )
    assert [(m.indices, m.captures) for m in core._match(pattern, table, False)] == [
        (m.indices, m.captures) for m in found
    ]


INTERRUPTED_CALL = """
import sys
import kestrel
from kestrel._core import Event, match_events, parse_pattern
# Every path of three 'a's out of 3,000, none of which completes: hours of work.
explosive = parse_pattern("a -> a -> a -> b")
events = [Event("p", i, "a") for i in range(3000)]
calls = {
    "compiled": lambda: match_events(explosive, events, exhaustive=True),
    "oracle": lambda: match_events(explosive, events, exhaustive=True, use_oracle=True),
    "match": lambda: kestrel.match(explosive, events, exhaustive=True),
}
try:
    print("calling", flush=True)
    calls[sys.argv[1]]()
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted")
small = [Event("p", ts, typ) for ts, typ in enumerate("aaab")]
print([m.indices for m in match_events(explosive, small, exhaustive=True)])
"""


@pytest.mark.parametrize("call", ["compiled", "oracle", "match"])
def test_ctrl_c_stops_a_long_call(call: str) -> None:
    # Uninterrupted, the call would run far past the timeout below.
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CALL, call],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    assert child.stdout.readline() == "calling\n"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.splitlines() == ["interrupted", "[[0, 1, 2, 3]]"]
