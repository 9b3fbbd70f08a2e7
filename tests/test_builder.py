import inspect
import json

import pytest

from kestrel import Event, Pattern, PatternBuilder, match_events

VALUE_MESSAGE = "event attribute values must be str, int, float, bool, or None"


def steps(p):
    return json.loads(p.build().to_json() if isinstance(p, PatternBuilder) else p.to_json())[
        "steps"
    ]


def test_then_adds_a_plain_transition():
    s = steps(Pattern.event("a").then("b"))
    assert s[0]["transition_from_previous"] is None
    assert s[1]["transition_from_previous"] == {"max_elapsed": None, "absence": []}
    assert len(steps(Pattern.event("a"))) == 1


def test_builders_are_persistent():
    b = Pattern.event("a")
    x, y = b.then("x"), b.then("y")
    assert repr(b) == "PatternBuilder(steps=1)"
    assert [s["atom"]["event_type"] for s in steps(x)] == ["a", "x"]
    assert [s["atom"]["event_type"] for s in steps(y)] == ["a", "y"]
    b.where_eq("k", 1)
    assert steps(b)[0]["atom"]["predicates"] == []


@pytest.mark.parametrize(
    "within, stored", [(0, 0), (-5, -5), (True, 1), (None, None), (2**63 - 1, 2**63 - 1)]
)
def test_windows_are_stored_as_given(within, stored):
    s = steps(Pattern.event("a").then("b", within=within))
    assert s[1]["transition_from_previous"]["max_elapsed"] == stored


def test_window_errors():
    with pytest.raises(TypeError) as info:
        Pattern.event("a").then("b", within=1.5)
    assert str(info.value).startswith("argument 'within': ")
    with pytest.raises(OverflowError):
        Pattern.event("a").then("b", within=2**63)


def test_absence_atom_from_no():
    s = steps(Pattern.event("a").then("b", no="c"))
    assert s[1]["transition_from_previous"]["absence"] == [
        {"event_type": "c", "predicates": [], "reference_predicates": [], "captures": []}
    ]
    assert steps(Pattern.event("a").then("b", within=None, no=None)) == steps(
        Pattern.event("a").then("b")
    )


OPERATORS = [
    ("where_eq", "Eq"),
    ("where_ne", "NotEq"),
    ("where_gt", "Gt"),
    ("where_gte", "Gte"),
    ("where_lt", "Lt"),
    ("where_lte", "Lte"),
]


@pytest.mark.parametrize("method, op", OPERATORS)
def test_predicates_go_to_the_last_step(method, op):
    b = getattr(Pattern.event("a").then("b"), method)("n", 1)
    s = steps(b)
    assert s[0]["atom"]["predicates"] == []
    assert s[1]["atom"]["predicates"] == [{"attribute": "n", "operator": op, "value": {"Int": 1}}]


@pytest.mark.parametrize(
    "name, bound",
    [
        ("$u", "u"),
        (" u ", "u"),
        ("u", "u"),
        (" $user ", "user"),
        ("$$u", "$u"),
        ("$ u", " u"),
        ("$", ""),
        ("\u3000u\u2029", "u"),
        ("\x1cu", "\x1cu"),
    ],
)
def test_binding_names_are_normalised(name, bound):
    s = steps(Pattern.event("a").capture("user", name).where_ref_eq("user", name))
    assert s[0]["atom"]["captures"] == [{"name": bound, "attribute": "user"}]
    assert s[0]["atom"]["reference_predicates"] == [
        {"attribute": "user", "operator": "Eq", "binding": bound}
    ]


