"""Turn the places users keep events (Event lists, rows, data frames) into an
engine event table.

Objects that speak the Arrow PyCapsule interface (pyarrow, polars, pandas
from 2.2, DuckDB) go straight to the native Arrow reader. Every other source
is reduced to columns: numbers as contiguous buffers, texts and
mixed values as lists, text already in Arrow buffers as Arrow arrays, each
with an optional null mask. The native module builds the engine's table
straight from those columns, so a data frame never becomes one Python Event
per row. Optional libraries are imported only
when an object of theirs is passed in.
"""

from __future__ import annotations

import array
import dataclasses
import datetime as _dt
import operator
import sys
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Callable, NamedTuple

from . import _core
from ._carry import carried_format
from ._core import Event
from ._optional import optional as _optional
from ._timestamps import has_offset, parse_timestamp

_INT64_MAX = 2**63 - 1
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_MISSING: Any = object()
_OUT_OF_RANGE = {
    "M": "is out of range (64-bit nanoseconds span 1677 to 2262)",
    "m": "is out of range (64-bit nanoseconds span 292 years either way)",
}


class Keys(NamedTuple):
    """The names of the key columns, and the attribute columns to keep."""

    partition: str
    ts: str
    typ: str
    attributes: Sequence[str] | None


DEFAULT_KEYS = Keys("partition", "ts", "typ", None)


class Source(NamedTuple):
    """A columnar view of an event source: its row count, column names in
    order, and a reader giving the Column of one name."""

    length: int
    names: list[str]
    read: Callable[[str], Column]


class Column(NamedTuple):
    """One column ready for the native module.

    `kind` is "int", "float", "bool" (data: a buffer), "object" (data: a
    list) or "arrow_text" (data: an Arrow text array, see `_arrow_text`);
    `mask` marks null cells (a bool or byte buffer), or is None.
    `arrow_format` is the Arrow format of integers that were datetimes or
    durations, as nanoseconds, when the column is carried into results.
    """

    name: str
    kind: str
    data: Any
    mask: Any
    arrow_format: str | None = None


def to_table(
    events: object, keys: Keys, threads: int = 1, carry: Sequence[str] = ()
) -> _core._EventTable:
    """Build the engine event table for any supported event source, with
    the columns `carry` kept aside for the results; an Arrow source's
    columns are read on up to `threads` threads."""
    if isinstance(events, _core._EventTable) and not carry:
        return events
    if isinstance(events, (str, bytes)):
        raise TypeError(f"expected events, got {type(events).__name__}")
    if _is_instance(events, "polars", "LazyFrame"):
        events = events.collect()  # type: ignore[attr-defined]
    if _exports_arrow(events) and not _pandas_by_columns(events):
        return _from_arrow(events, keys, carry, threads)
    frame = _frame_source(events)
    if frame is not None:
        return _from_source(frame, keys, carry)
    if isinstance(events, Mapping):
        return _from_source(_mapping_source(events), keys, carry)
    if not isinstance(events, Iterable) or isinstance(events, _core._EventTable):
        raise TypeError("expected Events, rows, or a data frame, got " + type(events).__name__)
    items = events if isinstance(events, Sequence) else list(events)
    if len(items) and not isinstance(items[0], Event):
        return _from_source(_rows_source(items), keys, carry)
    if carry:
        raise TypeError("carry names columns of rows or frames; Event objects have none")
    if len(items) and keys != DEFAULT_KEYS:
        raise TypeError(
            "partition, ts, typ and attributes name columns of rows or frames; "
            "Event objects carry their own"
        )
    return _core._table_from_events(items)


# ---------------------------------------------------------------------------
# Columns to table


def _from_source(source: Source, keys: Keys, carry: Sequence[str]) -> _core._EventTable:
    _check_key_names(keys, source.names, carry)
    partition, ts, typ, zone = (
        _key_columns(source, keys) if source.length else _no_keys(source, keys)
    )
    attributes = [source.read(name)[:4] for name in _attribute_names(keys, source.names)]
    carried = [_carried_column(source.read(name)) for name in carry]
    return _core._table_from_columns(source.length, partition, ts, typ, attributes, zone, carried)


