"""The `kestrel` command line: run as a real process for the end-to-end
behaviour (exit codes, output, error lines), in-process for the readers,
the timestamp parser and the progress display."""

import bz2
import calendar
import gzip
import importlib.metadata
import io
import json
import os
import re
import resource
import subprocess
import sys
import time
from datetime import datetime, timedelta, timezone
from importlib import resources
from pathlib import Path

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrel
from kestrel import _cli, _cli_input, _cli_progress
from kestrel._output import match_record
from kestrel._timestamps import parse_timestamp

PATTERN = "login[user as $u] -[<=300, no logout[user == $u]]-> purchase[user == $u]"
SAMPLE = resources.files("kestrel") / "data" / "sample.jsonl"
SAMPLE_BYTES = SAMPLE.read_bytes()
SAMPLE_ROWS = [json.loads(line) for line in SAMPLE_BYTES.decode().splitlines()]
SAMPLE_KEYS = {"partition": "channel", "typ": "event"}
SAMPLE_OPTIONS = ["--partition", "channel", "--typ", "event"]

MODULE = (sys.executable, "-m", "kestrel")
SCRIPT = Path(sys.executable).with_name("kestrel")
LAUNCHERS = [
    pytest.param(MODULE, id="module"),
    pytest.param(
        (str(SCRIPT),),
        id="script",
        marks=pytest.mark.skipif(
            not SCRIPT.exists(), reason="no kestrel console script next to the interpreter"
        ),
    ),
]


def run(*args, stdin=b"", launcher=MODULE, env=None):
    return subprocess.run(
        [*launcher, *map(str, args)], input=stdin, capture_output=True, timeout=60, env=env
    )


def output_records(completed):
    assert completed.returncode == 0, completed.stderr
    return [json.loads(line) for line in completed.stdout.decode().splitlines()]


def in_order(records):
    """Records compared with their keys' order."""
    return [list(record.items()) for record in records]


def reference(kind, **options):
    """What the command must write: the library's results, with the fields
    of the documented output in their order."""
    if kind == "match":
        return [
            {
                "partition": m.partition,
                "indices": m.indices,
                "types": m.types,
                "start": m.start,
                "end": m.end,
                "captures": m.captures,
            }
            for m in kestrel.match(PATTERN, SAMPLE_ROWS, **SAMPLE_KEYS, **options)
        ]
    return [
        {
            "partition": m.partition,
            "start_index": m.start_index,
            "indices": m.indices,
            "reached_steps": m.reached_steps,
            "next_event_type": m.next_event_type,
            "reason": m.reason,
            "detail": m.detail,
            "captures": m.captures,
        }
        for m in kestrel.explain(PATTERN, SAMPLE_ROWS, **SAMPLE_KEYS)
    ]


def sample_file(tmp_path):
    path = tmp_path / "sample.jsonl"
    path.write_bytes(SAMPLE_BYTES)
    return path


# ---------------------------------------------------------------------------
# The bundled sample and the demonstration


def test_sample_shows_every_kind_of_result():
    matches = kestrel.match(PATTERN, SAMPLE_ROWS, **SAMPLE_KEYS)
    exhaustive = kestrel.match(PATTERN, SAMPLE_ROWS, exhaustive=True, **SAMPLE_KEYS)
    misses = kestrel.explain(PATTERN, SAMPLE_ROWS, **SAMPLE_KEYS)
    assert len({m.partition for m in matches}) == 3
    assert len(exhaustive) > len(matches)
    assert {m.reason for m in misses} == {
        "predicate_failed",
        "absence_blocked",
        "window_exceeded",
        "no_successor",
    }


@pytest.mark.parametrize("launcher", LAUNCHERS)
def test_demo_without_arguments(launcher):
    completed = run(launcher=launcher)
    assert completed.returncode == 0
    assert completed.stderr == b""
    text = completed.stdout.decode()
    assert PATTERN in text
    assert "3 matches" in text and "5 near misses" in text
    assert 'user == $u (user is "ed", $u is "di") [predicate_failed]' in text
    assert "logout 11 came before purchase 12, which would have matched [absence_blocked]" in text
    assert "purchase 32 came 700 s later, past the 300 s window [window_exceeded]" in text
    assert "no purchase came after it [no_successor]" in text


# ---------------------------------------------------------------------------
# match and explain


@pytest.mark.parametrize("kind", ["match", "explain"])
@pytest.mark.parametrize("source", ["file", "stdin", "dash", "output"])
def test_results_from_file_stdin_and_output_file(tmp_path, kind, source):
    path = sample_file(tmp_path)
    args = [kind, "--pattern", PATTERN, *SAMPLE_OPTIONS]
    if source == "file":
        completed = run(*args, path)
    elif source == "stdin":
        completed = run(*args, stdin=SAMPLE_BYTES)
    elif source == "dash":
        completed = run(*args, "-", stdin=SAMPLE_BYTES)
    else:
        target = tmp_path / "out.jsonl"
        completed = run(*args, path, "--output", target)
        assert completed.stdout == b""
        completed.stdout = target.read_bytes()
    # Records come as they become final, not grouped by partition.
    assert in_order(by_start(output_records(completed))) == in_order(by_start(reference(kind)))


def test_match_records_point_at_input_lines():
    records = output_records(
        run("match", "--pattern", PATTERN, *SAMPLE_OPTIONS, stdin=SAMPLE_BYTES)
    )
    assert records
    for record in records:
        rows = [SAMPLE_ROWS[i] for i in record["indices"]]
        assert record["types"] == [row["event"] for row in rows]
        assert {row["channel"] for row in rows} == {record["partition"]}
        assert (record["start"], record["end"]) == (rows[0]["ts"], rows[-1]["ts"])
        assert record["captures"] == {"u": rows[0]["user"]}


def test_exhaustive_reports_every_combination():
    completed = run(
        "match", "--exhaustive", "--pattern", PATTERN, *SAMPLE_OPTIONS, stdin=SAMPLE_BYTES
    )
    records = output_records(completed)
    assert by_start(records) == by_start(reference("match", exhaustive=True))
    assert len(records) > len(reference("match"))


