"""The encoder (ruvo._serialize): for any value, exactly one MessagePack value
within the bounds, readable by loads(), and not one line of the program's own
code run to write it."""

import collections
import dataclasses
import enum
import gc
import sys

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ruvo import serialize

native = pytest.importorskip("ruvo._serialize")

HERE = __name__


def watched(encode, value: object) -> tuple[bytes, list]:
    """encode(value), and the Python functions that ran meanwhile."""
    ran = []

    def hook(frame, event, arg):
        if event == "call":
            ran.append(frame.f_code.co_qualname)

    # A collection could run gc callbacks (hypothesis has one) meanwhile.
    gc.disable()
    sys.setprofile(hook)
    try:
        out = encode(value)
    finally:
        sys.setprofile(None)
        gc.enable()
    return out, ran


def assert_sound(value: object) -> None:
    total = native.get_limits()["max_total_bytes"]
    for encode in (native.dump_msgpack, native.dump_msgpack_lightweight_repr):
        out, ran = watched(encode, value)
        assert ran == []
        unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=0)
        unpacker.feed(out)
        assert len(list(unpacker)) == 1 and unpacker.tell() == len(out)
        serialize.loads(out)
        if encode is native.dump_msgpack:
            assert len(out) <= max(total, 3)


@pytest.fixture
def limits():
    """configure(), undone after the test."""
    saved = []

    def set_limits(**values):
        saved.append(serialize.configure(**values))

    yield set_limits
    if saved:
        serialize.configure(**saved[0])


# --- hostile objects -------------------------------------------------------------


class Plain:
    pass


class Named:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        raise self.exc


class StrSub(str):
    pass


class Reenters:
    def __init__(self, inner):
        self.inner = inner

    def __repr__(self):
        return serialize.dump_msgpack(self.inner).hex()


class Overwrites:
    """Rewrites a container that comes after it (the same way each time, as
    the Python encoder may run a repr twice)."""

    def __init__(self, target):
        self.target = target

    def __repr__(self):
        if isinstance(self.target, dict):
            self.target.clear()
            self.target["new"] = [1]
        else:
            self.target[:] = ["new", (2,)]
        return "overwrites"


class Array:
    """numpy-like: len, iteration, truth and == all fail."""

    def __len__(self):
        raise TypeError("len")

    def __iter__(self):
        raise TypeError("iter")

    def __bool__(self):
        raise ValueError("ambiguous")

    def __eq__(self, other):
        raise ValueError("ambiguous")

    __hash__ = None

    def __repr__(self):
        return "array([1., 2.])"


class Color(enum.Enum):
    RED = "r"


class Level(enum.IntEnum):
    LOW = 1


@dataclasses.dataclass
class Record:
    name: object
    items: object


class ListSub(list):
    def __iter__(self):
        raise RuntimeError


class DictSub(dict):
    def items(self):
        raise RuntimeError


class TupleSub(tuple):
    def __len__(self):
        return 0


Point = collections.namedtuple("Point", "x y")

# --- strategies --------------------------------------------------------------------

any_text = st.text(st.characters(exclude_categories=()), max_size=30)
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(2**300), max_value=2**300)
    | st.sampled_from([2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, -33, -32, 127, 128, 255, 256])
    | st.floats(allow_nan=True)
    | any_text
    | st.text(max_size=3).map(lambda s: s * 200)
    | st.binary(max_size=40)
)
objects = (
    st.builds(Plain)
    | st.builds(Named, any_text | st.text(max_size=2).map(lambda s: s * 1500))
    | st.sampled_from([RuntimeError("x"), SystemExit(2), RecursionError(), GeneratorExit()]).map(Raises)
    | st.builds(lambda s: Named(StrSub(s)), any_text)
    | st.sampled_from([Color.RED, Level.LOW, StrSub("s"), Array(), range(3), 2 + 1j, Plain, len])
    | st.builds(bytearray, st.binary(max_size=20))
    | st.builds(memoryview, st.binary(max_size=20))
    | st.builds(lambda b: memoryview(b)[::2], st.binary(max_size=20))
    | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=20))
    | st.builds(msgpack.Timestamp, st.integers(-(2**40), 2**40), st.integers(0, 10**9 - 1))
)
keys = scalars | st.tuples(st.integers(), any_text) | st.frozensets(st.integers(), max_size=3)


