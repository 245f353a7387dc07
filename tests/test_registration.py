"""The module, the RuvoProfiler type and register_profiler: what is installed,
what is refused, and with which message."""

import importlib
import pathlib
import sys
import threading

import pytest

from conftest import HostProfiler, decode, record, stop_profiling
from ruvo import _ruvo

def internal_error_class():
    """The class of internal errors, caught from a broken invariant."""

    class Key:
        def __hash__(self):
            return hash("filters")

        def __eq__(self, other):
            raise ValueError("comparison refused")

    with pytest.raises(BaseException) as caught:
        _ruvo.register_profiler(HostProfiler({Key(): 1}))
    return caught.value


def profiled_type():
    host = HostProfiler()
    _ruvo.register_profiler(host)
    stop_profiling()
    return type(host.rust_profiler)


class TestModule:
    def test_namespace_and_docs(self):
        assert _ruvo.__all__ == ["register_noop_profiler", "register_profiler"]
        assert _ruvo.__doc__ == ""
        assert not hasattr(_ruvo, "RuvoProfiler")
        assert _ruvo.register_profiler.__text_signature__ == "(profiler)"
        assert _ruvo.register_noop_profiler.__text_signature__ == "()"
        assert _ruvo.register_profiler.__module__ == "ruvo._ruvo"

    def test_one_module_object_per_process(self):
        first = sys.modules.pop("ruvo._ruvo")
        try:
            again = importlib.import_module("ruvo._ruvo")
            assert again is first
        finally:
            sys.modules["ruvo._ruvo"] = first

    def test_argument_errors_use_the_interpreter_wording(self):
        with pytest.raises(TypeError, match=r"register_profiler\(\) missing 1 required positional argument: 'profiler'"):
            _ruvo.register_profiler()
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
            _ruvo.register_profiler(1, 2)
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'other'"):
            _ruvo.register_profiler(other=1)
        with pytest.raises(TypeError, match=r"takes no arguments"):
            _ruvo.register_noop_profiler(1)

    def test_profiler_given_by_keyword(self):
        host = HostProfiler()
        _ruvo.register_profiler(profiler=host)
        assert sys.getprofile() is host.rust_profiler


class TestRuvoProfilerType:
    def test_identity(self):
        cls = profiled_type()
        assert cls.__name__ == "RuvoProfiler"
        assert cls.__module__ == "ruvo._ruvo"
        assert cls.__qualname__ == "RuvoProfiler"
        assert cls.__doc__ is None
        assert cls.__bases__ == (object,)
        methods = [name for name, value in vars(cls).items() if callable(value) and not name.startswith("__")]
        assert methods == ["save_request_in_db", "build_trace", "register_threading_profiler"]
        assert cls.build_trace.__text_signature__ == "($self)"
        assert cls.save_request_in_db.__text_signature__ == "($self)"
        assert cls.register_threading_profiler.__text_signature__ == "($self, _frame, _event, _arg)"

    def test_not_constructible_nor_subclassable(self):
        cls = profiled_type()
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_no_instance_dict(self):
        host = HostProfiler()
        _ruvo.register_profiler(host)
        stop_profiling()
        with pytest.raises(AttributeError):
            host.rust_profiler.anything = 1
        assert not hasattr(host.rust_profiler, "__dict__")


