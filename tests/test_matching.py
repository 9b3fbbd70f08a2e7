import inspect

import pytest

import kestrel
from kestrel import Event, Match, Pattern, match_events, parse_pattern, sort_events

UNSORTED = (
    "events must be grouped by partition and sorted by (timestamp, input order); "
    "call sort_events first"
)
NOT_A_PATTERN = "expected a Pattern, a pattern builder, or the result of parse_pattern()"


def ev(partition, ts, typ, **attrs):
    return Event(partition, ts, typ, attrs)


def indices(matches):
    return [m.indices for m in matches]


def test_module_registers_its_names_in_order():
    assert kestrel._core.__all__ == [
        "Event",
        "Pattern",
        "PatternBuilder",
        "Match",
        "NearMiss",
        "parse_pattern",
        "pattern_from_json",
        "sort_events",
        "match_events",
        "near_miss_events",
    ]
    assert kestrel.__all__ == [
        *kestrel._core.__all__,
        "match",
        "explain",
        "funnel",
        "Matches",
        "NearMisses",
        "Funnel",
        "FunnelStep",
        "Stream",
        "StreamEnd",
        "StreamStats",
        "KestrelWarning",
        "to_pandas",
        "to_arrow",
    ]
    assert kestrel._core.__doc__ is None


def test_function_signatures_and_docs():
    assert str(inspect.signature(sort_events)) == "(events)"
    assert str(inspect.signature(match_events)) == (
        "(pattern, events, exhaustive=False, use_oracle=False)"
    )
    assert match_events.__doc__.startswith("Run a pattern over already-sorted events.\n\nRaises")
    assert sort_events.__doc__ == (
        "Return a copy of `events` sorted by partition then `(timestamp, input order)`."
    )


def test_sort_events_orders_canonically_and_copies():
    evs = [ev("b", 2, "x"), ev("a", 5, "y"), ev("b", 1, "z"), ev("b", 1, "w")]
    got = sort_events(evs)
    assert [(e.partition, e.ts, e.typ) for e in got] == [
        ("a", 5, "y"),
        ("b", 1, "z"),
        ("b", 1, "w"),
        ("b", 2, "x"),
    ]
    assert [e.typ for e in evs] == ["x", "y", "z", "w"]
    assert not any(g is e for g in got for e in evs)
    assert sort_events([]) == [] and sort_events(()) == []
    assert [
        e.partition for e in sort_events([ev("a", 0, "t"), ev("B", 0, "t"), ev("aa", 0, "t")])
    ] == [
        "B",
        "a",
        "aa",
    ]


class Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "events, message",
    [
        ("abc", "argument 'events': Can't extract `str` to `Vec`"),
        (5, "argument 'events': 'int' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'events': 'dict' object cannot be converted to 'Sequence'"),
        ([1], "argument 'events': 'int' object cannot be converted to 'Event'"),
        (
            (ev("p", 1, "a"), None),
            "argument 'events': 'NoneType' object cannot be converted to 'Event'",
        ),
    ],
)
def test_event_list_errors(events, message):
    for call in (lambda: sort_events(events), lambda: match_events(Pattern.event("a"), events)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_any_sequence_is_accepted():
    evs = [ev("p", 1, "a"), ev("p", 2, "a")]
    assert indices(match_events(Pattern.event("a"), Seq(evs))) == [[0], [1]]
    assert [e.ts for e in sort_events(Seq(evs[::-1]))] == [1, 2]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: match_events(Pattern.event("a")),
            "match_events() missing 1 required positional argument: 'events'",
        ),
        (
            lambda: sort_events([], []),
            "sort_events() takes 1 positional arguments but 2 were given",
        ),
        (lambda: sort_events(), "sort_events() missing 1 required positional argument: 'events'"),
        (
            lambda: match_events(Pattern.event("a"), [], False, False, 1),
            "match_events() takes from 2 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: match_events(Pattern.event("a"), [], bogus=1),
            "match_events() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: match_events(Pattern.event("a"), [], pattern=1),
            "match_events() got multiple values for argument 'pattern'",
        ),
        (
            lambda: match_events(Pattern.event("a"), [], exhaustive=None),
            "argument 'exhaustive': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: match_events(Pattern.event("a"), [], use_oracle=1),
            "argument 'use_oracle': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: match_events(Pattern.event("a"), [], exhaustive=0),
            "argument 'exhaustive': 'int' object cannot be converted to 'PyBool'",
        ),
        (lambda: match_events("a -> b", []), NOT_A_PATTERN),
        (lambda: match_events(None, []), NOT_A_PATTERN),
    ],
)
def test_match_events_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_check_order_events_then_flags_then_order_then_pattern():
    unsorted = [ev("p", 5, "a"), ev("p", 3, "a")]
    with pytest.raises(TypeError, match="'events'"):
        match_events(None, "x", exhaustive=None)
    with pytest.raises(TypeError, match="'exhaustive'"):
        match_events(None, unsorted, exhaustive=None)
    with pytest.raises(ValueError) as info:
        match_events(None, unsorted)
    assert str(info.value) == UNSORTED
    with pytest.raises(ValueError):
        match_events(Pattern.event("a"), [ev("b", 1, "a"), ev("a", 2, "a")])
    with pytest.raises(ValueError):
        match_events(Pattern.event("a"), [ev("a", 1, "a"), ev("b", 2, "a"), ev("a", 3, "a")])


