"""The progress display while events are read: tqdm on standard error,
shown only once reading has taken half a second, and cleared at the end."""

from __future__ import annotations

import importlib
from typing import IO, Any

LARGE_INPUT_BYTES = 4 << 20
_DELAY = 0.5
_INTERVAL = 0.2


def progress_for(stream: IO[str] | None, total: int | None, enabled: bool | None) -> Any:
    """A bar over `total` bytes of input (None: unknown, as for a pipe, when
    it counts events). `enabled` True forces a bar, False hides it; None
    shows one when `stream` is a terminal and the input is not a small file."""
    if enabled is None:
        small = total is not None and total < LARGE_INPUT_BYTES
        enabled = stream is not None and not small and stream.isatty()
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return _Silent()
    return tqdm(
        file=stream,
        total=total,
        unit="B" if total else " events",
        unit_scale=True,
        desc="kestrel: reading",
        delay=_DELAY,
        mininterval=_INTERVAL,
        leave=False,
        disable=not enabled,
    )


class _Silent:
    """What stands in for a bar without tqdm: it shows nothing."""

    def update(self, amount: int) -> None:
        pass

    def close(self) -> None:
        pass
