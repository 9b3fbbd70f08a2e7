"""match() and explain() over every event source: Event lists, rows, column
mappings and pandas, pyarrow and polars frames."""

import dataclasses
import datetime as dt
import json
from collections import namedtuple

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrel
from kestrel import Event, explain, match, match_events, near_miss_events, sort_events

np = pytest.importorskip("numpy")

PATTERN = "login[user as $u] -[<=50, no logout[user == $u]]-> buy[user == $u]"

ROWS = [
    {"p": "b", "ts": 30, "typ": "buy", "user": "ana", "amount": 3.5},
    {"p": "a", "ts": 5, "typ": "login", "user": "bo"},
    {"p": "b", "ts": 10, "typ": "login", "user": "ana", "amount": 1.0},
    {"p": "a", "ts": 20, "typ": "buy", "user": "bo", "amount": 2.0},
    {"p": "b", "ts": 20, "typ": "logout", "user": "cy"},
]
KEYS = {"partition": "p", "ts": "ts", "typ": "typ"}


def as_events(rows):
    return [
        Event(r["p"], r["ts"], r["typ"], {k: v for k, v in r.items() if k not in KEYS.values()})
        for r in rows
    ]


def reference(rows, pattern=PATTERN):
    """Matches and near misses via the low-level API, indices mapped back."""
    events = as_events(rows)
    order = sorted(range(len(events)), key=lambda i: (events[i].partition.encode(), events[i].ts))
    ordered = [events[i] for i in order]
    found = [
        [order[i] for i in m.indices] for m in match_events(kestrel.parse_pattern(pattern), ordered)
    ]
    misses = [
        (order[m.start_index], m.reason)
        for m in near_miss_events(kestrel.parse_pattern(pattern), ordered)
    ]
    return found, misses


def observed(make, rows, **keys):
    found = [m.indices for m in match(PATTERN, make(rows), **keys)]
    misses = [(m.start_index, m.reason) for m in explain(PATTERN, make(rows), **keys)]
    return found, misses


def pandas_frame(rows):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(rows)


def arrow_table(rows):
    pa = pytest.importorskip("pyarrow")
    return pa.Table.from_pylist(rows)


def arrow_batch(rows):
    pa = pytest.importorskip("pyarrow")
    return pa.RecordBatch.from_pylist(rows)


def polars_frame(rows):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(rows, infer_schema_length=None)


def polars_lazy(rows):
    return polars_frame(rows).lazy()


def column_mapping(rows):
    names = dict.fromkeys(k for r in rows for k in r)
    return {n: [r.get(n) for r in rows] for n in names}


FRAMES = [pandas_frame, arrow_table, arrow_batch, polars_frame, polars_lazy]
SOURCES = [list, iter, tuple, *FRAMES]


@pytest.mark.parametrize("make", SOURCES, ids=lambda f: f.__name__)
def test_every_source_gives_the_low_level_results_in_input_positions(make):
    assert observed(make, ROWS, **KEYS) == reference(ROWS)


def test_event_lists_need_no_keys_and_keep_input_positions():
    events = as_events(ROWS)
    assert observed(as_events, ROWS) == reference(ROWS)
    # Already sorted input is matched as is.
    ordered = sort_events(events)
    assert [m.indices for m in match(PATTERN, ordered)] == [
        m.indices for m in match_events(kestrel.parse_pattern(PATTERN), ordered)
    ]


def test_results_are_the_modules_own_objects_with_the_input_events():
    first, found = match(PATTERN, ROWS, **KEYS)
    assert type(found) is kestrel.Match
    assert first.indices == [1, 3] and found.indices == [2, 0]
    assert [e.ts for e in found.events] == [10, 30]
    assert found.events[1].attrs == {"user": "ana", "amount": 3.5}
    rows = ROWS + [{"p": "z", "ts": 0, "typ": "login", "user": "u"}]
    (miss,) = explain(PATTERN, rows, **KEYS)
    assert type(miss) is kestrel.NearMiss and miss.start_index == 5


