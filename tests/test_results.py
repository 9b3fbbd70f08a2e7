"""Result sets: the same matches from every Arrow producer, and the results
read back by pyarrow, polars, pandas and DuckDB, with their types."""

import datetime as dt

import pytest

import kestrel

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")

PATTERN = "login[user as $u] -[<=50, no logout[user == $u]]-> buy[user == $u]"
ROWS = [
    {"p": "b", "ts": 30, "typ": "buy", "user": "ana"},
    {"p": "a", "ts": 5, "typ": "login", "user": "bo"},
    {"p": "b", "ts": 10, "typ": "login", "user": "ana"},
    {"p": "a", "ts": 20, "typ": "buy", "user": "bo"},
    {"p": "b", "ts": 20, "typ": "logout", "user": "ana"},
    {"p": "a", "ts": 40, "typ": "login", "user": "bo"},
]
KEYS = {"partition": "p", "ts": "ts", "typ": "typ"}


def table():
    return pa.Table.from_pylist(ROWS)


def text_as(kind):
    return lambda: table().cast(
        pa.schema([(f.name, kind if f.type == pa.string() else f.type) for f in table().schema])
    )


def dictionary_encoded():
    t = table()
    return t.set_column(0, "p", t.column("p").dictionary_encode())


PRODUCERS = {
    "chunked": lambda: pa.Table.from_batches(table().to_batches(max_chunksize=2)),
    "sliced": lambda: pa.concat_tables([table().slice(0, 0), table()]).combine_chunks(),
    "slice_of_larger": lambda: pa.Table.from_pylist([ROWS[0]] + ROWS).slice(1),
    "dictionary": dictionary_encoded,
    "large_string": text_as(pa.large_string()),
    "string_view": text_as(pa.string_view()),
    "polars": lambda: pl.DataFrame(ROWS),
    "pandas_numpy": lambda: pd.DataFrame(ROWS),
    "pandas_arrow": lambda: pd.DataFrame(ROWS).convert_dtypes(dtype_backend="pyarrow"),
    "duckdb": lambda: duckdb.from_arrow(table()),
    "record_batch_reader": lambda: pa.RecordBatchReader.from_batches(
        table().schema, table().to_batches(max_chunksize=4)
    ),
}


def summary(results):
    return [(m.partition, m.indices, m.captures) for m in results]


@pytest.mark.parametrize("make", PRODUCERS.values(), ids=PRODUCERS.keys())
def test_every_producer_matches_like_rows(make):
    expected = summary(kestrel.match(PATTERN, ROWS, **KEYS))
    assert expected == [("a", [1, 3], {"u": "bo"})]
    assert summary(kestrel.match(PATTERN, make(), **KEYS)) == expected
    misses = [(m.start_index, m.reason) for m in kestrel.explain(PATTERN, make(), **KEYS)]
    assert misses == [(5, "no_successor"), (2, "absence_blocked")]


CONSUMERS = {
    "pyarrow": lambda r: pa.table(r).to_pylist(),
    "to_polars": lambda r: r.to_polars().to_dicts(),
    "polars": lambda r: pl.DataFrame(r).to_dicts(),
    "pandas": lambda r: r.to_pandas().to_dict("records"),
    "duckdb": lambda r: duckdb.sql("select * from r").arrow().read_all().to_pylist(),
    "to_arrow_function": lambda r: kestrel.to_arrow(r).to_pylist(),
}


@pytest.mark.parametrize("read", CONSUMERS.values(), ids=CONSUMERS.keys())
def test_every_consumer_reads_the_matches(read):
    results = kestrel.match(PATTERN, ROWS, **KEYS)
    (row,) = read(results)
    assert row["partition"] == "a"
    assert list(row["indices"]) == [1, 3]
    assert list(row["types"]) == ["login", "buy"]
    assert (row["start"], row["end"], row["capture.u"]) == (5, 20, "bo")


def test_sequence_behaviour():
    results = kestrel.match("login", ROWS, **KEYS)
    assert isinstance(results, kestrel.Matches)
    assert [m.indices for m in results] == [[1], [5], [2]]
    assert results[-1].indices == [2]
    for part, expected in (
        (results[1:], [[5], [2]]),
        (results[::-2], [[2], [1]]),
        (results[5:], []),
    ):
        assert isinstance(part, kestrel.Matches)
        assert [m.indices for m in part] == expected
    with pytest.raises(IndexError):
        results[3]
    assert repr(results) == "<Matches: 3 matches>"
    assert [m.indices for m in reversed(results)] == [[2], [5], [1]]
    steps = kestrel.funnel(PATTERN, ROWS, **KEYS)
    assert (steps[1] in steps, steps.index(steps[1]), steps.count(steps[1])) == (True, 1, 1)


