from collections.abc import Iterator, Sequence
from typing import (
    Any,
    Generic,
    Literal,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    final,
    overload,
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

# A value as the engine hands it back: attribute values, captures, details.
_Value: TypeAlias = str | int | float | bool | None
# A value as the engine takes it in. Integers and floats are read through
# __index__ and __float__, so NumPy scalars are accepted as well.
_ValueIn: TypeAlias = str | SupportsIndex | SupportsFloat | None
_AttrValue = TypeVar("_AttrValue", bound=_ValueIn)

@final
class Event:
    # The first form types a dict display in place ({"n": 1, "s": "x"}); the
    # second takes a dict already typed, such as a dict[str, str].
    @overload
    def __new__(
        cls, partition: str, ts: SupportsIndex, typ: str, attrs: dict[str, _ValueIn] | None = None
    ) -> Event: ...
    @overload
    def __new__(
        cls, partition: str, ts: SupportsIndex, typ: str, attrs: dict[str, _AttrValue]
    ) -> Event: ...
    @property
    def partition(self) -> str: ...
    @property
    def ts(self) -> int: ...
    @property
    def typ(self) -> str: ...
    @property
    def attrs(self) -> dict[str, _Value]: ...

@final
class Pattern:
    @staticmethod
    def event(typ: str) -> PatternBuilder: ...
    def to_json(self, pretty: bool = False) -> str: ...

@final
class PatternBuilder:
    def where_eq(self, attribute: str, value: _ValueIn) -> PatternBuilder: ...
    def where_ne(self, attribute: str, value: _ValueIn) -> PatternBuilder: ...
    def where_gt(self, attribute: str, value: _ValueIn) -> PatternBuilder: ...
    def where_gte(self, attribute: str, value: _ValueIn) -> PatternBuilder: ...
    def where_lt(self, attribute: str, value: _ValueIn) -> PatternBuilder: ...
    def where_lte(self, attribute: str, value: _ValueIn) -> PatternBuilder: ...
    def capture(self, attribute: str, name: str) -> PatternBuilder: ...
    def where_ref_eq(self, attribute: str, name: str) -> PatternBuilder: ...
    def then(
        self, typ: str, within: SupportsIndex | None = None, no: str | None = None
    ) -> PatternBuilder: ...
    def build(self) -> Pattern: ...

@final
class Match:
    @property
    def partition(self) -> str: ...
    @property
    def indices(self) -> list[int]: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def types(self) -> list[str]: ...
    @property
    def events(self) -> list[Event]: ...
    @property
    def captures(self) -> dict[str, _Value]: ...

@final
class NearMiss:
    @property
    def partition(self) -> str: ...
    @property
    def start_index(self) -> int: ...
    @property
    def indices(self) -> list[int]: ...
    @property
    def reached_steps(self) -> int: ...
    @property
    def next_event_type(self) -> str: ...
    @property
    def reason(self) -> str: ...
    # Keyed by "kind"; the other keys and their types depend on it.
    @property
    def detail(self) -> dict[str, Any]: ...
    @property
    def events(self) -> list[Event]: ...
    @property
    def captures(self) -> dict[str, _Value]: ...

def parse_pattern(text: str) -> Pattern: ...
def pattern_from_json(json: str) -> Pattern: ...
def sort_events(events: Sequence[Event]) -> list[Event]: ...
def match_events(
    pattern: Pattern | PatternBuilder,
    events: Sequence[Event],
    exhaustive: bool = False,
    use_oracle: bool = False,
) -> list[Match]: ...
def near_miss_events(
    pattern: Pattern | PatternBuilder, events: Sequence[Event]
) -> list[NearMiss]: ...

# The package's private interface: tables built once, result sets read on
# demand.

# Any object exporting a one-dimensional, C-contiguous buffer (a NumPy array,
# an array.array, a memoryview). Typed as object because NumPy declares its
# buffer export to type checkers only from Python 3.12 on.
_Buffer: TypeAlias = object

# An Arrow text array or chunked array: any object with __arrow_c_stream__
# or __arrow_c_array__ whose values are utf8, large_utf8 or utf8_view, plain
# or as a dictionary.
_ArrowText: TypeAlias = object
# (name, kind, data) for the partition and type columns: kind "object" with
# a list of str, or "arrow_text" with an Arrow text array.
_TextColumn: TypeAlias = tuple[str, str, list[str] | _ArrowText]
# (name, buffer of int64): the timestamp column.
_TimestampColumn: TypeAlias = tuple[str, _Buffer]
# (name, kind, data, null mask or None) for an attribute. kind "int",
# "float" or "bool" comes with a buffer of int64, float64 or bool (or bytes),
# "object" with a list of values, "arrow_text" with an Arrow text array;
# the mask is a buffer of bool (or bytes), nonzero where the cell is null.
_AttributeColumn: TypeAlias = tuple[str, str, _Buffer | list[Any], _Buffer | None]
# Lets attributes be a list of a NamedTuple of that shape: list is invariant.
_Attribute = TypeVar("_Attribute", bound=_AttributeColumn)
# A carried column: an attribute column and the Arrow format it is written back as.
_Carried: TypeAlias = tuple[str, str, _Buffer | list[Any], _Buffer | None, str]
_PatternIn: TypeAlias = Pattern | PatternBuilder
_Item = TypeVar("_Item", Match, NearMiss, tuple[Any, ...])

@final
class _EventTable:
    def __len__(self) -> int: ...
    @property
    def types(self) -> tuple[str, ...]: ...
    @property
    def time(self) -> tuple[str, str, str]: ...

@final
class _Results(Generic[_Item]):
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> _Item: ...
    def __iter__(self) -> Iterator[_Item]: ...
    def take(self, indices: Sequence[SupportsIndex]) -> _Results[_Item]: ...
    @property
    def kind(self) -> Literal["matches", "near_misses", "funnel"]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

def _table_from_columns(
    length: SupportsIndex,
    partition: _TextColumn,
    ts: _TimestampColumn,
    typ: _TextColumn,
    attributes: list[_Attribute],
    timezone: str | None = None,
    carry: list[_Carried] | None = None,
) -> _EventTable: ...
def _table_from_events(events: Sequence[Event]) -> _EventTable: ...
def _table_from_arrow(
    source: object,
    partition: str,
    ts: str,
    typ: str,
    attributes: list[str] | None,
    carry: list[str],
    threads: SupportsIndex = 1,
) -> _EventTable: ...
def _match(
    pattern: _PatternIn,
    table: _EventTable,
    exhaustive: bool = False,
    max_matches: SupportsIndex | None = None,
    threads: SupportsIndex = 1,
) -> _Results[Match]: ...
def _explain(
    pattern: _PatternIn, table: _EventTable, threads: SupportsIndex = 1
) -> _Results[NearMiss]: ...
def _funnel(
    pattern: _PatternIn, table: _EventTable, by: str | None = None, threads: SupportsIndex = 1
) -> _Results[tuple[Any, ...]]: ...
def _funnel_pieces(
    pattern: _PatternIn, table: _EventTable, by: str | None = None, threads: SupportsIndex = 1
) -> object: ...
def _funnel_reduce(
    pattern: _PatternIn, pieces: _EventTable, by: str | None = None
) -> _Results[tuple[Any, ...]]: ...
def _warnings(pattern: _PatternIn, table: _EventTable) -> list[str]: ...
def _match_from_state(state: bytes) -> Match: ...
def _near_miss_from_state(state: bytes) -> NearMiss: ...
def _results_from_state(state: bytes) -> _Results[Any]: ...
def _builder_from_json(state: str) -> PatternBuilder: ...
@final
class _Stream:
    def push(self, table: _EventTable) -> _Results[Match]: ...
    def end(self) -> _Results[Match]: ...
    def near_misses(self) -> _Results[NearMiss]: ...
    def flush(self) -> _Results[NearMiss]: ...
    def stats(self) -> tuple[int, int, int, int, int, int]: ...
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...

def _stream_from_state(state: bytes) -> _Stream: ...
def _stream(
    pattern: _PatternIn, exhaustive: bool, explain: bool, drop_late: bool, lateness: int
) -> _Stream: ...
