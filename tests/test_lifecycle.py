"""Starting, stopping, pausing and nesting: what a profiler records is what
it was asked to, under both backends, and every call has at most one return."""

import collections
import sys
import threading

import pytest

from conftest import HostProfiler, decode
from ruvo import _ruvo


def leaf():
    return 1


def pairing_faults(records):
    """Calls with more than one return, and returns naming no recorded call."""
    frames = [r for r in records if r.get("type") == "frame"]
    calls = {r["frame_id"] for r in frames if r["event"] == "call"}
    returns = collections.Counter(r["frame_id"] for r in frames if r["event"] == "return" and r["frame_id"])
    return sorted(i for i, n in returns.items() if n > 1 or i not in calls)


class TestFrameIds:
    def test_a_return_seen_without_its_call_gets_no_stale_id(self):
        # The generator's first run is recorded; its resume comes while the
        # thread is unhooked, so its next yield is seen without a call.
        host = HostProfiler()

        def gen():
            yield 1
            host.rust_profiler.register_threading_profiler(None, None, None)
            yield 2

        g = gen()
        _ruvo.register_profiler(host)
        next(g)
        _ruvo.register_noop_profiler()
        next(g)
        _ruvo.register_noop_profiler()
        frames = [r for r in decode(host.rust_profiler.build_trace())["frames_of_interest"] if r["type"] == "frame"]
        assert [(r["event"], r["co_name"]) for r in frames] == [("call", "gen"), ("return", "gen"),
                                                                 ("return", "gen")]
        assert frames[2]["frame_id"] is None
        assert pairing_faults(frames) == []


def profiler(backend, **options):
    from ruvo import Profiler

    return Profiler(backend=backend, builtin_plugins=False, trace_budget=None, db_path="unused", **options)


def calls(native, thread=None):
    """(event, co_name, argument n) of every frame record in the trace."""
    document = decode(native.build_trace())
    lists = [document["frames_of_interest"]] if thread is None else [
        records for records in document["frames"].values()]
    return [(r["event"], r["co_name"], (r["locals"] or {}).get("n")) for records in lists for r in records
            if r["type"] == "frame"]


def f(n):
    return n


BACKENDS = ["profile", pytest.param("monitoring", marks=pytest.mark.skipif(
    sys.version_info < (3, 12), reason="sys.monitoring is new in Python 3.12"))]


@pytest.mark.parametrize("backend", BACKENDS)
class TestBothBackends:
    def test_pause_and_resume(self, backend):
        p = profiler(backend)
        p.start()
        f(1)
        p.pause()
        f(2)
        p.resume()
        f(3)
        p.stop()
        assert [c for c in calls(p.rust_profiler) if c[1] == "f"] == [
            ("call", "f", 1), ("return", "f", 1), ("call", "f", 3), ("return", "f", 3)]

    def test_nested_profilers_each_keep_their_own_and_the_outer_stays_whole(self, backend):
        outer = profiler(backend, threading=True)
        inner = profiler(backend)

        def program():
            outer.start()
            f(1)
            inner.start()
            f(2)
            worker = threading.Thread(target=f, args=(3,), name="late")
            worker.start()
            worker.join()
            inner.stop()
            f(4)
            outer.stop()

        program()
        main = lambda native: [c for c in calls(native) if c[1] == "f"]  # noqa: E731
        assert main(outer.rust_profiler) == [(e, "f", n) for n in (1, 2, 4) for e in ("call", "return")]
        assert main(inner.rust_profiler) == [("call", "f", 2), ("return", "f", 2)]
        document = decode(outer.rust_profiler.build_trace())
        assert document["frames_of_interest"] == []  # already taken above
        inner_threads = decode(inner.rust_profiler.build_trace())["frames"]
        assert inner_threads == {}

    def test_a_thread_recorded_by_the_outer_only(self, backend):
        outer = profiler(backend, threading=True)
        inner = profiler(backend)
        outer.start()
        inner.start()
        worker = threading.Thread(target=f, args=(3,), name="late")
        worker.start()
        worker.join()
        inner.stop()
        outer.stop()
        threads = decode(outer.rust_profiler.build_trace())["frames"]
        assert [(r["event"], r["co_name"]) for records in threads.values() for r in records
                if r["type"] == "frame" and r["co_name"] == "f"] == [("call", "f"), ("return", "f")]
        inner_document = decode(inner.rust_profiler.build_trace())
        assert inner_document["frames"] == {}
        assert all(r["co_name"] != "f" for r in inner_document["frames_of_interest"])

    def test_stop_ends_recording_in_a_thread_still_running(self, backend):
        p = profiler(backend, threading=True)
        stopped, finished = threading.Event(), threading.Event()

        def worker():
            f(1)
            stopped.wait(10)
            f(2)
            finished.set()

        p.start()
        thread = threading.Thread(target=worker, name="worker")
        thread.start()
        while not any(c[1] == "f" for c in calls(p.rust_profiler, thread=True)) and thread.is_alive():
            pass  # until the worker's first call is in
        p.stop()
        stopped.set()
        finished.wait(10)
        thread.join()
        # nothing of what the thread ran after stop()
        assert [c for c in calls(p.rust_profiler, thread=True) if c[1] == "f" and c[2] == 2] == []
        assert sys.getprofile() is None

    def test_a_decorated_recursive_function_is_one_trace(self, backend, tmp_path):
        from ruvo import Profiler, db

        p = Profiler(backend=backend, builtin_plugins=False, trace_budget=None, db_path=tmp_path / "t.sqlite3")

        @p
        def fact(n):
            return 1 if n <= 1 else n * fact(n - 1)

        assert fact(3) == 6
        assert [row.trace_id for row in db.list_traces(tmp_path / "t.sqlite3")] == [p.trace_id]
        records = db.load_trace(tmp_path / "t.sqlite3", p.trace_id)["frames_of_interest"]
        assert [(r["event"], r["locals"]["n"]) for r in records if r["co_name"] == "fact"] == [
            ("call", 3), ("call", 2), ("call", 1), ("return", 1), ("return", 2), ("return", 3)]
        assert pairing_faults(records) == []


