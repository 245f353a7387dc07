"""Reading back what :mod:`ruvo.serialize` writes: single values or whole
trace documents, with its extension types as small marker classes.

The extension codes come from the native module, where the format is
defined once (docs/values.md describes it).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import msgpack
from msgpack import ExtType

from ._serialize import EXT_CODES

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
    "Object",
    "Typed",
    "Named",
    "EnumMember",
    "Budget",
]

EXT_REPR = EXT_CODES["REPR"]
EXT_BIGINT = EXT_CODES["BIGINT"]
EXT_OPAQUE = EXT_CODES["OPAQUE"]
EXT_RECURSION = EXT_CODES["RECURSION"]
EXT_OMITTED = EXT_CODES["OMITTED"]
EXT_CLIPPED = EXT_CODES["CLIPPED"]
EXT_TOO_DEEP = EXT_CODES["TOO_DEEP"]
EXT_DROPPED = EXT_CODES["DROPPED"]
EXT_FAILED = EXT_CODES["FAILED"]
EXT_OBJECT = EXT_CODES["OBJECT"]
EXT_TYPED = EXT_CODES["TYPED"]
EXT_NAMED = EXT_CODES["NAMED"]
EXT_ENUM = EXT_CODES["ENUM"]
EXT_BUDGET = EXT_CODES["BUDGET"]


def _short(type_name: str) -> str:
    """``shop.models.Account`` as ``Account``: the rendering is compact."""
    return type_name.rsplit(".", 1)[-1]


def _frozen(value: object) -> object:
    """A hashable form of a decoded value, equal where the values are equal:
    a recorded dict may be keyed by objects and tuple subclasses (a
    namedtuple, a cache's key), which decode as markers holding lists and
    dicts."""
    if isinstance(value, (list, tuple)):
        return tuple(map(_frozen, value))
    if isinstance(value, dict):
        return frozenset((key, _frozen(item)) for key, item in value.items())
    if isinstance(value, set):
        return frozenset(value)
    return value


def _item_text(value: object) -> str:
    return repr(value)


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


@dataclass(frozen=True, slots=True)
class Object:
    """An object written as its type name and its own attributes (slots and
    instance dict), read without running any of its code."""

    type_name: str
    attributes: dict

    def __hash__(self) -> int:
        return hash((self.type_name, _frozen(self.attributes)))

    def __repr__(self) -> str:
        parts = []
        for name, value in self.attributes.items():
            parts.append(str(name) if isinstance(name, Omitted) else f"{name}={value!r}")
        return f"{_short(self.type_name)}({', '.join(parts)})"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Typed:
    """A builtin container or scalar of a given type: a subclass's instance
    (a namedtuple, an OrderedDict, an int subclass), or a set whose items
    cannot make a Python set again."""

    type_name: str
    value: object

    def __hash__(self) -> int:
        return hash((self.type_name, _frozen(self.value)))

    def __repr__(self) -> str:
        v = self.value
        if isinstance(v, list):
            inner = ", ".join(map(repr, v))
            if self.type_name in ("set", "frozenset"):
                inner = "{" + inner + "}"
            return f"{_short(self.type_name)}({inner})"
        return f"{_short(self.type_name)}({v!r})"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Named:
    """A function, class, module or method, by name (kind is one of
    ``function``, ``class``, ``module``, ``method``, ``builtin``)."""

    kind: str
    name: str

    def __repr__(self) -> str:
        return f"<{self.kind} {self.name}>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class EnumMember:
    """An enum member, by its class and name."""

    type_name: str
    name: str

    def __repr__(self) -> str:
        return f"{_short(self.type_name)}.{self.name}"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class Budget:
    """A value left out because the trace reached its budget."""

    def __repr__(self) -> str:
        return "<left out: trace budget>"

    __str__ = __repr__


class Tuple(tuple):
    """A recorded tuple: a tuple, told apart from the arrays that streaming
    readers also read as tuples."""

    __slots__ = ()


def _typed(type_name: str, value: object) -> object:
    # Exact tuples, sets and frozensets read back as themselves.
    try:
        if type(value) is list:
            if type_name == "tuple":
                return Tuple(value)
            if type_name == "set":
                return set(value)
            if type_name == "frozenset":
                return frozenset(value)
    except TypeError:  # unhashable items
        pass
    return Typed(type_name, value)


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
        elif code in (EXT_OBJECT, EXT_TYPED, EXT_NAMED, EXT_ENUM):
            p = _nested(data)
            if type(p) is list and len(p) == 2 and type(p[0]) is str:
                if code == EXT_OBJECT and type(p[1]) is dict:
                    return Object(p[0], p[1])
                if code == EXT_TYPED:
                    return _typed(p[0], p[1])
                if code == EXT_NAMED and type(p[1]) is str:
                    return Named(p[0], p[1])
                if code == EXT_ENUM and type(p[1]) is str:
                    return EnumMember(p[0], p[1])
        elif code == EXT_BUDGET and not data:
            return Budget()
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


def _nested(data: bytes) -> object:
    # A payload holding values of its own: decoded with the same hooks.
    return loads(data)


def _hashable(k: object) -> object:
    if type(k) is list:
        return tuple(_hashable(x) for x in k)
    if type(k) is dict:
        return tuple((_hashable(a), _hashable(b)) for a, b in k.items())
    if type(k) in (set, Typed, Object):
        return repr(k)
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


# --- and back: decoded values in the serialiser's encoding again, for
# readers (the viewer's page) that hand values on as bytes.


def _ext(code: int, payload: object) -> ExtType:
    return ExtType(code, pack_value(payload))


def _pack_marker(value: Any) -> object:
    """The serialiser's extension type for a decoded marker (or big int):
    the inverse of _ext_hook."""
    t = type(value)
    if t is Repr:
        parts = [value.type_name, value.text]
        if value.original_length is not None:
            parts.append(value.original_length)
        return _ext(EXT_REPR, parts)
    if t is int:
        return ExtType(EXT_BIGINT, str(value).encode("ascii"))
    if t is Opaque:
        return _ext(EXT_OPAQUE, value.type_name)
    if t is Recursion:
        return _ext(EXT_RECURSION, value.type_name)
    if t is Omitted:
        return _ext(EXT_OMITTED, value.count)
    if t is Clipped:
        return _ext(EXT_CLIPPED, [value.prefix, value.original_length])
    if t is TooDeep:
        return _ext(EXT_TOO_DEEP, [value.type_name, value.length])
    if t is Object:
        return _ext(EXT_OBJECT, [value.type_name, value.attributes])
    if t is Typed:
        return _ext(EXT_TYPED, [value.type_name, value.value])
    if t is Tuple:
        return _ext(EXT_TYPED, ["tuple", list(value)])
    if t is set or t is frozenset:
        return _ext(EXT_TYPED, [t.__name__, list(value)])
    if t is tuple:  # an array that a streaming reader read as a tuple
        return list(value)
    if t is Named:
        return _ext(EXT_NAMED, [value.kind, value.name])
    if t is EnumMember:
        return _ext(EXT_ENUM, [value.type_name, value.name])
    if t is Budget:
        return ExtType(EXT_BUDGET, b"")
    if t is Dropped:
        return ExtType(EXT_DROPPED, b"")
    if t is Failed:
        return ExtType(EXT_FAILED, b"")
    return _ext(EXT_REPR, [type(value).__name__, repr(value)])


def new_packer() -> msgpack.Packer:
    """A packer for pack_value. Strict types: tuples and sets reach
    _pack_marker and keep their kind."""
    return msgpack.Packer(default=_pack_marker, use_bin_type=True, strict_types=True)


def pack_value(value: object, packer: msgpack.Packer | None = None) -> bytes:
    """A decoded trace value in the serialiser's encoding again."""
    try:
        return (packer or new_packer()).pack(value)
    except ValueError:  # nested deeper than msgpack's C packer goes
        return _pack_nested(value, new_packer())


def _pack_nested(value: object, packer: msgpack.Packer) -> bytes:
    """pack_value without recursion, for values nested as deep as the
    serialiser writes them."""
    out = []
    stack = [value]
    while stack:
        item: Any = stack.pop()
        t = type(item)
        if t is dict:
            out.append(packer.pack_map_header(len(item)))
            for key, entry in reversed(list(item.items())):
                stack.append(entry)
                stack.append(key)
        elif t is list:
            out.append(packer.pack_array_header(len(item)))
            stack.extend(reversed(item))
        else:
            out.append(packer.pack(item))
    return b"".join(out)
