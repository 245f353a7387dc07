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
from .config import db_target, default_db_path
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
        "auto" (the default here, as for ``ruvo run`` and ``pytest
        --ruvo``) is "monitoring" on 3.12+ unless other tools hold both its
        sys.monitoring ids at start(), and "profile" otherwise; ``backend``
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
        backend: str = "auto",
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
        # Set at stop(): threads the profile function still hooks let go at
        # their next event.
        self._stopped = bytearray(1)
        self.db_path = db_target(db_path) if db_path is not None else default_db_path()
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id = trace_id or new_trace_id()
        self.source = source
        self.rust_profiler: Any = None  # the native profiler, once started
        self._calibrated = False
        self._started = 0  # nested starts of this profiler (a decorated recursive function)
        self._outer = None  # the profile backend's profiler recording this thread at start()
        self._previous_thread_hook: Optional[Callable[..., Any]] = None

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
        self._stopped = bytearray(1)  # a new one: the last trace's threads stay let go
        self.config["stopped"] = self._stopped
        if self.use_repr:
            from . import serialize

            self._previous_values = serialize.configure(use_repr=True)
        if self.config.get("threading"):
            self._previous_thread_hook = _threading.getprofile()
        if self.backend == "monitoring":
            from . import _monitoring

            install_tool_id_yielding()
            _monitoring.register(self)
        else:
            # A profiler already recording this thread goes on recording
            # through this one's hook, and gets the thread back at stop().
            install_profile_chaining()
            self._outer = native_of_thread()
            _ruvo.register_profiler(self)
            _started_here.append(self)
        self._started = 1
        return self

    def stop(self) -> None:
        """Stop recording: the calling thread now, other recorded threads at
        their next call or return, and no new threads are hooked."""
        started, self._started = self._started, 0
        if started:
            self._stopped[0] = 1
        if self in _started_here:
            _started_here.remove(self)
        if self.backend == "monitoring":
            from . import _monitoring

            if self.rust_profiler is not None:
                _monitoring.stop(self.rust_profiler)
        else:
            self._unhook_thread()
            self._outer = None
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
        self._unhook_thread()

    def resume(self) -> None:
        """Record the calling thread again after :meth:`pause`."""
        if self.backend == "monitoring":
            from . import _monitoring

            _monitoring.resume(self._native())
            return
        # The method threads started under threading=True are hooked with.
        self._native().register_threading_profiler(None, None, None)

    def _unhook_thread(self) -> None:
        """Let go of the calling thread (profile backend): back to the
        profiler this one started inside while that one records, else to
        the program's own profile function if it chained one."""
        if self._outer is not None and any(p.rust_profiler is self._outer for p in _started_here):
            self._outer.register_threading_profiler(None, None, None)
            return
        program = program_of_thread()
        # The C no-op first, so that letting go makes no event.
        _ruvo.register_noop_profiler()
        real_setprofile(program)

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
        from .db.target import shown

        return f"<ruvo.Profiler {self.trace_id} source={self.source!r} db={shown(self.db_path)!r}>"


# --- the program's own profile function -----------------------------------
# The program's own profile function beside ruvo's profile backend.
#
# A thread has one profile slot, and ruvo's profile backend holds it while it
# records. A program that sets a profile function of its own there
# (``sys.setprofile(f)``, the standard ``profile`` module) would end the
# recording for the rest of the thread, and the enclosing calls would never
# return. While ruvo records, ``sys.setprofile`` and ``sys.getprofile`` are
# therefore replaced by versions that keep ruvo's hook and chain the program's
# function behind it: the program's function gets the events it would get
# without ruvo, ``getprofile()`` gives it back, and ruvo records on. Once
# replaced they stay so for the process, acting as the interpreter's own in
# threads ruvo does not hook.
#
# ruvo's own code sets the slot with `real_setprofile`. Kept in this module:
# the recorder passes over its host package's files by name.

# The interpreter's own, also when this module is imported again after it
# replaced them.
real_setprofile = getattr(sys.setprofile, "__wrapped__", sys.setprofile)
real_getprofile = getattr(sys.getprofile, "__wrapped__", sys.getprofile)


def is_native_profiler(hook: object) -> bool:
    kind = type(hook)
    return kind.__name__ == "RuvoProfiler" and kind.__module__ == "ruvo._ruvo"