@pytest.mark.parametrize("backend", BACKENDS)
class TestTheProgramsOwnProfileFunction:
    def test_saving_and_restoring_it_keeps_recording(self, backend):
        p = profiler(backend)
        p.start()
        old = sys.getprofile()
        sys.setprofile(None)
        f(1)
        sys.setprofile(old)
        f(2)
        p.stop()
        assert [c for c in calls(p.rust_profiler) if c[1] == "f"] == [
            (e, "f", n) for n in (1, 2) for e in ("call", "return")]

    def test_the_profile_module_runs_and_the_recording_stays_whole(self, backend):
        import profile as stdlib_profile

        def program():
            f(1)
            stdlib_profile.Profile().runcall(f, 2)
            seen = []
            sys.setprofile(lambda frame, event, arg: seen.append((event, frame.f_code.co_name)))
            f(3)
            sys.setprofile(None)
            f(4)
            return seen

        p = profiler(backend)
        p.start()
        seen = program()
        p.stop()
        assert ("call", "f") in seen and ("return", "f") in seen and sys.getprofile() is None
        recorded = calls(p.rust_profiler)
        assert [c for c in recorded if c[1] == "f"] == [(e, "f", n) for n in (1, 2, 3, 4) for e in ("call", "return")]
        assert recorded[-1][:2] == ("return", "program")
        assert pairing_faults(decode(p.rust_profiler.build_trace())["frames_of_interest"]) == []


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in Python 3.12")
class TestMonitoringIds:
    def test_code_switched_off_by_an_earlier_tool_is_recorded(self):
        def switch_off(code, offset):
            return sys.monitoring.DISABLE

        events = sys.monitoring.events
        sys.monitoring.use_tool_id(4, "earlier")
        sys.monitoring.register_callback(4, events.PY_START, switch_off)
        sys.monitoring.set_events(4, events.PY_START)
        f(0)
        sys.monitoring.set_events(4, 0)
        sys.monitoring.register_callback(4, events.PY_START, None)
        sys.monitoring.free_tool_id(4)
        p = profiler("monitoring")
        p.start()
        f(1)
        p.stop()
        assert [c for c in calls(p.rust_profiler) if c[1] == "f"] == [("call", "f", 1), ("return", "f", 1)]

    def test_an_outer_profiler_stopped_first_stays_stopped(self):
        outer, inner = profiler("profile"), profiler("profile")
        outer.start()
        inner.start()
        outer.stop()
        inner.stop()
        f(1)
        assert sys.getprofile() is None
        assert all(c[1] != "f" for c in calls(outer.rust_profiler))

    def test_a_program_claiming_the_id_ruvo_holds_gets_it(self):
        p = profiler("monitoring")
        p.start()
        f(1)
        held = _monitoring_module().tool_id()
        sys.monitoring.use_tool_id(held, "program")
        try:
            f(2)
            moved = _monitoring_module().tool_id()
        finally:
            sys.monitoring.free_tool_id(held)
            p.stop()
        assert sys.monitoring.get_tool(moved) is None  # ruvo let go of the other at stop()
        assert (held, moved) == (4, 3)
        assert [c for c in calls(p.rust_profiler) if c[1] == "f"] == [
            (e, "f", n) for n in (1, 2) for e in ("call", "return")]


def _monitoring_module():
    from ruvo import _monitoring

    return _monitoring
