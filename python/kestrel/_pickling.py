"""Patterns pickle as their JSON form, so that they travel to worker
processes and cluster executors; the JSON form is exact and versioned by
the reader that checks it. Events, matches, near misses, result sets and
pattern builders pickle by their own __reduce__: a versioned, checked state
of their engine records (a builder as the JSON form of its steps)."""

from __future__ import annotations

import copyreg
from collections.abc import Callable

from ._core import Pattern, pattern_from_json


def _reduce_pattern(pattern: Pattern) -> tuple[Callable[[str], Pattern], tuple[str]]:
    return pattern_from_json, (pattern.to_json(),)


copyreg.pickle(Pattern, _reduce_pattern)