def _key_columns(source: Source, keys: Keys) -> tuple[Any, Any, Any, str | None]:
    """The partition, ts and typ columns, and the time zone of the ts."""
    partition = _text_column(_decimal_partitions(source.read(keys.partition)))
    ts_column = source.read(keys.ts)
    ts = _ts_column(ts_column)
    typ = _text_column(source.read(keys.typ))
    return partition, ts, typ, _time_zone(ts_column)


def _no_keys(source: Source, keys: Keys) -> tuple[Any, Any, Any, str | None]:
    """The key columns of no events, whatever the types of the source's;
    a datetime ts column still makes the timestamps datetimes."""
    return (
        (keys.partition, "object", []),
        (keys.ts, array.array("q")),
        (keys.typ, "object", []),
        _time_zone(source.read(keys.ts)),
    )


def _check_key_names(keys: Keys, names: Sequence[str], carry: Sequence[str]) -> None:
    present = set(names)
    wanted = [keys.partition, keys.ts, keys.typ, *(keys.attributes or ()), *carry]
    for name in wanted:
        if name not in present:
            listed = ", ".join(f"`{n}`" for n in names[:20]) or "none"
            more = f" and {len(names) - 20} more" if len(names) > 20 else ""
            raise ValueError(f"missing column `{name}`; the columns are {listed}{more}")
    if len({keys.partition, keys.ts, keys.typ}) != 3:
        raise ValueError("the partition, ts and typ columns must be three different columns")


def _attribute_names(keys: Keys, names: Sequence[str]) -> list[str]:
    key_names = {keys.partition, keys.ts, keys.typ}
    chosen = names if keys.attributes is None else keys.attributes
    return [name for name in dict.fromkeys(chosen) if name not in key_names]


def _first_null(mask: Any) -> int | None:
    if mask is None:
        return None
    if isinstance(mask, bytearray):
        row = mask.find(1)
        return None if row < 0 else row
    rows = mask.nonzero()[0]
    return int(rows[0]) if len(rows) else None


def _require_no_nulls(column: Column) -> None:
    row = _first_null(column.mask)
    if row is not None:
        raise ValueError(f"column `{column.name}` is null at row {row}")


def _text_column(column: Column) -> tuple[str, str, Any]:
    _require_no_nulls(column)
    if column.kind not in ("object", "arrow_text"):
        raise TypeError(f"column `{column.name}` must hold text, not {_kind_label(column)}")
    return column.name, column.kind, column.data


def _decimal_partitions(column: Column) -> Column:
    """Integer partition keys (user ids, say) as their decimal text, as the
    Arrow path reads them."""
    if column.kind == "int":
        return column._replace(kind="object", data=[str(value) for value in column.data.tolist()])
    if column.kind == "object" and any(_is_integer(value) for value in column.data):
        texts = [str(value) if _is_integer(value) else value for value in column.data]
        return column._replace(data=texts)
    return column


def _is_integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _ts_column(column: Column) -> tuple[str, Any]:
    _require_no_nulls(column)
    if column.kind == "int":
        return column.name, column.data
    if column.kind == "object":
        return column.name, _timestamps_from_objects(column.name, column.data)
    raise TypeError(
        f"column `{column.name}` must hold integers or datetimes, not {_kind_label(column)}"
    )


def _time_zone(column: Column) -> str | None:
    """None for integer timestamps; for datetimes, read as nanoseconds, the
    zone they are written back in: UTC when any is aware (naive ones are
    read as UTC), "" when all are naive."""
    if column.arrow_format is not None and column.arrow_format.startswith("tsn:"):
        return column.arrow_format.removeprefix("tsn:")  # a frame's datetime column
    if column.kind != "object" or not column.data or not _is_datetime(column.data[0]):
        return None
    return "UTC" if any(_is_aware(value) for value in column.data) else ""


def _is_aware(value: Any) -> bool:
    """A datetime with a zone, or an ISO-8601 text with an offset."""
    if isinstance(value, str):
        return has_offset(value)
    return getattr(value, "tzinfo", None) is not None


def _kind_label(column: Column) -> str:
    dtype = getattr(column.data, "dtype", None)
    return str(dtype) if dtype is not None else column.kind