def test_an_empty_result_keeps_its_schema():
    with pytest.warns(kestrel.KestrelWarning, match="`login` never occurs"):
        results = kestrel.match(PATTERN, ROWS[:1], **KEYS)
    assert len(results) == 0
    schema = results.to_arrow().schema
    assert schema.names == ["partition", "indices", "types", "start", "end", "capture.u"]
    assert schema.field("start").type == pa.int64()
    assert list(results.to_pandas().columns) == schema.names
    with pytest.warns(kestrel.KestrelWarning):
        misses = kestrel.explain(PATTERN, ROWS[:1], **KEYS).to_arrow()
    assert misses.num_rows == 0 and "detail.gap" in misses.schema.names


def test_datetimes_come_out_with_their_unit_and_zone():
    start = dt.datetime(2024, 5, 1, tzinfo=dt.timezone.utc)
    stamps = pa.array([start + dt.timedelta(seconds=r["ts"]) for r in ROWS], pa.timestamp("ms"))
    zoned = table().set_column(1, "ts", stamps.cast(pa.timestamp("ms", tz="Europe/Paris")))
    pattern = "login[user as $u] -[<=1m, no logout[user == $u]]-> buy[user == $u]"
    matches = kestrel.match(pattern, zoned, **KEYS).to_arrow()
    assert matches.schema.field("start").type == pa.timestamp("ms", tz="Europe/Paris")
    assert matches.column("end")[0].as_py() == start + dt.timedelta(seconds=20)
    misses = kestrel.explain("login -[<=2s]-> buy", zoned, **KEYS)
    assert misses.to_arrow().schema.field("detail.gap").type == pa.duration("ms")
    frame = misses.to_pandas()
    assert str(frame["detail.gap"].dtype).startswith("timedelta64")
    assert str(kestrel.match(pattern, zoned, **KEYS).to_pandas()["start"].dtype) == (
        "datetime64[ms, Europe/Paris]"
    )


def test_to_pandas_of_no_matches_gives_the_match_columns():
    frame = kestrel.to_pandas([])
    assert list(frame.columns) == ["partition", "indices", "types", "start", "end"]
    assert frame["partition"].value_counts().to_dict() == {}


# Integers with nulls: a gap past 2**53, the detail indices, captures the
# second match lacks, and carried ids with a null.
BIG = 2**60 + 1
EXACT_ROWS = [
    {"p": "a", "ts": 0, "typ": "login", "n": BIG, "on": True, "x": 0.5, "id": 2**62 + 1},
    {"p": "a", "ts": 5, "typ": "buy", "id": None},
    {"p": "b", "ts": 0, "typ": "login", "id": 3},
    {"p": "b", "ts": BIG, "typ": "buy", "id": 2**62 + 3},
    {"p": "c", "ts": 0, "typ": "login", "id": 5},
    {"p": "d", "ts": 0, "typ": "login"},
    {"p": "d", "ts": 1, "typ": "buy"},
]
EXACT_PATTERN = "login[n as $n, on as $on, x as $x] -[<=10]-> buy"


def plain(cell):
    return cell.tolist() if hasattr(cell, "tolist") else cell


@pytest.mark.parametrize(
    ("call", "column"), [(kestrel.match, "capture.n"), (kestrel.explain, "detail.gap")]
)
def test_result_frames_keep_integers_exact(call, column):
    results = call(EXACT_PATTERN, pa.Table.from_pylist(EXACT_ROWS), carry=["id"], **KEYS)
    frame = results.to_pandas()
    listed = kestrel.to_pandas(list(results))
    # A list's records carry no columns; all else is the result set's.
    pd.testing.assert_frame_equal(listed, frame.drop(columns="id"))
    assert frame[column][0] == BIG
    assert [plain(ids) for ids in frame["id"]] == results.to_arrow().column("id").to_pylist()


def test_mixed_groups_and_captures_stay_distinct():
    rows = [
        {"p": "a", "ts": 0, "typ": "login", "k": 1},
        {"p": "b", "ts": 0, "typ": "login", "k": "1"},
        {"p": "c", "ts": 0, "typ": "login", "k": 1.0},
        {"p": "d", "ts": 0, "typ": "login", "k": True},
    ]
    groups = kestrel.funnel("login", rows, **KEYS, by="k").to_arrow().column("k").to_pylist()
    assert groups == ["1", '"1"', "1.0", "true"]
    found = kestrel.match("login[k as $k]", rows, **KEYS).to_arrow().column("capture.k")
    assert len(set(found.to_pylist())) == 4
    ints = rows[:1] + [{"p": "e", "ts": 0, "typ": "login", "k": 5}]
    assert (
        kestrel.funnel("login", ints, **KEYS, by="k").to_arrow().schema.field("k").type
        == pa.int64()
    )
