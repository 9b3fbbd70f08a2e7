"""Pickling and deep copies of results, events and builders: equal in every
observable way after the round trip, and hostile state refused."""

import copy
import datetime as dt
import math
import pickle
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrel
from kestrel import _core

pa = pytest.importorskip("pyarrow")

KEYS = {"partition": "p", "ts": "ts", "typ": "typ"}
PATTERNS = ["a[k as $k] -[<=3]-> b", "a -[<=5, no c]-> b[k == 1]", "a[k as $k] -> b[k > 0] -> c"]
VALUES = st.one_of(
    st.none(),
    st.integers(-(2**63), 2**63 - 1),
    st.sampled_from([0.5, -0.0, 1.0, math.inf]),
    st.text("ab1", max_size=2),
    st.booleans(),
)
ROWS = st.lists(
    st.fixed_dictionaries(
        {
            "p": st.sampled_from(["x", "y"]),
            "ts": st.integers(0, 9),
            "typ": st.sampled_from("abc"),
            "k": VALUES,
            "id": st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1)),
        }
    ),
    min_size=1,
    max_size=12,
)


def arrow(rows):
    """The rows as a table, `k` as text: a column holds one type."""
    return pa.Table.from_pylist([{**row, "k": repr(row["k"])} for row in rows])


CALLS = {
    "match": lambda p, rows: kestrel.match(p, rows, **KEYS),
    "explain": lambda p, rows: kestrel.explain(p, rows, **KEYS),
    "funnel_by": lambda p, rows: kestrel.funnel(p, rows, **KEYS, by="k"),
    "match_carry": lambda p, rows: kestrel.match(p, arrow(rows), **KEYS, carry=["id"]),
    "explain_carry": lambda p, rows: kestrel.explain(p, arrow(rows), **KEYS, carry=["id"]),
}


def observed(results):
    """Everything a result set shows: its repr, by, rows with their events,
    and its Arrow export with the time types."""
    rows = []
    for row in results:
        if isinstance(row, tuple):
            rows.append(repr(row))
        else:
            fields = {name: getattr(row, name) for name in dir(row) if not name.startswith("_")}
            fields["events"] = [(repr(e), e.attrs) for e in fields["events"]]
            rows.append(repr(fields))
    table = results.to_arrow()
    return repr(results), getattr(results, "by", None), rows, table.schema, repr(table.to_pylist())


def round_trips(value):
    return pickle.loads(pickle.dumps(value)), copy.deepcopy(value)


@settings(max_examples=80, deadline=None)
@given(rows=ROWS, pattern=st.sampled_from(PATTERNS), call=st.sampled_from(list(CALLS)))
def test_results_round_trip(rows, pattern, call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.KestrelWarning)
        results = CALLS[call](pattern, rows)
    for copied in round_trips(results):
        assert type(copied) is type(results) and copied == results
        assert observed(copied) == observed(results)
        assert observed(copied[1:]) == observed(results[1:])
    for row in results:
        if not isinstance(row, tuple):  # a funnel step is a plain tuple
            assert all(repr(c.__reduce__()) == repr(row.__reduce__()) for c in round_trips(row))


def test_datetimes_and_streams_round_trip():
    start = dt.datetime(2024, 5, 1, tzinfo=dt.timezone(dt.timedelta(hours=2)))
    table = pa.table(
        {
            "p": ["x", "x", "x"],
            "ts": pa.array(
                [start + dt.timedelta(seconds=s) for s in (0, 1, 9)], pa.timestamp("ms", "+02:00")
            ),
            "typ": ["a", "b", "b"],
            "at": pa.array([start] * 3, pa.timestamp("us", "UTC")),
        }
    )
    stream = kestrel.Stream("a -> b", **KEYS, carry=["at"])
    for results in (
        kestrel.explain("a -[<=2ms]-> b -[<=1ms]-> b", table, **KEYS, carry=["at"]),
        kestrel.funnel("a -> b -> b", table, **KEYS),
        stream.push(table.slice(1)),
    ):
        for copied in round_trips(results):
            assert observed(copied) == observed(results)


def test_single_objects_round_trip():
    found = kestrel.match(
        "a[k as $k] -> b",
        [{"p": "x", "ts": 1, "typ": "a", "k": 2**63 - 1}, {"p": "x", "ts": 2, "typ": "b"}],
        **KEYS,
    )
    event = kestrel.Event("x", -5, "a", {"f": -0.0, "n": None, "s": "\u00e9"})
    builder = (
        kestrel.Pattern.event("a")
        .where_gt("f", -0.0)
        .capture("s", "$v")
        .where_ref_eq("s", "v")
        .then("b", within=3, no="c")
    )
    for copied in round_trips(event):
        assert (repr(copied), copied.attrs, math.copysign(1, copied.attrs["f"])) == (
            repr(event),
            event.attrs,
            -1,
        )
    for copied in round_trips(builder):
        assert type(copied) is kestrel.PatternBuilder and repr(copied) == repr(builder)
        assert copied.build().to_json() == builder.build().to_json()
        assert copied.then("c").build().to_json() == builder.then("c").build().to_json()
    for copied in round_trips(found[0]):
        assert (repr(copied), copied.captures, copied.types) == (
            repr(found[0]),
            found[0].captures,
            ["a", "b"],
        )


