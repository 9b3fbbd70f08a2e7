"""Events for the command line: files, directories, globs and standard
input, in JSON Lines, CSV, Parquet or Arrow IPC, compressed or not, read by
pyarrow's own readers as record batches of bounded size, so that input of
any size streams through in constant memory.

Compression is told from the data's first bytes, the format from the name
(with a compression suffix dropped) unless given. Timestamps that are
ISO-8601 texts or Arrow timestamps become integer nanoseconds since the
epoch (a time without offset is UTC), the unit every later step assumes.
"""

from __future__ import annotations

import glob
import io
import math
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NamedTuple, cast

from ._cli_csv import csv_batches
from ._cli_errors import CliError, require_pyarrow, say
from ._cli_recorded import Recorded

FORMATS = ("jsonl", "csv", "parquet", "arrow")
_EXTENSIONS = {
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
    ".csv": "csv",
    ".parquet": "parquet",
    ".pq": "parquet",
    ".arrow": "arrow",
    ".arrows": "arrow",
    ".feather": "arrow",
    ".ipc": "arrow",
}
_COMPRESSION_SUFFIXES = (".gz", ".bz2", ".zst", ".lz4")
_MAGIC = {
    b"\x1f\x8b": "gzip",
    b"BZh": "bz2",
    b"\x28\xb5\x2f\xfd": "zstd",
    b"\x04\x22\x4d\x18": "lz4",
}
_IPC_FILE_MAGIC = b"ARROW1"
_MAGIC_OF = {"parquet": (b"PAR1",), "arrow": (_IPC_FILE_MAGIC, b"\xff\xff\xff\xff")}
_READ_BYTES = 1 << 20
_INT64_BOUND = 2.0**63
# The readers' unit of work: it bounds a line's length, and the first block
# fixes the columns and their types. Larger blocks make memory grow with the
# input (16 MiB: 2x the peak RSS for 10x the lines), 1 MiB keeps it flat.
BLOCK_BYTES = 1 << 20
PARQUET_BATCH_ROWS = 1 << 16
# The readers end a message with the row; a column name earlier in it may
# read the same.
_ROW = re.compile(r"\bin row (\d+)(?=\s*$)")
_BAD_UTF8 = re.compile(r"In column (\d+): Invalid: Invalid UTF8 sequence at string index (\d+)")
_STRADDLING = "straddling object straddles two block boundaries"
_NEW_FIELD = "JSON parse error: unexpected field"
_UNPARSED = re.compile(r"Failed to parse string: '(.*)' as a scalar")
_INTEGER = re.compile(r"\s*[+-]?\d+\s*", re.ASCII)
# A time of day followed by its offset from UTC.
_ZONED = r"[T ]\d\d(?::?\d\d)*(?:[.,]\d+)?(?:Z|[+-]\d\d(?::?\d\d)?)\s*$"


class Columns(NamedTuple):
    """The names of the key columns."""

    partition: str
    ts: str
    typ: str


class Source(NamedTuple):
    """One input: its name for messages, its path (None for standard input),
    its format, and whether that format is only the default."""

    name: str
    path: str | None
    format: str
    guessed: bool = False


def sources(inputs: Sequence[str], fmt: str | None) -> list[Source]:
    """The files behind `inputs` in order: `-` is standard input, a
    directory gives its files, a name with wildcards the files it matches."""
    found = []
    if list(inputs).count("-") > 1:
        raise CliError("standard input (-) is given more than once; it can be read only once")
    for given in inputs:
        if given == "-":
            found.append(Source("standard input", None, fmt or "jsonl", fmt is None))
            continue
        for path in _expand(given):
            guessed = fmt is None and not os.path.splitext(path)[1]
            found.append(Source(path, path, fmt or format_of(path), guessed))
    return found


def _expand(given: str) -> list[str]:
    if glob.has_magic(given):
        paths = sorted(path for path in glob.glob(given, recursive=True) if os.path.isfile(path))
        if not paths:
            raise CliError(f"no file matches {given}")
        return paths
    if os.path.isdir(given):
        paths = sorted(entry.path for entry in os.scandir(given) if entry.is_file())
        if not paths:
            raise CliError(f"directory {given} holds no files")
        return paths
    return [given]