class TestRefusals:
    """A refused registration installs nothing and sets nothing."""

    def assert_nothing_installed(self, host):
        assert sys.getprofile() is None
        assert not hasattr(host, "rust_profiler")

    def refuse(self, host, error, message):
        with pytest.raises(error) as caught:
            _ruvo.register_profiler(host)
        assert str(caught.value) == message
        self.assert_nothing_installed(host)

    def test_not_callable(self):
        with pytest.raises(TypeError, match="^profiler object is not callable$"):
            _ruvo.register_profiler(42)
        assert sys.getprofile() is None

    def test_config_not_a_dict(self):
        self.refuse(HostProfiler([("threading", True)]), TypeError, "'list' object cannot be converted to 'PyDict'")

    @pytest.mark.parametrize("attribute", ["config", "db_path", "one_trace_per_test", "trace_id", "source"])
    def test_missing_attribute(self, attribute):
        host = HostProfiler()
        delattr(host, attribute)
        with pytest.raises(AttributeError):
            _ruvo.register_profiler(host)
        self.assert_nothing_installed(host)

    @pytest.mark.parametrize(
        "filters, message",
        [
            ({"include_frames": "app"}, "Can't extract `str` to `Vec`"),
            ({"ignore_frames": "app"}, "Can't extract `str` to `Vec`"),
            ({"include_frames": 3}, "'int' object cannot be converted to 'Sequence'"),
            ({"include_frames": {"a": 1}}, "'dict' object cannot be converted to 'Sequence'"),
            ({"ignore_frames": None}, "'NoneType' object cannot be converted to 'Sequence'"),
            ({"ignore_frames": ["ok", 7]}, "'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_bad_filters(self, filters, message):
        self.refuse(HostProfiler({"filters": filters, "builtin_plugins": False}), TypeError, message)

    def test_filter_text_without_utf8_form(self):
        with pytest.raises(UnicodeEncodeError):
            _ruvo.register_profiler(HostProfiler({"filters": {"include_frames": ["\udc80"]}}))
        assert sys.getprofile() is None

    @pytest.mark.parametrize(
        "timeout, error",
        [(-1, OverflowError), (2**64, OverflowError), (None, TypeError), ("60", TypeError), (1.5, TypeError)],
    )
    def test_bad_busy_timeout(self, timeout, error):
        with pytest.raises(error):
            _ruvo.register_profiler(HostProfiler({"sqlite_busy_timeout": timeout}))
        assert sys.getprofile() is None

    @pytest.mark.parametrize(
        "attribute, value, message",
        [
            ("one_trace_per_test", 1, "'int' object cannot be converted to 'PyBool'"),
            ("one_trace_per_test", None, "'NoneType' object cannot be converted to 'PyBool'"),
            ("trace_id", 5, "'int' object cannot be converted to 'PyString'"),
            ("source", b"cli", "'bytes' object cannot be converted to 'PyString'"),
        ],
    )
    def test_bad_attribute_types(self, attribute, value, message):
        host = HostProfiler()
        setattr(host, attribute, value)
        self.refuse(host, TypeError, message)

    def test_db_path_whose_str_raises(self):
        class Unprintable:
            def __str__(self):
                raise RuntimeError("no path")

        self.refuse(HostProfiler(db_path=Unprintable()), RuntimeError, "no path")

    def test_main_thread_lookup_failing(self, monkeypatch):
        def broken():
            raise RuntimeError("no main thread")

        monkeypatch.setattr(threading, "main_thread", broken)
        self.refuse(HostProfiler(), RuntimeError, "no main thread")

    def test_rust_profiler_cannot_be_set(self):
        class Frozen(HostProfiler):
            def __setattr__(self, name, value):
                if name == "rust_profiler":
                    raise AttributeError("read-only host")
                super().__setattr__(name, value)

        host = Frozen()
        with pytest.raises(AttributeError, match="read-only host"):
            _ruvo.register_profiler(host)
        assert sys.getprofile() is None


class TestInternalErrors:
    def test_raising_config_lookup_is_an_internal_error(self):
        error = internal_error_class()
        assert not isinstance(error, Exception)
        assert isinstance(error, BaseException)
        assert str(error).startswith('config.get("filters" should not raise.: ValueError: comparison refused')
        assert sys.getprofile() is None

    @pytest.mark.parametrize("key", ["sqlite_busy_timeout", "threading", "lightweight_repr"])
    def test_each_config_lookup(self, key):
        class Key:
            def __hash__(self):
                return hash(key)

            def __eq__(self, other):
                raise ValueError("comparison refused")

        with pytest.raises(BaseException) as caught:
            _ruvo.register_profiler(HostProfiler({Key(): 1}))
        assert not isinstance(caught.value, Exception)
        assert str(caught.value).startswith(f'config.get("{key}" should not raise.: ValueError')

    def test_plugins_module_not_importable(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "ruvo.plugins", None)
        with pytest.raises(BaseException) as caught:
            _ruvo.register_profiler(HostProfiler())
        assert not isinstance(caught.value, Exception)
        assert str(caught.value).startswith("ruvo.plugins should always be importable: ")
        assert sys.getprofile() is None


class TestConfiguration:
    def test_empty_config_defaults(self):
        recording = record(lambda: None, config={"builtin_plugins": False})
        trace = recording.trace
        assert trace["frames"] == {}
        assert trace["trace_id"] == "trc_test"
        assert trace["meta"]["source"] == "tests"

    @pytest.mark.parametrize("filters", [None, {}, {"include_frames": ["nowhere"]}, 5])
    def test_filters_that_give_empty_lists(self, filters):
        def user_code():
            return 1

        recording = record(user_code, config={"filters": filters, "builtin_plugins": False})
        assert recording.events() == [("call", "user_code"), ("return", "user_code")]

    def test_threading_value_that_is_not_a_bool(self):
        host = HostProfiler({"threading": 1, "builtin_plugins": False})
        _ruvo.register_profiler(host)
        assert sys.getprofile() is host.rust_profiler
        assert threading.getprofile() is None

    def test_db_path_object_is_taken_as_text(self, monkeypatch):
        import ruvo.db

        saved = []
        monkeypatch.setattr(ruvo.db, "save_trace_in_sqlite", lambda *args, **kwargs: saved.append((args, kwargs)))
        host = HostProfiler(db_path=pathlib.PurePosixPath("/tmp/x/trace.sqlite3"))
        _ruvo.register_profiler(host)
        stop_profiling()
        host.rust_profiler.save_request_in_db()
        (args, kwargs), = saved
        assert args == ("/tmp/x/trace.sqlite3", "trc_test")

    def test_later_changes_to_config_have_no_effect(self):
        config = {"filters": {"ignore_frames": []}, "builtin_plugins": False}
        host = HostProfiler(config)
        _ruvo.register_profiler(host)
        config["filters"]["ignore_frames"].append("")

        def user_code():
            return 1

        user_code()
        stop_profiling()
        assert [r["co_name"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]] == [
            "user_code", "user_code"]

    def test_main_thread_without_native_id(self, monkeypatch):
        class OldThread:
            pass

        monkeypatch.setattr(threading, "main_thread", OldThread)
        recording = record(lambda: None)
        assert recording.trace["main_thread_id"] is None

    def test_main_thread_native_id_none(self, monkeypatch):
        class Thread:
            native_id = None

        monkeypatch.setattr(threading, "main_thread", Thread)
        assert record(lambda: None).trace["main_thread_id"] is None


class TestInstallation:
    def test_registered_thread_reports_to_the_new_instance(self):
        host = HostProfiler()
        _ruvo.register_profiler(host)
        assert sys.getprofile() is host.rust_profiler
        first = host.rust_profiler
        _ruvo.register_profiler(host)
        assert host.rust_profiler is not first
        assert sys.getprofile() is host.rust_profiler

    def test_config_read_failing_after_hook_leaves_thread_hooked(self):
        class Flaky(HostProfiler):
            reads = 0

            @property
            def config(self):
                Flaky.reads += 1
                if Flaky.reads > 1:
                    raise LookupError("config gone")
                return {"builtin_plugins": False}

            @config.setter
            def config(self, value):
                pass

        host = Flaky()
        with pytest.raises(LookupError, match="config gone"):
            _ruvo.register_profiler(host)
        assert sys.getprofile() is host.rust_profiler

    def test_threading_hook_failing_leaves_thread_hooked(self, monkeypatch):
        def refuse(hook):
            raise RuntimeError("no hooks")

        monkeypatch.setattr(threading, "setprofile", refuse)
        host = HostProfiler({"threading": True, "builtin_plugins": False})
        with pytest.raises(RuntimeError, match="no hooks"):
            _ruvo.register_profiler(host)
        assert sys.getprofile() is host.rust_profiler

    def test_threading_hook_installed(self):
        host = HostProfiler({"threading": True, "builtin_plugins": False})
        _ruvo.register_profiler(host)
        hook = threading.getprofile()
        assert hook.__self__ is host.rust_profiler
        assert hook.__name__ == "register_threading_profiler"

    def test_noop_profiler_detaches_only_the_calling_thread(self):
        def user_code():
            return 2

        host = HostProfiler({"threading": True, "builtin_plugins": False})
        _ruvo.register_profiler(host)
        _ruvo.register_noop_profiler()
        user_code()
        thread = threading.Thread(target=user_code, name="late")
        thread.start()
        thread.join()
        stop_profiling()
        trace = decode(host.rust_profiler.build_trace())
        recorded = [r for records in trace["frames"].values() for r in records] + trace["frames_of_interest"]
        assert {r["thread"] for r in recorded} == {"late"}
        assert [(r["event"], r["co_name"]) for r in recorded if r["co_name"] == "user_code"] == [
            ("call", "user_code"), ("return", "user_code")]

    def test_register_threading_profiler_directly(self):
        host = HostProfiler()
        _ruvo.register_profiler(host)
        _ruvo.register_noop_profiler()
        assert host.rust_profiler.register_threading_profiler(None, "call", None) is None
        assert sys.getprofile() is host.rust_profiler
        assert host.rust_profiler.register_threading_profiler(_frame=1, _event=2, _arg=3) is None
        with pytest.raises(TypeError, match=r"missing 2 required positional arguments: '_event' and '_arg'"):
            host.rust_profiler.register_threading_profiler(None)
        with pytest.raises(TypeError, match=r"got multiple values for argument '_frame'"):
            host.rust_profiler.register_threading_profiler(None, None, None, _frame=1)


class TestThreads:
    def test_thread_started_after_registration_reports_to_the_same_instance(self):
        def work(n):
            return n * 2

        def run():
            work(1)
            work(2)

        host = HostProfiler({"threading": True, "builtin_plugins": False})
        _ruvo.register_profiler(host)
        thread = threading.Thread(target=run, name="worker")
        thread.start()
        thread.join()
        stop_profiling()
        trace = decode(host.rust_profiler.build_trace())
        assert list(trace["frames"]) == [thread.native_id]
        records = trace["frames"][thread.native_id]
        assert [(r["event"], r["co_name"]) for r in records if r["co_name"] == "work"] == [
            ("call", "work"), ("return", "work"), ("call", "work"), ("return", "work")]
        assert {r["thread"] for r in records} == {"worker"}
        assert {r["thread_native_id"] for r in records} == {thread.native_id}

    def test_threads_without_threading_setting_are_not_hooked(self):
        def work():
            return 1

        host = HostProfiler({"builtin_plugins": False})
        _ruvo.register_profiler(host)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        stop_profiling()
        trace = decode(host.rust_profiler.build_trace())
        assert trace["frames"] == {}
        assert all(r["thread"] == "MainThread" for r in trace["frames_of_interest"])

    def test_new_thread_starts_with_empty_state(self):
        """A thread that reuses an exited thread's storage sees none of its calls."""

        def inner():
            return 1

        def outer():
            return inner()

        host = HostProfiler({"threading": True, "builtin_plugins": False})
        _ruvo.register_profiler(host)
        for name in ("first", "second"):
            thread = threading.Thread(target=outer, name=name)
            thread.start()
            thread.join()
        stop_profiling()
        trace = decode(host.rust_profiler.build_trace())
        # Both threads may have had the same native id: pick by name.
        recorded = [r for records in trace["frames"].values() for r in records]
        second = [r for r in recorded if r["thread"] == "second" and r["co_name"] in ("outer", "inner")]
        assert [(r["event"], r["co_name"]) for r in second] == [
            ("call", "outer"), ("call", "inner"), ("return", "inner"), ("return", "outer")]
        assert second[0]["user_code_call_site"] is None
        assert second[1]["user_code_call_site"]["call_frame_id"] == second[0]["frame_id"]
