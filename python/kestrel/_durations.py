"""Windows written as durations (`<=90s`, `<=250ms`) in pattern text.

The engine compares timestamps as plain integers, so a window is a number in
the timestamps' own unit. Durations are rewritten to that number before the
text is parsed. Only what the parser itself reads as a window is rewritten:
the text is cut the way the parser cuts it (the arrows `-[ ... ]->` at
bracket depth 0, their bodies at commas), and a piece inside a quoted string
is left alone.
"""

from __future__ import annotations

import datetime as dt
import re
from collections.abc import Callable

UNITS = ("s", "ms", "us", "ns")
_NANOSECONDS = {
    "ns": 1,
    "us": 1_000,
    "ms": 1_000_000,
    "s": 1_000_000_000,
    "m": 60_000_000_000,
    "h": 3_600_000_000_000,
    "d": 86_400_000_000_000,
}
_DURATION = re.compile(r"<=\s*([+-]?[0-9]+)\s*(ns|us|ms|s|m|h|d)", re.ASCII)
_LATENESS = re.compile(r"([+-]?[0-9]+)\s*(ns|us|ms|s|m|h|d)", re.ASCII)
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def check_unit(unit: object) -> str | None:
    """`unit` as given, once known to be None or one of UNITS."""
    if unit is None:
        return None
    if not isinstance(unit, str):
        raise TypeError(f"unit must be one of 's', 'ms', 'us', 'ns', not {type(unit).__name__}")
    if unit not in UNITS:
        raise ValueError(f"unit must be one of 's', 'ms', 'us', 'ns', not {unit!r}")
    return unit


def with_integer_windows(text: str, unit: str | None) -> str:
    """`text` with every duration window replaced by the same span in `unit`.

    A duration needs a unit (ValueError saying to pass unit= when it is
    None) and must be a whole number of units: it is never rounded.
    """
    return _rewritten(text, lambda found: _in_unit(found, unit))


def _rewritten(text: str, count: Callable[[re.Match[str]], int]) -> str:
    if "<=" not in text:
        return text
    pieces: list[str] = []
    done = 0
    for start, end in _window_spans(text):
        found = _DURATION.fullmatch(text, start, end)
        if found is None:
            continue
        pieces += [text[done:start], "<=" + str(count(found))]
        done = end
    return "".join(pieces) + text[done:] if pieces else text


def without_durations(text: str) -> str:
    """`text` with every duration window made `<=0`: the pattern as the
    parser will see it, for checking it before the unit is known."""
    return _rewritten(text, lambda found: 0)


def _in_unit(found: re.Match[str], unit: str | None) -> int:
    written = found.group(0)
    if unit is None:
        raise ValueError(
            f"the window `{written}` is a duration, but integer timestamps have no known "
            "unit; pass unit= ('s', 'ms', 'us' or 'ns')"
        )
    nanoseconds = int(found.group(1)) * _NANOSECONDS[found.group(2)]
    count, remainder = divmod(nanoseconds, _NANOSECONDS[unit])
    if remainder:
        raise ValueError(f"the window `{written}` is not a whole number of {unit}")
    if not _INT64_MIN <= count <= _INT64_MAX:
        raise ValueError(f"the window `{written}` is out of the 64-bit range in {unit}")
    return count


def _window_spans(text: str) -> list[tuple[int, int]]:
    """The (start, end) of every trimmed transition piece that begins with
    `<=` outside quoted strings, as the parser would read the text."""
    quoted = _quoted_spans(text)
    spans = []
    at = 0
    while (arrow := _top_level_arrow(text, at)) >= 0:
        if text.startswith("->", arrow):
            at = arrow + 2
            continue
        body = arrow + 2
        close = text.find("]->", body)
        if close < 0:
            break
        for start, end in _pieces(text, body, close):
            if text.startswith("<=", start) and not _inside(quoted, start):
                spans.append((start, end))
        at = close + 3
    return spans


def _top_level_arrow(text: str, at: int) -> int:
    """Where the first `->` or `-[` at bracket depth 0 from `at` begins, or
    -1; brackets count inside quoted strings too, as they do for the parser."""
    depth = 0
    for i in range(at, len(text) - 1):
        char = text[i]
        if char == "[":
            depth += 1
        elif char == "]":
            depth -= 1
        elif char == "-" and depth == 0 and text[i + 1] in ">[":
            return i
    return -1


def _pieces(text: str, start: int, end: int) -> list[tuple[int, int]]:
    """The comma-separated pieces of text[start:end], trimmed."""
    out = []
    for piece in re.finditer(r"[^,]+", text[start:end]):
        body = piece.group(0)
        lead = len(body) - len(body.lstrip())
        out.append((start + piece.start() + lead, start + piece.start() + len(body.rstrip())))
    return out


def _quoted_spans(text: str) -> list[tuple[int, int]]:
    spans = []
    opened = -1
    for i, char in enumerate(text):
        if char == '"':
            if opened < 0:
                opened = i
            else:
                spans.append((opened, i))
                opened = -1
    if opened >= 0:
        spans.append((opened, len(text)))
    return spans


def _inside(spans: list[tuple[int, int]], at: int) -> bool:
    return any(start < at < end for start, end in spans)


def lateness_count(lateness: object, unit: str | None) -> int:
    """A stream's `lateness` as a count of `unit` (None: integer timestamps
    of no known unit). A number is in that unit already; a duration is a
    `datetime.timedelta` (pandas' Timedelta is one), a `numpy.timedelta64`,
    or text such as "30s", and needs a unit, of which it must be a whole
    number."""
    if isinstance(lateness, bool) or not isinstance(lateness, (int, str, dt.timedelta)):
        if type(lateness).__name__ != "timedelta64":
            raise TypeError(
                "lateness must be an integer or a duration (a timedelta, or text such as '30s'), "
                f"not {type(lateness).__name__}"
            )
    nanoseconds = _nanoseconds(lateness)
    count: int
    if nanoseconds is None:
        count = int(lateness)  # type: ignore[call-overload]
    elif unit is None:
        raise ValueError(
            f"lateness {lateness!s} is a duration, but integer timestamps have no known unit; "
            "pass unit= ('s', 'ms', 'us' or 'ns')"
        )
    else:
        count, remainder = divmod(nanoseconds, _NANOSECONDS[unit])
        if remainder:
            raise ValueError(f"lateness {lateness!s} is not a whole number of {unit}")
    if count < 0:
        raise ValueError(f"lateness must be 0 or more, not {lateness!s}")
    if count > _INT64_MAX:
        raise ValueError(f"lateness {lateness!s} is out of the 64-bit range")
    return count


def _nanoseconds(lateness: object) -> int | None:
    """The duration in nanoseconds, or None for a plain number."""
    if isinstance(lateness, str):
        found = _LATENESS.fullmatch(lateness.strip())
        if found is None:
            raise ValueError(
                f"lateness {lateness!r} is not a duration such as '30s' "
                "(a whole number and one of ns, us, ms, s, m, h, d)"
            )
        return int(found.group(1)) * _NANOSECONDS[found.group(2)]
    if isinstance(lateness, dt.timedelta):
        nanoseconds = getattr(lateness, "value", None)  # pandas keeps nanoseconds
        if isinstance(nanoseconds, int):
            return nanoseconds
        return (lateness.days * 86_400 + lateness.seconds) * 10**9 + lateness.microseconds * 1000
    if isinstance(lateness, int):
        return None
    total: int = int(lateness.astype("timedelta64[ns]").astype("int64"))  # type: ignore[attr-defined]
    return total
