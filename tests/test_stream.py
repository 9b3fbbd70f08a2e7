"""A stream fed any split of a list of events gives exactly what one call
over the whole list gives."""

from __future__ import annotations

import datetime as dt
import json
import pickle
import random

import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_properties import ATTRS, TYPES, atoms, attr_values

import kestrel
from kestrel import Event, Stream


@st.composite
def patterns(draw):
    """Mostly windows on every step, so that near misses settle mid-stream."""
    transitions = st.fixed_dictionaries(
        {
            "max_elapsed": st.one_of(st.integers(-1, 6), st.integers(0, 3), st.none()),
            "absence": st.lists(atoms(1), max_size=1),
        }
    )
    steps = [{"atom": draw(atoms(1)), "transition_from_previous": None}]
    for atom, transition in draw(
        st.lists(st.tuples(atoms(1), transitions), min_size=1, max_size=2)
    ):
        steps.append({"atom": atom, "transition_from_previous": transition})
    return kestrel.pattern_from_json(
        json.dumps({"steps": steps, "consumption": "FirstSuccessorPerStart"})
    )


@st.composite
def streams(draw):
    """Events in stream order, each partition in time order (with ties),
    and the cut points that split them into batches."""
    rows = draw(
        st.lists(
            st.tuples(
                st.sampled_from(["p", "q", "r"]),
                st.integers(0, 3),
                st.sampled_from(TYPES),
                st.dictionaries(st.sampled_from(ATTRS), attr_values, max_size=2),
            ),
            max_size=30,
        )
    )
    clock: dict[str, int] = {}
    evs = []
    for partition, step, typ, attrs in rows:
        clock[partition] = clock.get(partition, 0) + step
        evs.append(Event(partition, clock[partition], typ, attrs))
    cuts = sorted(draw(st.lists(st.integers(0, len(evs)), max_size=8)))
    return evs, [evs[a:b] for a, b in zip([0, *cuts], [*cuts, len(evs)])]


def match_fields(m):
    return (m.partition, m.indices, m.start, m.end, repr(m.captures), repr(m.events))


def miss_fields(n):
    return (n.partition, n.indices, n.next_event_type, repr(n.detail), repr(n.captures))


def streamed(pattern, batches, exhaustive, explain=True):
    stream = Stream(pattern, exhaustive=exhaustive, explain=explain)
    matches, misses = [], []
    for batch in batches:
        matches += stream.push(batch)
        misses += stream.near_misses() if explain else []
    end = stream.flush()
    return [*matches, *end.matches], [*misses, *end.near_misses], stream


@settings(max_examples=500, deadline=None)
@given(patterns(), streams(), st.booleans())
def test_any_split_gives_the_batch_results(pattern, stream_and_batches, exhaustive):
    evs, batches = stream_and_batches
    expected = sorted(map(match_fields, kestrel.match(pattern, evs, exhaustive=exhaustive)))
    for explain in (True, False):
        matches, misses, stream = streamed(pattern, batches, exhaustive, explain)
        assert sorted(map(match_fields, matches)) == expected
        assert sorted(map(miss_fields, misses)) == sorted(
            map(miss_fields, kestrel.explain(pattern, evs) if explain else [])
        )
        assert stream.stats().buffered == stream.stats().open == 0


@pytest.mark.parametrize(
    "pattern, batches",
    [
        # Settled at ts 3 with no b yet: the b at 5 makes it "window_exceeded".
        ("a -[<=2]-> b", [[("a", 0), ("c", 3)], [("b", 5)]]),
        # The newest timestamp equals the start's plus the window: a b can still come.
        ("a -[<=2]-> b", [[("a", 0), ("c", 2)], [("b", 2)]]),
        ("a -[<=2]-> b -[<=1]-> c", [[("a", 0), ("b", 1), ("c", 3)], [("c", 3), ("b", 9)]]),
        ("a -[<=2, no c]-> b", [[("a", 0), ("c", 1)], [("b", 2), ("b", 9)]]),
        ("a -> b", [[("a", 0)], [("c", 100)], [("b", 10**9)]]),
    ],
)
def test_decisions_wait_for_what_can_still_change(pattern, batches):
    batches = [[Event("p", ts, typ, {}) for typ, ts in batch] for batch in batches]
    evs = [e for batch in batches for e in batch]
    for exhaustive in (False, True):
        matches, misses, _ = streamed(pattern, batches, exhaustive)
        assert list(map(match_fields, matches)) == list(
            map(match_fields, kestrel.match(pattern, evs, exhaustive=exhaustive))
        )
        assert list(map(miss_fields, misses)) == list(
            map(miss_fields, kestrel.explain(pattern, evs))
        )