@pytest.mark.parametrize("form", ["text", "json"])
def test_pattern_file(tmp_path, form):
    text = PATTERN if form == "text" else kestrel.parse_pattern(PATTERN).to_json(True)
    pattern_file = tmp_path / "pattern.txt"
    pattern_file.write_text(text + "\n")
    completed = run(
        "explain", "--pattern-file", pattern_file, *SAMPLE_OPTIONS, sample_file(tmp_path)
    )
    assert by_start(output_records(completed)) == by_start(reference("explain"))


CSV_EVENTS = (
    "session,when,kind,user,count,price,member,zip,note\n"
    "7,2024-06-01T09:00:00Z,login,ana,2,,true,007,\n"
    "\n"
    '7,2024-06-01T11:00:01.25+02:00,buy,ana,3,9.5,FALSE,1,"two\nlines, quoted"\n'
    "8,2024-06-01 09:00,login,bo,,1,,2,x\n"
)
CSV_PATTERN = (
    "login[user as $u, count as $count, member as $member, zip as $zip] "
    "-> buy[user == $u, price as $price, note as $note]"
)


@pytest.mark.parametrize("via", ["extension", "format option"])
def test_csv_with_type_inference(tmp_path, via):
    args = [
        "match",
        "--pattern",
        CSV_PATTERN,
        "--partition",
        "session",
        "--ts",
        "when",
        "--typ",
        "kind",
    ]
    if via == "extension":
        path = tmp_path / "events.CSV"
        path.write_text(CSV_EVENTS)
        completed = run(*args, path)
    else:
        completed = run(*args, "--format", "csv", stdin=CSV_EVENTS.encode())
    [record] = output_records(completed)
    assert record["partition"] == "7"
    assert record["indices"] == [0, 1]
    assert record["start"] == 1717232400 * 10**9
    assert record["end"] == (1717232400 + 1) * 10**9 + 250_000_000
    captures = record["captures"]
    assert captures == {
        "count": 2,
        "member": True,
        "zip": 7,
        "u": "ana",
        "price": 9.5,
        "note": "two\nlines, quoted",
    }
    assert [type(captures[k]) for k in ("count", "member", "price")] == [int, bool, float]


def test_iso_timestamps_and_non_finite_floats_in_json_lines():
    lines = [
        {"partition": "p", "ts": "2024-06-01T10:00:00+01:00", "typ": "a", "v": float("nan")},
        {"partition": "p", "ts": "2024-06-01T09:00:00.000000007", "typ": "b", "w": float("-inf")},
    ]
    stdin = "".join(json.dumps(line) + "\n" for line in lines).encode()
    completed = run("match", "--pattern", "a[v as $v] -> b[w as $w]", stdin=stdin)

    def refuse(constant):
        raise AssertionError(f"not JSON: {constant}")

    [line] = completed.stdout.decode().splitlines()
    record = json.loads(line, parse_constant=refuse)
    assert (record["start"], record["end"]) == (1717232400 * 10**9, 1717232400 * 10**9 + 7)
    assert record["captures"] == {"v": "NaN", "w": "-Infinity"}


def test_text_is_written_as_utf8_without_escapes():
    stdin = '{"partition": "zürich", "ts": 1, "typ": "a", "name": "日本"}\n'.encode()
    completed = run(
        "match",
        "--pattern",
        "a[name as $n]",
        stdin=stdin,
        env={**os.environ, "PYTHONIOENCODING": "ascii"},
    )
    assert completed.stdout.decode("utf-8").startswith('{"partition": "zürich"')
    assert output_records(completed)[0]["captures"] == {"n": "日本"}


# ---------------------------------------------------------------------------
# Inputs: formats, compressions, several files; outputs: formats


COMPRESSORS = {
    None: lambda data: data,
    "gzip": gzip.compress,
    "bz2": bz2.compress,
    "zstd": lambda data: pa.compress(data, "zstd", asbytes=True),
}


def write_events(path, rows, compress=None):
    """`rows` (dicts, or a table) in the format `path`'s name says (before a
    compression suffix)."""
    table = rows if isinstance(rows, pa.Table) else pa.Table.from_pylist(rows)
    rows = table.to_pylist()
    sink = pa.BufferOutputStream()
    name = path.name.removesuffix(".gz").removesuffix(".bz2").removesuffix(".zst")
    if name.endswith(".jsonl"):
        sink.write("".join(json.dumps(row) + "\n" for row in rows).encode())
    elif name.endswith(".csv"):
        pacsv.write_csv(table, sink)
    elif name.endswith(".parquet"):
        pq.write_table(table, sink)
    else:
        new = pa.ipc.new_file if name.endswith(".arrow") else pa.ipc.new_stream
        with new(sink, table.schema) as writer:
            writer.write_table(table)
    data = sink.getvalue().to_pybytes()
    path.write_bytes(COMPRESSORS[compress](data))
    return path


def by_start(records):
    return sorted(records, key=lambda record: (record["partition"], record["indices"]))


def run_here(*args):
    """The command in this process (for speed), its JSON Lines output read back."""
    *args, output = map(str, args)
    assert _cli.main([*args, "--output", output]) == 0
    return [json.loads(line) for line in Path(output).read_text().splitlines()]


@pytest.mark.parametrize("compress", [None, "gzip", "bz2", "zstd"])
@pytest.mark.parametrize("name", ["e.jsonl", "e.csv", "e.parquet", "e.arrow", "e.arrows"])
def test_every_format_and_compression_reads_the_same_events(tmp_path, name, compress):
    suffix = {None: "", "gzip": ".gz", "bz2": ".bz2", "zstd": ".zst"}[compress]
    path = write_events(tmp_path / (name + suffix), SAMPLE_ROWS, compress)
    args = ["explain", "--pattern", PATTERN, *SAMPLE_OPTIONS, path]
    assert by_start(run_here(*args, tmp_path / "out.jsonl")) == by_start(reference("explain"))


SPLIT = len(SAMPLE_ROWS) // 2
INPUT_SETS = {
    "directory": ["DIR"],
    "glob": ["DIR/*.*"],
    "two files": ["DIR/a.jsonl", "DIR/b.csv.gz"],
    "standard input": ["-"],
}