def _self_recursive(items: list) -> list:
    items.append(items)
    return items


def _self_recursive_dict(d: dict) -> dict:
    d["self"] = d
    return d


def _containers(children):
    return (
        st.lists(children, max_size=6)
        | st.tuples(children, children)
        | st.dictionaries(keys, children, max_size=6)
        | st.sets(keys, max_size=5)
        | st.frozensets(st.integers(), max_size=5)
        | st.builds(Point, children, children)
        | st.builds(lambda d: collections.OrderedDict(d), st.dictionaries(any_text, children, max_size=4))
        | st.builds(lambda d: collections.defaultdict(list, d), st.dictionaries(st.integers(), children, max_size=4))
        | st.builds(ListSub, st.lists(children, max_size=4))
        | st.builds(DictSub, st.dictionaries(any_text, children, max_size=4))
        | st.builds(TupleSub, st.lists(children, max_size=4))
        | st.builds(Record, children, children)
        | st.builds(_self_recursive, st.lists(children, max_size=3))
        | st.builds(_self_recursive_dict, st.dictionaries(any_text, children, max_size=3))
        | st.builds(lambda t: [Overwrites(t), t], st.lists(children, max_size=3) | st.dictionaries(any_text, children))
        | st.builds(Reenters, children)
        | st.builds(lambda xs: [x for x in xs for _ in range(60)], st.lists(children, min_size=1, max_size=3))
    )


values = st.recursive(scalars | objects, _containers, max_leaves=30)


def nested(levels: int, leaf: object) -> list:
    for _ in range(levels):
        leaf = [leaf]
    return leaf


small_limits = st.fixed_dictionaries(
    {
        "max_items": st.integers(0, 12),
        "max_depth": st.integers(0, 6),
        "max_str_bytes": st.integers(0, 40),
        "max_total_bytes": st.integers(3, 400),
        "max_repr_chars": st.integers(0, 30),
        "light_max_items": st.integers(0, 12),
        "light_max_str": st.integers(0, 40),
        "object_depth": st.integers(0, 3),
        "use_repr": st.just(0),
    }
)

# --- properties ----------------------------------------------------------------------

PROPERTY = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(values)
def test_property_sound_under_default_limits(value):
    assert_sound(value)


@PROPERTY
@given(values, small_limits)
def test_property_sound_under_small_limits(value, bounds):
    previous = serialize.configure(**bounds)
    try:
        assert native.get_limits() == bounds
        assert_sound(value)
    finally:
        serialize.configure(**previous)


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 1100), scalars | st.builds(list) | st.builds(dict))
def test_property_deep_nesting(levels, leaf):
    assert_sound(nested(levels, leaf))


# --- cases the strategies reach rarely --------------------------------------------------


