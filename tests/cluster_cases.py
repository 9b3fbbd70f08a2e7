"""What tests/test_dask.py and tests/test_spark.py share: events with many
timestamp ties and keys spread over chunks, the calls to compare, and the
single-process answer each cluster call must equal."""

import datetime
import random
import warnings

import pyarrow as pa
import pytest

import kestrel

PATTERN = "x[u as $u] -[<=4]-> y -> z[u == $u]"


def events(rows=1500, partitions=40, datetimes=False):
    """Few timestamps per partition, so many events tie; event ids unrelated
    to the rows' order."""
    rng = random.Random(7)
    ids = list(range(rows))
    rng.shuffle(ids)
    ts = [rng.randrange(12) for _ in range(rows)]
    if datetimes:
        start = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
        ts = pa.array(
            [start + datetime.timedelta(microseconds=333_333 * t) for t in ts],
            pa.timestamp("us", "UTC"),
        )
    keys = [rng.randrange(partitions) for _ in range(rows)]
    return pa.table(
        {
            "partition": [f"p{key:02d}" for key in keys],
            "ts": ts,
            "typ": [rng.choice("xyzw") for _ in range(rows)],
            "u": [rng.choice("ab") for _ in range(rows)],
            "eid": ids,
            "source": [rng.choice(["ads", "mail", "web", "feed", "tv", None]) for _ in keys],
        }
    )


# (id, kind, pattern, keyword arguments, events); a compiled pattern must
# travel to the workers as well as pattern text.
CASES = [
    ("match", "match", PATTERN, {}, events()),
    ("match exhaustive", "match", PATTERN, {"exhaustive": True}, events()),
    ("explain", "explain", kestrel.parse_pattern(PATTERN), {}, events()),
    ("funnel", "funnel", PATTERN, {}, events()),
    ("funnel by, datetimes", "funnel", PATTERN, {"by": "source"}, events(datetimes=True)),
]
case_params = pytest.mark.parametrize(
    "kind, pattern, options, table", [case[1:] for case in CASES], ids=[case[0] for case in CASES]
)

_POSITIONS = (
    "start_index",
    "detail.event_index",
    "detail.candidate_index",
    "detail.blocking_index",
)


def expected(kind, table, options):
    """One kestrel call over the events sorted by (partition, ts, eid), with
    positions named by event id, as rows (sorted by their events for records,
    in the funnel's own order for a funnel)."""
    table = table.sort_by([("partition", "ascending"), ("ts", "ascending"), ("eid", "ascending")])
    call = getattr(kestrel, kind)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.KestrelWarning)
        if kind == "funnel":
            return call(PATTERN, table, **options).to_arrow().to_pylist()
        rows = call(PATTERN, table, carry=["eid"], **options).to_arrow().to_pylist()
    ids = table.column("eid").to_pylist()
    for row in rows:
        del row["indices"]
        for name in _POSITIONS:
            if name in row:
                index = row.pop(name)
                row[name[: -len("index")] + "eid"] = None if index is None else ids[index]
    return records(rows)


def records(rows):
    return sorted(rows, key=lambda row: row["eid"])


# (keyword arguments, error, message part): calls refused before or while running
REFUSALS = [
    ({}, ValueError, "order= must name a tie-break column"),
    ({"order": "event_id"}, ValueError, "'event_id' not among the columns of the events"),
    ({"order": 5}, TypeError, "order must name a column, not int"),
    ({"unique_ts": True}, ValueError, "unique_ts=True does not hold"),
    ({"order": "u"}, ValueError, "order= must tell them apart"),
]
refusal_params = pytest.mark.parametrize(
    "options, error, message", REFUSALS, ids=[str(r[0]) for r in REFUSALS]
)
