"""The native module's building blocks, through its test-only companion
module: MessagePack writers, ids, filters, qualified names, call sites, paths."""

import functools
import pathlib
import re
import sys
import threading
import time

import msgpack
import pytest
from hypothesis import assume, given, strategies as st

native = pytest.importorskip("ruvo._ruvo_testing", reason="built with -C cmake.define.RUVO_TESTING=ON only")

CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


class TestWriters:
    def test_str_pair(self):
        assert native.str_pair("k", None) == b"\xa1k\xc0"
        assert native.str_pair("k", "a" * 31) == b"\xa1k\xbf" + b"a" * 31
        assert native.str_pair("k", "a" * 32) == b"\xa1k\xd9\x20" + b"a" * 32
        assert native.str_pair("k", "a" * 256) == b"\xa1k\xda\x01\x00" + b"a" * 256
        assert native.str_pair("k", "a" * 65536) == b"\xa1k\xdb\x00\x01\x00\x00" + b"a" * 65536

    @pytest.mark.parametrize(
        "value, encoded",
        [
            (None, b"\xc0"),
            (0, b"\x00"),
            (127, b"\x7f"),
            (128, b"\xcc\x80"),
            (255, b"\xcc\xff"),
            (256, b"\xcd\x01\x00"),
            (65535, b"\xcd\xff\xff"),
            (65536, b"\xce\x00\x01\x00\x00"),
            (2**32 - 1, b"\xce\xff\xff\xff\xff"),
            (2**32, b"\xcf\x00\x00\x00\x01\x00\x00\x00\x00"),
            (2**64 - 1, b"\xcf" + b"\xff" * 8),
        ],
    )
    def test_int_pair(self, value, encoded):
        assert native.int_pair("n", value) == b"\xa1n" + encoded

    def test_f64_pair(self):
        assert native.f64_pair(1.5) == b"\xa9timestamp\xcb\x3f\xf8\x00\x00\x00\x00\x00\x00"
        assert native.f64_pair(0.0) == b"\xa9timestamp\xcb" + b"\x00" * 8

    def test_raw_pair_moves_the_bytes_out(self):
        pair, left = native.raw_pair("arg", b"\x92\x01\x02")
        assert pair == b"\xa3arg\x92\x01\x02"
        assert left == b""

    @pytest.mark.parametrize(
        "value, encoded",
        [
            (-1, b"\xff"),
            (-32, b"\xe0"),
            (-33, b"\xd0\xdf"),
            (-128, b"\xd0\x80"),
            (-129, b"\xd1\xff\x7f"),
            (-32768, b"\xd1\x80\x00"),
            (-32769, b"\xd2\xff\xff\x7f\xff"),
            (-(2**31), b"\xd2\x80\x00\x00\x00"),
            (-(2**31) - 1, b"\xd3\xff\xff\xff\xff\x7f\xff\xff\xff"),
            (True, b"\xc3"),
            (False, b"\xc2"),
            (b"ab", b"\xc4\x02ab"),
            (b"x" * 256, b"\xc5\x01\x00" + b"x" * 256),
            (("f32", 1.5), b"\xca\x3f\xc0\x00\x00"),
            (2.5, b"\xcb\x40\x04\x00\x00\x00\x00\x00\x00"),
            (("text", b"caf\xc3\xa9"), b"\xa5caf\xc3\xa9"),
            (("text", b"\xff\xfe"), b"\xc4\x02\xff\xfe"),
            (("text", b"\xed\xa0\x80"), b"\xc4\x03\xed\xa0\x80"),
            (("ext", 5, b"a"), b"\xd4\x05a"),
            (("ext", -1, b"ab"), b"\xd5\xffab"),
            (("ext", 1, b"abcd"), b"\xd6\x01abcd"),
            (("ext", 1, b"a" * 8), b"\xd7\x01" + b"a" * 8),
            (("ext", 1, b"a" * 16), b"\xd8\x01" + b"a" * 16),
            (("ext", 2, b"abc"), b"\xc7\x03\x02abc"),
            (("ext", 2, b"a" * 300), b"\xc8\x01\x2c\x02" + b"a" * 300),
        ],
    )
    def test_value_tree_forms(self, value, encoded):
        assert native.value(value) == encoded

    def test_containers(self):
        assert native.value([]) == b"\x90"
        assert native.value(list(range(16)))[:3] == b"\xdc\x00\x10"
        assert native.value({"a": [1, None]}) == b"\x81\xa1a\x92\x01\xc0"
        big = {str(i): i for i in range(16)}
        assert native.value(big)[:3] == b"\xde\x00\x10"
        assert msgpack.unpackb(native.value(big)) == big

    @given(st.recursive(
        st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False)
        | st.text() | st.binary(),
        lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=5), children, max_size=5),
        max_leaves=20,
    ))
    def test_value_tree_matches_msgpack(self, value):
        encoded = native.value(value)
        assert encoded == msgpack.packb(value, use_bin_type=True)
        assert native.is_one_value(encoded)


