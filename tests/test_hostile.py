"""Hostile Python input: hooks that raise or change what is being read,
subclasses that lie, integers past 64 bits and texts with lone surrogates.
Every case gives its documented error or a clean TypeError, ValueError or
RuntimeError, never a crash and never a wrong result."""

from __future__ import annotations

import array
import ctypes
import json
import subprocess
import sys
import textwrap
from collections.abc import Callable, Iterator

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

VALUE_MESSAGE = "event attribute values must be str, int, float, bool, or None"
SURROGATES = "surrogates not allowed"


def fields(matches: list) -> list:
    return [(m.partition, m.indices, m.start, m.end, m.types, m.captures) for m in matches]


def events_of(n: int) -> list[Event]:
    return [Event("p", i, "ab"[i % 2], {"i": i}) for i in range(n)]


def run_isolated(code: str) -> str:
    """Runs code in a fresh interpreter, so that a crash fails one test."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


PAIR = Pattern.event("a").then("b").build()

# ---------------------------------------------------------------------------
# Attribute dictionaries changed by the conversion hooks of their own values


def hook_changing(attrs: dict, change: Callable[[dict], None]) -> object:
    class Hooked:
        def __index__(self) -> int:
            change(attrs)
            return 1

    return Hooked()


CHANGES: list[tuple[str, Callable[[dict], None]]] = [
    ("grow", lambda d: d.update({f"k{i}": i for i in range(20)})),
    ("shrink", lambda d: d.pop("b")),
    ("swap a key, same size", lambda d: (d.pop("b"), d.update(z=26))),
    ("replace a later value", lambda d: d.update(b="changed")),
    ("drop the value being converted", lambda d: (d.clear(), d.update(a=0, b=0))),
    ("clear", lambda d: d.clear()),
]


@pytest.mark.parametrize("change", [c for _, c in CHANGES], ids=[n for n, _ in CHANGES])
def test_a_dict_changed_during_event_construction_is_refused(
    change: Callable[[dict], None],
) -> None:
    attrs: dict = {}
    attrs.update(a=hook_changing(attrs, change), b=2)
    with pytest.raises(RuntimeError, match="^dictionary changed during iteration$"):
        Event("p", 1, "a", attrs)


def test_a_hook_that_restores_the_dict_leaves_a_correct_event() -> None:
    attrs: dict = {"b": 2}

    def change_and_restore(d: dict) -> None:
        value = d.pop("a")
        d["a"] = value

    attrs["a"] = hook_changing(attrs, change_and_restore)
    assert Event("p", 1, "a", attrs).attrs == {"a": 1, "b": 2}


class Raises:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __index__(self) -> int:
        raise self.error

    def __float__(self) -> float:
        raise self.error


@pytest.mark.parametrize(
    "error",
    [TypeError("t"), ValueError("v"), OverflowError("o"), RuntimeError("r"), ZeroDivisionError()],
)
def test_failing_value_hooks_give_the_attribute_error(error: Exception) -> None:
    for call in (
        lambda: Event("p", 1, "a", {"x": Raises(error)}),
        lambda: Pattern.event("a").where_eq("x", Raises(error)),
    ):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == VALUE_MESSAGE


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_from_hooks_pass_through(error: type[BaseException]) -> None:
    with pytest.raises(error):
        Event("p", 1, "a", {"x": Raises(error())})
    with pytest.raises(error):
        Event("p", Raises(error()), "a")


def test_failing_ts_hooks_get_the_argument_prefix_and_keep_their_cause() -> None:
    cause = LookupError("inner")

    class Chained:
        def __index__(self) -> int:
            raise TypeError("outer \ud800") from cause

    with pytest.raises(TypeError) as info:
        Event("p", Chained(), "a")
    assert str(info.value) == "argument 'ts': outer \ud800"
    assert info.value.__cause__ is cause
    with pytest.raises(ValueError, match="^v$"):
        Event("p", Raises(ValueError("v")), "a")


def test_index_hooks_returning_wrong_types_are_refused() -> None:
    class BadIndex:
        def __index__(self) -> object:
            return "1"

    with pytest.raises(TypeError, match="^argument 'ts': __index__ returned non-int"):
        Event("p", BadIndex(), "a")
    with pytest.raises(TypeError, match="^argument 'within': __index__ returned non-int"):
        Pattern.event("a").then("b", within=BadIndex())
    with pytest.raises(TypeError) as info:
        Event("p", 1, "a", {"x": BadIndex()})
    assert str(info.value) == VALUE_MESSAGE


# ---------------------------------------------------------------------------
# Subclasses: their own contents count, never their overridden methods


class LyingStr(str):
    def __str__(self) -> str:
        return "lie"

    def __eq__(self, other: object) -> bool:
        raise AssertionError("__eq__ called")

    __hash__ = str.__hash__

    def encode(self, *args: object, **kwargs: object) -> bytes:
        raise AssertionError("encode called")


class LyingInt(int):
    def __index__(self) -> int:
        raise AssertionError("__index__ called")

    def __int__(self) -> int:
        raise AssertionError("__int__ called")


class LyingFloat(float):
    def __float__(self) -> float:
        raise AssertionError("__float__ called")


class LyingDict(dict):
    def __iter__(self) -> Iterator:
        raise AssertionError("__iter__ called")

    def __len__(self) -> int:
        raise AssertionError("__len__ called")

    def __getitem__(self, key: object) -> object:
        raise AssertionError("__getitem__ called")

    def items(self):  # type: ignore[override]
        raise AssertionError("items called")

    def keys(self):  # type: ignore[override]
        raise AssertionError("keys called")


class LyingList(list):
    def __len__(self) -> int:
        return 0

    def __getitem__(self, index: object) -> object:
        raise AssertionError("__getitem__ called")


def test_subclasses_are_read_by_their_contents() -> None:
    attrs = LyingDict({LyingStr("k"): LyingInt(7), "f": LyingFloat(2.5), "s": LyingStr("v")})
    e = Event(LyingStr("part"), LyingInt(-3), LyingStr("typ"), attrs)
    assert (e.partition, e.ts, e.typ, e.attrs) == ("part", -3, "typ", {"f": 2.5, "k": 7, "s": "v"})
    assert [type(v) for v in e.attrs.values()] == [float, int, str]
    b = (
        Pattern.event(LyingStr("a"))
        .where_eq(LyingStr("k"), LyingInt(7))
        .capture("s", LyingStr("$x"))
    )
    assert json.loads(b.build().to_json())["steps"][0]["atom"]["predicates"] == [
        {"attribute": "k", "operator": "Eq", "value": {"Int": 7}}
    ]
    events = LyingList(events_of(4))
    assert fields(match_events(PAIR, events)) == fields(match_events(PAIR, list(events_of(4))))
    assert [x.ts for x in sort_events(LyingList(events_of(3)[::-1]))] == [0, 1, 2]


def test_str_subclass_keywords_bind() -> None:
    e = Event(**{LyingStr("partition"): "p", LyingStr("ts"): 1, LyingStr("typ"): "a"})
    assert e.typ == "a"


# ---------------------------------------------------------------------------
# Event sequences whose iteration changes them


class Growing(list):
    """Appends one more event each time an item is taken, up to a limit."""

    def __iter__(self) -> Iterator[Event]:
        i = 0
        while i < len(self):
            if len(self) < 12:
                self.append(Event("p", 100 + i, "ab"[i % 2]))
            yield list.__getitem__(self, i)
            i += 1


class Shrinking:
    """A sequence (by __getitem__) that loses its last item at every read."""

    def __init__(self, items: list[Event]) -> None:
        self.items = items

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, index: int) -> Event:
        item = self.items[index]
        self.items.pop()
        return item


class Replacing(list):
    """Replaces every later item while iterating."""

    def __iter__(self) -> Iterator[Event]:
        for i in range(len(self)):
            item = list.__getitem__(self, i)
            for j in range(i + 1, len(self)):
                self[j] = Event("p", 50 + j, "b")
            yield item


SEQUENCES: list[tuple[str, Callable[[], object]]] = [
    ("growing list", lambda: Growing(events_of(4))),
    ("shrinking sequence", lambda: Shrinking(events_of(8))),
    ("replacing list", lambda: Replacing(events_of(6))),
]


@pytest.mark.parametrize("make", [m for _, m in SEQUENCES], ids=[n for n, _ in SEQUENCES])
def test_sequences_changed_while_read_give_what_iteration_gave(make: Callable[[], object]) -> None:
    seen = list(make())  # type: ignore[call-overload]
    assert fields(match_events(PAIR, make())) == fields(match_events(PAIR, seen))
    assert [(m.start_index, m.indices, m.reason) for m in near_miss_events(PAIR, make())] == [
        (m.start_index, m.indices, m.reason) for m in near_miss_events(PAIR, seen)
    ]
    assert [(e.ts, e.typ) for e in sort_events(make())] == [
        (e.ts, e.typ) for e in sort_events(seen)
    ]
    table = core._table_from_events(make())
    assert len(table) == len(seen)
    assert fields(core._match(PAIR, table, False)) == fields(match_events(PAIR, sort_events(seen)))


class FailingAt:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> Event:
        if index == 1:
            raise self.error
        return Event("p", index, "a")


class BadIter(list):
    def __iter__(self):  # type: ignore[override]
        return 5


@pytest.mark.parametrize(
    "call",
    [
        sort_events,
        lambda e: match_events(PAIR, e),
        lambda e: near_miss_events(PAIR, e),
        core._table_from_events,
    ],
)
def test_failing_sequences(call: Callable[[object], object]) -> None:
    with pytest.raises(TypeError, match="^argument 'events': bad$"):
        call(FailingAt(TypeError("bad")))
    with pytest.raises(ValueError, match="^bad$"):
        call(FailingAt(ValueError("bad")))
    with pytest.raises(KeyboardInterrupt):
        call(FailingAt(KeyboardInterrupt()))
    with pytest.raises(TypeError, match="^argument 'events': iter\\(\\) returned non-iterator"):
        call(BadIter())


def test_a_flag_hook_that_empties_the_events_does_not_change_the_result() -> None:
    events = events_of(6)
    expected = fields(match_events(PAIR, events, exhaustive=True))

    class FakeNumpyBool:
        def __bool__(self) -> bool:
            events.clear()
            return True

    FakeNumpyBool.__module__ = "numpy"
    FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"
    assert fields(match_events(PAIR, events, exhaustive=FakeNumpyBool())) == expected
    assert events == []


def test_an_interrupt_while_probing_a_flag_passes_through() -> None:
    class Meta(type):
        def __getattribute__(cls, name: str) -> object:
            if name == "__module__":
                raise KeyboardInterrupt
            return super().__getattribute__(name)

    class Flag(metaclass=Meta):
        pass

    with pytest.raises(KeyboardInterrupt):
        match_events(PAIR, [], exhaustive=Flag())


# ---------------------------------------------------------------------------
# Integers past 64 bits


@pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 2**64, -(2**64), 2**1000, -(2**1000)])
def test_huge_integers_overflow_where_64_bits_are_required(big: int) -> None:
    class Huge:
        def __index__(self) -> int:
            return big

    for value in (big, Huge()):
        with pytest.raises(OverflowError):
            Event("p", value, "a")
        with pytest.raises(OverflowError):
            Pattern.event("a").then("b", within=value)


@pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 2**64, -(2**100)])
def test_huge_integer_values_become_the_nearest_float(big: int) -> None:
    assert Event("p", 1, "a", {"x": big}).attrs == {"x": float(big)}
    literal = json.loads(Pattern.event("a").where_gt("x", big).build().to_json())
    assert literal["steps"][0]["atom"]["predicates"][0]["value"] == {"Float": float(big)}


@pytest.mark.parametrize("big", [10**400, -(10**400)])
def test_integers_beyond_any_float_are_refused(big: int) -> None:
    with pytest.raises(TypeError) as info:
        Event("p", 1, "a", {"x": big})
    assert str(info.value) == VALUE_MESSAGE


def test_64_bit_extremes_survive_matching() -> None:
    low, high = -(2**63), 2**63 - 1
    events = [Event("p", low, "a", {"v": high}), Event("p", high, "b", {"v": low})]
    [m] = match_events(parse_pattern(f"a[v == {high}, v as $v] -> b[v == {low}]"), events)
    assert (m.start, m.end, m.captures) == (low, high, {"v": high})


# ---------------------------------------------------------------------------
# Lone surrogates


LONE = ["\ud800", "\udfff", "a\udc00b", "\ud83d"]

TEXT_ENTRY_POINTS: list[tuple[str, Callable[[str], object]]] = [
    ("partition", lambda s: Event(s, 1, "a")),
    ("typ", lambda s: Event("p", 1, s)),
    ("attribute key", lambda s: Event("p", 1, "a", {s: 1})),
    ("pattern text", parse_pattern),
    ("pattern text literal", lambda s: parse_pattern(f'a[x == "{s}"]')),
    ("json text", lambda s: pattern_from_json(f'{{"steps": "{s}"}}')),
    ("Pattern.event", Pattern.event),
    ("then typ", lambda s: Pattern.event("a").then(s)),
    ("then no", lambda s: Pattern.event("a").then("b", no=s)),
    ("where attribute", lambda s: Pattern.event("a").where_lt(s, 1)),
    ("capture attribute", lambda s: Pattern.event("a").capture(s, "x")),
    ("capture name", lambda s: Pattern.event("a").capture("x", s)),
    ("where_ref_eq name", lambda s: Pattern.event("a").where_ref_eq("x", s)),
]


@pytest.mark.parametrize("text", LONE, ids=ascii)
@pytest.mark.parametrize(
    "call", [c for _, c in TEXT_ENTRY_POINTS], ids=[n for n, _ in TEXT_ENTRY_POINTS]
)
def test_lone_surrogates_in_texts_are_refused(call: Callable[[str], object], text: str) -> None:
    with pytest.raises(UnicodeEncodeError, match=SURROGATES):
        call(text)


@pytest.mark.parametrize("text", LONE, ids=ascii)
def test_lone_surrogates_in_values_are_not_values(text: str) -> None:
    for call in (
        lambda: Event("p", 1, "a", {"x": text}),
        lambda: Pattern.event("a").where_eq("x", text),
    ):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == VALUE_MESSAGE


def test_type_names_with_lone_surrogates_still_give_the_type_error() -> None:
    class Odd:
        pass

    Odd.__qualname__ = "odd\ud800"
    odd = Odd()
    for call in (
        lambda: core._table_from_events(odd),
        lambda: core._match(Pattern.event("a"), odd, False),
        lambda: core._table_from_columns(
            0, ("p", "object", []), ("ts", array.array("q")), ("t", "object", []), [odd]
        ),
    ):
        with pytest.raises(TypeError, match=r"odd\\ud800"):
            call()


def json_with_type(escaped: str) -> str:
    return json.dumps(
        {
            "steps": [
                {
                    "atom": {
                        "event_type": "TYPE",
                        "predicates": [],
                        "reference_predicates": [],
                        "captures": [],
                    },
                    "transition_from_previous": None,
                }
            ],
            "consumption": "FirstSuccessorPerStart",
        }
    ).replace("TYPE", escaped)


@pytest.mark.parametrize(
    "escaped", ["\\ud800", "\\udc00", "\\ud800\\u0041", "\\ud800\\ud800", "x\\udfffy"]
)
def test_escaped_lone_surrogates_in_json_are_refused(escaped: str) -> None:
    with pytest.raises(ValueError, match=" at line 1 column "):
        pattern_from_json(json_with_type(escaped))


def test_non_ascii_texts_are_carried_exactly() -> None:
    odd = "\x00\u00e9\uffff\U0010ffff\U0001f600"
    p = pattern_from_json(json_with_type("\\ud83d\\ude00\\u0000"))
    assert json.loads(p.to_json())["steps"][0]["atom"]["event_type"] == "\U0001f600\x00"
    events = [Event(odd, 1, "\U0001f600\x00", {odd: odd})]
    [m] = match_events(p, events)
    assert (m.partition, m.types, m.events[0].attrs) == (odd, ["\U0001f600\x00"], {odd: odd})
    built = Pattern.event(odd).where_eq(odd, odd).capture(odd, odd).build()
    assert json.loads(pattern_from_json(built.to_json()).to_json()) == json.loads(built.to_json())


class Named:
    pass


Named.__qualname__ = "Bad\ud800Name"


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: Event(Named(), 1, "a"),
            "argument 'partition': 'Bad\\ud800Name' object cannot be converted to 'PyString'",
        ),
        (
            lambda: Event("p", 1, "a", {Named(): 1}),
            "'Bad\\ud800Name' object cannot be converted to 'PyString'",
        ),
        (
            lambda: sort_events([Named()]),
            "argument 'events': 'Bad\\ud800Name' object cannot be converted to 'Event'",
        ),
        (
            lambda: match_events(PAIR, [], exhaustive=Named()),
            "argument 'exhaustive': 'Bad\\ud800Name' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: Event("p", 1, "a", **{"\ud800": 1}),
            "Event.__new__() got an unexpected keyword argument '\\ud800'",
        ),
        (
            lambda: parse_pattern(**{"x\udc00": ""}),
            "parse_pattern() got an unexpected keyword argument 'x\\udc00'",
        ),
    ],
)
def test_messages_naming_surrogates_stay_type_errors(
    call: Callable[[], object], message: str
) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_a_replaced_unicodedata_module_cannot_crash_a_repr() -> None:
    code = textwrap.dedent("""
        import sys, types
        fake = types.ModuleType("unicodedata")
        fake.category = lambda ch: 5
        sys.modules["unicodedata"] = fake
        from kestrel._core import Event
        try:
            repr(Event("p\\u00e9", 1, "a"))
        except TypeError as error:
            print("TypeError", error)
    """)
    out = run_isolated(code)
    assert out == "TypeError unicodedata.category() must return str\n"


# ---------------------------------------------------------------------------
# kestrel._core._table_from_columns


N = 3
TS = array.array("q", [1, 2, 3])


def text(name: str, values: object) -> tuple[str, str, object]:
    return (name, "object", values)


def columns(**changes: object) -> tuple[object, ...]:
    parts: dict[str, object] = {
        "length": N,
        "partition": text("p", ["p"] * N),
        "ts": ("ts", TS),
        "typ": text("t", ["a", "b", "a"]),
        "attributes": [],
    }
    parts.update(changes)
    return tuple(parts.values())


def big_endian_ts() -> object:
    values = (ctypes.c_int64.__ctype_be__ * N)(1, 2, 3)  # type: ignore[attr-defined]
    return values


def released_view() -> memoryview:
    view = memoryview(TS)
    view.release()
    return view


BAD_TS = "`ts` has a buffer of the wrong shape or type"

COLUMN_ERRORS: list[tuple[str, tuple[object, ...], type[Exception], str]] = [
    ("ts float64", columns(ts=("ts", array.array("d", [1, 2, 3]))), ValueError, BAD_TS),
    ("ts int32", columns(ts=("ts", array.array("i", [1, 2, 3]))), ValueError, BAD_TS),
    ("ts uint64", columns(ts=("ts", array.array("Q", [1, 2, 3]))), ValueError, BAD_TS),
    ("ts big-endian", columns(ts=("ts", big_endian_ts())), ValueError, BAD_TS),
    ("ts too short", columns(ts=("ts", array.array("q", [1, 2]))), ValueError, BAD_TS),
    ("ts too long", columns(ts=("ts", array.array("q", [1, 2, 3, 4]))), ValueError, BAD_TS),
    (
        "ts two-dimensional",
        columns(ts=("ts", memoryview(TS).cast("B").cast("q", [1, 3]))),
        ValueError,
        BAD_TS,
    ),
    ("ts bytes", columns(ts=("ts", b"\0" * 24)), ValueError, BAD_TS),
    ("ts list", columns(ts=("ts", [1, 2, 3])), TypeError, "bytes-like object is required"),
    ("ts released view", columns(ts=("ts", released_view())), ValueError, "released memoryview"),
    (
        "partition tuple",
        columns(partition=text("p", ("p",) * N)),
        ValueError,
        "`p` is not a list of the table's length",
    ),
    ("partition str", columns(partition=text("p", "ppp")), ValueError, "`p` is not a list"),
    ("partition short", columns(partition=text("p", ["p"])), ValueError, "`p` is not a list"),
    (
        "partition null",
        columns(partition=text("p", ["p", None, "p"])),
        ValueError,
        "`p` is null at row 1",
    ),
    (
        "typ bytes",
        columns(typ=text("t", ["a", b"b", "a"])),
        TypeError,
        "`t` must hold text, not bytes (row 1)",
    ),
    (
        "typ surrogate",
        columns(typ=text("t", ["a", "\ud800", "a"])),
        ValueError,
        "`t` row 1: 'utf-8' codec can't encode character '\\ud800' in position 0: " + SURROGATES,
    ),
    (
        "attribute mask short",
        columns(attributes=[("x", "int", TS, memoryview(b"\0").cast("?"))]),
        ValueError,
        "`x` has a buffer of the wrong shape or type",
    ),
    (
        "attribute mask int64",
        columns(attributes=[("x", "int", TS, TS)]),
        ValueError,
        "`x` has a buffer of the wrong shape or type",
    ),
    (
        "attribute mask list",
        columns(attributes=[("x", "int", TS, [False] * N)]),
        TypeError,
        "bytes-like object is required",
    ),
    (
        "attribute data list",
        columns(attributes=[("x", "int", [1, 2, 3], None)]),
        TypeError,
        "bytes-like object is required",
    ),
    (
        "object column tuple",
        columns(attributes=[("x", "object", (1, 2, 3), None)]),
        ValueError,
        "`x` is not a list of the table's length",
    ),
    (
        "object cell",
        columns(attributes=[("x", "object", [1, {}, 3], None)]),
        TypeError,
        "`x` row 1: " + VALUE_MESSAGE + ", not dict",
    ),
    (
        "unknown kind",
        columns(attributes=[("x", "str", [1, 2, 3], None)]),
        ValueError,
        "`x` has unknown kind `str`",
    ),
    ("attributes not a list", columns(attributes=(("x", "int", TS, None),)), TypeError, ""),
]


@pytest.mark.parametrize(
    "args, error, message", [c[1:] for c in COLUMN_ERRORS], ids=[c[0] for c in COLUMN_ERRORS]
)
def test_bad_columns_are_refused(
    args: tuple[object, ...], error: type[Exception], message: str
) -> None:
    with pytest.raises(error) as info:
        core._table_from_columns(*args)
    assert message in str(info.value)


def test_buffers_that_refuse_a_contiguous_export_are_refused() -> None:
    np = pytest.importorskip("numpy")
    strided = np.arange(2 * N, dtype=np.int64)[::2]
    for args in (
        columns(ts=("ts", strided)),
        columns(attributes=[("x", "int", strided, None)]),
        columns(attributes=[("x", "int", TS, np.zeros(2 * N, dtype=bool)[::2])]),
    ):
        with pytest.raises((ValueError, BufferError), match="contiguous"):
            core._table_from_columns(*args)


def test_bool_buffers_accept_any_byte() -> None:
    flags = memoryview(bytes([0, 2, 255])).cast("?")
    table = core._table_from_columns(*columns(attributes=[("f", "bool", flags, None)]))
    got = core._match(Pattern.event("a").where_eq("f", True), table, False)
    assert [m.indices for m in got] == [[2]]


# Malformed column tuples, and hooks that change the columns while they are
# read. Each runs in its own interpreter, where a fault cannot take the test
# process down with it.
ISOLATED_PRELUDE = """
import array
import kestrel._core as core
from kestrel._core import Pattern
N = 3
TS = array.array("q", [1, 2, 3])
def build(attributes, length=N, ts=("ts", TS)):
    return core._table_from_columns(length, ("p", "object", ["p"] * N), ts,
                                 ("t", "object", ["a"] * N), attributes)
