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


# The native profiler's warning for a failed event carries the frame's locals
# as its last argument, formatted whole: tens of KB for a frame holding big
# values. ruvo's own front ends (the CLI, the pytest plugin) print it through
# this filter, which shortens that argument and leaves the record otherwise
# as it is.
_FAILED_EVENT_PREFIX = "Unexpected exception in Rust."
LOCALS_SHOWN_CHARS = 300


class ShortLocals:
    """A logging filter for the "ruvo" logger that shortens the locals of
    failed-event warnings to :data:`LOCALS_SHOWN_CHARS` characters."""

    def filter(self, record) -> bool:
        args = record.args
        if isinstance(record.msg, str) and record.msg.startswith(_FAILED_EVENT_PREFIX) \
                and isinstance(args, tuple) and len(args) == 4:
            record.args = (*args[:3], _shortened(args[3]))
        return True


def _shortened(value) -> str:
    import reprlib

    class Shortener(reprlib.Repr):
        def repr_int(self, x, level):
            # Huge ints cannot even be turned into text past a limit.
            return f"<int of {x.bit_length()} bits>" if x.bit_length() > 128 else super().repr_int(x, level)

    shortener = Shortener()
    shortener.maxstring = shortener.maxother = 80
    try:
        text = shortener.repr(value)
    except Exception as error:  # a value whose repr fails
        text = f"<locals not shown: {type(error).__name__}>"
    if len(text) > LOCALS_SHOWN_CHARS:
        text = text[: LOCALS_SHOWN_CHARS - 1] + "…"
    return text


def shorten_logged_locals() -> None:
    """Install :class:`ShortLocals` on the "ruvo" logger, once."""
    import logging

    logger = logging.getLogger("ruvo")
    if not any(isinstance(f, ShortLocals) for f in logger.filters):
        logger.addFilter(ShortLocals())
