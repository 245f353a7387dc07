"""The profiler inside other people's programs: interrupts and exits, fork,
sub-interpreters, references and memory, profilers dropped while threads
still report to them, and hostile configurations and values."""

import collections.abc
import ctypes
import gc
import os
import signal
import subprocess
import sys
import threading
import tracemalloc
import weakref

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import HostProfiler, decode, record, stop_profiling
from test_threads import run_script
from ruvo import _ruvo


def busy(n):
    return n


class TestInterruptsAndExits:
    @pytest.mark.parametrize("plugin", [False, True], ids=["frames", "plugin"])
    def test_exit_with_daemon_threads_inside_the_hook_never_crashes(self, plugin):
        # At exit CPython ends daemon threads that ask for the interpreter
        # lock back; a thread caught inside the hook used to crash the
        # process in about half the runs on 3.13. Repeated, since a single
        # run proves little.
        from concurrent.futures import ThreadPoolExecutor

        from test_threads import SCRIPTS

        args = [sys.executable, str(SCRIPTS / "daemon_at_exit.py")] + (["--plugin"] if plugin else [])
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

        def one_run(_):
            done = subprocess.run(args, capture_output=True, text=True, timeout=60, env=environment)
            return done.returncode, done.stderr[-500:]

        with ThreadPoolExecutor(2) as pool:
            failures = [result for result in pool.map(one_run, range(50)) if result[0] != 0]
        assert failures == []

    def test_interrupt_arriving_inside_the_hook_reaches_the_program(self, monkeypatch):
        import ruvo.serialize

        real = ruvo.serialize.dump_msgpack
        sent = []

        def serialise_and_get_interrupted(value):
            if not sent:
                sent.append(True)
                signal.raise_signal(signal.SIGINT)  # its handler runs here, inside the hook
            return real(value)

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", serialise_and_get_interrupted)
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        calls = []

        def loop():
            for n in range(20):
                calls.append(busy(n))

        try:
            with pytest.raises(KeyboardInterrupt):
                record(loop)
        finally:
            signal.signal(signal.SIGINT, previous)
        assert len(calls) < 20

    @pytest.mark.parametrize("raised", [SystemExit, KeyboardInterrupt, TimeoutError])
    @pytest.mark.parametrize("at", ["call", "return"])
    def test_signal_handler_exception_inside_the_hook_reaches_the_program(self, monkeypatch, raised, at):
        # A SIGTERM handler calling sys.exit, or an alarm raising a timeout,
        # may run while the hook serialises a value: the exception is the
        # program's, and the frame's call and return stay paired.
        import ruvo.serialize

        real = ruvo.serialize.dump_msgpack

        def serialise(value):
            if value == {"when": at} and at == "call" or value == "returning" and at == "return":
                signal.raise_signal(signal.SIGUSR1)
            return real(value)

        def handler(signum, frame):
            raise raised(3)

        def target(when):
            return "returning"

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", serialise)
        previous = signal.signal(signal.SIGUSR1, handler)
        host = HostProfiler()
        _ruvo.register_profiler(host)
        try:
            with pytest.raises(raised):
                target(at)
            busy(1)
        finally:
            stop_profiling()
            signal.signal(signal.SIGUSR1, previous)
        records = [r for r in decode(host.rust_profiler.build_trace())["frames_of_interest"] if r["type"] == "frame"]
        # Stopped at its call, the frame never ran and is not recorded; at
        # its return, the return is written once, without values.
        recorded = [("call", "target"), ("return", "target")] if at == "return" else []
        assert [(r["event"], r["co_name"]) for r in records] == recorded + [("call", "busy"), ("return", "busy")]
        if at == "return":
            assert records[0]["frame_id"] == records[1]["frame_id"]
            assert records[1]["arg"] == records[1]["locals"] == msgpack.ExtType(8, b"")

    def test_keyboard_interrupt_raised_by_profiled_code(self):
        def interrupted():
            raise KeyboardInterrupt

        host = HostProfiler()
        _ruvo.register_profiler(host)
        with pytest.raises(KeyboardInterrupt):
            interrupted()
        busy(1)
        stop_profiling()
        records = decode(host.rust_profiler.build_trace())["frames_of_interest"]
        assert [(r["event"], r["co_name"], r["arg"]) for r in records] == [
            ("call", "interrupted", None), ("return", "interrupted", None), ("call", "busy", None),
            ("return", "busy", 1)]

    def test_sys_exit_in_profiled_code(self):
        def leaves():
            sys.exit(3)

        host = HostProfiler()
        _ruvo.register_profiler(host)
        with pytest.raises(SystemExit) as caught:
            leaves()
        stop_profiling()
        assert caught.value.code == 3
        assert [r["event"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]] == [
            "call", "return"]

    def test_fork_while_threads_are_profiled(self):
        completed = run_script("fork_while_profiling.py", timeout=120)
        assert completed.stdout.strip() == "[0, 0, 0, 0, 0]"

    def test_registration_imports_what_the_hook_needs(self):
        completed = run_script("registration_imports.py", timeout=60)
        assert completed.stdout.strip() == "['logging', 'ruvo.serialize']"