# ---------------------------------------------------------------------------
# Carried columns

_KIND_FORMATS = {"int": "l", "float": "g", "bool": "b", "arrow_text": "u"}


def _carried_column(column: Column) -> tuple[str, str, Any, Any, str]:
    """A carried column as an attribute column with the Arrow format it is
    written back as; Python cells are first given one type."""
    name, kind, data, mask, arrow_format = column
    if kind != "object":
        return name, kind, data, mask, arrow_format or _KIND_FORMATS[kind]
    nulls = bytearray(
        (mask is not None and bool(mask[row])) or _is_null(cell) for row, cell in enumerate(data)
    )
    arrow_format = carried_format(name, data, nulls)
    if arrow_format in ("l", "g") or arrow_format.startswith("ts"):
        kind, data = _carried_numbers(name, data, nulls, arrow_format)
    return name, kind, data, nulls, arrow_format


def _carried_numbers(
    name: str, cells: list[Any], nulls: bytearray, arrow_format: str
) -> tuple[str, array.array[Any]]:
    if arrow_format == "g":
        return "float", array.array(
            "d", (0.0 if nulls[i] else float(c) for i, c in enumerate(cells))
        )
    out = array.array("q", bytes(8 * len(cells)))
    for row, cell in enumerate(cells):
        if nulls[row]:
            continue
        if arrow_format != "l":
            out[row] = _timestamp_ns(name, row, cell)
        elif not -_INT64_MAX - 1 <= operator.index(cell) <= _INT64_MAX:
            raise OverflowError(f"column `{name}` row {row}: {cell} is out of the 64-bit range")
        else:
            out[row] = operator.index(cell)
    return "int", out


# ---------------------------------------------------------------------------
# Timestamps


def _timestamps_from_objects(name: str, values: Sequence[Any]) -> array.array[int]:
    try:
        stamps = array.array("q", values)
    except (TypeError, OverflowError):
        pass
    else:
        if not any(_is_boolean(value) for value in values):
            return stamps
    out = array.array("q", bytes(8 * len(values)))
    first: tuple[int, bool] | None = None  # the first row, and whether it held a datetime
    for row, value in enumerate(values):
        out[row] = _timestamp_ns(name, row, value)
        dated = _is_datetime(value)
        if first is None:
            first = row, dated
        elif dated != first[1]:
            # Integers carry the caller's own unit, datetimes nanoseconds.
            kinds = ("an integer", "a datetime") if dated else ("a datetime", "an integer")
            raise TypeError(
                f"column `{name}` mixes integers and datetimes: row {first[0]} is "
                f"{kinds[0]}, row {row} {kinds[1]}"
            )
    return out


def _timestamp_ns(name: str, row: int, value: Any) -> int:
    """Integers pass through; datetimes become nanoseconds since the epoch."""
    if _is_null(value):
        raise ValueError(f"column `{name}` is null at row {row}")
    if _is_boolean(value):
        raise TypeError(f"column `{name}` must hold integers or datetimes, not bool (row {row})")
    if isinstance(value, str):
        try:
            ns = parse_timestamp(value)
        except ValueError as error:
            raise ValueError(f"column `{name}` row {row}: {error}") from None
    elif isinstance(value, _dt.date):
        if not isinstance(value, _dt.datetime):
            value = _dt.datetime(value.year, value.month, value.day)
        ns = _datetime_ns(value)
        if not -_INT64_MAX - 1 <= ns <= _INT64_MAX:
            raise OverflowError(f"column `{name}` row {row}: {value} {_OUT_OF_RANGE['M']}")
    elif type(value).__name__ == "datetime64":
        ns = _datetime64_ns(name, row, value)
    else:
        try:
            ns = operator.index(value)
        except TypeError:
            raise TypeError(
                f"column `{name}` must hold integers or datetimes, "
                f"not {type(value).__name__} (row {row})"
            ) from None
    if not -_INT64_MAX - 1 <= ns <= _INT64_MAX:
        raise OverflowError(f"column `{name}` row {row}: timestamp out of the 64-bit range")
    return ns


