"""Find ordered patterns in streams of typed, timestamped events."""

from . import _pickling  # noqa: F401  (patterns pickle once the package is loaded)
from ._api import KestrelWarning, explain, funnel, match
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
from ._output import to_arrow, to_pandas
from ._results import Funnel, FunnelStep, Matches, NearMisses
from ._stream import Stream, StreamEnd, StreamStats

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
    "match",
    "explain",
    "funnel",
    "Matches",
    "NearMisses",
    "Funnel",
    "FunnelStep",
    "Stream",
    "StreamEnd",
    "StreamStats",
    "KestrelWarning",
    "to_pandas",
    "to_arrow",
]
