"""Options of match, explain and funnel: warnings about patterns that cannot
match, the bound on the number of matches, and carried columns."""

import subprocess
import sys
import warnings

import pytest

import kestrel

ROWS = [
    {"partition": "a", "ts": 1, "typ": "login", "amount": 5},
    {"partition": "a", "ts": 2, "typ": "buy", "amount": 7},
    {"partition": "a", "ts": 3, "typ": "buy", "amount": 9},
    {"partition": "b", "ts": 1, "typ": "login", "amount": 1},
    {"partition": "b", "ts": 4, "typ": "buy", "amount": 2},
]
CALLS = [kestrel.match, kestrel.explain, kestrel.funnel]


class Index:
    """An integer of another type, as numpy's are."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


NEGATIVE = "step 2: window `<=-1` is negative, so no event can follow the previous step's"


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize(
    ("pattern", "message"),
    [
        ("login -> byu", "byu"),
        ("login -[<=-1s]-> buy", NEGATIVE),
        (kestrel.Pattern.event("login").then("buy", within=-1), NEGATIVE),
    ],
)
def test_a_pattern_that_cannot_match_warns_at_the_caller(call, pattern, message):
    with pytest.warns(kestrel.KestrelWarning, match=message) as caught:
        call(pattern, ROWS, unit="s")
    assert len(caught) == 1
    assert caught[0].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # A zero window is met by events at one timestamp.
        for quiet in ("login -> buy", "login -[<=0s]-> buy"):
            call(quiet, ROWS, unit="s")


def test_the_command_prints_warnings(tmp_path):
    events = tmp_path / "events.csv"
    events.write_text("partition,ts,typ\na,1,login\n")
    done = subprocess.run(
        [sys.executable, "-m", "kestrel", "match", events, "--pattern", "login -> byu"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0
    assert done.stderr.startswith("kestrel: warning: ") and "byu" in done.stderr


@pytest.mark.parametrize(
    ("max_matches", "exhaustive", "outcome"),
    [
        (None, True, 3),
        (3, True, 3),
        (2, True, (ValueError, "more than 2 matches; raise max_matches or narrow the pattern")),
        (2, False, 2),
        (0, False, (ValueError, "more than 0 matches")),
        (-1, False, (ValueError, "max_matches must be 0 or more")),
        (True, False, (TypeError, "max_matches must be an int or None, not bool")),
        (2.0, False, (TypeError, "max_matches must be an int or None, not float")),
        (Index(2), False, 2),
        (2**63, False, (OverflowError, "max_matches must be at most 9223372036854775807, not 9")),
    ],
)
def test_max_matches(max_matches, exhaustive, outcome):
    def run():
        return kestrel.match("login -> buy", ROWS, exhaustive=exhaustive, max_matches=max_matches)

    if isinstance(outcome, int):
        assert len(run()) == outcome
    else:
        with pytest.raises(outcome[0], match=outcome[1]):
            run()


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize(
    ("threads", "outcome"),
    [
        (Index(2), None),
        (10**12, None),  # cut to the rows, not a share cut for each
        (2**63, (OverflowError, "threads must be at most 9223372036854775807, not 9")),
    ],
)
def test_threads(call, threads, outcome):
    if outcome is None:
        call("login -> buy", ROWS, threads=threads)
    else:
        with pytest.raises(outcome[0], match=outcome[1]):
            call("login -> buy", ROWS, threads=threads)


def test_carried_columns_follow_the_indices():
    pa = pytest.importorskip("pyarrow")
    table = pa.Table.from_pylist(ROWS)
    for events in (table, ROWS):
        found = kestrel.match("login -> buy", events, carry=["amount"]).to_arrow()
        assert found.column("amount").to_pylist() == [[5, 7], [1, 2]]
    misses = kestrel.explain("login -> buy -> buy", table, carry=["amount"]).to_arrow()
    assert misses.column("amount").to_pylist() == [[1, 2]]


@pytest.mark.parametrize(
    ("carry", "error", "message"),
    [("amount", TypeError, "carry must be a sequence"), ([1], TypeError, "carry must be column")],
)
def test_carry_is_checked(carry, error, message):
    with pytest.raises(error, match=message):
        kestrel.match("login -> buy", ROWS, carry=carry)


@pytest.mark.parametrize(
    ("flag", "error"),
    [(True, None), ("np.True_", None), (1, "not int"), ("np.int64", "not numpy.int64")],
)
def test_flags_take_numpy_booleans_and_name_what_they_refuse(flag, error):
    np = pytest.importorskip("numpy")
    flag = {"np.True_": np.True_, "np.int64": np.int64(1)}.get(flag, flag)
    calls = [
        lambda: kestrel.match("login -> buy", ROWS, exhaustive=flag),
        lambda: kestrel.Stream("login -> buy", exhaustive=flag),
        lambda: kestrel.Stream("login -> buy", explain=flag),
    ]
    for call in calls:
        if error is None:
            call()
        else:
            with pytest.raises(TypeError, match=f"must be True or False, {error}$"):
                call()
