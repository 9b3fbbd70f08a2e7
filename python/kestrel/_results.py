"""Result sets: the matches, near misses or funnel steps of one call, held
natively and read as Python objects one row at a time, or handed whole to
Arrow, pandas, polars or DuckDB through the Arrow stream interface without
a Python object per row."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Generic, NamedTuple, Self, TypeVar, overload

from ._core import Match, NearMiss
from ._funnel_text import funnel_table
from ._optional import optional as _optional

if TYPE_CHECKING:
    from ._core import _Results

_Row = TypeVar("_Row")


class _ResultSet(Generic[_Row]):
    """An immutable sequence over native results; slices are result sets of
    the same class.

    It has every method of a Sequence but is deliberately not one: polars
    builds a frame from a Sequence row by row, and from the Arrow stream
    interface only when the object is not a Sequence."""

    __slots__ = ("_results",)
    _nouns = ("row", "rows")

    def __init__(self, results: _Results[Any]) -> None:
        self._results = results

    def __len__(self) -> int:
        return len(self._results)

    @overload
    def __getitem__(self, index: int) -> _Row: ...
    @overload
    def __getitem__(self, index: slice) -> Self: ...
    def __getitem__(self, index: int | slice) -> _Row | Self:
        if isinstance(index, slice):
            return self._with(self._results.take(range(*index.indices(len(self._results)))))
        return self._row(self._results[index])

    def _with(self, results: _Results[Any]) -> Self:
        return type(self)(results)

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self._results,)

    def _contents(self) -> tuple[object, ...]:
        # The pickled state holds the records, the events they name and the
        # carried cells, each written one way: equal states, equal contents.
        return (self._results.__reduce__(),)

    def __eq__(self, other: object) -> bool:
        """Result sets of one class are equal when their rows, events and
        carried columns are; they are unhashable, as lists are."""
        if not isinstance(other, _ResultSet) or type(other) is not type(self):
            return NotImplemented
        return self._contents() == other._contents()

    def __iter__(self) -> Iterator[_Row]:
        results = self._results
        for i in range(len(results)):
            yield self._row(results[i])

    def __reversed__(self) -> Iterator[_Row]:
        results = self._results
        for i in reversed(range(len(results))):
            yield self._row(results[i])

    def __contains__(self, value: object) -> bool:
        return any(row == value for row in self)

    def index(self, value: object) -> int:
        """The position of the first row equal to `value`; ValueError if none."""
        for position, row in enumerate(self):
            if row == value:
                return position
        raise ValueError(f"{value!r} is not in the {type(self).__name__}")

    def count(self, value: object) -> int:
        """How many rows equal `value`."""
        return sum(1 for row in self if row == value)

    def _row(self, native: Any) -> _Row:
        return native  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        count = len(self._results)
        return f"<{type(self).__name__}: {count:,} {self._nouns[count != 1]}>"

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The rows as an Arrow C stream (the Arrow PyCapsule interface)."""
        return self._results.__arrow_c_stream__(requested_schema)

    def to_arrow(self) -> Any:
        """A pyarrow Table of the rows."""
        return _optional("pyarrow").table(self)

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the rows, by way of Arrow: timestamps stay
        datetime64 with their time zone, windows and gaps timedelta64, and
        integers and booleans with nulls keep their type (nullable Int64 and
        boolean; Python ints inside lists) as `kestrel.to_pandas` keeps them."""
        return exact_frame(self.to_arrow())

    def to_polars(self) -> Any:
        """A polars DataFrame of the rows."""
        return _optional("polars").DataFrame(self)


class Matches(_ResultSet[Match]):
    """The matches of `kestrel.match`, in partition order, then by their
    event indices. Columns when exported: partition, indices, types, start,
    end, one `capture.<name>` per binding and the carried columns."""

    __slots__ = ()
    _nouns = ("match", "matches")


class NearMisses(_ResultSet[NearMiss]):
    """The near misses of `kestrel.explain`, in order of their start event.
    Columns when exported: partition, start_index, indices, reached_steps,
    next_event_type, reason, the `detail.<field>` columns, the captures and
    the carried columns."""

    __slots__ = ()
    _nouns = ("near miss", "near misses")


class FunnelStep(NamedTuple):
    """One step of a funnel (of one group, with `by`).

    `group` is the value of the `by` column the group's starts hold (None
    without `by`); the drops are broken down by reason; `conversion` is
    None on step 1; the times run from the start event to this step's event.
    """

    group: Any
    step: int
    event_type: str
    entered: int
    dropped: int
    dropped_predicate_failed: int
    dropped_absence_blocked: int
    dropped_window_exceeded: int
    dropped_no_successor: int
    conversion: float | None
    time_p50: Any
    time_p90: Any


class Funnel(_ResultSet[FunnelStep]):
    """The steps of `kestrel.funnel`: per group (with `by`), how many
    partitions reached each step, where the others stopped and why, and how
    long reaching each step took. `str()` gives an aligned table."""

    __slots__ = ("_by",)
    _nouns = ("step", "steps")

    def __init__(self, results: _Results[Any], by: str | None = None) -> None:
        super().__init__(results)
        self._by = by

    @property
    def by(self) -> str | None:
        """The column the starts are grouped by, or None."""
        return self._by

    def _with(self, results: _Results[Any]) -> Self:
        return type(self)(results, self.by)

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self._results, self.by)

    def _contents(self) -> tuple[object, ...]:
        return (self.by, *super()._contents())

    def _row(self, native: Any) -> FunnelStep:
        return FunnelStep(*native) if self.by is not None else FunnelStep(None, *native)

    def __str__(self) -> str:
        return funnel_table(list(self), self.by)

    def plot(self, ax: Any = None) -> Any:
        """Draw the funnel as horizontal bars (one per step, entered and
        dropped) on `ax`, or on a new matplotlib figure; returns the axes."""
        from ._funnel_plot import plot_funnel

        return plot_funnel(list(self), self.by, ax)


def exact_frame(table: Any) -> Any:
    """pyarrow's own conversion turns integers with nulls into floats, which
    round past 2**53, so columns with nulls are converted one by one."""
    pd = _optional("pandas")
    pa = _optional("pyarrow")
    nullable = {pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype()}
    columns = {
        name: column.to_pandas(
            types_mapper=nullable.get if column.null_count else None, integer_object_nulls=True
        )
        for name, column in zip(table.column_names, table.columns, strict=True)
    }
    return pd.DataFrame(columns, index=pd.RangeIndex(table.num_rows))


def delegated(results: object) -> _ResultSet[Any] | None:
    """`results` when it is a result set, else None."""
    return results if isinstance(results, _ResultSet) else None
