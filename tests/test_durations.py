"""Duration windows in pattern text: rewritten to the timestamps' unit, or
refused; never rounded, never found inside quoted strings or atoms."""

import datetime as dt

import pytest

import kestrel
from kestrel._durations import with_integer_windows

REWRITES = [
    # (text, unit, rewritten text or the start of the ValueError's message)
    ("a -[<=90s]-> b", "ns", "a -[<=90000000000]-> b"),
    ("a -[<=5m]-> b", "s", "a -[<=300]-> b"),
    ("a -[<=2h, no c]-> b -[<= 1d ]-> d", "s", "a -[<=7200, no c]-> b -[<=86400 ]-> d"),
    ("a -[<=250ms]-> b", "us", "a -[<=250000]-> b"),
    ("a -[<=10us]-> b", "ns", "a -[<=10000]-> b"),
    ("a -[<=5ns]-> b", "ns", "a -[<=5]-> b"),
    ("a -[<=2s]-> b", "ms", "a -[<=2000]-> b"),
    ("a -[<=300]-> b", None, "a -[<=300]-> b"),  # a plain number is left alone
    ('a[x == "-[<=5s]->"] -> b', "s", 'a[x == "-[<=5s]->"] -> b'),  # quoted
    ('a -[no c[x == "y,<=5s,z"]]-> b', "s", 'a -[no c[x == "y,<=5s,z"]]-> b'),  # quoted
    ("a[x <= 5s] -> b", "s", "a[x <= 5s] -> b"),  # an atom's comparison
    ("a -[<=250ms]-> b", "s", "the window `<=250ms` is not a whole number of s"),
    ("a -[<=1s]-> b", None, "the window `<=1s` is a duration, but integer timestamps"),
    ("a -[<=300000d]-> b", "ns", "the window `<=300000d` is out of the 64-bit range in ns"),
]


@pytest.mark.parametrize(("text", "unit", "expected"), REWRITES)
def test_windows_are_rewritten_or_refused(text, unit, expected):
    if "->" in expected:
        assert with_integer_windows(text, unit) == expected
    else:
        with pytest.raises(ValueError, match="^" + expected.replace("(", r"\(").replace("`", ".")):
            with_integer_windows(text, unit)


NS = 1_000_000_000
T0 = dt.datetime(2024, 5, 1, tzinfo=dt.timezone.utc)
# Purchases 4 minutes and 6 minutes after their login.
GAPS = [240, 360]


def rows(as_datetime):
    out = []
    for user, gap in enumerate(GAPS):
        for offset, typ in ((0, "login"), (gap, "buy")):
            ts = T0 + dt.timedelta(seconds=offset) if as_datetime else offset
            out.append({"partition": f"u{user}", "ts": ts, "typ": typ})
    return out


@pytest.mark.parametrize(
    ("window", "as_datetime", "unit", "matched"),
    [
        ("5m", True, None, ["u0"]),
        ("300s", False, "s", ["u0"]),
        ("6m", False, "s", ["u0", "u1"]),
        ("5m", True, "ns", ["u0"]),
    ],
)
def test_durations_through_match(window, as_datetime, unit, matched):
    found = kestrel.match(f"login -[<={window}]-> buy", rows(as_datetime), unit=unit)
    assert [m.partition for m in found] == matched


@pytest.mark.parametrize(
    ("as_datetime", "unit", "error", "message"),
    [
        (False, None, ValueError, "pass unit="),
        (False, "min", ValueError, "unit must be one of"),
        (False, 60, TypeError, "unit must be one of"),
        (True, "s", ValueError, "unit='s' is for integer timestamps"),
    ],
)
def test_durations_need_a_known_unit(as_datetime, unit, error, message):
    for call in (kestrel.match, kestrel.explain, kestrel.funnel):
        with pytest.raises(error, match=message):
            call("login -[<=5m]-> buy", rows(as_datetime), unit=unit)