def format_of(path: str) -> str:
    """The format a file's name says; JSON Lines for a name without extension."""
    stem = path.lower()
    for suffix in _COMPRESSION_SUFFIXES:
        stem = stem.removesuffix(suffix)
    extension = os.path.splitext(os.path.basename(stem))[1]
    if not extension:
        return "jsonl"
    if extension not in _EXTENSIONS:
        raise CliError(
            f"cannot tell the format of {path} from `{extension}`; "
            f"add --format ({', '.join(FORMATS)})"
        )
    return _EXTENSIONS[extension]


class EventBatches:
    """The record batches of every source in turn, the timestamp column in
    integer nanoseconds when it held dates. `dated` is known once the first
    batch is out; `on_read(events, nbytes)` is told of each batch."""

    def __init__(
        self,
        found: Sequence[Source],
        columns: Columns,
        on_read: Callable[[int, int], None] = lambda events, nbytes: None,
    ) -> None:
        self._sources = found
        self._columns = columns
        self._on_read = on_read
        self._form: tuple[str, bool] | None = None  # first source, and whether it was dated
        self.events = 0

    @property
    def dated(self) -> bool:
        return self._form is not None and self._form[1]

    def __iter__(self) -> Iterator[Any]:
        for source in self._sources:
            yield from self._batches(source)

    def _batches(self, source: Source) -> Iterator[Any]:
        pa = require_pyarrow()
        with _Opened(source) as opened:
            if opened.empty:
                return
            _check_magic(source, opened.stream)
            try:
                batches = _reader(source.format, opened.stream, self._columns, self.events)
                consumed = 0
                for batch in batches:
                    if batch.num_rows == 0:
                        continue  # a header alone, say: its columns are untyped
                    _check_names(batch.schema.names, source.name)
                    if source.format == "jsonl":
                        self._check_utf8(batch)
                        self._check_numbers(batch, opened)
                    batch = self._timed(batch, source.name)
                    self.events += batch.num_rows
                    self._on_read(batch.num_rows, opened.consumed() - consumed)
                    consumed = opened.consumed()
                    yield batch
            except (pa.ArrowException, OSError, UnicodeDecodeError, ValueError) as error:
                hint = ""
                if source.guessed and self.events == 0:
                    hint = f"; {source.name} is read as JSON Lines, add --format csv for CSV"
                raise CliError(f"cannot read {source.name}: {self._message(error)}{hint}") from None

    def _message(self, error: Exception) -> str:
        if isinstance(error, OSError):
            return _reason(error)
        if _STRADDLING in str(error):
            return f"a line is longer than {BLOCK_BYTES >> 20} MiB"
        if _NEW_FIELD in str(error):
            return (
                f"{error} in the block after row {self.events}: the first "
                f"{BLOCK_BYTES >> 20} MiB of the input fix its columns"
            )
        if isinstance(error, UnicodeDecodeError):
            return f"not valid UTF-8 ({error.reason})"
        # The readers count rows from their current block; results count
        # events from the start of the input.
        text = _ROW.sub(lambda found: f"in row {self.events + int(found.group(1))}", str(error))
        return " ".join(text.split())

    def _check_utf8(self, batch: Any) -> None:
        """The JSON reader leaves texts' UTF-8 unchecked; the CSV reader checks it."""
        pa = require_pyarrow()
        try:
            batch.validate(full=True)
        except pa.ArrowInvalid as error:
            found = _BAD_UTF8.search(str(error))
            if found is None:
                raise
            name = batch.schema.names[int(found.group(1))]
            row = self.events + int(found.group(2))
            raise CliError(
                f"row {row}: column `{name}` holds text that is not valid UTF-8"
            ) from None

    def _check_numbers(self, batch: Any, opened: _Opened) -> None:
        """The JSON reader makes a number past the 64-bit integers a float,
        which holds an integer that large only roughly, and one past the
        floats an infinity: such numbers are refused (JSON does not tell
        1e20 from the integer it rounds), infinities beyond the input's
        Infinity literals."""
        pa = require_pyarrow()
        pc = require_pyarrow("compute")
        for name, column in zip(batch.schema.names, batch.columns):
            if not pa.types.is_floating(column.type):
                continue
            finite = pc.is_finite(column)
            huge = pc.and_(finite, pc.greater_equal(pc.abs(column), _INT64_BOUND))
            infinite = pc.is_inf(column)
            opened.infinities += pc.sum(infinite).as_py() or 0
            if opened.infinities > opened.stream.count:
                huge = pc.or_(huge, infinite)
            if pc.any(huge).as_py():
                row = pc.index(huge, True).as_py()
                number = column[row].as_py()
                shown = (
                    f"the number {number}"
                    if math.isfinite(number)
                    else "a number of over 308 digits"
                )
                raise CliError(
                    f"row {self.events + row}: column `{name}`: {shown} is past the 64-bit "
                    "integers, where it would lose digits as a float; write it as a JSON "
                    "string to keep it exactly"
                )

    def _timed(self, batch: Any, name: str) -> Any:
        index = batch.schema.get_field_index(self._columns.ts)
        if index < 0:
            return batch
        column, dated = nanoseconds(batch.column(index), self._columns.ts, self.events)
        if self._form is None:
            self._form = name, dated
        elif self._form[1] != dated:
            kinds = ("integers", "dates")
            raise CliError(
                f"column `{self._columns.ts}` holds {kinds[dated]} in {name}, but "
                f"{kinds[not dated]} in {self._form[0]}; use one form throughout"
            )
        return batch.set_column(index, self._columns.ts, column) if dated else batch


