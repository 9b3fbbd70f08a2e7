"""A byte stream read through once, its first bytes kept to read again, its
last bytes kept to look at once it is done, and one word counted: what the
text readers need to tell an empty input, a CSV input's last cell and a JSON
input's infinities from their bytes."""

from __future__ import annotations

from typing import Any


class Recorded:
    """A byte stream read through, keeping its first bytes to read again
    and its last bytes to look at once it is done."""

    def __init__(self, stream: Any, head_bytes: int, tail_bytes: int, counted: bytes = b"") -> None:
        self._counted = counted
        self.count = 0  # how often `counted` occurs in the bytes read so far
        self._last = b""
        self._stream = stream
        self.head = bytes(stream.read(head_bytes))
        self.empty = len(self.head) < head_bytes and not self.head.strip()
        self._unread = self.head
        self._tail_bytes = tail_bytes
        self.tail = b""
        self.total = 0
        self.closed = False

    def read(self, size: int = -1) -> bytes:
        # All that is asked for, as a file gives it: the readers cut their
        # blocks by what they read, and type the columns from the first.
        data = self._unread if size < 0 else self._unread[:size]
        self._unread = self._unread[len(data) :]
        if size < 0 or len(data) < size:
            data += bytes(self._stream.read(-1 if size < 0 else size - len(data)))
        self.total += len(data)
        if self._counted:
            # With the previous read's last bytes, which cannot hold a whole
            # occurrence alone, so that none across two reads is missed.
            self.count += (self._last + data).count(self._counted)
            self._last = data[-len(self._counted) + 1 :]
        if self._tail_bytes:
            self.tail = (self.tail + data)[-self._tail_bytes :]
        return data

    def close(self) -> None:
        self.closed = True
