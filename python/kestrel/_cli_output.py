"""Writing results as they come: JSON Lines, CSV or Parquet.

JSON Lines holds one object per match or near miss, as the library's
records give them; floats that JSON cannot hold (NaN, infinities) are
written as the strings "NaN", "Infinity" and "-Infinity". CSV and Parquet
hold the result sets' Arrow tables; in CSV, list cells are JSON text.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Callable, Iterable
from typing import IO, Any

from ._cli_errors import CliError, require_pyarrow
from ._output import match_record, near_miss_record
from ._results import Matches, NearMisses

OUTPUT_FORMATS = ("jsonl", "csv", "parquet")
_EXTENSIONS = {
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
    ".csv": "csv",
    ".parquet": "parquet",
    ".pq": "parquet",
}


def output_format(path: str | None, fmt: str | None) -> str:
    """`fmt`, else the one the output file's extension says; JSON Lines for
    standard output and for a name without extension."""
    if fmt is not None:
        return fmt
    if path is None or path == "-":
        return "jsonl"
    extension = os.path.splitext(path.lower())[1]
    if not extension:
        return "jsonl"
    if extension not in _EXTENSIONS:
        raise CliError(
            f"cannot tell the output format of {path} from `{extension}`; "
            f"add --output-format ({', '.join(OUTPUT_FORMATS)})"
        )
    return _EXTENSIONS[extension]


def writer_for(
    fmt: str, stream: IO[bytes], dated: Callable[[], bool] = lambda: False
) -> JsonLinesWriter | TableWriter:
    """The writer of `fmt`; `dated()` tells, once results come, whether the
    timestamps were dates, which Parquet then holds as timestamps."""
    if fmt == "jsonl":
        return JsonLinesWriter(stream)
    return TableWriter(stream, fmt, dated if fmt == "parquet" else lambda: False)


class JsonLinesWriter:
    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream

    def write(self, results: Matches | NearMisses) -> None:
        record = match_record if isinstance(results, Matches) else near_miss_record
        self.lines(json_line(record(one)) for one in results)  # type: ignore[arg-type]

    def lines(self, lines: Iterable[str]) -> None:
        for line in lines:
            self._stream.write(line.encode("utf-8") + b"\n")

    def close(self) -> None:
        self._stream.flush()


class TableWriter:
    """CSV or Parquet. The first table with rows fixes the columns: a
    capture's type follows its values, and a batch may hold none of them, so
    a later column without values takes the first one's type. In CSV, which
    holds text, later values stand as they are; in Parquet a value of
    another type is refused, never cast (`true` is not 1)."""

    def __init__(self, stream: IO[bytes], fmt: str, dated: Callable[[], bool]) -> None:
        self._stream = stream
        self._format = fmt
        self._dated = dated
        self._parquet: Any = None
        self._schema: Any = None  # of the first table written
        self._empty: Any = None  # the last table without rows, for an output without any

    def write(self, results: Matches | NearMisses) -> None:
        table = results.to_arrow()
        if self._format == "csv":
            table = _lists_as_json(table)
        if self._dated():
            table = _as_times(table)
        if table.num_rows == 0:
            self._empty = table
            return
        if self._schema is None:
            self._schema = table.schema
        elif table.schema != self._schema:
            table = self._conformed(table)
        self._write(table)

    def _write(self, table: Any) -> None:
        if self._format == "csv":
            csv = require_pyarrow("csv")
            header = csv.WriteOptions(include_header=self._parquet is None)
            csv.write_csv(table, self._stream, write_options=header)
            self._parquet = False  # the header is out
            return
        if self._parquet is None:
            self._parquet = require_pyarrow("parquet").ParquetWriter(self._stream, table.schema)
        self._parquet.write_table(table)

    def _conformed(self, table: Any) -> Any:
        """`table` in the first table's columns: the same names, and in
        Parquet the same types, a column without values taking them."""
        pa = require_pyarrow()
        if table.schema.names != self._schema.names:
            self._refuse(table)
        if self._format == "csv":
            return table
        columns = []
        for column, field in zip(table.columns, self._schema):
            if column.type != field.type:
                if column.null_count != len(column):
                    self._refuse(table)
                column = pa.nulls(len(column), field.type)
            columns.append(column)
        return pa.Table.from_arrays(columns, schema=self._schema)

    def _refuse(self, table: Any) -> None:
        changed = [f"`{field.name}`" for field in table.schema if field not in self._schema]
        raise CliError(
            f"column {', '.join(changed)} changed type between batches of results; "
            "write JSON Lines, which takes any values"
        )

    def close(self) -> None:
        if self._schema is None and self._empty is not None:
            self._write(self._empty)
        if self._parquet:
            self._parquet.close()
        self._stream.flush()


def _as_times(table: Any) -> Any:
    """Nanoseconds since the epoch as UTC timestamps, spans of them as durations."""
    pa = require_pyarrow()
    kinds = {
        "start": pa.timestamp("ns", "UTC"),
        "end": pa.timestamp("ns", "UTC"),
        "detail.gap": pa.duration("ns"),
        "detail.max_elapsed": pa.duration("ns"),
    }
    for name, kind in kinds.items():
        index = table.schema.get_field_index(name)
        if index >= 0:
            table = table.set_column(index, name, table.column(index).cast(kind))
    return table


def _lists_as_json(table: Any) -> Any:
    pa = require_pyarrow()
    for index, field in enumerate(table.schema):
        if pa.types.is_list(field.type) or pa.types.is_large_list(field.type):
            texts = [_as_json(cell) for cell in table.column(index).to_pylist()]
            table = table.set_column(index, field.name, pa.array(texts, pa.string()))
    return table


def _as_json(cell: object) -> str | None:
    return None if cell is None else json_line(cell)


def json_line(record: object) -> str:
    """`record` as one line of JSON, non-ASCII kept, non-finite floats as
    the strings "NaN", "Infinity" and "-Infinity"."""
    try:
        return json.dumps(record, ensure_ascii=False, allow_nan=False)
    except ValueError:
        return json.dumps(finite(record), ensure_ascii=False, allow_nan=False)


def finite(value: object) -> object:
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else "Infinity" if value > 0 else "-Infinity"
    if isinstance(value, dict):
        return {key: finite(item) for key, item in value.items()}
    if isinstance(value, list):
        return [finite(item) for item in value]
    return value
