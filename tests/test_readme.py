"""Every example of the README runs and prints what the README shows.

The ```python blocks run in order in one shared namespace, as in a session
(later examples may use names defined earlier). A ```text block right after a
```python block, with only blank lines between, is that example's exact
output. Examples that import pandas, pyarrow or polars are skipped when the
library is missing.

In ```console blocks, each `$ ` line (continued by a trailing backslash) is a
shell command and the lines up to the next one its exact output, standard
error included; `kestrel` runs this interpreter's `python -m kestrel`. The
commands run in a directory holding the README's files: blocks whose info
string carries `file=NAME`."""

from __future__ import annotations

import contextlib
import importlib
import io
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```([\w-]*)([^\n]*)\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
FILE_NAME = re.compile(r"\bfile=(\S+)")
OPTIONAL_IMPORT = re.compile(r"^\s*(?:import|from)\s+(pandas|pyarrow|polars)\b", re.MULTILINE)


@dataclass(frozen=True)
class Example:
    line: int  # of the first code line in the README
    code: str
    output: str | None


def examples(text: str) -> list[Example]:
    fences = list(FENCE.finditer(text))
    found = []
    for fence, after in zip(fences, [*fences[1:], None]):
        if fence.group(1) != "python":
            continue
        output = None
        if after is not None and after.group(1) == "text":
            if text[fence.end() : after.start()].strip() == "":
                output = after.group(3)
        found.append(Example(_line_of(text, fence), fence.group(3), output))
    return found


@dataclass(frozen=True)
class Command:
    line: int
    command: str
    output: str


def commands(text: str) -> list[Command]:
    found: list[tuple[int, list[str], list[str]]] = []
    for fence in FENCE.finditer(text):
        if fence.group(1) != "console":
            continue
        first = _line_of(text, fence)
        command: list[str] = []
        for offset, row in enumerate(fence.group(3).splitlines(keepends=True)):
            if command and command[-1].rstrip("\n").endswith("\\"):
                command.append(row)
            elif row.startswith("$ "):
                command = [row[2:]]
                found.append((first + offset, command, []))
            else:
                found[-1][2].append(row)
    return [Command(line, "".join(command), "".join(output)) for line, command, output in found]


def files(text: str) -> dict[str, str]:
    named = {}
    for fence in FENCE.finditer(text):
        name = FILE_NAME.search(fence.group(2))
        if name:
            named[name.group(1)] = fence.group(3)
    return named


def _line_of(text: str, fence: re.Match[str]) -> int:
    return text.count("\n", 0, fence.start(3)) + 1


TEXT = README.read_text(encoding="utf-8")
EXAMPLES = examples(TEXT)
COMMANDS = commands(TEXT)


@dataclass
class Session:
    """Runs the examples in README order, each once, in one namespace."""

    namespace: dict[str, Any] = field(default_factory=lambda: {"__name__": "__readme__"})
    done: int = 0

    def run(self, index: int) -> str:
        while self.done < index:
            with contextlib.suppress(pytest.skip.Exception):
                self._execute(EXAMPLES[self.done])
        return self._execute(EXAMPLES[index])

    def _execute(self, example: Example) -> str:
        self.done += 1
        missing = [m for m in OPTIONAL_IMPORT.findall(example.code) if not _installed(m)]
        if missing:
            pytest.skip(f"needs {', '.join(missing)}")
        # Leading blank lines make tracebacks point at README line numbers.
        code = compile("\n" * (example.line - 1) + example.code, str(README), "exec")
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(code, self.namespace)
        return printed.getvalue()


def _installed(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


@pytest.fixture(scope="module")
def session() -> Session:
    return Session()


def test_readme_has_examples_with_outputs() -> None:
    assert len(EXAMPLES) >= 10
    assert sum(example.output is not None for example in EXAMPLES) >= 10


@pytest.mark.parametrize("index", range(len(EXAMPLES)), ids=[f"line{e.line}" for e in EXAMPLES])
def test_example_prints_what_the_readme_shows(session: Session, index: int) -> None:
    example = EXAMPLES[index]
    printed = session.run(index)
    if example.output is not None:
        assert printed == example.output


@pytest.fixture(scope="module")
def shell_dir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A directory with the README's files and a `kestrel` for this interpreter."""
    if shutil.which("bash") is None:
        pytest.skip("needs bash")
    path = tmp_path_factory.mktemp("readme")
    for name, content in files(TEXT).items():
        (path / name).write_text(content, encoding="utf-8")
    shim = path / "bin" / "kestrel"
    shim.parent.mkdir()
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m kestrel "$@"\n')
    shim.chmod(0o755)
    return path


def test_readme_has_commands() -> None:
    assert len(COMMANDS) >= 3


@pytest.mark.parametrize("index", range(len(COMMANDS)), ids=[f"line{c.line}" for c in COMMANDS])
def test_command_prints_what_the_readme_shows(shell_dir: Path, index: int) -> None:
    command = COMMANDS[index]
    env = {**os.environ, "PATH": f"{shell_dir / 'bin'}{os.pathsep}{os.environ.get('PATH', '')}"}
    result = subprocess.run(
        ["bash", "-c", command.command],
        cwd=shell_dir,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=120,
    )
    assert result.stdout == command.output