class TestOneValueCheck:
    @pytest.mark.parametrize(
        "data",
        [b"\xc0", b"\x92\x01\x02", b"\x81\xa1a\xc3", b"\xd9\x03abc", b"\xc4\x00", b"\xd4\x01\x00",
         b"\xc7\x02\x01ab", b"\xdc\x00\x01\x01", b"\xde\x00\x01\x01\x02", b"\xcb" + b"\x00" * 8],
    )
    def test_complete_values(self, data):
        assert native.is_one_value(data)

    @pytest.mark.parametrize(
        "data",
        [b"", b"\xc0\xc0", b"\x92\x01", b"\xa3ab", b"\xc1", b"\xd9", b"\xcd\x01", b"\xdd\xff\xff\xff\xff",
         b"\xdf\xff\xff\xff\xff\x01", b"\xc6\xff\xff\xff\xff", b"\x81\xa1a", b"\xc7\x02\x01a"],
    )
    def test_incomplete_or_extra(self, data):
        assert not native.is_one_value(data)

    @given(st.binary(max_size=40))
    def test_agrees_with_msgpack(self, data):
        # skip() walks one value's structure without building it.
        unpacker = msgpack.Unpacker()
        unpacker.feed(data)
        try:
            unpacker.skip()
            complete = unpacker.tell() == len(data)
        except (msgpack.OutOfData, msgpack.FormatError, msgpack.StackError):
            complete = False
        assert native.is_one_value(data) == complete


