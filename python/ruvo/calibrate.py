"""What recording a call costs outside the recorder's own clock.

The recorder times itself on every recorded event, but part of what a
recorded call costs the program happens where its clock cannot see: the
interpreter calling the profile function, the frame object made for it and,
since the recorder holds that frame until the call returns, the frame's
locals moved out of the interpreter's stack when it ends. That part lands in
the caller's time. It is measured here once per process and backend, as the
standard library's profile module calibrates its bias: a loop of trivial
calls timed plainly and under a throwaway profiler, whose `ruvo top`
arithmetic (with the measured cost taken out) is compared with the plain
time; once with the calls recorded, once with them counted past a budget.
The results go to the profiler as config "recorder_bias" and
"recorder_bias_inside" (seconds per recorded call in the caller's time and
in the call's own; carried in the trace's tally for the views) and
"counted_bias" and "counted_bias_inside" (the same per counted call, taken
out by the recorder as it counts).
"""

from __future__ import annotations

import time
from typing import Optional

__all__ = ["recorder_bias"]

Bias = tuple  # (seconds in the caller, seconds in the call) per call, recorded then counted: 4 floats

_CALLS = 2000
_SOURCE = """
def step(x):
    return x

def loop(n):
    for i in range(n):
        step(i)
"""
_measured: dict[str, Optional[Bias]] = {}


def recorder_bias(backend: str) -> Optional[Bias]:
    """Seconds per recorded call the recorder's clock does not see, for this
    backend, as (in the caller's time, in the call's own); None when it
    could not be measured."""
    if backend not in _measured:
        try:
            _measured[backend] = _measure(backend)
        except Exception:
            _measured[backend] = None
    return _measured[backend]


def _measure(backend: str) -> Optional[Bias]:
    # A file name of no library: the recorder records it like user code.
    namespace: dict = {"__name__": "ruvo_calibration"}
    exec(compile(_SOURCE, "ruvo-calibration.py", "exec"), namespace)
    loop = namespace["loop"]
    recorded = _split(backend, loop, 2**30)
    # A budget of one byte: every call after the first is counted, not recorded.
    counted = _split(backend, loop, 1)
    return recorded + counted if recorded and counted else None


def _split(backend: str, loop, budget: int) -> Optional[tuple]:
    import msgpack

    from .profiler import Profiler
    from .render.top import profile_records

    estimates = []
    for _ in range(3):
        start = time.perf_counter()
        loop(_CALLS)
        plain = time.perf_counter() - start
        profiler = Profiler(backend=backend, builtin_plugins=False, trace_budget=budget, db_path="unused")
        profiler._calibrated = True  # no calibration of the calibration
        profiler.start()
        try:
            loop(_CALLS)
        finally:
            profiler.stop()
        document = msgpack.unpackb(profiler.build_trace(), raw=False, strict_map_key=False)
        records = [(None, record) for record in document.get("frames_of_interest", ())]
        profile = profile_records(records)
        if profile.cost_per_call is None:
            return None
        own = {name: stats.own for (name, _), stats in profile.functions.items()}
        # `step` does next to nothing: what its own time holds is the
        # recorder's. The rest of the excess over the plain loop is in the
        # caller's.
        inside = own.get("ruvo_calibration.step", 0.0)
        outside = own.get("ruvo_calibration.loop", 0.0) - plain
        estimates.append((max(outside, 0.0) / _CALLS, inside / _CALLS))
    return min(estimates, key=sum)
