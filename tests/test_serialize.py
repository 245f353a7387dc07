import collections
import math
import threading
import time

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from msgpack import ExtType

from ruvo import serialize
from ruvo.serialize import (
    LIGHT_MAX_ITEMS,
    LIGHT_MAX_STR,
    MAX_DEPTH,
    MAX_ITEMS,
    MAX_REPR_CHARS,
    MAX_STR_BYTES,
    MAX_TOTAL_BYTES,
    Clipped,
    Dropped,
    Omitted,
    Opaque,
    Recursion,
    Object,
    EnumMember,
    Named as NamedValue,
    Repr,
    TooDeep,
    Typed,
    dump_msgpack,
    dump_msgpack_lightweight_repr,
    loads,
)

HERE = __name__


def one_value(out: bytes) -> object:
    """The single MessagePack value in ``out``; fails unless there is exactly one."""
    assert type(out) is bytes
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, use_list=False, unicode_errors="strict")
    unpacker.feed(out)
    values = list(unpacker)
    assert len(values) == 1
    assert unpacker.tell() == len(out)
    return values[0]


def ext(code: int, payload: object) -> ExtType:
    return ExtType(code, msgpack.packb(payload))


class Plain:
    pass


class Named:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


# --- native values -----------------------------------------------------------

NATIVE = [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (-1, -1),
    (2**63 - 1, 2**63 - 1),
    (-(2**63), -(2**63)),
    (2**64 - 1, 2**64 - 1),
    (1.5, 1.5),
    (-0.0, -0.0),
    (float("inf"), float("inf")),
    ("", ""),
    ("héllo ✓ 😀", "héllo ✓ 😀"),
    (b"\x00\xff", b"\x00\xff"),
    (bytearray(b"ab"), b"ab"),
    ([1, [2, [3]]], [1, [2, [3]]]),
    ((1, (2, "x")), (1, (2, "x"))),
    ({"a": 1, "b": [None]}, {"a": 1, "b": [None]}),
    ({1: "int key", 2.5: "float key", None: "nil key"}, {1: "int key", 2.5: "float key", None: "nil key"}),
    ({(1, 2): "tuple key"}, {(1, 2): "tuple key"}),
    (frozenset({3}), frozenset({3})),
    ({1, 2}, {1, 2}),
    (collections.OrderedDict([("z", 1), ("a", 2)]), Typed("collections.OrderedDict", {"z": 1, "a": 2})),
    (collections.defaultdict(list, {"k": [1]}), Typed("collections.defaultdict", {"k": [1]})),
    (collections.namedtuple("Point", "x y")(1, 2), Typed(f"{HERE}.Point", [1, 2])),
]


@pytest.mark.parametrize("value, expected", NATIVE)
def test_native_values_round_trip(value, expected):
    out = dump_msgpack(value)
    decoded = loads(out)
    assert decoded == expected
    assert isinstance(decoded, type(expected))


def test_native_values_read_with_plain_msgpack():
    out = dump_msgpack({"s": "x", "b": b"y", "l": [1, 2.0], "t": (1,), "n": None})
    tuple_ = ext(11, ["tuple", [1]])
    assert msgpack.unpackb(out) == {"s": "x", "b": b"y", "l": [1, 2.0], "t": tuple_, "n": None}
    assert out == msgpack.packb({"s": "x", "b": b"y", "l": [1, 2.0], "t": tuple_, "n": None})


def test_nan_is_a_float():
    assert math.isnan(loads(dump_msgpack(float("nan"))))


def test_set_becomes_array_of_its_members():
    assert sorted(loads(dump_msgpack({5, 1, 3}))) == [1, 3, 5]


# --- extension types ---------------------------------------------------------


def test_object_is_its_type_name_and_attributes_never_its_repr():
    out = dump_msgpack(Named("a <b>"))
    assert out == b"\xc7\x22\x0a\x92\xb4" + f"{HERE}.Named".encode() + b"\x81\xa4text\xa5a <b>"
    decoded = loads(out)
    assert decoded == Object(f"{HERE}.Named", {"text": "a <b>"})
    assert repr(decoded) == str(decoded) == "Named(text='a <b>')"