@pytest.mark.parametrize("inputs", INPUT_SETS.values(), ids=INPUT_SETS.keys())
def test_directories_globs_and_stdin_read_in_order(tmp_path, inputs):
    folder = tmp_path / "events"
    folder.mkdir()
    write_events(folder / "a.jsonl", SAMPLE_ROWS[:SPLIT])
    write_events(folder / "b.csv.gz", SAMPLE_ROWS[SPLIT:], "gzip")
    args = [arg.replace("DIR", str(folder)) for arg in inputs]
    completed = run("match", "--pattern", PATTERN, *SAMPLE_OPTIONS, *args, stdin=SAMPLE_BYTES)
    assert by_start(output_records(completed)) == by_start(reference("match"))


@pytest.mark.parametrize(
    "output, option, read",
    [
        ("out.csv", [], pacsv.read_csv),
        ("out.parquet", [], pq.read_table),
        ("out.data", ["--output-format", "parquet"], pq.read_table),
        ("out.jsonl", ["--output-format", "csv"], pacsv.read_csv),
    ],
)
def test_tables_out_by_extension_or_option(tmp_path, output, option, read):
    target = tmp_path / output
    args = ["match", "--pattern", PATTERN, *SAMPLE_OPTIONS, sample_file(tmp_path), *option]
    assert _cli.main([*map(str, args), "--output", str(target)]) == 0
    expected = kestrel.match(PATTERN, SAMPLE_ROWS, **SAMPLE_KEYS).to_arrow()
    if read is pacsv.read_csv:
        lists = [name for name in expected.column_names if name in ("indices", "types")]
        for name in lists:
            texts = pa.array([json.dumps(cell) for cell in expected[name].to_pylist()])
            expected = expected.set_column(expected.schema.get_field_index(name), name, texts)
    order = [("partition", "ascending"), ("start", "ascending")]
    assert read(target).sort_by(order).to_pylist() == expected.sort_by(order).to_pylist()


class Interrupted(kestrel.Stream):
    """A stream that Ctrl-C stops at its second push."""

    pushes = 0

    def push(self, events):
        Interrupted.pushes += 1
        if Interrupted.pushes == 2:
            raise KeyboardInterrupt
        return super().push(events)


READ_BACK = {
    "out.jsonl": lambda path: [json.loads(line) for line in path.read_text().splitlines()],
    "out.csv": lambda path: pacsv.read_csv(path).to_pylist(),
    "out.parquet": lambda path: pq.read_table(path).to_pylist(),
}


@pytest.mark.parametrize("output", READ_BACK.keys())
@pytest.mark.parametrize("stop, code", [("late event", 1), ("interrupt", 130)])
def test_results_before_an_error_or_interrupt_stay_whole(
    tmp_path, monkeypatch, capsys, output, stop, code
):
    monkeypatch.setattr(_cli, "PUSH_ROWS", 1)  # each file its own push
    if stop == "interrupt":
        Interrupted.pushes = 0
        monkeypatch.setattr(_cli, "Stream", Interrupted)
    first = write_events(
        tmp_path / "a.jsonl", [{"partition": "p", "ts": t, "typ": "a"} for t in (1, 2)]
    )
    late = write_events(tmp_path / "b.jsonl", [{"partition": "p", "ts": 0, "typ": "a"}])
    target = tmp_path / output
    args = ["match", "--pattern", "a", str(first), str(late), "--output", str(target)]
    assert _cli.main(args) == code
    assert len(capsys.readouterr().err.splitlines()) == 1
    assert [row["indices"] for row in READ_BACK[output](target)] in ([[0], [1]], ["[0]", "[1]"])


# A capture of one type in the first results and another later: CSV keeps
# each value's text, Parquet refuses what its first column cannot hold.
CHANGING_CAPTURES = [
    (1, True, ["1", "true"], None),
    ("x", 5, ["x", "5"], None),
    (1, 1.5, ["1", "1.5"], None),
    (5, None, ["5", ""], [5, None]),
    (None, 5, ["", "5"], None),
]


@pytest.mark.parametrize("first, later, text, values", CHANGING_CAPTURES)
def test_captures_changing_type_are_kept_or_refused_never_cast(
    tmp_path, monkeypatch, capsys, first, later, text, values
):
    monkeypatch.setattr(_cli, "PUSH_ROWS", 1)  # each file its own push
    paths = [
        write_events(tmp_path / f"{ts}.jsonl", [{"partition": "p", "ts": ts, "typ": "a", "n": n}])
        for ts, n in enumerate((first, later))
    ]
    args = ["match", "--pattern", "a[n as $n]", *map(str, paths), "--output"]
    assert _cli.main([*args, str(tmp_path / "out.csv")]) == 0
    rows = (tmp_path / "out.csv").read_text().splitlines()[1:]
    assert [row.rsplit(",", 1)[1].strip('"') for row in rows] == text
    code = _cli.main([*args, str(tmp_path / "out.parquet")])
    if values is None:
        assert code == 1
        assert "column `capture.n` changed type" in capsys.readouterr().err
    else:
        assert pq.read_table(tmp_path / "out.parquet").column("capture.n").to_pylist() == values


@pytest.mark.parametrize("command", [["match", "--sort"], ["funnel"]])
def test_inputs_read_whole_name_a_column_they_disagree_on(tmp_path, capsys, command):
    paths = [
        write_events(tmp_path / f"{ts}.jsonl", [{"partition": "p", "ts": ts, "typ": "a", "n": n}])
        for ts, n in enumerate((1, True))
    ]
    assert _cli.main([*command, "--pattern", "a", *map(str, paths)]) == 1
    assert "error: column `n` holds int64 and bool in different batches" in capsys.readouterr().err


@pytest.mark.parametrize(
    "output, start",
    [
        ("out.parquet", datetime(2024, 6, 1, 9, tzinfo=timezone.utc)),
        ("out.csv", 1717232400 * 10**9),
        ("out.jsonl", 1717232400 * 10**9),
    ],
)
def test_dates_come_out_as_parquet_timestamps_and_as_nanoseconds_elsewhere(tmp_path, output, start):
    events = write_events(
        tmp_path / "e.jsonl",
        [
            {"partition": "p", "ts": f"2024-06-01T09:00:0{second}Z", "typ": typ}
            for second, typ in enumerate("ab")
        ],
    )
    for command, pattern in (("match", "a -> b"), ("explain", "a -[<=0s]-> b")):
        target = tmp_path / f"{command}-{output}"
        assert _cli.main([command, "--pattern", pattern, str(events), "--output", str(target)]) == 0
        [row] = READ_BACK[output](target)
        assert row.get("start", start) == start
    if output == "out.parquet":
        kinds = pq.read_schema(target)
        assert kinds.field("detail.gap").type == pa.duration("ns")


