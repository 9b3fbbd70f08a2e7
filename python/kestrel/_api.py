"""The high-level entry points: any pattern form, any event source, no
sorting required of the caller."""

from __future__ import annotations

from collections.abc import Sequence

from . import _core
from ._core import Match, NearMiss, Pattern, PatternBuilder, parse_pattern, pattern_from_json
from ._input import Keys, to_table

PatternLike = Pattern | PatternBuilder | str


def match(
    pattern: PatternLike,
    events: object,
    *,
    exhaustive: bool = False,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
) -> list[Match]:
    """Return every match of `pattern` in `events`.

    `pattern` is a Pattern, a PatternBuilder, pattern text, or its JSON form.
    `events` is a sequence of Event, an iterable of rows (mappings, named
    tuples or dataclass instances), a mapping of column names to columns, or
    a pandas, pyarrow or polars data frame; for rows and columns, `partition`,
    `ts` and `typ` name the key columns and the others become attributes (only
    those in `attributes`, when given). Events need not be sorted. Indices in
    the results are positions in `events` as given.
    """
    if type(exhaustive) is not bool:
        raise TypeError(f"exhaustive must be True or False, not {type(exhaustive).__name__}")
    table = to_table(events, _keys(partition, ts, typ, attributes))
    return list(_core._match(_pattern(pattern), table, exhaustive))


def explain(
    pattern: PatternLike,
    events: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    typ: str = "typ",
    attributes: Sequence[str] | None = None,
) -> list[NearMiss]:
    """Return a near miss for every start of `pattern` in `events` that does
    not complete: how far it got and why it stopped.

    Takes the same arguments as `match`; indices in the results are positions
    in `events` as given.
    """
    table = to_table(events, _keys(partition, ts, typ, attributes))
    return list(_core._explain(_pattern(pattern), table))


def _keys(partition: str, ts: str, typ: str, attributes: Sequence[str] | None) -> Keys:
    for label, name in (("partition", partition), ("ts", ts), ("typ", typ)):
        if not isinstance(name, str):
            raise TypeError(f"{label} must name a column, not {type(name).__name__}")
    if isinstance(attributes, str):
        raise TypeError("attributes must be a sequence of column names, not a str")
    if attributes is not None:
        attributes = list(attributes)
        for name in attributes:
            if not isinstance(name, str):
                raise TypeError(f"attributes must be column names, not {type(name).__name__}")
    return Keys(partition, ts, typ, attributes)


def read_pattern(text: str) -> Pattern:
    """Pattern text, or its JSON form when the first non-blank character is
    `{`; the reader's ValueError when it is neither."""
    if text.lstrip().startswith("{"):
        return pattern_from_json(text)
    return parse_pattern(text)


def _pattern(pattern: PatternLike) -> Pattern | PatternBuilder:
    if isinstance(pattern, str):
        return read_pattern(pattern)
    if isinstance(pattern, (Pattern, PatternBuilder)):
        return pattern
    raise TypeError(
        "expected a Pattern, a PatternBuilder, or pattern text, not " + type(pattern).__name__
    )