def test_second_interpreter_cannot_load_the_module(tmp_path):
    script = tmp_path / "subinterpreter.py"
    script.write_text(
        "import ruvo._ruvo\n"
        "try:\n"
        "    import _interpreters as interpreters\n"
        "    interp = interpreters.create(interpreters.new_config('legacy'))\n"
        "    failure = interpreters.run_string(interp, 'import ruvo._ruvo')\n"
        "    print(failure.type.__name__, failure.msg)\n"
        "except ImportError:\n"
        "    import _xxsubinterpreters as interpreters\n"
        "    interp = interpreters.create(isolated=False)\n"
        "    try:\n"
        "        interpreters.run_string(interp, 'import ruvo._ruvo')\n"
        "    except Exception as error:\n"
        "        print(error)\n"
    )
    import subprocess
    import os

    completed = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60,
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert "ImportError" in completed.stdout
    assert "ruvo._ruvo does not support sub-interpreters" in completed.stdout


def native_heap_bytes():
    """Bytes the C allocator has handed out (the extension's own memory)."""
    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


class TestReferencesAndMemory:
    def test_values_seen_by_the_profiler_are_released(self):
        token = object()
        before = sys.getrefcount(token)
        for _ in range(20):
            record(busy, token)
        gc.collect()
        assert sys.getrefcount(token) == before

    def test_unreturned_frames_are_held_until_the_profiler_goes(self):
        class Token:
            pass

        def stops_inside(token):
            _ruvo.register_noop_profiler()
            return None

        host = HostProfiler()
        _ruvo.register_profiler(host)
        token = Token()
        probe = weakref.ref(token)
        stops_inside(token)
        del token
        gc.collect()
        assert probe() is not None  # its frame is still on the profiler's stack
        del host
        gc.collect()
        assert probe() is None

    def test_profiler_dropped_while_a_thread_still_reports_to_it(self, monkeypatch):
        import ruvo.plugins

        class Token:
            pass

        token = Token()
        probe = weakref.ref(token)
        # A processor that never fires, holding a context that holds the token.
        monkeypatch.setattr(ruvo.plugins, "load_plugin_data", lambda config: [
            {"co_names": ["never_called"], "path_fragment": "", "call_type": "c", "return_type": "r",
             "build_context": lambda config: {"token": token}}])  # noqa: F821 (deleted below, on purpose)
        started, stop = threading.Event(), threading.Event()

        def loop():
            started.set()
            while not stop.is_set():
                busy(1)

        host = HostProfiler({"threading": True})
        _ruvo.register_profiler(host)
        thread = threading.Thread(target=loop, daemon=True)
        thread.start()
        try:
            started.wait()
            stop_profiling()
            threading.setprofile(None)
            del host, token
            gc.collect()
            assert probe() is not None  # the thread's hook keeps the profiler alive
        finally:
            stop.set()
            thread.join()
        gc.collect()
        assert probe() is None

    def test_memory_is_flat_over_many_cycles(self):
        def cycle():
            host = HostProfiler({"threading": True})
            _ruvo.register_profiler(host)
            for n in range(50):
                busy([n] * 10)
            stop_profiling()
            threading.setprofile(None)
            host.rust_profiler.build_trace()

        for _ in range(20):
            cycle()
        gc.collect()
        tracemalloc.start()
        native_before = native_heap_bytes()
        python_before = tracemalloc.get_traced_memory()[0]
        for _ in range(300):
            cycle()
        gc.collect()
        python_growth = tracemalloc.get_traced_memory()[0] - python_before
        native_growth = native_heap_bytes() - native_before
        tracemalloc.stop()
        # 300 cycles of 100 records each: any per-cycle leak shows up as tens of KiB or more.
        assert python_growth < 64 * 1024
        assert native_growth < 256 * 1024


