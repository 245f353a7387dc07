"""Turn arbitrary Python values into MessagePack for traces, and read them back.

The profiler calls :func:`dump_msgpack` (or :func:`dump_msgpack_lightweight_repr`)
for every recorded call and return, once for the argument or return value and
once for the frame's locals. Both are the native encoders of
``ruvo._serialize``; they return, for *any* Python value, ``bytes`` holding
exactly one complete MessagePack value, and only ``KeyboardInterrupt`` and
``MemoryError`` escape.

Values are read from their state, never through the program's code: an
object is its type name and its attributes (its ``__slots__`` and instance
dict), so no ``__repr__``, property, ``__getattr__`` or ``__len__`` runs while
a value is recorded. ``configure(use_repr=True)`` brings back ``repr()`` of
objects, which runs the program's code. ``docs/values.md`` describes the
format; the extension codes and default bounds come from the native module.

:func:`loads` (from :mod:`ruvo.decode`) reads these values, or whole trace
documents, back into plain Python objects, with the extension types as small
marker classes.
"""

from __future__ import annotations

from . import _serialize

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "configure",
    "loads",
    "Repr",
    "Opaque",
    "Recursion",
    "Omitted",
    "Clipped",
    "TooDeep",
    "Dropped",
    "Failed",
    "Object",
    "Typed",
    "Named",
    "EnumMember",
    "Budget",
    "MAX_ITEMS",
    "MAX_DEPTH",
    "MAX_STR_BYTES",
    "MAX_TOTAL_BYTES",
    "MAX_REPR_CHARS",
    "OBJECT_DEPTH",
    "LIGHT_MAX_ITEMS",
    "LIGHT_MAX_STR",
]

# The format's extension codes, as the reader names them (re-exported).
from .decode import (  # noqa: E402, F401
    EXT_BIGINT,
    EXT_BUDGET,
    EXT_CLIPPED,
    EXT_CODES,
    EXT_DROPPED,
    EXT_ENUM,
    EXT_FAILED,
    EXT_NAMED,
    EXT_OBJECT,
    EXT_OMITTED,
    EXT_OPAQUE,
    EXT_RECURSION,
    EXT_REPR,
    EXT_TOO_DEEP,
    EXT_TYPED,
)

DEFAULT_LIMITS: dict[str, int] = dict(_serialize.DEFAULT_LIMITS)

# configure()'s keywords, and the module constants that mirror them.
_LIMITS = {
    "max_items": "MAX_ITEMS",
    "max_depth": "MAX_DEPTH",
    "max_str_bytes": "MAX_STR_BYTES",
    "max_total_bytes": "MAX_TOTAL_BYTES",
    "max_repr_chars": "MAX_REPR_CHARS",
    "light_max_items": "LIGHT_MAX_ITEMS",
    "light_max_str": "LIGHT_MAX_STR",
    "object_depth": "OBJECT_DEPTH",
    "use_repr": "USE_REPR",
}
_LIMIT_MAX = (1 << 31) - 1
_DROP_LEN = 3  # a DROPPED marker: c7 00 08

LIMIT_NAMES = tuple(_LIMITS)

MAX_ITEMS = DEFAULT_LIMITS["max_items"]
MAX_DEPTH = DEFAULT_LIMITS["max_depth"]
MAX_STR_BYTES = DEFAULT_LIMITS["max_str_bytes"]
MAX_TOTAL_BYTES = DEFAULT_LIMITS["max_total_bytes"]
MAX_REPR_CHARS = DEFAULT_LIMITS["max_repr_chars"]
LIGHT_MAX_ITEMS = DEFAULT_LIMITS["light_max_items"]
LIGHT_MAX_STR = DEFAULT_LIMITS["light_max_str"]
OBJECT_DEPTH = DEFAULT_LIMITS["object_depth"]
USE_REPR = bool(DEFAULT_LIMITS["use_repr"])

dump_msgpack = _serialize.dump_msgpack
dump_msgpack_lightweight_repr = _serialize.dump_msgpack_lightweight_repr


def _current_limits() -> dict[str, int]:
    return {key: int(globals()[name]) for key, name in _LIMITS.items()}


def configure(**limits: int) -> dict[str, int]:
    """Change the bounds of both encoders (keywords: ``max_items``,
    ``max_depth``, ``max_str_bytes``, ``max_total_bytes``, ``max_repr_chars``,
    ``light_max_items``, ``light_max_str``, ``object_depth``) and whether
    objects are written by ``repr()`` (``use_repr``, which runs the program's
    code); returns the previous settings, which ``configure(**previous)``
    restores. They hold for the whole process."""
    unknown = sorted(set(limits) - set(_LIMITS))
    if unknown:
        raise TypeError(f"configure() got unknown limits: {', '.join(unknown)}")
    for key, value in limits.items():
        if key == "use_repr" and type(value) is bool:
            continue
        if type(value) is not int or not 0 <= value <= _LIMIT_MAX:
            raise ValueError(f"{key} must be an int between 0 and {_LIMIT_MAX}, not {value!r}")
    if limits.get("max_total_bytes", _DROP_LEN) < _DROP_LEN:
        raise ValueError(f"max_total_bytes must be at least {_DROP_LEN}")
    previous = _current_limits()
    new = {**previous, **{key: int(value) for key, value in limits.items()}}
    _serialize.set_limits(**new)
    for key, value in new.items():
        globals()[_LIMITS[key]] = bool(value) if key == "use_repr" else value
    return previous


_serialize.set_limits(**_current_limits())


# --- reading -----------------------------------------------------------------
# The decoder lives in ruvo.decode; its names stay importable from here.

from .decode import (  # noqa: E402
    Budget,
    Clipped,
    Dropped,
    EnumMember,
    Failed,
    Named,
    Object,
    Omitted,
    Opaque,
    Recursion,
    Repr,
    TooDeep,
    Typed,
    loads,
)
