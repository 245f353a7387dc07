"""Small helpers shared by ruvo's Python modules."""

from __future__ import annotations

import os
import time

# Crockford's base32: no I, L, O or U, so ids read back unambiguously.
ULID_ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"

_MS_MASK = (1 << 48) - 1


def new_ulid(timestamp_ms: int | None = None) -> str:
    """A 26-character ULID: 48 bits of milliseconds since the epoch, then 80
    random bits, in Crockford base32, so ids sort by creation time (to the
    millisecond) as plain strings."""
    if timestamp_ms is None:
        timestamp_ms = time.time_ns() // 1_000_000
    value = (timestamp_ms & _MS_MASK) << 80 | int.from_bytes(os.urandom(10), "big")
    chars = [""] * 26
    for i in range(25, -1, -1):
        chars[i] = ULID_ALPHABET[value & 31]
        value >>= 5
    return "".join(chars)


def new_trace_id() -> str:
    """A fresh trace id, e.g. ``trc_01J9ZQ4V8M3C2B6W0F5X7K9T1R``."""
    return "trc_" + new_ulid()