def test_near_miss_detail_indices_are_input_positions():
    rows = [
        {"p": "x", "ts": 9, "typ": "buy", "user": "u"},
        {"p": "x", "ts": 5, "typ": "logout", "user": "u"},
        {"p": "x", "ts": 1, "typ": "login", "user": "u"},
    ]
    (miss,) = explain(PATTERN, rows, **KEYS)
    assert miss.start_index == 2 and miss.indices == [2]
    assert miss.detail["candidate_index"] == 0
    assert miss.detail["blocking_index"] == 1


@dataclasses.dataclass
class Row:
    p: str
    ts: int
    typ: str
    user: str


Record = namedtuple("Record", "p ts typ user")


@pytest.mark.parametrize("kind", [Row, Record], ids=["dataclass", "namedtuple"])
def test_records_are_rows(kind):
    rows = [kind("a", 1, "login", "u"), kind("a", 2, "buy", "u")]
    assert [m.indices for m in match(PATTERN, rows, **KEYS)] == [[0, 1]]


def test_column_mappings_accept_lists_and_arrays():
    assert observed(column_mapping, ROWS, **KEYS) == reference(ROWS)
    with_array = lambda rows: column_mapping(rows) | {
        "ts": np.array([r["ts"] for r in rows], np.int32)
    }
    assert observed(with_array, ROWS, **KEYS) == reference(ROWS)


@pytest.mark.parametrize(
    "pattern",
    [
        PATTERN,
        kestrel.parse_pattern(PATTERN),
        kestrel.parse_pattern(PATTERN).to_json(),
        "  \n" + kestrel.parse_pattern(PATTERN).to_json(pretty=True),
        kestrel.Pattern.event("login")
        .capture("user", "$u")
        .then("buy", within=50)
        .where_ref_eq("user", "$u"),
    ],
    ids=["text", "pattern", "json", "pretty json", "builder"],
)
def test_every_pattern_form(pattern):
    assert len(match(pattern, ROWS, **KEYS)) == 2


def test_exhaustive_mode():
    rows = [{"p": "a", "ts": t, "typ": "x"} for t in range(4)]
    assert len(match("x -> x", rows, **KEYS)) == 3
    assert len(match("x -> x", rows, exhaustive=True, **KEYS)) == 6


def test_attributes_selects_columns():
    found = match(PATTERN, ROWS, attributes=["user"], **KEYS)[1]
    assert found.events[0].attrs == {"user": "ana"}


# ---------------------------------------------------------------------------
# Errors name the column


def _bad_rows(change):
    rows = [dict(r) for r in ROWS]
    change(rows)
    return rows


ERRORS = [
    (
        "missing partition",
        lambda rows: [r.pop("p") for r in rows],
        ValueError,
        "missing column `p`",
    ),
    ("missing attribute", None, ValueError, "missing column `nope`"),
    (
        "partition of floats",
        lambda rows: [r.update(p=1.5) for r in rows],
        TypeError,
        "column `p` must hold text",
    ),
    (
        "type of floats",
        lambda rows: [r.update(typ=1.5) for r in rows],
        TypeError,
        "column `typ` must hold text",
    ),
    (
        "ts of floats",
        lambda rows: [r.update(ts=r["ts"] + 0.5) for r in rows],
        TypeError,
        "column `ts` must hold integers or datetimes",
    ),
    (
        "ts of text",
        lambda rows: [r.update(ts=str(r["ts"])) for r in rows],
        ValueError,
        "column `ts` row 0: '30' is neither an integer nor an ISO-8601 timestamp",
    ),
    (
        "ts of booleans",
        lambda rows: [r.update(ts=r["ts"] > 9) for r in rows],
        TypeError,
        "column `ts` must hold integers or datetimes, not bool",
    ),
    (
        "null partition",
        lambda rows: rows[3].update(p=None),
        ValueError,
        "column `p` is null at row 3",
    ),
    (
        "null type",
        lambda rows: rows[1].update(typ=None),
        ValueError,
        "column `typ` is null at row 1",
    ),
    ("null ts", lambda rows: rows[2].update(ts=None), ValueError, "column `ts` is null at row 2"),
]


