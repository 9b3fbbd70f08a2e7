"""Values that match() and explain() must refuse by column and row, or carry
exactly, never alter: datetimes past the nanosecond range, missing
timestamps, NumPy booleans, Arrow nulls, lone surrogates, mixed captures;
and a large build that Ctrl-C must stop at once."""

import datetime as dt
import signal
import struct
import time

import pytest

import kestrel
from kestrel import match

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")

FAR = [dt.datetime(2200, 1, 1), dt.datetime(2300, 1, 1)]  # 2300 is past 2262


def columns_with(name, values):
    """Two events whose column `name` holds `values`, the others plain."""
    return {"partition": ["p", "p"], "ts": [1, 2], "typ": ["x", "x"], name: values}


def seconds(values):
    return pd.Series(np.array(values, "datetime64[s]"))


def rows_of(columns):
    return [dict(zip(columns, cells)) for cells in zip(*columns.values())]


OUT_OF_RANGE = [
    *[
        (f"numpy {unit}", lambda c, u=unit: columns_with(c, np.array(FAR, f"datetime64[{u}]")))
        for unit in ("s", "ms", "us")
    ],
    ("pandas s", lambda c: pd.DataFrame(columns_with(c, seconds(FAR)))),
    ("pandas s UTC", lambda c: pd.DataFrame(columns_with(c, seconds(FAR).dt.tz_localize("UTC")))),
    *[
        (
            f"arrow {unit}",
            lambda c, u=unit: pa.table(columns_with(c, pa.array(FAR, pa.timestamp(u)))),
        )
        for unit in ("s", "ms", "us")
    ],
    *[
        (
            f"polars {unit}",
            lambda c, u=unit: pl.DataFrame(columns_with(c, pl.Series(FAR, dtype=pl.Datetime(u)))),
        )
        for unit in ("ms", "us")
    ],
]


@pytest.mark.parametrize("column", ["ts", "when"])
@pytest.mark.parametrize("make", [m for _, m in OUT_OF_RANGE], ids=[n for n, _ in OUT_OF_RANGE])
def test_datetimes_past_the_nanosecond_range_are_refused(make, column):
    source = make(column)
    if hasattr(source, "__arrow_c_stream__"):  # the Arrow reader names the raw value
        error, message = ValueError, rf"column `{column}` row 1: \d+ [mu]?s since the epoch is out"
    else:
        error, message = (
            OverflowError,
            rf"column `{column}` row 1: 2300-01-01T00:00:00(\.0+)? is out",
        )
    with pytest.raises(error, match=message):
        match("x", source)


@pytest.mark.parametrize(
    "stamps, error, message",
    [
        (
            [1, np.datetime64("2300-01-01", "s")],
            OverflowError,
            "column `ts` row 1: 2300-01-01T00:00:00 is out of range",
        ),
        ([1, np.datetime64("NaT")], ValueError, "column `ts` is null at row 1"),
        ([1, pd.NaT], ValueError, "column `ts` is null at row 1"),
        (
            [dt.datetime(2000, 1, 1), 5],
            TypeError,
            "column `ts` mixes integers and datetimes: row 0 is a datetime, row 1 an integer",
        ),
    ],
    ids=["datetime64 past 2262", "NaT", "pandas NaT", "integers and datetimes"],
)
def test_bad_timestamps_in_rows(stamps, error, message):
    with pytest.raises(error, match=message):
        match("x", rows_of(columns_with("ts", stamps)))


@pytest.mark.parametrize("make", [rows_of, lambda columns: columns], ids=["rows", "column lists"])
def test_numpy_booleans_are_booleans(make):
    found = match("x[ok == true]", make(columns_with("ok", [np.False_, np.True_])))
    assert [m.indices for m in found] == [[1]]
    assert type(found[0].events[0].attrs["ok"]) is bool


@pytest.mark.parametrize(
    "dtype, value, read",
    [
        ("bool[pyarrow]", True, True),
        ("timestamp[s][pyarrow]", dt.datetime(1970, 1, 1, 0, 0, 3), 3 * 10**9),
    ],
)
def test_pandas_arrow_columns_with_nulls(dtype, value, read):
    frame = pd.DataFrame(columns_with("c", pd.Series([value, None], dtype=dtype)))
    assert [m.events[0].attrs for m in match("x", frame)] == [{"c": read}, {}]


