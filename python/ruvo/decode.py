"""Reading back what :mod:`ruvo.serialize` writes: single values or whole
trace documents, with its extension types as small marker classes.

The extension codes are the wire format shared with the encoder; they are
repeated here so that reading traces never needs the encoder (a test keeps
the two tables equal).
"""

from __future__ import annotations

from dataclasses import dataclass

import msgpack
from msgpack import ExtType

__all__ = [
    "loads",
    "Repr",
    "Opaque",
    "Recursion",
    "Omitted",
    "Clipped",
    "TooDeep",
    "Dropped",
    "Failed",
]

EXT_REPR = 1
EXT_BIGINT = 2
EXT_OPAQUE = 3
EXT_RECURSION = 4
EXT_OMITTED = 5
EXT_CLIPPED = 6
EXT_TOO_DEEP = 7
EXT_DROPPED = 8
EXT_FAILED = 9


@dataclass(frozen=True, slots=True)
class Repr:
    """An object written as its type name and ``repr()`` text."""

    type_name: str
    text: str
    original_length: int | None = None

    def __repr__(self) -> str:
        cut = "…" if self.original_length is not None else ""
        return f"<{self.type_name}: {self.text}{cut}>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Opaque:
    """An object written by its type name alone."""

    type_name: str

    def __repr__(self) -> str:
        return f"<{self.type_name}>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Recursion:
    """A container that contained itself."""

    type_name: str

    def __repr__(self) -> str:
        return f"<recursive {self.type_name}>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Omitted:
    """Stands for the items of a container that were left out."""

    count: int

    def __repr__(self) -> str:
        return f"<{self.count} more>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Clipped:
    """The start of a str or bytes that was too long, and its full length."""

    prefix: str | bytes
    original_length: int

    def __repr__(self) -> str:
        unit = "chars" if isinstance(self.prefix, str) else "bytes"
        return f"{self.prefix!r}… ({self.original_length} {unit})"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class TooDeep:
    """A container nested too deep to be written."""

    type_name: str
    length: int

    def __repr__(self) -> str:
        return f"<{self.type_name} of {self.length} items, nested too deep>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Dropped:
    """A value left out because the output reached its size limit."""

    def __repr__(self) -> str:
        return "<dropped: size limit>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Failed:
    """A value that could not be serialised at all."""

    def __repr__(self) -> str:
        return "<serialisation failed>"

    __str__ = __repr__


def _payload(data: bytes) -> object:
    return msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace")


def _ext_hook(code: int, data: bytes) -> object:
    # A malformed payload (e.g. a user's own ExtType) stays a raw ExtType
    # rather than failing the whole document.
    try:
        if code == EXT_REPR:
            p = _payload(data)
            if type(p) is list and len(p) in (2, 3) and type(p[0]) is str and type(p[1]) is str:
                if len(p) == 2:
                    return Repr(p[0], p[1])
                if type(p[2]) is int:
                    return Repr(p[0], p[1], p[2])
        elif code == EXT_BIGINT:
            return int(data.decode("ascii"), 0)
        elif code == EXT_OPAQUE:
            p = _payload(data)
            if type(p) is str:
                return Opaque(p)
        elif code == EXT_RECURSION:
            p = _payload(data)
            if type(p) is str:
                return Recursion(p)
        elif code == EXT_OMITTED:
            p = _payload(data)
            if type(p) is int:
                return Omitted(p)
        elif code == EXT_CLIPPED:
            p = _payload(data)
            if type(p) is list and len(p) == 2 and type(p[0]) in (str, bytes) and type(p[1]) is int:
                return Clipped(p[0], p[1])
        elif code == EXT_TOO_DEEP:
            p = _payload(data)
            if type(p) is list and len(p) == 2 and type(p[0]) is str and type(p[1]) is int:
                return TooDeep(p[0], p[1])
        elif code == EXT_DROPPED and not data:
            return Dropped()
        elif code == EXT_FAILED and not data:
            return Failed()
    except Exception:
        pass
    if code == EXT_BIGINT:
        try:
            return Repr("int", data.decode("ascii", "replace"))
        except Exception:
            pass
    return ExtType(code, data)


def _hashable(k: object) -> object:
    if type(k) is list:
        return tuple(_hashable(x) for x in k)
    if type(k) is dict:
        return tuple((_hashable(a), _hashable(b)) for a, b in k.items())
    return k


def _pairs_to_dict(pairs: list) -> dict:
    return {_hashable(k): v for k, v in pairs}


def loads(data: bytes) -> object:
    """Decode bytes written by :mod:`ruvo.serialize`, or a whole trace document.

    Extension types become the marker classes of this module (big ints become
    ``int``); array keys become tuples.  Raises ``ValueError`` (or a subclass)
    for data that is not one complete MessagePack value.
    """
    options = dict(raw=False, strict_map_key=False, ext_hook=_ext_hook, unicode_errors="replace")
    try:
        return msgpack.unpackb(data, **options)
    except TypeError:
        # An unhashable key: build maps ourselves, with hashable keys.
        return msgpack.unpackb(data, object_pairs_hook=_pairs_to_dict, **options)