# Frames go through the Arrow reader, which names a column's Arrow type, reads
# integer keys as their decimal text and text timestamps as ISO-8601.
ARROW_ERRORS = {
    "partition of floats": (TypeError, "column `p` has type double; it must hold text or integers"),
    "type of floats": (TypeError, "column `typ` has type double; it must hold text or integers"),
    "ts of floats": (TypeError, "column `ts` has type double; timestamps must be integers"),
    "ts of text": (ValueError, "column `ts` row 0: `30` is not an ISO-8601 date or time"),
    "ts of booleans": (TypeError, "column `ts` has type bool; timestamps must be integers"),
}


# Errors carry their kind and the row they name, at its place in the
# message; a key name that reads like another message changes neither.
@pytest.mark.parametrize(
    "partition, error, kind, row",
    [(["a", None], ValueError, "invalid_input", 1), ([1.5, 2.5], TypeError, "wrong_type", None)],
)
def test_arrow_errors_carry_their_kind_and_row(partition, error, kind, row):
    pa = pytest.importorskip("pyarrow")
    name = "pé` has type x` row 9"
    table = pa.table({name: partition, "ts": [1, 2], "typ": ["a", "a"]})
    with pytest.raises(error) as raised:
        match("a", table, partition=name)
    marks = vars(raised.value)
    assert marks["_kestrel_kind"] == kind
    assert marks.get("_kestrel_row") == row
    if row is not None:
        assert str(raised.value)[marks["_kestrel_row_at"] :] == str(row)


def _expected_error(name, make, error, message):
    if make in FRAMES and name in ARROW_ERRORS:
        return ARROW_ERRORS[name]
    if make is pandas_frame and name == "null ts":  # pandas keeps integers with nulls as floats
        return TypeError, "column `ts` has type double"
    return error, message


@pytest.mark.parametrize("make", [list, column_mapping, *FRAMES], ids=lambda f: f.__name__)
@pytest.mark.parametrize("case", ERRORS, ids=[e[0] for e in ERRORS])
def test_bad_columns_are_named(make, case):
    name, change, error, message = case
    rows = _bad_rows(change) if change else ROWS
    extra = {"attributes": ["nope"]} if change is None else {}
    expected = _expected_error(name, make, error, message)
    if expected is None:
        as_text = [dict(row, p=str(row["p"])) for row in rows]
        found = match(PATTERN, make(rows), **KEYS, **extra)
        assert found and list(map(repr, found)) == list(map(repr, match(PATTERN, as_text, **KEYS)))
        return
    with pytest.raises(expected[0], match=expected[1]):
        match(PATTERN, make(rows), **KEYS, **extra)


def test_rows_missing_a_key_are_null():
    rows = _bad_rows(lambda rows: rows[4].pop("typ"))
    with pytest.raises(ValueError, match="column `typ` is null at row 4"):
        match(PATTERN, rows, **KEYS)


@pytest.mark.parametrize(
    "rows, error, message",
    [
        ([{"p": "a", "ts": 1, "typ": "x"}, ["a", 1, "x"]], TypeError, "row 1 is list"),
        ([{"p": "a", "ts": 1, "typ": "x", 5: "five"}], TypeError, "row 0: keys must be text"),
        ([{"p": "a", "ts": 2**63, "typ": "x"}], OverflowError, "out of the 64-bit range"),
        (
            [{"p": "a", "ts": 1, "typ": "x", "v": object()}],
            TypeError,
            "column `v` row 0: event attribute values must be",
        ),
        ([{"p": "a", "ts": 1, "typ": "x", "v": [1]}], TypeError, "not list"),
    ],
)
def test_bad_rows(rows, error, message):
    with pytest.raises(error, match=message):
        match("x", rows, **KEYS)


