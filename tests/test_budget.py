"""Bounded recording: a trace past its budget degrades instead of growing,
says what it left out, and an allocation failure costs one event only."""

import ctypes
import logging

import msgpack
import pytest

from conftest import HostProfiler, decode, record, stop_profiling
from ruvo import _ruvo

LEFT_OUT = msgpack.ExtType(16, b"")  # a value left out for the budget


def early(n):
    return n


def late(n):
    return n


def marker():
    pass


def pair_size():
    """Bytes of one recorded call and return of `early`, as stored."""
    recording = record(lambda: early(1), config={"builtin_plugins": False})
    frames = recording.frames("early")
    return sum(len(msgpack.packb(r)) for r in frames)


def program():
    for n in range(110):
        early(n)
    for n in range(20):
        late(n)
    for n in range(300):
        early(n)
    marker()


MARKER_PLUGIN = {"co_names": ["marker"], "path_fragment": "test_budget.py", "call_type": "marker",
                 "return_type": "marker_end"}


class TestBudget:
    def test_detail_degrades_then_stops_and_the_trace_says_what_it_left_out(self, caplog):
        budget = 200 * pair_size()
        with caplog.at_level(logging.INFO, logger="ruvo"):
            recording = record(program, config={"trace_budget": budget, "plugins": [MARKER_PLUGIN],
                                                "builtin_plugins": False})
        records = recording.records
        frames = recording.frames()

        # Every recorded call is paired with its return, in order.
        open_ids = []
        for r in frames:
            if r["event"] == "call":
                open_ids.append(r["frame_id"])
            else:
                assert open_ids.pop() == r["frame_id"]
        assert open_ids == [] and frames[0]["co_name"] == "program"

        def has_values(r):
            assert (r["arg"] == LEFT_OUT) == (r["locals"] == LEFT_OUT)
            return r["arg"] != LEFT_OUT

        calls = [r for r in frames if r["event"] == "call" and r["co_name"] in ("early", "late")]
        early_values = [has_values(r) for r in calls if r["co_name"] == "early"]
        late_values = [has_values(r) for r in calls if r["co_name"] == "late"]
        # Past a quarter of the budget each function keeps values for its
        # first 16 calls, counted from the trace's start, then for its 32nd,
        # 64th, 128th... call: `late`, first called then, gets them although
        # `early` has long been called more often.
        assert late_values == [True] * 16 + [False] * 4
        first_dropped = early_values.index(False)
        assert 40 <= first_dropped <= 60
        sampled = [n for n, kept in enumerate(early_values[first_dropped:], first_dropped + 1) if kept]
        assert sampled and all(n & (n - 1) == 0 for n in sampled) and 64 in sampled
        # A return carries values exactly when its call did.
        returns = {r["frame_id"]: has_values(r) for r in frames if r["event"] == "return"}
        assert all(returns[r["frame_id"]] == has_values(r) for r in calls)
        # At the budget no more calls are recorded; plugin records still are.
        assert len(calls) < 430
        left_out, tally = records[-2:]
        assert [r["type"] for r in records if r["type"] not in ("frame", "ruvo")] == ["marker", "marker_end"]

        recorded_calls = len(calls)
        dropped = sum(not has_values(r) for r in frames)
        assert left_out["type"] == "ruvo" and left_out["subtype"] == "left_out"
        assert left_out["budget"] == budget
        assert left_out["stored_bytes"] >= budget
        assert left_out["frames_omitted"] == 2 * (430 + 1 - recorded_calls)  # and marker's own frame
        assert left_out["values_omitted"] == dropped
        assert left_out["failures_unlogged"] == 0
        assert left_out["message"] == (
            f"This trace reached its recording budget of {budget} record bytes: "
            f"{left_out['frames_omitted']} frame records were left out and {dropped} were kept without values. "
            "Calls past the budget were counted and timed, not recorded.")
        last_call = max(r["timestamp"] for r in frames if r["event"] == "call")
        assert last_call <= left_out["complete_until"] <= tally["timestamp"]
        # Calls past the budget are counted: with the recorded ones, every
        # call the program made.
        assert tally["subtype"] == "tally"
        functions = {row[2].rsplit(".", 1)[-1]: dict(zip(tally["columns"], row)) for row in tally["functions"]}
        for name, made in (("early", 410), ("late", 20), ("program", 1)):
            recorded = sum(r["co_name"] == name for r in calls) if name != "program" else 1
            assert functions[name]["calls"] + functions[name]["calls_recorded"] == made, name
            assert functions[name]["calls_recorded"] == recorded
        assert functions["late"]["calls"] == 0 and functions["early"]["calls"] > 0
        # Their time is no longer the recorded caller's own.
        assert functions["program"]["hidden"] > 0 and functions["early"]["own"] > 0
        assert list(left_out)[:6] == ["frame_id", "timestamp", "thread", "thread_native_id",
                                      "user_code_call_site", "type"]
        assert left_out["timestamp"] == left_out["since"]
        notes = [r.getMessage() for r in caplog.records if r.name == "ruvo"]
        assert notes == [f"trace {recording.host.trace_id} is past a quarter of its budget of {budget} record bytes: "
                         "values, then frames, are being left out; calls past the budget are counted, not recorded "
                         '(its "ruvo" record says how many)']

    def test_next_trace_starts_whole_again(self):
        host = HostProfiler({"trace_budget": 50 * pair_size(), "builtin_plugins": False})
        _ruvo.register_profiler(host)
        try:
            for n in range(200):
                early(n)
            first = host.rust_profiler.build_trace()
            for n in range(5):
                late(n)
        finally:
            stop_profiling()
        first, second = decode(first), decode(host.rust_profiler.build_trace())
        assert first["frames_of_interest"][-1]["type"] == "ruvo"
        assert [r["arg"] for r in second["frames_of_interest"] if r.get("event") == "return"][:5] == list(range(5))
        assert all(r["type"] == "frame" for r in second["frames_of_interest"])

    def test_without_a_budget_nothing_is_left_out(self):
        recording = record(lambda: [early(n) for n in range(300)], config={"builtin_plugins": False})
        assert all(r["type"] == "frame" and r["arg"] != LEFT_OUT for r in recording.records)


