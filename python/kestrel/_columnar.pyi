from collections.abc import Sequence
from typing import Any, SupportsIndex, TypeAlias, TypeVar, final

from ._core import Event, Match, NearMiss, Pattern, PatternBuilder

# Any object exporting a one-dimensional, C-contiguous buffer (a NumPy array,
# an array.array, a memoryview). Typed as object because NumPy declares its
# buffer export to type checkers only from Python 3.12 on.
_Buffer: TypeAlias = object

# One chunk of an Arrow utf8 or large_utf8 array: (offsets buffer, data
# buffer, first row in the chunk, number of rows, offset width 4 or 8).
_ArrowTextChunk: TypeAlias = tuple[_Buffer, _Buffer, int, int, int]
# (name, kind, data) for the partition and type columns: kind "object" with
# a list of str, or "arrow_text" with a list of Arrow chunks.
_TextColumn: TypeAlias = tuple[str, str, list[str] | list[_ArrowTextChunk]]
# (name, buffer of int64): the timestamp column.
_TimestampColumn: TypeAlias = tuple[str, _Buffer]
# (name, kind, data, null mask or None) for an attribute. kind "int",
# "float" or "bool" comes with a buffer of int64, float64 or bool (or bytes),
# "object" with a list of values, "arrow_text" with a list of Arrow chunks;
# the mask is a buffer of bool (or bytes), nonzero where the cell is null.
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
    /,
) -> EventTable: ...
def from_events(events: Sequence[Event], /) -> EventTable: ...
def match(
    pattern: Pattern | PatternBuilder, table: EventTable, exhaustive: bool, /
) -> list[Match]: ...
def explain(pattern: Pattern | PatternBuilder, table: EventTable, /) -> list[NearMiss]: ...
