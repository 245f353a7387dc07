"""Batched saving: the writer threads that store queued documents."""

from __future__ import annotations

import atexit
import itertools
import os
import sqlite3
import threading
import time
import tracemalloc
from typing import Any

from .errors import TraceNotSaved
from .spill import SaveCounts, log_not_saved, remove_run_of, save_counts, spill_counted, tally, write_run_of
from .store import Row, store_for
from .target import DbTarget, db_target, is_server_url, spill_place

# pytest --ruvo saves a trace per test, thousands a minute: the test's thread
# only queues the document, and one writer thread per database stores what
# has queued up in one transaction.  Until a batch is stored, its documents
# are also in a queue file beside the database (not synced: a process that is
# killed, calls os._exit or crashes leaves them there, and `ruvo import`, or
# the next `pytest --ruvo`, stores them).


# Documents waiting past this many bytes hold up the thread saving more.
MAX_QUEUED_BYTES = 64 * 2**20
# A batch is written once it holds this much, or this long after its first
# trace, or at once when flushed or closed.
BATCH_BYTES = 4 * 2**20
BATCH_SECONDS = 0.25


def _one_document_at_fault(error: BaseException) -> bool:
    """Whether a failed batch may owe its failure to one of its documents,
    rather than to the database (locked, unreadable, not ruvo's)."""
    return isinstance(error, (sqlite3.DataError, sqlite3.IntegrityError, MemoryError, OverflowError)) or \
        "too big" in str(error)


class _QueueFile:
    """The documents of one batch, also written to a file beside the
    database until they are stored."""

    def __init__(self, path: DbTarget, number: int) -> None:
        self.target = path
        directory, name = spill_place(path)
        self.path = directory / f"{name}.{os.getpid()}-{number}.queue"
        self.fd: int | None = None
        self.failed = False

    def append(self, data: bytes) -> None:
        if self.failed:
            return
        try:
            if self.fd is None:
                self.path.parent.mkdir(parents=True, exist_ok=True)
                self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND, 0o644)
                write_run_of(self.path, self.target)
            view = memoryview(data)
            while view:
                view = view[os.write(self.fd, view):]
        except OSError:
            # The documents are still in memory: only the insurance is lost.
            self.failed = True
            self.remove()

    def remove(self) -> None:
        if self.fd is not None:
            remove_run_of(self.path)
            try:
                os.close(self.fd)
            except OSError:
                pass
            self.fd = None
            try:
                os.unlink(self.path)
            except OSError:
                pass