class TestIds:
    def test_ulid_text(self):
        assert native.ulid(0, 0) == "0" * 26
        assert native.ulid(2**64 - 1, 2**64 - 1) == "7" + "Z" * 25
        assert native.ulid(0, 1) == "0" * 25 + "1"
        assert native.ulid(0, 31) == "0" * 25 + "Z"
        assert native.ulid(0, 32) == "0" * 24 + "10"
        # The top 48 bits are the milliseconds: 1 ms after the epoch.
        assert native.ulid(1 << 16, 0) == "0000000001" + "0" * 16

    def test_new_ids(self):
        before_ms = int(time.time() * 1000)
        ids = [native.new_id("frm_") for _ in range(200)]
        after_ms = int(time.time() * 1000)
        assert len(set(ids)) == 200
        for frame_id in ids:
            assert re.fullmatch(r"frm_[" + CROCKFORD + "]{26}", frame_id)
            # The first character carries 3 bits and the next nine 45: the 48 bits of the time.
            bits = "".join(format(CROCKFORD.index(c), "05b") for c in frame_id[4:14])
            assert before_ms <= int(bits, 2) <= after_ms
        assert native.new_id("trc_").startswith("trc_")

    def test_ids_from_many_threads_differ(self):
        results = []

        def make():
            results.extend(native.new_id("frm_") for _ in range(500))

        threads = [threading.Thread(target=make) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(set(results)) == 4000

    def test_timestamp_has_sub_millisecond_resolution(self):
        stamps = {native.timestamp() % 0.001 for _ in range(50)}
        assert len(stamps) > 1
        assert abs(native.timestamp() - time.time()) < 1


class TestFilters:
    @pytest.mark.parametrize(
        "filename",
        [
            "/usr/lib/python3.12/json/decoder.py",
            "/home/u/mylib/pythonic/app.py",
            "/home/u/.venv/lib/python3.11/site-packages/requests/api.py",
            "/opt/x/site-packages/pkg/mod.py",
            "<frozen importlib._bootstrap>",
            "<string>",
            "prefix<string>suffix",
            "<pytest match expression>",
            "<attrs generated init app.Model>",
            "/home/u/ruvo/utils.py",
            "/home/u/proj/ruvo/__init__.py",
            "/x/ruvo/filters/base.py",
            "/home/u/ruvo/plugins.py",
            "/src/ruvo/cli/run.py",
        ],
    )
    def test_skipped(self, filename):
        assert native.decide(filename, [], []) == "skip"

    @pytest.mark.parametrize(
        "filename",
        [
            "/home/u/proj/app/views.py",
            "/home/u/proj/Site-Packages/x.py",
            "x<pytest match expression>",
            "<pytest match expression> ",
            "<attrs generate",
            "/home/u/ruvo/profiler_tools.py",
            "",
        ],
    )
    def test_user_code(self, filename):
        assert native.decide(filename, [], []) == "record-unless-attrs"

    def test_include_overrides_every_skip_rule(self):
        library = "/venv/lib/python3.11/site-packages/mypkg/core.py"
        assert native.decide(library, ["mypkg"], []) == "record"
        assert native.decide(library, ["mypkg"], ["mypkg"]) == "record"
        assert native.decide("/app/x.py", [""], []) == "record"

    def test_ignore(self):
        assert native.decide("/app/migrations/0001.py", [], ["/migrations/"]) == "skip"
        assert native.decide("/app/x.py", [], [""]) == "skip"
        assert native.decide("/app/x.py", [], ["x.pyc"]) == "record-unless-attrs"

    def test_attrs_callers(self):
        make_code = compile("def make(f):\n    return f()\n", "/venv/lib/attr/_make.py", "exec")
        blank_code = compile("def relay(f):\n    return f()\n", "", "exec")
        namespace = {}
        exec(make_code, namespace)
        exec(blank_code, namespace)
        make, relay = namespace["make"], namespace["relay"]

        def current():
            return sys._getframe()

        user = "/home/u/app.py"
        assert native.decide(user, [], [], make(current)) == "skip"
        # A caller with an empty file name defers to its own caller.
        assert native.decide(user, [], [], make(functools.partial(relay, current))) == "skip"
        assert native.decide(user, [], [], make(lambda: relay(current))) == "record"
        assert native.decide(user, [], [], relay(current)) == "record"
        assert native.decide(user, [], [], current()) == "record"
        assert native.decide(user, [user], [], make(current)) == "record"


class FakeCode:
    """A code object of an interpreter without co_qualname."""

    def __init__(self, co_name):
        self.co_name = co_name


class FakeFrame:
    def __init__(self, co_name, f_locals=None, f_globals=None, f_back=None):
        self.f_code = FakeCode(co_name)
        self.f_locals = f_locals if f_locals is not None else {}
        self.f_globals = f_globals if f_globals is not None else {"__name__": "shop.util"}
        self.f_back = f_back


class Order:
    def total(self):
        return 1

    @property
    def size(self):
        return 2

    @classmethod
    def create(cls):
        return cls()


def module_function():
    return 3


class TestQualnames:
    def test_real_frames(self):
        class OrderView:
            def get(self):
                return sys._getframe()

        assert native.qualname(OrderView().get()) == (
            f"{__name__}.TestQualnames.test_real_frames.<locals>.OrderView.get")
        assert native.qualname(sys._getframe()) == f"{__name__}.TestQualnames.test_real_frames"

    def test_real_frame_without_module_name_is_named_by_its_code(self):
        # exec() into a namespace without __name__: templates, routing tables.
        namespace = {}
        exec(compile("import sys\ndef f():\n    return sys._getframe()\n", "/x.py", "exec"), namespace)
        namespace.pop("__name__", None)
        assert native.qualname(namespace["f"]()) == "f"
        assert not sys.exc_info()[0]

    def test_fallback_module_code(self):
        assert native.qualname(FakeFrame("<module>", f_globals={"__name__": "shop.models"})) == "shop.models.<module>"

    def test_fallback_module_code_without_name_is_named_by_its_code(self):
        assert native.qualname(FakeFrame("<module>", f_globals={})) == "<module>"

    def test_fallback_co_name_not_a_string(self):
        with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
            native.qualname(FakeFrame(5))

    def test_caller_locals(self):
        def outer():
            def inner():
                pass
            return inner

        inner = outer()
        caller = FakeFrame("outer", f_locals={"inner": inner})
        frame = FakeFrame("inner", f_back=caller)
        assert native.qualname(frame) == f"{__name__}.TestQualnames.test_caller_locals.<locals>.outer.<locals>.inner"

    def test_caller_local_that_is_not_a_function(self):
        caller = FakeFrame("main", f_locals={"run": 5})
        assert native.qualname(FakeFrame("run", f_back=caller)) is None

    def test_no_caller(self):
        frame = FakeFrame("module_function", f_globals={"module_function": module_function})
        assert native.qualname_inner(frame, "module_function") is None

    def test_self_and_property(self):
        caller = FakeFrame("main")
        assert native.qualname_inner(FakeFrame("total", {"self": Order()}, f_back=caller), "total") == (
            f"{__name__}.Order.total")
        assert native.qualname_inner(FakeFrame("size", {"self": Order()}, f_back=caller), "size") == (
            f"{__name__}.Order.size")
        # Nothing on self: no fall-through to cls or globals.
        frame = FakeFrame("missing", {"self": Order(), "cls": Order},
                          f_globals={"__name__": "m", "missing": module_function}, f_back=caller)
        assert native.qualname_inner(frame, "missing") is None

    def test_cls(self):
        caller = FakeFrame("main")
        assert native.qualname_inner(FakeFrame("create", {"cls": Order}, f_back=caller), "create") == (
            f"{__name__}.Order.create")
        not_a_class = FakeFrame("module_function", {"cls": 5},
                                f_globals={"__name__": "m", "module_function": module_function}, f_back=caller)
        assert native.qualname_inner(not_a_class, "module_function") == f"{__name__}.module_function"

    def test_class_body_and_globals(self):
        caller = FakeFrame("main")
        body = FakeFrame("Order", {"__qualname__": "Order"}, f_globals={"__name__": "shop.models"}, f_back=caller)
        assert native.qualname_inner(body, "Order") == "shop.models.Order"
        lam = FakeFrame("<lambda>", {}, f_globals={"__name__": "m"}, f_back=caller)
        assert native.qualname_inner(lam, "<lambda>") is None

    def test_failures_inside_the_search_give_nothing(self):
        class Exploding(dict):
            def __getitem__(self, key):
                raise RuntimeError("no lookups")

        caller = FakeFrame("main", f_locals=Exploding())
        assert native.qualname_inner(FakeFrame("f", f_back=caller), "f") is None

    def test_unprintable_parts(self):
        class Unprintable:
            def __str__(self):
                raise ValueError("no str")

        def function():
            pass

        function.__module__ = Unprintable()
        caller = FakeFrame("main", f_locals={"function": function})
        seen = []
        old_hook = sys.unraisablehook
        sys.unraisablehook = seen.append
        try:
            name = native.qualname(FakeFrame("function", f_back=caller))
        finally:
            sys.unraisablehook = old_hook
        assert name.startswith("<unprintable Unprintable object>.")
        assert [type(s.exc_value) for s in seen] == [ValueError]


class TestCallSite:
    def frames(self):
        def inner():
            return sys._getframe()

        def outer():
            return sys._getframe(), inner()

        return outer()

    def test_top_entry_is_the_call_site(self):
        outer, inner = self.frames()
        site = native.call_site([(outer, "frm_A" + "0" * 25)], "frm_B" + "0" * 25)
        assert site == ("frm_A" + "0" * 25, outer.f_lineno)

    def test_own_entry_is_passed_over(self):
        outer, inner = self.frames()
        a, b = "frm_A" + "0" * 25, "frm_B" + "0" * 25
        assert native.call_site([(outer, a), (inner, b)], b) == (a, outer.f_lineno)
        assert native.call_site([(outer, b), (inner, b)], b) is None
        assert native.call_site([(inner, b)], b) is None
        assert native.call_site([], b) is None
        assert native.call_site([(outer, a)], None) is None

    def test_only_two_entries_are_looked_at(self):
        outer, inner = self.frames()
        a, b = "frm_A" + "0" * 25, "frm_B" + "0" * 25
        assert native.call_site([(outer, a), (inner, b), (inner, b)], b) is None

    def test_entry_that_is_not_a_frame(self):
        with pytest.raises(TypeError, match="^'str' object cannot be converted to 'PyFrame'$"):
            native.call_site([("not a frame", "frm_A" + "0" * 25)], "frm_B" + "0" * 25)


class TestThreadIdentity:
    def test_current_thread(self):
        assert native.current_thread() == (threading.current_thread().name, threading.get_native_id())

    def test_missing_or_none_native_id(self, monkeypatch):
        class Plain:
            name = "plain"

        monkeypatch.setattr(threading, "current_thread", Plain)
        assert native.current_thread() == ("plain", None)
        Plain.native_id = None
        assert native.current_thread() == ("plain", None)
        Plain.native_id = -1
        with pytest.raises(OverflowError):
            native.current_thread()
        Plain.name = 3
        with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
            native.current_thread()


class TestRelativePath:
    @pytest.mark.parametrize(
        "filename, cwd, expected",
        [
            ("/home/u/proj/app/views.py", "/home/u/proj", "app/views.py"),
            ("/home/u/proj/app/views.py", "/home/u/proj/", "app/views.py"),
            ("/home/u/project/x.py", "/home/u/proj", "/home/u/project/x.py"),
            ("/usr/lib/x/y.py", "/home/u/proj", "/usr/lib/x/y.py"),
            ("app/views.py", "/home/u/proj", "app/views.py"),
            ("<string>", "/home/u/proj", "<string>"),
            ("/home/u//proj/./app.py", "/home/u/proj", "app.py"),
            ("/a/b.py", "/", "a/b.py"),
            ("/home/u/proj", "/home/u/proj", ""),
        ],
    )
    def test_relative_path(self, filename, cwd, expected):
        assert native.relative_path(filename, cwd) == expected

    @given(
        st.lists(st.sampled_from(["a", "b", "ab", ".", "", ".x"]), max_size=5),
        st.lists(st.sampled_from(["a", "b", "ab", ".", "", ".x", "f.py"]), max_size=6),
    )
    def test_agrees_with_pathlib(self, cwd_parts, file_parts):
        cwd = "/" + "/".join(cwd_parts)
        filename = "/" + "/".join(file_parts)
        # pathlib keeps POSIX's implementation-defined "//" root apart from "/".
        assume(not cwd.startswith("//") and not filename.startswith("//"))
        result = native.relative_path(filename, cwd)
        path, directory = pathlib.PurePosixPath(filename), pathlib.PurePosixPath(cwd)
        if path.is_relative_to(directory):
            assert pathlib.PurePosixPath(result) == path.relative_to(directory)
        else:
            assert result == filename


class TestInternalErrors:
    def test_internal_error_class(self):
        with pytest.raises(BaseException) as caught:
            native.internal_error("Writing to memory, not I/O")
        assert not isinstance(caught.value, Exception)
        assert type(caught.value).__name__ == "InternalError"
        assert str(caught.value) == "Writing to memory, not I/O"
