"""Turn arbitrary Python values into MessagePack for traces, and read them back.

The profiler calls :func:`dump_msgpack` (or :func:`dump_msgpack_lightweight_repr`)
from inside the interpreter's profile hook for every recorded call and return,
once for the argument or return value and once for the frame's locals.  So both
functions are on the hot path, and both must return, for *any* Python value,
``bytes`` holding exactly one complete MessagePack value: the native side
embeds those bytes verbatim into larger documents, so anything else would
corrupt the whole trace.  Only ``KeyboardInterrupt`` and ``MemoryError`` may
escape.

Encoding
--------
``None``, ``bool``, ``int`` (64-bit range), ``float``, ``str`` and ``bytes``
(``bytearray`` and contiguous ``memoryview`` too) are stored natively, strings
as UTF-8 ``str`` and bytes as ``bin``.  ``list``, ``tuple``, ``set``,
``frozenset`` and their subclasses (namedtuples included) become arrays;
``dict``, its subclasses and frame-locals proxies become maps whose keys follow
the same rules (so keys may be ints, arrays, markers...).  Lone surrogates in
strings are written as backslash escapes (``"\\ud800"``), since MessagePack
strings must be valid UTF-8.  Everything else uses these extension types:

====  ===========  ===========================================================
code  name         payload
====  ===========  ===========================================================
1     REPR         MessagePack array ``[type_name, text]``, or
                   ``[type_name, text, original_length]`` when ``text`` (the
                   object's ``repr()``) was cut to :data:`MAX_REPR_CHARS`.
                   Objects whose ``repr()`` fails get the text
                   ``<unrepresentable TYPE object>``.  Subclasses of ``int``,
                   ``float``, ``str`` and ``bytes`` (enums...) are objects too.
2     BIGINT       ASCII text of an int outside the 64-bit range: decimal
                   (``-123...``), or hex (``0x...``, ``-0x...``) past Python's
                   int-to-decimal digit limit.  Ints needing more than
                   ``4 * MAX_STR_BYTES`` bits are a REPR ``<int of N bits>``.
3     OPAQUE       MessagePack str ``type_name``: an object written by its type
                   alone (the lightweight variant never calls ``repr()``).
4     RECURSION    MessagePack str ``type_name``: a container met again inside
                   itself.
5     OMITTED      MessagePack uint: how many items of a container were left
                   out.  It is the last element of an array, or the last key
                   (with value nil) of a map.
6     CLIPPED      MessagePack array ``[prefix, original_length]``: a str cut
                   to :data:`MAX_STR_BYTES` UTF-8 bytes (length in characters)
                   or bytes cut to :data:`MAX_STR_BYTES` (length in bytes).
7     TOO_DEEP     MessagePack array ``[type_name, length]``: a container
                   nested :data:`MAX_DEPTH` containers deep.
8     DROPPED      empty: a value left out because the output reached
                   :data:`MAX_TOTAL_BYTES`.
9     FAILED       empty: serialisation failed outright (a bug; never
                   expected).
====  ===========  ===========================================================

A type name is ``module.QualName``, without the module for builtins.  User
``msgpack.ExtType`` and ``msgpack.Timestamp`` values are passed through.

Bounds (per call): :data:`MAX_ITEMS` items per container, :data:`MAX_DEPTH`
levels of nesting, strings and bytes cut at :data:`MAX_STR_BYTES`, the whole
output at most :data:`MAX_TOTAL_BYTES`.

How it works
------------
The fast path hands the value to a C ``msgpack.Packer`` (strict types, with a
``default`` hook for tuples, sets, subclasses, big ints and objects), which
covers small locals in one C call.  Its output is accepted only when it
provably respects the bounds: outputs no longer than ``min(MAX_ITEMS,
MAX_DEPTH)`` bytes cannot hold a too-long container or too-deep nesting;
longer outputs, and any output produced while a ``__repr__`` ran (which might
have mutated a container the packer was iterating, leaving a length header
that no longer matches its items), are re-read by msgpack's C unpacker with
the limits set.  When the fast path fails or is rejected, a pure-Python
iterative encoder that snapshots every container before walking it produces
the output; it cannot fail and, for anything the fast path accepts, produces
the same bytes.

Packers are taken from a small pool, so a ``__repr__`` that serialises again
(re-entrancy) and concurrent threads each get their own packer.

When the extension ``ruvo._serialize`` imports, :func:`dump_msgpack` and
:func:`dump_msgpack_lightweight_repr` are its native encoders, which write the
same bytes as the item-by-item path in one pass; the Python encoders stay
available as :func:`py_dump_msgpack` and :func:`py_dump_msgpack_lightweight_repr`.
:func:`configure` changes the bounds of both at once.

:func:`loads` (from :mod:`ruvo.decode`) reads these values, or whole trace
documents, back into plain Python objects, with the extension types as small
marker classes.
"""