def _is_null(value: Any) -> bool:
    """None, and the missing-value markers of NumPy and pandas."""
    if value is None or type(value).__name__ in ("NaTType", "NAType"):
        return True
    return type(value).__name__ == "datetime64" and bool(value != value)


def _is_datetime(value: Any) -> bool:
    """Datetimes, and ISO-8601 texts that name one."""
    return isinstance(value, (_dt.date, str)) or type(value).__name__ == "datetime64"


def _datetime64_ns(name: str, row: int, value: Any) -> int:
    converted = value.astype("datetime64[ns]")
    if converted.astype(value.dtype) != value:  # NumPy wraps around instead of failing
        raise OverflowError(f"column `{name}` row {row}: {value} {_OUT_OF_RANGE['M']}")
    return int(converted.astype("int64"))


def _is_boolean(value: Any) -> bool:
    """True and False are ints to Python, but never a timestamp."""
    return isinstance(value, bool) or type(value).__name__ == "bool_"


def _datetime_ns(value: _dt.datetime) -> int:
    """Exact, including the nanoseconds of a pandas Timestamp; naive is UTC."""
    if value.tzinfo is None:
        value = value.replace(tzinfo=_dt.timezone.utc)
    delta = value - _EPOCH
    micros = (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds
    return micros * 1_000 + int(getattr(value, "nanosecond", 0))


# ---------------------------------------------------------------------------
# Rows


def _rows_source(rows: Sequence[Any]) -> Source:
    columns: dict[str, list[Any]] = {}
    for position, row in enumerate(rows):
        for key, value in _row_mapping(row, position).items():
            if not isinstance(key, str):
                raise TypeError(f"row {position}: keys must be text, not {type(key).__name__}")
            column = columns.get(key)
            if column is None:
                column = columns[key] = [_MISSING] * position
            column.append(value)
        for column in columns.values():
            if len(column) == position:
                column.append(_MISSING)

    def read(name: str) -> Column:
        return _object_column(name, columns[name])

    return Source(len(rows), list(columns), read)


def _row_mapping(row: Any, position: int) -> Mapping[Any, Any]:
    if isinstance(row, Mapping):
        return row
    as_dict = getattr(row, "_asdict", None)
    if callable(as_dict):
        return as_dict()  # type: ignore[no-any-return]
    if dataclasses.is_dataclass(row) and not isinstance(row, type):
        return {field.name: getattr(row, field.name) for field in dataclasses.fields(row)}
    raise TypeError(
        f"row {position} is {type(row).__name__}; rows must be mappings, named tuples "
        "or dataclass instances"
    )


def _object_column(name: str, values: list[Any]) -> Column:
    if not any(value is _MISSING for value in values):
        return Column(name, "object", values, None)
    mask = bytearray(value is _MISSING for value in values)
    return Column(name, "object", [None if v is _MISSING else v for v in values], mask)


def _mapping_source(columns: Mapping[Any, Any]) -> Source:
    names = list(columns)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"column names must be text, not {type(name).__name__}")
    lengths = {name: len(columns[name]) for name in names}
    length = next(iter(lengths.values()), 0)
    for name, size in lengths.items():
        if size != length:
            raise ValueError(f"column `{name}` has {size} values, column `{names[0]}` {length}")

    def read(name: str) -> Column:
        values = columns[name]
        if type(values).__module__ == "numpy":
            return _numpy_column(name, values, None)
        return _object_column(name, list(values))

    return Source(length, names, read)


# ---------------------------------------------------------------------------
# NumPy arrays, the common form of every data frame's columns


def _numpy_column(name: str, values: Any, mask: Any) -> Column:
    np = _optional("numpy")

    values = np.asarray(values)
    if values.ndim != 1:
        raise ValueError(f"column `{name}` must be one-dimensional")
    if mask is not None:
        mask = np.ascontiguousarray(mask, dtype=bool)
        if not mask.any():
            mask = None
    kind = values.dtype.kind
    if kind == "b":
        return Column(name, "bool", np.ascontiguousarray(values), mask)
    if kind in "iu":
        return Column(name, "int", _int64(name, values, mask), mask)
    if kind == "f":
        return Column(name, "float", np.ascontiguousarray(values, dtype=np.float64), mask)
    if kind in "Mm":
        return _temporal_column(name, values, mask)
    if kind in "OUS":
        return Column(name, "object", values.tolist(), mask)
    raise TypeError(f"column `{name}` has unsupported type {values.dtype}")


