"""The private table and result-set interface of kestrel._core, which the
package's Python layer builds on."""

from __future__ import annotations

import gc

import pytest

import kestrel._core as core
from kestrel._core import Event, Pattern, match_events, near_miss_events, sort_events

pa = pytest.importorskip("pyarrow")

EVENTS = [
    Event("u", 30, "buy", {"amount": 5, "note": None}),
    Event("u", 10, "view", {"item": "a"}),
    Event("v", 20, "view", {"item": "b"}),
    Event("u", 20, "view", {"item": "c", "amount": 1.5}),
    Event("v", 40, "buy", {}),
]
PATTERN = Pattern.event("view").capture("item", "item").then("buy").build()
# Matches one start and leaves two as near misses.
WITHIN = Pattern.event("view").capture("item", "item").then("buy", within=15).build()
ARROW = pa.table(
    {
        "partition": [e.partition for e in EVENTS],
        "ts": [e.ts for e in EVENTS],
        "typ": [e.typ for e in EVENTS],
        "item": [e.attrs.get("item") for e in EVENTS],
    }
)


def fields(found):
    def event(e):
        return e.partition, e.ts, e.typ, e.attrs

    return [(f.partition, f.indices, f.captures, [event(e) for e in f.events]) for f in found]


def expected(function):
    """What the public function returns for the same events, with indices
    turned back into input positions."""
    ordered = sort_events(EVENTS)
    position = [next(i for i, e in enumerate(EVENTS) if repr(e) == repr(o)) for o in ordered]
    out = []
    for partition, indices, captures, events in fields(function(WITHIN, ordered)):
        out.append((partition, [position[i] for i in indices], captures, events))
    return out


@pytest.mark.parametrize(
    "native, public", [(core._match, match_events), (core._explain, near_miss_events)]
)
def test_results_are_what_the_public_functions_make(native, public):
    results = native(WITHIN, core._table_from_events(EVENTS))
    assert len(results) > 0
    assert fields(results) == expected(public)
    assert fields([results[-1]]) == fields([results[len(results) - 1]])
    last = len(results) - 1
    assert fields(results.take([last, 0])) == fields([results[last], results[0]])


def test_arrow_tables_and_their_results():
    table = core._table_from_arrow(ARROW, "partition", "ts", "typ", None, [])
    assert (len(table), table.types, table.time) == (5, ("buy", "view"), ("integer", "ns", ""))
    results = core._match(PATTERN, table)
    del table
    gc.collect()  # results keep their source alive
    assert [(m.indices, m.events[0].attrs) for m in results] == [
        ([1, 0], {"item": "a"}),
        ([3, 0], {"item": "c"}),
        ([2, 4], {"item": "b"}),
    ]
    assert pa.table(results).column("capture.item").to_pylist() == ["a", "c", "b"]
    with pytest.raises(ValueError, match="more than 1 matches; raise max_matches"):
        core._match(
            PATTERN, core._table_from_arrow(ARROW, "partition", "ts", "typ", None, []), False, 1
        )
    with pytest.raises(IndexError):
        results[3]
