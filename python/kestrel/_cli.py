"""The `kestrel` command: run a pattern over events in JSON Lines or CSV.

Without arguments it runs a demonstration over the bundled sample events.
Matches and near misses are written as JSON Lines, one object each; floats
that JSON cannot hold (NaN, infinities) are written as the strings "NaN",
"Infinity" and "-Infinity". The funnel is written as a text table.
"""

from __future__ import annotations

import argparse
import csv
import importlib.metadata
import json
import math
import os
import re
import stat
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from importlib import resources
from typing import IO, Any, BinaryIO, NamedTuple

from ._api import explain, funnel, match, read_pattern
from ._core import Match, NearMiss
from ._durations import UNITS, without_durations
from ._output import match_record, near_miss_record
from ._timestamps import parse_timestamp

DEMO_PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"
SAMPLE_PARTITION = "channel"
SAMPLE_TYP = "event"

LARGE_INPUT_BYTES = 4 << 20
# Bounds on what is read whole into memory before it is parsed: without them
# a device or a file without line breaks would be read until memory ran out,
# in one call of the reader that Ctrl-C cannot stop.
MAX_LINE_BYTES = 64 << 20
MAX_PATTERN_CHARS = 1 << 20
_PROGRESS_DELAY = 0.5
_PROGRESS_INTERVAL = 0.2
_PROGRESS_CHECK_EVERY = 1024
_EXIT_BROKEN_PIPE = 128 + 13  # what a shell reports for a process ended by SIGPIPE
_EXIT_INTERRUPTED = 130

# ASCII digits only: int() and float() would also read other scripts' digits.
_INTEGER = re.compile(r"[+-]?\d+", re.ASCII)
_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?", re.ASCII)
_ROW = re.compile(r"(`[^`]*`)|\brow (\d+)\b")  # a row number outside a quoted column name
_BOOLEANS = {"true": True, "false": False}
_ABSENT: Any = object()  # an empty CSV cell, left out of the row

Row = dict[str, Any]


class Rows(list[Row]):
    """Rows read from the input, with the line each one starts on."""

    def __init__(self) -> None:
        super().__init__()
        self.line_numbers: list[int] = []
        # Whether the timestamps were ISO-8601 texts, now nanoseconds.
        self.dated = False

    def add(self, row: Row, line_number: int) -> None:
        self.append(row)
        self.line_numbers.append(line_number)


class Columns(NamedTuple):
    """The names of the key columns."""

    partition: str
    ts: str
    typ: str


class CliError(Exception):
    """A failure in the user's input, reported as one line with exit code 1."""


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: the process arguments) and
    return the exit code: 0 done, 1 bad input or pattern, 2 usage error, 130
    interrupted."""
    try:
        code = _run(argv)
        if sys.stdout is not None:
            sys.stdout.flush()  # here, so that a closed pipe is handled below
        return code
    except KeyboardInterrupt:
        _say("interrupted")
        return _EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`kestrel ... | head`): stop quietly.
        _discard_stdout()
        return _EXIT_BROKEN_PIPE


def _discard_stdout() -> None:
    """Point standard output at the null device, so that the interpreter's
    final flush of what could not be written does not fail again."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _run(argv: Sequence[str] | None) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exit:  # argparse has already printed help or the usage error
        return exit.code if isinstance(exit.code, int) else 2
    try:
        if getattr(args, "output", None) in (None, "-") and sys.stdout is None:
            raise CliError("standard output is closed")
        if args.command is None:
            _demo()
        else:
            _command(args)
    except CliError as error:
        _say("error: " + str(error))
        return 1
    return 0


def _say(message: str) -> None:
    if sys.stderr is not None:
        print("kestrel: " + " ".join(message.splitlines()), file=sys.stderr)


