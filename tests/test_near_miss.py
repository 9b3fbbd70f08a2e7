import inspect

import pytest

from kestrel import Event, NearMiss, Pattern, near_miss_events, parse_pattern

UNSORTED = (
    "events must be grouped by partition and sorted by (timestamp, input order); "
    "call sort_events first"
)


def ev(ts, typ, partition="p1", **attrs):
    return Event(partition, ts, typ, attrs)


def only(pattern, events):
    [miss] = near_miss_events(pattern, events)
    return miss


def test_predicate_failed_lists_failed_clauses_in_key_order():
    p = parse_pattern('A[user as $u] -> C[amount > 100, user == $u, kind == "x"]')
    miss = only(p, [ev(0, "A", user="a"), ev(1, "B"), ev(2, "C", amount=50, user="b")])
    assert miss.reason == "predicate_failed"
    assert repr(miss) == (
        'NearMiss(partition="p1", indices=[0], next="C", reason="predicate_failed")'
    )
    assert list(miss.detail) == ["kind", "event_index", "failures"]
    assert miss.detail["event_index"] == 2
    assert miss.detail["failures"] == [
        {
            "type": "predicate",
            "attribute": "amount",
            "operator": ">",
            "expected": 100,
            "actual": 50,
        },
        {
            "type": "predicate",
            "attribute": "kind",
            "operator": "==",
            "expected": "x",
            "actual": None,
        },
        {
            "type": "reference",
            "attribute": "user",
            "operator": "==",
            "binding": "u",
            "bound": "a",
            "actual": "b",
        },
    ]
    failures = miss.detail["failures"]
    assert [f["type"] for f in failures] == ["predicate", "predicate", "reference"]
    assert list(failures[0]) == ["type", "attribute", "operator", "expected", "actual"]
    assert list(failures[2]) == ["type", "attribute", "operator", "binding", "bound", "actual"]
    assert failures[1]["actual"] is None  # missing attribute


def test_capture_conflict_detail():
    p = parse_pattern("A[v as $x] -> B[w as $x]")
    miss = only(p, [ev(0, "A", v=1), ev(1, "B", w=1.0)])
    assert miss.detail["failures"] == [
        {"type": "capture", "name": "x", "attribute": "w", "bound": 1, "actual": 1.0}
    ]
    assert type(miss.detail["failures"][0]["actual"]) is float


def test_absence_blocked_detail():
    p = Pattern.event("A").then("B", no="X")
    miss = only(p, [ev(0, "A"), ev(1, "X"), ev(2, "B")])
    assert miss.detail == {
        "kind": "absence_blocked",
        "candidate_index": 2,
        "blocking_index": 1,
        "blocking_event_type": "X",
        "candidate_satisfies": True,
    }
    assert list(miss.detail) == [
        "kind",
        "candidate_index",
        "blocking_index",
        "blocking_event_type",
        "candidate_satisfies",
    ]


def test_window_exceeded_detail_uses_the_exact_gap():
    p = Pattern.event("A").then("B", within=10)
    miss = only(p, [ev(0, "A"), ev(11, "B")])
    assert miss.detail == {
        "kind": "window_exceeded",
        "candidate_index": 1,
        "gap": 11,
        "max_elapsed": 10,
    }
    lo, hi = -(2**63), 2**63 - 1
    miss = only(p, [ev(lo, "A"), ev(hi, "B")])
    assert miss.detail["gap"] == hi and miss.detail["max_elapsed"] == 10


def test_no_successor_and_captures_order():
    p = Pattern.event("A").capture("b", "b").capture("B", "B").then("C")
    miss = only(p, [ev(0, "A", b=1, B=2), ev(1, "D")])
    assert miss.detail == {"kind": "no_successor"}
    assert list(miss.captures) == ["B", "b"]
    assert (
        miss.partition,
        miss.start_index,
        miss.indices,
        miss.reached_steps,
        miss.next_event_type,
    ) == ("p1", 0, [0], 1, "C")


def test_events_are_fresh_copies():
    evs = [ev(0, "A"), ev(1, "B"), ev(2, "D")]
    miss = only(Pattern.event("A").then("B").then("C"), evs)
    assert miss.indices == [0, 1]
    first, second = miss.events, miss.events
    assert first is not second and first[0] is not second[0]
    assert [(e.ts, e.typ) for e in first] == [(0, "A"), (1, "B")]
    assert all(e is not original for e in first for original in evs)


def test_empty_inputs_and_one_step_patterns_give_nothing():
    assert near_miss_events(Pattern.event("A"), [ev(0, "A")]) == []
    assert near_miss_events(Pattern.event("A").then("B"), []) == []


def test_check_order():
    unsorted = [ev(5, "A"), ev(3, "A")]
    with pytest.raises(ValueError) as info:
        near_miss_events(None, unsorted)
    assert str(info.value) == UNSORTED
    with pytest.raises(TypeError, match="'events'"):
        near_miss_events(None, "abc")
    with pytest.raises(TypeError, match="^expected a Pattern"):
        near_miss_events("A -> B", [])
    with pytest.raises(TypeError, match=r"^near_miss_events\(\) missing 1 required"):
        near_miss_events(Pattern.event("A"))


def test_class_surface():
    assert NearMiss.__doc__ == (
        "A start that did not match, with its deepest partial path and the reason."
    )
    with pytest.raises(TypeError, match="^No constructor defined for NearMiss$"):
        NearMiss()
    assert [n for n in vars(NearMiss) if not n.startswith("__")] == [
        "partition",
        "start_index",
        "indices",
        "reached_steps",
        "next_event_type",
        "reason",
        "detail",
        "events",
        "captures",
    ]
    assert NearMiss.reason.__doc__ == (
        "One of: predicate_failed, absence_blocked, window_exceeded, no_successor."
    )
    assert NearMiss.detail.__doc__.startswith(
        'Reason-specific specifics as a dict (keyed by "kind")'
    )
    assert str(inspect.signature(near_miss_events)) == "(pattern, events)"
    assert near_miss_events.__doc__.startswith("Explain near-misses: starts that did not match")