from __future__ import annotations

import sys
import types

import msgpack
from msgpack import ExtType, Timestamp

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "py_dump_msgpack",
    "py_dump_msgpack_lightweight_repr",
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
    "MAX_ITEMS",
    "MAX_DEPTH",
    "MAX_STR_BYTES",
    "MAX_TOTAL_BYTES",
    "MAX_REPR_CHARS",
    "LIGHT_MAX_ITEMS",
    "LIGHT_MAX_STR",
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

# Bounds for a recorder of every call, not a debugger of one: on real test
# suites 99.9% of recorded values (argument and locals together) take under
# 1 KB, while the few that are larger made up 40% of all value bytes. They
# are configurable with configure().
MAX_ITEMS = 100
MAX_DEPTH = 64
MAX_STR_BYTES = 4 * 1024
MAX_TOTAL_BYTES = 16 * 1024
MAX_REPR_CHARS = 500
MAX_NAME_CHARS = 200
LIGHT_MAX_ITEMS = 16
LIGHT_MAX_STR = 64

# msgpack's C unpacker keeps at most this many open containers.  Verifying with
# a prefix of single-element arrays makes it reject values nested deeper than
# MAX_DEPTH, and leaves room for the trace document around embedded values.
_READER_LEVELS = 1024


def _derive_bounds() -> None:
    """Recomputes the fast path's bounds from the limits above."""
    global _DEPTH_PAD, _FAST_MAX, _TRUST_LEN
    _DEPTH_PAD = b"\x91" * (_READER_LEVELS - MAX_DEPTH)
    # Fast outputs beyond this go to the slow path; below it, the slow path's
    # conservative size accounting (at most three times the output, plus two
    # bytes of a container header) never drops anything, so both paths agree.
    _FAST_MAX = (MAX_TOTAL_BYTES - 2) // 3
    # No output this short can hold a too-long container, too-deep nesting,
    # a too-long str or bytes, or anything the slow path would drop.
    _TRUST_LEN = min(MAX_ITEMS, MAX_DEPTH, MAX_STR_BYTES, _FAST_MAX)


_derive_bounds()
_POOL_MAX = 16
_INT64_MIN = -(1 << 63)
_UINT64_MAX = (1 << 64) - 1
# Bits of an int that still fit Python's default int-to-decimal digit limit.
_DECIMAL_BITS = 14000


def _new_ext(code: int, data: bytes) -> ExtType:
    # ExtType's own __new__ re-validates in Python; the values here are known good.
    return tuple.__new__(ExtType, (code, data))


_STR_HEADERS = [bytes((0xA0 | n,)) for n in range(32)] + [b"\xd9" + bytes((n,)) for n in range(32, 256)]


def _str_msg(s: str) -> bytes:
    """One MessagePack str, for text that may hold lone surrogates."""
    b = s.encode("utf-8", "backslashreplace")
    n = len(b)
    if n < 0x100:
        return _STR_HEADERS[n] + b
    if n < 0x10000:
        return b"\xda" + n.to_bytes(2, "big") + b
    return b"\xdb" + n.to_bytes(4, "big") + b


def _uint_msg(n: int) -> bytes:
    if n < 0x80:
        return bytes((n,))
    if n < 0x100:
        return b"\xcc" + bytes((n,))
    if n < 0x10000:
        return b"\xcd" + n.to_bytes(2, "big")
    if n < 0x100000000:
        return b"\xce" + n.to_bytes(4, "big")
    return b"\xcf" + n.to_bytes(8, "big")