# ---------------------------------------------------------------------------
# Arguments


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrel",
        description="Find ordered patterns in timestamped events read from JSON Lines or CSV. "
        "Without a command, runs a demonstration over the bundled sample events.",
    )
    parser.add_argument(
        "--version", action="version", version="kestrel " + importlib.metadata.version("kestrel")
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    matching = commands.add_parser(
        "match",
        help="write every match as a JSON line",
        description="Write every match of "
        "the pattern as a JSON line: partition, indices, types, start, end, captures.",
    )
    _add_common_arguments(matching)
    matching.add_argument(
        "--exhaustive",
        action="store_true",
        help="report every combination of qualifying events, not only the earliest per start",
    )
    explaining = commands.add_parser(
        "explain",
        help="write every near miss as a JSON line",
        description="Write, for every "
        "start that did not complete, how far it got and why it stopped, as a JSON line.",
    )
    _add_common_arguments(explaining)
    funneling = commands.add_parser(
        "funnel",
        help="print the funnel of the pattern as a table",
        description="Print, for each step of the pattern, how many partitions reached it, "
        "how many stopped there and why, and how long reaching it took.",
    )
    _add_common_arguments(funneling)
    funneling.add_argument(
        "--by", metavar="COL", help="one funnel per value of this column at the start event"
    )
    return parser


def _add_common_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "input",
        nargs="?",
        default="-",
        metavar="INPUT",
        help="events file, JSON Lines or CSV (default: standard input)",
    )
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--pattern", metavar="TEXT", help="the pattern, as text or JSON")
    source.add_argument("--pattern-file", metavar="FILE", help="a file holding the pattern")
    parser.add_argument(
        "--format",
        choices=("jsonl", "csv"),
        help="input format (default: csv for a .csv file, otherwise jsonl)",
    )
    parser.add_argument(
        "--partition",
        default="partition",
        metavar="COL",
        help="partition column (default: %(default)s)",
    )
    parser.add_argument(
        "--ts",
        default="ts",
        metavar="COL",
        help="timestamp column, integers or ISO-8601 (default: %(default)s)",
    )
    parser.add_argument(
        "--typ", default="typ", metavar="COL", help="event type column (default: %(default)s)"
    )
    parser.add_argument(
        "--unit",
        choices=UNITS,
        help="unit of integer timestamps, for duration windows such as <=5m in the pattern",
    )
    parser.add_argument("--output", metavar="FILE", help="write here instead of standard output")
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar while reading (default: for large input on a terminal)",
    )


# ---------------------------------------------------------------------------
# The match, explain and funnel commands


def _command(args: argparse.Namespace) -> None:
    pattern = _read_pattern(args.pattern, args.pattern_file)
    columns = Columns(args.partition, args.ts, args.typ)
    rows = _read_events(args.input, args.format, columns, args.progress)
    keys: dict[str, Any] = {"partition": columns.partition, "ts": columns.ts, "typ": columns.typ}
    keys["unit"] = _unit(args.unit, rows.dated, columns.ts)
    lines: Iterable[str]
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if args.command == "match":
                found = match(pattern, rows, exhaustive=args.exhaustive, **keys)
                lines = (json_line(match_record(one)) for one in found)
            elif args.command == "explain":
                misses = explain(pattern, rows, **keys)
                lines = (json_line(near_miss_record(miss)) for miss in misses)
            else:
                lines = iter([str(funnel(pattern, rows, by=args.by, **keys))])
    except (ValueError, TypeError, OverflowError) as error:
        raise CliError(_rows_as_lines(str(error), rows.line_numbers)) from None
    for warning in caught:
        _say(f"warning: {warning.message}")
    _write_output(lines, args.output)


def _unit(unit: str | None, dated: bool, ts: str) -> str | None:
    """The unit of the timestamps: ISO-8601 texts are read as nanoseconds."""
    if not dated:
        return unit
    if unit not in (None, "ns"):
        raise CliError(
            f"--unit {unit} is for integer timestamps; column `{ts}` holds ISO-8601 texts, "
            "read as nanoseconds"
        )
    return "ns"


def _rows_as_lines(message: str, line_numbers: list[int]) -> str:
    """The library's message with its row numbers (counted from 0, like the
    results' indices) replaced by the input lines they start on (from 1),
    the unit of every other error of the command."""

    def line(found: re.Match[str]) -> str:
        row = found.group(2)
        if row is None or int(row) >= len(line_numbers):
            return found.group(0)
        return f"line {line_numbers[int(row)]}"

    return _ROW.sub(line, message)


