"""Typed use of the package, checked with `mypy --strict` by test_typing.py
and also run there. `assert_type` fails the check when a stub answers with a
looser type (Any, object) than the one users rely on."""

from __future__ import annotations

from typing import Any, NamedTuple, assert_type

import numpy as np

import kestrel
from kestrel import (
    Event,
    Match,
    Matches,
    NearMiss,
    Pattern,
    PatternBuilder,
    explain,
    match,
    match_events,
    near_miss_events,
    parse_pattern,
    pattern_from_json,
    sort_events,
    to_arrow,
    to_pandas,
)

Value = str | int | float | bool | None
TEXT = "login[user as $u] -[<=300, no logout]-> purchase[user == $u, amount > 10.0]"


def build_pattern() -> Pattern:
    builder = Pattern.event("login").capture("user", "$u")
    assert_type(builder, PatternBuilder)
    builder = builder.then("purchase", within=300, no="logout").where_ref_eq("user", "u")
    builder = builder.where_gt("amount", 10.0).where_ne("coupon", None).where_eq("ok", True)
    builder = builder.where_gte("n", np.int64(1)).where_lt("n", 5).where_lte("n", 4.5)
    return builder.build()


def events() -> list[Event]:
    attrs = {"user": "ana"}  # a dict[str, str], accepted although dict is invariant
    unsorted = [
        Event("web", 95, "purchase", {"user": "ana", "amount": 12.5}),
        Event(partition="web", ts=np.int64(0), typ="login", attrs=attrs),
    ]
    ordered = sort_events(unsorted)
    assert_type(ordered, list[Event])
    first = ordered[0]
    assert_type(first.partition, str)
    assert_type(first.ts, int)
    assert_type(first.typ, str)
    assert_type(first.attrs, dict[str, Value])
    return ordered


def rows() -> list[dict[str, Any]]:
    return [
        {"partition": "web", "ts": 0, "typ": "login", "user": "ana"},
        {"partition": "web", "ts": 95, "typ": "purchase", "user": "ana", "amount": 12.5},
    ]


def check_match(found: Match) -> None:
    assert_type(found.partition, str)
    assert_type(found.indices, list[int])
    assert_type(found.start, int)
    assert_type(found.end, int)
    assert_type(found.types, list[str])
    assert_type(found.events, list[Event])
    assert_type(found.captures, dict[str, Value])


def check_near_miss(miss: NearMiss) -> None:
    assert_type(miss.partition, str)
    assert_type(miss.start_index, int)
    assert_type(miss.indices, list[int])
    assert_type(miss.reached_steps, int)
    assert_type(miss.next_event_type, str)
    assert_type(miss.reason, str)
    assert_type(miss.detail, dict[str, Any])
    assert_type(miss.events, list[Event])
    assert_type(miss.captures, dict[str, Value])


class Row(NamedTuple):
    partition: str
    ts: int
    typ: str
    user: str


def matches_in_frame(frame: Any) -> Matches:
    """Data frames are typed loosely: pandas, pyarrow and polars all fit."""
    return match(TEXT, frame, partition="site", ts="time", typ="kind", attributes=["user"])


def drop_off(misses: list[NearMiss]) -> Any:
    return to_pandas(misses).groupby(["reached_steps", "reason"]).size()


def as_arrow(found: list[Match]) -> Any:
    return to_arrow(found)


def main() -> None:
    pattern = build_pattern()
    text_pattern = parse_pattern(TEXT)
    json_text = text_pattern.to_json(pretty=True)
    assert_type(json_text, str)
    json_pattern = pattern_from_json(json_text)
    assert_type(json_pattern, Pattern)

    ordered = events()
    low_level = match_events(text_pattern, ordered, exhaustive=False, use_oracle=True)
    assert_type(low_level, list[Match])
    assert_type(near_miss_events(pattern, ordered), list[NearMiss])

    sources: list[object] = [ordered, rows(), [Row("web", 0, "login", "ana")]]
    for source in sources:
        for found in match(json_pattern, source, exhaustive=True):
            check_match(found)
    for miss in explain(TEXT, rows()):
        check_near_miss(miss)

    assert [m.indices for m in kestrel.match(TEXT, ordered)] == [[0, 1]]
    assert [m.reason for m in explain(pattern, [Row("web", 0, "login", "ana")])] == ["no_successor"]


if __name__ == "__main__":
    main()
