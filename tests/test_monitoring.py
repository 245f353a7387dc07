"""The sys.monitoring backend: the same records as the profile function,
code switched off only when no filter or plugin can want it, the tool id, and
the backend option wherever a profiler is made."""

import asyncio
import cProfile
import json
import os
import re
import subprocess
import sys
import threading

import msgpack
import pytest

from _cli import ruvo, saved_trace_id, write
from conftest import HostProfiler, decode
from ruvo import Profiler, _ruvo, db
from ruvo.config import SettingsError, load_settings

needs_monitoring = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in Python 3.12")
if sys.version_info >= (3, 12):
    from ruvo import _monitoring

    EVENTS = sys.monitoring.events


def add(a, b):
    return a + b


def numbers():
    try:
        yield 1
        yield 2
    except KeyError as error:
        yield f"thrown {error}"


def fails():
    raise ValueError("v")


class Box:
    def __init__(self, x):
        self.x = x

    def __repr__(self):  # the same in both recordings
        return f"Box({self.x})"

    @property
    def double(self):
        return self.x * 2


async def step(n):
    await asyncio.sleep(0)
    return n


async def steps():
    return [await step(1), await step(2)]


def program():
    results = []
    generator = numbers()
    results.append(next(generator))
    results.append(generator.throw(KeyError("k")))
    generator.close()
    try:
        fails()
    except ValueError:
        results.append("caught")
    results.append(json.loads('{"b": 1, "a": 2}', object_hook=lambda d: sorted(d)))
    results.append(Box(3).double)
    results.append(asyncio.run(steps()))
    worker = threading.Thread(target=add, args=(4, 5), name="worker")
    worker.start()
    worker.join()
    results.append(sum(add(i, i) for i in range(3)))
    return results


def record_with(register, stop, config):
    host = HostProfiler(config)
    register(host)
    try:
        result = program()
    finally:
        stop()
    return result, decode(host.rust_profiler.build_trace())


def without_addresses(value):
    """A value with the object addresses and thread idents in its reprs blanked out."""
    if isinstance(value, msgpack.ExtType) and value.code == 10 and b"threading.Thread" in value.data[:20]:
        return msgpack.ExtType(10, b"a thread: its ident and locks differ from run to run")
    if isinstance(value, msgpack.ExtType):
        return msgpack.ExtType(value.code, re.sub(rb"0x[0-9a-f]+|(?<=stopped )[0-9]+", b"0x", value.data))
    if isinstance(value, dict):
        return {key: without_addresses(item) for key, item in value.items()}
    if isinstance(value, list):
        return [without_addresses(item) for item in value]
    return value


def canonical(trace):
    """The trace's records with frame ids renumbered in order of appearance,
    timestamps dropped and object addresses blanked, every thread's list
    under its thread's name."""
    numbering = {}

    def number(frame_id):
        return None if frame_id is None else numbering.setdefault(frame_id, len(numbering))

    def clean(record):
        record = {key: without_addresses(value) for key, value in record.items() if key != "timestamp"}
        if "frame_id" in record:
            record["frame_id"] = number(record["frame_id"])
        site = record.get("user_code_call_site")
        if site is not None:
            record["user_code_call_site"] = {**site, "call_frame_id": number(site["call_frame_id"])}
        if "thread_native_id" in record:
            record["thread_native_id"] = record["thread"]
        return record

    lists = {"main": [clean(r) for r in trace["frames_of_interest"]]}
    for records in trace["frames"].values():
        lists[records[0]["thread"]] = [clean(r) for r in records]
    return lists