def nanoseconds(column: Any, name: str, first_row: int = 0) -> tuple[Any, bool]:
    """`column` as integer nanoseconds when it holds dates (ISO-8601 texts
    or Arrow timestamps), and whether it did; other columns as they are.
    `first_row` numbers the column's first row in messages."""
    pa = require_pyarrow()
    pc = require_pyarrow("compute")
    kind = column.type
    if pa.types.is_timestamp(kind):
        return column.cast(pa.timestamp("ns", kind.tz)).cast(pa.int64()), True
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        return column, False
    zoned = pc.match_substring_regex(column, _ZONED)
    try:
        aware = pc.if_else(zoned, column, None).cast(pa.timestamp("ns", "UTC"))
        naive = pc.if_else(zoned, None, column).cast(pa.timestamp("ns"))
    except pa.ArrowInvalid as error:
        raise CliError(_unreadable_date(column, name, first_row, str(error))) from None
    return pc.if_else(zoned, aware.cast(pa.int64()), naive.cast(pa.int64())), True


def _reason(error: OSError) -> str:
    """What the system said, without the readers' wrapping."""
    return os.strerror(error.errno) if error.errno else str(error)


def _unreadable_date(column: Any, name: str, first_row: int, message: str) -> str:
    """The reader's message on a timestamp text it could not parse, made to
    say which row, and why when the text is an integer among dates."""
    found = _UNPARSED.search(message)
    if found is None:
        return f"column `{name}`: {message}"
    text = found.group(1)
    row = first_row + require_pyarrow("compute").index(column, text).as_py()
    if _INTEGER.fullmatch(text):
        return (
            f"row {row}: column `{name}`: {text!r} is an integer, but the column holds "
            "ISO-8601 texts; use one form throughout (integers as JSON numbers)"
        )
    return f"row {row}: column `{name}`: {text!r} is neither an integer nor an ISO-8601 timestamp"


def _check_names(names: list[str], source: str) -> None:
    seen = set()
    for name in names:
        if name in seen:
            raise CliError(f"{source}: column `{name}` appears more than once")
        seen.add(name)


def _check_magic(source: Source, stream: Any) -> None:
    """Parquet and Arrow files say what they are in their first bytes: a
    file of another format is named as such, not left to the reader."""
    if source.format not in _MAGIC_OF:
        return
    head = stream.read(len(_IPC_FILE_MAGIC))
    stream.seek(0)
    if any(head.startswith(magic) for magic in _MAGIC_OF[source.format]):
        return
    name = {"parquet": "a Parquet file", "arrow": "an Arrow IPC file or stream"}[source.format]
    guess = next((fmt for fmt, magics in _MAGIC_OF.items() if head.startswith(magics[0])), None)
    if guess is None:
        guess = "jsonl" if head.lstrip()[:1] in (b"{", b"[") else "csv"
    raise CliError(f"{source.name} is not {name}; if it is {guess}, add --format {guess}")


