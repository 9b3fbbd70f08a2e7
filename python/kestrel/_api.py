"""The high-level entry points: any pattern form, any event source, no
sorting required of the caller."""

from __future__ import annotations

import functools
import operator
import os
import warnings
from collections.abc import Sequence
from typing import SupportsIndex

from . import _core
from ._carry import check_carry
from ._core import Pattern, PatternBuilder, parse_pattern, pattern_from_json
from ._durations import check_unit, with_integer_windows
from ._input import Keys, to_table
from ._results import Funnel, Matches, NearMisses

PatternLike = Pattern | PatternBuilder | str


class KestrelWarning(UserWarning):
    """A pattern that cannot match the events as written: a step whose event
    type never occurs, a reference to a binding nothing captures, a negative
    window."""


def match(
    pattern: PatternLike,
    events: object,
    *,
    exhaustive: bool = False,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
    carry: Sequence[str] | None = None,
    unit: str | None = None,
    max_matches: SupportsIndex | None = None,
    threads: SupportsIndex | None = None,
) -> Matches:
    """Return every match of `pattern` in `events`.

    `pattern` is a Pattern, a PatternBuilder, pattern text, or its JSON form.
    In pattern text a window may be a duration (`<=90s`, `<=5m`, `<=250ms`;
    units d, h, m, s, ms, us, ns): with datetime timestamps it is read in
    their unit; integer timestamps need `unit` ("s", "ms", "us" or "ns").
    `events` is a sequence of Event, an iterable of rows (mappings, named
    tuples or dataclass instances), a mapping of column names to columns, or
    a pandas, pyarrow or polars data frame or any Arrow stream; for rows and
    columns, `partition`, `ts` and `typ` name the key columns and the others
    become attributes (only those in `attributes`, when given). Columns in
    `carry` come along into the results, one list per match aligned with
    its indices. Events need not be sorted. Indices in the results are
    positions in `events` as given. With `max_matches`, finding more
    matches than that is a ValueError, raised as soon as the engine sees it.

    `threads` is how many threads the engine may spread the partitions over,
    with the interpreter lock released while they run; None means every core
    this process may use. The results are the same, in the same order,
    whatever the count.
    """
    exhaustive = checked_flag("exhaustive", exhaustive)
    limit = _checked_max_matches(max_matches)
    count = _checked_threads(threads)
    table = _table(events, _keys(partition, ts, typ, attributes), carry, count)
    compiled = _pattern(pattern, table, unit)
    _warn(compiled, table)
    return Matches(_core._match(compiled, table, exhaustive, limit, count))


def explain(
    pattern: PatternLike,
    events: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
    carry: Sequence[str] | None = None,
    unit: str | None = None,
    threads: SupportsIndex | None = None,
) -> NearMisses:
    """Return a near miss for every start of `pattern` in `events` that does
    not complete: how far it got and why it stopped.

    Takes the same arguments as `match`, `threads` included; indices in the
    results are positions in `events` as given.
    """
    count = _checked_threads(threads)
    table = _table(events, _keys(partition, ts, typ, attributes), carry, count)
    compiled = _pattern(pattern, table, unit)
    _warn(compiled, table)
    return NearMisses(_core._explain(compiled, table, count))


def funnel(
    pattern: PatternLike,
    events: object,
    *,
    by: str | None = None,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
    unit: str | None = None,
    threads: SupportsIndex | None = None,
) -> Funnel:
    """Return the funnel of `pattern` over `events`: for each step, how many
    partitions reached it, how many stopped there and why, and how long
    reaching it took from the start (median and 90th percentile).

    A partition counts once, at its deepest progress over all its starts.
    With `by`, the starts are grouped by the value of that column at their
    start event, and each group has its own funnel. Takes the other
    arguments of `match`, `threads` included. `str()` of the result is a
    printable table.
    """
    compiled, table, count = _funnel_input(
        pattern, events, by, (partition, ts, typ, attributes), unit, threads
    )
    _warn(compiled, table)
    return Funnel(_core._funnel(compiled, table, by, count), by)


def funnel_pieces(
    pattern: PatternLike,
    events: object,
    by: str | None,
    keys: tuple[str, str, str, Sequence[str] | None],
    unit: str | None,
) -> object:
    """What `funnel` reduces, as an Arrow stream capsule: one row per
    (group, partition) at its deepest start, with that pair's first start's
    position, so that the caller can add its partition, ts and `by` cell."""
    compiled, table, count = _funnel_input(pattern, events, by, keys, unit, 1)
    return _core._funnel_pieces(compiled, table, by, count)


def reduced_funnel(
    pattern: PatternLike,
    pieces: object,
    by: str | None,
    keys: tuple[str, str, str],
    unit: str | None,
) -> Funnel:
    """The funnel of the pieces of several `funnel_pieces` calls put
    together, as one `funnel` call over all their events returns it."""
    table = to_table(pieces, _keys(*keys, None))
    return Funnel(_core._funnel_reduce(_pattern(pattern, table, unit), table, by), by)


