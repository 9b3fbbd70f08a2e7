"""Find ordered patterns in streams of typed, timestamped events."""

from ._core import (
    Event,
    Match,
    NearMiss,
    Pattern,
    PatternBuilder,
    match_events,
    near_miss_events,
    parse_pattern,
    pattern_from_json,
    sort_events,
)

__all__ = [
    "Event",
    "Pattern",
    "PatternBuilder",
    "Match",
    "NearMiss",
    "parse_pattern",
    "pattern_from_json",
    "sort_events",
    "match_events",
    "near_miss_events",
]