@needs_monitoring
class TestSameRecordsAsTheProfileFunction:
    def test_field_by_field(self, monkeypatch):
        import ruvo.plugins

        # A plugin on user code, and one on library code that the filters skip.
        definitions = [
            {"co_names": ["add"], "path_fragment": "test_monitoring.py", "call_type": "c", "return_type": "r"},
            {"co_names": ["loads"], "path_fragment": "json", "call_type": "json_call", "return_type": "json_return"},
        ]
        monkeypatch.setattr(ruvo.plugins, "load_plugin_data", lambda config: definitions)
        config = {"threading": True}
        hooked_result, hooked = record_with(_ruvo.register_profiler, _ruvo.register_noop_profiler, config)
        threading.setprofile(None)
        monitored_result, monitored = record_with(_monitoring.register, _monitoring.stop, config)

        assert monitored_result == hooked_result == [1, "thrown 'k'", "caught", ["a", "b"], 6, [1, 2], 6]
        assert hooked["trace_id"] == monitored["trace_id"] == "trc_test"
        expected, actual = canonical(hooked), canonical(monitored)
        assert list(actual) == list(expected) == ["main", "worker"]
        for thread in expected:
            assert len(actual[thread]) == len(expected[thread])
            for want, got in zip(expected[thread], actual[thread]):
                assert got == want
        for key in ("command_line_args", "current_commit_sha", "main_thread_id", "meta"):
            assert monitored[key] == hooked[key]
        # What the program exercised is really in there.
        main = expected["main"]
        events = {(r["event"], r["co_name"]) for r in main if r["type"] == "frame"}
        assert {("call", "numbers"), ("return", "fails"), ("call", "double"), ("return", "step")} <= events
        thrown = [r for r in main if r["type"] == "frame" and r["co_name"] == "numbers" and r["event"] == "call"]
        # The interpreter hands profile functions the thrown exception on 3.12 only.
        assert thrown[1]["arg"] == (None if sys.version_info >= (3, 13)
                                    else msgpack.ExtType(10, b"\x92\xa8KeyError\x81\xa4args\xc7\x0a\x0b\x92\xa5tuple\x91\xa1k"))
        assert [r["type"] for r in main if r["type"] not in ("frame",)].count("json_call") == 1
        assert [r["type"] for r in expected["worker"]] == ["c", "frame", "frame", "r"]


@needs_monitoring
class TestSwitchingOff:
    def test_code_skipped_under_one_filter_comes_back_under_another(self):
        first = HostProfiler({"filters": {"include_frames": [], "ignore_frames": ["test_monitoring.py"]}})
        _monitoring.register(first)
        add(1, 1)
        add(1, 2)
        _monitoring.stop()
        # add() was switched off; other filters want it back.
        second = HostProfiler({})
        _monitoring.register(second)
        add(2, 2)
        _monitoring.stop()
        assert decode(first.rust_profiler.build_trace())["frames_of_interest"] == []
        records = decode(second.rust_profiler.build_trace())["frames_of_interest"]
        assert [(r["event"], r["locals"]) for r in records] == [("call", {"a": 2, "b": 2}),
                                                                ("return", {"a": 2, "b": 2})]

    def test_threads_that_did_not_join_are_left_alone(self):
        started, go, done = threading.Event(), threading.Event(), threading.Event()

        def early():
            started.set()
            go.wait(10)
            add(7, 7)
            done.set()

        thread = threading.Thread(target=early)
        thread.start()
        started.wait(10)
        host = HostProfiler({"threading": True})
        _monitoring.register(host)
        go.set()
        done.wait(10)
        add(1, 1)
        _monitoring.stop()
        thread.join()
        trace = decode(host.rust_profiler.build_trace())
        assert trace["frames"] == {}
        assert [(r["co_name"], r["locals"]["a"]) for r in trace["frames_of_interest"]] == [("add", 1), ("add", 1)]