def outcome(make):
    try:
        table = make()
    except (TypeError, ValueError, RuntimeError) as error:
        return type(error).__name__
    return [m.captures for m in core._match(Pattern.event("a").capture("x", "x"), table, False)]
"""

ISOLATED_CASES: list[tuple[str, str, set[str]]] = [
    (
        "attribute column not a tuple",
        "print(outcome(lambda: build([['x', 'int', TS, None]])))",
        {"TypeError"},
    ),
    ("ts column not a tuple", "print(outcome(lambda: build([], ts=['ts', TS])))", {"TypeError"}),
    ("length past memory", "print(outcome(lambda: build([], length=2**62)))", {"ValueError"}),
    # 8 * (2**61 + 3) wraps to the 24 bytes of TS.
    (
        "length wrapping the byte count",
        "print(outcome(lambda: build([], length=2**61 + 3)))",
        {"ValueError"},
    ),
    (
        "a cell hook empties its column",
        """
values = []
class Empties:
    def __index__(self):
        values.clear()
        return 7
values.extend([Empties(), 2, 3])
print(outcome(lambda: build([("x", "object", values, None)])))
""",
        {"RuntimeError"},
    ),
    (
        "a cell hook frees its own cell",
        """
values = []
class Frees:
    def __index__(self):
        values[0] = 0
        raise TypeError  # the float conversion comes next, on the same object
    def __float__(self):
        return 7.5
values.extend([Frees(), 2, 3])
print(outcome(lambda: build([("x", "object", values, None)])))
""",
        {"[{'x': 7.5}, {'x': 2}, {'x': 3}]"},
    ),
    (
        "a cell hook empties the attribute list",
        """
attributes = []
class Clears:
    def __index__(self):
        attributes.clear()
        return 7
attributes.append(("x", "object", [Clears(), 2, 3], None))
print(outcome(lambda: build(attributes)))
""",
        {"[{'x': 7}, {'x': 2}, {'x': 3}]"},
    ),
]


@pytest.mark.parametrize(
    "code, allowed", [c[1:] for c in ISOLATED_CASES], ids=[c[0] for c in ISOLATED_CASES]
)
def test_hostile_columns_never_crash(code: str, allowed: set[str]) -> None:
    assert run_isolated(ISOLATED_PRELUDE + code).strip() in allowed