def _read_pattern(text: str | None, path: str | None) -> str:
    """The pattern text, checked before the events are read; its duration
    windows are read once the unit of the timestamps is known."""
    origin = ""
    if text is None:
        assert path is not None  # argparse requires one of the two
        origin = f" in {path}"
        text = _read_text(path)
    try:
        read_pattern(without_durations(text))
    except ValueError as error:
        raise CliError(f"invalid pattern{origin}: {error}") from None
    return text


def _read_text(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read(MAX_PATTERN_CHARS + 1)
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None
    except UnicodeDecodeError as error:
        raise CliError(f"{path} is not UTF-8 text ({error.reason})") from None
    if len(text) > MAX_PATTERN_CHARS:
        raise CliError(f"{path} is too long for a pattern (over {MAX_PATTERN_CHARS:,} characters)")
    return text


def _read_events(path: str, fmt: str | None, columns: Columns, progress: bool | None) -> Rows:
    stdin = path == "-"
    hint = ""
    if fmt is None:
        fmt = "csv" if not stdin and path.lower().endswith(".csv") else "jsonl"
        source = "standard input" if stdin else path
        hint = f"; {source} is read as JSON Lines, add --format csv for CSV"
    if stdin and sys.stdin is None:
        raise CliError("standard input is closed")
    if stdin and sys.stdin.isatty():
        _say("reading events from the terminal; end them with Ctrl-D")
    try:
        stream: BinaryIO = sys.stdin.buffer if stdin else open(path, "rb")
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None
    bar = progress_for(sys.stderr, _file_size(stream), "stdin" if stdin else path, progress)
    try:
        lines = decoded_lines(stream, bar)
        return csv_rows(lines, columns) if fmt == "csv" else jsonl_rows(lines, columns.ts, hint)
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror}") from None
    finally:
        bar.finish()
        if not stdin:
            stream.close()


def _file_size(stream: BinaryIO) -> int | None:
    """The size of a regular file behind `stream` (also a redirected stdin), else None."""
    status = os.fstat(stream.fileno())
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def _write_output(lines: Iterable[str], path: str | None) -> None:
    if path is None or path == "-":
        try:
            sys.stdout.flush()
            _write_lines(lines, sys.stdout.buffer)
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise
        except OSError as error:  # a full disk, say
            _discard_stdout()
            raise CliError(f"cannot write standard output: {error.strerror}") from None
        return
    try:
        with open(path, "wb") as file:
            _write_lines(lines, file)
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror}") from None


def _write_lines(lines: Iterable[str], stream: IO[bytes]) -> None:
    for line in lines:
        stream.write(line.encode("utf-8") + b"\n")


# ---------------------------------------------------------------------------
# Reading events


def decoded_lines(stream: IO[bytes], progress: Progress) -> Iterator[str]:
    """The UTF-8 lines of `stream`, line ends kept and a leading byte order mark
    dropped, reporting each line's bytes to `progress`. A line longer than
    MAX_LINE_BYTES is an error."""
    number = 0
    while raw := stream.readline(MAX_LINE_BYTES + 1):
        number += 1
        if len(raw) > MAX_LINE_BYTES:
            raise CliError(f"line {number}: longer than {MAX_LINE_BYTES >> 20} MiB")
        progress.advance(len(raw))
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CliError(f"line {number}: not valid UTF-8 ({error.reason})") from None
        yield line.removeprefix("\ufeff") if number == 1 else line


def jsonl_rows(lines: Iterable[str], ts: str, hint: str = "") -> Rows:
    """One row per JSON object line, blank lines skipped; ISO-8601 texts in
    the `ts` column become integer nanoseconds. `hint` ends the message of a
    line that is not a JSON object when no row has been read yet."""
    rows = Rows()
    forms = _TimestampForms(ts)
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError as error:
            raise CliError(
                f"line {number}: invalid JSON: {error.msg} (column {error.colno})"
                + ("" if rows else hint)
            ) from None
        except RecursionError:
            raise CliError(f"line {number}: invalid JSON: nested too deeply") from None
        except ValueError:  # the only other failure of the reader
            raise CliError(
                f"line {number}: a number has more than {sys.get_int_max_str_digits()} digits"
            ) from None
        if not isinstance(row, dict):
            raise CliError(
                f"line {number}: expected a JSON object, found {_json_kind(row)}"
                + ("" if rows else hint)
            )
        value = row.get(ts)
        if isinstance(value, str):
            rows.dated = True
            if _INTEGER.fullmatch(value.strip()):
                raise CliError(
                    f"line {number}: column `{ts}`: {json.dumps(value)} is text; "
                    "write integer timestamps as JSON numbers"
                )
            row[ts] = _timestamp_cell(value, ts, number)
        if isinstance(value, (str, int)) and not isinstance(value, bool):
            forms.note(number, isinstance(value, str))
        rows.add(row, number)
    return rows