def slot_buffer(kind, slots):
    """The offsets of a utf8 array, or the views of a utf8_view one: a text
    of up to 12 bytes inline, else (size, buffer, offset) into a buffer."""
    if kind != pa.string_view():
        return np.array(slots, dtype=np.int64 if kind == pa.large_string() else np.int32).tobytes()
    return b"".join(
        struct.pack("<i12s", len(slot), slot)
        if isinstance(slot, bytes)
        else struct.pack("<i4sii", slot[0], b"aaaa", *slot[1:])
        for slot in slots
    )


BAD_BOUNDS = "column `s` row 1: the text lies outside its buffers"
VALID = [{"s": "a"}, {}, {"s": "c"}]


@pytest.mark.parametrize(
    "validity, kind, slots, outcome",
    [
        (0b101, pa.string(), [0, 1, 2, 3], VALID),  # the bad bytes sit in a null slot
        (0b111, pa.string(), [0, 1, 2, 3], "column `s` row 1: the text is not valid UTF-8"),
        (0b111, pa.string(), [0, 1, 0, 3], BAD_BOUNDS),  # offsets that run back
        (0b111, pa.large_string(), [0, 1, 99, 3], BAD_BOUNDS),  # past the data
        (0b111, pa.string_view(), [b"a", (13, 1, 0), b"c"], BAD_BOUNDS),  # no buffer 1
        (0b111, pa.string_view(), [b"a", (13, 0, 1), b"c"], BAD_BOUNDS),  # past the buffer
        (0b111, pa.string_view(), [b"a", (-1, 0, 0), b"c"], BAD_BOUNDS),  # a negative size
    ],
)
def test_arrow_text_is_checked_only_in_valid_slots(validity, kind, slots, outcome):
    buffers = [bytes([validity]), slot_buffer(kind, slots), b"a\xffc" + b"a" * 10]
    text = pa.Array.from_buffers(kind, 3, [pa.py_buffer(buffer) for buffer in buffers])
    table = pa.table({"partition": ["p"] * 3, "ts": [1, 2, 3], "typ": ["x"] * 3, "s": text})
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=outcome):
            match("x", table)
    else:
        text.validate(full=True)
        assert [m.events[0].attrs for m in match("x", table)] == outcome


@pytest.mark.parametrize("column", ["partition", "typ", "v"])
def test_lone_surrogates_are_named_by_column_and_row(column):
    columns = columns_with("v", ["a", "b"])
    columns[column] = [columns[column][0], "b\ud800"]
    with pytest.raises(ValueError, match=rf"column `{column}` row 1: .*surrogates not allowed"):
        match("x", rows_of(columns))


def test_to_pandas_keeps_integers_mixed_with_floats_exact():
    found = match("x[v as $v]", rows_of(columns_with("v", [2**63 - 1, 0.5])))
    # As the result set writes them: JSON text, since float64 would round.
    assert kestrel.to_pandas(list(found))["capture.v"].tolist() == [str(2**63 - 1), "0.5"]


def test_ctrl_c_stops_a_large_unsorted_build_at_once():
    n = 1_000_000
    rng = np.random.default_rng(7)
    events = {
        "partition": [f"p{i}" for i in rng.integers(0, 100_000, n)],
        "ts": rng.integers(0, 2**40, n),
        "typ": ["x"] * n,
        "v": rng.random(n),
    }
    # Processor time, not wall time: other processes on the machine must not
    # count as lateness.
    started = time.process_time()
    match("nothing", events)
    whole = time.process_time() - started

    running = [False]

    def interrupt(signum, frame):
        if running[0]:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGPROF, interrupt)
    lateness = []
    try:
        for fraction in (0.2, 0.45, 0.7):  # reading columns, then sorting
            delay = whole * fraction
            started = time.process_time()
            running[0] = True
            signal.setitimer(signal.ITIMER_PROF, delay)
            try:
                match("nothing", events)
                running[0] = False  # this run outpaced the first: nothing to measure
            except KeyboardInterrupt:
                lateness.append(time.process_time() - started - delay)
    finally:
        running[0] = False
        signal.setitimer(signal.ITIMER_PROF, 0)
        signal.signal(signal.SIGPROF, previous)
    assert len(lateness) >= 2
    # What remains is mostly freeing the events built so far.
    assert max(lateness) < 0.2 * whole, (lateness, whole)
