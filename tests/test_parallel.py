"""`threads=` on match, explain and funnel: the same results in the same
order whatever the count, the bound and Ctrl-C still honoured, and a clear
error for a count that is not one."""

from __future__ import annotations

import os
import random
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrel
from kestrel import _core

PATTERNS = [
    "a[u as $x] -> b[u == $x]",
    "a -[<=3, no c]-> b -> c",
    "a[u as $x] -[no c[u == $x]]-> b[u == $x] -> c",
]
COUNTS = [2, 3, 64]
pytestmark = pytest.mark.filterwarnings(
    "ignore::kestrel.KestrelWarning"
)  # below, around and above the partition count


@pytest.fixture(autouse=True)
def small_tables_take_threads():
    """Calls this small would run on one thread; these tests are of the
    threaded paths."""
    before = _core._set_min_rows_per_thread(1)
    yield
    _core._set_min_rows_per_thread(before)


rows = st.lists(
    st.fixed_dictionaries(
        {
            "partition": st.sampled_from("pqrstu"),
            "ts": st.integers(0, 12),
            "typ": st.sampled_from("abc"),
            "u": st.integers(0, 2),
        }
    ),
    min_size=1,  # funnel's `by` column must exist
    max_size=60,
)


def answers(events: list[dict[str, object]], threads: int) -> list[list[str]]:
    out = []
    for pattern in PATTERNS:
        for results in (
            kestrel.match(pattern, events, threads=threads),
            kestrel.match(pattern, events, exhaustive=True, threads=threads),
            kestrel.explain(pattern, events, threads=threads),
            kestrel.funnel(pattern, events, by="u", threads=threads),
        ):
            out.append([repr(row) for row in results])
    return out


@settings(max_examples=60, deadline=None)
@given(rows)
def test_every_count_gives_the_one_thread_results(events: list[dict[str, object]]) -> None:
    expected = answers(events, 1)
    for threads in COUNTS:
        assert answers(events, threads) == expected


def bounded(events: list[dict[str, object]], limit: int, threads: int) -> object:
    try:
        return [
            repr(m)
            for m in kestrel.match(
                PATTERNS[0], events, max_matches=limit, exhaustive=True, threads=threads
            )
        ]
    except ValueError as error:
        return str(error)


def test_max_matches_refuses_alike_on_every_count() -> None:
    # Matches in every partition, so that the bound falls in any share.
    events = [
        {"partition": p, "ts": t, "typ": "ab"[t % 2], "u": t % 3}
        for p in "pqrstu"
        for t in range(12)
    ]
    total = len(kestrel.match(PATTERNS[0], events, exhaustive=True, threads=1))
    for limit in (0, 1, total // 2, total - 1, total, total + 1):
        expected = bounded(events, limit, 1)
        assert isinstance(expected, str) == (limit < total)
        for threads in COUNTS:
            assert bounded(events, limit, threads) == expected, (limit, threads)


def streamed(pattern: str, events: object, threads: object) -> object:
    return kestrel.Stream(pattern, threads=threads).push(events)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("threads", "error", "message"),
    [
        (0, ValueError, "threads must be 1 or more, not 0"),
        (-2, ValueError, "threads must be 1 or more, not -2"),
        (1.0, TypeError, "threads must be an int or None, not float"),
        ("2", TypeError, "threads must be an int or None, not str"),
        (True, TypeError, "threads must be an int or None, not bool"),
    ],
)
@pytest.mark.parametrize("call", [kestrel.match, kestrel.explain, kestrel.funnel, streamed])
def test_a_count_that_is_not_one_is_refused(
    call: object, threads: object, error: type[Exception], message: str
) -> None:
    events = [{"partition": "p", "ts": 0, "typ": "a"}]
    with pytest.raises(error) as raised:
        call("a -> b", events, threads=threads)  # type: ignore[operator]
    assert str(raised.value) == message


