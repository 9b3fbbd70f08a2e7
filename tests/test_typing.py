"""The stubs of the native modules agree with the built modules, and the
installed package, and code using it, pass `mypy --strict`.

Everything runs against the installed package: mypy is started in a scratch
directory, so it finds kestrel, its stubs and py.typed where pip put them."""

from __future__ import annotations

import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import kestrel

pytest.importorskip("mypy", reason="mypy is not installed")

HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "typing_sample.py"

# pandas and pyarrow are typed only when their stub packages are installed;
# whether they are is a matter of the environment, not of this package.
MYPY_CONFIG = """\
[mypy]
strict = True
cache_dir = {cache}

[mypy-pandas.*,pyarrow.*]
ignore_missing_imports = True
"""

# Misuse that the stubs must reject: (name, code, mypy error code).
MISUSE = [
    ("float_timestamp", 'Event("p", 1.5, "a")', "call-overload"),
    ("list_attribute", 'Event("p", 1, "a", {"x": [1]})', "dict-item"),
    ("text_window", 'Pattern.event("a").then("b", within="5")', "arg-type"),
    ("list_literal", 'Pattern.event("a").where_eq("x", [1])', "arg-type"),
    ("text_to_low_level", 'match_events("a -> b", [])', "arg-type"),
    ("pretty_none", 'parse_pattern("a").to_json(pretty=None)', "arg-type"),
    ("exhaustive_by_position", 'match("a", [], True)', "call-arg"),
    ("explain_is_never_exhaustive", 'explain("a", [], exhaustive=True)', "call-arg"),
    ("read_only_property", "match_events(parse_pattern('a'), [])[0].indices = []", "misc"),
    ("capture_may_be_any_value", "user: str = match('a', [])[0].captures['u']", "assignment"),
    ("final_class", "class Mine(Event): ...", "misc"),
]


def run_module(module: str, *args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", module, *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=600,
    )


@pytest.fixture(scope="module")
def workdir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A scratch directory with the mypy configuration and the misuse files."""
    path = tmp_path_factory.mktemp("typing")
    (path / "mypy.ini").write_text(MYPY_CONFIG.format(cache=path / "cache"))
    for name, code, _ in MISUSE:
        (path / f"misuse_{name}.py").write_text(
            "from kestrel import Event, Pattern, explain, match, match_events, parse_pattern\n"
            + code
            + "\n"
        )
    return path


@pytest.fixture(scope="module")
def usage_errors(workdir: Path) -> dict[str, list[str]]:
    """One mypy run over the sample and the misuse files: error lines by file."""
    files = [str(SAMPLE), *sorted(str(p) for p in workdir.glob("misuse_*.py"))]
    result = run_module("mypy", "--config-file", "mypy.ini", *files, cwd=workdir)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors: dict[str, list[str]] = {}
    for line in result.stdout.splitlines():
        if ": error: " in line:
            errors.setdefault(Path(line.split(":", 1)[0]).stem, []).append(line)
    return errors


def test_installed_package_ships_its_types() -> None:
    package = Path(kestrel.__file__).parent
    for name in ("py.typed", "_core.pyi"):
        assert (package / name).is_file(), name


def test_stubs_match_the_native_modules(workdir: Path) -> None:
    result = run_module(
        "mypy.stubtest",
        "--mypy-config-file",
        "mypy.ini",
        "kestrel._core",
        cwd=workdir,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_passes_strict(workdir: Path) -> None:
    result = run_module("mypy", "--config-file", "mypy.ini", "-p", "kestrel", cwd=workdir)
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_sample_passes_strict(usage_errors: dict[str, list[str]]) -> None:
    assert usage_errors.get(SAMPLE.stem, []) == []


@pytest.mark.parametrize(("name", "code", "error_code"), MISUSE, ids=[m[0] for m in MISUSE])
def test_misuse_is_rejected(
    usage_errors: dict[str, list[str]], name: str, code: str, error_code: str
) -> None:
    errors = usage_errors.get(f"misuse_{name}", [])
    assert errors, f"mypy accepted: {code}"
    assert all(f"[{error_code}]" in line for line in errors), errors


def test_usage_sample_runs() -> None:
    pytest.importorskip("numpy")
    runpy.run_path(str(SAMPLE), run_name="__main__")
