import subprocess
import sys

import pytest

import kestrel._core as core


def test_only_pyinit_is_exported():
    nm = subprocess.run(
        ["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True
    )
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__core"]
    assert ".abi3." in core.__file__


def test_sub_interpreters_are_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        with pytest.raises(
            si.RunFailedError, match="ImportError.*does not support sub-interpreters"
        ):
            si.run_string(interp, "import kestrel._core")
    finally:
        si.destroy(interp)


def test_repeated_initialisation_returns_the_same_module():
    code = (
        "import importlib.util, sys, kestrel._core as a\n"
        "found = importlib.util.find_spec('kestrel._core')\n"
        "b = importlib.util.module_from_spec(found)\n"
        "assert b is a, (a, b)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
