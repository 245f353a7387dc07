"""Frame records and trace documents: what one call and return becomes,
byte for byte, and how records pair up into call trees."""

import asyncio
import logging
import os
import re
import struct
import sys
import threading
import time

import msgpack
import pytest

from conftest import BACKEND, HostProfiler, decode, raw_records, record

FRAME_ID = re.compile(r"^frm_[0-9A-HJKMNP-TV-Z]{26}$")
HERE = os.path.relpath(__file__)
pytestmark = pytest.mark.usefixtures("backend")
RECORD_KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
               "thread_native_id", "timestamp", "type", "user_code_call_site"]


def add(a, b):
    total = a + b
    return total


def caller():
    x = add(1, 2)
    return add(x, 3)


def line_of(function, offset):
    return function.__code__.co_firstlineno + offset


class TestFrameRecord:
    def test_one_call_and_return(self, repr_serializer):
        before = time.time()
        recording = record(add, 2, 3)
        after = time.time()
        call, ret = recording.frames()
        main = threading.main_thread()
        assert call == {
            "path": f"{HERE}:{add.__code__.co_firstlineno}",
            "co_name": "add",
            "qualname": f"{__name__}.add",
            "event": "call",
            "frame_id": call["frame_id"],
            "arg": "None",
            "locals": "{'a': 2, 'b': 3}",
            "thread": "MainThread",
            "thread_native_id": main.native_id,
            "timestamp": call["timestamp"],
            "type": "frame",
            "user_code_call_site": None,
        }
        assert FRAME_ID.match(call["frame_id"])
        assert ret["frame_id"] == call["frame_id"]
        assert ret["event"] == "return"
        assert ret["arg"] == "5"
        assert ret["locals"] == "{'a': 2, 'b': 3, 'total': 5}"
        assert ret["path"] == f"{HERE}:{line_of(add, 2)}"
        assert before <= call["timestamp"] <= ret["timestamp"] <= after

    def test_bytes_are_the_smallest_forms_in_fixed_order(self, repr_serializer):
        recording = record(caller)
        raws = raw_records(recording.document)
        assert len(raws) == 6
        for raw, decoded in zip(raws, recording.records):
            assert raw[:6] == b"\x8c\xa4path"
            assert list(decoded) == RECORD_KEYS
            # msgpack writes the smallest forms and float64: the same bytes.
            assert raw == msgpack.packb(decoded)
        nested_call = raws[1]
        site = msgpack.packb({"call_frame_id": recording.records[0]["frame_id"], "line_number": line_of(caller, 1)})
        assert nested_call.endswith(b"\xb3user_code_call_site" + site)
        assert raws[0].endswith(b"\xb3user_code_call_site\xc0")
        assert b"\xa9timestamp\xcb" in raws[0]

    def test_arg_and_locals_are_the_serialiser_bytes_verbatim(self, monkeypatch):
        import ruvo.serialize

        # A value encoded as float32 and a bin: forms the record writer never
        # makes itself, so they can only come from the serialiser.
        monkeypatch.setattr(ruvo.serialize, "dump_msgpack",
                            lambda value: b"\xca\x3f\xc0\x00\x00" if value is None else b"\xc4\x01z")
        raw = raw_records(record(add, 1, 1).document)[0]
        assert b"\xa3arg\xca\x3f\xc0\x00\x00\xa6locals\xc4\x01z\xa6thread" in raw

    def test_lightweight_repr_chooses_the_other_serialiser(self, repr_serializer):
        recording = record(add, 1, 1, config={"lightweight_repr": True, "builtin_plugins": False})
        assert {(r["arg"], r["locals"]) for r in recording.frames()} == {("light", "light")}

    def test_locals_are_a_snapshot_at_the_event(self):
        def grows():
            items = []
            items.append(1)
            items.append(2)
            return items

        call, ret = record(grows).frames()
        assert call["locals"] == {}
        assert ret["locals"] == {"items": [1, 2]}

    def test_qualname_follows_the_module_name_at_each_event(self):
        # One code object under the names its globals hold at each event: a
        # renamed module, and a name that is not ASCII.
        namespace = {"__name__": "first"}
        exec(compile("class K:\n    def m(self):\n        return 1\n", __file__, "exec"), namespace)
        method = namespace["K"]().m

        def rename_between_calls():
            method()
            namespace["__name__"] = "second"
            method()
            namespace["__name__"] = "caf\u00e9"
            method()
            namespace["__name__"] = "first"
            method()

        recording = record(rename_between_calls)
        assert [(r["event"], r["qualname"]) for r in recording.frames("m")] == [
            ("call", "first.K.m"), ("return", "first.K.m"),
            ("call", "second.K.m"), ("return", "second.K.m"),
            ("call", "caf\u00e9.K.m"), ("return", "caf\u00e9.K.m"),
            ("call", "first.K.m"), ("return", "first.K.m"),
        ]

    def test_module_level_frame(self, tmp_path, monkeypatch, repr_serializer):
        module_file = tmp_path / "script_mod.py"
        module_file.write_text("value = 41\nvalue += 1\n")
        monkeypatch.chdir(tmp_path)
        namespace = {"__name__": "script_mod", "__builtins__": __builtins__}
        code = compile(module_file.read_text(), str(module_file), "exec")
        recording = record(exec, code, namespace)
        call, ret = recording.frames()
        # Module code starts before its first line.
        assert call["path"] == "script_mod.py:0"
        assert ret["path"] == "script_mod.py:2"
        assert call["qualname"] == "script_mod.<module>"
        assert "__builtins__" not in ret["locals"] and "'value': 42" in ret["locals"]
        assert "__builtins__" in namespace

    def test_path_follows_directory_changes(self, tmp_path):
        here = os.getcwd()
        absolute = f"{os.path.abspath(__file__)}:{add.__code__.co_firstlineno}"
        relative = f"{HERE}:{add.__code__.co_firstlineno}"
        moved, back = threading.Event(), threading.Event()

        def other_thread_moves():
            os.chdir(tmp_path)
            moved.set()
            back.wait(10)
            descriptor = os.open(here, os.O_RDONLY)
            try:
                os.fchdir(descriptor)
            finally:
                os.close(descriptor)
            moved.set()

        def moves():
            add(1, 1)
            os.chdir(tmp_path)
            add(2, 2)
            os.chdir(here)
            add(3, 3)
            mover = threading.Thread(target=other_thread_moves)
            mover.start()
            moved.wait(10)
            moved.clear()
            add(4, 4)
            back.set()
            moved.wait(10)
            mover.join()
            add(5, 5)

        try:
            recording = record(moves)
        finally:
            os.chdir(here)
        calls = [f["path"] for f in recording.frames("add") if f["event"] == "call"]
        assert calls == [relative, absolute, relative, absolute, relative]

    def test_path_outside_the_current_directory_stays_absolute(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        call, _ = record(add, 1, 2).frames()
        assert call["path"] == f"{os.path.abspath(__file__)}:{add.__code__.co_firstlineno}"


class TestEventPairing:
    def test_nested_calls_form_a_tree(self):
        recording = record(caller)
        events = recording.frames()
        assert recording.events() == [("call", "caller"), ("call", "add"), ("return", "add"),
                                      ("call", "add"), ("return", "add"), ("return", "caller")]
        outer = events[0]["frame_id"]
        first, second = events[1], events[3]
        assert first["frame_id"] != second["frame_id"]
        assert first["user_code_call_site"] == {"call_frame_id": outer, "line_number": line_of(caller, 1)}
        assert events[2]["user_code_call_site"] == first["user_code_call_site"]
        assert second["user_code_call_site"] == {"call_frame_id": outer, "line_number": line_of(caller, 2)}
        assert events[5]["user_code_call_site"] is None

    def test_recursion(self):
        def countdown(n):
            if n == 0:
                return 0
            return countdown(n - 1)

        frames = record(countdown, 2).frames()
        calls = [f for f in frames if f["event"] == "call"]
        assert [c["locals"]["n"] for c in calls] == [2, 1, 0]
        assert calls[1]["user_code_call_site"] == {"call_frame_id": calls[0]["frame_id"],
                                                   "line_number": line_of(countdown, 3)}
        assert calls[2]["user_code_call_site"]["call_frame_id"] == calls[1]["frame_id"]
        returns = [f for f in frames if f["event"] == "return"]
        assert [r["frame_id"] for r in returns] == [c["frame_id"] for c in reversed(calls)]

    def test_lines_of_code_objects_made_and_freed(self):
        # Each round compiles a new function whose return sits on another
        # line; freed code objects' addresses come back, their lines must not.
        def rounds():
            lines = []
            for blank in range(40):
                namespace = {"__name__": __name__}
                exec(compile("def f():\n" + "    pass\n" * blank + "    return 1\n", __file__, "exec"), namespace)
                namespace["f"]()
                lines.append(blank + 2)
                del namespace
            return lines

        recording = record(rounds)
        returns = [r["path"] for r in recording.frames("f") if r["event"] == "return"]
        assert returns == [f"{HERE}:{line}" for line in recording.result]

    def test_return_without_call(self):
        def starts_profiling():
            BACKEND.register(host)
            return "done"

        host = HostProfiler()
        starts_profiling()
        BACKEND.stop()
        (ret,) = decode(host.rust_profiler.build_trace())["frames_of_interest"]
        assert ret["event"] == "return" and ret["co_name"] == "starts_profiling"
        assert ret["frame_id"] is None
        assert ret["user_code_call_site"] is None
        assert ret["arg"] == "done"

    def test_generator_resumes_get_fresh_ids(self):
        def numbers():
            yield 1
            yield 2

        def consume():
            return list(numbers())

        frames = record(consume).frames("numbers")
        assert [f["event"] for f in frames] == ["call", "return"] * 3
        ids = [f["frame_id"] for f in frames]
        assert ids[0::2] == ids[1::2]
        assert len(set(ids)) == 3
        assert [f["arg"] for f in frames if f["event"] == "return"] == [1, 2, None]

    def test_exception_unwinding(self):
        def fails():
            raise ValueError("boom")

        def catches():
            try:
                fails()
            except ValueError:
                return "caught"

        frames = record(catches).frames()
        assert [(f["event"], f["co_name"]) for f in frames] == [
            ("call", "catches"), ("call", "fails"), ("return", "fails"), ("return", "catches")]
        assert frames[2]["arg"] is None
        assert frames[2]["frame_id"] == frames[1]["frame_id"]
        assert frames[3]["arg"] == "caught"

    def test_exception_escaping_the_profiled_call_is_kept_intact(self):
        def fails():
            raise KeyError("kept")

        with pytest.raises(KeyError, match="kept"):
            record(fails)

    def test_coroutines(self):
        async def step(n):
            await asyncio.sleep(0)
            return n

        async def main():
            return [await step(1), await step(2)]

        recording = record(asyncio.run, main())
        assert recording.result == [1, 2]
        steps = recording.frames("step")
        # Each suspension is a return and each resumption a new call.
        assert [f["event"] for f in steps] == ["call", "return", "call", "return"] * 2
        assert steps[-1]["arg"] == 2
        for f in steps:
            assert FRAME_ID.match(f["frame_id"])

    def test_library_frames_are_not_on_the_call_stack(self):
        import json

        def hook(obj):
            return obj

        def parse():
            return json.loads('{"a": 1}', object_hook=hook)

        frames = record(parse).frames()
        names = [f["co_name"] for f in frames]
        assert "loads" not in names and "decode" not in names
        (hook_call,) = [f for f in frames if f["co_name"] == "hook" and f["event"] == "call"]
        assert hook_call["user_code_call_site"] == {"call_frame_id": frames[0]["frame_id"],
                                                    "line_number": line_of(parse, 1)}


class TestThreadRouting:
    def run_in_thread(self, config):
        def work():
            return 1

        def main():
            thread = threading.Thread(target=work, name="side")
            thread.start()
            thread.join()
            work()
            return thread.native_id

        return record(main, config=config)

    def test_threading_off_keeps_everything_in_frames_of_interest(self):
        recording = self.run_in_thread({"builtin_plugins": False})
        assert recording.trace["frames"] == {}

    def test_threading_on_files_other_threads_by_native_id(self):
        recording = self.run_in_thread({"threading": True, "builtin_plugins": False})
        side_id = recording.result
        assert list(recording.trace["frames"]) == [side_id]
        side = recording.trace["frames"][side_id]
        assert {r["thread"] for r in side} == {"side"}
        assert [(r["event"], r["co_name"]) for r in side if r["co_name"] == "work"] == [
            ("call", "work"), ("return", "work")]
        assert {r["thread"] for r in recording.records} == {"MainThread"}

    def test_threading_on_without_known_main_thread(self, monkeypatch):
        class NoId:
            native_id = None

        monkeypatch.setattr(threading, "main_thread", NoId)
        recording = record(add, 1, 2, config={"threading": True, "builtin_plugins": False})
        main_id = threading.current_thread().native_id
        assert recording.trace["frames_of_interest"] == []
        assert [r["co_name"] for r in recording.trace["frames"][main_id]] == ["add", "add"]

    def test_thread_name_is_cached_for_frame_records(self):
        def rename_and_call():
            threading.current_thread().name = "renamed"
            return add(1, 1)

        original = threading.current_thread().name
        try:
            frames = record(rename_and_call).frames()
        finally:
            threading.current_thread().name = original
        assert {f["thread"] for f in frames} == {original}


class TestDocument:
    def pin(self, monkeypatch, *, argv=("app.py",), sha=None, version="1.0", native_id=1234):
        import ruvo.git
        import ruvo.version

        class Main:
            pass

        Main.native_id = native_id
        monkeypatch.setattr(sys, "argv", list(argv))
        monkeypatch.setattr(ruvo.git, "COMMIT_SHA", sha)
        monkeypatch.setattr(ruvo.version, "__version__", version)
        monkeypatch.setattr(threading, "main_thread", Main)

    def empty_document(self, **host):
        host_object = HostProfiler(**host)
        BACKEND.register(host_object)
        BACKEND.stop()
        return host_object.rust_profiler.build_trace()

    def test_the_175_byte_example(self, monkeypatch):
        self.pin(monkeypatch)
        before = time.time()
        document = self.empty_document(source="cli", trace_id="t1")
        start = decode(document)["timestamp"]
        assert before <= start <= time.time()
        expected = (
            b"\x88"
            + b"\xb1command_line_args\x91\xa6app.py"
            + b"\xb2current_commit_sha\xc0"
            + b"\xa6frames\x80"
            + b"\xb2frames_of_interest\x90"
            + b"\xaemain_thread_id\xcd\x04\xd2"
            + b"\xa4meta\x83\xa7version\xa31.0\xa6source\xa3cli\xb4use_frame_boundaries\xc3"
            + b"\xa9timestamp\xcb" + struct.pack(">d", start)
            + b"\xa8trace_id\xa2t1"
        )
        assert len(expected) == 175
        assert document == expected

    def test_long_texts_and_large_ids(self, monkeypatch):
        self.pin(monkeypatch, argv=["x" * 40, "y" * 300], sha="a" * 40, native_id=2**40)
        document = self.empty_document(source="s" * 32)
        assert b"\x92\xd9\x28" + b"x" * 40 + b"\xda\x01\x2c" + b"y" * 300 in document
        assert b"\xb2current_commit_sha\xd9\x28" + b"a" * 40 in document
        assert b"\xaemain_thread_id\xcf\x00\x00\x01\x00\x00\x00\x00\x00" in document
        assert b"\xa6source\xd9\x20" + b"s" * 32 in document

    def test_many_records_use_array16(self):
        def many():
            for _ in range(8):
                add(1, 1)

        document = record(many).document
        assert b"\xb2frames_of_interest\xdc\x00\x12" in document
        assert len(decode(document)["frames_of_interest"]) == 18

    def test_each_record_reaches_exactly_one_document(self):
        host = HostProfiler()
        BACKEND.register(host)
        add(1, 2)
        first = host.rust_profiler.build_trace()
        add(3, 4)
        BACKEND.stop()
        first, second, third = (decode(d) for d in (first, host.rust_profiler.build_trace(),
                                                    host.rust_profiler.build_trace()))
        assert [r["locals"]["a"] for r in first["frames_of_interest"]] == [1, 1]
        assert [r["locals"]["a"] for r in second["frames_of_interest"]] == [3, 3]
        assert third["frames_of_interest"] == [] and third["frames"] == {}
        for key in ("trace_id", "timestamp", "meta", "main_thread_id", "command_line_args"):
            assert first[key] == third[key]

    @pytest.mark.parametrize(
        "patch, error, message",
        [
            (("sys", "argv", "app.py"), TypeError, "Can't extract `str` to `Vec`"),
            (("sys", "argv", 5), TypeError, "'int' object cannot be converted to 'Sequence'"),
            (("sys", "argv", ["ok", 1]), TypeError, "'int' object cannot be converted to 'PyString'"),
            (("ruvo.version", "__version__", 1), TypeError, "'int' object cannot be converted to 'PyString'"),
            (("ruvo.git", "COMMIT_SHA", b"abc"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ],
    )
    def test_failures_before_taking_leave_records_stored(self, monkeypatch, patch, error, message):
        module, attribute, value = patch
        host = HostProfiler()
        BACKEND.register(host)
        add(1, 2)
        BACKEND.stop()
        with monkeypatch.context() as patched:
            patched.setattr(sys.modules[module], attribute, value)
            with pytest.raises(error) as caught:
                host.rust_profiler.build_trace()
            assert str(caught.value) == message
        assert len(decode(host.rust_profiler.build_trace())["frames_of_interest"]) == 2

    def test_undecodable_arguments_still_give_a_readable_document(self, monkeypatch):
        self.pin(monkeypatch, argv=["app.py", "caf\udce9"])
        assert decode(self.empty_document())["command_line_args"] == ["app.py", "caf\\udce9"]


class TestFailedEvents:
    def test_serialiser_failure_is_logged_and_the_event_dropped(self, monkeypatch, caplog):
        import ruvo.serialize

        real = ruvo.serialize.dump_msgpack

        def refuse_locals_of_add(value):
            if isinstance(value, dict) and "b" in value and "total" not in value:
                raise RuntimeError("cannot serialise")
            return real(value)

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", refuse_locals_of_add)
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            recording = record(caller)
        warnings = [r for r in caplog.records if r.name == "ruvo"]
        assert len(warnings) == 2
        report = warnings[0]
        assert report.levelno == logging.WARNING
        assert report.msg == ("Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
                              "    event: %s\n    frame locals: %s\n")
        assert report.args[:3] == (__file__, "add", "call")
        assert report.exc_info[0] is RuntimeError
        assert str(report.exc_info[1]) == "cannot serialise"
        # The locals are the frame's own, formatted when the warning was emitted.
        assert (f"Unexpected exception in Rust.\n    co_filename: {__file__}\n    co_name: add\n"
                f"    event: call\n    frame locals: {{'a': 1, 'b': 2}}\n") in caplog.text
        assert 'raise RuntimeError("cannot serialise")' in caplog.text
        # The calls of add are dropped; their returns are recorded as returns
        # of unseen calls: no document holds the ids the calls were given.
        # The failed calls did not upset the caller's place on the stack.
        assert recording.events() == [("call", "caller"), ("return", "add"), ("return", "add"),
                                      ("return", "caller")]
        assert [(r["frame_id"], r["user_code_call_site"]) for r in recording.frames("add")] == [(None, None)] * 2
        caller_call, caller_return = recording.frames("caller")
        assert caller_return["frame_id"] == caller_call["frame_id"]

    def test_failed_return_leaves_the_stack(self, monkeypatch):
        import ruvo.serialize

        real = ruvo.serialize.dump_msgpack

        def refuse_five(value):
            if value == 3:
                raise RuntimeError("no threes")
            return real(value)

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", refuse_five)
        recording = record(caller)
        assert recording.events() == [("call", "caller"), ("call", "add"), ("call", "add"), ("return", "add"),
                                      ("return", "caller")]
        outer = recording.frames()[0]["frame_id"]
        second_call = recording.frames("add")[1]
        assert second_call["user_code_call_site"]["call_frame_id"] == outer

    @pytest.mark.parametrize(
        "result, message",
        [
            ("text", "Can't extract `str` to `Vec`"),
            (42, "'int' object cannot be converted to 'Sequence'"),
            ([1, 300], "out of range integral type conversion attempted"),
            (b"\x01\x02", "ruvo.serialize.dump_msgpack returned 2 bytes that are not exactly one MessagePack value"),
            (b"\x92\x01", "ruvo.serialize.dump_msgpack returned 2 bytes that are not exactly one MessagePack value"),
            (b"", "ruvo.serialize.dump_msgpack returned 0 bytes that are not exactly one MessagePack value"),
        ],
    )
    def test_bad_serialiser_results_are_dropped(self, monkeypatch, caplog, result, message):
        import ruvo.serialize

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", lambda value: result)
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            recording = record(add, 1, 2)
        assert recording.records == []
        assert {str(r.exc_info[1]) for r in caplog.records if r.name == "ruvo"} == {message}

    def test_serialiser_result_as_a_list_of_ints(self, monkeypatch):
        import ruvo.serialize

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", lambda value: [0x92, 1, 2])
        assert {r["arg"] == [1, 2] for r in record(add, 1, 2).records} == {True}

    def test_quiet_logger_still_drops(self, monkeypatch, caplog):
        import ruvo.serialize

        def refuse(value):
            raise RuntimeError("no")

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", refuse)
        logging.getLogger("ruvo").setLevel(logging.ERROR)
        try:
            with caplog.at_level(logging.ERROR, logger="ruvo"):
                recording = record(add, 1, 2)
        finally:
            logging.getLogger("ruvo").setLevel(logging.NOTSET)
        assert caplog.records == []
        assert recording.records == []

    def test_module_frame_report_shows_the_globals(self, monkeypatch, caplog):
        import ruvo.serialize

        def refuse(value):
            raise RuntimeError("no")

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", refuse)
        namespace = {"__name__": "mod_under_test", "marker": 7}
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            record(exec, compile("marker += 1", "/home/u/proj/mod_under_test.py", "exec"), namespace)
        (report, _) = [r for r in caplog.records if r.name == "ruvo"]
        assert report.args[1] == "<module>"
        assert report.args[3] is namespace

    def test_code_run_without_module_name_is_recorded_by_its_qualname(self, caplog):
        # exec() into a namespace without __name__, as template engines do.
        namespace = {"x": 1}
        code = compile("def f():\n    return x\n", "/home/u/proj/nameless.py", "exec")
        exec(code, namespace)
        assert "__name__" not in namespace
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            recording = record(namespace["f"])
        assert [(r["event"], r["qualname"]) for r in recording.records] == [("call", "f"), ("return", "f")]
        assert [r for r in caplog.records if r.name == "ruvo"] == []

    def test_program_exception_state_is_untouched(self, monkeypatch):
        import ruvo.serialize

        def refuse(value):
            raise RuntimeError("serialiser trouble")

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", refuse)

        def handles():
            try:
                raise ValueError("mine")
            except ValueError:
                add(1, 1)
                return sys.exc_info()[1]

        assert str(record(handles).result) == "mine"


def record_fields(raw: bytes) -> dict[str, bytes]:
    """A frame record's values by key, each as the exact bytes stored."""
    unpacker = msgpack.Unpacker(strict_map_key=False, raw=False)
    unpacker.feed(raw)
    fields = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        start = unpacker.tell()
        unpacker.skip()
        fields[key] = raw[start:unpacker.tell()]
    return fields


class Shouty:
    def __repr__(self):
        return "<shouty>"


def many_values(text, number, nested, thing):
    surrogate = "a\udc80b"
    big = 2 ** 80
    pair = (thing, frozenset({1}))
    return [text, number, nested, thing, surrogate, big, pair]


class TestSerialiserLookup:
    """ruvo.serialize and its functions are looked up afresh at every event;
    the native encoder is called without a bytes object when it is the one found."""

    def values_of(self, document, co_name):
        return [(f["event"], f["arg"], f["locals"]) for f in map(record_fields, raw_records(document))
                if msgpack.unpackb(f["co_name"]) == co_name]

    @pytest.mark.parametrize("lightweight", [False, True])
    def test_a_function_replaced_while_recording_is_called_from_the_next_event(self, monkeypatch, lightweight):
        import ruvo.serialize

        name = "dump_msgpack_lightweight_repr" if lightweight else "dump_msgpack"
        real = getattr(ruvo.serialize, name)
        monkeypatch.setattr(ruvo.serialize, name, real)  # restored whatever happens

        def swapping():
            add(1, 2)
            setattr(ruvo.serialize, name, lambda value: b"\xa1x")
            add(3, 4)
            setattr(ruvo.serialize, name, real)
            add(5, 6)

        config = {"lightweight_repr": lightweight, "builtin_plugins": False}
        document = record(swapping, config=config).document
        x = b"\xa1x"
        assert self.values_of(document, "add") == [
            (b"\xa4call", b"\xc0", real({"a": 1, "b": 2})),
            (b"\xa6return", b"\x03", real({"a": 1, "b": 2, "total": 3})),
            (b"\xa4call", x, x),
            (b"\xa6return", x, x),
            (b"\xa4call", b"\xc0", real({"a": 5, "b": 6})),
            (b"\xa6return", b"\x0b", real({"a": 5, "b": 6, "total": 11})),
        ]

    def test_a_module_replaced_in_sys_modules_is_used_from_the_next_event(self, monkeypatch):
        import types

        import ruvo.serialize

        real_module = ruvo.serialize
        stand_in = types.ModuleType("ruvo.serialize")
        stand_in.dump_msgpack = lambda value: b"\xa1m"
        monkeypatch.setitem(sys.modules, "ruvo.serialize", real_module)

        def swapping():
            add(1, 2)
            sys.modules["ruvo.serialize"] = stand_in
            add(3, 4)
            stand_in.dump_msgpack = lambda value: b"\xa1n"
            add(5, 6)
            sys.modules["ruvo.serialize"] = real_module
            add(7, 8)

        document = record(swapping).document
        assert [(arg, values) for _, arg, values in self.values_of(document, "add")] == [
            (b"\xc0", real_module.dump_msgpack({"a": 1, "b": 2})),
            (b"\x03", real_module.dump_msgpack({"a": 1, "b": 2, "total": 3})),
            (b"\xa1m", b"\xa1m"), (b"\xa1m", b"\xa1m"),
            (b"\xa1n", b"\xa1n"), (b"\xa1n", b"\xa1n"),
            (b"\xc0", real_module.dump_msgpack({"a": 7, "b": 8})),
            (b"\x0f", real_module.dump_msgpack({"a": 7, "b": 8, "total": 15})),
        ]

    @pytest.mark.parametrize("lightweight", [False, True])
    def test_the_direct_call_writes_the_bytes_of_the_python_visible_call(self, monkeypatch, lightweight):
        native = pytest.importorskip("ruvo._serialize")
        import ruvo.serialize

        name = "dump_msgpack_lightweight_repr" if lightweight else "dump_msgpack"
        function = getattr(native, name)
        assert getattr(ruvo.serialize, name) is function
        config = {"lightweight_repr": lightweight, "builtin_plugins": False}
        args = ("x" * 300, -7, {"k": [1, [2, {3}]], 4: None}, Shouty())

        direct = self.values_of(record(many_values, *args, config=config).document, "many_values")
        # Through a wrapper the function is called as Python code calls it.
        monkeypatch.setattr(ruvo.serialize, name, lambda value: function(value))
        called = self.values_of(record(many_values, *args, config=config).document, "many_values")
        assert direct == called
        assert [len(values) for values in direct] == [3, 3]
        assert direct[0][2] == function({"text": args[0], "number": -7, "nested": args[2], "thing": args[3]})

    def test_the_other_native_function_found_under_a_name_is_the_one_called(self, monkeypatch):
        native = pytest.importorskip("ruvo._serialize")
        import ruvo.serialize

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", native.dump_msgpack_lightweight_repr)
        values = self.values_of(record(many_values, "t", 1, [[[1]]], Shouty()).document, "many_values")
        locals_at_call = {"text": "t", "number": 1, "nested": [[[1]]], "thing": Shouty()}
        assert values[0][2] == native.dump_msgpack_lightweight_repr(locals_at_call)
        assert values[0][2] != native.dump_msgpack(locals_at_call)