class TestFailuresStayLocal:
    def test_allocation_failure_drops_one_event_and_recording_goes_on(self, caplog):
        # The next chunk the record store asks for "fails" as if memory had
        # run out: that event is dropped, the store is left as it was.
        try:
            failing = ctypes.c_int.in_dll(ctypes.CDLL(_ruvo.__file__), "ruvo_failing_store_allocations")
        except ValueError:
            pytest.skip("a test build's hook (-C cmake.define.RUVO_TESTING=ON)")

        def program_with_a_failure():
            failing.value = 1
            for n in range(3000):  # enough records to need new chunks
                early(n)

        with caplog.at_level(logging.WARNING, logger="ruvo"):
            recording = record(program_with_a_failure, config={"builtin_plugins": False})
        assert failing.value == 0
        warnings = [r for r in caplog.records if r.name == "ruvo"]
        assert len(warnings) == 1 and warnings[0].exc_info[0] is MemoryError
        returns = [r["arg"] for r in recording.frames("early") if r["event"] == "return"]
        calls = [r["locals"]["n"] for r in recording.frames("early") if r["event"] == "call"]
        # One event is missing: a call (its return then has no id) or a return.
        assert len(calls) + len(returns) == 2 * 3000 - 1
        assert returns[-1] == 2999 and calls[-1] == 2999
        assert "poisoned" not in caplog.text

    def test_serialiser_memory_error_drops_the_event_only(self, monkeypatch, caplog):
        import ruvo.serialize

        real = ruvo.serialize.dump_msgpack

        def out_of_memory_once(value):
            if value == 7:
                raise MemoryError
            return real(value)

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", out_of_memory_once)
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            recording = record(lambda: [early(n) for n in range(10)], config={"builtin_plugins": False})
        returns = [r["arg"] for r in recording.frames("early") if r["event"] == "return"]
        assert returns == [0, 1, 2, 3, 4, 5, 6, 8, 9]
        assert [r.exc_info[0] for r in caplog.records if r.name == "ruvo"] == [MemoryError]

    def test_repeated_failures_are_counted_after_the_first_few(self, monkeypatch, caplog):
        import ruvo.serialize

        def always_fails(value):
            raise RuntimeError("no serialiser today")

        monkeypatch.setattr(ruvo.serialize, "dump_msgpack", always_fails)
        with caplog.at_level(logging.WARNING, logger="ruvo"):
            recording = record(lambda: [early(n) for n in range(10)], config={"builtin_plugins": False})
        messages = [r.getMessage() for r in caplog.records if r.name == "ruvo"]
        # 22 events fail (10 pairs and the lambda's): three are logged, the
        # rest counted, and the count is logged once when the trace is built.
        assert sum(m.startswith("Unexpected exception in Rust.") for m in messages) == 3
        left_out, = recording.records
        unlogged = left_out["failures_unlogged"]
        assert unlogged >= 19  # and the test's own helpers, recorded too
        assert messages[-1] == (f"trace {recording.host.trace_id}: {unlogged} more failed events were not logged; "
                                "only the first 3 of each kind were")
        assert left_out["message"] == (f"{unlogged} failed events were counted but not logged "
                                       "(the first few of each kind were).")


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def worker(calls):
    for n in range(calls):
        early(n)