@pytest.mark.parametrize(
    "events, message",
    [
        ("x -> y", "expected events, got str"),
        (42, "expected Events, rows, or a data frame, got int"),
        ([Event("a", 1, "x"), {"p": "a"}], "argument 'events'"),
    ],
)
def test_bad_event_sources(events, message):
    with pytest.raises(TypeError, match=message):
        match("x", events)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"exhaustive": 1}, "exhaustive must be True or False"),
        ({"partition": 0}, "partition must name a column"),
        ({"attributes": "user"}, "attributes must be a sequence of column names"),
        ({"attributes": [1]}, "attributes must be column names"),
    ],
)
def test_bad_options(kwargs, message):
    with pytest.raises(TypeError, match=message):
        match("x", ROWS, **kwargs)


def test_column_options_do_not_apply_to_event_objects():
    with pytest.raises(TypeError, match="Event objects carry their own"):
        match("x", as_events(ROWS), partition="p")
    with pytest.raises(TypeError, match="Event objects carry their own"):
        explain("x", as_events(ROWS), attributes=["user"])


def test_missing_column_lists_at_most_twenty_names():
    columns = {f"c{i}": [1] for i in range(30)} | {"p": ["a"], "ts": [1]}
    with pytest.raises(
        ValueError, match=r"missing column `typ`; the columns are `c0`, .* `c19` and 12 more$"
    ):
        match("x", columns, partition="p")


def test_key_columns_must_differ():
    with pytest.raises(ValueError, match="three different columns"):
        match("x", ROWS, partition="p", ts="ts", typ="p")


def test_bad_patterns():
    with pytest.raises(TypeError, match="expected a Pattern, a PatternBuilder, or pattern text"):
        match(3, ROWS, **KEYS)
    with pytest.raises(ValueError):
        match("login ->", ROWS, **KEYS)
    with pytest.raises(ValueError):
        match("{not json", ROWS, **KEYS)


def test_frame_column_names_must_be_text_and_unique():
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match="column names must be text"):
        match("x", pd.DataFrame({"p": ["a"], "ts": [1], "typ": ["x"], 0: [1]}), **KEYS)
    frame = pd.DataFrame([["a", 1, "x", 1]], columns=["p", "ts", "typ", "p"])
    with pytest.raises(ValueError, match="column `p` appears more than once"):
        match("x", frame, **KEYS)


def test_frame_subclasses_from_other_modules_are_frames():
    pd = pytest.importorskip("pandas")

    class TaggedFrame(pd.DataFrame):  # as extension libraries make, outside pandas
        @property
        def _constructor(self):
            return TaggedFrame

    assert observed(TaggedFrame, ROWS, **KEYS) == reference(ROWS)


def test_unsigned_overflow_is_refused():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        {"p": ["a"], "ts": [1], "typ": ["x"], "v": np.array([2**64 - 1], np.uint64)}
    )
    with pytest.raises(ValueError, match="column `v` row 0: .* out of range for a 64-bit signed"):
        match("x", frame, **KEYS)


# ---------------------------------------------------------------------------
# Timestamps and value types

STAMP = dt.datetime(2024, 5, 17, 8, 30, 15, 123456)
STAMP_NS = 1715934615123456000


def test_datetimes_become_nanoseconds_in_rows():
    aware = STAMP.replace(tzinfo=dt.timezone(dt.timedelta(hours=2)))
    rows = [
        {"p": "a", "ts": STAMP, "typ": "x"},
        {"p": "a", "ts": aware, "typ": "x"},
        {"p": "a", "ts": dt.date(2024, 5, 17), "typ": "x"},
        {"p": "a", "ts": np.datetime64(STAMP, "us"), "typ": "x"},
    ]
    stamps = [m.start for m in match("x", rows, **KEYS)]
    assert sorted(stamps) == sorted(
        [STAMP_NS, STAMP_NS - 7200 * 10**9, 1715904000 * 10**9, STAMP_NS]
    )


