"""kestrel.spark against one kestrel call over the same events, on a local
Spark whose Arrow batches are small enough that partitions straddle them."""

import os
import sys

import pytest
from cluster_cases import PATTERN, case_params, events, expected, records, refusal_params
from pyspark.errors import PythonException
from pyspark.sql import SparkSession

import kestrel.spark


@pytest.fixture(scope="module")
def spark():
    # The workers must import this interpreter's kestrel.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    builder = (
        SparkSession.builder.master("local[2]")
        .config("spark.sql.shuffle.partitions", "3")
        .config("spark.sql.execution.arrow.maxRecordsPerBatch", "16")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
    )
    # A preloaded sanitizer runtime (scripts/test's sanitized run) stalls the
    # JVM; only the Python workers, which load the sanitized engine, need it.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        if preload:
            builder = builder.config("spark.executorEnv.LD_PRELOAD", preload)
        session = builder.getOrCreate()
    finally:
        if preload:
            os.environ["LD_PRELOAD"] = preload
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def rows(kind, result):
    table = result.toArrow()
    return table.to_pylist() if kind == "funnel" else records(table.to_pylist())


@case_params
def test_equals_one_call(spark, kind, pattern, options, table):
    frame = spark.createDataFrame(table)
    result = getattr(kestrel.spark, kind)(pattern, frame, order="eid", **options)
    assert rows(kind, result) == expected(kind, table, options)


@pytest.mark.parametrize("kind", ["match", "explain"])
def test_no_rows_keep_the_declared_schema(spark, kind):
    call = getattr(kestrel.spark, kind)
    frame = spark.createDataFrame(events())
    found = call(PATTERN, frame, order="eid")
    none = call(PATTERN.replace("x[", "never["), frame, order="eid")
    assert none.count() == 0 and found.count() > 0
    assert none.schema == found.schema
    assert none.toArrow().schema == found.toArrow().schema


@refusal_params
def test_refused(spark, options, error, message):
    # Ties are found on the workers, whose errors Spark wraps.
    with pytest.raises((error, PythonException), match=message):
        kestrel.spark.match(PATTERN, spark.createDataFrame(events()), **options).count()


def test_refuses_other_frames():
    with pytest.raises(TypeError, match="expected a Spark DataFrame, not Table"):
        kestrel.spark.match(PATTERN, events(), order="eid")
