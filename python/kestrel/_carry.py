"""Events with carried columns: these are read by the native Arrow reader
only, so sources of other kinds are first made an Arrow table."""

from __future__ import annotations

import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from . import _core
from ._input import Keys, _row_mapping
from ._optional import optional as _optional


def table_with_carry(
    events: object, keys: Keys, carry: list[str], threads: int = 1
) -> _core._EventTable:
    """The event table of `events` with the columns `carry` kept aside, read
    on up to `threads` threads."""
    attributes = None if keys.attributes is None else list(keys.attributes)
    return _core._table_from_arrow(
        _arrow_source(events), keys.partition, keys.ts, keys.typ, attributes, carry, threads
    )


def _arrow_source(events: object) -> object:
    if hasattr(type(events), "__arrow_c_stream__") or hasattr(type(events), "__arrow_c_array__"):
        return events
    pa = _pyarrow()
    if _is_instance(events, "pandas", "DataFrame"):
        return pa.Table.from_pandas(events, preserve_index=False)
    if _is_instance(events, "polars", "LazyFrame"):
        return events.collect().to_arrow()  # type: ignore[attr-defined]
    if isinstance(events, Mapping):
        return pa.table(dict(events))
    if isinstance(events, Iterable) and not isinstance(events, (str, bytes)):
        rows: Sequence[Any] = events if isinstance(events, Sequence) else list(events)
        if len(rows) and isinstance(rows[0], _core.Event):
            raise TypeError("carry names columns of rows or frames; Event objects have none")
        return pa.Table.from_pylist([_row_mapping(row, i) for i, row in enumerate(rows)])
    raise TypeError("expected Events, rows, or a data frame, got " + type(events).__name__)


def _pyarrow() -> Any:
    try:
        return _optional("pyarrow")
    except ImportError:
        raise TypeError(
            "carry needs Arrow input: pass an Arrow table or stream, or install pyarrow "
            "(pip install 'kestrel[arrow]') to carry columns of rows and frames"
        ) from None


def _is_instance(value: object, module: str, name: str) -> bool:
    loaded = sys.modules.get(module)
    return loaded is not None and isinstance(value, getattr(loaded, name))