@pytest.mark.parametrize("command", ["match", "explain", "funnel"])
@pytest.mark.parametrize("sort", [[], ["--sort"]])
def test_pattern_warnings_are_said_once(tmp_path, capsys, command, sort):
    events = write_events(tmp_path / "e.jsonl", [{"partition": "p", "ts": 0, "typ": "a"}])
    assert _cli.main([command, "--pattern", "a -> zz", str(events), *sort]) == 0
    lines = capsys.readouterr().err.splitlines()
    assert [line for line in lines if "warning" in line] == [
        "kestrel: warning: step 2: event type `zz` never occurs in the events; closest: `a`"
    ]


@pytest.mark.parametrize("args, code", [(["match", "--pattern", "a"], 1), ([], 0)])
def test_without_pyarrow_the_error_names_the_extra(tmp_path, args, code):
    blocked = tmp_path / "pyarrow"
    blocked.mkdir()
    (blocked / "__init__.py").write_text("raise ImportError('blocked')\n")
    completed = run(*args, stdin=ROW.encode(), env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert completed.returncode == code
    if code:  # the demonstration needs no pyarrow
        assert completed.stderr.decode() == (
            "kestrel: error: reading events needs pyarrow, which is not installed; "
            "install it with pip install 'kestrel[cli]'\n"
        )


def test_unsorted_input_needs_sort(tmp_path):
    rows = SAMPLE_ROWS[::-1]
    stdin = "".join(json.dumps(row) + "\n" for row in rows).encode()
    args = ["match", "--pattern", PATTERN, *SAMPLE_OPTIONS]
    refused = run(*args, stdin=stdin)
    assert refused.returncode == 1
    [line] = refused.stderr.decode().splitlines()
    assert line.startswith("kestrel: error: ") and "--sort" in line
    assert any(row["channel"] in line for row in rows)
    sorted_ = run(*args, "--sort", stdin=stdin)
    expected = [match_record(m) for m in kestrel.match(PATTERN, rows, **SAMPLE_KEYS)]
    assert by_start(output_records(sorted_)) == by_start(expected)
    assert sorted_.stderr.decode().startswith("kestrel: --sort: sorting 34 events")


# ---------------------------------------------------------------------------
# Errors: one line, the right exit code, never a traceback

ROW = '{"partition": "p", "ts": 1, "typ": "a"}\n'
DATA_ERRORS = [
    (
        "missing column",
        ["match", "--pattern", PATTERN, "SAMPLE"],
        b"",
        "missing column `partition`; the columns are `ts`, `channel`",
    ),
    (
        "bad JSON line",
        ["match", "--pattern", "a"],
        (ROW + "\n{oops\n").encode(),
        "JSON parse error: Missing a name for object member. in row 1",
    ),
    (
        "not an object",
        ["explain", "--pattern", "a"],
        b"[1, 2]\n",
        "changed from object to array in row 0",
    ),
    (
        "unknown file",
        ["match", "--pattern", "a", "/nonexistent/events.jsonl"],
        b"",
        "cannot read /nonexistent/events.jsonl: No such file or directory",
    ),
    (
        "unknown pattern file",
        ["match", "--pattern-file", "/nonexistent/p.txt"],
        b"",
        "cannot read /nonexistent/p.txt: No such file or directory",
    ),
    (
        "bad pattern",
        ["match", "--pattern", "login["],
        b"",
        "invalid pattern: atom predicate list is missing closing `]`",
    ),
    (
        "bad JSON pattern",
        ["explain", "--pattern", '{"steps": 1}'],
        b"",
        "invalid pattern: invalid type: integer `1`",
    ),
    (
        "float as partition",
        ["match", "--pattern", "a"],
        b'{"partition": 3.5, "ts": 1, "typ": "a"}\n',
        "column `partition` has type double",
    ),
    (
        "CSV field count",
        ["match", "--pattern", "a", "--format", "csv"],
        b'partition,ts,typ\np,1,a\n"p\n",2\n',
        "Expected 3 columns, got 2",
    ),
    (
        "unwritable output",
        ["match", "--pattern", "a", "--output", "/nonexistent/out.jsonl"],
        ROW.encode(),
        "cannot write /nonexistent/out.jsonl: No such file or directory",
    ),
    (
        "row error after a blank line",
        ["match", "--pattern", "a"],
        (ROW + "\n" + '{"partition": "p", "ts": 2, "typ": null}\n').encode(),
        "column `typ` is null at row 1",
    ),
    (
        "CSV on stdin",
        ["match", "--pattern", "a"],
        b"partition,ts,typ\np,1,a\n",
        "standard input is read as JSON Lines, add --format csv for CSV",
    ),
    (
        "non-ASCII digit timestamp",
        ["match", "--pattern", "a", "--format", "csv"],
        "partition,ts,typ\np,\u0663,a\n".encode(),
        "row 0: column `ts`: '\u0663' is neither an integer nor an ISO-8601 timestamp",
    ),
    (
        "integers and ISO texts as timestamps",
        ["match", "--pattern", "a"],
        (ROW + '{"partition": "p", "ts": "2024-06-01", "typ": "a"}\n').encode(),
        "Column(/ts) changed from number to string in row 1",
    ),
    (
        "standard input twice",
        ["match", "--pattern", "a", "-", "-"],
        ROW.encode(),
        "standard input (-) is given more than once",
    ),
    (
        "duration window on integers",
        ["match", "--pattern", "a -[<=5m]-> b"],
        ROW.encode(),
        "add --unit (s, ms, us, ns)",
    ),
    (
        "JSON Lines read as Arrow",
        ["match", "--pattern", "a", "--format", "arrow"],
        ROW.encode(),
        "standard input is not an Arrow IPC file or stream; if it is jsonl, add --format jsonl",
    ),
    (
        "CSV read as Parquet",
        ["match", "--pattern", "a", "--format", "parquet"],
        b"partition,ts,typ\np,1,a\n",
        "standard input is not a Parquet file; if it is csv, add --format csv",
    ),
]


@pytest.mark.parametrize(
    "args, stdin, message",
    [case[1:] for case in DATA_ERRORS],
    ids=[case[0] for case in DATA_ERRORS],
)
def test_data_errors_are_one_line_with_exit_code_1(tmp_path, args, stdin, message):
    args = [sample_file(tmp_path) if arg == "SAMPLE" else arg for arg in args]
    completed = run(*args, stdin=stdin)
    assert completed.returncode == 1
    assert completed.stdout == b""
    [line] = completed.stderr.decode().splitlines()
    assert line.startswith("kestrel: error: ")
    assert message in line


# What the command line refuses, or accepts specially, in the events: run
# through every reader, so that a new reader meets every old case. A case
# holds rows (written by each format's own writer) or, for what a format's
# writer cannot produce, raw bytes per text format; a format it cannot
# express is skipped with the reason. The outcome is the error's text (one
# per format where they differ) or the number of matches of `a`.
KEYS = pa.schema([("partition", pa.string()), ("ts", pa.int64()), ("typ", pa.string())])
NOT_IN_ARROW = {
    "parquet": "Arrow's writers hold no text that is not UTF-8, no integer past 64 bits",
    "arrow": "Arrow's writers hold no text that is not UTF-8, no integer past 64 bits",
}
HUGE = "9" * 5000
EVENT_CASES = [
    (
        "quote never closed",
        {
            "csv": b'partition,ts,typ\np,0,a\np,1,"b\np,2,c\np,3,b\n',
            "jsonl": b'{"partition": "p", "ts": 0, "typ": "a"}\n{"partition": "p", "ts": 1, "typ": "b\n',
        },
        {
            "csv": "row 1: column `typ`: a quoted field is not closed",
            "jsonl": "JSON parse error: Invalid encoding in string. in row 1",
        },
    ),
    (
        "integer past 64 bits",
        {
            "csv": b"partition,ts,typ,n\np,0,a,1.5\np,1,a,-9223372036854775809\n",
            "jsonl": b'{"partition": "p", "ts": 0, "typ": "a", "n": 99999999999999999999}\n',
        },
        {
            "csv": "row 1: column `n`: -9223372036854775809 is past the 64-bit integers",
            "jsonl": "row 0: column `n`: the number 1e+20 is past the 64-bit integers",
        },
    ),
    (
        "integer past the floats",
        {
            "csv": f"partition,ts,typ,n\np,0,a,1\np,1,a,{HUGE}\n".encode(),
            "jsonl": f'{{"partition": "p", "ts": 0, "typ": "a", "n": {HUGE}}}\n'.encode(),
        },
        {
            "csv": "row 1: column `n`: an integer of 5000 digits is past the 64-bit integers",
            "jsonl": "row 0: column `n`: a number of over 308 digits is past the 64-bit integers",
        },
    ),
    (
        "timestamp past 64 bits",
        {"csv": f"partition,ts,typ\np,{HUGE},a\n".encode()},
        "row 0: column `ts`: an integer of 5000 digits is past the 64-bit integers",
    ),
    (
        "text not UTF-8",
        {
            "csv": b"partition,ts,typ,x\np,0,a,ok\np,1,a,\xff\n",
            "jsonl": b'{"partition": "p", "ts": 0, "typ": "a"}\n{"partition": "p", "ts": 1, "typ": "a", "x": "\xff"}\n',
        },
        "row 1: column `x` holds text that is not valid UTF-8",
    ),
    ("missing key column", [{"ts": 0, "typ": "a"}], "missing column `partition`"),
    (
        "null key",
        [{"partition": "p", "ts": 0, "typ": "a"}, {"partition": "p", "ts": 1, "typ": None}],
        "column `typ` is null at row 1",
    ),
    (
        "bad ISO timestamp",
        [
            {"partition": "p", "ts": "2024-06-01", "typ": "a"},
            {"partition": "p", "ts": "soon", "typ": "a"},
        ],
        "row 1: column `ts`: 'soon' is neither an integer nor an ISO-8601 timestamp",
    ),
    (
        "integer text among dates",
        [
            {"partition": "p", "ts": "2024-06-01", "typ": "a"},
            {"partition": "p", "ts": "5", "typ": "a"},
        ],
        "row 1: column `ts`: '5' is an integer, but the column holds ISO-8601 texts",
    ),
    ("float timestamp", [{"partition": "p", "ts": 1.5, "typ": "a"}], "column `ts` has type double"),
    (
        "late event",
        [{"partition": "p", "ts": 5, "typ": "a"}, {"partition": "p", "ts": 1, "typ": "a"}],
        "late event",
    ),
    ("no bytes", {"csv": b"", "jsonl": b"", "parquet": b"", "arrow": b""}, 0),
    ("blank lines", {"csv": b"\n\n", "jsonl": b"\n  \n"}, 0),
    ("no rows", KEYS.empty_table(), 0),
    (
        "Infinity and NaN",
        {"jsonl": b'{"partition": "p", "ts": 0, "typ": "a", "n": -Infinity, "m": NaN}\n'},
        1,
    ),
]
READERS = {  # where the case's events go, their format and the options saying it
    "jsonl": ("e.jsonl", "jsonl", []),
    "csv": ("e.csv", "csv", []),
    "parquet": ("e.parquet", "parquet", []),
    "arrow file": ("e.arrow", "arrow", []),
    "arrow stream": ("e.arrows", "arrow", []),
    "jsonl gzip": ("e.jsonl.gz", "jsonl", []),
    "csv zstd": ("e.csv.zst", "csv", []),
    "parquet bz2": ("e.parquet.bz2", "parquet", []),
    "stdin jsonl": ("-", "jsonl", []),
    "stdin csv": ("-", "csv", ["--format", "csv"]),
    "stdin arrow": ("-", "arrow", ["--format", "arrow"]),
    "directory": ("DIR/e.csv", "csv", []),  # after an empty file, which adds nothing
    "glob": ("DIR/e.jsonl", "jsonl", []),
}


def event_bytes(events, fmt, name):
    """The case's events as the bytes of file `name`, or None with the
    reason the format cannot hold them."""
    if isinstance(events, dict):
        if fmt not in events:
            return None, NOT_IN_ARROW.get(fmt, "the case is about the other formats' readers")
        data = events[fmt]
        return (COMPRESSORS[compression(name)](data) if data else data), None
    scratch = Path(os.environ.get("TMPDIR", "/tmp")) / f"kestrel-case-{os.getpid()}-{name}"
    try:
        return write_events(scratch, events, compression(name)).read_bytes(), None
    finally:
        scratch.unlink(missing_ok=True)


def compression(name):
    return {".gz": "gzip", ".bz2": "bz2", ".zst": "zstd"}.get(Path(name).suffix)


@pytest.mark.parametrize("reader", READERS.keys())
@pytest.mark.parametrize(
    "events, outcome", [case[1:] for case in EVENT_CASES], ids=[case[0] for case in EVENT_CASES]
)
def test_event_cases_through_every_reader(tmp_path, monkeypatch, capsys, reader, events, outcome):
    name, fmt, options = READERS[reader]
    stdin_as = {"jsonl": "e.jsonl", "csv": "e.csv", "arrow": "e.arrows"}
    data, reason = event_bytes(
        events, fmt, stdin_as[fmt] if name == "-" else name.removeprefix("DIR/")
    )
    if data is None:
        pytest.skip(reason)
    inputs = [name]
    if name == "-":
        stdin = io.TextIOWrapper(io.BufferedReader(io.BytesIO(data)))
        monkeypatch.setattr(sys, "stdin", stdin)
    else:
        path = tmp_path / name.replace("DIR", "events")
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(data)
        inputs = [str(path)]
        if name.startswith("DIR"):
            (path.parent / "0.jsonl").write_bytes(b"")
            inputs = [str(path.parent) if reader == "directory" else str(path.parent / "*")]
    output = tmp_path / "out.jsonl"
    code = _cli.main(["match", "--pattern", "a", *options, *inputs, "--output", str(output)])
    stderr = capsys.readouterr().err
    if isinstance(outcome, int):
        assert (code, stderr.count("error")) == (0, 0), stderr
        assert len(output.read_text().splitlines()) == outcome
    else:
        message = outcome[fmt] if isinstance(outcome, dict) else outcome
        [line] = [line for line in stderr.splitlines() if "error" in line]
        assert code == 1
        assert line.startswith("kestrel: error: ") and message in line


USAGE_ERRORS = {
    "no pattern": ["match", "-"],
    "two patterns": ["match", "--pattern", "a", "--pattern-file", "p.txt"],
    "exhaustive explain": ["explain", "--pattern", "a", "--exhaustive"],
    "unknown command": ["find", "--pattern", "a"],
    "unknown format": ["match", "--pattern", "a", "--format", "xml"],
}


@pytest.mark.parametrize("args", USAGE_ERRORS.values(), ids=USAGE_ERRORS.keys())
def test_usage_errors_exit_2(args):
    completed = run(*args)
    assert completed.returncode == 2
    assert completed.stdout == b""
    stderr = completed.stderr.decode()
    assert "Traceback" not in stderr
    assert "error: " in stderr.splitlines()[-1]


def limit_memory():
    """For a child that, reading without bound, would take all memory; not
    under AddressSanitizer, which reserves terabytes of addresses at start."""
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["--pattern-file", "/dev/zero"],
            "/dev/zero is too long for a pattern (over 1,048,576 characters)",
        ),
        (
            ["--pattern", "a", "/dev/zero"],
            "cannot read /dev/zero: a line is longer than 1 MiB; "
            "/dev/zero is read as JSON Lines, add --format csv for CSV",
        ),
    ],
    ids=["pattern file", "events"],
)
def test_input_without_end_is_refused(args, message):
    completed = subprocess.run(
        [*MODULE, "match", *args], capture_output=True, timeout=60, preexec_fn=limit_memory
    )
    assert completed.returncode == 1
    assert completed.stderr.decode() == f"kestrel: error: {message}\n"


