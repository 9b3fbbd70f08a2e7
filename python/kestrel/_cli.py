"""The `kestrel` command: run a pattern over events read from JSON Lines,
CSV, Parquet or Arrow IPC, and write the results as they become final.

Without arguments it runs a demonstration over the bundled sample events.
`match` and `explain` feed the events to a Stream batch by batch, so input
that is in time order per partition streams through in constant memory;
with --sort, and for `funnel`, the whole input is read first.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import sys
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from importlib import resources
from typing import IO, Any, NoReturn

from . import _core
from ._api import KestrelWarning, explain, funnel, match, read_pattern
from ._cli_errors import CliError, require_pyarrow, say
from ._cli_input import FORMATS, Columns, EventBatches, file_bytes, sources
from ._cli_output import (
    OUTPUT_FORMATS,
    JsonLinesWriter,
    finite,
    json_line,
    output_format,
    writer_for,
)
from ._cli_progress import progress_for
from ._core import Match, NearMiss
from ._durations import UNITS, lateness_count, without_durations
from ._input import DEFAULT_KEYS, to_table
from ._results import Matches, NearMisses
from ._stream import Stream

__all__ = ["CliError", "Columns", "json_line", "main", "run"]

DEMO_PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"
SAMPLE_PARTITION = "channel"
SAMPLE_TYP = "event"

MAX_PATTERN_CHARS = 1 << 20
# Rows per push to the stream: 300k events of W1 take 1.7 s in pushes of
# 11k rows (a 1 MiB block), 0.5 s in pushes of 128k.
PUSH_ROWS = 1 << 17
_EXIT_BROKEN_PIPE = 128 + 13  # what a shell reports for a process ended by SIGPIPE
_EXIT_INTERRUPTED = 130


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
        say("interrupted")
        return _EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`kestrel ... | head`): stop quietly.
        _discard_stdout()
        return _EXIT_BROKEN_PIPE


def run() -> NoReturn:
    """The entry point of the `kestrel` program: `main`, then an exit that
    skips the interpreter's shutdown. Arrow's readers read standard input
    ahead on threads of their own; a read still pending when the interpreter
    shuts down (after an error in the input, say) would abort the process."""
    code = main()
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            try:
                stream.flush()
            except OSError:
                pass  # main has reported what it could
    os._exit(code)


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
        say("error: " + str(error))
        return 1
    return 0


# ---------------------------------------------------------------------------
# Arguments


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrel",
        description="Find ordered patterns in timestamped events read from JSON Lines, CSV, "
        "Parquet or Arrow IPC. Without a command, runs a demonstration over the bundled "
        "sample events.",
    )
    parser.add_argument(
        "--version", action="version", version="kestrel " + importlib.metadata.version("kestrel")
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    matching = commands.add_parser(
        "match",
        help="write every match as it becomes final",
        description="Write every match of the pattern as it becomes final: partition, "
        "indices, types, start, end, captures.",
    )
    _add_common_arguments(matching)
    matching.add_argument(
        "--exhaustive",
        action="store_true",
        help="report every combination of qualifying events, not only the earliest per start",
    )
    explaining = commands.add_parser(
        "explain",
        help="write every near miss as it becomes final",
        description="Write, for every "
        "start that did not complete, how far it got and why it stopped.",
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
        nargs="*",
        default=["-"],
        metavar="INPUT",
        help="events: files, directories or globs, compressed or not; - for standard input "
        "(the default)",
    )
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--pattern", metavar="TEXT", help="the pattern, as text or JSON")
    source.add_argument("--pattern-file", metavar="FILE", help="a file holding the pattern")
    parser.add_argument(
        "--format",
        choices=FORMATS,
        help="input format (default: from each file's extension; JSON Lines for standard "
        "input and names without one)",
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
    parser.add_argument(
        "--sort",
        action="store_true",
        help="accept input out of time order per partition, by reading all of it into memory",
    )
    parser.add_argument(
        "--lateness",
        metavar="D",
        type=_lateness,
        default=0,
        help="accept events up to D older than their partition's newest, holding each "
        "partition's last D of events back: a number in the timestamps' unit (nanoseconds "
        "for dates) or a duration such as 30s",
    )
    parser.add_argument("--output", metavar="FILE", help="write here instead of standard output")
    parser.add_argument(
        "--output-format",
        choices=OUTPUT_FORMATS,
        help="output format (default: from the --output extension, else jsonl)",
    )
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
    found = sources(args.input, args.format)
    fmt = output_format(args.output, args.output_format)
    require_pyarrow()
    total = file_bytes(found)
    bar = progress_for(sys.stderr, total, args.progress)
    batches = EventBatches(
        found, columns, lambda events, nbytes: bar.update(nbytes if total else events)
    )
    keys: dict[str, Any] = {"partition": columns.partition, "ts": columns.ts, "typ": columns.typ}
    with _output(args.output) as stream, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        # Closed however the command ends, so that the results written
        # before an error or an interrupt make a whole file.
        writer = writer_for(fmt, stream, lambda: batches.dated)
        try:
            if args.command != "funnel":
                writer.write(_no_results(args.command, pattern, keys))
            if args.command == "funnel" or args.sort:
                _whole(args, pattern, batches, keys, writer)
            else:
                _streamed(args, pattern, batches, keys, writer)
        except (ValueError, TypeError, OverflowError) as error:
            raise CliError(str(error)) from None
        finally:
            bar.close()
            writer.close()
    for warning in caught:
        say(f"warning: {warning.message}")


def _streamed(
    args: argparse.Namespace, pattern: str, batches: EventBatches, keys: dict[str, Any], writer: Any
) -> None:
    """Feed the batches to a Stream, writing what each one made final."""
    events = iter(batches)
    first = next(events, None)  # tells whether the timestamps were dates
    explaining = args.command == "explain"
    stream_unit = _unit(args.unit, batches.dated, keys["ts"], pattern)
    if isinstance(args.lateness, str) and stream_unit is None:
        raise CliError(
            f"--lateness {args.lateness} is a duration, but column `{keys['ts']}` holds integers "
            f"of no known unit; add --unit ({', '.join(UNITS)})"
        )
    stream = Stream(
        pattern,
        exhaustive=getattr(args, "exhaustive", False),
        explain=explaining,
        unit=stream_unit,
        lateness=args.lateness,
        **keys,
    )
    types: dict[str, None] = {}  # every event type seen, in order, for the pattern's warnings
    pushed = 0
    for batch in _coalesced(_chained(first, events)):
        try:
            found = stream.push(batch)
        except (ValueError, TypeError) as error:
            if vars(error).get("_kestrel_kind") != "late_event":
                raise CliError(_rows_in_stream(error, pushed)) from None
            raise CliError(f"{error}; add --sort to sort the input in memory first") from None
        writer.write(stream.near_misses() if explaining else found)
        pushed += batch.num_rows
        types.update(dict.fromkeys(_unique(batch.column(keys["typ"]))))
    end = stream.flush()
    writer.write(end.near_misses if explaining else end.matches)
    _warn(pattern, stream_unit, list(types))


def _unique(column: Any) -> list[Any]:
    return list(require_pyarrow("compute").unique(column).to_pylist())


def _warn(pattern: str, unit: str | None, types: list[str]) -> None:
    """What `match` warns of, once the stream has shown every event type:
    the warnings depend on the pattern and the types alone."""
    pa = require_pyarrow()
    events = {
        "partition": pa.array([""] * len(types), pa.string()),
        "ts": pa.array([0] * len(types), pa.int64()),
        "typ": pa.array(types, pa.string()),
    }
    table = to_table(pa.table(events), DEFAULT_KEYS)
    for message in _core._warnings(read_pattern(pattern, unit), table):
        warnings.warn(message, KestrelWarning, stacklevel=1)


def _coalesced(batches: Iterator[Any]) -> Iterator[Any]:
    """The readers' batches joined into pushes of at least PUSH_ROWS rows: a
    push revisits the rows the stream holds, so few large pushes cost less
    than many small ones. Batches of another schema start a new push."""
    pa = require_pyarrow()
    pending: list[Any] = []
    rows = 0
    for batch in batches:
        if pending and batch.schema != pending[0].schema:
            yield pa.Table.from_batches(pending)
            pending, rows = [], 0
        pending.append(batch)
        rows += batch.num_rows
        if rows >= PUSH_ROWS:
            yield pa.Table.from_batches(pending)
            pending, rows = [], 0
    if pending:
        yield pa.Table.from_batches(pending)


def _rows_in_stream(error: Exception, first_row: int) -> str:
    """The library's message on one batch, the row it names made a position
    in the whole input, as the results' indices are. The library marks that
    row and where it stands; a message without one names no row."""
    message, marks = str(error), vars(error)
    if "_kestrel_row" not in marks:
        return message
    row, at = marks["_kestrel_row"], marks["_kestrel_row_at"]
    return f"{message[:at]}{first_row + row}{message[at + len(str(row)) :]}"


def _chained(first: Any, rest: Iterator[Any]) -> Iterator[Any]:
    if first is not None:
        yield first
        yield from rest


def _whole(
    args: argparse.Namespace, pattern: str, batches: EventBatches, keys: dict[str, Any], writer: Any
) -> None:
    """Read every batch, then run the library on the whole table, which
    sorts it."""
    pa = require_pyarrow()
    tables = [pa.Table.from_batches([batch]) for batch in batches]
    table = _joined(tables) if tables else _no_events(keys)
    if args.sort:
        say(f"--sort: sorting {table.num_rows:,} events ({table.nbytes / 1e6:,.0f} MB) in memory")
    keys["unit"] = _unit(args.unit, batches.dated, keys["ts"], pattern)
    if args.command == "match":
        writer.write(match(pattern, table, exhaustive=args.exhaustive, **keys))
    elif args.command == "explain":
        writer.write(explain(pattern, table, **keys))
    else:
        result = funnel(pattern, table, by=args.by, **keys)
        if isinstance(writer, JsonLinesWriter):
            writer.lines([str(result)])
        else:
            writer.write(result)


def _joined(tables: list[Any]) -> Any:
    """The batches as one table, a column's integers widened to floats
    where that loses nothing; other differences are refused by name."""
    pa = require_pyarrow()
    try:
        return pa.concat_tables(tables, promote_options="permissive")
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        kinds: dict[str, dict[str, None]] = {}
        for table in tables:
            for field in table.schema:
                kinds.setdefault(field.name, {})[str(field.type)] = None
        differing = {name: [k for k in seen if k != "null"] for name, seen in kinds.items()}
        names = [name for name, held in differing.items() if len(held) > 1]
        if not names:
            raise
        held = " and ".join(differing[names[0]])
        raise CliError(
            f"column `{names[0]}` holds {held} in different batches of the input, and they do "
            f"not join into one table ({error})"
        ) from None


def _no_results(command: str, pattern: str, keys: dict[str, Any]) -> Matches | NearMisses:
    """The results of no events: their columns are what an output holds
    when the command stops before it has any."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        find = explain if command == "explain" else match
        return find(without_durations(pattern), _no_events(keys), **keys)