_FIXEXT = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}


def _ext_msg(code: int, data: bytes) -> bytes:
    n = len(data)
    fixed = _FIXEXT.get(n)
    if fixed is not None:
        return bytes((fixed, code)) + data
    if n < 0x100:
        return bytes((0xC7, n, code)) + data
    if n < 0x10000:
        return b"\xc8" + n.to_bytes(2, "big") + bytes((code,)) + data
    return b"\xc9" + n.to_bytes(4, "big") + bytes((code,)) + data


def _array_header(n: int) -> bytes:
    if n < 16:
        return bytes((0x90 | n,))
    if n < 0x10000:
        return b"\xdc" + n.to_bytes(2, "big")
    return b"\xdd" + n.to_bytes(4, "big")


def _map_header(n: int) -> bytes:
    if n < 16:
        return bytes((0x80 | n,))
    if n < 0x10000:
        return b"\xde" + n.to_bytes(2, "big")
    return b"\xdf" + n.to_bytes(4, "big")


_DROPPED_MSG = _ext_msg(EXT_DROPPED, b"")
_FAILED_MSG = _ext_msg(EXT_FAILED, b"")
_DROP_LEN = len(_DROPPED_MSG)
_NIL = b"\xc0"


# --- types ------------------------------------------------------------------

# What a type's values are written as, beyond the types the packer handles.
_K_OBJECT = 0  # REPR, and repr() cannot run code that mutates containers
_K_OBJECT_CODE = 1  # REPR, and repr() may run any code
_K_DICT = 2  # dict subclasses
_K_LIST = 3
_K_TUPLE = 4
_K_SET = 5
_K_FROZENSET = 6
_K_LOCALS = 7  # 3.13's frame-locals proxy
_K_MAPPINGPROXY = 8

_object_repr = object.__repr__
# Types whose repr() cannot run code that mutates user containers.
_QUIET_REPR_TYPES = frozenset(
    {
        type,
        types.FunctionType,
        types.BuiltinFunctionType,
        types.MethodDescriptorType,
        types.WrapperDescriptorType,
        types.ModuleType,
        types.CodeType,
        complex,
        range,
    }
)


def _probe_frame_locals_type() -> type | None:
    here = 1  # noqa: F841  (gives the frame a fast local)
    t = type(sys._getframe().f_locals)
    return None if t is dict else t


_FrameLocalsProxy = _probe_frame_locals_type()

_QUALNAME = type.__dict__["__qualname__"].__get__
_MODULE = type.__dict__["__module__"].__get__
# id(type) -> (type, kind, name, name as MessagePack str, OPAQUE ext); the type
# is kept so that its id cannot be reused while the entry lives.
_infos: dict[int, tuple] = {}
_INFOS_MAX = 4096


def _type_name(t: type) -> str:
    # Read the type's own slots: a metaclass may override the attributes.
    try:
        qualname = _QUALNAME(t)
    except Exception:
        qualname = None
    if type(qualname) is not str:
        qualname = "?"
    try:
        module = _MODULE(t)
    except Exception:
        module = None
    if type(module) is str and module != "builtins":
        name = f"{module}.{qualname}"
    else:
        name = qualname
    return name[:MAX_NAME_CHARS]


def _kind(t: type) -> int:
    if issubclass(t, ExtType):
        return _K_OBJECT_CODE
    for base, kind in ((dict, _K_DICT), (list, _K_LIST), (tuple, _K_TUPLE), (set, _K_SET), (frozenset, _K_FROZENSET)):
        if issubclass(t, base):
            return kind
    if t is _FrameLocalsProxy:
        return _K_LOCALS
    if t is types.MappingProxyType:
        return _K_MAPPINGPROXY
    if t in _QUIET_REPR_TYPES:
        return _K_OBJECT
    try:
        return _K_OBJECT if t.__repr__ is _object_repr else _K_OBJECT_CODE
    except Exception:
        return _K_OBJECT_CODE