@pytest.mark.parametrize("explain", [True, False])
def test_memory_follows_open_starts(explain):
    # Rows no open match names go in clean-ups that wait for about a
    # thousand of them, so the bound is that slack, far below the 30,000 rows.
    stream = Stream("a -[<=5]-> b", explain=explain)
    for t in range(0, 100_000, 10):
        stream.push(
            [Event("p", t, "a", {}), Event("p", t + 1, "c", {}), Event("p", t + 7, "b", {})]
        )
        assert not explain or len(stream.near_misses()) == 1
        assert stream.stats().buffered <= 1100 and stream.stats().open <= 1


@pytest.mark.parametrize(
    "late, batches, error, dropped, last_matches",
    [
        (
            "error",
            [[("p", 5)], [("p", 4)]],
            "late event at stream position 1: partition 'p'",
            0,
            [[0, 1]],
        ),
        ("error", [[("p", 5), ("q", 1), ("p", 4)]], "stream position 2", 0, []),
        ("drop", [[("p", 5)], [("p", 4), ("p", 6)]], None, 1, [[0, 2]]),
    ],
)
@pytest.mark.parametrize("explain", [True, False])
def test_late_events(late, batches, error, dropped, last_matches, explain):
    stream = Stream("a -> a", late=late, explain=explain)
    *before, last = [[Event(p, ts, "a", {}) for p, ts in batch] for batch in batches]
    for batch in before:
        stream.push(batch)
    if error:
        with pytest.raises(ValueError, match=error):
            stream.push(last)
        last = [Event("p", 6, "a", {})]  # a refused batch leaves the stream as it was
    assert [m.indices for m in stream.push(last)] == last_matches
    assert stream.stats().late_dropped == dropped


def test_arrow_batches_with_datetimes_and_carried_columns():
    start = dt.datetime(2026, 1, 1, tzinfo=dt.timezone.utc)
    table = pa.table(
        {
            "partition": ["u1", "u2", "u1", "u2", "u1", "u2"],
            "ts": [start + dt.timedelta(seconds=s) for s in (0, 1, 30, 200, 400, 401)],
            "typ": ["login", "login", "buy", "buy", "login", "buy"],
            "id": [10, 11, 12, 13, 14, 15],
        }
    )
    pattern = "login -[<=60s]-> buy"
    quiet = Stream(pattern, carry=["id"], explain=False)
    stream = Stream(pattern, carry=["id"])
    parts = [stream.push(batch).to_arrow() for batch in table.to_batches(max_chunksize=2)]
    assert parts == [quiet.push(batch).to_arrow() for batch in table.to_batches(max_chunksize=2)]
    end = stream.flush()
    assert (
        pa.concat_tables(parts).to_pylist()
        == kestrel.match(pattern, table, carry=["id"]).to_arrow().to_pylist()
    )
    assert sorted(end.near_misses.to_arrow().to_pylist(), key=str) == sorted(
        kestrel.explain(pattern, table, carry=["id"]).to_arrow().to_pylist(), key=str
    )


def _batch(typs, ts, ts_type=None, ids=None):
    n = len(typs)
    return pa.table(
        {
            "partition": pa.array(["p"] * n, pa.string()),
            "ts": pa.array(ts, ts_type or pa.int64()),
            "typ": pa.array(typs, pa.string()),
            "id": pa.nulls(n)
            if ids is None
            else ids
            if isinstance(ids, pa.Array)
            else pa.array(ids),
        }
    )


_D = dt.datetime(2026, 1, 1)
_S, _MS, _UTC = pa.timestamp("s"), pa.timestamp("ms"), pa.timestamp("s", "UTC")


