"""Trace documents in SQLite: saving them, and reading them back.

The native module calls :func:`save_trace_in_sqlite` with each finished trace
document (a MessagePack map; see below).  Every document is kept, in its own
row: one trace id can have several documents (a long run saved in parts), and
none ever replaces another.  Summary columns (:mod:`ruvo.summary`), computed
when saving, let a listing skip decoding the blobs.

A trace is never lost silently: when the database cannot be written, the
document goes to a file beside it, ``<trace_id>-<unix ms>.msgpack``, and
:class:`TraceNotSaved` says where.

Document keys: ``command_line_args``, ``current_commit_sha``, ``frames``
(native thread id -> records of threads other than the main one),
``frames_of_interest`` (the main thread's records), ``main_thread_id``,
``meta`` (``version``, ``source``, ``use_frame_boundaries``), ``timestamp``
(when the profiler started) and ``trace_id``.
"""

from __future__ import annotations

from ..config import default_db_path
from .batching import flush, start_batching, stop_batching
from .errors import (
    DatabaseUnusable,
    SaveInterrupted,
    TraceDamaged,
    TraceNotFound,
    TraceNotSaved,
    TraceRow,
    TraceUnreadable,
)
from .reading import (
    latest_trace_id,
    latest_trace_id_of_test,
    left_out_message,
    list_traces,
    load_documents,
    load_trace,
    open_documents,
    stored_trace_ids,
    trace_size,
)
from .saving import queue_trace, save_trace_in_sqlite, saves_on_this_thread, take_last_trace_id
from .schema import APPLICATION_ID, SCHEMA_VERSION
from .spill import Imported, SaveCounts, import_spilled, save_counts, spilled_files
from .runs import DEFAULT_MAX_BYTES, begin_run, end_run, finish_run, prune, set_max_bytes
from .reading import RunRow, list_runs
from .store import store_for

__all__ = [
    "APPLICATION_ID",
    "DEFAULT_MAX_BYTES",
    "RunRow",
    "begin_run",
    "end_run",
    "finish_run",
    "list_runs",
    "prune",
    "set_max_bytes",
    "SCHEMA_VERSION",
    "DatabaseUnusable",
    "Imported",
    "SaveCounts",
    "SaveInterrupted",
    "TraceDamaged",
    "TraceNotSaved",
    "TraceNotFound",
    "TraceUnreadable",
    "TraceRow",
    "default_db_path",
    "flush",
    "import_spilled",
    "latest_trace_id",
    "latest_trace_id_of_test",
    "left_out_message",
    "list_traces",
    "load_documents",
    "load_trace",
    "open_documents",
    "queue_trace",
    "save_counts",
    "save_trace_in_sqlite",
    "saves_on_this_thread",
    "spilled_files",
    "start_batching",
    "stop_batching",
    "store_for",
    "stored_trace_ids",
    "take_last_trace_id",
    "trace_size",
]