def _info(t: type) -> tuple:
    info = _infos.get(id(t))
    if info is not None and info[0] is t:
        return info
    try:
        kind = _kind(t)
    except Exception:
        kind = _K_OBJECT_CODE
    name = _type_name(t)
    name_msg = _str_msg(name)
    info = (t, kind, name, name_msg, _new_ext(EXT_OPAQUE, name_msg))
    if len(_infos) >= _INFOS_MAX:
        _infos.clear()
    _infos[id(t)] = info
    return info


def _repr_text(o: object, name: str) -> str:
    try:
        text = repr(o)
        if type(text) is not str:
            text = str.__str__(text)
        return text
    except (KeyboardInterrupt, MemoryError):
        raise
    except BaseException:
        return f"<unrepresentable {name} object>"


def _repr_payload(o: object, info: tuple) -> bytes:
    text = _repr_text(o, info[2])
    n = len(text)
    if n > MAX_REPR_CHARS:
        return b"\x93" + info[3] + _str_msg(text[:MAX_REPR_CHARS]) + _uint_msg(n)
    return b"\x92" + info[3] + _str_msg(text)


def _bigint_ext(i: int) -> ExtType:
    bits = i.bit_length()
    if bits > 4 * MAX_STR_BYTES:
        return _new_ext(EXT_REPR, b"\x92\xa3int" + _str_msg(f"<int of {bits} bits>"))
    if bits <= _DECIMAL_BITS:
        try:
            return _new_ext(EXT_BIGINT, str(i).encode("ascii"))
        except ValueError:  # the process lowered the digit limit
            pass
    return _new_ext(EXT_BIGINT, hex(i).encode("ascii"))


class _TooBig(Exception):
    """Raised by the fast path's default hook to send a value to the slow path."""


# --- fast path ---------------------------------------------------------------


class _Slot:
    """A packer plus the state of the call that is using it."""

    __slots__ = ("packer", "ran_code")

    def __init__(self) -> None:
        self.ran_code = False
        self.packer = msgpack.Packer(
            default=self._default,
            strict_types=True,
            use_bin_type=True,
            buf_size=16 * 1024,
        )

    def _default(self, o: object) -> object:
        t = type(o)
        if t is tuple or t is set or t is frozenset:
            if len(o) > MAX_ITEMS:
                raise _TooBig
            return list(o)
        if t is int:
            return _bigint_ext(o)
        info = _infos.get(id(t))
        if info is None or info[0] is not t:
            info = _info(t)
        kind = info[1]
        if kind <= _K_OBJECT_CODE:
            if kind:
                self.ran_code = True
            return _new_ext(EXT_REPR, _repr_payload(o, info))
        if kind == _K_MAPPINGPROXY or len(o) > MAX_ITEMS:
            # A mappingproxy may wrap any mapping, whose methods could run
            # code: the slow path snapshots it.
            raise _TooBig
        # Copies of the base type's storage: overridden methods never run.
        if kind == _K_DICT:
            return dict.copy(o)
        if kind == _K_LIST:
            return list.copy(o)
        if kind == _K_TUPLE:
            return list(tuple.__iter__(o))
        if kind == _K_SET:
            return list(set.__iter__(o))
        if kind == _K_FROZENSET:
            return list(frozenset.__iter__(o))
        return dict(o.items())  # _K_LOCALS


def _ignore_ext(code: int, data: bytes) -> None:
    return None


def _within_bounds(out: bytes) -> bool:
    """Whether ``out`` is one MessagePack value inside every bound."""
    try:
        msgpack.unpackb(
            _DEPTH_PAD + out,
            use_list=False,
            raw=True,
            strict_map_key=False,
            ext_hook=_ignore_ext,
            max_str_len=MAX_STR_BYTES,
            max_bin_len=MAX_STR_BYTES,
            max_array_len=MAX_ITEMS,
            max_map_len=MAX_ITEMS,
            max_ext_len=MAX_STR_BYTES,
        )
        return True
    except Exception:
        return False


_pool: list[_Slot] = []


