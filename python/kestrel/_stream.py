"""Matching events that arrive in batches: the results of one call over the
whole stream, handed out as they become final, in memory that follows the
open partial matches rather than the length of the stream."""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple, SupportsIndex

from . import _core
from ._api import (
    PatternLike,
    _checked_threads,
    _keys,
    _names,
    _pattern,
    _table,
    _window_unit,
    checked_flag,
)
from ._carry import check_carry
from ._durations import check_unit, lateness_count
from ._results import Matches, NearMisses

_LATE = ("error", "drop")
_ALL_RETURNED = "flush() returned every result left"


class StreamStats(NamedTuple):
    events: int  # pushed so far, late ones included
    late_dropped: int
    matches: int  # handed out so far
    near_misses: int  # handed out so far
    buffered: int  # events held now
    open: int  # open partial matches; with near misses, starts not yet decided


class StreamEnd(NamedTuple):
    matches: Matches
    near_misses: NearMisses


class Stream:
    """An incremental matcher: push batches of events, get back each match
    as soon as it completes and each near miss as soon as nothing can change
    it. Over any split of a list of events into batches, the pushes and the
    flush give exactly what `match` and `explain` give for the whole list,
    in stream order rather than by partition.

    Each partition's events must come in timestamp order; partitions may
    interleave. An event older than its partition's newest is refused with
    a ValueError (the batch is not taken), or with `late="drop"` dropped and
    counted in `stats()`. With `lateness=D`, events may come up to D older
    than their partition's newest, and only older ones are late: the stream
    holds each partition's events back until its newest timestamp is more
    than D past them, so results come that much later. D is an integer in
    the timestamps' unit (nanoseconds for datetimes, as numeric windows are)
    or a duration: a `datetime.timedelta`, a `numpy.timedelta64` or text
    such as "30s" (with integer timestamps, a duration needs `unit=`). Indices are positions in the concatenated stream,
    dropped events included. A batch is anything `match` takes. Batches
    must agree on the kind of timestamps (integers, or datetimes in one time
    zone) and on the carried columns; an empty batch agrees with any, and a
    carried column that is all null with any type. Datetimes, and carried
    dates, times, timestamps and durations, may change unit from batch to
    batch: results are written in the finest unit pushed so far, so nothing
    is rounded, and a later result may come in a finer unit than an earlier
    one (a carried value that does not fit 64 bits in it refuses its batch).

    A near miss waits until the partition's newest timestamp is past its
    start by more than the pattern's windows added up; one whose next step's
    type has not occurred waits for that type's next event (which decides
    whether its reason is "no_successor" or "window_exceeded") or the end of
    the stream. Without a window on every step, near misses and the rows
    they need wait for `flush()`. Take near misses with `near_misses()` as
    you go, or pass `explain=False` when you want only matches: unsent near
    misses keep their events in memory.

    `threads` is how many threads reading each batch may use, as for
    `match`; None means every core this process may use. Matching runs on
    the calling thread.
    """

    _threads: SupportsIndex | None = None  # for streams pickled without it

    def __init__(
        self,
        pattern: PatternLike,
        *,
        exhaustive: bool = False,
        explain: bool = True,
        partition: str = "partition",
        ts: str = "ts",
        typ: str = "typ",
        attributes: Sequence[str] | None = None,
        carry: Sequence[str] | None = None,
        unit: str | None = None,
        late: str = "error",
        lateness: object = 0,
        threads: SupportsIndex | None = None,
    ) -> None:
        exhaustive = checked_flag("exhaustive", exhaustive)
        explain = checked_flag("explain", explain)
        if late not in _LATE:
            raise ValueError(f"late must be 'error' or 'drop', not {late!r}")
        if not isinstance(pattern, (str, _core.Pattern, _core.PatternBuilder)):
            raise TypeError(
                "expected a Pattern, a PatternBuilder, or pattern text, not "
                + type(pattern).__name__
            )
        self._pattern = pattern
        self._keys = _keys(partition, ts, typ, attributes)
        self._carry = check_carry(_names("carry", carry) or [])
        self._unit = check_unit(unit)
        self._options = (exhaustive, explain, late == "drop")
        self._lateness = lateness
        if not isinstance(lateness, int) or isinstance(lateness, bool):
            lateness_count(
                lateness, "ns"
            )  # a wrong kind of value fails here, not at the first push
        else:
            lateness_count(lateness, None)
        self._explain = explain
        _checked_threads(threads)
        self._threads = threads
        # Pattern text's windows are read in the unit of the first batch's
        # timestamps, so the engine's stream starts with the first events.
        self._engine: _core._Stream | None = None
        self._ended = False

    def push(self, events: object) -> Matches:
        """Take the next batch; return the matches that completed in it."""
        self._check_open("no events can follow flush()")
        table = _table(events, self._keys, self._carry, _checked_threads(self._threads))
        if self._engine is None:
            if len(table) == 0:
                return Matches(self._nothing(table).push(table))
            compiled = _pattern(self._pattern, table, self._unit)
            lateness = lateness_count(self._lateness, _window_unit(table, self._unit))
            self._engine = _core._stream(compiled, *self._options, lateness)
        return Matches(self._engine.push(table))

    def near_misses(self) -> NearMisses:
        """The near misses that became final since the last call, by start."""
        if not self._explain:
            raise ValueError("this stream does not explain; create it with explain=True")
        self._check_open(_ALL_RETURNED)
        return NearMisses(self._current().near_misses())

    def flush(self) -> StreamEnd:
        """End the stream: every start is decided. Returns the matches left
        (none without `lateness`: a match is handed out when it completes;
        with it, those the events held back complete) and every near miss
        not yet taken."""
        self._check_open(_ALL_RETURNED)
        engine = self._current()
        self._ended = True
        matches = Matches(engine.end())
        return StreamEnd(matches, NearMisses(engine.flush()))

    def stats(self) -> StreamStats:
        if self._engine is None:
            return StreamStats(0, 0, 0, 0, 0, 0)
        return StreamStats(*self._engine.stats())

    def _check_open(self, after_end: str) -> None:
        if self._ended:
            raise ValueError("the stream has ended; " + after_end)

    def _current(self) -> _core._Stream:
        return self._engine if self._engine is not None else self._nothing(_empty_table())

    def _nothing(self, table: _core._EventTable) -> _core._Stream:
        """A stream that has seen no events, for the empty results before the
        first: pattern text with duration windows may not compile yet."""
        try:
            compiled = _pattern(self._pattern, table, self._unit)
        except ValueError:
            compiled = _core.parse_pattern("a")
        return _core._stream(compiled, *self._options, 0)


def _empty_table() -> _core._EventTable:
    return _core._table_from_events([])
