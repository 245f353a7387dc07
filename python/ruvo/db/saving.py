"""Saving a trace document: directly, or queued for a writer thread."""

from __future__ import annotations

import os
import threading
import time

from ..summary import Summary, summarize
from . import batching
from .errors import SaveInterrupted, TraceNotSaved
from .spill import log_not_saved, spill_counted, spill_file, tally
from .store import DEFAULT_TIMEOUT, LATER, Row, store_for
from .target import db_target


def save_trace_in_sqlite(
    db_path: str | os.PathLike, trace_id: str, *, timeout: float, msgpack: bytes
) -> Summary | None:
    """Store one trace document; raise :class:`TraceNotSaved` if it could not be.

    ``timeout`` (seconds) bounds the wait for other writers.  Returns the
    document's summary (None when it does not decode), as stored.  Ctrl-C
    while it waits writes the document beside the database and raises
    :class:`SaveInterrupted`.

    While :func:`start_batching` is on, the document is queued for a writer
    thread instead and this returns at once; a failure then spills the
    document all the same, and :func:`save_counts` tells.
    """
    document = bytes(msgpack)
    path = db_target(db_path)
    summary = summarize(document)
    timeout = DEFAULT_TIMEOUT if timeout is None else float(timeout)
    row = Row(trace_id, time.time(), summary, document)
    _outcomes.last_trace_id = trace_id
    writer = batching.writer_if_batching(path)
    if writer is not None:
        writer.put(row, timeout)
        return summary
    try:
        store_for(path).write([row], timeout)
    except KeyboardInterrupt:
        _outcomes.failed = getattr(_outcomes, "failed", 0) + 1
        spill_path, _ = spill_file(path, trace_id, document)
        tally.add(spilled=spill_path, lost=0 if spill_path else 1)
        raise SaveInterrupted(trace_id, spill_path) from None
    except Exception as error:
        _outcomes.failed = getattr(_outcomes, "failed", 0) + 1
        spill_counted(path, trace_id, document, error)
    _outcomes.saved = getattr(_outcomes, "saved", 0) + 1
    tally.add(saved=1)
    return summary


def queue_trace(db_path: str | os.PathLike, trace_id: str, document: bytes, *,
                timeout: float = DEFAULT_TIMEOUT, describe: str | None = None) -> None:
    """Hand a document to the database's writer thread and return at once,
    batching on or not: for hosts that must not wait for the database (a
    request's thread).  It is stored, or spilled, within one timeout; what is
    still queued at exit is stored (or spilled) then.  A document that could
    not be stored is logged on the "ruvo" logger as ``describe``."""
    path = db_target(db_path)
    if not batching.exiting:
        try:
            writer = batching.writer_for(path)
        except RuntimeError:
            pass  # the interpreter is shutting down: 3.12+ starts no more threads
        else:
            writer.put(Row(trace_id, time.time(), LATER, bytes(document), describe), timeout)
            return
    # At exit, once the writers are flushed or can no longer start, nothing
    # is left to wait for: the save is made here.
    try:
        save_trace_in_sqlite(path, trace_id, timeout=timeout, msgpack=document)
    except TraceNotSaved:
        log_not_saved(describe)


# Saves are often made by the native profiler inside a call of the user's
# (pytest's end-of-test marker), where no exception reaches the caller; the
# calling thread can still learn how they went.
_outcomes = threading.local()


def saves_on_this_thread() -> tuple[int, int]:
    """How many documents this thread has saved in a database so far, and
    how many it could not save there (spilled to a file, or lost).  Saves
    queued for the writer thread are not counted here: see :func:`save_counts`."""
    return getattr(_outcomes, "saved", 0), getattr(_outcomes, "failed", 0)


def take_last_trace_id() -> str | None:
    """The trace id of the document this thread saved or queued last, if any
    since the previous call."""
    trace_id = getattr(_outcomes, "last_trace_id", None)
    _outcomes.last_trace_id = None
    return trace_id