def test_clauses_keep_call_order():
    b = (
        Pattern.event("a")
        .capture("z", "z")
        .where_gt("y", 2.5)
        .capture("a", "a")
        .where_eq("x", None)
        .where_ref_eq("q", "z")
    )
    atom = steps(b)[0]["atom"]
    assert [c["name"] for c in atom["captures"]] == ["z", "a"]
    assert [p["value"] for p in atom["predicates"]] == [{"Float": 2.5}, "Null"]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: Pattern.event("a").where_eq("x", [1]), TypeError, VALUE_MESSAGE),
        (
            lambda: Pattern.event("a").where_eq(1, "v"),
            TypeError,
            "argument 'attribute': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: Pattern.event(1),
            TypeError,
            "argument 'typ': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: Pattern.event("a").then("b", no=3),
            TypeError,
            "argument 'no': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: Pattern.event("a").capture("x", None),
            TypeError,
            "argument 'name': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: Pattern.event(typ="a", kind="b"),
            TypeError,
            "Pattern.event() got an unexpected keyword argument 'kind'",
        ),
        (
            lambda: Pattern.event(),
            TypeError,
            "Pattern.event() missing 1 required positional argument: 'typ'",
        ),
        (
            lambda: Pattern.event("a").then(),
            TypeError,
            "PatternBuilder.then() missing 1 required positional argument: 'typ'",
        ),
        (
            lambda: Pattern.event("a").then("b", 1, "c", 4),
            TypeError,
            "PatternBuilder.then() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: Pattern.event("a").build(1),
            TypeError,
            "PatternBuilder.build() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda: Pattern.event("a").where_gte("x"),
            TypeError,
            "PatternBuilder.where_gte() missing 1 required positional argument: 'value'",
        ),
        (lambda: Pattern(), TypeError, "No constructor defined for Pattern"),
        (lambda: PatternBuilder(), TypeError, "No constructor defined for PatternBuilder"),
    ],
)
def test_builder_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_build_gives_independent_patterns():
    b = Pattern.event("a").then("b").then("c")
    p, q = b.build(), b.build()
    assert p is not q
    assert repr(p) == repr(q) == "Pattern(steps=3)"
    assert json.loads(p.to_json())["consumption"] == "FirstSuccessorPerStart"


def test_event_is_static_and_keywords_work():
    b = Pattern.event("a").build()
    assert repr(Pattern.event(typ="x").then(typ="y", within=3, no="z")) == "PatternBuilder(steps=2)"
    assert repr(Pattern.event("q")) == "PatternBuilder(steps=1)"
    assert repr(type(b).event("q")) == "PatternBuilder(steps=1)"


def test_builder_and_pattern_documentation():
    assert Pattern.__doc__ == "A compiled or parsed pattern, ready to match."
    assert PatternBuilder.__doc__.startswith(
        "A small fluent builder for the stable human-facing construction path.\n\nThe text DSL"
    )
    assert str(inspect.signature(Pattern.event)) == "(typ)"
    assert Pattern.event.__doc__ == "Start a builder for a pattern whose first step matches `typ`."
    assert str(inspect.signature(PatternBuilder.then)) == "(self, /, typ, within=None, no=None)"
    assert str(inspect.signature(PatternBuilder.capture)) == "(self, /, attribute, name)"
    assert PatternBuilder.build.__doc__ == "Finalise the builder into a [`PyPattern`]."
    assert str(inspect.signature(Pattern.to_json)) == "(self, /, pretty=False)"
    assert [n for n in vars(PatternBuilder) if not n.startswith("__")] == [
        "where_eq",
        "where_ne",
        "where_gt",
        "where_gte",
        "where_lt",
        "where_lte",
        "capture",
        "where_ref_eq",
        "then",
        "build",
    ]
    assert [n for n in vars(Pattern) if not n.startswith("__")] == ["event", "to_json"]


def test_builder_pattern_matches_like_its_build():
    evs = [Event("p", 1, "a", {"u": 1}), Event("p", 2, "b", {"u": 1})]
    b = Pattern.event("a").capture("u", "$u").then("b").where_ref_eq("u", "u")
    assert [m.indices for m in match_events(b, evs)] == [[0, 1]]
    assert [m.indices for m in match_events(b.build(), evs)] == [[0, 1]]