def _json_kind(value: object) -> str:
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    return "a number"


def csv_rows(lines: Iterable[str], columns: Columns) -> Rows:
    """One row per CSV record after the header, with per-column types.

    The partition and type columns stay text and the ts column holds
    integers or ISO-8601 texts (made nanoseconds); in these an empty cell is
    a null. Every other column is integers if all its non-empty cells are,
    else floats if all are numbers, else booleans if all are true/false, else
    text; there an empty cell leaves the attribute out.
    """
    header, records = _csv_records(lines)
    line_numbers = [number for number, _ in records]
    converted = []
    dated = False
    for i, name in enumerate(header):
        cells = [record[i] for _, record in records]
        if name == columns.ts:
            converted.append(_ts_cells(cells, name, line_numbers))
            dated = any(cell and not _INTEGER.fullmatch(cell) for cell in cells)
        elif name in (columns.partition, columns.typ):
            converted.append([cell or None for cell in cells])
        else:
            converted.append(_typed_cells(cells, name, line_numbers))
    rows = Rows()
    rows.dated = dated
    for i, number in enumerate(line_numbers):
        rows.add(
            {
                name: column[i]
                for name, column in zip(header, converted)
                if column[i] is not _ABSENT
            },
            number,
        )
    return rows


def _csv_records(lines: Iterable[str]) -> tuple[list[str], list[tuple[int, list[str]]]]:
    """The header and the non-blank records, each with the line it starts on."""
    # Strict: a quote left open would otherwise swallow the rest of the input.
    reader = csv.reader(lines, strict=True)
    records = []
    first_line = 1
    try:
        header = next(reader, [])
        _check_header(header)
        first_line = reader.line_num + 1
        for cells in reader:
            if cells:
                if len(cells) != len(header):
                    raise CliError(
                        f"line {first_line}: expected {len(header)} fields, found {len(cells)}"
                    )
                records.append((first_line, cells))
            first_line = reader.line_num + 1
    except csv.Error as error:
        if str(error) == "unexpected end of data":
            raise CliError(f"line {first_line}: a quoted field is not closed") from None
        raise CliError(f"line {reader.line_num}: {error}") from None
    return header, records


def _check_header(header: list[str]) -> None:
    seen = set()
    for name in header:
        if name in seen:
            raise CliError(f"line 1: column `{name}` appears more than once")
        seen.add(name)


def _typed_cells(cells: list[str], name: str, line_numbers: list[int]) -> list[Any]:
    convert = infer_cell_type([cell for cell in cells if cell])
    if convert is int:
        return [
            _integer_cell(cell, name, number) if cell else _ABSENT
            for cell, number in zip(cells, line_numbers)
        ]
    return [convert(cell) if cell else _ABSENT for cell in cells]


def _integer_cell(text: str, column: str, line_number: int) -> int:
    try:
        return int(text)
    except ValueError:  # more digits than the interpreter converts
        raise CliError(
            f"line {line_number}: column `{column}`: an integer of "
            f"{len(text)} characters is too long"
        ) from None


def infer_cell_type(cells: Sequence[str]) -> Callable[[str], Any]:
    """The conversion for a CSV column given its non-empty cells: int, float,
    bool (true/false in any case) or str, the first that fits all of them."""
    if all(_INTEGER.fullmatch(cell) for cell in cells):
        return int
    if all(_NUMBER.fullmatch(cell) for cell in cells):
        return float
    if all(cell.lower() in _BOOLEANS for cell in cells):
        return lambda cell: _BOOLEANS[cell.lower()]
    return str


