from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, final

from ._core import Event, Match, NearMiss, Pattern, PatternBuilder

# Any object exporting a one-dimensional, C-contiguous buffer (a NumPy array,
# an array.array, a memoryview). Typed as object because NumPy declares its
# buffer export to type checkers only from Python 3.12 on.
_Buffer: TypeAlias = object

# (name, list of str): the partition and type columns.
_TextColumn: TypeAlias = tuple[str, list[str]]
# (name, buffer of int64): the timestamp column.
_TimestampColumn: TypeAlias = tuple[str, _Buffer]
# (name, kind, data, null mask or None); the mask is a buffer of bool.
_AttributeColumn: TypeAlias = (
    tuple[str, Literal["int", "float", "bool"], _Buffer, _Buffer | None]
    | tuple[str, Literal["object"], list[Any], _Buffer | None]
)

@final
class EventTable:
    def __len__(self) -> int: ...

def from_columns(
    length: SupportsIndex,
    partition: _TextColumn,
    ts: _TimestampColumn,
    typ: _TextColumn,
    attributes: list[_AttributeColumn],
) -> EventTable: ...
def from_events(events: Sequence[Event], /) -> EventTable: ...
def match(
    pattern: Pattern | PatternBuilder, table: EventTable, exhaustive: bool, /
) -> list[Match]: ...
def explain(pattern: Pattern | PatternBuilder, table: EventTable, /) -> list[NearMiss]: ...