class _Writer:
    def __init__(self, path: DbTarget) -> None:
        self.store = store_for(path)
        self.path = path
        self._condition = threading.Condition()
        self._queue: list[tuple[Row, float]] = []
        self._queued_bytes = 0
        self._queue_files = itertools.count(1)
        self._queue_file = _QueueFile(path, next(self._queue_files))
        self._writing = False
        self._closing = False
        self._flushing = 0
        # Set when whoever waits for the writer cannot wait any longer
        # (Ctrl-C at the end of a session): locks are no longer waited for,
        # what cannot be stored at once is spilled.
        self.hurry = threading.Event()
        # Waited on instead of Thread.join: on 3.11 and 3.12 a join that Ctrl-C
        # interrupts marks the thread as ended while it still runs.
        self.finished = threading.Event()
        # Traces stored without their value index entries, which come once
        # the program is done (see _batches).
        self._unindexed: list[str] = []
        self._timeout = 0.0
        # The helper process that indexes batches as they are stored (once
        # started), and the traces handed to it.
        self._aside: Any = None
        self._aside_failed = not _index_aside
        self._handed_aside: list[str] = []
        self.thread = threading.Thread(target=self._run, name="ruvo-writer", daemon=True)
        self.thread.start()

    def put(self, row: Row, timeout: float) -> None:
        with self._condition:
            while self._queued_bytes > MAX_QUEUED_BYTES and not self.finished.is_set():
                self._condition.wait(0.5)
            self._queue_file.append(row.document)
            self._queue.append((row, timeout))
            self._queued_bytes += len(row.document)
            if len(self._queue) == 1 or self._queued_bytes >= BATCH_BYTES:
                self._condition.notify_all()

    def flush(self) -> None:
        """Return once everything queued so far is stored (or spilled)."""
        with self._condition:
            self._flushing += 1
            self._condition.notify_all()
            try:
                while (self._queue or self._writing) and not self.finished.is_set():
                    self._condition.wait(0.5)
            finally:
                self._flushing -= 1

    def close(self) -> None:
        with self._condition:
            self._closing = True
            self._condition.notify_all()
        self.finished.wait()

    def _run(self) -> None:
        try:
            self._batches()
        finally:
            if self._aside is not None:
                self._aside.stop()
            self.finished.set()

    def _batches(self) -> None:
        # Threads started while a profiler records with threading on are
        # hooked into it: this one has nothing to record.
        from ..profiler import real_setprofile

        real_setprofile(None)
        while True:
            with self._condition:
                while not self._queue and not self._closing:
                    self._condition.wait()
                # Let a batch gather: a wake-up per trace would hand the
                # interpreter lock back and forth with the program for
                # every test, and commit one row at a time.
                deadline = time.monotonic() + BATCH_SECONDS
                while (self._queued_bytes < BATCH_BYTES and not self._closing and not self._flushing
                       and (left := deadline - time.monotonic()) > 0):
                    self._condition.wait(left)
                # While the program traces its allocations (a test measuring
                # its memory with tracemalloc, which sees every thread's),
                # this thread's would count as the program's: it waits, as
                # long as the queue has room.
                while (tracemalloc.is_tracing() and not self._closing and not self._flushing
                       and self._queued_bytes < MAX_QUEUED_BYTES // 2):
                    self._condition.wait(0.05)
                if not self._queue:
                    self._index_what_was_stored()
                    return
                batch, self._queue, self._queued_bytes = self._queue, [], 0
                queue_file, self._queue_file = self._queue_file, _QueueFile(self.path, next(self._queue_files))
                self._writing = True
                self._condition.notify_all()
            try:
                self._write(batch)
                queue_file.remove()
            except Exception:
                tally.add(lost=len(batch))  # never reached, short of a bug: still counted
            finally:
                with self._condition:
                    self._writing = False
                    self._condition.notify_all()

    def _index_what_was_stored(self) -> None:
        """The value index entries of the traces this writer stored: built
        here, once the program has stopped handing traces over, not between
        its tests, where building them would take the interpreter from it.
        A writer that never gets here (a killed process) leaves its traces
        without entries, which `ruvo find` then searches in full."""
        index_later = getattr(self.store, "index_later", None)
        if index_later is None or self.hurry.is_set():
            return
        if self._aside is not None:
            removed = self._aside.finish(self.hurry)
            self._aside = None
            if removed is not None:
                from .runs import Removed
                from .store import _count_removed

                if any(removed):
                    _count_removed(Removed(*removed))
            else:
                self._unindexed[:0] = self._handed_aside  # not known to be indexed: indexed here
            self._handed_aside = []
        if not self._unindexed or self.hurry.is_set():
            return
        try:
            index_later(self._unindexed, self._timeout, self.hurry)
        except Exception:
            pass  # the traces are stored; only their entries are missing, as above
        self._unindexed = []

    def _stored(self, rows: list[Row]) -> None:
        if not hasattr(self.store, "index_later"):
            return
        trace_ids = [row.trace_id for row in rows]
        # A helper started only now, at the end (a short session's one
        # batch), would be waited for: its start and imports cost more than
        # indexing the batch here.
        if not self._aside_failed and (self._aside is not None or not self._closing):
            try:
                if self._aside is None:
                    from .index_aside import IndexAside

                    self._aside = IndexAside(self.path, self._timeout)
                handed = self._aside.send(trace_ids)
            except Exception:
                handed = False  # the traces are stored all the same
            if handed:
                self._handed_aside.extend(trace_ids)
                return
            # No helper (any more): what it was handed is indexed here at the end.
            if self._aside is not None:
                self._aside.stop()
            self._aside, self._aside_failed = None, True
            self._unindexed[:0], self._handed_aside = self._handed_aside, []
        self._unindexed.extend(trace_ids)

    def _write(self, batch: list[tuple[Row, float]]) -> None:
        rows = [row for row, _ in batch]
        self._timeout = max(self._timeout, *(timeout for _, timeout in batch))
        later: dict[str, Any] = {"index_values": False, "yield_to_tracing": True} \
            if hasattr(self.store, "index_later") else {}
        try:
            # One timeout for the whole batch: a locked database costs that
            # once, then everything in the batch is spilled at once.
            self.store.write(rows, max(timeout for _, timeout in batch), self.hurry, **later)
            tally.add(saved=len(batch))
            self._stored(rows)
            return
        except Exception as error:
            failed = [(row, error) for row in rows]
            if len(batch) > 1 and _one_document_at_fault(error):
                # One by one, so that one bad document does not take the others along.
                failed = []
                for index, (row, timeout) in enumerate(batch):
                    try:
                        self.store.write([row], timeout, self.hurry, **later)
                        tally.add(saved=1)
                        self._stored([row])
                    except Exception as alone:
                        failed.append((row, alone))
                        if not _one_document_at_fault(alone):
                            failed += [(later, alone) for later, _ in batch[index + 1:]]
                            break
        for row, reason in failed:
            # Counted, for whoever batches to report (save_counts).
            try:
                spill_counted(self.path, row.trace_id, row.document, reason)
            except TraceNotSaved:
                log_not_saved(row.describe)


_writers: dict[tuple[int, str], _Writer] = {}
_writers_lock = threading.Lock()
_batching = False
_index_aside = False
exiting = False


def start_batching(db_path: str | os.PathLike | None = None, *, index_aside: bool = False) -> None:
    """Queue saves for a writer thread from now on, until :func:`stop_batching`.

    Passing the database starts its writer now, before a profiler does: a
    thread started while one records with threading on would be hooked into it.
    With ``index_aside``, a helper process builds the stored traces' value
    index entries as they are stored, rather than the writer at the end
    (worth it where another core is free).
    """
    global _batching, _index_aside
    _batching = True
    _index_aside = index_aside
    if db_path is not None:
        writer_if_batching(db_target(db_path))


def writer_if_batching(path: DbTarget) -> _Writer | None:
    if not _batching:
        return None
    return writer_for(path)


def writer_for(path: DbTarget) -> _Writer:
    global _last_writer
    # The same database again (a save per test): no path to make absolute.
    last = _last_writer
    if last is not None and last[1] is path and last[0] == os.getpid() and not last[2].finished.is_set():
        return last[2]
    key = (os.getpid(), path if isinstance(path, str) and is_server_url(path) else os.path.abspath(path))
    with _writers_lock:
        writer = _writers.get(key)
        if writer is None or writer.finished.is_set():
            writer = _writers[key] = _Writer(path)
    _last_writer = (os.getpid(), path, writer)
    return writer


_last_writer: tuple[int, DbTarget, _Writer] | None = None


def flush() -> SaveCounts:
    """Wait until every queued document is stored (or spilled); returns
    :func:`save_counts`."""
    with _writers_lock:
        writers = [writer for (pid, _), writer in _writers.items() if pid == os.getpid()]
    for writer in writers:
        writer.flush()
    return save_counts()


def stop_batching() -> SaveCounts:
    """Store what is queued, end the writer threads and save directly again.
    Runs at exit too, so that a session cut short keeps its traces.

    Ctrl-C while it waits (a database locked by another process) stops the
    waiting: what is still queued is spilled beside the database, at once,
    and the KeyboardInterrupt is raised once that is done."""
    global _batching, _index_aside, _last_writer
    _batching = _index_aside = False
    with _writers_lock:
        writers = [writer for (pid, _), writer in _writers.items() if pid == os.getpid()]
        _writers.clear()
        _last_writer = None
    try:
        for writer in writers:
            writer.close()
    except KeyboardInterrupt:
        for writer in writers:
            writer.hurry.set()
        for writer in writers:
            # Spilling is quick and bounded; a second Ctrl-C must not lose
            # what the first one was about to keep.
            while not writer.finished.is_set():
                try:
                    writer.finished.wait()
                except KeyboardInterrupt:
                    pass
        raise
    return save_counts()


@atexit.register
def _flush_at_exit() -> None:
    # Registered on import, before any host that queues at exit (the
    # middleware's unclosed responses): atexit runs those first.
    global exiting
    try:
        stop_batching()
    except KeyboardInterrupt:
        pass
    exiting = True