@pytest.mark.parametrize(
    "batches",
    [
        # An all-null carried column takes a later type, and a typed one a later null batch.
        [(_batch(["a"], [1]), None), (_batch(["b"], [2], ids=[7]), None)],
        [(_batch(["a"], [1], ids=[7]), None), (_batch(["b"], [2]), None)],
        [(_batch(["a"], [1], ids=[7]), None), (_batch(["b"], [2], ids=["x"]), "carried columns")]
        + [(_batch(["b"], [2], ids=[8]), None)],
        # Datetimes in any unit: results in the finest seen.
        [(_batch(["a"], [_D], _S), None)]
        + [(_batch(["b"], [_D + dt.timedelta(milliseconds=5)], _MS), None)],
        [(_batch(["a"], [_D + dt.timedelta(milliseconds=5)], _MS), None)]
        + [(_batch(["b"], [_D + dt.timedelta(seconds=1)], _S), None)],
        [(_batch(["a"], [_D], _UTC), None)]
        + [
            (
                _batch(["b"], [_D], _S),
                "are datetimes in s, but the stream's are datetimes in s \\(UTC",
            )
        ]
        + [(_batch(["b"], [_D], _UTC), None)],
        [(_batch(["a"], [1]), None), (_batch(["b"], [_D], _S), "timestamps are datetimes")]
        + [(_batch(["b"], [2]), None)],
        # So may carried ones, unless a value does not fit 64 bits in the finer unit.
        [(_batch(["a"], [1], ids=pa.array([_D], _S)), None)]
        + [(_batch(["b"], [2], ids=pa.array([_D], _MS)), None)],
        [(_batch(["a"], [1], ids=pa.array([dt.datetime(9999, 1, 1)], _S)), None)]
        + [(_batch(["b"], [2], ids=pa.array([_D], pa.timestamp("ns"))), "at stream position 0")]
        + [(_batch(["b"], [2], ids=pa.array([_D], _S)), None)],
        # Empty batches and refused ones fix nothing.
        [(_batch([], [], _S), None), (_batch(["a"], [1], ids=[7]), None)]
        + [(_batch([], [], _UTC, ids=[]), None), (_batch(["b"], [2], ids=[8]), None)],
        [(_batch(["a", "a"], [_D, _D - dt.timedelta(1)], _S, ids=["x", "y"]), "late event")]
        + [(_batch(["a"], [1], ids=[7]), None), (_batch(["b"], [2], ids=[8]), None)],
    ],
)
@pytest.mark.parametrize("explain", [True, False])
def test_batches_must_agree_on_their_columns(batches, explain):
    # Carried only, so that its datetimes need not fit nanoseconds as attributes do.
    stream = Stream("a -> b", attributes=[], carry=["id"], explain=explain)
    taken = []
    for batch, message in batches:
        if message:
            with pytest.raises(ValueError, match=message):
                stream.push(batch)
            continue
        found = stream.push(batch).to_arrow()
        if len(batch):
            taken.append(batch)
    # Every case's one match completes in its last batch.
    whole = pa.concat_tables(taken, promote_options="permissive")
    expected = kestrel.match("a -> b", whole, attributes=[], carry=["id"]).to_arrow()
    assert found.schema == expected.schema
    assert found.to_pylist() == expected.to_pylist() != []


def test_misuse_is_refused():
    stream = Stream("a -> b")
    stream.flush()
    with pytest.raises(ValueError, match="no events can follow"):
        stream.push([Event("p", 1, "a", {})])
    for call in (stream.flush, stream.near_misses):
        with pytest.raises(ValueError, match="the stream has ended; flush"):
            call()
    with pytest.raises(ValueError, match="explain=True"):
        Stream("a -> b", explain=False).near_misses()
    with pytest.raises(ValueError, match="late must be"):
        Stream("a -> b", late="skip")
    with pytest.raises(ValueError, match="`indices` has the name of a result column"):
        Stream("a -> b", carry=["indices"])


@st.composite
def late_arrivals(draw):
    """Events in time order per partition, arriving in any order the
    lateness allows: an event may come once no event of its partition still
    to come is more than `lateness` older."""
    lateness = draw(st.integers(0, 4))
    evs, _ = draw(streams())
    choose = draw(st.randoms(use_true_random=False))
    pending, arrived = list(evs), []
    while pending:
        earliest = {}
        for e in pending:
            earliest[e.partition] = min(earliest.get(e.partition, e.ts), e.ts)
        ready = [e for e in pending if earliest[e.partition] >= e.ts - lateness]
        arrived.append(pending.pop(pending.index(choose.choice(ready))))
    cuts = sorted(draw(st.lists(st.integers(0, len(arrived)), max_size=12)))
    return lateness, arrived, [arrived[a:b] for a, b in zip([0, *cuts], [*cuts, len(arrived)])]


