"""WSGI middleware that profiles each request into its own trace.

    from ruvo.middleware import RuvoMiddleware
    application = RuvoMiddleware(application)

Each request is recorded from the moment the application is called until its
response iterable is exhausted or closed, on the thread that calls it and on
whichever thread consumes a lazy response, and saved with the source
``"METHOD /path"``.  The trace ends with a
``request`` record holding the method, path, status and duration.  Saving
happens on ruvo's writer thread, never on the request's: a locked database
holds up no response.  A response that is never closed (a test client that
drops it) is saved when it is collected, or at exit, marked as not closed.

This module runs while the profiler records, which is why it is one of
ruvo's files that are never recorded.
"""

from __future__ import annotations

import logging
import sys
import time
import weakref
from pathlib import Path
from typing import Any, Callable, Iterable, Optional

# Imported now, so that its flush at exit runs after the saves of the
# responses still open then (atexit runs the later registrations first).
from . import db
from .config import default_db_path
from .profiler import DEFAULT_TRACE_BUDGET, Profiler

__all__ = ["RuvoMiddleware"]

logger = logging.getLogger("ruvo")


def _request_finished(method, path, status, duration_ms, closed):
    """Called at the end of each request, while the profiler still records:
    the plugin below turns the call into the trace's request record."""


def _request_fields(frame, event, arg, context) -> dict:
    local = frame.f_locals
    return {name: local[name] for name in ("method", "path", "status", "duration_ms", "closed")}


REQUEST_PLUGIN = {
    "co_names": ["_request_finished"],
    "path_fragment": "/ruvo/middleware.py",
    "call_type": "request",
    "return_type": "request",
    "events": ["call"],
    "process": _request_fields,
}


def _status_code(status: Optional[str]) -> Optional[int]:
    if status is None:
        return None
    head = str(status).split(" ", 1)[0]
    return int(head) if head.isdigit() else None


class _Request:
    """One profiled request: its profiler, and what the response said.

    The profiler is hooked only on a thread running the request's code: the
    handling thread while the application is called, then, for a lazy body,
    whichever thread runs each step of it (servers may hand the body to
    another thread).  No thread stays hooked once the request is finished.
    """

    def __init__(self, profiler: Profiler, method: str, path: str) -> None:
        self.profiler = profiler
        self.method = method
        self.path = path
        self.status: Optional[str] = None
        self.started = time.perf_counter()
        self.finished = False
        self.finalizer: Optional[weakref.finalize] = None

    def hold(self) -> Any:
        """Hook the calling thread to the request's profiler; returns the
        hook it had, for :meth:`release`."""
        previous = sys.getprofile()
        self.profiler.rust_profiler.register_threading_profiler(None, None, None)
        return previous

    def release(self, previous: Any = None, *, last: bool = False) -> None:
        """Unhook the calling thread, giving it back the hook it had before;
        ``last``: the request is done, and the profiler stops everywhere."""
        if last:
            self.profiler.stop()
        else:
            self.profiler._unhook_thread()
        if previous is None:
            return
        if hasattr(previous, "register_threading_profiler"):  # another profiler of ruvo's
            previous.register_threading_profiler(None, None, None)
        else:
            sys.setprofile(previous)

    def finish(self, previous: Any = None, *, closed: bool = True) -> None:
        """Add the request record, unhook the calling thread (which holds the
        profiler) and queue the trace for saving; never raises (but for
        KeyboardInterrupt-like exits), so the response is unaffected.
        ``closed`` False: the response was dropped, or still open at exit."""
        if self.finished:
            return
        self.finished = True
        if self.finalizer is not None:
            self.finalizer.detach()
        try:
            duration_ms = (time.perf_counter() - self.started) * 1000.0 if closed else None
            _request_finished(self.method, self.path, _status_code(self.status), duration_ms, closed)
        finally:
            self.release(previous, last=True)
            try:
                db.queue_trace(self.profiler.db_path, self.profiler.trace_id, self.profiler.build_trace(),
                               timeout=self.profiler.config["sqlite_busy_timeout"],
                               describe=f"the trace of {self.method} {self.path}")
            except Exception:
                logger.exception("ruvo: could not save the trace of %s %s", self.method, self.path)

    def abandon(self) -> None:
        """The response was collected, or the process exits, without its close()."""
        if not self.finished:
            self.finish(self.hold(), closed=False)


