"""Optional dependencies, imported on first use."""

from __future__ import annotations

import importlib
from typing import Any

_EXTRAS = {"pandas": "pandas", "pyarrow": "arrow", "polars": "polars", "matplotlib": "plot"}


def optional(name: str) -> Any:
    """Import `name`, or raise ImportError saying which extra provides it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        package = name.partition(".")[0]
        extra = _EXTRAS.get(package)
        hint = f"; install it with pip install 'kestrel[{extra}]'" if extra else ""
        raise ImportError(f"this needs {package}, which is not installed{hint}") from error