def _ts_cells(cells: list[str], name: str, line_numbers: list[int]) -> list[Any]:
    forms = _TimestampForms(name)
    out: list[Any] = []
    for cell, number in zip(cells, line_numbers):
        if not cell:
            out.append(None)
        elif _INTEGER.fullmatch(cell):
            forms.note(number, False)
            out.append(_integer_cell(cell, name, number))
        else:
            out.append(_timestamp_cell(cell, name, number))
            forms.note(number, True)
    return out


class _TimestampForms:
    """Refuses a timestamp column that holds both integers (in a unit only
    the user knows) and ISO-8601 texts (which become nanoseconds)."""

    def __init__(self, column: str) -> None:
        self._column = column
        self._first: tuple[int, bool] | None = None  # line, and whether it held text

    def note(self, line_number: int, text: bool) -> None:
        if self._first is None:
            self._first = line_number, text
        elif self._first[1] != text:
            kinds = ("an integer", "an ISO-8601 text")
            raise CliError(
                f"line {line_number}: column `{self._column}` holds {kinds[text]}, but line "
                f"{self._first[0]} {kinds[not text]}; use one form throughout"
            )


def _timestamp_cell(text: str, column: str, line_number: int) -> int:
    try:
        return parse_timestamp(text)
    except ValueError as error:
        raise CliError(f"line {line_number}: column `{column}`: {error}") from None


# ---------------------------------------------------------------------------
# Progress


class Progress:
    """Receives the bytes read; this base shows nothing."""

    def advance(self, nbytes: int) -> None:
        """Count one more line of `nbytes` bytes."""

    def finish(self) -> None:
        """Remove whatever was shown."""


class ProgressBar(Progress):
    """A one-line progress display on `stream`, redrawn in place with a
    carriage return at most every 0.2 s, and only once reading has taken
    longer than 0.5 s. With a known `total` it shows the percentage of bytes
    read, otherwise a running count of lines."""

    def __init__(
        self,
        stream: IO[str],
        total: int | None,
        label: str,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._stream = stream
        self._total = total
        self._label = label
        self._clock = clock
        self._bytes = 0
        self._lines = 0
        self._next_draw = clock() + _PROGRESS_DELAY
        self._width = 0

    def advance(self, nbytes: int) -> None:
        """Count one more line of `nbytes` bytes, redrawing when it is time."""
        self._bytes += nbytes
        self._lines += 1
        if self._lines % _PROGRESS_CHECK_EVERY == 0 and self._clock() >= self._next_draw:
            self._draw()
            self._next_draw = self._clock() + _PROGRESS_INTERVAL

    def finish(self) -> None:
        """Blank the line if anything was drawn."""
        if self._width:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
            self._width = 0

    def _draw(self) -> None:
        if self._total:
            done = min(self._bytes / self._total, 1.0)
            filled = int(done * 30)
            text = (
                f"kestrel: reading {self._label} [{'#' * filled}{'.' * (30 - filled)}] "
                f"{done:4.0%} of {self._total / 1e6:.1f} MB"
            )
        else:
            text = f"kestrel: reading {self._label}: {self._lines:,} lines"
        self._stream.write("\r" + text.ljust(self._width))
        self._stream.flush()
        self._width = max(self._width, len(text))


def progress_for(stream: IO[str], total: int | None, label: str, enabled: bool | None) -> Progress:
    """The progress display for reading `total` bytes (None: unknown, as for
    a pipe) named `label`. `enabled` True forces a bar, False none; None
    shows one when `stream` is a terminal and the input is not a small file."""
    if enabled is None:
        small = total is not None and total < LARGE_INPUT_BYTES
        enabled = not small and stream.isatty()
    return ProgressBar(stream, total, label) if enabled else Progress()


# ---------------------------------------------------------------------------
# Output lines


def json_line(record: object) -> str:
    """`record` as one line of JSON, non-ASCII kept, non-finite floats as
    the strings "NaN", "Infinity" and "-Infinity"."""
    try:
        return json.dumps(record, ensure_ascii=False, allow_nan=False)
    except ValueError:
        return json.dumps(_finite(record), ensure_ascii=False, allow_nan=False)


def _finite(value: object) -> object:
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else "Infinity" if value > 0 else "-Infinity"
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_finite(item) for item in value]
    return value


# ---------------------------------------------------------------------------
# The demonstration