@needs_monitoring
class TestToolId:
    def test_stop_frees_the_tool_id_and_leaves_no_callbacks(self):
        host = HostProfiler({})
        _monitoring.register(host)
        assert sys.monitoring.get_tool(_monitoring.TOOL_ID) == "ruvo"
        assert _monitoring.active_profiler() is host.rust_profiler
        _monitoring.stop()
        assert sys.monitoring.get_tool(_monitoring.TOOL_ID) is None
        assert _monitoring.active_profiler() is None
        sys.monitoring.use_tool_id(_monitoring.TOOL_ID, "probe")
        try:
            assert sys.monitoring.get_events(_monitoring.TOOL_ID) == 0
            for event in ("PY_START", "PY_RESUME", "PY_THROW", "PY_RETURN", "PY_YIELD", "PY_UNWIND"):
                assert sys.monitoring.register_callback(_monitoring.TOOL_ID, getattr(EVENTS, event), None) is None
        finally:
            sys.monitoring.free_tool_id(_monitoring.TOOL_ID)

    def test_a_taken_tool_id_makes_ruvo_take_the_next_and_two_are_a_clear_error(self):
        sys.monitoring.use_tool_id(4, "someone")
        try:
            host = HostProfiler({})
            _monitoring.register(host)
            assert _monitoring.tool_id() == 3 and sys.monitoring.get_tool(3) == "ruvo"
            _monitoring.stop()
            sys.monitoring.use_tool_id(3, "other")
            try:
                with pytest.raises(RuntimeError) as raised:
                    _monitoring.register(HostProfiler({}))
            finally:
                sys.monitoring.free_tool_id(3)
        finally:
            sys.monitoring.free_tool_id(4)
        assert str(raised.value) == ("sys.monitoring tool ids 4 and 3 are already in use (4 by 'someone', "
                                     "3 by 'other'): ruvo's monitoring backend cannot start")

    def test_alongside_cprofile_a_debugger_and_a_tracer(self):
        seen, traced = [], []

        def debugger_start(code, offset):
            seen.append(code.co_name)

        def tracer(frame, event, arg):
            if event == "call":
                traced.append(frame.f_code.co_name)
            return None

        sys.monitoring.use_tool_id(sys.monitoring.DEBUGGER_ID, "debugger")
        sys.monitoring.register_callback(sys.monitoring.DEBUGGER_ID, EVENTS.PY_START, debugger_start)
        sys.monitoring.set_events(sys.monitoring.DEBUGGER_ID, EVENTS.PY_START)
        profile = cProfile.Profile()
        host = HostProfiler({})
        try:
            profile.enable()
            sys.settrace(tracer)
            _monitoring.register(host)
            json.dumps([1])
            add(1, 2)
            json.dumps([2])
            _monitoring.stop()
            sys.settrace(None)
            profile.disable()
        finally:
            sys.monitoring.set_events(sys.monitoring.DEBUGGER_ID, 0)
            sys.monitoring.register_callback(sys.monitoring.DEBUGGER_ID, EVENTS.PY_START, None)
            sys.monitoring.free_tool_id(sys.monitoring.DEBUGGER_ID)
        records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
        assert [(r["event"], r["co_name"]) for r in records] == [("call", "add"), ("return", "add")]
        # ruvo switched json's code off for itself only.
        assert seen.count("dumps") == 2 and traced.count("dumps") == 2
        assert sum(1 for key in profile.getstats() if getattr(key.code, "co_name", None) == "dumps") == 1


    @pytest.mark.parametrize("core", ["ctrace", "sysmon"])
    def test_under_coverage(self, tmp_path, core):
        coverage = pytest.importorskip("coverage")
        write(tmp_path / "app.py", """
            import json
            from ruvo import Profiler

            def double(x):
                return 2 * x

            profiler = Profiler(db_path="t.sqlite3", backend="monitoring")
            with profiler:
                print(json.dumps([double(1), double(2)]))
            print(profiler.trace_id)
        """)
        env = {**os.environ, "COVERAGE_CORE": core}
        run = subprocess.run([sys.executable, "-m", "coverage", "run", "app.py"], cwd=tmp_path, env=env,
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        output, trace_id = run.stdout.splitlines()
        assert output == "[2, 4]"
        trace = db.load_trace(tmp_path / "t.sqlite3", trace_id)
        assert [(r["event"], r["co_name"]) for r in trace["frames_of_interest"]] == [
            ("call", "double"), ("return", "double"), ("call", "double"), ("return", "double")]
        # Coverage still saw every line, those ruvo recorded included.
        data = coverage.CoverageData(basename=str(tmp_path / ".coverage"))
        data.read()
        assert sorted(data.lines(str(tmp_path / "app.py"))) == [1, 2, 4, 5, 7, 8, 9, 10]

class TestBackendOption:
    def test_unknown_backend(self):
        with pytest.raises(ValueError, match=r"^unknown backend 'sysmon' \(choose from profile, monitoring, auto\)$"):
            Profiler(backend="sysmon")

    @pytest.mark.skipif(sys.version_info >= (3, 12), reason="the backend exists from 3.12 on")
    def test_needs_python_3_12(self, tmp_path):
        with pytest.raises(ValueError, match=r"^the monitoring backend needs Python 3\.12 or later$"):
            Profiler(backend="monitoring")
        write(tmp_path / "app.py", "print('hi')\n")
        result = ruvo(tmp_path, "run", "--backend", "monitoring", "app.py")
        assert result.returncode == 2, result.stderr
        assert result.stderr == "ruvo: error: the monitoring backend needs Python 3.12 or later\n"

    @needs_monitoring
    def test_profiler_with_the_monitoring_backend(self, tmp_path):
        profiler = Profiler(db_path=tmp_path / "t.sqlite3", backend="monitoring", trace_budget=None)
        with profiler:
            add(2, 3)
        assert sys.monitoring.get_tool(_monitoring.TOOL_ID) is None
        trace = db.load_trace(profiler.db_path, profiler.trace_id)
        assert [(r["event"], r["co_name"]) for r in trace["frames_of_interest"]] == [("call", "add"),
                                                                                     ("return", "add")]

    @needs_monitoring
    @pytest.mark.parametrize("how", ["flag", "setting"])
    def test_run_with_the_monitoring_backend(self, tmp_path, how):
        write(tmp_path / "app.py", """
            import json

            def double(x):
                return 2 * x

            print(json.dumps([double(1), double(2)]))
        """)
        if how == "setting":
            write(tmp_path / "pyproject.toml", '[tool.ruvo]\nbackend = "monitoring"\n')
        result = ruvo(tmp_path, "run", *(["--backend", "monitoring"] if how == "flag" else []), "app.py")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "[2, 4]\n"
        trace = db.load_trace(tmp_path / ".ruvo" / "ruvo.sqlite3", saved_trace_id(result))
        calls = [r["co_name"] for r in trace["frames_of_interest"] if r["event"] == "call"]
        assert calls == ["<module>", "double", "double"]

    def test_setting(self, tmp_path):
        write(tmp_path / "pyproject.toml", '[tool.ruvo]\nbackend = "monitoring"\n')
        assert load_settings(tmp_path).backend == "monitoring"
        write(tmp_path / "pyproject.toml", '[tool.ruvo]\nbackend = "fast"\n')
        with pytest.raises(SettingsError) as raised:
            load_settings(tmp_path)
        assert str(raised.value) == (f'{tmp_path / "pyproject.toml"}: [tool.ruvo] backend must be "profile", '
                                     '"monitoring" or "auto"')

    def test_auto_takes_monitoring_unless_another_tool_holds_its_id(self):
        profiler = Profiler(backend="auto")
        if sys.version_info < (3, 12):
            assert profiler.backend == "profile"
            return
        assert profiler.backend == "monitoring"
        sys.monitoring.use_tool_id(4, "someone")
        sys.monitoring.use_tool_id(3, "other")
        try:
            profiler.start()
            try:
                assert profiler.backend == "profile" and sys.getprofile() is not None
            finally:
                profiler.stop()
        finally:
            sys.monitoring.free_tool_id(4)
            sys.monitoring.free_tool_id(3)
        assert profiler.backend_note == ("sys.monitoring tool ids 4 by 'someone', 3 by 'other' are in use: "
                                         "recording through the profile function instead")