def test_object_repr_only_when_asked():
    previous = serialize.configure(use_repr=True)
    try:
        assert loads(dump_msgpack(Named("a <b>"))) == Repr(f"{HERE}.Named", "a <b>")
    finally:
        serialize.configure(**previous)
    assert type(loads(dump_msgpack(Named("x")))) is Object


def test_builtin_objects_have_no_module_in_their_type_name():
    assert loads(dump_msgpack(3 + 4j)) == Repr("complex", "(3+4j)")
    assert loads(dump_msgpack(range(2))) == Repr("range", "range(0, 2)")


def test_long_repr_is_cut_and_keeps_its_length():
    text = "r" * (MAX_REPR_CHARS + 10)
    previous = serialize.configure(use_repr=True)
    try:
        out = dump_msgpack(Named(text))
    finally:
        serialize.configure(**previous)
    assert msgpack.unpackb(out) == ext(1, [f"{HERE}.Named", text[:MAX_REPR_CHARS], MAX_REPR_CHARS + 10])
    decoded = loads(out)
    assert decoded == Repr(f"{HERE}.Named", text[:MAX_REPR_CHARS], MAX_REPR_CHARS + 10)
    assert repr(decoded).endswith("r…>")


def test_ints_beyond_64_bits_carry_their_digits():
    for value in (2**64, -(2**63) - 1, 3**200, -(7**90)):
        out = dump_msgpack(value)
        assert msgpack.unpackb(out) == ExtType(2, str(value).encode())
        assert loads(out) == value


def test_ints_past_the_decimal_digit_limit_are_hex():
    value = -(10**4400) - 7  # past the 4300-digit limit, within 4 * MAX_STR_BYTES bits
    out = dump_msgpack(value)
    payload = msgpack.unpackb(out).data
    assert payload.startswith(b"-0x")
    assert int(payload, 16) == value
    assert loads(out) == value


def test_enormous_int_is_described_not_written():
    value = 1 << (4 * MAX_STR_BYTES + 5)
    out = dump_msgpack(value)
    assert loads(out) == Repr("int", f"<int of {4 * MAX_STR_BYTES + 6} bits>")
    assert len(out) < 64


def test_recursive_containers_are_marked():
    lst = [1]
    lst.append(lst)
    assert loads(dump_msgpack(lst)) == [1, Recursion("list")]
    d = {"a": 1}
    d["me"] = d
    assert loads(dump_msgpack(d)) == {"a": 1, "me": Recursion("dict")}
    # Indirect: a list inside a dict inside the list.
    outer = []
    outer.append({"inner": [outer]})
    assert loads(dump_msgpack(outer)) == [{"inner": [Recursion("list")]}]
    assert repr(Recursion("list")) == "<recursive list>"


def test_shared_but_not_recursive_values_are_written_each_time():
    shared = [1, 2]
    assert loads(dump_msgpack([shared, shared, {"s": shared}])) == [[1, 2], [1, 2], {"s": [1, 2]}]


def test_user_ext_types_and_timestamps_pass_through():
    out = dump_msgpack([ExtType(42, b"raw"), msgpack.Timestamp(5, 6)])
    assert msgpack.unpackb(out) == [ExtType(42, b"raw"), msgpack.Timestamp(5, 6)]


def test_contiguous_memoryview_is_bytes_other_buffers_are_objects():
    assert loads(dump_msgpack(memoryview(b"abcdef"))) == b"abcdef"
    strided = memoryview(b"abcdef")[::2]
    decoded = loads(dump_msgpack(strided))
    assert type(decoded) is Repr and decoded.type_name == "memoryview"


# --- bounds ------------------------------------------------------------------


@pytest.mark.parametrize("make", [list, tuple, lambda items: dict(zip(items, items))])
def test_container_item_limit(make):
    exact = make(range(MAX_ITEMS))
    assert loads(dump_msgpack(exact)) == exact
    over = make(range(MAX_ITEMS + 250))
    out = dump_msgpack(over)
    decoded = loads(out)
    assert len(decoded) == MAX_ITEMS + 1
    if isinstance(decoded, dict):
        assert list(decoded)[:MAX_ITEMS] == list(range(MAX_ITEMS))
        assert decoded[Omitted(250)] is None
    else:
        assert list(decoded[:MAX_ITEMS]) == list(range(MAX_ITEMS))
        assert decoded[-1] == Omitted(250)
    assert repr(Omitted(250)) == "<250 more>"


