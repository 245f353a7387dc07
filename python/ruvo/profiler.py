"""The profiler object users create, and what the native module reads from it.

The native module reads ``config``, ``db_path``, ``one_trace_per_test``,
``trace_id`` and ``source`` once, when the profiler starts, and stores the
native profiler it builds as ``rust_profiler``.
"""

from __future__ import annotations

import functools
import sys
import threading as _threading
import time
from pathlib import Path
from typing import Any, Callable, Iterable, Optional

from . import _ruvo
from .config import default_db_path
from .utils import new_trace_id


# Measured on real suites, 95 to 99% of tests make traces well under this,
# and those that do not are the runaway ones: whole traces for the first,
# a database of a few hundred MB at most for the suite, and far below
# SQLite's 1 GB value limit.
DEFAULT_TRACE_BUDGET = 4 * 2**20

# How events reach the native profiler: the interpreter's profile function, or
# sys.monitoring (3.12+), which lets code that is never recorded cost nothing.
# "auto" takes sys.monitoring where there is one and its tool id is free.
BACKENDS = ("profile", "monitoring", "auto")


# Profilers of the profile backend started and not yet stopped: an inner one
# gives the thread back to its outer one at stop() only while that one records.
_started_here: list = []


def _is_native_profiler(hook: object) -> bool:
    kind = type(hook)
    return kind.__name__ == "RuvoProfiler" and kind.__module__ == "ruvo._ruvo"


def check_backend(backend: str) -> str:
    """`backend` if this interpreter can run it, with "auto" resolved as far
    as the interpreter's version; ValueError with a one-line reason if not."""
    if backend not in BACKENDS:
        raise ValueError(f"unknown backend {backend!r} (choose from {', '.join(BACKENDS)})")
    if backend == "auto":
        return "monitoring" if sys.version_info >= (3, 12) else "profile"
    if backend == "monitoring" and sys.version_info < (3, 12):
        raise ValueError("the monitoring backend needs Python 3.12 or later")
    return backend