def _close(fd):
    return lambda: os.close(fd)


def _full_stdout():
    os.dup2(os.open("/dev/full", os.O_WRONLY), 1)


@pytest.mark.parametrize(
    "args, setup, message",
    [
        (["match", "--pattern", "a"], _close(0), "standard input is closed"),
        (["match", "--pattern", "a"], _close(1), "standard output is closed"),
        ([], _close(1), "standard output is closed"),
        (["match", "--pattern", "a"], _full_stdout, "cannot write standard output: No space left"),
        ([], _full_stdout, "cannot write standard output: No space left"),
    ],
    ids=[
        "closed stdin",
        "closed stdout",
        "closed stdout, demo",
        "full stdout",
        "full stdout, demo",
    ],
)
def test_unusable_standard_streams_are_one_error_line(args, setup, message):
    completed = subprocess.run(
        [*MODULE, *args],
        input=ROW.encode(),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        timeout=60,
        preexec_fn=setup,
    )
    assert completed.returncode == 1
    [line] = completed.stderr.decode().splitlines()
    assert line.startswith(f"kestrel: error: {message}")


def test_version():
    completed = run("--version")
    assert completed.returncode == 0
    assert completed.stdout.decode() == f"kestrel {importlib.metadata.version('kestrel')}\n"


@pytest.mark.parametrize("unbuffered", ["", "1"])
@pytest.mark.parametrize(
    "args", [[], ["match", "--pattern", PATTERN, *SAMPLE_OPTIONS]], ids=["demo", "match"]
)
def test_closed_output_pipe_exits_quietly(args, unbuffered):
    env = {**os.environ, "PYTHONUNBUFFERED": unbuffered}
    with subprocess.Popen(
        [*MODULE, *args],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    ) as process:
        process.stdout.close()  # the reader is gone before anything is written
        process.stdin.write(SAMPLE_BYTES)
        process.stdin.close()
        stderr = process.stderr.read()
    assert process.returncode == 141
    assert stderr == b""