@settings(max_examples=300, deadline=None)
@given(patterns(), late_arrivals(), st.booleans(), st.booleans(), st.integers(0, 12))
def test_events_within_the_lateness_give_the_batch_results(
    pattern, arrivals, exhaustive, explain, saved_at
):
    """Also across a checkpoint: pickled and restored before one of the batches."""
    lateness, evs, batches = arrivals
    stream = Stream(pattern, exhaustive=exhaustive, explain=explain, lateness=lateness)
    matches, misses = [], []
    for at, batch in enumerate(batches):
        if at == 1 + saved_at % max(len(batches) - 1, 1):
            stream = pickle.loads(pickle.dumps(stream))
        matches += stream.push(batch)
        misses += stream.near_misses() if explain else []
        assert stream.stats().buffered <= stream.stats().events
    end = stream.flush()
    assert sorted(map(match_fields, [*matches, *end.matches])) == sorted(
        map(match_fields, kestrel.match(pattern, evs, exhaustive=exhaustive))
    )
    expected = kestrel.explain(pattern, evs) if explain else []
    assert sorted(map(miss_fields, [*misses, *end.near_misses])) == sorted(
        map(miss_fields, expected)
    )
    assert stream.stats().buffered == 0


@pytest.mark.parametrize(
    "lateness, unit, dated, error",
    [
        (3, None, False, None),
        ("3s", "s", False, None),
        (dt.timedelta(seconds=3), "s", False, None),
        (dt.timedelta(seconds=3), None, True, None),
        (3_000_000_000, None, True, None),
        ("3s", None, False, "have no known unit; pass unit="),
        ("1500ms", "s", False, "not a whole number of s"),
        (-1, None, False, "0 or more"),
        ("soon", None, False, "not a duration such as '30s'"),
        (1.5, None, False, "lateness must be an integer or a duration"),
        (True, None, False, "lateness must be an integer or a duration"),
    ],
)
def test_lateness_is_a_count_or_a_duration(lateness, unit, dated, error):
    """An event 3 s older than its partition's newest is taken, 4 s is late."""

    def batch(typs, seconds):
        ts = (
            [_D + dt.timedelta(seconds=10 + s) for s in seconds]
            if dated
            else [10 + s for s in seconds]
        )
        return _batch(typs, ts, _S if dated else None)

    kind = TypeError if isinstance(lateness, (float, bool)) else ValueError
    try:
        stream = Stream("a -> b", lateness=lateness, unit=unit)
        stream.push(batch(["a", "c"], [0, 3]))
        stream.push(batch(["b"], [0]))
    except (TypeError, ValueError) as raised:
        assert error is not None and isinstance(raised, kind) and error in str(raised)
        return
    assert error is None
    with pytest.raises(ValueError, match="at most"):
        stream.push(batch(["b"], [-1]))
    assert [m.indices for m in stream.flush().matches] == [[0, 2]]


@pytest.mark.parametrize("explain", [True, False])
def test_a_held_back_event_waits_for_the_earliest_that_may_come(explain):
    # At newest 15 with lateness 2 an `a` at 13 may still come, so the `b`
    # at 14 must wait for it.
    stream = Stream("a -> b", lateness=2, explain=explain)
    stream.push([Event("p", 14, "b", {}), Event("p", 15, "c", {})])
    assert stream.stats().buffered == 2
    stream.push([Event("p", 13, "a", {})])
    assert [m.indices for m in stream.flush().matches] == [[2, 0]]


@pytest.mark.parametrize("explain", [True, False])
def test_a_spoilt_checkpoint_is_refused_or_safe(explain):
    stream = Stream("a[x as $x] -[<=20]-> b[x == $x]", explain=explain, lateness=2)
    stream.push(
        [Event("p", 1, "a", {"x": "k"}), Event("q", 2, "a", {"x": 1}), Event("p", 9, "c", {})]
    )
    then = [Event("p", 10, "b", {"x": "k"})]
    copy = pickle.loads(pickle.dumps(stream))
    copy.push(then)
    assert [m.indices for m in copy.flush().matches] == [[0, 3]]
    _, (state,) = stream._engine.__reduce__()  # type: ignore[union-attr]
    with pytest.raises(ValueError, match="it has version 3; this kestrel reads version 2 at most"):
        kestrel._core._stream_from_state(bytes([state[0] + 1]) + state[1:])
    with pytest.raises(ValueError, match="has version 1, whose streams this kestrel cannot go on"):
        kestrel._core._stream_from_state(bytes([1]) + state[1:])
    table = kestrel._core._table_from_events(then)
    spoilt = random.Random(7)
    for cut in [*range(len(state)), *[spoilt.randrange(len(state)) for _ in range(1500)]]:
        changed = state[:cut] if cut < len(state) // 2 else bytearray(state)
        if isinstance(changed, bytearray):
            changed[cut] = spoilt.randrange(256)
        try:
            restored = kestrel._core._stream_from_state(bytes(changed))
        except ValueError as refused:
            assert "cannot unpickle kestrel state" in str(refused)
            continue
        for call in (lambda: restored.push(table), restored.end, restored.flush):
            try:
                call()
            except (ValueError, TypeError):
                pass
