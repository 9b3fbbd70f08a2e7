"""ISO-8601 timestamp text, read exactly to the nanosecond."""

from __future__ import annotations

import re
from datetime import datetime, timezone

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
# Sub-second digits of hh:mm:ss or of the basic form Thhmmss; datetime keeps only
# microseconds, so the fraction is read separately to keep nanoseconds.
_FRACTION = re.compile(r"(?:(?<=\d\d:\d\d:\d\d)|(?<=[T ]\d{6}))[.,](\d+)", re.ASCII)


def parse_timestamp(text: str) -> int:
    """Nanoseconds since the Unix epoch for an ISO-8601 date or date-time,
    read exactly to the nanosecond; a time without offset is UTC."""
    moment, nanos = _read(text)
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    delta = moment - _EPOCH
    result = (delta.days * 86_400 + delta.seconds) * 1_000_000_000 + nanos
    if not _INT64_MIN <= result <= _INT64_MAX:
        raise ValueError(f"{text!r} is out of range (64-bit nanoseconds span 1677 to 2262)")
    return result


def has_offset(text: str) -> bool:
    """Whether an ISO-8601 text that parse_timestamp reads gives its offset."""
    return _read(text)[0].tzinfo is not None


def _read(text: str) -> tuple[datetime, int]:
    """The date-time to the second, and its nanoseconds."""
    stripped = text.strip()
    fraction = _FRACTION.search(stripped)
    nanos = 0
    if fraction is not None:
        digits = fraction.group(1)
        if len(digits) > 9:
            raise ValueError(f"{text!r} is finer than nanoseconds")
        nanos = int(digits.ljust(9, "0"))
        stripped = stripped[: fraction.start()] + stripped[fraction.end() :]
    try:
        return datetime.fromisoformat(stripped), nanos
    except ValueError:
        raise ValueError(f"{text!r} is neither an integer nor an ISO-8601 timestamp") from None
