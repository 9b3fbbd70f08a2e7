"""CSV events for the command line: pyarrow's streaming reader, with two
checks it does not make. A quote left open runs to the end of the input as
one cell, which would silently swallow every later row; an integer past 64
bits would be read as a float that has lost digits. So the columns the
reader would type as floats are read as text and converted here, refusing
such integers, and the input's last cell is checked against its last bytes.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from ._cli_errors import CliError, require_pyarrow
from ._cli_recorded import Recorded

# An integer of this many digits or fewer fits 64 bits or is refused by the
# reader's own integer parsing; longer ones are checked one by one.
_LONG_INTEGER = r"^\s*[+-]?0*\d{19,}\s*$"
_FIELD_STARTS = b",\r\n"
_INT64 = range(-(2**63), 2**63)
_INT64_DIGITS = 19


def csv_batches(
    recorded: Recorded, block_bytes: int, keys: dict[str, Any], first_row: int
) -> Iterator[Any]:
    """The record batches of a CSV stream, read in blocks of `block_bytes`
    (its head holding more than two, its tail more than one); `keys` are
    columns of fixed type, `first_row` numbers the first row in messages."""
    pa = require_pyarrow()
    csv = require_pyarrow("csv")
    # The reader types the columns from its first block alone: read that
    # block once more to learn which columns it makes floats.
    first = csv.open_csv(pa.BufferReader(recorded.head), **_options(block_bytes, keys))
    floats = [f.name for f in first.schema if pa.types.is_floating(f.type) and f.name not in keys]
    types = {**keys, **dict.fromkeys(floats, pa.string())}
    reader = csv.open_csv(pa.PythonFile(recorded, mode="r"), **_options(block_bytes, types))
    row = first_row
    last = None
    for batch in reader:
        _check_utf8(batch, row)
        for name in floats:
            batch = _as_floats(batch, name, row)
        row += batch.num_rows
        last = batch if batch.num_rows else last
        yield batch
    last_cell = reader.schema.names[-1] if last is None else last.column(-1)[-1].as_py()
    if isinstance(last_cell, str) and _runs_to_the_end(last_cell, recorded):
        name = reader.schema.names[-1]
        where = "the header" if last is None else f"row {row - 1}: column `{name}`"
        raise CliError(f"{where}: a quoted field is not closed; it runs to the end of the input")


def _options(block_bytes: int, types: dict[str, Any]) -> dict[str, Any]:
    """Types from the reader's own inference, except those in `types`. Only
    an empty cell is a null, and only true and false are booleans: texts
    such as NA or 1 stay what they say."""
    csv = require_pyarrow("csv")
    return {
        "read_options": csv.ReadOptions(block_size=block_bytes),
        "parse_options": csv.ParseOptions(newlines_in_values=True),
        "convert_options": csv.ConvertOptions(
            column_types=types,
            strings_can_be_null=True,
            null_values=[""],
            true_values=["true", "True", "TRUE"],
            false_values=["false", "False", "FALSE"],
        ),
    }


def _check_utf8(batch: Any, first_row: int) -> None:
    """The reader makes a column with text that is not UTF-8 binary."""
    pa = require_pyarrow()
    for name, column in zip(batch.schema.names, batch.columns):
        if pa.types.is_binary(column.type):
            for row, cell in enumerate(column.to_pylist()):
                if cell is not None and not _is_utf8(cell):
                    raise CliError(
                        f"row {first_row + row}: column `{name}` holds text that is not valid UTF-8"
                    )


def _is_utf8(cell: bytes) -> bool:
    try:
        cell.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _as_floats(batch: Any, name: str, first_row: int) -> Any:
    """Column `name`, read as text, as the floats the reader would make,
    refusing an integer that a float would hold only roughly."""
    pa = require_pyarrow()
    pc = require_pyarrow("compute")
    index = batch.schema.get_field_index(name)
    texts = batch.column(index)
    long = pc.match_substring_regex(texts, _LONG_INTEGER)
    if pc.any(long).as_py():
        for row, (text, flagged) in enumerate(zip(texts.to_pylist(), long.to_pylist())):
            if flagged and not _fits_64_bits(text):
                raise CliError(
                    f"row {first_row + row}: column `{name}`: {_shown(text.strip())} is "
                    "past the 64-bit integers, which would lose digits as a float"
                )
    try:
        floats = pc.utf8_trim_whitespace(texts).cast(pa.float64())
    except pa.ArrowInvalid:
        bad = next(i for i, text in enumerate(texts.to_pylist()) if not _is_float(text))
        raise CliError(
            f"row {first_row + bad}: column `{name}`: {texts[bad].as_py()!r} is not a number, "
            "but the column's first rows are"
        ) from None
    return batch.set_column(index, name, floats)


def _fits_64_bits(text: str) -> bool:
    digits = text.strip().lstrip("+-").lstrip("0")
    return len(digits) <= _INT64_DIGITS and int(text) in _INT64


def _shown(integer: str) -> str:
    return integer if len(integer) <= _INT64_DIGITS + 2 else f"an integer of {len(integer)} digits"


def _is_float(text: str | None) -> bool:
    pa = require_pyarrow()
    try:
        pa.scalar(text and text.strip(), pa.string()).cast(pa.float64())
    except pa.ArrowInvalid:
        return False
    return True


def _runs_to_the_end(cell: str, recorded: Recorded) -> bool:
    """Whether `cell`, the input's last, is a quoted field never closed:
    the input then ends with its opening quote and its text, quotes doubled."""
    raw = b'"' + cell.replace('"', '""').encode("utf-8")
    tail = recorded.tail
    if not tail.endswith(raw):
        return False
    if recorded.total == len(raw):
        return True
    return len(tail) > len(raw) and tail[-len(raw) - 1] in _FIELD_STARTS
