import inspect
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrel import Event, Pattern, match_events, parse_pattern, pattern_from_json

COMPACT = (
    '{"steps":[{"atom":{"event_type":"login","predicates":[],"reference_predicates":[],'
    '"captures":[{"name":"u","attribute":"user"}]},"transition_from_previous":null},'
    '{"atom":{"event_type":"purchase","predicates":[{"attribute":"amount","operator":"Gt",'
    '"value":{"Float":100.0}}],"reference_predicates":[],"captures":[]},'
    '"transition_from_previous":{"max_elapsed":300,"absence":[{"event_type":"logout",'
    '"predicates":[],"reference_predicates":[{"attribute":"user","operator":"Eq","binding":"u"}],'
    '"captures":[]}]}}],"consumption":"FirstSuccessorPerStart"}'
)
TEXT = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[amount > 100.0]"


def test_parsed_pattern_writes_the_documented_json():
    p = parse_pattern(TEXT)
    assert repr(p) == "Pattern(steps=2)"
    assert p.to_json() == COMPACT == p.to_json(False) == p.to_json(pretty=False)
    pretty = p.to_json(True)
    assert pretty == p.to_json(pretty=True)
    assert json.loads(pretty) == json.loads(COMPACT)
    assert pretty.startswith('{\n  "steps": [\n    {\n      "atom": {')
    assert not pretty.endswith("\n")


def test_to_json_refuses_non_booleans():
    with pytest.raises(TypeError) as info:
        parse_pattern("a").to_json(None)
    assert str(info.value) == "argument 'pretty': 'NoneType' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError, match="'pretty'"):
        parse_pattern("a").to_json(1)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: parse_pattern(""), ValueError, "pattern is empty"),
        (lambda: parse_pattern("a -> "), ValueError, "transition is missing a following atom"),
        (
            lambda: parse_pattern(b"a"),
            TypeError,
            "argument 'text': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda: parse_pattern(),
            TypeError,
            "parse_pattern() missing 1 required positional argument: 'text'",
        ),
        (
            lambda: pattern_from_json(b"{}"),
            TypeError,
            "argument 'json': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda: pattern_from_json('{"steps":[],"consumption":"FirstSuccessorPerStart"}'),
            ValueError,
            "pattern must contain at least one step",
        ),
        (
            lambda: pattern_from_json(text="{}"),
            TypeError,
            "pattern_from_json() got an unexpected keyword argument 'text'",
        ),
    ],
)
def test_entry_point_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_malformed_json_carries_a_position():
    with pytest.raises(ValueError) as info:
        pattern_from_json("{")
    assert " at line 1 column " in str(info.value)


def test_non_finite_floats_do_not_round_trip():
    p = Pattern.event("a").where_eq("x", float("nan")).build()
    assert '{"Float":null}' in p.to_json()
    with pytest.raises(ValueError):
        pattern_from_json(p.to_json())


def test_signatures():
    assert str(inspect.signature(parse_pattern)) == "(text)"
    assert str(inspect.signature(pattern_from_json)) == "(json)"
    assert parse_pattern.__doc__ == "Parse the Phase 1 text subset into a [`PyPattern`]."
    assert pattern_from_json.__doc__ == (
        "Build a pattern from the stable JSON AST, validating its structure."
    )
    assert Pattern.to_json.__doc__ == "Serialise the pattern to the stable JSON AST."


def test_parsed_and_built_patterns_match_alike():
    evs = [Event("p", 0, "login", {"user": "a"}), Event("p", 5, "purchase", {"user": "a"})]
    text = parse_pattern("login[user as $u] -[<=10]-> purchase[user == $u]")
    built = (
        Pattern.event("login")
        .capture("user", "u")
        .then("purchase", within=10)
        .where_ref_eq("user", "u")
    )
    assert text.to_json() == built.build().to_json()
    assert [m.indices for m in match_events(text, evs)] == [[0, 1]]


# Random patterns from the builder and the parser, written and read back.
finite = st.floats(allow_nan=False, allow_infinity=False)
literal = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**63), 2**63 - 1), finite, st.text(max_size=5)
)
names = st.text(max_size=4)


@st.composite
def built(draw):
    b = Pattern.event(draw(names))
    for _ in range(draw(st.integers(0, 6))):
        kind = draw(st.sampled_from(["where", "capture", "ref", "then"]))
        if kind == "where":
            method = draw(
                st.sampled_from(
                    ["where_eq", "where_ne", "where_gt", "where_gte", "where_lt", "where_lte"]
                )
            )
            b = getattr(b, method)(draw(names), draw(literal))
        elif kind == "capture":
            b = b.capture(draw(names), draw(names))
        elif kind == "ref":
            b = b.where_ref_eq(draw(names), draw(names))
        else:
            b = b.then(
                draw(names),
                within=draw(st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1))),
                no=draw(st.one_of(st.none(), names)),
            )
    return b.build()


@settings(max_examples=300, deadline=None)
@given(built())
def test_json_round_trips_for_built_patterns(p):
    for pretty in (False, True):
        text = p.to_json(pretty)
        again = pattern_from_json(text)
        assert again.to_json(pretty) == text
        assert again.to_json(not pretty) == p.to_json(not pretty)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet='ab[]$<>=!-, .0123456789"no\n\u3000', max_size=40))
def test_parser_round_trips_or_refuses_with_value_error(text):
    try:
        p = parse_pattern(text)
    except ValueError:
        return
    if '{"Float":null}' in p.to_json():  # an overflowing float literal
        with pytest.raises(ValueError):
            pattern_from_json(p.to_json())
    else:
        assert pattern_from_json(p.to_json()).to_json() == p.to_json()


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=60))
def test_readers_raise_only_value_error_on_random_text(text):
    for reader in (parse_pattern, pattern_from_json):
        try:
            reader(text)
        except ValueError:
            pass