HOST_KEYS = st.sampled_from(["filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "other"])
ANY_VALUE = st.recursive(
    st.none() | st.booleans() | st.integers(-2, 2**65) | st.text(max_size=4) | st.just("\udc80"),
    lambda children: st.lists(children, max_size=3) | st.dictionaries(
        st.sampled_from(["include_frames", "ignore_frames", "x"]), children, max_size=3),
    max_leaves=6,
)


def expected_refusal(config):
    """The exception a configuration must be refused with, or None."""
    filters = config.get("filters")
    if filters is not None:
        for key in ("include_frames", "ignore_frames"):
            try:
                value = filters[key]
            except Exception:
                continue
            if isinstance(value, str):
                return TypeError
            if not isinstance(value, (list, tuple)):
                return TypeError
            for item in value:
                if not isinstance(item, str):
                    return TypeError
                try:
                    item.encode()
                except UnicodeEncodeError:
                    return UnicodeEncodeError
    if "sqlite_busy_timeout" in config:
        timeout = config["sqlite_busy_timeout"]
        if not isinstance(timeout, int):
            return TypeError
        if not 0 <= timeout < 2**64:
            return OverflowError
    return None


class TestHostileInput:
    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.dictionaries(HOST_KEYS, ANY_VALUE, max_size=5))
    def test_random_configurations(self, config):
        config["builtin_plugins"] = False
        expected = expected_refusal(config)
        host = HostProfiler(config)
        try:
            _ruvo.register_profiler(host)
        except Exception as error:
            assert expected is not None and isinstance(error, expected), (config, error)
            assert sys.getprofile() is None
            return
        finally:
            stop_profiling()
        assert expected is None, config
        threading.setprofile(None)
        decode(host.rust_profiler.build_trace())

    @settings(max_examples=200, deadline=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
    @given(st.lists(st.dictionaries(
        st.sampled_from(["co_names", "path_fragment", "call_type", "return_type", "subtype", "events", "call",
                         "process", "build_context"]),
        st.none() | st.text(max_size=3) | st.lists(st.sampled_from(["busy", "call", "return", 1]), max_size=3)
        | st.sampled_from([busy, lambda *a: True, lambda *a: {"k": 1}, lambda *a: 1, dict]),
        max_size=9), max_size=3))
    def test_random_plugin_definitions(self, monkeypatch, definitions):
        import ruvo.plugins

        monkeypatch.setattr(ruvo.plugins, "load_plugin_data", lambda config: definitions)
        host = HostProfiler({})
        try:
            _ruvo.register_profiler(host)
        except (TypeError, KeyError, ValueError, UnicodeEncodeError):
            assert sys.getprofile() is None
            return
        try:
            busy(1)
        finally:
            stop_profiling()
        trace = decode(host.rust_profiler.build_trace())
        assert all(isinstance(r["type"], str) for r in trace["frames_of_interest"])

    def test_hostile_locals_still_give_a_readable_document(self):
        class Raises:
            def __repr__(self):
                raise RuntimeError("no repr")

            def __eq__(self, other):
                raise RuntimeError("no eq")

            def __hash__(self):
                raise RuntimeError("no hash")

        class Mutates:
            def __init__(self, target):
                self.target = target

            def __repr__(self):
                self.target.clear()
                self.target.update({n: n for n in range(50)})
                return "mutated"

        def hostile():
            looped = [1]
            looped.append(looped)
            cyclic = {}
            cyclic["self"] = cyclic
            enormous = "x" * 10_000_000
            wide = list(range(1_000_000))
            odd = Raises()  # noqa: F841 (a local the recorder must read)
            changing = {}
            changing["m"] = Mutates(changing)
            deep = []
            for _ in range(10_000):
                deep = [deep]
            return len(enormous) + len(wide)

        recording = record(hostile)
        call, ret = recording.frames("hostile")
        assert ret["arg"] == 11_000_000
        assert {"looped", "cyclic", "enormous", "wide", "odd", "changing", "deep"} <= set(ret["locals"])
        assert len(recording.document) < 20_000_000

    def test_every_record_is_one_value(self):
        """Whatever the serialiser gives back, records stay exactly one value each."""
        recording = record(lambda: [busy(n) for n in (1, "two", 3.0, None, b"5")])
        unpacker = msgpack.Unpacker(strict_map_key=False)
        unpacker.feed(recording.document)
        assert len(list(unpacker)) == 1


class TestHostEnvironment:
    @pytest.mark.parametrize("module", ["ruvo.serialize", "threading", "collections.abc"])
    def test_blocked_module_is_reported_as_its_import_error(self, caplog, module):
        # A plugin whose process() returns a mapping that is not a dict makes
        # the hook look collections.abc up.
        plugin = {"co_names": ["busy"], "path_fragment": "test_reliability.py", "call_type": "busy",
                  "return_type": "busy", "process": lambda frame, event, arg, context: MappingProxy({"n": 1})}
        host = HostProfiler({"plugins": [plugin], "builtin_plugins": False})
        _ruvo.register_profiler(host)
        saved = sys.modules[module]
        try:
            with caplog.at_level("WARNING", logger="ruvo"):
                sys.modules[module] = None
                try:
                    busy(1)
                finally:
                    sys.modules[module] = saved
        finally:
            stop_profiling()
        errors = {(r.exc_info[0], str(r.exc_info[1])) for r in caplog.records if r.name == "ruvo"}
        assert errors == {(ModuleNotFoundError, f"import of {module} halted; None in sys.modules")}

    def test_directory_changed_by_c_code_is_seen(self, tmp_path):
        # chdir through libc, behind the interpreter's back: recorded paths
        # are relative to the directory the process is really in.
        libc = ctypes.CDLL(None, use_errno=True)
        here = os.getcwd()
        test_dir = os.path.dirname(__file__)

        def moves():
            busy(1)
            assert libc.chdir(test_dir.encode()) == 0
            busy(2)
            assert libc.chdir(here.encode()) == 0

        try:
            recording = record(moves)
        finally:
            os.chdir(here)
        paths = [r["path"].rsplit(":", 1)[0] for r in recording.frames("busy") if r["event"] == "call"]
        assert paths == [os.path.relpath(__file__, here), "test_reliability.py"]

    def test_commit_is_found_where_the_program_started(self, tmp_path):
        # The program leaves its work tree before the first trace is built.
        script = tmp_path / "moves.py"
        script.write_text(
            "import os, sys\n"
            "from ruvo import _ruvo\n"
            "from threaded_host import ThreadedHost\n"
            "host = ThreadedHost('trc_01J0000000000000000000000A', 'sha')\n"
            "host.config = {'threading': False}\n"
            "_ruvo.register_profiler(host)\n"
            "os.chdir(sys.argv[1])\n"
            "import msgpack\n"
            "print(msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)['current_commit_sha'])\n")
        work_tree = tmp_path / "tree"
        (work_tree / ".git" / "refs" / "heads").mkdir(parents=True)
        (work_tree / ".git" / "HEAD").write_text("ref: refs/heads/main\n")
        (work_tree / ".git" / "refs" / "heads" / "main").write_text("a" * 40 + "\n")
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        from test_threads import SCRIPTS

        environment = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SCRIPTS), *sys.path]))
        done = subprocess.run([sys.executable, str(script), str(elsewhere)], cwd=work_tree, capture_output=True,
                              text=True, timeout=60, env=environment)
        assert done.stdout.strip() == "a" * 40, done.stderr


class MappingProxy(collections.abc.Mapping):
    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)