def test_numpy_booleans_are_accepted():
    np = pytest.importorskip("numpy")
    evs = [ev("p", 0, "a"), ev("p", 1, "b"), ev("p", 2, "b")]
    p = Pattern.event("a").then("b")
    assert indices(match_events(p, evs, exhaustive=np.bool_(True))) == [[0, 1], [0, 2]]
    assert indices(match_events(p, evs, np.bool_(False), np.True_)) == [[0, 1]]
    with pytest.raises(TypeError, match="PyBool"):
        match_events(p, evs, exhaustive=np.int64(1))


def test_match_objects():
    evs = [ev("u1", 10, "a", user="x"), ev("u1", 20, "c"), ev("u1", 40, "b", user="x", B=1)]
    p = (
        Pattern.event("a")
        .capture("user", "u")
        .then("b")
        .capture("B", "B")
        .where_ref_eq("user", "u")
    )
    [m] = match_events(p, evs)
    assert (m.partition, m.indices, m.start, m.end) == ("u1", [0, 2], 10, 40)
    assert m.types == ["a", "b"]
    assert [e.ts for e in m.events] == [10, 40]
    assert m.events[0] is not m.events[0]
    assert list(m.captures) == ["B", "u"] and m.captures == {"B": 1, "u": "x"}
    m.captures["z"] = 1
    m.indices.append(7)
    assert "z" not in m.captures and m.indices == [0, 2]
    assert repr(m) == 'Match(partition="u1", indices=[0, 2], span=(10, 40))'
    assert repr(match_events(Pattern.event("a"), [ev('q"', 1, "a")])[0]) == (
        'Match(partition="q\\"", indices=[0], span=(1, 1))'
    )
    with pytest.raises(TypeError, match="^No constructor defined for Match$"):
        Match()
    assert (
        Match.__doc__ == "A single match, carrying its participating events and captured bindings."
    )
    assert Match.captures.__doc__ == "Captured bindings (registers) as a dict of name to value."
    assert [n for n in vars(Match) if not n.startswith("__")] == [
        "partition",
        "indices",
        "start",
        "end",
        "types",
        "events",
        "captures",
    ]


WORKED = [
    ev("p", 0, "A"),
    ev("p", 5, "A"),
    ev("p", 8, "B"),
    ev("p", 9, "X"),
    ev("p", 12, "B"),
    ev("p", 20, "B"),
]


@pytest.mark.parametrize("exhaustive", [False, True])
@pytest.mark.parametrize("use_oracle", [False, True])
def test_worked_example(exhaustive, use_oracle):
    p = Pattern.event("A").then("B", within=10, no="X")
    got = match_events(p, WORKED, exhaustive=exhaustive, use_oracle=use_oracle)
    assert indices(got) == [[0, 2], [1, 2]]
    relaxed = [WORKED[0], WORKED[1], WORKED[2], ev("p", 9, "Y"), WORKED[4], WORKED[5]]
    got = match_events(p, relaxed, exhaustive=exhaustive, use_oracle=use_oracle)
    assert indices(got) == ([[0, 2], [1, 2], [1, 4]] if exhaustive else [[0, 2], [1, 2]])


@pytest.mark.parametrize("use_oracle", [False, True])
def test_no_backtracking_in_first_successor_mode(use_oracle):
    evs = [ev("p", 0, "A"), ev("p", 1, "B"), ev("p", 50, "B"), ev("p", 55, "D")]
    p = Pattern.event("A").then("B").then("D", within=10)
    assert match_events(p, evs, use_oracle=use_oracle) == []
    assert indices(match_events(p, evs, exhaustive=True, use_oracle=use_oracle)) == [[0, 2, 3]]


def test_pattern_consumption_stands_unless_exhaustive_is_set():
    evs = [ev("p", 0, "a"), ev("p", 1, "b"), ev("p", 2, "b")]
    exhaustive = kestrel.pattern_from_json(
        Pattern.event("a")
        .then("b")
        .build()
        .to_json()
        .replace("FirstSuccessorPerStart", "ExhaustivePerStart")
    )
    assert indices(match_events(exhaustive, evs)) == [[0, 1], [0, 2]]
    assert indices(match_events(exhaustive, evs, exhaustive=False)) == [[0, 1], [0, 2]]
    first = parse_pattern("a -> b")
    assert indices(match_events(first, evs)) == [[0, 1]]
    assert indices(match_events(first, evs, exhaustive=True)) == [[0, 1], [0, 2]]


def test_windows_at_the_timestamp_extremes():
    lo, hi = -(2**63), 2**63 - 1
    evs = [ev("p", lo, "a"), ev("p", hi, "b")]
    for use_oracle in (False, True):
        assert (
            match_events(Pattern.event("a").then("b", within=10), evs, use_oracle=use_oracle) == []
        )
        assert (
            match_events(Pattern.event("a").then("b", within=hi), evs, use_oracle=use_oracle) == []
        )
        assert indices(match_events(Pattern.event("a").then("b"), evs, use_oracle=use_oracle)) == [
            [0, 1]
        ]


def test_matching_never_crosses_partitions():
    evs = [ev("p1", 0, "a"), ev("p2", 1, "b")]
    assert match_events(Pattern.event("a").then("b"), evs) == []
    assert match_events(Pattern.event("a"), []) == []