def test_huge_and_wide_values():
    for value in (
        list(range(serialize.MAX_ITEMS + 7)),
        {i: str(i) for i in range(serialize.MAX_ITEMS + 1)},
        set(range(3000)),
        ["x" * (serialize.MAX_STR_BYTES - 10)] * 100,
        [[["y" * 5000] * 50] * 50] * 50,
        [list(range(1000))] * 800,
        "é" * (serialize.MAX_STR_BYTES // 2 + 1),
        "\ud800" * (serialize.MAX_STR_BYTES // 6 + 5),
        bytes(range(256)) * 300,
        memoryview(bytes(range(256)) * 300),
        nested(50_000, "bottom"),
    ):
        assert_sound(value)


def test_big_ints_decimal_hex_and_described(monkeypatch):
    for value in (2**64, -(2**63) - 1, 3**200, -(10**5000) - 7, 1 << 14000, 1 << (4 * serialize.MAX_STR_BYTES + 1)):
        assert_sound(value)
        assert_sound([value, {value: value}])
    # A lowered digit limit sends decimal-sized ints to hex.
    monkeypatch.setattr(sys, "get_int_max_str_digits", sys.get_int_max_str_digits)
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)
    try:
        assert msgpack.unpackb(native.dump_msgpack(10**700)).data.startswith(b"0x")
    finally:
        sys.set_int_max_str_digits(old)


def test_exact_bytes_of_markers():
    class Loop(list):
        pass

    loop = Loop([1])
    loop.append(loop)
    name = msgpack.packb(f"{HERE}.{Loop.__qualname__}")
    payload = b"\x92" + name + b"\x92\x01\xc7" + bytes([len(name), 4]) + name
    assert native.dump_msgpack(loop) == b"\xc7" + bytes([len(payload), 11]) + payload
    def ext(code, payload):
        return msgpack.ExtType(code, msgpack.packb(payload))

    args = ext(11, ["tuple", ["x"]])
    # Objects two deep: the third is its type name and attribute count.
    deep = Named(Named(Named("x")))
    assert native.dump_msgpack([Raises(RuntimeError("x")), deep]) == msgpack.packb([
        ext(10, [f"{HERE}.Raises", {"exc": ext(10, ["RuntimeError", {"args": args}])}]),
        ext(10, [f"{HERE}.Named", {"text": ext(10, [f"{HERE}.Named", {"text": ext(7, [f"{HERE}.Named", 1])}])}]),
    ])
    assert native.dump_msgpack([Color.RED, Level.LOW, len, Plain, sys]) == msgpack.packb([
        ext(13, [f"{HERE}.Color", "RED"]), ext(13, [f"{HERE}.Level", "LOW"]), ext(12, ["builtin", "len"]),
        ext(12, ["class", f"{HERE}.Plain"]), ext(12, ["module", "sys"]),
    ])
    assert native.dump_msgpack_lightweight_repr([Plain()] * 2) == b"\x92" + 2 * msgpack.packb(
        msgpack.ExtType(3, msgpack.packb(f"{HERE}.Plain"))
    )
    assert native.dump_msgpack({"k\ud800": "v\udfff"}) == msgpack.packb({"k\\ud800": "v\\udfff"})
    assert native.dump_msgpack(None) == native.dump_msgpack_lightweight_repr(None) == b"\xc0"


def test_default_repr_written_without_calling_it(limits):
    """Asked for repr(), object.__repr__'s text is formed natively for plain
    classes; every class it must not cover gets its repr() all the same."""

    class Outer:
        class Inner:
            pass

    def plain_class(name, module, **namespace):
        return type(name, (), {"__module__": module, **namespace})

    odd = [
        Plain(),
        Outer.Inner(),
        plain_class("Slotted", HERE, __slots__=())(),
        plain_class("Accented", "mödule")(),
        plain_class("Builtin", "builtins")(),
        plain_class("EmptyModule", "")(),
        plain_class("IntModule", 7)(),
        type("Ünicode", (), {})(),
        iter([]),
        (x for x in ()),
    ]
    limits(use_repr=True)
    for value in odd:
        decoded = serialize.loads(native.dump_msgpack(value))
        assert type(decoded) is serialize.Repr and decoded.text == repr(value)
    limits(max_repr_chars=20)
    long = plain_class("Named" * 20, HERE)()
    assert serialize.loads(native.dump_msgpack(long)) == serialize.Repr(
        f"{HERE}.{'Named' * 20}", repr(long)[:20], len(repr(long)))


def test_frame_locals_and_mapping_proxies():
    def frame_locals():
        alpha, beta = 1, [2, "\ud800"]  # noqa: F841
        return sys._getframe().f_locals

    class Mapping:
        def __init__(self, items):
            self._items = items

        def __getitem__(self, key):
            raise KeyError(key)

        def keys(self):
            return []

        def items(self):
            return self._items

    import types

    for value in (
        frame_locals(),
        types.MappingProxyType({"a": (1,)}),
        types.MappingProxyType(Mapping([("a", 1), ["b", 2], "cd"])),
        types.MappingProxyType(Mapping([1, 2])),  # items that do not unpack: FAILED
        types.MappingProxyType(Mapping(Raises(RuntimeError()))),  # items() not iterable: repr
    ):
        assert_sound(value)
    # A proxy of another mapping would run its items(): the type alone.
    assert native.dump_msgpack(types.MappingProxyType(Mapping([1, 2]))) == msgpack.packb(
        msgpack.ExtType(3, msgpack.packb("mappingproxy")))


def test_dict_subclasses_are_read_from_the_dict_itself():
    # Insertion order as the dict stores it: OrderedDict.move_to_end's order
    # lives outside the dict and reading it would hash the keys.
    od = collections.OrderedDict(a=1, b=2)
    od.move_to_end("a")
    assert native.dump_msgpack(od) == msgpack.packb(
        msgpack.ExtType(11, msgpack.packb(["collections.OrderedDict", {"a": 1, "b": 2}])))


def test_escaping_exceptions(limits):
    limits(use_repr=True)
    for exc in (KeyboardInterrupt, MemoryError):
        for value in ([Raises(exc())], {"k": Raises(exc())}):
            if exc is KeyboardInterrupt:
                with pytest.raises(KeyboardInterrupt):
                    native.dump_msgpack(value)
            else:
                assert b"\xc7\x00\x09" in native.dump_msgpack(value)
        assert native.dump_msgpack_lightweight_repr([Raises(exc())]) == b"\x91\xc7" + bytes(
            [len(msgpack.packb(f"{HERE}.Raises")), 3]
        ) + msgpack.packb(f"{HERE}.Raises")


def test_lightweight_paths():
    for value in (
        {"t": (1,)},
        {"t": (1,), "l": [1]},
        {"e": msgpack.ExtType(1, b"x")},
        {"e": msgpack.ExtType(1, b"x"), "l": []},
        [["\ud800"]],
        ["\ud800", [1]],
        {"x" * 300: 1},
        msgpack.Timestamp(1, 2),
        [msgpack.Timestamp(1, 2)],
        bytearray(b"x" * 300),
    ):
        assert_sound(value)


# --- configure --------------------------------------------------------------------------


def test_configure_changes_both_encoders(limits):
    limits(max_items=2, max_str_bytes=4, light_max_items=1, light_max_str=2)
    assert serialize.MAX_ITEMS == 2 and native.get_limits()["max_items"] == 2
    value = {"list": [1, 2, 3], "text": "abcdef"}
    expected_full = msgpack.packb(
        {"list": [1, 2, msgpack.ExtType(5, b"\x01")], "text": msgpack.ExtType(6, msgpack.packb(["abcd", 6]))}
    )
    out = native.dump_msgpack(value)
    assert out == b"\x82" + expected_full[1:]
    # The lightweight bounds: one item, keys clipped at two characters.
    assert native.dump_msgpack_lightweight_repr(value) == b"\x82\xc7\x05\x06\x92\xa2li\x04\x93\x01\x02\x03\xd4\x05\x01\xc0"


def test_configure_returns_previous_limits_and_validates(limits):
    previous = serialize.configure(max_depth=5)
    assert previous["max_depth"] == 64 and previous["light_max_str"] == 64
    assert serialize.configure(**previous)["max_depth"] == 5
    assert native.get_limits() == previous
    for bad in ({"max_items": -1}, {"max_depth": True}, {"max_total_bytes": 2}, {"max_str_bytes": 1 << 31}):
        with pytest.raises(ValueError):
            serialize.configure(**bad)
    with pytest.raises(TypeError, match="unknown limits: max_name_chars"):
        serialize.configure(max_name_chars=3)
    assert native.get_limits() == previous
    with pytest.raises(ValueError, match="max_total_bytes must be at least 3"):
        native.set_limits(1, 1, 1, 2, 1, 1, 1, 1, 0)


def test_module_exposes_the_native_encoder():
    assert serialize.dump_msgpack is native.dump_msgpack
    assert serialize.dump_msgpack_lightweight_repr is native.dump_msgpack_lightweight_repr


def test_recording_keeps_no_class_alive():
    # A class replaced by a decorator, or defined per test, must be free to go.
    import gc
    import weakref

    class Gone:
        pass

    native.dump_msgpack([Gone(), Gone, {Gone: Gone()}])
    ref = weakref.ref(Gone)
    del Gone
    gc.collect()
    assert ref() is None