def _int64(name: str, values: Any, mask: Any) -> Any:
    np = _optional("numpy")

    if values.dtype == np.uint64 and values.size:
        kept = values if mask is None else values[~mask]
        if kept.size and kept.max() > _INT64_MAX:
            raise OverflowError(f"column `{name}` holds integers beyond the 64-bit signed range")
    return np.ascontiguousarray(values, dtype=np.int64)


def _temporal_column(name: str, values: Any, mask: Any) -> Column:
    np = _optional("numpy")

    unit = "datetime64[ns]" if values.dtype.kind == "M" else "timedelta64[ns]"
    nat = np.isnat(values)
    if nat.any():
        mask = nat if mask is None else (mask | nat)
    converted = values.astype(unit)
    arrow_format = "tsn:" if values.dtype.kind == "M" else "tDn"
    if converted.dtype != values.dtype:
        # NumPy wraps a value past the nanosecond range around; converting
        # back shows it, as the wrapped value never maps to the original.
        wrapped = (converted.astype(values.dtype) != values) & ~nat
        if wrapped.any():
            row = int(wrapped.argmax())
            raise OverflowError(
                f"column `{name}` row {row}: {values[row]} {_OUT_OF_RANGE[values.dtype.kind]}"
            )
    return Column(name, "int", np.ascontiguousarray(converted.view(np.int64)), mask, arrow_format)


# ---------------------------------------------------------------------------
# Data frames


def _exports_arrow(events: object) -> bool:
    """Whether `events` speaks the Arrow PyCapsule interface (pyarrow, polars,
    pandas from 2.2, DuckDB), which the native module reads directly."""
    kind = type(events)
    return hasattr(kind, "__arrow_c_stream__") or hasattr(kind, "__arrow_c_array__")


def _pandas_by_columns(events: object) -> bool:
    """Whether a pandas frame is read by its columns rather than as Arrow:
    when empty, as pandas gives an empty object column no Arrow type, and
    with object columns, whose Arrow type pandas takes from their first
    value, failing on a later one of another type."""
    if not _is_instance(events, "pandas", "DataFrame"):
        return False
    return len(events) == 0 or any(str(dtype) == "object" for dtype in events.dtypes)  # type: ignore[arg-type, attr-defined]


def _from_arrow(
    events: object, keys: Keys, carry: Sequence[str], threads: int
) -> _core._EventTable:
    if _is_instance(events, "pandas", "DataFrame"):
        _column_names(events.columns)  # type: ignore[attr-defined]  # Arrow would make them text
    if _is_instance(events, "polars", "DataFrame"):
        events = _typed_nulls(events, keys)
    key_names = (keys.partition, keys.ts, keys.typ)
    if len(set(key_names)) != 3:
        raise ValueError("the partition, ts and typ columns must be three different columns")
    attributes = None
    if keys.attributes is not None:
        attributes = [name for name in dict.fromkeys(keys.attributes) if name not in key_names]
    return _core._table_from_arrow(events, *key_names, attributes, list(carry), threads)


def _typed_nulls(frame: Any, keys: Keys) -> Any:
    """polars exports a column of type Null with a buffer that the Arrow
    format does not have; as booleans its nulls read the same, and as the
    type a key column has they are null keys."""
    pl = _optional("polars")

    key_types = {keys.partition: pl.String, keys.typ: pl.String, keys.ts: pl.Int64}
    nulls = [name for name, dtype in frame.schema.items() if dtype == pl.Null]
    casts = [pl.col(name).cast(key_types.get(name, pl.Boolean)) for name in nulls]
    return frame.with_columns(casts) if casts else frame


def _frame_source(events: object) -> Source | None:
    """The columns of a pandas data frame without the Arrow interface (pandas
    before 2.2), or of a subclass of one from any module, else None."""
    if _is_instance(events, "pandas", "DataFrame"):
        return _pandas_source(events)
    return None