class Profiler:
    """Records every call and return of your code while it is started.

    include, ignore: substrings of file names to always record / to skip.
    threading: also record threads started (with ``threading``) after start().
    lightweight_repr: record values cheaply (type names only, one level).
    use_repr: record objects by their repr() instead of their attributes.
        That runs the program's own code (a __repr__ may fill caches, drain
        iterators or take locks), so it is off by default; it holds for the
        whole process while this profiler is started.
    one_trace_per_test: cut a new trace at each test start marker and save it
        at each test end marker (used by ``pytest --ruvo``).
    trace_budget: the most record bytes one trace may hold (None: no limit).
        Past half of it, values are kept only for the first calls of each
        function; at it, no new frames are recorded. What was left out is
        counted in a record of type "ruvo" in the trace.
    plugins: extra plugin definitions (see ``ruvo.plugins``).
    builtin_plugins: whether ruvo's own plugins (tests, HTTP, logging) run.
    backend: "profile" (the interpreter's profile function) or "monitoring"
        (sys.monitoring, Python 3.12+: code that is never recorded, such as
        libraries, then runs at full speed). Both give the same records.
        "auto" (what ``ruvo run`` and ``pytest --ruvo`` use unless told
        otherwise) is "monitoring" on 3.12+ unless another tool holds its
        sys.monitoring id at start(), and "profile" otherwise; ``backend``
        then says which one runs, and ``backend_note`` why it fell back.
    """

    def __init__(
        self,
        *,
        db_path: Optional[str | Path] = None,
        include: Iterable[str] = (),
        ignore: Iterable[str] = (),
        threading: bool = False,
        lightweight_repr: bool = False,
        one_trace_per_test: bool = False,
        source: str = "python",
        plugins: Optional[Iterable[dict]] = None,
        builtin_plugins: bool = True,
        sqlite_busy_timeout: int = 60,
        trace_id: Optional[str] = None,
        trace_budget: Optional[int] = DEFAULT_TRACE_BUDGET,
        backend: str = "profile",
        use_repr: bool = False,
    ) -> None:
        self.use_repr = bool(use_repr)
        self._previous_values: Optional[dict] = None
        self.backend = check_backend(backend)
        self._may_fall_back = backend == "auto"
        self.backend_note: Optional[str] = None
        self.config: dict[str, Any] = {
            "filters": {"include_frames": list(include), "ignore_frames": list(ignore)},
            "threading": bool(threading),
            "lightweight_repr": bool(lightweight_repr),
            "sqlite_busy_timeout": sqlite_busy_timeout,
            "plugins": list(plugins or ()),
            "builtin_plugins": bool(builtin_plugins),
            "trace_budget": int(trace_budget) if trace_budget else None,
        }
        self.db_path = Path(db_path) if db_path is not None else default_db_path()
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = trace_id or new_trace_id()
        self.source = source
        self.rust_profiler = None
        self._calibrated = False
        self._started = 0  # nested starts of this profiler (a decorated recursive function)
        self._outer = None  # the profile backend's profiler recording this thread at start()
        self._previous_thread_hook = None

    # The native module only asks that the profiler be callable; calling it
    # profiles one call of a function, which also makes it a decorator.
    def __call__(self, function: Callable) -> Callable:
        @functools.wraps(function)
        def profiled(*args, **kwargs):
            # A recursive call is part of the outermost call's trace.
            if self._started:
                return function(*args, **kwargs)
            with self:
                return function(*args, **kwargs)

        return profiled

    def start(self) -> "Profiler":
        """Start recording the calling thread (and, with threading, new threads)."""
        if self._started:
            raise RuntimeError("this profiler is already started")
        if self.backend == "monitoring" and self._may_fall_back:
            from . import _monitoring

            holders = [sys.monitoring.get_tool(i) for i in _monitoring.TOOL_IDS]
            if _monitoring.tool_id() is None and None not in holders:
                self.backend = "profile"
                taken = ", ".join(f"{i} by {h!r}" for i, h in zip(_monitoring.TOOL_IDS, holders))
                self.backend_note = (f"sys.monitoring tool ids {taken} are in use: "
                                     "recording through the profile function instead")
        if self.config.get("trace_budget") and not self._calibrated:
            # Once per process and backend: what the tally's views add to
            # the cost the recorder measures itself.
            self._calibrated = True
            bias = recorder_bias(self.backend)
            if bias is not None:
                for key, value in zip(("recorder_bias", "recorder_bias_inside", "counted_bias",
                                       "counted_bias_inside"), bias):
                    self.config[key] = value
        if self.use_repr:
            from . import serialize

            self._previous_values = serialize.configure(use_repr=True)
        if self.config.get("threading"):
            self._previous_thread_hook = _threading.getprofile()
        if self.backend == "monitoring":
            from . import _monitoring

            _monitoring.register(self)
        else:
            # A profiler already recording this thread goes on recording
            # through this one's hook, and gets the thread back at stop().
            current = sys.getprofile()
            self._outer = current if _is_native_profiler(current) else None
            _ruvo.register_profiler(self)
            _started_here.append(self)
        self._started = 1
        return self

    def stop(self) -> None:
        """Stop recording the calling thread, and stop hooking new threads.

        With the profile backend, threads already hooked keep reporting until
        they end; the monitoring backend stops them all.
        """
        started, self._started = self._started, 0
        if self in _started_here:
            _started_here.remove(self)
        if self.backend == "monitoring":
            from . import _monitoring

            if self.rust_profiler is not None:
                _monitoring.stop(self.rust_profiler)
        elif self._outer is not None and any(p.rust_profiler is self._outer for p in _started_here):
            self._outer.register_threading_profiler(None, None, None)
            self._outer = None
        else:
            self._outer = None
            _ruvo.register_noop_profiler()
            sys.setprofile(None)
        if self.config.get("threading"):
            _threading.setprofile(self._previous_thread_hook if started else None)
            self._previous_thread_hook = None
        if self._previous_values is not None:
            from . import serialize

            serialize.configure(use_repr=bool(self._previous_values["use_repr"]))
            self._previous_values = None

    def pause(self) -> None:
        """Stop recording the calling thread for a while: until :meth:`resume`.

        Cheaper than stop() and start(): the trace and its state are kept.
        Calls that return while paused end where the trace says so.
        """
        if self.backend == "monitoring":
            from . import _monitoring

            _monitoring.pause(self._native())
            return
        if self._outer is not None:
            self._outer.register_threading_profiler(None, None, None)
        else:
            sys.setprofile(None)

    def resume(self) -> None:
        """Record the calling thread again after :meth:`pause`."""
        if self.backend == "monitoring":
            from . import _monitoring

            _monitoring.resume(self._native())
            return
        # The method threads started under threading=True are hooked with.
        self._native().register_threading_profiler(None, None, None)

    def build_trace(self) -> bytes:
        """The trace document of everything recorded since the last build or save."""
        return self._native().build_trace()

    def save(self) -> str:
        """Save everything recorded since the last build or save; returns the trace id."""
        self._native().save_request_in_db()
        return self.trace_id

    def _native(self):
        if self.rust_profiler is None:
            raise RuntimeError("this profiler has not been started")
        return self.rust_profiler

    def __enter__(self) -> "Profiler":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
        if not self.one_trace_per_test:
            self.save()

    def __repr__(self) -> str:
        return f"<ruvo.Profiler {self.trace_id} source={self.source!r} db={str(self.db_path)!r}>"


# --- calibration ------------------------------------------------------------
# What recording a call costs outside the recorder's own clock.
#
# The recorder times itself on every recorded event, but part of what a
# recorded call costs the program happens where its clock cannot see: the
# interpreter calling the profile function, the frame object made for it and,
# since the recorder holds that frame until the call returns, the frame's
# locals moved out of the interpreter's stack when it ends. That part lands in
# the caller's time. It is measured here once per process and backend, as the
# standard library's profile module calibrates its bias: a loop of trivial
# calls timed plainly and under a throwaway profiler, whose `ruvo top`
# arithmetic (with the measured cost taken out) is compared with the plain
# time; once with the calls recorded, once with them counted past a budget.
# The results go to the profiler as config "recorder_bias" and
# "recorder_bias_inside" (seconds per recorded call in the caller's time and
# in the call's own; carried in the trace's tally for the views) and
# "counted_bias" and "counted_bias_inside" (the same per counted call, taken
# out by the recorder as it counts).
#
# Kept in this module: the recorder passes over its host package's files by
# name, and a module of its own would be recorded.

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