INTERRUPTED_CALL = """
import sys
import kestrel
from kestrel._core import Event, _set_min_rows_per_thread, parse_pattern
_set_min_rows_per_thread(1)
# Every path of three 'a's out of 3,000 in each partition, none of which
# completes: hours of work on any count of threads.
explosive = parse_pattern("a -> a -> a -> b")
events = [Event(p, i, "a") for p in "pqr" for i in range(3000)]
try:
    print("calling", flush=True)
    kestrel.match(explosive, events, exhaustive=True, threads=int(sys.argv[1]))
    print("not interrupted")
except KeyboardInterrupt:
    print("interrupted")
print(len(kestrel.match("a -> b", [Event("p", 0, "a"), Event("p", 1, "b")], threads=2)))
"""


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_ctrl_c_stops_a_call_promptly_on_any_count(threads: int) -> None:
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CALL, str(threads)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout is not None
    assert child.stdout.readline() == "calling\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    try:
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()  # a call that ignored the signal would run for hours
    assert time.monotonic() - sent < 5
    assert child.returncode == 0, err
    assert out.splitlines() == ["interrupted", "1"]


def arrow_events(rows: int, seed: int) -> object:
    """Events as a pyarrow table in three batches, large enough that each
    batch's columns are cut into pieces: a dictionary column, texts shared
    between columns, nulls."""
    pa = pytest.importorskip("pyarrow")
    rng = random.Random(seed)
    batches = []
    for batch in range(3):
        partitions = sorted(f"p{rng.randrange(40)}" for _ in range(rows))
        batches.append(
            pa.table(
                {
                    "partition": partitions,
                    "ts": [batch * rows + i for i in range(rows)],
                    "typ": pa.array([rng.choice("abc") for _ in range(rows)]).dictionary_encode(),
                    "u": [rng.choice([None, 0, 1, 2]) for _ in range(rows)],
                    "who": [rng.choice(["p1", "a", f"w{rng.randrange(500)}"]) for _ in range(rows)],
                }
            )
        )
    return pa.concat_tables(batches)


def test_threaded_reading_gives_the_same_tables() -> None:
    events = arrow_events(70_000, 7)
    pattern = "a[who as $w] -[no c[who == $w]]-> b[who == $w]"
    expected = [repr(m) for m in kestrel.match(pattern, events, threads=1)]
    assert len(expected) > 1000
    for threads in (2, 3):
        assert [repr(m) for m in kestrel.match(pattern, events, threads=threads)] == expected
    stream = kestrel.Stream(pattern, explain=False, threads=3)
    streamed = [repr(m) for batch in events.to_batches() for m in stream.push(batch)]
    assert sorted(streamed) == sorted(expected)


@pytest.mark.parametrize(
    "nulls_from",
    [{"partition": 209_999, "ts": 5}, {"typ": 150_000, "partition": 100_000}, {"ts": 80_000}],
)
def test_threaded_reading_reports_the_cell_one_thread_meets_first(
    nulls_from: dict[str, int],
) -> None:
    pa = pytest.importorskip("pyarrow")
    table = arrow_events(70_000, 8)
    for column, row in nulls_from.items():
        values = table.column(column).to_pylist()
        values[row:] = [None] * (len(values) - row)
        array = pa.array(values, pa.string() if column == "typ" else None)
        table = table.set_column(table.column_names.index(column), column, array)
    messages = set()
    for threads in (1, 2, 3):
        with pytest.raises(ValueError) as raised:
            kestrel.match("a -> b", table, threads=threads)
        messages.add(str(raised.value))
    assert len(messages) == 1, messages


# Threads need address space (a stack, a malloc arena): under a small limit
# the system refuses most of the thousands asked for.
FEW_THREADS_GIVEN = """
import resource
import kestrel
kestrel._core._set_min_rows_per_thread(1)
rows = [{"partition": f"p{i}", "ts": t, "typ": typ} for t, typ in ((0, "a"), (1, "b"))
        for i in range(3000)]
resource.setrlimit(resource.RLIMIT_AS, (1500 * 2**20, resource.RLIM_INFINITY))
print(len(kestrel.match("a -> b", rows, threads=3000)))
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan needs more address space"
)
def test_a_call_makes_do_with_the_threads_the_system_gives() -> None:
    done = subprocess.run(
        [sys.executable, "-c", FEW_THREADS_GIVEN], capture_output=True, text=True, timeout=120
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "3000\n", "")
