"""Carried columns: which names may be carried, and the one Arrow type a
carried column of Python cells is written back as."""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence
from typing import Any

# The columns every result table has; `capture.` and `detail.` start the
# names of the rest.
_RESULT_COLUMNS = frozenset(
    {
        "partition",
        "indices",
        "types",
        "start",
        "end",
        "start_index",
        "reached_steps",
        "next_event_type",
        "reason",
    }
)
_RESULT_PREFIXES = ("capture.", "detail.")


def check_carry(names: Sequence[str]) -> list[str]:
    """The carried names, each once; a name a result column has already is
    a ValueError, as the results would hold two columns of that name."""
    for name in names:
        if name in _RESULT_COLUMNS or name.startswith(_RESULT_PREFIXES):
            raise ValueError(f"carry: column `{name}` has the name of a result column")
    return list(dict.fromkeys(names))


# The Arrow format of each family of cells, and its name in messages;
# datetimes are nanoseconds.
_FAMILIES = {
    "bool": ("b", "a bool"),
    "int": ("l", "an integer"),
    "float": ("g", "a float"),
    "text": ("u", "text"),
    "naive": ("tsn:", "a naive datetime"),
    "aware": ("tsn:UTC", "an aware datetime"),
}


def carried_format(name: str, cells: Sequence[Any], nulls: Sequence[int]) -> str:
    """The Arrow format of a carried column from its cells, those marked in
    `nulls` left out: "n" when every cell is null. Integers among floats
    make a float column, as long as each is a float exactly; any other mix
    is a TypeError naming the column and the first row that differs."""
    first: tuple[int, str] | None = None
    has_floats = False
    for row, cell in enumerate(cells):
        if nulls[row]:
            continue
        family = _family(name, row, cell)
        if first is None:
            first = row, family
        elif family != first[1] and {family, first[1]} != {"int", "float"}:
            raise TypeError(
                f"column `{name}` holds values of two types: row {first[0]} is "
                f"{_FAMILIES[first[1]][1]}, row {row} {_FAMILIES[family][1]}"
            )
        has_floats = has_floats or family == "float"
    if first is None:
        return "n"
    if not has_floats:
        return _FAMILIES[first[1]][0]
    for row, cell in enumerate(cells):
        if not nulls[row] and _family(name, row, cell) == "int" and not _is_float(cell):
            raise TypeError(
                f"column `{name}` row {row}: {cell} among floats cannot be a float exactly"
            )
    return "g"


def _family(name: str, row: int, cell: Any) -> str:
    kind = type(cell)
    if kind is bool or kind.__name__ == "bool_":
        return "bool"
    if isinstance(cell, str):
        return "text"
    if isinstance(cell, float) or kind.__name__ in ("float16", "float32", "float64"):
        return "float"
    if isinstance(cell, _dt.date) or kind.__name__ == "datetime64":
        return "aware" if getattr(cell, "tzinfo", None) is not None else "naive"
    if hasattr(kind, "__index__"):
        return "int"
    raise TypeError(
        f"column `{name}` row {row}: carried values must be str, int, float, bool, "
        f"datetimes or None, not {kind.__name__}"
    )


def _is_float(value: int) -> bool:
    """Whether the integer is a float exactly."""
    try:
        return float(value) == value
    except OverflowError:
        return False