def _reader(fmt: str, stream: Any, columns: Columns, first_row: int) -> Iterator[Any]:
    pa = require_pyarrow()
    if fmt == "jsonl":
        json = require_pyarrow("json")
        options = json.ReadOptions(block_size=BLOCK_BYTES)
        return iter(json.open_json(pa.PythonFile(stream, mode="r"), read_options=options))
    if fmt == "csv":
        keys = {columns.partition: pa.string(), columns.typ: pa.string()}
        return csv_batches(stream, BLOCK_BYTES, keys, first_row)
    if fmt == "parquet":
        parquet = require_pyarrow("parquet")
        return iter(parquet.ParquetFile(stream).iter_batches(batch_size=PARQUET_BATCH_ROWS))
    ipc = require_pyarrow("ipc")
    if stream.read(len(_IPC_FILE_MAGIC)) == _IPC_FILE_MAGIC:
        stream.seek(0)
        whole = ipc.open_file(stream)
        return (whole.get_batch(i) for i in range(whole.num_record_batches))
    stream.seek(0)
    return iter(ipc.open_stream(stream))


class _Opened:
    """A source opened for reading, decompressed when its first bytes say
    so; random access for Parquet and Arrow files, which need it."""

    def __init__(self, source: Source) -> None:
        self._source = source
        self._raw: Any = None
        self._size = 0
        self.stream: Any = None
        self.empty = False  # no events at all: no bytes, or only blank ones
        self.infinities = 0  # read so far, to weigh against the Infinity literals

    def __enter__(self) -> _Opened:
        pa = require_pyarrow()
        source = self._source
        if source.path is None:
            if sys.stdin is None:
                raise CliError("standard input is closed")
            if sys.stdin.isatty():
                say("reading events from the terminal; end them with Ctrl-D")
        try:
            if source.path is None:
                head = cast(io.BufferedReader, sys.stdin.buffer).peek(4)[:4]
                self._raw = pa.PythonFile(sys.stdin.buffer, mode="r")
            else:
                self._raw = pa.OSFile(source.path)
                self._size = self._raw.size()
                head = self._raw.read(4)
                self._raw.seek(0)
        except OSError as error:
            raise CliError(f"cannot read {source.name}: {_reason(error)}") from None
        codec = next((name for magic, name in _MAGIC.items() if head.startswith(magic)), None)
        self.stream = pa.CompressedInputStream(self._raw, codec) if codec else self._raw
        if source.format in ("parquet", "arrow"):
            self.stream = self._random_access(pa, codec)
            self.empty = self.stream.size() == 0
        else:
            tail = BLOCK_BYTES + 2 if source.format == "csv" else 0
            counted = b"Infinity" if source.format == "jsonl" else b""
            self.stream = Recorded(self.stream, 2 * BLOCK_BYTES + 1, tail, counted)
            self.empty = self.stream.empty
        return self

    def _random_access(self, pa: Any, codec: str | None) -> Any:
        """Parquet and Arrow files are read by seeking: a plain file is
        mapped, anything else read whole."""
        if codec or self._source.path is None or self._size == 0:
            chunks = iter(lambda: self.stream.read(_READ_BYTES), b"")
            return pa.BufferReader(b"".join(chunks))
        return pa.memory_map(self._source.path)

    def __exit__(self, *exc: object) -> None:
        if self._raw is not None:
            self._raw.close()

    def consumed(self) -> int:
        """Bytes of the source read so far (0 for standard input)."""
        if self._source.path is None:
            return 0
        # A decompressing stream closes the file once it has read all of it.
        return self._size if self._raw.closed else self._raw.tell()


def file_bytes(found: Sequence[Source]) -> int | None:
    """The total size of the sources, None when one is standard input."""
    if any(source.path is None for source in found):
        return None
    total = 0
    for source in found:
        try:
            total += os.path.getsize(source.path)  # type: ignore[arg-type]
        except OSError:
            pass  # reported when it is opened
    return total
