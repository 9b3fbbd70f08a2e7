from collections.abc import Sequence
from typing import Any, SupportsIndex, TypeAlias, TypeVar, final

from ._core import Event, Match, NearMiss, Pattern, PatternBuilder

# Any object exporting a one-dimensional, C-contiguous buffer (a NumPy array,
# an array.array, a memoryview). Typed as object because NumPy declares its
# buffer export to type checkers only from Python 3.12 on.
_Buffer: TypeAlias = object

# (name, list of str): the partition and type columns.
_TextColumn: TypeAlias = tuple[str, list[str]]
# (name, buffer of int64): the timestamp column.
_TimestampColumn: TypeAlias = tuple[str, _Buffer]
# (name, kind, data, null mask or None). kind is "int", "float" or "bool"
# with a buffer of int64, float64 or bool as data, or "object" with a list
# of values; the mask is a buffer of bool (or bytes), true where null.
_AttributeColumn: TypeAlias = tuple[str, str, _Buffer | list[Any], _Buffer | None]
# Lets attributes be a list of a NamedTuple of that shape: list is invariant.
_Attribute = TypeVar("_Attribute", bound=_AttributeColumn)

@final
class EventTable:
    def __len__(self) -> int: ...

def from_columns(
    length: SupportsIndex,
    partition: _TextColumn,
    ts: _TimestampColumn,
    typ: _TextColumn,
    attributes: list[_Attribute],
) -> EventTable: ...
def from_events(events: Sequence[Event], /) -> EventTable: ...
def match(
    pattern: Pattern | PatternBuilder, table: EventTable, exhaustive: bool, /
) -> list[Match]: ...
def explain(pattern: Pattern | PatternBuilder, table: EventTable, /) -> list[NearMiss]: ...