def py_dump_msgpack(value: object) -> bytes:
    """Encode ``value`` as exactly one MessagePack value; never raises."""
    if value is None:  # the argument of every "call" event
        return _NIL
    try:
        slot = _pool.pop()
    except IndexError:
        try:
            slot = _Slot()
        except Exception:
            return _FAILED_MSG
    try:
        # The fast path, inline: one C call for the common small value.
        slot.ran_code = False
        try:
            out = slot.packer.pack(value)  # resets the packer if it raises
        except Exception:
            out = None
        if out is None or not (
            (len(out) <= _TRUST_LEN and not slot.ran_code) or (len(out) <= _FAST_MAX and _within_bounds(out))
        ):
            out = _dump_slow(value, slot.packer.pack)
    except Exception:
        return _FAILED_MSG
    # Only a slot whose call ended cleanly goes back: one interrupted inside
    # the packer might hold half-written output.
    if len(_pool) < _POOL_MAX:
        _pool.append(slot)
    return out


# --- slow path ---------------------------------------------------------------

_SEQ = 1
_MAP = 2


def _container_items(v: object, t: type) -> tuple[int, list] | None:
    """(kind, snapshot of items) for containers, None for anything else.

    Snapshots read the base type's storage, so overridden ``__iter__`` or
    ``items`` never run and later mutation cannot affect the walk.  They give
    the same order as the fast path's copies.
    """
    if t is list:
        return _SEQ, list.copy(v)
    if t is tuple:
        return _SEQ, v
    if t is dict:
        return _MAP, list(dict.items(v))
    if t is set or t is frozenset:
        return _SEQ, list(v)
    kind = _info(t)[1]
    if kind <= _K_OBJECT_CODE:
        return None
    if kind == _K_DICT:
        return _MAP, list(dict.items(v))
    if kind == _K_LIST:
        return _SEQ, list.copy(v)
    if kind == _K_TUPLE:
        return _SEQ, list(tuple.__iter__(v))
    if kind == _K_SET:
        return _SEQ, list(set.__iter__(v))
    if kind == _K_FROZENSET:
        return _SEQ, list(frozenset.__iter__(v))
    return _MAP, list(v.items())  # frame-locals proxy or mappingproxy


def _clipped_str(s: str, encoded: bytes) -> bytes:
    prefix = encoded[:MAX_STR_BYTES].decode("utf-8", "ignore")
    return _ext_msg(EXT_CLIPPED, b"\x92" + _str_msg(prefix) + _uint_msg(len(s)))


def _clipped_bytes(prefix: bytes, length: int) -> bytes:
    data = b"\x92" + bytes(msgpack.packb(prefix, use_bin_type=True)) + _uint_msg(length)
    return _ext_msg(EXT_CLIPPED, data)


def _leaf_msg(v: object, t: type, pack) -> bytes:
    """Encoding of a non-container value."""
    if v is None or t is bool or t is float:
        return pack(v)
    if t is int:
        if _INT64_MIN <= v <= _UINT64_MAX:
            return pack(v)
        return pack(_bigint_ext(v))
    if t is str:
        if len(v) <= MAX_STR_BYTES // 4:
            try:
                return pack(v)
            except UnicodeEncodeError:
                pass
        encoded = v.encode("utf-8", "backslashreplace")
        if len(encoded) <= MAX_STR_BYTES:
            return _str_msg(v)
        return _clipped_str(v, encoded)
    if t is bytes or t is bytearray:
        if len(v) <= MAX_STR_BYTES:
            return pack(v)
        return _clipped_bytes(bytes(v[:MAX_STR_BYTES]), len(v))
    if t is memoryview:
        try:
            if v.c_contiguous:
                flat = v.cast("B")
                if flat.nbytes <= MAX_STR_BYTES:
                    return pack(flat)
                return _clipped_bytes(flat[:MAX_STR_BYTES].tobytes(), flat.nbytes)
        except Exception:
            pass
    elif t is ExtType:
        if type(v.code) is int and type(v.data) is bytes and len(v.data) <= MAX_STR_BYTES:
            try:
                return pack(v)
            except Exception:
                pass
    elif t is Timestamp:
        return pack(v)
    return _ext_msg(EXT_REPR, _repr_payload(v, _info(t)))


