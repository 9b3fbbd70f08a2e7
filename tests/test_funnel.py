"""The funnel: counts, drops by reason, conversions and times checked by hand,
with and without groups, as a table, a chart and a command."""

import json
import subprocess
import sys

import cluster_cases
import pyarrow as pa
import pytest

import kestrel
from kestrel import _cluster

PATTERN = "view -[<=10]-> cart -[<=10]-> buy"
# p1 completes (cart after 5, buy after 8); p2 stops at cart; p3 starts twice,
# the first view too early for its cart, the second reaching cart after 4 and
# then too late for buy; p4 only views; p5 never starts.
EVENTS = [
    ("p1", 0, "view", "ads"),
    ("p1", 5, "cart", None),
    ("p1", 8, "buy", None),
    ("p2", 0, "view", "ads"),
    ("p2", 3, "cart", None),
    ("p3", 0, "view", "mail"),
    ("p3", 100, "view", "mail"),
    ("p3", 104, "cart", None),
    ("p3", 200, "buy", None),
    ("p4", 0, "view", "mail"),
    ("p5", 0, "cart", None),
]
ROWS = [
    {"partition": p, "ts": ts, "typ": typ, **({"src": src} if src else {})}
    for p, ts, typ, src in EVENTS
]

# (group, step, type, entered, dropped, predicate_failed, absence_blocked,
#  window_exceeded, no_successor, conversion, time_p50, time_p90)
OVERALL = [
    (None, 1, "view", 4, 1, 0, 0, 0, 1, None, None, None),
    (None, 2, "cart", 3, 2, 0, 0, 1, 1, 0.75, 4.0, 4.8),
    (None, 3, "buy", 1, 0, 0, 0, 0, 0, 1 / 3, 8.0, 8.0),
]
BY_SOURCE = [
    ("ads", 1, "view", 2, 0, 0, 0, 0, 0, None, None, None),
    ("ads", 2, "cart", 2, 1, 0, 0, 0, 1, 1.0, 4.0, 4.8),
    ("ads", 3, "buy", 1, 0, 0, 0, 0, 0, 0.5, 8.0, 8.0),
    ("mail", 1, "view", 2, 1, 0, 0, 0, 1, None, None, None),
    ("mail", 2, "cart", 1, 1, 0, 0, 1, 0, 0.5, 4.0, 4.0),
    ("mail", 3, "buy", 0, 0, 0, 0, 0, 0, 0.0, None, None),
]


@pytest.mark.parametrize(("by", "expected"), [(None, OVERALL), ("src", BY_SOURCE)])
def test_funnel_by_hand(by, expected):
    steps = kestrel.funnel(PATTERN, ROWS, by=by)
    assert isinstance(steps, kestrel.Funnel)
    assert all(isinstance(step, kestrel.FunnelStep) for step in steps)
    assert [tuple(step) for step in steps] == [pytest.approx(row) for row in expected]
    assert steps[-1].step == 3 and steps[1:][0].step == 2


def test_funnel_prints_as_an_aligned_table():
    assert str(kestrel.funnel(PATTERN, ROWS)).splitlines() == [
        "step  event_type  entered  conversion  dropped  predicate_failed  absence_blocked"
        "  window_exceeded  no_successor  time_p50  time_p90",
        "   1  view              4                    1                 0                0"
        "                0             1",
        "   2  cart              3       75.0%        2                 0                0"
        "                1             1         4       4.8",
        "   3  buy               1       33.3%        0                 0                0"
        "                0             0         8         8",
    ]
    grouped = str(kestrel.funnel(PATTERN, ROWS, by="src")).splitlines()
    assert grouped[0].startswith("src   step  event_type")
    assert grouped[4].startswith("mail     1  view")


def test_funnel_plot_draws_one_bar_per_step():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    ax = kestrel.funnel(PATTERN, ROWS).plot()
    assert [bar.get_width() for bar in ax.patches] == [4, 3, 1]
    assert [label.get_text() for label in ax.get_yticklabels()] == ["1. view", "2. cart", "3. buy"]


def test_funnel_plot_without_matplotlib_says_how_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"pip install 'kestrel\[plot\]'"):
        kestrel.funnel(PATTERN, ROWS).plot()


def test_funnel_by_a_missing_column():
    with pytest.raises(ValueError, match="nope"):
        kestrel.funnel(PATTERN, ROWS, by="nope")


def test_funnel_command_prints_the_table(tmp_path):
    events = tmp_path / "events.jsonl"
    events.write_text("".join(json.dumps(row) + "\n" for row in ROWS))
    done = subprocess.run(
        [sys.executable, "-m", "kestrel", "funnel", events, "--pattern", PATTERN, "--by", "src"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == str(kestrel.funnel(PATTERN, ROWS, by="src")) + "\n"


@pytest.mark.parametrize(
    "rate, text",
    [(1.0, "100.0%"), (0.9996, "99.96%"), (0.5, "50.0%"), (0.0, "0.0%"), (0.00001, "0.001%")],
)
def test_conversion_never_prints_as_a_whole_or_no_conversion_it_is_not(rate, text):
    from kestrel._funnel_text import percent

    assert percent(rate) == text


# (by, datetimes): groups of text with nulls, of floats where NaNs meet and
# -0.0 meets 0.0, over integer and datetime timestamps.
@pytest.mark.parametrize(("by", "datetimes"), [(None, False), ("source", True), ("score", False)])
@pytest.mark.parametrize("chunks", [1, 3, 7])
def test_funnel_reduced_from_the_pieces_of_any_split_is_one_call(by, datetimes, chunks):
    table = cluster_cases.events(rows=600, datetimes=datetimes)
    scores = [[0.5, float("nan"), -0.0, 0.0, None][row % 5] for row in range(table.num_rows)]
    table = table.append_column("score", pa.array(scores, pa.float64()))
    options = {"by": by} if by else {}
    keys = ("partition", "ts", "typ")
    job = _cluster.job("funnel", cluster_cases.PATTERN, "eid", False, keys, **options)
    chunk_of = [int(partition[1:]) % chunks for partition in table.column("partition").to_pylist()]
    pieces = pa.concat_tables(
        job(table.filter(pa.array([each == chunk for each in chunk_of])))
        for chunk in reversed(range(chunks))
    )
    # str(): NaN keys compare unequal, -0.0 and 0.0 equal
    assert str(_cluster.reduced_funnel(job, pieces).to_pylist()) == str(
        cluster_cases.expected("funnel", table, options)
    )