class _Chain:
    """The slot's content while the program has a profile function of its
    own: ruvo's native profiler first (None in a thread ruvo does not hook),
    then the program's function."""

    __slots__ = ("native", "program", "standing_in")
    native: Any
    program: Callable[..., Any]
    standing_in: Any

    def __call__(self, frame, event, arg):
        if self.native is not None:
            self.native(frame, event, arg)
        code = frame.f_code
        if code in _STANDING_IN:
            # The program called sys.setprofile or sys.getprofile: its
            # function sees that as the call of a builtin, as it would
            # without ruvo, and nothing of what runs inside. As for a
            # builtin, a return comes only after a call this function saw:
            # not that of the setprofile that put it in place.
            if event == "call":
                self.standing_in = frame
                return self.program(frame.f_back, "c_call", _STANDING_IN[code])
            if event == "return" and self.standing_in is frame:
                self.standing_in = None
                return self.program(frame.f_back, "c_return", _STANDING_IN[code])
            return None
        return self.program(frame, event, arg)


def _chain(native: Any, program: Callable) -> _Chain:
    # Made without a Python-level __init__, whose frame the program's
    # function would see.
    chain = _Chain.__new__(_Chain)
    chain.native, chain.program, chain.standing_in = native, program, None
    return chain


def _setprofile(function: Optional[Callable]) -> None:
    current = real_getprofile()
    if isinstance(current, _Chain):
        native = current.native
    elif is_native_profiler(current):
        native = current
    else:
        native = None
    if function is None or function is native or is_native_profiler(function):
        # The program drops its function, or puts back what getprofile()
        # gave it before it set one: ruvo's hook alone again, if any.
        if native is not None:
            native.register_threading_profiler(None, None, None)
        else:
            real_setprofile(function)
    else:
        real_setprofile(_chain(native, function))


def _getprofile() -> Optional[Callable]:
    current = real_getprofile()
    return current.program if isinstance(current, _Chain) else current


# Named and documented as the interpreter's, which they stand in for
# (``__wrapped__`` finds those).
functools.update_wrapper(_setprofile, real_setprofile)
functools.update_wrapper(_getprofile, real_getprofile)
_STANDING_IN = {_setprofile.__code__: real_setprofile, _getprofile.__code__: real_getprofile}


def install_profile_chaining() -> None:
    """Makes ``sys.setprofile``/``sys.getprofile`` chain beside ruvo's hook;
    in threads ruvo does not hook they act as the interpreter's own."""
    sys.setprofile, sys.getprofile = _setprofile, _getprofile


def program_of_thread() -> Optional[Callable]:
    """The program's own profile function chained in the calling thread, or None."""
    current = real_getprofile()
    return current.program if isinstance(current, _Chain) else None


def native_of_thread() -> Any:
    """ruvo's native profiler in the calling thread's slot, or None."""
    current = real_getprofile()
    if isinstance(current, _Chain):
        return current.native
    return current if is_native_profiler(current) else None


# --- a program that claims ruvo's sys.monitoring tool id ---------------------
# ruvo's monitoring backend holds tool id 4 (or 3). A program that claims the
# id ruvo holds would get a ValueError; while ruvo records, the claim first
# moves ruvo to the other id, and the program gets the one it asked for.

def install_tool_id_yielding() -> None:
    monitoring = sys.monitoring
    if getattr(monitoring.use_tool_id, "__wrapped__", None) is not None:
        return
    real_use_tool_id = monitoring.use_tool_id

    def use_tool_id(tool_id: int, name: str) -> None:
        from . import _monitoring

        if _monitoring.tool_id() == tool_id and _monitoring.give_up_tool_id(tool_id) is None:
            import logging

            logging.getLogger("ruvo").warning(
                "ruvo: the program claimed sys.monitoring tool id %s and no other was free: recording stopped",
                tool_id)
        return real_use_tool_id(tool_id, name)

    monitoring.use_tool_id = functools.update_wrapper(use_tool_id, real_use_tool_id)


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
# Enough calls that the trace is big enough to carry its tally (the recorder
# writes it from 256 KiB), no more: every process pays for this once.
_CALLS = 800
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
