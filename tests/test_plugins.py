"""Plugins: loading definitions, the records they add at events, the test
markers that cut one trace per test, and saving traces."""

import collections.abc
import logging
import re
import sys
import threading

import pytest

from conftest import BACKEND, HostProfiler, decode, record

FRAME_ID = re.compile(r"^frm_[0-9A-HJKMNP-TV-Z]{26}$")
pytestmark = pytest.mark.usefixtures("backend")
PLUGIN_KEYS = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]


@pytest.fixture
def definitions(monkeypatch):
    """Replaces the host's plugin definitions with the list the test fills."""
    import ruvo.plugins

    defined = []
    monkeypatch.setattr(ruvo.plugins, "load_plugin_data", lambda config: defined)
    return defined


@pytest.fixture
def saves(monkeypatch):
    """Captures what the native module hands to the SQLite saver."""
    import ruvo.db

    calls = []

    def save_trace_in_sqlite(*args, **kwargs):
        calls.append((args, kwargs))

    monkeypatch.setattr(ruvo.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    return calls


def plugin(co_names, **extra):
    definition = {"co_names": co_names, "path_fragment": "test_plugins.py", "call_type": "c", "return_type": "r"}
    definition.update(extra)
    return definition


def target(x):
    return x + 1


def r():
    return "r"


def uses_target():
    return target(1)


def register(config=None, **host):
    profiler = HostProfiler({} if config is None else config, **host)
    BACKEND.register(profiler)
    BACKEND.stop()
    return profiler


class TestLoadingErrors:
    @pytest.mark.parametrize(
        "definition, error, message",
        [
            (["not a dict"], TypeError, "'list' object cannot be converted to 'PyDict'"),
            ({"path_fragment": "x"}, KeyError, "'co_names'"),
            ({"co_names": None}, TypeError, "'NoneType' object is not iterable"),
            (plugin([7]), TypeError, "'int' object cannot be converted to 'PyString'"),
            ({"co_names": ["f"], "call_type": "c", "return_type": "r"}, KeyError, "'path_fragment'"),
            (plugin(["f"], path_fragment=None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
            ({"co_names": ["f"], "path_fragment": "", "return_type": "r"}, KeyError, "'call_type'"),
            ({"co_names": ["f"], "path_fragment": "", "call_type": "c"}, KeyError, "'return_type'"),
            (plugin(["f"], return_type=3), TypeError, "'int' object cannot be converted to 'PyString'"),
            (plugin(["f"], subtype=None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
            (plugin(["f"], events="call"), TypeError, "Can't extract `str` to `Vec`"),
            (plugin(["f"], events=5), TypeError, "'int' object cannot be converted to 'Sequence'"),
            (plugin(["f"], events=["call", 1]), TypeError, "'int' object cannot be converted to 'PyString'"),
            (plugin(["f"], build_context=lambda config: []), TypeError, "'list' object cannot be converted to 'PyDict'"),
            (plugin(["f"], path_fragment="\udc80"), UnicodeEncodeError, None),
        ],
    )
    def test_bad_definitions_fail_registration_cleanly(self, definitions, definition, error, message):
        definitions.append(definition)
        host = HostProfiler({})
        with pytest.raises(error) as caught:
            BACKEND.register(host)
        if message is not None:
            assert str(caught.value) == message
        assert sys.getprofile() is None
        assert not hasattr(host, "rust_profiler")

    def test_build_context_exception_is_passed_on(self, definitions):
        def build(config):
            raise LookupError("no context")

        definitions.append(plugin(["f"], build_context=build))
        with pytest.raises(LookupError, match="no context"):
            BACKEND.register(HostProfiler({}))

    def test_co_names_iteration_failing(self, definitions):
        def names():
            yield "f"
            raise RuntimeError("names ran out")

        definitions.append(plugin(names()))
        with pytest.raises(RuntimeError, match="names ran out"):
            BACKEND.register(HostProfiler({}))

    @pytest.mark.parametrize(
        "replacement, message",
        [
            (None, "load_plugin_data should exist: AttributeError"),
            ("raise", "load_plugin_data should be callable: ValueError: refused"),
            ("not callable", "load_plugin_data should be callable: TypeError"),
            ("tuple", "load_plugin_data should return a list: TypeError: 'tuple' object cannot be converted to 'PyList'"),
        ],
    )
    def test_host_faults_are_internal_errors(self, monkeypatch, replacement, message):
        import ruvo.plugins

        def refuse(config):
            raise ValueError("refused")

        if replacement is None:
            monkeypatch.delattr(ruvo.plugins, "load_plugin_data")
        else:
            monkeypatch.setattr(ruvo.plugins, "load_plugin_data", {
                "raise": refuse, "not callable": 5, "tuple": lambda config: ()}[replacement])
        with pytest.raises(BaseException) as caught:
            BACKEND.register(HostProfiler({}))
        assert not isinstance(caught.value, Exception)
        assert str(caught.value).startswith(message)


class TestLoading:
    def test_configuration_is_passed_to_the_host(self, monkeypatch):
        import ruvo.plugins

        seen = []
        monkeypatch.setattr(ruvo.plugins, "load_plugin_data", lambda config: seen.append(config) or [])
        config = {"anything": 1}
        register(config)
        assert seen == [config] and seen[0] is config

    def test_empty_co_names_reads_nothing_else(self, definitions):
        built = []
        definitions.append({"co_names": [], "build_context": lambda config: built.append(config) or {}})
        register({"k": 1})
        assert built == [{"k": 1}]

    def test_optional_keys_that_mean_absent(self, definitions):
        definitions.append(plugin(["target"], call=None, process=None, events=None, build_context=None))
        records = record(uses_target, config={}).records
        assert [r["type"] for r in records] == ["frame", "c", "frame", "frame", "r", "frame"]

    def test_required_keys_through_dict_subclass(self, definitions):
        class Defaults(dict):
            def __missing__(self, key):
                return {"path_fragment": "test_plugins.py", "call_type": "c", "return_type": "r"}[key]

        definitions.append(Defaults(co_names=["target"]))
        assert [r["type"] for r in record(target, 1, config={}).records] == ["c", "frame", "frame", "r"]

    def test_string_co_names_give_one_processor_per_letter(self, definitions):
        definitions.append(plugin("rq"))
        types = [rec["type"] for rec in record(r, config={}).records]
        assert types == ["c", "frame", "frame", "r"]

    def test_shared_context_and_order(self, definitions):
        contexts = []

        def remember(frame, event, arg, context):
            contexts.append(context)
            context.setdefault("events", []).append(frame.f_code.co_name)
            return {"order": "first"}

        definitions.append(plugin(["target", "r"], process=remember, build_context=lambda config: {"shared": True}))
        definitions.append(plugin(["target"], process=lambda *args: {"order": "second"}, events=["call"]))

        def both():
            target(1)
            r()

        records = record(both, config={}).records
        plugin_records = [(rec["type"], rec.get("order")) for rec in records if rec["type"] != "frame"]
        assert plugin_records == [("c", "first"), ("c", "second"), ("r", "first"), ("c", "first"), ("r", "first")]
        assert all(c is contexts[0] for c in contexts)
        assert contexts[0] == {"shared": True, "events": ["target", "target", "r", "r"]}


class TestProcessing:
    def test_record_contents(self, definitions):
        definitions.append(plugin(["target"], subtype="sub", process=lambda f, e, a, c: {"x": a}))
        recording = record(uses_target, config={})
        records = recording.records
        assert [rec["type"] for rec in records] == ["frame", "c", "frame", "frame", "r", "frame"]
        caller, call, frame_call, frame_return, ret, _ = records
        assert list(call) == PLUGIN_KEYS + ["subtype", "x"]
        assert FRAME_ID.match(call["frame_id"])
        assert call["frame_id"] == ret["frame_id"] != frame_call["frame_id"]
        assert call["thread"] == "MainThread"
        assert call["thread_native_id"] == threading.main_thread().native_id
        assert call["subtype"] == "sub"
        assert (call["x"], ret["x"]) == (None, 2)
        assert isinstance(call["timestamp"], float)
        # On call the stack top is the caller; on return it is the returning frame.
        assert call["user_code_call_site"] == {"call_frame_id": caller["frame_id"],
                                               "line_number": uses_target.__code__.co_firstlineno + 1}
        assert ret["user_code_call_site"] == {"call_frame_id": frame_call["frame_id"],
                                              "line_number": target.__code__.co_firstlineno + 1}

    def test_lightweight_records_keep_their_call_site(self, definitions):
        definitions.append(plugin(["target"], events=["call"]))
        records = record(uses_target, config={"lightweight_repr": True}).records
        caller, call = records[0], records[1]
        assert call["type"] == "c"
        assert call["user_code_call_site"] == {"call_frame_id": caller["frame_id"],
                                               "line_number": uses_target.__code__.co_firstlineno + 1}

    def test_filtered_frames_still_get_plugin_records(self, definitions):
        library = {}
        exec(compile("def helper(n):\n    return n\n", "/usr/lib/python3.12/helpers.py", "exec"), library)
        definitions.append({"co_names": ["helper"], "path_fragment": "helpers.py", "call_type": "lib_call",
                            "return_type": "lib_return"})
        recording = record(library["helper"], 5, config={})
        assert [rec["type"] for rec in recording.records] == ["lib_call", "lib_return"]

    def test_path_fragment_must_occur(self, definitions):
        definitions.append(plugin(["target"], path_fragment="elsewhere.py"))
        definitions.append(plugin(["target"], path_fragment="test_plugins.pyc"))
        assert [rec["type"] for rec in record(target, 1, config={}).records] == ["frame", "frame"]

    def test_call_decides(self, definitions):
        definitions.append(plugin(["target"], call=lambda f, e, a, c: e == "return"))
        assert [rec["type"] for rec in record(target, 1, config={}).records] == ["frame", "frame", "r"]

    def test_events_filter_after_call(self, definitions):
        calls = []
        definitions.append(plugin(["target"], call=lambda f, e, a, c: calls.append(e) or True, events=["return"]))
        definitions.append(plugin(["target"], events=[]))
        assert [rec["type"] for rec in record(target, 1, config={}).records] == ["frame", "frame", "r"]
        assert calls == ["call", "return"]

    def test_return_without_call_gets_a_fresh_id(self, definitions):
        definitions.append(plugin(["target"], events=["return"]))
        first, second = [rec for rec in record(lambda: (target(1), target(2)), config={}).records if rec["type"] == "r"]
        assert FRAME_ID.match(first["frame_id"]) and first["frame_id"] != second["frame_id"]

    def test_two_processors_nest_like_calls(self, definitions):
        definitions.append(plugin(["target"], call_type="c1", return_type="r1"))
        definitions.append(plugin(["target"], call_type="c2", return_type="r2"))
        records = record(target, 1, config={}).records
        assert [rec["type"] for rec in records] == ["c1", "c2", "frame", "frame", "r2", "r1"]
        assert len({rec["frame_id"] for rec in records}) == 3

    def test_process_results(self, definitions):
        class Mapping(collections.abc.Mapping):
            def __getitem__(self, key):
                return {"from": "mapping"}[key]

            def __iter__(self):
                return iter(["from"])

            def __len__(self):
                return 1

        definitions.append(plugin(["target"], process=lambda *a: Mapping(), events=["call"]))
        definitions.append(plugin(["target"], process=lambda *a: {"type": "renamed", "extra": 1}, events=["call"]))
        records = record(target, 1, config={}).records
        assert records[0]["from"] == "mapping"
        assert records[1]["type"] == "renamed" and list(records[1])[-1] == "extra"

    @pytest.mark.parametrize(
        "definition, message",
        [
            (dict(call=lambda *a: 1), "'int' object cannot be converted to 'PyBool'"),
            (dict(call=lambda *a: 1 / 0), "division by zero"),
            (dict(process=lambda *a: [1]), "'list' object cannot be converted to 'Mapping'"),
            (dict(process=lambda *a: None), "'NoneType' object cannot be converted to 'Mapping'"),
            (dict(process=lambda *a: {"type": 5}), "'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_failures_are_logged_and_skip_only_that_processor(self, definitions, caplog, definition, message):
        definitions.append(plugin(["target"], events=["call"], **definition))
        definitions.append(plugin(["target"], call_type="survivor", events=["call"]))
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            records = record(target, 1, config={}).records
        assert [rec["type"] for rec in records] == ["survivor", "frame", "frame"]
        reports = [rec for rec in caplog.records if rec.name == "ruvo"]
        # A `call` test runs at both events; `process` only where the processor fires.
        assert [report.args[2] for report in reports] == (["call", "return"] if "call" in definition else ["call"])
        assert {str(report.exc_info[1]) for report in reports} == {message}
        assert reports[0].args[1] == "target"

    def test_failing_plugin_serialisation(self, definitions, monkeypatch, caplog):
        import ruvo.serialize

        real = ruvo.serialize.dump_msgpack

        def refuse_plugin_data(value):
            if isinstance(value, dict) and "frame_id" in value:
                raise RuntimeError("no plugin data")
            return real(value)

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", refuse_plugin_data)
        definitions.append(plugin(["target"]))
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            records = record(target, 1, config={}).records
        assert [rec["type"] for rec in records] == ["frame", "frame"]
        assert len([rec for rec in caplog.records if rec.name == "ruvo"]) == 2

    def test_plugin_sees_current_thread_name(self, definitions):
        definitions.append(plugin(["target"], events=["call"]))

        def rename():
            target(1)
            threading.current_thread().name = "renamed"
            target(2)

        original = threading.current_thread().name
        try:
            records = record(rename, config={}).records
        finally:
            threading.current_thread().name = original
        assert [rec["thread"] for rec in records if rec["type"] == "c"] == [original, "renamed"]


def marker_plugins(*types, events=("call",)):
    """One processor per type on `target`, making records of that type."""
    return [plugin(["target"], call_type=t, return_type=t, events=list(events)) for t in types]


class TestTestMarkers:
    def run(self, definitions, types, one_trace_per_test=True, **config):
        definitions.extend(marker_plugins(*types))
        host = HostProfiler(config, one_trace_per_test=one_trace_per_test, trace_id="trc_first")
        BACKEND.register(host)
        r()
        target(1)
        r()
        BACKEND.stop()
        return host

    def test_start_marker_discards_and_renames(self, definitions, saves):
        host = self.run(definitions, ["a", "start_test", "b"])
        trace = decode(host.rust_profiler.build_trace())
        assert re.fullmatch(r"trc_[0-9A-HJKMNP-TV-Z]{26}", trace["trace_id"])
        assert [(rec["type"], rec.get("co_name")) for rec in trace["frames_of_interest"]] == [
            ("start_test", None), ("b", None), ("frame", "target"), ("frame", "target"), ("frame", "r"),
            ("frame", "r")]
        assert saves == []

    def test_end_marker_saves_up_to_itself(self, definitions, saves):
        host = self.run(definitions, ["a", "end_test"])
        (args, kwargs), = saves
        saved = decode(kwargs["msgpack"])
        assert args == ("trace.sqlite3", "trc_first")
        assert list(kwargs) == ["timeout", "msgpack"] and kwargs["timeout"] == 60
        assert saved["trace_id"] == "trc_first"
        assert [(rec["type"], rec.get("co_name")) for rec in saved["frames_of_interest"]] == [
            ("frame", "r"), ("frame", "r"), ("a", None), ("end_test", None)]
        rest = decode(host.rust_profiler.build_trace())
        assert rest["trace_id"] == "trc_first"
        assert [rec.get("co_name") for rec in rest["frames_of_interest"]] == ["target", "target", "r", "r"]

    def test_end_then_start(self, definitions, saves):
        host = self.run(definitions, ["end_test", "between", "start_test"])
        (_, kwargs), = saves
        assert [rec["type"] for rec in decode(kwargs["msgpack"])["frames_of_interest"]] == [
            "frame", "frame", "end_test"]
        rest = decode(host.rust_profiler.build_trace())
        assert rest["trace_id"] != "trc_first"
        assert [rec["type"] for rec in rest["frames_of_interest"]][:2] == ["start_test", "frame"]

    def test_markers_are_plain_records_when_off(self, definitions, saves):
        host = self.run(definitions, ["start_test", "end_test"], one_trace_per_test=False)
        trace = decode(host.rust_profiler.build_trace())
        assert trace["trace_id"] == "trc_first"
        assert [rec["type"] for rec in trace["frames_of_interest"]][2:5] == ["start_test", "end_test", "frame"]
        assert saves == []

    def test_return_markers_come_after_the_frame(self, definitions, saves):
        definitions.extend(marker_plugins("end_test", events=["return"]))
        host = HostProfiler({}, one_trace_per_test=True)
        BACKEND.register(host)
        target(1)
        BACKEND.stop()
        (_, kwargs), = saves
        assert [rec["type"] for rec in decode(kwargs["msgpack"])["frames_of_interest"]] == [
            "frame", "frame", "end_test"]

    def test_end_marker_on_another_thread_leaves_an_empty_entry(self, definitions, saves):
        definitions.extend(marker_plugins("end_test", events=["return"]))
        host = HostProfiler({"threading": True}, one_trace_per_test=True)
        BACKEND.register(host)
        worker = threading.Thread(target=target, args=(1,))
        worker.start()
        worker.join()
        BACKEND.stop()
        (_, kwargs), = saves
        saved = decode(kwargs["msgpack"])
        assert [rec["type"] for rec in saved["frames"][worker.native_id]][-1] == "end_test"
        assert decode(host.rust_profiler.build_trace())["frames"][worker.native_id] == []

    def test_failing_save_is_logged_and_its_records_are_gone(self, definitions, monkeypatch, caplog):
        import ruvo.db

        def refuse(*args, **kwargs):
            raise OSError("disk full")

        monkeypatch.setattr(ruvo.db, "save_trace_in_sqlite", refuse)
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            host = self.run(definitions, ["end_test"])
        (report,) = [rec for rec in caplog.records if rec.name == "ruvo"]
        assert str(report.exc_info[1]) == "disk full"
        # Taken by the failed save: the records up to the marker. Not stored: the
        # rest of that event (the call of target).
        remaining = decode(host.rust_profiler.build_trace())["frames_of_interest"]
        assert [(rec["event"], rec["co_name"]) for rec in remaining] == [("return", "target"), ("call", "r"),
                                                                          ("return", "r")]


class TestSaving:
    def test_save_request_arguments(self, saves):
        host = register({"sqlite_busy_timeout": 0}, db_path="db.sqlite3", trace_id="trc_x")
        assert host.rust_profiler.save_request_in_db() is None
        (args, kwargs), = saves
        assert args == ("db.sqlite3", "trc_x")
        assert list(kwargs) == ["timeout", "msgpack"]
        assert kwargs["timeout"] == 0 and type(kwargs["timeout"]) is int
        assert decode(kwargs["msgpack"])["trace_id"] == "trc_x"

    def test_saver_failure_reaches_the_caller_and_the_records_are_gone(self, monkeypatch):
        import ruvo.db

        def refuse(*args, **kwargs):
            raise OSError("read-only")

        monkeypatch.setattr(ruvo.db, "save_trace_in_sqlite", refuse)
        host = HostProfiler()
        BACKEND.register(host)
        target(1)
        BACKEND.stop()
        with pytest.raises(OSError, match="read-only"):
            host.rust_profiler.save_request_in_db()
        assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []

    def test_build_failure_keeps_the_records(self, monkeypatch, saves):
        host = HostProfiler()
        BACKEND.register(host)
        target(1)
        BACKEND.stop()
        with monkeypatch.context() as patched:
            patched.setitem(sys.modules, "ruvo.version", None)
            with pytest.raises(ImportError):
                host.rust_profiler.save_request_in_db()
        assert saves == []
        assert len(decode(host.rust_profiler.build_trace())["frames_of_interest"]) == 2

    def test_missing_saver(self, monkeypatch):
        import ruvo.db

        monkeypatch.delattr(ruvo.db, "save_trace_in_sqlite")
        host = register()
        with pytest.raises(AttributeError):
            host.rust_profiler.save_request_in_db()