def test_pandas_timestamps_keep_their_nanoseconds():
    pd = pytest.importorskip("pandas")
    stamp = pd.Timestamp(STAMP) + pd.Timedelta(nanoseconds=789)
    assert match("x", [{"p": "a", "ts": stamp, "typ": "x"}], **KEYS)[0].start == STAMP_NS + 789
    naive = pd.DataFrame({"p": ["a"], "ts": [stamp], "typ": ["x"]})
    aware = naive.assign(ts=naive["ts"].dt.tz_localize("Europe/Paris"))
    assert match("x", naive, **KEYS)[0].start == STAMP_NS + 789
    assert match("x", aware, **KEYS)[0].start == STAMP_NS + 789 - 7200 * 10**9


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_arrow_timestamp_units(unit):
    pa = pytest.importorskip("pyarrow")
    table = pa.table(
        {"p": ["a"], "ts": pa.array([STAMP], pa.timestamp(unit, tz="UTC")), "typ": ["x"]}
    )
    scale = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}[unit]
    assert match("x", table, **KEYS)[0].start == STAMP_NS // scale * scale


def test_polars_datetimes():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"p": ["a"], "ts": [STAMP], "typ": ["x"]})
    assert match("x", frame, **KEYS)[0].start == STAMP_NS
    aware = frame.with_columns(pl.col("ts").dt.replace_time_zone("Europe/Paris"))
    assert match("x", aware, **KEYS)[0].start == STAMP_NS - 7200 * 10**9


VALUE_ROWS = [
    {"p": "a", "ts": 1, "typ": "x", "i": 7, "f": 0.5, "b": True, "s": "hé", "n": None},
    {"p": "a", "ts": 2, "typ": "x", "i": None, "f": None, "b": None, "s": None, "n": None},
]


@pytest.mark.parametrize("make", FRAMES, ids=lambda f: f.__name__)
def test_frame_nulls_leave_attributes_out(make):
    first, second = (m.events[0].attrs for m in match("x", make(VALUE_ROWS), **KEYS))
    assert first == {"i": 7, "f": 0.5, "b": True, "s": "hé"}
    assert second == {}


def test_rows_keep_explicit_none_as_null():
    first, second = (m.events[0].attrs for m in match("x", VALUE_ROWS, **KEYS))
    assert first == {"i": 7, "f": 0.5, "b": True, "s": "hé", "n": None}
    assert second == dict.fromkeys("ifbsn")


def test_pandas_extension_and_category_dtypes():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(
        {
            "p": pd.Series(["a", "a"], dtype="category"),
            "ts": pd.Series([2, 1], dtype="Int64"),
            "typ": pd.Series(["x", "y"], dtype="string"),
            "i": pd.Series([1, None], dtype="Int32"),
            "b": pd.Series([None, False], dtype="boolean"),
        }
    )
    (found,) = match("y -> x", frame, **KEYS)
    assert found.indices == [1, 0]
    assert [e.attrs for e in found.events] == [{"b": False}, {"i": 1}]


def test_empty_sources():
    pd = pytest.importorskip("pandas")
    assert list(match("x", [])) == [] and list(explain("x", [])) == []
    assert list(match("x", [], partition="p")) == []
    empty = pd.DataFrame(
        {
            "p": pd.Series([], dtype=object),
            "ts": pd.Series([], dtype="int64"),
            "typ": pd.Series([], dtype=object),
        }
    )
    assert list(match("x", empty, **KEYS)) == []


def _frame(library, columns):
    module = pytest.importorskip(library)
    return module.table(columns) if library == "pyarrow" else module.DataFrame(columns)


