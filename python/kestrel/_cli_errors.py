"""The command line's error type, and its one dependency beyond the library."""

from __future__ import annotations

import importlib
import sys
from typing import Any

# pyarrow.json.open_json, the streaming JSON Lines reader, came in pyarrow 19.
PYARROW_FLOOR = (19, 0)


class CliError(Exception):
    """A failure in the user's input, reported as one line with exit code 1."""


def require_pyarrow(submodule: str = "") -> Any:
    """pyarrow (or one of its modules), or a CliError saying how to get it."""
    hint = "install it with pip install 'kestrel[cli]'"
    try:
        pa = importlib.import_module("pyarrow")
    except ImportError:
        raise CliError(f"reading events needs pyarrow, which is not installed; {hint}") from None
    version = tuple(int(part) for part in pa.__version__.split(".")[:2])
    if version < PYARROW_FLOOR:
        floor = ".".join(map(str, PYARROW_FLOOR))
        raise CliError(
            f"reading events needs pyarrow {floor} or later, not {pa.__version__}; {hint}"
        )
    return importlib.import_module(f"pyarrow.{submodule}") if submodule else pa


def say(message: str) -> None:
    """One line on standard error, in the command's own voice."""
    if sys.stderr is not None:
        print("kestrel: " + " ".join(message.splitlines()), file=sys.stderr)
