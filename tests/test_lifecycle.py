"""Starting, stopping, pausing and nesting: what a profiler records is what
it was asked to, under both backends, and every call has at most one return."""

import collections

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
