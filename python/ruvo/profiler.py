"""The profiler object users create, and what the native module reads from it.

The native module reads ``config``, ``db_path``, ``one_trace_per_test``,
``trace_id`` and ``source`` once, when the profiler starts, and stores the
native profiler it builds as ``rust_profiler``.
"""

from __future__ import annotations

import functools
import sys
import threading as _threading
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

    # The native module only asks that the profiler be callable; calling it
    # profiles one call of a function, which also makes it a decorator.
    def __call__(self, function: Callable) -> Callable:
        @functools.wraps(function)
        def profiled(*args, **kwargs):
            with self:
                return function(*args, **kwargs)

        return profiled

    def start(self) -> "Profiler":
        """Start recording the calling thread (and, with threading, new threads)."""
        if self.backend == "monitoring" and self._may_fall_back:
            from . import _monitoring

            holder = sys.monitoring.get_tool(_monitoring.TOOL_ID)
            if holder is not None:
                self.backend = "profile"
                self.backend_note = (f"sys.monitoring tool id {_monitoring.TOOL_ID} is in use by {holder!r}: "
                                     "recording through the profile function instead")
        if self.config.get("trace_budget") and not self._calibrated:
            # Once per process and backend: what the tally's views add to
            # the cost the recorder measures itself.
            from .calibrate import recorder_bias

            self._calibrated = True
            bias = recorder_bias(self.backend)
            if bias is not None:
                for key, value in zip(("recorder_bias", "recorder_bias_inside", "counted_bias",
                                       "counted_bias_inside"), bias):
                    self.config[key] = value
        if self.use_repr:
            from . import serialize

            self._previous_values = serialize.configure(use_repr=True)
        if self.backend == "monitoring":
            from . import _monitoring

            _monitoring.register(self)
        else:
            _ruvo.register_profiler(self)
        return self

    def stop(self) -> None:
        """Stop recording the calling thread, and stop hooking new threads.

        With the profile backend, threads already hooked keep reporting until
        they end; the monitoring backend stops them all.
        """
        if self.backend == "monitoring":
            from . import _monitoring

            _monitoring.stop()
        else:
            _ruvo.register_noop_profiler()
            sys.setprofile(None)
        if self.config.get("threading"):
            _threading.setprofile(None)
        if self._previous_values is not None:
            from . import serialize

            serialize.configure(use_repr=bool(self._previous_values["use_repr"]))
            self._previous_values = None

    def pause(self) -> None:
        """Stop recording the calling thread for a while: until :meth:`resume`.

        Cheaper than stop() and start(): the trace and its state are kept.
        Calls that return while paused end where the trace says so. With
        the monitoring backend this does nothing: code it does not record
        costs nothing there, paused or not.
        """
        if self.backend == "monitoring":
            return
        sys.setprofile(None)

    def resume(self) -> None:
        """Record the calling thread again after :meth:`pause`."""
        if self.backend == "monitoring":
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