def _dump_slow(value: object, pack) -> bytes:
    """Bounded, iterative encoding that snapshots containers before walking them.

    Every pending value reserves the few bytes of a DROPPED marker, and every
    pending literal its exact size, so ``size + reserved`` never passes
    MAX_TOTAL_BYTES: a value that does not fit becomes DROPPED.
    """
    chunks: list[bytes] = []
    size = 0
    reserved = _DROP_LEN
    # Entries: (value, depth) to encode, bytes to emit as they are, or the int
    # id of a container whose walk ends there.
    stack: list = [(value, 0)]
    # Containers being walked, by id; holding them keeps their ids from being
    # reused should a __repr__ drop them from the value meanwhile.
    active: dict[int, object] = {}
    while stack:
        entry = stack.pop()
        kind = type(entry)
        if kind is bytes:
            reserved -= len(entry)
            chunks.append(entry)
            size += len(entry)
            continue
        if kind is int:
            del active[entry]
            continue
        v, depth = entry
        reserved -= _DROP_LEN
        avail = MAX_TOTAL_BYTES - size - reserved
        t = type(v)
        try:
            found = _container_items(v, t)
        except Exception:
            found = None
        if found is None:
            try:
                piece = _leaf_msg(v, t, pack)
            except Exception:
                piece = _FAILED_MSG
        elif id(v) in active:
            piece = _ext_msg(EXT_RECURSION, _info(t)[3])
        elif depth >= MAX_DEPTH:
            piece = _ext_msg(EXT_TOO_DEEP, b"\x92" + _info(t)[3] + _uint_msg(len(found[1])))
        else:
            ckind, items = found
            n = len(items)
            per_item = _DROP_LEN if ckind == _SEQ else 2 * _DROP_LEN
            k = min(n, MAX_ITEMS)
            marker = b""
            if k < n:
                marker = _ext_msg(EXT_OMITTED, _uint_msg(n - k))
                if ckind == _MAP:
                    marker += _NIL
            header_len = 5
            if header_len + len(marker) + k * per_item > avail:
                k = (avail - header_len - 16) // per_item
                if k < 0:
                    chunks.append(_DROPPED_MSG)
                    size += _DROP_LEN
                    continue
                marker = _ext_msg(EXT_OMITTED, _uint_msg(n - k))
                if ckind == _MAP:
                    marker += _NIL
            entries = k + (1 if marker else 0)
            header = _array_header(entries) if ckind == _SEQ else _map_header(entries)
            chunks.append(header)
            size += len(header)
            if k:
                vid = id(v)
                active[vid] = v
                stack.append(vid)
            if marker:
                stack.append(marker)
                reserved += len(marker)
            child_depth = depth + 1
            if ckind == _SEQ:
                for i in range(k - 1, -1, -1):
                    stack.append((items[i], child_depth))
            else:
                for i in range(k - 1, -1, -1):
                    key, val = items[i]
                    stack.append((val, child_depth))
                    stack.append((key, child_depth))
            reserved += k * per_item
            continue
        if len(piece) > avail:
            piece = _DROPPED_MSG
        chunks.append(piece)
        size += len(piece)
    return b"".join(chunks)


# --- lightweight variant ----------------------------------------------------

_LIGHT_SCALARS = frozenset({type(None), bool, int, float})
# Types the packer would expand or copy in full, which the lightweight
# variant must not: nested containers become markers, buffers get clipped.
_LIGHT_EXPANDED = frozenset({list, dict, bytearray, memoryview})


def _light_default(o: object) -> object:
    """The lightweight packer's hook: big ints, otherwise the type name."""
    t = type(o)
    if t is int:
        return _bigint_ext(o)
    info = _infos.get(id(t))
    if info is None or info[0] is not t:
        info = _info(t)
    return info[4]


def _new_light_packer() -> msgpack.Packer:
    return msgpack.Packer(default=_light_default, strict_types=True, use_bin_type=True, buf_size=4096)


_light_pool: list[msgpack.Packer] = []