class _ProfiledResponse:
    """Wraps a lazy response iterable: the request stays profiled, step by
    step, until it is exhausted or closed."""

    def __init__(self, iterable: Iterable, request: _Request) -> None:
        self._iterable = iterable
        self._iterator = None
        self._request = request

    def __iter__(self):
        return self

    def __next__(self):
        request = self._request
        if request.finished:
            return next(self._next_iterator())
        previous = request.hold()
        try:
            return next(self._next_iterator())
        except BaseException:  # StopIteration included: the body is over
            request.finish(previous)
            raise
        finally:
            if not request.finished:
                request.release(previous)

    def _next_iterator(self):
        if self._iterator is None:
            self._iterator = iter(self._iterable)
        return self._iterator

    def __len__(self) -> int:
        # Servers use len() to set Content-Length for one-block bodies; an
        # iterable without one raises TypeError, as the server expects.
        return len(self._iterable)  # type: ignore[arg-type]

    def close(self) -> None:
        request = self._request
        previous = None if request.finished else request.hold()
        try:
            close = getattr(self._iterable, "close", None)
            if close is not None:
                close()
        finally:
            request.finish(previous)


class RuvoMiddleware:
    """Profile each request of a WSGI application into its own trace.

    db_path: the database (default: :func:`ruvo.config.default_db_path`).
    include, ignore, lightweight_repr, trace_budget: as for :class:`ruvo.Profiler`.
    The response (status, headers, body, exceptions) is passed through unchanged.
    """

    def __init__(
        self,
        app: Callable,
        *,
        db_path: Optional[str | Path] = None,
        include: Iterable[str] = (),
        ignore: Iterable[str] = (),
        lightweight_repr: bool = False,
        trace_budget: Optional[int] = DEFAULT_TRACE_BUDGET,
    ) -> None:
        self.app = app
        self.trace_budget = trace_budget
        self.db_path = db_path
        self.include = list(include)
        self.ignore = list(ignore)
        self.lightweight_repr = lightweight_repr
        # The process's requests are one run (made with its first trace),
        # unless a run is under way already (a test session's).
        db.begin_run(self.db_path if self.db_path is not None else default_db_path(), "middleware", replace=False)

    def __call__(self, environ: dict, start_response: Callable) -> Any:
        method = str(environ.get("REQUEST_METHOD", "GET"))
        path = str(environ.get("PATH_INFO", "")) or "/"
        try:
            profiler = Profiler(
                db_path=self.db_path,
                include=self.include,
                ignore=self.ignore,
                lightweight_repr=self.lightweight_repr,
                trace_budget=self.trace_budget,
                source=f"{method} {path}",
                plugins=[REQUEST_PLUGIN],
                # A lazy body may run on another thread: the request's
                # profiler is hooked and unhooked per thread, step by step.
                backend="profile",
            )
            request = _Request(profiler, method, path)
            profiler.start()
        except Exception:
            logger.exception("ruvo: could not profile %s %s", method, path)
            return self.app(environ, start_response)

        def recording_start_response(status, headers, exc_info=None):
            request.status = status
            if exc_info is None:
                return start_response(status, headers)
            return start_response(status, headers, exc_info)

        try:
            result = self.app(environ, recording_start_response)
        except BaseException:
            request.finish()
            raise
        if type(result) in (list, tuple):
            # The body is already made: nothing more of the app runs.
            request.finish()
            return result
        # The body may be consumed on another thread: this one lets go now.
        request.release()
        response = _ProfiledResponse(result, request)
        # Runs at exit too, while the response is still alive.
        request.finalizer = weakref.finalize(response, request.abandon)
        return response