class TestCountedPastTheBudget:
    def tally(self, recording):
        (tally,) = [r for r in recording.records if r.get("subtype") == "tally"]
        return [dict(zip(tally["columns"], row)) for row in tally["functions"]]

    def test_recursion_counts_its_total_once(self):
        # fib(16) makes 3193 calls; all but the first few are past the budget.
        recording = record(fib, 16, config={"trace_budget": 2 * pair_size(), "builtin_plugins": False})
        (row,) = [row for row in self.tally(recording) if row["qualname"].endswith(".fib")]
        assert row["calls"] + row["calls_recorded"] == 3193
        # Nested calls of a running function add to its own time only: its
        # total is its outermost calls', as long as all the time it has.
        assert 0 < row["total"] <= row["own"] * 1.01

    def test_each_thread_counts_its_own_calls(self):
        import threading

        def program():
            threads = [threading.Thread(target=worker, args=(300,), name=f"w{i}") for i in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        recording = record(program, config={"trace_budget": 4 * pair_size(), "builtin_plugins": False,
                                            "threading": True})
        rows = {row["thread"]: row for row in self.tally(recording) if row["qualname"].endswith(".early")}
        assert sorted(rows) == ["w0", "w1"]
        assert all(row["calls"] + row["calls_recorded"] == 300 for row in rows.values())
        assert rows["w0"]["thread_native_id"] != rows["w1"]["thread_native_id"]

    def test_calibrated_biases_come_off_once(self):
        # A parent spinning 30 ms around 10 counted children of 0.3 ms each,
        # with a bias inside each child of 0.9 ms: the children's time goes
        # to (nearly: a busy machine may pause one) 0, not their 3 ms, and the
        # parent's own keeps its 30 ms; the bias of a call is taken off the
        # call, not off its caller as well.
        import time

        def child(n):
            end = time.perf_counter() + 0.0003
            while time.perf_counter() < end:
                pass

        def spin_parent():
            end = time.perf_counter() + 0.03
            while time.perf_counter() < end:
                pass
            for n in range(10):
                child(n)

        def program():
            early(0)
            spin_parent()

        recording = record(program, config={"trace_budget": 1, "builtin_plugins": False,
                                            "counted_bias_inside": 0.0009, "counted_bias": 0.0})
        rows = {row["qualname"].rsplit(".", 1)[-1]: row for row in self.tally(recording)}
        assert rows["child"]["calls"] == 10
        assert rows["child"]["total"] < 0.001 and rows["child"]["own"] < 0.001
        assert 0.029 < rows["spin_parent"]["own"] < 0.045