def _light_value(v: object) -> object:
    """A value the lightweight packer writes as is: a scalar, short text, or
    a marker.  Out-of-range ints are left to the packer's hook."""
    t = type(v)
    if t in _LIGHT_SCALARS:
        return v
    if t is str:
        if len(v) <= LIGHT_MAX_STR:
            return v
        return _new_ext(EXT_CLIPPED, b"\x92" + _str_msg(v[:LIGHT_MAX_STR]) + _uint_msg(len(v)))
    if t is bytes:
        if len(v) <= LIGHT_MAX_STR:
            return v
        data = b"\x92" + bytes(msgpack.packb(v[:LIGHT_MAX_STR], use_bin_type=True)) + _uint_msg(len(v))
        return _new_ext(EXT_CLIPPED, data)
    info = _infos.get(id(t))
    if info is None or info[0] is not t:
        info = _info(t)
    return info[4]


# A container inside a container is kept when it is this small and holds only
# plain values: records built as nested dicts (a plugin record's call site)
# keep their shape, while anything bigger still costs nothing to skip.
_LIGHT_NESTED_ITEMS = 8


def _light_nested(v: object) -> object:
    """A second-level value: a small dict, list or tuple of scalars and short
    text as it is, anything else as a scalar or marker."""
    t = type(v)
    if (t is dict or t is list or t is tuple) and len(v) <= _LIGHT_NESTED_ITEMS:
        plain = _LIGHT_SCALARS
        members = [*v.keys(), *v.values()] if t is dict else v
        if all(type(x) in plain or (type(x) is str and len(x) <= LIGHT_MAX_STR) for x in members):
            if t is tuple:
                return list(v)
            return dict(v) if t is dict else list(v)
    return _light_value(v)


def _light_direct(value: object, t: type, packer: msgpack.Packer) -> bytes | None:
    """The common case in one C call: a small dict, list or tuple holding no
    nested list, dict or buffer.  None when the item-by-item path is needed.

    Only the packer's hook runs Python code, and it only names types.
    """
    if t is dict:
        if len(value) > LIGHT_MAX_ITEMS or not (
            _LIGHT_EXPANDED.isdisjoint(map(type, value.values())) and _LIGHT_EXPANDED.isdisjoint(map(type, value))
        ):
            return None
    elif t is list or t is tuple:
        if len(value) > LIGHT_MAX_ITEMS or not _LIGHT_EXPANDED.isdisjoint(map(type, value)):
            return None
        if t is tuple:
            value = list(value)
    else:
        return None
    out = packer.pack(value)
    # Output this short cannot hold a str or bytes past the limit.
    return out if len(out) <= LIGHT_MAX_STR else None


def _light_parts(value: object) -> tuple[int, object]:
    """(kind, what to pack): a scalar or marker, a list, or a list of pairs."""
    t = type(value)
    found = None
    if t not in _LIGHT_SCALARS and t is not str and t is not bytes:
        try:
            found = _container_items(value, t)
        except Exception:
            found = None
    if found is None:
        return 0, _light_value(value)
    ckind, items = found
    n = len(items)
    k = min(n, LIGHT_MAX_ITEMS)
    if k < n:
        items = items[:k]
    scalars = _LIGHT_SCALARS
    limit = LIGHT_MAX_STR
    lv = _light_value
    out: list = []
    append = out.append
    if ckind == _SEQ:
        for x in items:
            tx = type(x)
            if tx not in scalars and not ((tx is str or tx is bytes) and len(x) <= limit):
                x = _light_nested(x)
            append(x)
        if k < n:
            append(_new_ext(EXT_OMITTED, _uint_msg(n - k)))
    else:
        for key, x in items:
            if type(key) is not str or len(key) > limit:
                key = lv(key)
            tx = type(x)
            if tx not in scalars and not ((tx is str or tx is bytes) and len(x) <= limit):
                x = _light_nested(x)
            append((key, x))
        if k < n:
            append((_new_ext(EXT_OMITTED, _uint_msg(n - k)), None))
    return ckind, out


def _light_msg_slow(kind: int, parts: object, pack) -> bytes:
    """Encodes the parts without the packer's str path, which rejects lone
    surrogates."""

    def one(x: object) -> bytes:
        return _str_msg(x) if type(x) is str else pack(x)

    if kind == _SEQ:
        return _array_header(len(parts)) + b"".join(one(x) for x in parts)
    if kind == _MAP:
        return _map_header(len(parts)) + b"".join(one(k) + one(x) for k, x in parts)
    return one(parts)


