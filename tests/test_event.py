import inspect
import math

import pytest

from kestrel._core import Event

VALUE_MESSAGE = "event attribute values must be str, int, float, bool, or None"


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


class StrSub(str):
    pass


class IntSub(int):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "given, expected, kind",
    [
        (True, True, bool),
        (False, False, bool),
        (1, 1, int),
        (-(2**63), -(2**63), int),
        (2**63 - 1, 2**63 - 1, int),
        (IntSub(7), 7, int),
        (Indexable(5), 5, int),
        (1.0, 1.0, float),
        (Floaty(), 2.5, float),
        (2**63, 9223372036854775808.0, float),
        (-(2**63) - 1, -9223372036854775808.0, float),
        ("1", "1", str),
        (StrSub("s"), "s", str),
        ("", "", str),
        ("é漢🙂", "é漢🙂", str),
        (None, None, type(None)),
    ],
)
def test_attribute_values_convert_by_the_first_matching_rule(given, expected, kind):
    value = Event("p", 1, "a", {"x": given}).attrs["x"]
    assert value == expected
    assert type(value) is kind


def test_nan_attribute_stays_nan():
    assert math.isnan(Event("p", 1, "a", {"x": float("nan")}).attrs["x"])


@pytest.mark.parametrize("bad", [[1], b"x", {"a": 1}, 10**400, object(), (1,), "\ud800"])
def test_unsupported_attribute_values_are_refused(bad):
    with pytest.raises(TypeError) as info:
        Event("p", 1, "a", {"x": bad})
    assert str(info.value) == VALUE_MESSAGE


def test_ts_conversions():
    assert Event("p", True, "a").ts == 1
    assert Event("p", Indexable(-3), "a").ts == -3
    assert Event("p", -(2**63), "a").ts == -(2**63)
    with pytest.raises(TypeError) as info:
        Event("p", 1.5, "a")
    assert str(info.value).startswith("argument 'ts': ")
    with pytest.raises(TypeError) as info:
        Event("p", "1", "a")
    assert str(info.value).startswith("argument 'ts': ")
    with pytest.raises(OverflowError):
        Event("p", 2**63, "a")


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, 1, "a"), "argument 'partition': 'int' object cannot be converted to 'PyString'"),
        (("p", 1, b"a"), "argument 'typ': 'bytes' object cannot be converted to 'PyString'"),
        (("p", 1, "a", [1]), "argument 'attrs': 'list' object cannot be converted to 'PyDict'"),
        (("p", 1, "a", {1: 1}), "'int' object cannot be converted to 'PyString'"),
        (("p",), "Event.__new__() missing 2 required positional arguments: 'ts' and 'typ'"),
        (("p", 1), "Event.__new__() missing 1 required positional argument: 'typ'"),
        (
            (),
            "Event.__new__() missing 3 required positional arguments: 'partition', 'ts', and 'typ'",
        ),
        (
            ("p", 1, "a", None, 5),
            "Event.__new__() takes from 3 to 4 positional arguments but 5 were given",
        ),
    ],
)
def test_constructor_errors(args, message):
    with pytest.raises(TypeError) as info:
        Event(*args)
    assert str(info.value) == message


def test_keyword_errors():
    with pytest.raises(
        TypeError, match=r"^Event.__new__\(\) got an unexpected keyword argument 'x'$"
    ):
        Event("p", 1, "a", x=1)
    with pytest.raises(
        TypeError, match=r"^Event.__new__\(\) got multiple values for argument 'ts'$"
    ):
        Event("p", 1, "a", ts=2)


def test_all_parameters_by_keyword_and_subclasses():
    e = Event(attrs=DictSub(b=1), typ=StrSub("t"), ts=IntSub(4), partition=StrSub("q"))
    assert (e.partition, e.ts, e.typ, e.attrs) == ("q", 4, "t", {"b": 1})
    assert type(e.partition) is str and type(e.typ) is str


def test_attrs_come_back_in_byte_order_and_are_fresh_copies():
    source = {"b": 1, "a": 2, "B": 3, "aa": 4, "é": 5}
    e = Event("p", 1, "a", source)
    assert list(e.attrs) == ["B", "a", "aa", "b", "é"]
    got = e.attrs
    got["new"] = 1
    source["later"] = 2
    assert "new" not in e.attrs and "later" not in e.attrs
    assert e.attrs is not e.attrs
    assert Event("p", 1, "a").attrs == {} and Event("p", 1, "a", None).attrs == {}


def test_repr_quotes_texts():
    e = Event('p"1', -5, "a\nb")
    assert repr(e) == 'Event(partition="p\\"1", ts=-5, typ="a\\nb")'
    assert (
        repr(Event("it's", 0, "\\\t\r\0")) == 'Event(partition="it\'s", ts=0, typ="\\\\\\t\\r\\0")'
    )


@pytest.mark.parametrize(
    "text, shown",
    [
        ("é漢🙂", "é漢🙂"),
        ("\x07", "\\u{7}"),
        ("\x7f", "\\u{7f}"),
        ("\u200b", "\\u{200b}"),  # format character
        ("\u00a0", "\\u{a0}"),  # separator other than space
        ("e\u0301", "e\\u{301}"),  # combining mark
        ("\ue000", "\\u{e000}"),  # private use
        (" ", " "),
    ],
)
def test_repr_escapes_unprintable_characters(text, shown):
    assert repr(Event(text, 0, "t")) == f'Event(partition="{shown}", ts=0, typ="t")'


def test_events_compare_by_identity():
    a, b = Event("p", 1, "a"), Event("p", 1, "a")
    assert a != b and a == a
    assert hash(a) != hash(b) or a is not b


def test_event_is_immutable():
    e = Event("p", 1, "a")
    with pytest.raises(AttributeError):
        e.ts = 2
    with pytest.raises((AttributeError, TypeError)):
        e.extra = 1


def test_class_surface():
    assert Event.__doc__ == "A single typed, timestamped event within a partition."
    assert str(inspect.signature(Event)) == "(partition, ts, typ, attrs=None)"
    props = [n for n, v in vars(Event).items() if isinstance(v, type(Event.ts))]
    assert props == ["partition", "ts", "typ", "attrs"]
    assert all(getattr(Event, n).__doc__ is None for n in props)


def test_mutating_attrs_from_a_conversion_hook_is_safe():
    attrs = {}

    class Evil:
        def __index__(self):
            attrs.clear()
            attrs.update({f"k{i}": i for i in range(50)})
            return 1

    attrs.update({"a": Evil(), "b": 2})
    with pytest.raises(RuntimeError):
        Event("p", 1, "a", attrs)


def test_errors_of_conversion_hooks_are_discarded_but_interrupts_pass():
    class Raises:
        def __index__(self):
            raise ValueError("no")

        def __float__(self):
            raise ValueError("no")

    with pytest.raises(TypeError) as info:
        Event("p", 1, "a", {"x": Raises()})
    assert str(info.value) == VALUE_MESSAGE

    class Interrupts:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Event("p", 1, "a", {"x": Interrupts()})