def test_result_sets_compare_by_contents():
    rows = [{"p": "x", "ts": 1, "typ": "a", "k": 1}, {"p": "x", "ts": 2, "typ": "b", "k": "1"}]
    again = list(rows)
    assert kestrel.match("a -> b", rows, **KEYS) == kestrel.match("a -> b", again, **KEYS)
    assert kestrel.match("a -> b", rows, **KEYS) != kestrel.match("a", rows, **KEYS)
    assert kestrel.funnel("a -> b", rows, **KEYS) != kestrel.funnel("a -> b", rows, **KEYS, by="k")
    assert kestrel.match("a", rows, **KEYS) != kestrel.explain("a -[<=0]-> b", rows, **KEYS)[:1]
    with pytest.raises(TypeError, match="unhashable"):
        hash(kestrel.match("a", rows, **KEYS))


def state_of(value):
    function, (state,) = (
        value.__reduce__() if not hasattr(value, "_results") else value._results.__reduce__()
    )
    return function, state


HOSTILE = [
    ("results", lambda s: s[:-1], "truncated"),
    ("results", lambda s: s + b"\0", "past its end"),
    ("results", lambda s: bytes([3]) + s[1:], "version 3; this kestrel reads version 2 at most"),
    ("results", lambda s: s[:1] + b"m" + s[2:], "not of this type"),
    ("match", lambda s: s[:2] + b"\xff" * 8 + s[10:], "truncated"),
    ("near_miss", lambda s: s[:-11] + b"\x07" + s[-10:], "unknown tag 7"),
    ("near_miss", lambda s: s[:-1] + b"\xff", "not UTF-8"),
    ("near_miss", lambda s: s[:2] + b"\x09" + s[3:], "events do not match their indices"),
]


@pytest.mark.parametrize(("kind", "spoil", "message"), HOSTILE)
def test_hostile_state_is_refused(kind, spoil, message):
    rows = [{"p": "x", "ts": 1, "typ": "a", "k": "é"}, {"p": "x", "ts": 2, "typ": "b"}]
    results = {
        "results": kestrel.match("a[k as $k] -> b", rows, **KEYS),
        "match": kestrel.match("a -> b", rows, **KEYS)[0],
        "near_miss": kestrel.explain("a -[<=0]-> b", rows, **KEYS)[0],
    }[kind]
    function, state = state_of(results)
    with pytest.raises(ValueError, match=message):
        function(spoil(state))


@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_spoilt_state_is_an_error_or_a_result(data):
    rows = [
        {"p": "x", "ts": 1, "typ": "a", "k": 1.5},
        {"p": "x", "ts": 2, "typ": "b"},
        {"p": "x", "ts": 9, "typ": "b"},
    ]
    table = pa.Table.from_pylist(rows)
    results = data.draw(
        st.sampled_from(
            [
                kestrel.match("a[k as $k] -> b", table, **KEYS, carry=["k"]),
                kestrel.explain("a -[<=3]-> b -> b", table, **KEYS),
                kestrel.funnel("a -> b", rows, **KEYS, by="k"),
                kestrel.match("a[k as $k] -> b", table, **KEYS)[0],
                kestrel.explain("a[k as $k] -[<=0]-> b", table, **KEYS)[0],
            ]
        )
    )
    function, state = state_of(results)
    at = data.draw(st.integers(0, len(state) - 1))
    spoilt = state[:at] + bytes([data.draw(st.integers(0, 255))]) + state[at + 1 :]
    try:
        rebuilt = function(spoilt)
    except ValueError:
        return
    if isinstance(rebuilt, (kestrel.Match, kestrel.NearMiss)):
        kestrel.to_arrow([rebuilt])
        return
    list(rebuilt)
    pa.table(rebuilt)


def test_refuses_what_is_not_state():
    with pytest.raises(TypeError, match="must be bytes"):
        _core._results_from_state("text")
    with pytest.raises(ValueError, match="first successor"):
        _core._builder_from_json(
            kestrel.parse_pattern("a -> b")
            .to_json()
            .replace("FirstSuccessorPerStart", "ExhaustivePerStart")
        )
