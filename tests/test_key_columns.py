"""Key columns of rows and column mappings: integer partitions read as their
decimal text and ISO-8601 timestamps to the nanosecond, as the Arrow path
reads them; null keys named by column and row."""

import numpy as np
import pytest

import kestrel

ROWS = [
    # (events, expected (partition, start) of each match of `a`, or an error)
    ([{"partition": 7, "ts": 1, "typ": "a"}], [("7", 1)]),
    ({"partition": np.array([7, -8]), "ts": [1, 2], "typ": ["a", "a"]}, [("-8", 2), ("7", 1)]),
    (
        [{"partition": "p", "ts": "2024-01-01T00:00:00.000000001+00:00", "typ": "a"}],
        [("p", 1_704_067_200_000_000_001)],
    ),
    ({"partition": ["p"], "ts": ["1970-01-01T01:00:00+01:00"], "typ": ["a"]}, [("p", 0)]),
    ([{"partition": "p", "ts": "soon", "typ": "a"}], "column `ts` row 0: 'soon' is neither"),
    (
        [
            {"partition": "p", "ts": 1, "typ": "a"},
            {"partition": "p", "ts": "2024-01-01", "typ": "a"},
        ],
        "column `ts` mixes integers and datetimes: row 0 is an integer, row 1 a datetime",
    ),
    (
        [{"partition": "p", "ts": 1, "typ": "a"}, {"partition": None, "ts": 2, "typ": "a"}],
        "column `partition` is null at row 1",
    ),
    (
        {"partition": ["p"], "ts": np.array(["NaT"], "datetime64[ns]"), "typ": ["a"]},
        "column `ts` is null at row 0",
    ),
    ([{"partition": True, "ts": 1, "typ": "a"}], "column `partition` must hold text"),
]


@pytest.mark.parametrize(("events", "expected"), ROWS)
def test_key_columns(events, expected):
    if isinstance(expected, str):
        with pytest.raises((TypeError, ValueError), match=expected.replace("(", r"\(")):
            kestrel.match("a", events)
    else:
        assert [(m.partition, m.start) for m in kestrel.match("a", events)] == expected