def py_dump_msgpack_lightweight_repr(value: object) -> bytes:
    """Cheaper encoding: scalars and short text as they are, containers one
    level deep (with small containers of plain values inside them kept),
    everything else by type name only.  Never calls ``repr()``;
    never raises."""
    if value is None:  # the argument of every "call" event
        return _NIL
    try:
        packer = _light_pool.pop()
    except IndexError:
        try:
            packer = _new_light_packer()
        except Exception:
            return _FAILED_MSG
    try:
        t = type(value)
        if t in _LIGHT_SCALARS:
            out = packer.pack(value)
        else:
            try:
                out = _light_direct(value, t, packer)
            except Exception:
                packer.reset()
                out = None
            if out is None:
                kind, parts = _light_parts(value)
                try:
                    if kind == _MAP:
                        out = packer.pack_map_pairs(parts)
                    else:
                        out = packer.pack(parts)
                except UnicodeEncodeError:
                    packer.reset()  # pack_map_pairs leaves its partial output behind
                    out = _light_msg_slow(kind, parts, packer.pack)
    except Exception:
        return _FAILED_MSG
    # Only a packer whose call ended cleanly goes back (see dump_msgpack).
    if len(_light_pool) < _POOL_MAX:
        _light_pool.append(packer)
    return out


# --- native encoder and limits ----------------------------------------------

# configure()'s keywords, and the constants they set.
_LIMITS = {
    "max_items": "MAX_ITEMS",
    "max_depth": "MAX_DEPTH",
    "max_str_bytes": "MAX_STR_BYTES",
    "max_total_bytes": "MAX_TOTAL_BYTES",
    "max_repr_chars": "MAX_REPR_CHARS",
    "light_max_items": "LIGHT_MAX_ITEMS",
    "light_max_str": "LIGHT_MAX_STR",
}
_LIMIT_MAX = (1 << 31) - 1


LIMIT_NAMES = tuple(_LIMITS)


def _current_limits() -> dict[str, int]:
    return {key: globals()[name] for key, name in _LIMITS.items()}


def configure(**limits: int) -> dict[str, int]:
    """Change the bounds of both encoders (keywords: ``max_items``,
    ``max_depth``, ``max_str_bytes``, ``max_total_bytes``, ``max_repr_chars``,
    ``light_max_items``, ``light_max_str``); returns the previous bounds, which
    ``configure(**previous)`` restores."""
    unknown = sorted(set(limits) - set(_LIMITS))
    if unknown:
        raise TypeError(f"configure() got unknown limits: {', '.join(unknown)}")
    for key, value in limits.items():
        if type(value) is not int or not 0 <= value <= _LIMIT_MAX:
            raise ValueError(f"{key} must be an int between 0 and {_LIMIT_MAX}, not {value!r}")
    if limits.get("max_total_bytes", _DROP_LEN) < _DROP_LEN:
        raise ValueError(f"max_total_bytes must be at least {_DROP_LEN}")
    previous = _current_limits()
    new = {**previous, **limits}
    if _serialize is not None:
        _serialize.set_limits(**new)
    for key, value in new.items():
        globals()[_LIMITS[key]] = value
    _derive_bounds()
    return previous


try:
    from . import _serialize
except ImportError:  # built without the extension: the Python encoders serve
    _serialize = None
    dump_msgpack = py_dump_msgpack
    dump_msgpack_lightweight_repr = py_dump_msgpack_lightweight_repr
else:
    _serialize.set_limits(**_current_limits())
    dump_msgpack = _serialize.dump_msgpack
    dump_msgpack_lightweight_repr = _serialize.dump_msgpack_lightweight_repr


# --- reading -----------------------------------------------------------------
# The decoder lives in ruvo.decode; its names stay importable from here.

from .decode import Clipped, Dropped, Failed, Omitted, Opaque, Recursion, Repr, TooDeep, loads  # noqa: E402
