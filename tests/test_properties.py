"""Randomised agreement between the two matchers, through the Python API."""

import json
import pickle

from hypothesis import given, settings
from hypothesis import strategies as st

from kestrel import Event, Pattern, match_events, pattern_from_json, sort_events

TYPES = ["a", "b", "c"]
ATTRS = ["u", "v"]
OPS = ["Eq", "NotEq", "Gt", "Gte", "Lt", "Lte"]
NAMES = ["x", "y"]

values = st.one_of(
    st.integers(0, 3).map(lambda i: {"Int": i}),
    st.sampled_from([0.0, -0.0, 1.5, 2.0, 1e300]).map(lambda f: {"Float": f}),
    st.sampled_from(["s", "t"]).map(lambda s: {"String": s}),
    st.booleans().map(lambda b: {"Bool": b}),
    st.just("Null"),
)


def atoms(clauses=3):
    return st.fixed_dictionaries(
        {
            "event_type": st.sampled_from(TYPES),
            "predicates": st.lists(
                st.fixed_dictionaries(
                    {
                        "attribute": st.sampled_from(ATTRS),
                        "operator": st.sampled_from(OPS),
                        "value": values,
                    }
                ),
                max_size=clauses,
            ),
            "reference_predicates": st.lists(
                st.fixed_dictionaries(
                    {
                        "attribute": st.sampled_from(ATTRS),
                        "operator": st.sampled_from(OPS),
                        "binding": st.sampled_from(NAMES),
                    }
                ),
                max_size=clauses,
            ),
            "captures": st.lists(
                st.fixed_dictionaries(
                    {
                        "name": st.sampled_from(NAMES),
                        "attribute": st.sampled_from(ATTRS),
                    }
                ),
                max_size=2,
            ),
        }
    )


transitions = st.fixed_dictionaries(
    {
        "max_elapsed": st.one_of(st.none(), st.integers(-1, 6)),
        "absence": st.lists(atoms(1), max_size=2),
    }
)


@st.composite
def patterns(draw):
    first = draw(atoms())
    rest = draw(st.lists(st.tuples(atoms(), transitions), max_size=3))
    steps = [{"atom": first, "transition_from_previous": None}]
    steps += [{"atom": a, "transition_from_previous": t} for a, t in rest]
    consumption = draw(st.sampled_from(["FirstSuccessorPerStart", "ExhaustivePerStart"]))
    return pattern_from_json(json.dumps({"steps": steps, "consumption": consumption}))


attr_values = st.one_of(
    st.integers(0, 3),
    st.sampled_from([0.0, 1.5, 2.0, float("nan")]),
    st.sampled_from(["s", "t"]),
    st.booleans(),
    st.none(),
)

events = st.lists(
    st.builds(
        lambda p, ts, typ, attrs: Event(p, ts, typ, attrs),
        st.sampled_from(["p", "q"]),
        st.integers(0, 12),
        st.sampled_from(TYPES),
        st.dictionaries(st.sampled_from(ATTRS), attr_values, max_size=2),
    ),
    max_size=14,
).map(sort_events)


def fields(matches):
    return [(m.partition, m.indices, m.start, m.end, m.types, repr(m.captures)) for m in matches]


@settings(max_examples=400, deadline=None)
@given(patterns(), events, st.booleans())
def test_compiled_matcher_equals_oracle(pattern, evs, exhaustive):
    compiled = match_events(pattern, evs, exhaustive=exhaustive)
    oracle = match_events(pattern, evs, exhaustive=exhaustive, use_oracle=True)
    assert fields(compiled) == fields(oracle)
    for m in compiled:
        assert m.types == [evs[i].typ for i in m.indices]
        assert m.start == evs[m.indices[0]].ts and m.end == evs[m.indices[-1]].ts
        assert all(a < b for a, b in zip(m.indices, m.indices[1:]))


@settings(max_examples=200, deadline=None)
@given(patterns())
def test_patterns_pickle_as_their_json_form(pattern):
    copied = pickle.loads(pickle.dumps(pattern))
    assert type(copied) is Pattern and copied.to_json() == pattern.to_json()
