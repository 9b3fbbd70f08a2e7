"""kestrel.dask against one kestrel call over the same events."""

import dask.dataframe as dd
import pyarrow as pa
import pytest
from cluster_cases import PATTERN, case_params, events, expected, records, refusal_params

import kestrel.dask


def frame(table, chunks=5):
    return dd.from_pandas(table.to_pandas(), npartitions=chunks)


def rows(kind, result):
    table = pa.Table.from_pandas(result.compute(), preserve_index=False)
    return table.to_pylist() if kind == "funnel" else records(table.to_pylist())


@case_params
def test_equals_one_call(kind, pattern, options, table):
    result = getattr(kestrel.dask, kind)(pattern, frame(table), order="eid", **options)
    assert rows(kind, result) == expected(kind, table, options)


@pytest.mark.parametrize("kind", ["match", "explain"])
def test_no_rows_keep_the_declared_schema(kind):
    call = getattr(kestrel.dask, kind)
    found = call(PATTERN, frame(events()), order="eid")
    none = call(PATTERN.replace("x[", "never["), frame(events()), order="eid")
    computed = none.compute()
    assert len(computed) == 0 and found.npartitions > 1
    assert dict(computed.dtypes) == dict(found.compute().dtypes) == dict(none.dtypes)


@refusal_params
def test_refused(options, error, message):
    with pytest.raises(error, match=message):
        kestrel.dask.match(PATTERN, frame(events()), **options).compute()


def test_refuses_other_frames():
    with pytest.raises(TypeError, match="expected a Dask DataFrame, not Table"):
        kestrel.dask.match(PATTERN, events(), order="eid")
