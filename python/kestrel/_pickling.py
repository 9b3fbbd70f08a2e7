"""Patterns pickle as their JSON form, so that they travel to worker
processes and cluster executors; the JSON form is exact and versioned by
the reader that checks it."""

from __future__ import annotations

import copyreg
from collections.abc import Callable

from ._core import Pattern, pattern_from_json


def _reduce_pattern(pattern: Pattern) -> tuple[Callable[[str], Pattern], tuple[str]]:
    return pattern_from_json, (pattern.to_json(),)


copyreg.pickle(Pattern, _reduce_pattern)