NO_EVENTS_OR_NULL_KEYS = [
    ("pandas of empty lists", lambda: _frame("pandas", {"p": [], "ts": [], "typ": []}), None),
    ("polars of empty lists", lambda: _frame("polars", {"p": [], "ts": [], "typ": []}), None),
    (
        "arrow of empty lists",
        lambda: _frame("pyarrow", dict.fromkeys(KEYS.values(), [])),
        None,
    ),
    ("polars null p", lambda: _frame("polars", {"p": [None], "ts": [1], "typ": ["x"]}), "`p`"),
    ("polars null ts", lambda: _frame("polars", {"p": ["a"], "ts": [None], "typ": ["x"]}), "`ts`"),
    (
        "arrow null typ",
        lambda: _frame("pyarrow", {"p": ["a"], "ts": [1], "typ": [None]}),
        "`typ`",
    ),
]


@pytest.mark.parametrize(
    "make, null",
    [c[1:] for c in NO_EVENTS_OR_NULL_KEYS],
    ids=[c[0] for c in NO_EVENTS_OR_NULL_KEYS],
)
@pytest.mark.parametrize("call", [match, explain])
def test_empty_frames_are_no_events_and_null_key_columns_are_null(call, make, null):
    if null is None:
        assert (
            list(call("x", make(), **KEYS)) == list(call("x", make(), carry=["ts"], **KEYS)) == []
        )
        return
    with pytest.raises(ValueError, match=f"column {null} is null at row 0"):
        call("x", make(), **KEYS)


def test_object_columns_of_mixed_types_read_as_rows_do():
    rows = [dict(r, v=v) for r, v in zip(ROWS, [1, "one", True, None, 2.5])]
    assert observed(pandas_frame, rows, **KEYS) == observed(list, rows, **KEYS)
    dated = [dict(r, ts=STAMP + dt.timedelta(seconds=r["ts"])) for r in rows]
    for zone in (None, "UTC"):
        frame = pandas_frame(dated).assign(ts=lambda f: f["ts"].dt.tz_localize(zone))
        start = match("login -[<=1m]-> buy", frame, **KEYS).to_arrow().schema.field("start")
        assert start.type.unit == "ns" and start.type.tz == zone
        assert not match("login -[<=1m]-> buy", frame.iloc[:0], **KEYS)


def test_any_aware_datetime_makes_results_aware():
    naive, aware = STAMP, STAMP.replace(tzinfo=dt.timezone.utc)
    for stamps in ([naive, aware], [aware, naive]):
        rows = [{"p": "a", "ts": stamp, "typ": "x"} for stamp in stamps]
        assert match("x", rows, **KEYS).to_arrow().schema.field("start").type.tz == "UTC"


# ---------------------------------------------------------------------------
# Property: every source agrees with the low-level functions

rows_strategy = st.lists(
    st.fixed_dictionaries(
        {
            "p": st.sampled_from(["a", "b", "é"]),
            "ts": st.integers(0, 60),
            "typ": st.sampled_from(["login", "buy", "logout"]),
            "user": st.sampled_from(["u", "v"]),
        },
        optional={"amount": st.floats(-5, 5)},
    ),
    min_size=1,
    max_size=30,
)


@settings(max_examples=60, deadline=None)
@given(
    rows=rows_strategy,
    make=st.sampled_from([list, column_mapping, pandas_frame, arrow_table, polars_frame]),
)
def test_sources_agree_with_the_low_level_functions(rows, make):
    assert observed(make, rows, **KEYS) == reference(rows)


# ---------------------------------------------------------------------------
# Results as frames


@pytest.mark.parametrize(
    "values",
    [[1, "1"], [1, 1.0], [True, 1], [2**60 + 1, 0.5], [1, 0.5, None], [2.5, True], [1, 2.5, True]],
)
def test_mixed_columns_stay_distinct_as_the_result_sets_write_them(values):
    pytest.importorskip("pyarrow")
    rows = [{"partition": "p", "ts": i, "typ": "a", "v": v} for i, v in enumerate(values)]
    found = match("a[v as $v]", rows)
    column = kestrel.to_arrow(list(found)).column("capture.v")
    assert column == found.to_arrow().column("capture.v")
    assert len(set(column.to_pylist())) == len(values)