def _no_events(keys: dict[str, Any]) -> Any:
    pa = require_pyarrow()
    kinds = {"partition": pa.string(), "ts": pa.int64(), "typ": pa.string()}
    return pa.table({keys[key]: pa.array([], kind) for key, kind in kinds.items()})


def _lateness(text: str) -> int | str:
    """--lateness as a count, or as duration text for the stream to read."""
    if text.strip().isdigit():
        return int(text)
    try:
        lateness_count(text, "ns")
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _unit(unit: str | None, dated: bool, ts: str, pattern: str) -> str | None:
    """The unit of the timestamps: dates are read as nanoseconds; integers
    are in --unit, which a duration window needs."""
    if not dated:
        if unit is None and without_durations(pattern) != pattern:
            raise CliError(
                f"the pattern has a duration window, but column `{ts}` holds integers of no "
                f"known unit; add --unit ({', '.join(UNITS)})"
            )
        return unit
    if unit not in (None, "ns"):
        raise CliError(
            f"--unit {unit} is for integer timestamps; column `{ts}` holds dates, "
            "read as nanoseconds"
        )
    return "ns"


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


@contextmanager
def _output(path: str | None) -> Iterator[IO[bytes]]:
    """The output, opened before any input is read so that a path that cannot
    be written fails at once; a write that fails is one error line."""
    if path is None or path == "-":
        try:
            sys.stdout.flush()
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise
        except OSError as error:  # a full disk, say
            _discard_stdout()
            raise CliError(f"cannot write standard output: {error.strerror}") from None
        return
    try:
        file = open(path, "wb")
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror}") from None
    try:
        with file:
            yield file
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror}") from None


# ---------------------------------------------------------------------------
# The demonstration


def _demo() -> None:
    sample = resources.files("kestrel") / "data" / "sample.jsonl"
    rows = [json.loads(line) for line in sample.read_text(encoding="utf-8").splitlines()]
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
    with _output(None) as stream:
        JsonLinesWriter(stream).lines(lines)


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
    return json.dumps(finite(value), ensure_ascii=False)
