"""Carried columns: the results with carry= are the results without it, plus
the carried cells; a column that cannot be carried is refused by name."""

import datetime as dt

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrel import explain, match

pa = pytest.importorskip("pyarrow")

PATTERN = "a[note == null] -> b[amount > 1]"
UTC = dt.timezone.utc

# One type per carried column, so that it can be carried; ints and floats
# together make a float column.
CARRIED_CELLS = [
    st.integers(-(2**63), 2**63 - 1),
    st.one_of(st.integers(-(2**53), 2**53), st.floats(allow_nan=False)),
    st.text(max_size=3),
    st.booleans(),
    st.datetimes(dt.datetime(1700, 1, 1), dt.datetime(2200, 1, 1)),
    st.datetimes(dt.datetime(1700, 1, 2), dt.datetime(2200, 1, 1), timezones=st.just(UTC)),
]

# Attributes missing from some rows, None, and of mixed types, even past 64 bits.
ATTRIBUTE = st.one_of(st.none(), st.integers(-3, 3), st.sampled_from(["one", True, 2**64]))


@st.composite
def rows_and_carried(draw):
    family = draw(st.sampled_from(range(len(CARRIED_CELLS))))
    cells = CARRIED_CELLS[family]
    row = st.fixed_dictionaries(
        {"partition": st.sampled_from("pq"), "ts": st.integers(0, 9), "typ": st.sampled_from("ab")},
        optional={"amount": ATTRIBUTE, "note": ATTRIBUTE, "c": st.one_of(st.none(), cells)},
    )
    # The last row has every column, which the others may lack, row 0 too.
    last = {"partition": "z", "ts": 0, "typ": "a", "amount": None, "note": 0, "c": None}
    rows = [*draw(st.lists(row, max_size=12)), last]
    # Datetimes cannot be attributes; the other carried columns are attributes too.
    return rows, ["amount", "note"] + (["c"] if family < 4 else [])


def column_mapping(rows):
    names = dict.fromkeys(name for row in rows for name in row)
    return {name: [row.get(name) for row in rows] for name in names}


def carried_cells(results, name):
    return [cells for cells in results.to_arrow().column(name).to_pylist()]


@settings(max_examples=150, deadline=None)
@given(case=rows_and_carried(), make=st.sampled_from([list, column_mapping]))
def test_carry_adds_the_cells_and_changes_nothing_else(case, make):
    rows, attributes = case
    for call in (match, explain):
        plain = call(PATTERN, make(rows), attributes=attributes)
        carried = call(PATTERN, make(rows), attributes=attributes, carry=["c", "ts"])
        assert list(map(repr, carried)) == list(map(repr, plain))
        indices = [item.indices for item in plain]
        assert carried_cells(carried, "c") == [[rows[i].get("c") for i in ix] for ix in indices]
        assert carried_cells(carried, "ts") == [[rows[i]["ts"] for i in ix] for ix in indices]


ROW = {"partition": "p", "ts": 1, "typ": "a"}


@pytest.mark.parametrize(
    "cells, error, message",
    [
        (
            [1, "one"],
            TypeError,
            "column `c` holds values of two types: row 0 is an integer, row 1 text",
        ),
        ([None, True, 1], TypeError, "row 1 is a bool, row 2 an integer"),
        ([dt.datetime(2020, 1, 1), dt.datetime(2020, 1, 1, tzinfo=UTC)], TypeError, "naive"),
        ([0.5, 2**53 + 1], TypeError, r"column `c` row 1: \d+ among floats cannot be a float"),
        ([2**64], OverflowError, "column `c` row 0: 18446744073709551616 is out of the 64-bit"),
        ([[1]], TypeError, "column `c` row 0: carried values must be .*, not list"),
        ([1, 2.5], None, [[1.0], [2.5]]),
        ([None, None], None, [[None], [None]]),
    ],
)
@pytest.mark.parametrize("make", [list, column_mapping])
def test_a_carried_column_has_one_type(make, cells, error, message):
    rows = [dict(ROW, ts=ts, c=cell) for ts, cell in enumerate(cells)]
    if error is None:
        assert carried_cells(match("a", make(rows), carry=["c"]), "c") == message
        return
    with pytest.raises(error, match=message):
        match("a", make(rows), carry=["c"])


@pytest.mark.parametrize(
    "name", ["partition", "indices", "start", "reason", "capture.v", "detail.gap"]
)
@pytest.mark.parametrize("call", [match, explain])
def test_carried_names_must_not_be_result_columns(call, name):
    with pytest.raises(ValueError, match=f"carry: column `{name}` has the name of a result column"):
        call("a", [ROW], carry=[name])


def test_carried_datetimes_of_frames_keep_their_type():
    np = pytest.importorskip("numpy")
    stamps = np.array(["2020-01-01T00:00:00.5", "2021-01-01"], "datetime64[ms]")
    columns = {"partition": ["p", "p"], "ts": [1, 2], "typ": ["a", "a"], "c": stamps}
    found = match("a", columns, carry=["c"]).to_arrow()
    assert found.schema.field("c").type == pa.list_(pa.timestamp("ns"))
    assert found.column("c").to_pylist() == [[s] for s in stamps.astype(dt.datetime)]