def test_matches_to_frames():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    rows = ROWS + [
        {"p": "c", "ts": 1, "typ": "login", "user": 7},
        {"p": "c", "ts": 2, "typ": "buy", "user": 7},
    ]
    found = match(PATTERN, rows, **KEYS)
    frame = kestrel.to_pandas(list(found))
    assert list(frame.columns) == ["partition", "indices", "types", "start", "end", "capture.u"]
    assert [list(indices) for indices in frame["indices"]] == [[1, 3], [2, 0], [5, 6]]
    # Mixed types become JSON text, as the result sets export them.
    assert frame["capture.u"].tolist() == ['"bo"', '"ana"', "7"]
    table = kestrel.to_arrow(list(found))
    assert table.column_names == list(frame.columns)
    assert table.column("capture.u") == found.to_arrow().column("capture.u")
    assert table.column("indices").type == pa.list_(pa.int64())
    assert isinstance(frame, pd.DataFrame)


def test_near_misses_to_frames_flatten_the_detail():
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    rows = [
        {"p": "a", "ts": 1, "typ": "login", "user": "u"},
        {"p": "a", "ts": 2, "typ": "logout", "user": "u"},
        {"p": "a", "ts": 3, "typ": "buy", "user": "u"},
        {"p": "b", "ts": 1, "typ": "login", "user": "u"},
        {"p": "b", "ts": 99, "typ": "buy", "user": "u"},
        {"p": "c", "ts": 1, "typ": "login", "user": "u"},
        {"p": "c", "ts": 2, "typ": "buy", "user": "v"},
        {"p": "d", "ts": 1, "typ": "login", "user": "u"},
    ]
    misses = explain(PATTERN, rows, **KEYS)
    frame = kestrel.to_pandas(list(misses))
    assert frame["reason"].tolist() == [
        "absence_blocked",
        "window_exceeded",
        "predicate_failed",
        "no_successor",
    ]
    assert frame["detail.blocking_index"].tolist()[0] == 1
    assert frame["detail.gap"].tolist()[1] == 98
    assert str(frame["detail.gap"].dtype) == "Int64"  # gaps in the column keep it integral
    assert str(frame["detail.candidate_satisfies"].dtype) == "boolean"
    assert json.loads(frame["detail.failures"][2])[0]["attribute"] == "user"
    assert "detail.kind" not in frame.columns
    assert frame.groupby(["reached_steps", "reason"]).size().to_dict()[(1, "no_successor")] == 1
    table = kestrel.to_arrow(list(misses))
    assert table.column_names == list(frame.columns)
    assert table.num_rows == 4


@pytest.mark.parametrize("call", [match, explain])
def test_a_list_from_several_calls_exports_as_their_result_sets(call):
    pa = pytest.importorskip("pyarrow")

    # The same indices name other events in each call.
    def rows(*types):
        return [{"partition": p, "ts": i, "typ": t} for i, (p, t) in enumerate(types)]

    calls = [
        call("login -> buy", rows(("p", "login"), ("p", "buy"), ("q", "login"))),
        call("signup -> buy", rows(("p", "signup"), ("p", "buy"), ("q", "signup"))),
    ]
    listed = kestrel.to_arrow(record for results in calls for record in results)
    assert listed == pa.concat_tables([results.to_arrow() for results in calls])


def test_result_frames_refuse_mixed_or_foreign_lists():
    pytest.importorskip("pandas")
    rows = ROWS + [{"p": "z", "ts": 0, "typ": "login", "user": "u"}]
    found = list(match(PATTERN, rows, **KEYS)) + list(explain(PATTERN, rows, **KEYS))
    with pytest.raises(TypeError, match="list of Match objects or a list of NearMiss"):
        kestrel.to_pandas(found)
    with pytest.raises(TypeError):
        kestrel.to_pandas([1])
    assert kestrel.to_pandas([]).empty