def test_interrupt_exits_130_with_one_line(monkeypatch, capsys, tmp_path):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(_cli_input, "_reader", interrupted)
    assert _cli.main(["match", "--pattern", "a", str(sample_file(tmp_path))]) == 130
    assert capsys.readouterr().err == "kestrel: interrupted\n"


# ---------------------------------------------------------------------------
# Timestamps

NS = 10**9


@pytest.mark.parametrize(
    "text, ns",
    [
        ("1970-01-01T00:00:00Z", 0),
        ("1970-01-01T00:00:01.5Z", 1 * NS + NS // 2),
        ("1970-01-01T00:00:00.000000001+00:00", 1),
        ("1970-01-01T01:00:00+01:00", 0),
        ("1970-01-01 00:00:00", 0),
        (" 1970-01-02 ", 86_400 * NS),
        ("19700101T000000,25", NS // 4),
        ("1969-12-31T23:59:59.999999999Z", -1),
        ("2262-04-11T23:47:16.854775807Z", 2**63 - 1),
        ("1677-09-21T00:12:43.145224192Z", -(2**63)),
    ],
)
def test_parse_timestamp(text, ns):
    assert parse_timestamp(text) == ns


@pytest.mark.parametrize(
    "text",
    [
        "soon",
        "",
        "12345",
        "2024-13-01",
        "1970-01-01T00:00:00.0000000001Z",
        "2262-04-11T23:47:16.854775808Z",
        "1677-09-21T00:12:43.145224191Z",
    ],
)
def test_parse_timestamp_refuses(text):
    with pytest.raises(ValueError):
        parse_timestamp(text)


@settings(max_examples=200, deadline=None)
@given(
    moment=st.datetimes(min_value=datetime(1700, 1, 1), max_value=datetime(2200, 1, 1)),
    nanos=st.integers(0, NS - 1),
    offset_minutes=st.integers(-23 * 60 - 59, 23 * 60 + 59),
)
def test_parse_timestamp_is_exact_to_the_nanosecond(moment, nanos, offset_minutes):
    zone = timezone(timedelta(minutes=offset_minutes))
    local = moment.replace(microsecond=0, tzinfo=zone)
    text = f"{local:%Y-%m-%dT%H:%M:%S}.{nanos:09d}{local:%z}"
    assert parse_timestamp(text) == calendar.timegm(local.utctimetuple()) * NS + nanos


# ---------------------------------------------------------------------------
# Readers


def read_events(data, fmt, columns=_cli.Columns("p", "ts", "typ")):
    path = f"events.{fmt}"
    with open(path, "wb") as file:
        file.write(data.encode())
    batches = _cli_input.EventBatches(_cli_input.sources([path], None), columns)
    return pa.Table.from_batches(list(batches))


@pytest.mark.parametrize(
    "cells, kind, values",
    [
        (["1", "-2", "30"], pa.int64(), [1, -2, 30]),
        (["1", "2.5"], pa.float64(), [1.0, 2.5]),
        (["1e3", ".5", "7."], pa.float64(), [1000.0, 0.5, 7.0]),
        (["true", "FALSE", "True"], pa.bool_(), [True, False, True]),
        (["1", "true"], pa.string(), ["1", "true"]),
        (["NA", "1"], pa.string(), ["NA", "1"]),
        (["1_000"], pa.string(), ["1_000"]),
        (["\u0663"], pa.string(), ["\u0663"]),  # an Arabic-Indic digit is text
        (["1", ""], pa.int64(), [1, None]),
    ],
)
def test_csv_column_types(tmp_path, monkeypatch, cells, kind, values):
    monkeypatch.chdir(tmp_path)
    table = read_events(
        "p,ts,typ,n\n" + "".join(f"a,{i},x,{c}\n" for i, c in enumerate(cells)), "csv"
    )
    assert table.schema.field("n").type == kind
    assert table.column("n").to_pylist() == values


def test_csv_keeps_keys_as_text_and_reads_empty_cells_as_null(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    table = read_events('\ufeffp,ts,typ,n,tag\n1,5,2,,x\n\n"",6,b,3,\n', "csv")
    assert table.to_pylist() == [
        {"p": "1", "ts": 5, "typ": "2", "n": None, "tag": "x"},
        {"p": None, "ts": 6, "typ": "b", "n": 3, "tag": None},
    ]


@pytest.mark.parametrize(
    "data, fmt, message",
    [
        ("p,ts,p\n1,2,3\n", "csv", "column `p` appears more than once"),
        ('p,ts,typ\n"a\nb",1,x\nq,2\n', "csv", "Expected 3 columns, got 2"),
        ('{"ts": 1}\n{"ts": "2024-06-01"}\n', "jsonl", "Column(/ts) changed from number to string"),
        (
            '{"ts": "2024-06-01"}\n{"ts": "soon"}\n',
            "jsonl",
            "row 1: column `ts`: 'soon' is neither an integer nor an ISO-8601 timestamp",
        ),
        ("[1, 2]\n", "jsonl", "changed from object to array in row 0"),
    ],
)
def test_reader_errors_name_the_column_or_row(tmp_path, monkeypatch, data, fmt, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(_cli.CliError, match=re.escape(message)):
        read_events(data, fmt)


@pytest.mark.parametrize(
    "second, message",
    [
        (
            '{"partition": "p", "ts": 5, "typ": "a"}\n{"partition": "p", "ts": 6, "typ": null}\n',
            "column `typ` is null at row 4",
        ),
        ("{oops\n", "JSON parse error: Missing a name for object member. in row 3"),
        ('{"partition": "p", "ts": "soon", "typ": "a"}\n', "row 3: column `ts`"),
        # a column name reading like a row: not a row to renumber
        ('{"partition": "p", "ts": 5, "x` row 1 `y": 1}\n', "are `partition`, `ts`, `x` row 1 `y`"),
        (
            '{"a in row 2": 1, "partition": "p", "ts": 5, "typ": "a"}\n{"a in row 2": "x"}\n',
            "Column(/a in row 2) changed from number to string in row 4",
        ),
    ],
)
def test_rows_in_messages_count_from_the_first_input(tmp_path, capsys, second, message):
    # Its own columns: pushed to the stream apart from the second file.
    first = "".join(f'{{"partition": "p", "ts": {ts}, "typ": "a", "x": 1}}\n' for ts in range(3))
    (tmp_path / "a.jsonl").write_text(first)
    (tmp_path / "b.jsonl").write_text(second)
    paths = [str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl")]
    assert _cli.main(["match", "--pattern", "a", *paths]) == 1
    assert message in capsys.readouterr().err


LATER = [  # the first rows, then a row the first block's types cannot hold
    ("csv", "n\n" + "1.5\n" * 100, "99999999999999999999", "row 100: column `n`: 9999"),
    ("csv", "n\n" + "1.5\n" * 100, "x", "row 100: column `n`: 'x' is not a number"),
    ("csv", "n\n" + "1\n" * 100, "1.5", "CSV conversion error to int64: invalid value '1.5'"),
    ("csv", "n,m\n" + ",y\n" * 100, "x,y", "CSV conversion error to null: invalid value 'x'"),
    (
        "csv",
        "n,m\n" + "x,y\n" * 100,
        '1,"open',
        "row 100: column `m`: a quoted field is not closed",
    ),
    ("jsonl", '{"n": 1.5}\n' * 100, '{"n": 99999999999999999999}', "row 100: column `n`"),
    ("jsonl", '{"n": 1}\n' * 100, '{"n": 1.5}', "Failed to convert JSON to int64"),
    ("jsonl", '{"n": 1}\n' * 100, '{"m": 1}', "unexpected field in the block after row"),
]


@pytest.mark.parametrize("fmt, first, later, message", LATER)
def test_later_blocks_are_held_to_the_first_blocks_columns(
    tmp_path, monkeypatch, fmt, first, later, message
):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_cli_input, "BLOCK_BYTES", 128)
    with pytest.raises(_cli.CliError, match=re.escape(message)):
        read_events(first + later + "\n", fmt)


def test_dates_become_nanoseconds_and_other_columns_stay(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    lines = [
        '{"ts": "1970-01-01T00:00:05Z", "x": "1970"}',
        "  ",
        '{"ts": "1970-01-01T01:00:02+01:00"}',
        '{"ts": "1970-01-01 00:00:00.000000007"}',
    ]
    table = read_events("\n".join(lines) + "\n", "jsonl")
    assert table.to_pylist() == [
        {"ts": 5 * NS, "x": "1970"},
        {"ts": 2 * NS, "x": None},
        {"ts": 7, "x": None},
    ]


@pytest.mark.parametrize(
    "value, written",
    [
        (
            {"a": [float("nan"), {"b": float("inf")}], "c": -float("inf")},
            '{"a": ["NaN", {"b": "Infinity"}], "c": "-Infinity"}',
        ),
        ({"a": 1.5, "s": "é"}, '{"a": 1.5, "s": "é"}'),
    ],
)
def test_json_line(value, written):
    assert _cli.json_line(value) == written


# ---------------------------------------------------------------------------
# Progress


class FakeTerminal(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


LARGE = _cli_progress.LARGE_INPUT_BYTES


@pytest.mark.parametrize(
    "tty, total, enabled, shown",
    [
        (True, LARGE, None, True),
        (True, LARGE - 1, None, False),
        (True, None, None, True),
        (False, LARGE, None, False),
        (True, LARGE, False, False),
        (False, 10, True, True),
    ],
)
def test_progress_is_shown_for_large_input_on_a_terminal(tty, total, enabled, shown):
    bar = _cli_progress.progress_for(FakeTerminal(tty), total, enabled)
    assert bar.disable is not shown
    bar.close()


@pytest.mark.parametrize("total, shows", [(4096 * 10, "50%"), (None, "2.05k events")])
def test_progress_bar_waits_and_is_cleared(total, shows):
    stream = FakeTerminal(True)
    bar = _cli_progress.progress_for(stream, total, True)
    bar.update(2048 * 10 if total else 2048)
    assert stream.getvalue() == ""  # a quick read shows nothing
    time.sleep(0.6)
    bar.update(1)
    bar.refresh()
    drawn = stream.getvalue()
    assert drawn.startswith("\rkestrel: reading") and shows in drawn
    bar.close()
    assert stream.getvalue().endswith("\r")


# ---------------------------------------------------------------------------
# The demonstration's descriptions of failed clauses


@pytest.mark.parametrize(
    "pattern, events, described",
    [
        ("a -> b[n > 5]", [("a", {}), ("b", {"n": 2})], "b 1 failed n > 5 (n is 2)"),
        (
            "a[k as $k] -> b[k != $k]",
            [("a", {"k": "x"}), ("b", {"k": "x"})],
            'b 1 failed k != $k (k is "x", $k is "x")',
        ),
        (
            "a[k as $k] -> b[k as $k]",
            [("a", {"k": 1}), ("b", {})],
            "b 1 failed k as $k (k is null, $k is 1)",
        ),
    ],
)
def test_failed_clauses_are_described(pattern, events, described):
    rows = [
        {"partition": "p", "ts": i, "typ": typ, **attrs} for i, (typ, attrs) in enumerate(events)
    ]
    [miss] = kestrel.explain(pattern, rows)
    assert described in _cli._describe_near_miss(miss)


@pytest.mark.parametrize(
    "options, outcome",
    [
        ([], "late event at stream position 2"),
        (["--lateness", "1"], "events may come at most 1 before"),
        (["--lateness", "2"], [[2, 0]]),
        (["--lateness", "2s", "--unit", "s"], [[2, 0]]),
        (["--lateness", "2s"], "--lateness 2s is a duration, but column `ts` holds integers"),
        (["--lateness", "soon"], "argument --lateness: lateness 'soon' is not a duration"),
    ],
)
def test_lateness_lets_events_come_out_of_order(tmp_path, options, outcome):
    events = tmp_path / "e.jsonl"
    events.write_text(
        "".join(
            json.dumps({"partition": "p", "ts": ts, "typ": typ}) + "\n"
            for ts, typ in [(14, "b"), (15, "c"), (13, "a")]
        )
    )
    completed = run("match", "--pattern", "a -> b", events, *options)
    if isinstance(outcome, str):
        assert completed.returncode != 0 and outcome in completed.stderr.decode()
    else:
        assert [r["indices"] for r in output_records(completed)] == outcome