def test_item_limit_applies_to_nested_containers_too():
    decoded = loads(dump_msgpack({"deep": [[list(range(MAX_ITEMS + 1))]]}))
    assert decoded["deep"][0][0][-1] == Omitted(1)
    assert len(decoded["deep"][0][0]) == MAX_ITEMS + 1


def test_set_item_limit():
    decoded = loads(dump_msgpack(set(range(MAX_ITEMS + 3))))
    assert Omitted(3) in decoded
    assert len(decoded) == MAX_ITEMS + 1


def test_string_limit_is_in_utf8_bytes():
    exact = "é" * (MAX_STR_BYTES // 2)
    assert loads(dump_msgpack(exact)) == exact
    over = "é" * (MAX_STR_BYTES // 2 + 1)
    out = dump_msgpack([over])
    assert loads(out) == [Clipped("é" * (MAX_STR_BYTES // 2), MAX_STR_BYTES // 2 + 1)]


def test_bytes_limit():
    exact = b"\x01" * MAX_STR_BYTES
    assert loads(dump_msgpack(exact)) == exact
    over = bytes(range(256)) * (MAX_STR_BYTES // 256 + 1)
    decoded = loads(dump_msgpack(over))
    assert decoded == Clipped(over[:MAX_STR_BYTES], len(over))
    assert repr(decoded).endswith(f"… ({len(over)} bytes)")
    assert loads(dump_msgpack(bytearray(over))) == decoded


def nested(levels: int, leaf: object) -> list:
    value = leaf
    for _ in range(levels):
        value = [value]
    return value


def descend(value: object, levels: int) -> object:
    for _ in range(levels):
        assert type(value) is list and len(value) == 1
        value = value[0]
    return value


@pytest.mark.parametrize("leaf", [7, [], {}])
def test_depth_limit_boundary(leaf):
    # MAX_DEPTH levels of containers are kept (an empty leaf container counts).
    levels = MAX_DEPTH if leaf == 7 else MAX_DEPTH - 1
    fine = nested(levels, leaf)
    out = dump_msgpack(fine)
    assert descend(loads(out), levels) == leaf

    too_deep = nested(levels + 1, leaf)
    out = dump_msgpack(too_deep)
    innermost = descend(loads(out), MAX_DEPTH)
    expected_name = "list" if leaf == 7 else type(leaf).__name__
    expected_len = 1 if leaf == 7 else 0
    assert innermost == TooDeep(expected_name, expected_len)


def test_very_deep_nesting():
    value = nested(50_000, "bottom")
    decoded = loads(dump_msgpack(value))
    assert descend(decoded, MAX_DEPTH) == TooDeep("list", 1)


def test_total_output_is_bounded():
    big = ["x" * (MAX_TOTAL_BYTES // 50)] * 100
    out = dump_msgpack(big)
    assert len(out) <= MAX_TOTAL_BYTES
    decoded = loads(out)
    assert len(decoded) == 100
    kept = [item for item in decoded if item != Dropped()]
    assert 25 <= len(kept) < 100
    assert all(item == big[0] for item in kept)
    assert decoded[len(kept):] == [Dropped()] * (100 - len(kept))


def test_total_bound_holds_for_wide_and_deep_values():
    value = [[["y" * 5000] * 50] * 50] * 50
    out = dump_msgpack(value)
    assert len(out) <= MAX_TOTAL_BYTES
    one_value(out)


# --- hostile values ------------------------------------------------------------


class ReprRaises:
    def __repr__(self):
        raise RuntimeError("no")


class ReprNotStr:
    def __repr__(self):
        return 42


class ReprStrSubclass:
    class S(str):
        pass

    def __repr__(self):
        return self.S("sub")


class ReprSystemExit:
    def __repr__(self):
        raise SystemExit(3)


class ReprRecursionError:
    def __repr__(self):
        return repr(self)


def test_objects_that_cannot_be_represented(repr_mode):
    for cls, text in [
        (ReprRaises, f"<unrepresentable {HERE}.ReprRaises object>"),
        (ReprNotStr, f"<unrepresentable {HERE}.ReprNotStr object>"),
        (ReprSystemExit, f"<unrepresentable {HERE}.ReprSystemExit object>"),
        (ReprRecursionError, f"<unrepresentable {HERE}.ReprRecursionError object>"),
        (ReprStrSubclass, "sub"),
    ]:
        out = dump_msgpack({"v": cls()})
        assert loads(out) == {"v": Repr(f"{HERE}.{cls.__name__}", text)}
        one_value(out)


class HashBomb:
    armed = False

    def __hash__(self):
        if HashBomb.armed:
            raise RuntimeError("hash")
        return 1

    def __eq__(self, other):
        raise RuntimeError("eq")

    def __repr__(self):
        return "bomb"


def test_keys_and_members_whose_hash_and_eq_raise():
    d = {HashBomb(): "value"}
    s = {HashBomb()}
    HashBomb.armed = True
    try:
        for value in (d, s, [HashBomb(), HashBomb()]):
            out = dump_msgpack(value)
            one_value(out)
        assert msgpack.unpackb(dump_msgpack(d), strict_map_key=False) == {ext(10, [f"{HERE}.HashBomb", {}]): "value"}
    finally:
        HashBomb.armed = False


class Shrinks:
    """Its repr pops the list it sits in, while that list is being written."""

    def __init__(self, owner):
        self.owner = owner

    def __repr__(self):
        if self.owner:
            self.owner.pop()
        return "shrinks"


class Grows:
    def __init__(self, owner):
        self.owner = owner

    def __repr__(self):
        self.owner.append(9)
        return "grows"


class AddsKey:
    def __init__(self, owner):
        self.owner = owner

    def __repr__(self):
        self.owner[f"k{len(self.owner)}"] = 0
        return "adds"


class SwapsKey:
    def __init__(self, owner):
        self.owner = owner

    def __repr__(self):
        self.owner.pop("c", None)
        self.owner["d"] = 4
        return "swaps"


# With repr() asked for, a container is written as it was when the walk
# reached it, running each repr() once.


@pytest.fixture
def repr_mode():
    previous = serialize.configure(use_repr=True)
    yield
    serialize.configure(**previous)


def test_list_shrinking_while_written(repr_mode):
    lst = [1, None, 2, 3]
    lst[1] = Shrinks(lst)
    out = dump_msgpack(lst)
    one_value(out)
    assert loads(out) == [1, Repr(f"{HERE}.Shrinks", "shrinks"), 2, 3]
    assert lst == [1, lst[1], 2]


def test_list_growing_while_written(repr_mode):
    lst = [1, None, 2, 3]
    lst[1] = Grows(lst)
    out = dump_msgpack(lst)
    one_value(out)
    assert loads(out) == [1, Repr(f"{HERE}.Grows", "grows"), 2, 3]
    assert lst[4:] == [9]


def test_dict_gaining_a_key_while_written(repr_mode):
    d = {"a": 1, "b": None, "c": 2}
    d["b"] = AddsKey(d)
    out = dump_msgpack(d)
    one_value(out)
    assert loads(out) == {"a": 1, "b": Repr(f"{HERE}.AddsKey", "adds"), "c": 2}


def test_dict_swapping_a_key_while_written(repr_mode):
    d = {"a": 1, "b": None, "c": 2}
    d["b"] = SwapsKey(d)
    decoded = loads(dump_msgpack(d))
    assert decoded == {"a": 1, "b": Repr(f"{HERE}.SwapsKey", "swaps"), "c": 2}


def test_by_default_no_repr_runs_and_nothing_changes():
    lst = [1, None, 2, 3]
    lst[1] = Shrinks(lst)
    d = {"a": 1, "b": None}
    d["b"] = AddsKey(d)
    assert loads(dump_msgpack([lst, d])) == [
        [1, Object(f"{HERE}.Shrinks", {"owner": Recursion("list")}), 2, 3],
        {"a": 1, "b": Object(f"{HERE}.AddsKey", {"owner": Recursion("dict")})},
    ]
    assert lst[2:] == [2, 3] and list(d) == ["a", "b"]


class LyingDict(dict):
    def items(self):
        return [("lie", 1)] * 5

    def __iter__(self):
        return iter(["lie"] * 5)

    def __len__(self):
        return 99


class LyingList(list):
    def __iter__(self):
        raise RuntimeError("iter")

    def __len__(self):
        return 7


class LyingTuple(tuple):
    def __iter__(self):
        return iter(())

    def __getitem__(self, index):
        raise RuntimeError("getitem")


def test_container_subclasses_are_written_from_their_real_contents():
    out = dump_msgpack([LyingDict(a=1), LyingList([1, 2]), LyingTuple((3,))])
    assert loads(out) == [Typed(f"{HERE}.LyingDict", {"a": 1}), Typed(f"{HERE}.LyingList", [1, 2]),
                          Typed(f"{HERE}.LyingTuple", [3])]
    big = LyingList(range(MAX_ITEMS + 1))
    assert loads(dump_msgpack(big)).value[-1] == Omitted(1)


def test_subclasses_of_scalars_keep_their_type_name_and_value():
    import enum

    class Color(enum.IntEnum):
        RED = 1

    class Tag(str):
        pass

    class Big(int):
        def __int__(self):
            raise AssertionError("ran")

    decoded = loads(dump_msgpack([Color.RED, Tag("t"), Big(2**70)]))
    assert decoded == [EnumMember(f"{HERE}.{Color.__qualname__}", "RED"), Typed(f"{HERE}.{Tag.__qualname__}", "t"),
                       Typed(f"{HERE}.{Big.__qualname__}", 2**70)]
    assert [repr(v) for v in decoded] == ["Color.RED", "Tag('t')", f"Big({2**70})"]


class FakeArray:
    """Looks like a numpy array: truthiness, len, iteration and == all fail."""

    shape = (2, 2)
    dtype = "float64"

    def __array__(self):
        raise RuntimeError

    def __len__(self):
        raise TypeError("len() of unsized object")

    def __iter__(self):
        raise TypeError("iteration over a 0-d array")

    def __bool__(self):
        raise ValueError("truth value of an array is ambiguous")

    def __eq__(self, other):
        raise ValueError("ambiguous")

    __hash__ = None

    def __repr__(self):
        return "array([[1., 2.],\n       [3., 4.]])"


def test_numpy_like_objects_are_read_without_their_methods():
    decoded = loads(dump_msgpack({"a": FakeArray()}))
    assert decoded == {"a": Object(f"{HERE}.FakeArray", {})}


class ClaimsToBeDict:
    @property
    def __class__(self):
        return dict

    def __repr__(self):
        return "impostor"


def test_hostile_types():
    class LyingMeta(type):
        @property
        def __module__(cls):
            return 12

        def __getattribute__(cls, name):
            raise RuntimeError(name)

        def __repr__(cls):
            raise RuntimeError

    class WithLyingMeta(metaclass=LyingMeta):
        def __repr__(self):
            return "instance"

    decoded = loads(dump_msgpack([WithLyingMeta(), WithLyingMeta, ClaimsToBeDict()]))
    assert decoded[0] == Object(f"{HERE}.test_hostile_types.<locals>.WithLyingMeta", {})
    assert decoded[1] == NamedValue("class", f"{HERE}.test_hostile_types.<locals>.WithLyingMeta")
    assert decoded[2] == Object(f"{HERE}.ClaimsToBeDict", {})


def test_lone_surrogates_are_escaped_everywhere():
    value = {"k\ud800": ["v\udfff", Named("r\udc80")]}
    out = dump_msgpack(value)
    assert msgpack.unpackb(out, strict_map_key=False)["k\\ud800"][0] == "v\\udfff"
    assert loads(out) == {"k\\ud800": ["v\\udfff", Object(f"{HERE}.Named", {"text": "r\\udc80"})]}


class Reenters:
    def __repr__(self):
        return "inner=" + dump_msgpack([1, Named("deeper"), (2,)]).hex()


def test_repr_that_serialises_again(repr_mode):
    decoded = loads(dump_msgpack([Reenters(), Reenters()]))
    inner = dump_msgpack([1, Named("deeper"), (2,)])
    assert msgpack.unpackb(inner) == [1, ext(1, [f"{HERE}.Named", "deeper"]), ext(11, ["tuple", [2]])]
    assert decoded == [Repr(f"{HERE}.Reenters", "inner=" + inner.hex())] * 2


def test_frame_locals_are_a_map():
    def capture():
        alpha = 1
        beta = [alpha]
        import sys

        return sys._getframe().f_locals, beta

    f_locals, _ = capture()
    decoded = loads(dump_msgpack(f_locals))
    assert decoded["alpha"] == 1 and decoded["beta"] == [1]
    light = loads(dump_msgpack_lightweight_repr(f_locals))
    assert light["alpha"] == 1 and light["beta"] == [1]


def test_mappingproxy_is_a_map():
    import types

    assert loads(dump_msgpack(types.MappingProxyType({"a": (1,)}))) == {"a": (1,)}


# --- lightweight variant -----------------------------------------------------


class CountsRepr:
    calls = 0

    def __repr__(self):
        CountsRepr.calls += 1
        return "counted"


def test_lightweight_never_calls_repr():
    CountsRepr.calls = 0
    values = [
        CountsRepr(),
        [CountsRepr(), 1],
        (CountsRepr(),),
        {"k": CountsRepr()},
        {CountsRepr(): 1},
        {1: [CountsRepr()]},
        set([CountsRepr()]),
    ]
    for value in values:
        one_value(dump_msgpack_lightweight_repr(value))
    assert CountsRepr.calls == 0
    assert loads(dump_msgpack_lightweight_repr(CountsRepr())) == Opaque(f"{HERE}.CountsRepr")
    assert repr(Opaque("x.Y")) == "<x.Y>"


def test_lightweight_scalars_match_dump_msgpack():
    for value in (None, True, 7, -(2**63), 2**64 - 1, 2**70, 1.25, "text", b"raw", "x" * LIGHT_MAX_STR):
        assert dump_msgpack_lightweight_repr(value) == dump_msgpack(value)


def test_lightweight_containers_are_shallow():
    value = {"n": 1, "s": "short", "l": [1, 2], "d": {"a": 1}, "t": (1,), "o": Plain(), 3: None, (1, 2): "tuple key",
             "deep": [[1]], "long": list(range(9)), "holds_object": {"o": Plain()}}
    decoded = loads(dump_msgpack_lightweight_repr(value))
    # Small containers of plain values inside a container keep their shape
    # (a plugin record's call site is one); anything more becomes a marker.
    assert decoded == {
        "n": 1,
        "s": "short",
        "l": [1, 2],
        "d": {"a": 1},
        "t": [1],
        "o": Opaque(f"{HERE}.Plain"),
        3: None,
        Opaque("tuple"): "tuple key",
        "deep": Opaque("list"),
        "long": Opaque("list"),
        "holds_object": Opaque("dict"),
    }
    assert loads(dump_msgpack_lightweight_repr([1, [2], "x", Plain()])) == [1, [2], "x", Opaque(f"{HERE}.Plain")]
    assert loads(dump_msgpack_lightweight_repr((1, 2.5))) == [1, 2.5]


def test_lightweight_keeps_every_key_even_when_markers_repeat():
    out = dump_msgpack_lightweight_repr({(1,): "a", (2,): "b"})
    pairs = msgpack.unpackb(out, strict_map_key=False, object_pairs_hook=list)
    assert pairs == [(ExtType(3, msgpack.packb("tuple")), "a"), (ExtType(3, msgpack.packb("tuple")), "b")]


def test_lightweight_bounds():
    decoded = loads(dump_msgpack_lightweight_repr(list(range(LIGHT_MAX_ITEMS + 5))))
    assert decoded == list(range(LIGHT_MAX_ITEMS)) + [Omitted(5)]
    mapping = {f"k{i}": i for i in range(LIGHT_MAX_ITEMS + 2)}
    decoded = loads(dump_msgpack_lightweight_repr(mapping))
    assert len(decoded) == LIGHT_MAX_ITEMS + 1 and decoded[Omitted(2)] is None
    long = "é" * (LIGHT_MAX_STR + 1)
    assert loads(dump_msgpack_lightweight_repr({"s": long, long: 1})) == {
        "s": Clipped("é" * LIGHT_MAX_STR, LIGHT_MAX_STR + 1),
        Clipped("é" * LIGHT_MAX_STR, LIGHT_MAX_STR + 1): 1,
    }
    assert loads(dump_msgpack_lightweight_repr([b"b" * 300])) == [Clipped(b"b" * LIGHT_MAX_STR, 300)]


def test_lightweight_hostile_values():
    lst = [1]
    lst.append(lst)
    for value in (lst, {"s": "a\ud800"}, ["\udfff", 2**90], {HashBomb(): 1}, LyingDict(a=1), FakeArray(), 10**5000):
        one_value(dump_msgpack_lightweight_repr(value))
    assert loads(dump_msgpack_lightweight_repr(lst)) == [1, Opaque("list")]
    assert loads(dump_msgpack_lightweight_repr({"s": "a\ud800", "n": 2**90})) == {"s": "a\\ud800", "n": 2**90}
    assert loads(dump_msgpack_lightweight_repr(LyingDict(a=1))) == {"a": 1}


# --- threads -------------------------------------------------------------------


class Sleepy:
    """Yields the GIL inside repr, so threads interleave inside the packer hook."""

    def __init__(self, n):
        self.n = n

    def __repr__(self):
        time.sleep(0)
        return f"sleepy-{self.n}"


def test_concurrent_threads_get_their_own_outputs(repr_mode):
    values = [
        {"i": i, "obj": Sleepy(i), "items": [Sleepy(i), (i, Sleepy(-i))], "text": "t" * (i * 50)} for i in range(8)
    ]
    expected = [dump_msgpack(v) for v in values]
    expected_light = [dump_msgpack_lightweight_repr(v) for v in values]
    for i, out in enumerate(expected):
        assert loads(out)["items"][1] == (i, Repr(f"{HERE}.Sleepy", f"sleepy-{-i}"))
    failures = []
    barrier = threading.Barrier(8)

    def hammer(i):
        barrier.wait()
        for _ in range(300):
            if dump_msgpack(values[i]) != expected[i] or dump_msgpack_lightweight_repr(values[i]) != expected_light[i]:
                failures.append(i)
                return

    threads = [threading.Thread(target=hammer, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert failures == []


# --- reading -------------------------------------------------------------------


def test_loads_reads_a_trace_document_with_embedded_values():
    record = {"type": "frame", "arg": dump_msgpack(Named("a")), "locals": dump_msgpack({"x": 2**65})}
    # The native side embeds the value bytes verbatim; rebuild that here.
    doc = b"\x82" + msgpack.packb("frames_of_interest") + b"\x91\x83"
    doc += msgpack.packb("type") + msgpack.packb("frame")
    doc += msgpack.packb("arg") + record["arg"]
    doc += msgpack.packb("locals") + record["locals"]
    doc += msgpack.packb("trace_id") + msgpack.packb("trc_1")
    assert loads(doc) == {
        "frames_of_interest": [{"type": "frame", "arg": Object(f"{HERE}.Named", {"text": "a"}), "locals": {"x": 2**65}}],
        "trace_id": "trc_1",
    }


def test_loads_makes_unhashable_keys_hashable():
    data = msgpack.packb({(1, (2, 3)): "a"})
    assert loads(data) == {(1, (2, 3)): "a"}
    pairs_with_map_key = b"\x81\x81\x01\x02\xa1v"  # {{1: 2}: "v"}
    assert loads(pairs_with_map_key) == {((1, 2),): "v"}
    # Objects and tuple subclasses, recorded as keys, decode as markers that hash alike where equal.
    a, b = Object("m.K", {"x": [1], "y": {"z": 2}}), Object("m.K", {"y": {"z": 2}, "x": [1]})
    assert a == b and hash(a) == hash(b) and {a: 1}[b] == 1
    assert hash(Typed("m.Point", [1, [2]])) == hash(Typed("m.Point", [1, [2]]))


def test_loads_keeps_malformed_and_foreign_ext_values():
    for value in (ExtType(1, b"\xc1"), ExtType(1, msgpack.packb([1, 2])), ExtType(77, b"x"), ExtType(5, b"")):
        assert loads(msgpack.packb(value)) == value
    assert loads(msgpack.packb(ExtType(2, b"12x"))) == Repr("int", "12x")


def test_loads_rejects_what_is_not_one_value():
    with pytest.raises(ValueError):
        loads(b"\x92\x01")
    with pytest.raises(ValueError):
        loads(b"\x01\x02")


def test_marker_reprs():
    assert repr(Repr("a.B", "x")) == "<a.B: x>"
    assert repr(Clipped("abc", 10)) == "'abc'… (10 chars)"
    assert repr(TooDeep("list", 3)) == "<list of 3 items, nested too deep>"
    assert repr(Dropped()) == "<dropped: size limit>"


# --- properties ------------------------------------------------------------------

scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=True)
    | st.text(max_size=40)
    | st.binary(max_size=40)
)
keys = st.none() | st.booleans() | st.integers() | st.text(max_size=10) | st.tuples(st.integers(), st.text(max_size=3))
values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=6)
    | st.tuples(children, children)
    | st.dictionaries(keys, children, max_size=6),
    max_leaves=40,
)


class _NaN:
    def __eq__(self, other):
        return isinstance(other, _NaN)

    def __repr__(self):
        return "NaN"


def normal(value: object, key: bool = False) -> object:
    """What a value reads back as: tuples are arrays (tuples again as keys)."""
    if isinstance(value, float) and math.isnan(value):
        return _NaN()
    if isinstance(value, (list, tuple)):
        items = [normal(v, key) for v in value]
        return tuple(items) if key else items
    if isinstance(value, dict):
        return {normal(k, True): normal(v) for k, v in value.items()}
    return value


@settings(max_examples=300, deadline=None)
@given(values)
def test_property_one_value_round_trip_and_paths_agree(value):
    out = dump_msgpack(value)
    one_value(out)
    assert normal(loads(out)) == normal(value)


@settings(max_examples=150, deadline=None)
@given(values)
def test_property_lightweight_is_one_value(value):
    one_value(dump_msgpack_lightweight_repr(value))


@settings(max_examples=150, deadline=None)
@given(st.recursive(st.text(alphabet=st.characters(categories=["Cs", "Ll"]), max_size=5) | st.integers(), lambda c: st.lists(c, max_size=4) | st.dictionaries(st.text(max_size=3), c, max_size=3), max_leaves=15))
def test_property_surrogates_never_break_the_output(value):
    one_value(dump_msgpack(value))
    one_value(dump_msgpack_lightweight_repr(value))


def test_decoder_module_reads_what_serialize_writes():
    from ruvo import decode

    # The extension codes come from the native module, for both sides.
    codes = {name: getattr(serialize, name) for name in dir(serialize) if name.startswith("EXT_") and name != "EXT_CODES"}
    assert codes == {f"EXT_{name}": code for name, code in serialize.EXT_CODES.items()}
    assert len(set(codes.values())) == len(codes) == 14
    assert {name: getattr(decode, name) for name in dir(decode) if name.startswith("EXT_") and name != "EXT_CODES"} == codes
    # Every name serialize has always exported is still there, and the decoder's are the same objects.
    assert {
        "dump_msgpack", "dump_msgpack_lightweight_repr", "loads", "Repr", "Opaque", "Recursion", "Omitted",
        "Clipped", "TooDeep", "Dropped", "Failed", "MAX_ITEMS", "MAX_DEPTH", "MAX_STR_BYTES", "MAX_TOTAL_BYTES",
        "MAX_REPR_CHARS", "LIGHT_MAX_ITEMS", "LIGHT_MAX_STR",
    } <= set(serialize.__all__)
    for name in decode.__all__:
        assert getattr(serialize, name) is getattr(decode, name)
    assert decode.loads(dump_msgpack([Repr, 2**70, "x" * (MAX_STR_BYTES + 1)])) == [
        decode.Named("class", "ruvo.decode.Repr"), 2**70, decode.Clipped("x" * MAX_STR_BYTES, MAX_STR_BYTES + 1)]