def _funnel_input(
    pattern: PatternLike,
    events: object,
    by: object,
    key_names: tuple[str, str, str, Sequence[str] | None],
    unit: str | None,
    threads: SupportsIndex | None,
) -> tuple[Pattern | PatternBuilder, _core._EventTable, int]:
    if by is not None and not isinstance(by, str):
        raise TypeError(f"by must name a column, not {type(by).__name__}")
    count = _checked_threads(threads)
    keys = _keys(*key_names)
    if by is not None and keys.attributes is not None and by not in keys.attributes:
        keys = keys._replace(attributes=[*keys.attributes, by])
    table = to_table(events, keys, count)
    return _pattern(pattern, table, unit), table, count


def checked_flag(label: str, value: object) -> bool:
    """True or False, NumPy's booleans included (as the counts take NumPy's
    integers); anything else is a TypeError."""
    kind = type(value)
    if kind is not bool and not (kind.__module__ == "numpy" and kind.__name__ in ("bool", "bool_")):
        raise TypeError(f"{label} must be True or False, not {_type_label(kind)}")
    return bool(value)


def _type_label(kind: type) -> str:
    """NumPy 2 names its boolean type `bool`, which would read as Python's."""
    return kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__name__}"


def _checked_max_matches(max_matches: object) -> int | None:
    if max_matches is None:
        return None
    return _checked_count("max_matches", max_matches, 0)


def _checked_threads(threads: object) -> int:
    if threads is None:
        return _usable_cores()
    return _checked_count("threads", threads, 1)


_INT64_MAX = 2**63 - 1


def _checked_count(label: str, value: object, least: int) -> int:
    """Any integer type (numpy's included) but bool, in what the engine's
    64-bit counts hold."""
    number = None if isinstance(value, bool) else _index(value)
    if number is None:
        raise TypeError(f"{label} must be an int or None, not {type(value).__name__}")
    if number < least:
        raise ValueError(f"{label} must be {least} or more, not {number}")
    if number > _INT64_MAX:
        raise OverflowError(f"{label} must be at most {_INT64_MAX}, not {number}")
    return number


def _index(value: object) -> int | None:
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        return None


def _usable_cores() -> int:
    """The cores this process may run on, which a container or `taskset`
    may make fewer than the machine has."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _table(
    events: object, keys: Keys, carry: Sequence[str] | None, threads: int = 1
) -> _core._EventTable:
    return to_table(events, keys, threads, check_carry(_names("carry", carry) or []))


def _keys(partition: str, ts: str, typ: str, attributes: Sequence[str] | None) -> Keys:
    for label, name in (("partition", partition), ("ts", ts), ("typ", typ)):
        if not isinstance(name, str):
            raise TypeError(f"{label} must name a column, not {type(name).__name__}")
    return Keys(partition, ts, typ, _names("attributes", attributes))


def _names(label: str, names: Sequence[str] | None) -> list[str] | None:
    if names is None:
        return None
    if isinstance(names, str):
        raise TypeError(f"{label} must be a sequence of column names, not a str")
    names = list(names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{label} must be column names, not {type(name).__name__}")
    return names


def _warn(pattern: Pattern | PatternBuilder, table: _core._EventTable) -> None:
    for message in _core._warnings(pattern, table):
        # 1 this function, 2 match/explain/funnel, 3 their caller.
        warnings.warn(message, KestrelWarning, stacklevel=3)


def read_pattern(text: str, unit: str | None = None) -> Pattern:
    """Pattern text, or its JSON form when the first non-blank character is
    `{`; the reader's ValueError when it is neither. Duration windows in the
    text are read in `unit`."""
    if text.lstrip().startswith("{"):
        return pattern_from_json(text)
    return parse_pattern(with_integer_windows(text, unit))


# Pattern objects are immutable, so a text's pattern is parsed once.
_parsed = functools.lru_cache(maxsize=256)(read_pattern)


def _pattern(
    pattern: PatternLike, table: _core._EventTable, unit: str | None
) -> Pattern | PatternBuilder:
    if isinstance(pattern, str):
        return _parsed(pattern, _window_unit(table, check_unit(unit)))
    if isinstance(pattern, (Pattern, PatternBuilder)):
        return pattern
    raise TypeError(
        "expected a Pattern, a PatternBuilder, or pattern text, not " + type(pattern).__name__
    )


def _window_unit(table: _core._EventTable, unit: str | None) -> str | None:
    """The unit duration windows are read in: nanoseconds for datetime
    timestamps, which the engine compares as nanoseconds whatever their
    column's unit, else the caller's `unit` for integer ones."""
    if table.time[0] != "datetime":
        return unit
    if unit not in (None, "ns"):
        raise ValueError(
            f"unit={unit!r} is for integer timestamps; with datetimes, windows are nanoseconds"
        )
    return "ns"