def _is_instance(value: object, module: str, name: str) -> bool:
    loaded = sys.modules.get(module)
    return loaded is not None and isinstance(value, getattr(loaded, name))


def _column_names(names: Iterable[Any]) -> list[str]:
    out = list(names)
    for name in out:
        if not isinstance(name, str):
            raise TypeError(f"column names must be text, not {type(name).__name__} ({name!r})")
    if len(set(out)) != len(out):
        repeated = next(name for name in out if out.count(name) > 1)
        raise ValueError(f"column `{repeated}` appears more than once")
    return out


def _pandas_source(frame: Any) -> Source:
    return Source(
        len(frame), _column_names(frame.columns), lambda name: _pandas_column(name, frame[name])
    )


def _pandas_column(name: str, series: Any) -> Column:
    np = _optional("numpy")
    pd = _optional("pandas")

    dtype = series.dtype
    if isinstance(dtype, pd.ArrowDtype):
        # Read as the Arrow column it is: pandas' own conversions of these
        # fail on nulls (bool) or give Python objects (timestamps).
        return _arrow_column(name, _optional("pyarrow").array(series.array))
    mask = series.isna().to_numpy(dtype=bool)
    if isinstance(dtype, pd.DatetimeTZDtype):
        values = series.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy()
        return _numpy_column(name, values, mask)._replace(arrow_format="tsn:UTC")
    if isinstance(dtype, np.dtype) and dtype.kind in "biufMm":
        values = series.to_numpy()
    elif getattr(dtype, "kind", "O") in "biuf" and hasattr(dtype, "numpy_dtype"):
        values = series.to_numpy(dtype=dtype.numpy_dtype, na_value=0)
    else:
        text = _arrow_text(name, series.array, mask) if _arrow_backed(dtype) else None
        if text is not None:
            return text
        values = series.to_numpy(dtype=object)
    return _numpy_column(name, values, mask)


def _arrow_backed(dtype: Any) -> bool:
    """Text held in Arrow buffers already: read them instead of making strs."""
    categories = getattr(dtype, "categories", None)
    if categories is not None:
        dtype = categories.dtype
    return getattr(dtype, "storage", None) == "pyarrow" and "pyarrow" in sys.modules


def _arrow_column(name: str, column: Any) -> Column:
    pa = _optional("pyarrow")

    mask = column.is_null().to_numpy(zero_copy_only=False) if column.null_count else None
    kind = column.type
    numeric = pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)
    temporal = pa.types.is_temporal(kind) and not pa.types.is_time(kind)
    if numeric or temporal:
        if mask is not None:
            column = column.fill_null(pa.scalar(False if pa.types.is_boolean(kind) else 0, kind))
        read = _numpy_column(name, column.to_numpy(zero_copy_only=False), mask)
        aware = pa.types.is_timestamp(kind) and kind.tz is not None
        return read._replace(arrow_format="tsn:UTC") if aware else read
    text = _arrow_text(name, column, mask)
    if text is not None:
        return text
    return _numpy_object_column(name, column.to_pylist(), mask)


def _arrow_text(name: str, values: Any, mask: Any) -> Column | None:
    """An Arrow text column (utf8, large or view, plain or as a dictionary)
    as the array or chunked array that the native Arrow reader reads, or
    None when it is not text."""
    pa = _optional("pyarrow")
    try:
        if not isinstance(values, (pa.Array, pa.ChunkedArray)):
            values = pa.array(values)
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError):
        return None
    kind = values.type.value_type if pa.types.is_dictionary(values.type) else values.type
    if not (
        pa.types.is_string(kind) or pa.types.is_large_string(kind) or _is_string_view(pa, kind)
    ):
        return None
    if mask is not None:
        mask = _optional("numpy").ascontiguousarray(mask, dtype=bool)
    return Column(name, "arrow_text", values, mask)


def _is_string_view(pa: Any, kind: Any) -> bool:
    is_view = getattr(pa.types, "is_string_view", None)
    return bool(is_view and is_view(kind))


def _numpy_object_column(name: str, values: list[Any], mask: Any) -> Column:
    np = _optional("numpy")

    if mask is not None:
        mask = np.ascontiguousarray(mask, dtype=bool)
    return Column(name, "object", values, mask)