def _demo() -> None:
    sample = resources.files("kestrel") / "data" / "sample.jsonl"
    with sample.open("rb") as stream:
        rows = jsonl_rows(decoded_lines(stream, Progress()), "ts")
    matches = match(DEMO_PATTERN, rows, partition=SAMPLE_PARTITION, typ=SAMPLE_TYP)
    every_match = match(
        DEMO_PATTERN, rows, exhaustive=True, partition=SAMPLE_PARTITION, typ=SAMPLE_TYP
    )
    near_misses = explain(DEMO_PATTERN, rows, partition=SAMPLE_PARTITION, typ=SAMPLE_TYP)
    channels = ", ".join(dict.fromkeys(row[SAMPLE_PARTITION] for row in rows))
    lines = [
        f"pattern  {DEMO_PATTERN}",
        "         a login, then a purchase by the same user within 300 s,",
        "         with no logout by that user in between",
        f"events   {len(rows)} sign-ins, page views, purchases and logouts",
        f"         from the bundled sample (channels {channels}; ts in seconds)",
        f"\n{len(matches)} matches (events are numbered by line of the sample, from 0):",
        *("  " + _describe_match(found) for found in matches),
        f"  with --exhaustive, every qualifying combination: {len(every_match)} matches",
        f"\n{len(near_misses)} near misses:",
        *("  " + _describe_near_miss(miss) for miss in near_misses),
        "\nthe same from the command line:",
        *(
            f"  kestrel {command} {sample} --partition {SAMPLE_PARTITION} --typ {SAMPLE_TYP} "
            f"--pattern '{DEMO_PATTERN}'"
            for command in ("match", "explain")
        ),
    ]
    _write_output(lines, None)


def _describe_match(found: Match) -> str:
    """One readable line for a match of the sample (timestamps in seconds)."""
    steps = " -> ".join(f"{typ} {index}" for typ, index in zip(found.types, found.indices))
    return (
        f"{found.partition:<8} {steps}, {found.end - found.start} s apart"
        f"{_describe_captures(found.captures)}"
    )


def _describe_near_miss(miss: NearMiss) -> str:
    """One readable line for a near miss of the sample: where it started and
    why it stopped."""
    start = miss.events[0].typ
    where = f"{miss.partition:<8} {start} {miss.start_index}{_describe_captures(miss.captures)}"
    return f"{where}: {_describe_reason(miss)} [{miss.reason}]"


def _describe_captures(captures: dict[str, Any]) -> str:
    if not captures:
        return ""
    return " (" + ", ".join(f"${name} = {_show(value)}" for name, value in captures.items()) + ")"


def _describe_reason(miss: NearMiss) -> str:
    detail = miss.detail
    wanted = miss.next_event_type
    if miss.reason == "absence_blocked":
        verdict = "would have matched" if detail["candidate_satisfies"] else "would fail anyway"
        return (
            f"{detail['blocking_event_type']} {detail['blocking_index']} came before "
            f"{wanted} {detail['candidate_index']}, which {verdict}"
        )
    if miss.reason == "window_exceeded":
        return (
            f"{wanted} {detail['candidate_index']} came {detail['gap']} s later, "
            f"past the {detail['max_elapsed']} s window"
        )
    if miss.reason == "predicate_failed":
        failures = "; ".join(_describe_failure(failure) for failure in detail["failures"])
        return f"{wanted} {detail['event_index']} failed {failures or 'its own captures'}"
    return f"no {wanted} came after it"


def _describe_failure(failure: dict[str, Any]) -> str:
    attribute = failure["attribute"]
    actual = f"{attribute} is {_show(failure['actual'])}"
    if failure["type"] == "predicate":
        return f"{attribute} {failure['operator']} {_show(failure['expected'])} ({actual})"
    if failure["type"] == "reference":
        binding = failure["binding"]
        return (
            f"{attribute} {failure['operator']} ${binding} "
            f"({actual}, ${binding} is {_show(failure['bound'])})"
        )
    name = failure["name"]
    return f"{attribute} as ${name} ({actual}, ${name} is {_show(failure['bound'])})"


def _show(value: object) -> str:
    return json.dumps(_finite(value), ensure_ascii=False)
