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

import atexit
import contextlib
import hashlib
import itertools
import os
import re
import sqlite3
import threading
import time
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

from . import decode
from .config import default_db_path
from .summary import Summary, summarize

__all__ = [
    "SCHEMA_VERSION",
    "DatabaseUnusable",
    "SaveInterrupted",
    "TraceDamaged",
    "TraceNotSaved",
    "TraceNotFound",
    "TraceUnreadable",
    "TraceRow",
    "save_trace_in_sqlite",
    "queue_trace",
    "saves_on_this_thread",
    "default_db_path",
    "list_traces",
    "latest_trace_id",
    "latest_trace_id_of_test",
    "load_documents",
    "load_trace",
]

SCHEMA_VERSION = 4
# Written into the database's header (PRAGMA application_id, "ruvo" in
# ASCII): how ruvo tells its own databases from other programs' SQLite files.
APPLICATION_ID = 0x7275766F

_SCHEMA = """
CREATE TABLE IF NOT EXISTS trace_documents (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    saved_at REAL NOT NULL,
    started_at REAL,
    source TEXT,
    test_nodeid TEXT,
    records INTEGER,
    threads INTEGER,
    size INTEGER NOT NULL,
    document BLOB NOT NULL,
    left_out TEXT,
    parts INTEGER NOT NULL DEFAULT 0,
    outcome TEXT,
    digest BLOB
);
CREATE INDEX IF NOT EXISTS trace_documents_by_trace ON trace_documents (trace_id, id);
CREATE INDEX IF NOT EXISTS trace_documents_by_time ON trace_documents (saved_at);
CREATE UNIQUE INDEX IF NOT EXISTS trace_documents_once ON trace_documents (trace_id, digest);
CREATE TABLE IF NOT EXISTS trace_document_parts (
    document_id INTEGER NOT NULL,
    part INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (document_id, part)
);
"""

# Columns added since the first schema, for databases made by older versions.
_ADDED_COLUMNS = {"left_out": "TEXT", "parts": "INTEGER NOT NULL DEFAULT 0", "outcome": "TEXT", "digest": "BLOB"}
# What a database may hold to be ruvo's, and what its documents table needs.
_OUR_NAMES = frozenset({"trace_documents", "trace_document_parts", "trace_documents_by_trace",
                        "trace_documents_by_time", "trace_documents_once"})
_REQUIRED_COLUMNS = frozenset({"id", "trace_id", "saved_at", "size", "document"})

# A document longer than this is stored in parts of this size: SQLite refuses
# values past its length limit (1 GB by default), and a trace whose budget a
# user raised that far must still be saved whole, in the database.
PART_BYTES = 256 * 2**20

_DEFAULT_TIMEOUT = 60.0
# How long the commands wait for a database another process holds locked.
READ_TIMEOUT = 5.0
# Waits for a lock go in steps this long, so that an interrupt or a writer
# told to hurry gives up within one step.
_WAIT_STEP = 0.1
_NO_SUMMARY = (None, None, None, None, None, None, None)


class TraceNotSaved(Exception):
    """The database could not be written.  ``spill_path`` is the file that
    holds the document instead, or None when even that could not be written."""

    def __init__(self, message: str, *, trace_id: str, db_path: Path, spill_path: Path | None) -> None:
        super().__init__(message)
        self.trace_id = trace_id
        self.db_path = db_path
        self.spill_path = spill_path


class SaveInterrupted(KeyboardInterrupt):
    """Ctrl-C while a save waited for the database: the document was written
    beside it first (``spill_path``; None if that failed too)."""

    def __init__(self, trace_id: str, spill_path: Path | None) -> None:
        super().__init__()
        self.trace_id = trace_id
        self.spill_path = spill_path


class TraceNotFound(LookupError):
    """No such trace, or no traces at all (missing or empty database)."""


class TraceUnreadable(ValueError):
    """A stored document is not a trace document that can be decoded."""


class TraceDamaged(TraceUnreadable):
    """A stored trace is not one ruvo can draw; the message, one line, says
    which trace and what is wrong with it."""


class DatabaseUnusable(ValueError):
    """The file is not a database ruvo may read or write: another program's
    SQLite file, one made by a newer ruvo, or one that cannot be read at all
    (not a database, damaged, locked).  Nothing in it was changed."""


@dataclass(frozen=True)
class TraceRow:
    """One stored document.  Summary fields are None when it did not decode."""

    row_id: int
    trace_id: str
    saved_at: float
    started_at: float | None
    source: str | None
    test_nodeid: str | None
    records: int | None
    threads: int | None
    size: int
    left_out: str | None = None  # what recording left out, when it did
    outcome: str | None = None  # a test's: passed, failed, skipped


# --- saving ------------------------------------------------------------------


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
    path = Path(db_path)
    summary = summarize(document)
    timeout = _DEFAULT_TIMEOUT if timeout is None else float(timeout)
    row = _Row(trace_id, time.time(), summary, document)
    _outcomes.last_trace_id = trace_id
    writer = _batching_writer(path)
    if writer is not None:
        writer.put(row, timeout)
        return summary
    try:
        _store_for(path).write([row], timeout)
    except KeyboardInterrupt:
        _outcomes.failed = getattr(_outcomes, "failed", 0) + 1
        spill_path, _ = _spill_file(path, trace_id, document)
        _tally.add(spilled=spill_path, lost=0 if spill_path else 1)
        raise SaveInterrupted(trace_id, spill_path) from None
    except Exception as error:
        _outcomes.failed = getattr(_outcomes, "failed", 0) + 1
        _spill_counted(path, trace_id, document, error)
    _outcomes.saved = getattr(_outcomes, "saved", 0) + 1
    _tally.add(saved=1)
    return summary


def queue_trace(db_path: str | os.PathLike, trace_id: str, document: bytes, *,
                timeout: float = _DEFAULT_TIMEOUT, describe: str | None = None) -> None:
    """Hand a document to the database's writer thread and return at once,
    batching on or not: for hosts that must not wait for the database (a
    request's thread).  It is stored, or spilled, within one timeout; what is
    still queued at exit is stored (or spilled) then.  A document that could
    not be stored is logged on the "ruvo" logger as ``describe``."""
    path = Path(db_path)
    if not _exiting:
        try:
            writer = _writer_for(path)
        except RuntimeError:
            pass  # the interpreter is shutting down: 3.12+ starts no more threads
        else:
            writer.put(_Row(trace_id, time.time(), _LATER, bytes(document), describe), timeout)
            return
    # At exit, once the writers are flushed or can no longer start, nothing
    # is left to wait for: the save is made here.
    try:
        save_trace_in_sqlite(path, trace_id, timeout=timeout, msgpack=document)
    except TraceNotSaved:
        _log_not_saved(describe)


def _log_not_saved(describe: str | None) -> None:
    if describe is not None:
        import logging

        logging.getLogger("ruvo").exception("ruvo: could not save %s", describe)


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


@dataclass(frozen=True)
class SaveCounts:
    """What became of the documents this process saved: stored in a
    database, spilled to these files, or lost (not even a file)."""

    saved: int = 0
    spilled: tuple[Path, ...] = ()
    lost: int = 0

    def since(self, earlier: "SaveCounts") -> "SaveCounts":
        return SaveCounts(self.saved - earlier.saved, self.spilled[len(earlier.spilled):], self.lost - earlier.lost)


class _Tally:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._counts = SaveCounts()

    def add(self, *, saved: int = 0, spilled: Path | None = None, lost: int = 0) -> None:
        with self._lock:
            counts = self._counts
            self._counts = SaveCounts(counts.saved + saved, counts.spilled + ((spilled,) if spilled else ()),
                                      counts.lost + lost)

    def get(self) -> SaveCounts:
        with self._lock:
            return self._counts


_tally = _Tally()


def save_counts() -> SaveCounts:
    """Every save of this process so far, direct or batched (queued
    documents count once written: :func:`flush` first)."""
    return _tally.get()


def _spill_counted(path: Path, trace_id: str, document: bytes, error: Exception) -> None:
    try:
        _spill(path, trace_id, document, error)
    except TraceNotSaved as not_saved:
        _tally.add(spilled=not_saved.spill_path, lost=0 if not_saved.spill_path else 1)
        raise


# A queued row's summary, still to be made (by the writer, off the caller's thread).
_LATER = object()


@dataclass(frozen=True)
class _Row:
    trace_id: str
    saved_at: float
    summary: Summary | None | object  # Summary, None (does not decode) or _LATER
    document: bytes
    describe: str | None = None  # logged when not stored, for hosts that are told no other way


def _is_busy(error: sqlite3.OperationalError) -> bool:
    text = str(error)
    return "locked" in text or "busy" in text


def _newer(path: Path, version: int) -> DatabaseUnusable:
    return DatabaseUnusable(f"{path} was written by a newer ruvo (schema version {version}; this one knows "
                            f"up to {SCHEMA_VERSION}): upgrade ruvo to use it")


def _identify(connection: sqlite3.Connection, path: Path) -> bool:
    """Whether the database is ruvo's (False: empty, ruvo may make it its
    own); raises :class:`DatabaseUnusable` for anyone else's or a newer
    ruvo's, before anything in it is changed."""
    (application,) = connection.execute("PRAGMA application_id").fetchone()
    (version,) = connection.execute("PRAGMA user_version").fetchone()
    if application == APPLICATION_ID:
        if version > SCHEMA_VERSION:
            raise _newer(path, version)
        return True
    if application != 0:
        raise DatabaseUnusable(f"{path} is not a ruvo trace database (another program's, application id "
                               f"{application:#x}); give ruvo a file of its own with --db")
    names = {name for (name,) in connection.execute("SELECT name FROM sqlite_master")}
    if not names and version == 0:
        return False
    foreign = sorted(name for name in names - _OUR_NAMES if not name.startswith("sqlite_"))
    if foreign:
        listed = ", ".join(foreign[:4]) + (", ..." if len(foreign) > 4 else "")
        raise DatabaseUnusable(f"{path} is not a ruvo trace database (it holds {listed}); "
                               "give ruvo a file of its own with --db")
    if "trace_documents" in names:
        columns = {row[1] for row in connection.execute("PRAGMA table_info(trace_documents)")}
        if not _REQUIRED_COLUMNS <= columns:
            raise DatabaseUnusable(f"{path} is not a ruvo trace database (its trace_documents table is "
                                   "another program's); give ruvo a file of its own with --db")
    if version > SCHEMA_VERSION:
        raise _newer(path, version)
    return True


class _Store:
    """This process's connection to one database.  Saves go through it
    one at a time: opening a connection, checking the journal mode and the
    schema for every trace cost more than storing a small one.  WAL with
    synchronous=NORMAL keeps every committed trace through a crash of the
    process (not of the machine), without a sync per commit."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.lock = threading.Lock()
        self._connection: sqlite3.Connection | None = None
        self._identity: tuple[int, int] | None = None

    def write(self, rows: list[_Row], timeout: float, hurry: threading.Event | None = None, *,
              exact: bool = False) -> list[bool]:
        """Insert the rows in one transaction, or none of them (raises);
        with ``exact``, whether each was new (False: the same document was
        stored before).
        Waits for a lock at most ``timeout`` seconds, and no longer once
        ``hurry`` is set."""
        deadline = time.monotonic() + timeout
        with self.lock:
            for attempt in itertools.count():
                began = time.monotonic()
                wait = 0.0 if hurry is not None and hurry.is_set() else min(max(deadline - began, 0.0), _WAIT_STEP)
                try:
                    connection = self._connect(wait)
                    connection.execute(f"PRAGMA busy_timeout = {int(wait * 1000)}")
                    return _insert(connection, rows, self.path, exact)
                except sqlite3.OperationalError as error:
                    self.close()
                    now = time.monotonic()
                    if not _is_busy(error) or now >= deadline or (hurry is not None and hurry.is_set()):
                        raise
                    # SQLite gives up at once, without waiting, when waiting could
                    # deadlock (e.g. two connections switching a new file to WAL).
                    if now - began < wait / 2:
                        time.sleep(min(0.005 * 2 ** min(attempt, 6), max(0.0, deadline - now)))
                except BaseException:
                    self.close()
                    raise
        raise AssertionError("unreachable")

    def _connect(self, timeout: float) -> sqlite3.Connection:
        # A database removed or replaced since the last save is opened
        # anew, so that no trace goes to a file nobody can find.
        try:
            stat = os.stat(self.path)
            identity = (stat.st_dev, stat.st_ino)
        except OSError:
            identity = None
        if self._connection is not None and identity == self._identity:
            return self._connection
        self.close()
        self.path.parent.mkdir(parents=True, exist_ok=True)
        connection = sqlite3.connect(self.path, timeout=timeout, isolation_level=None, check_same_thread=False)
        try:
            # Someone else's database is refused before its journal mode changes.
            _identify(connection, self.path)
            if connection.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                connection.execute("PRAGMA journal_mode=WAL")
            connection.execute("PRAGMA synchronous=NORMAL")
            stat = os.stat(self.path)
        except BaseException:
            connection.close()
            raise
        self._connection, self._identity = connection, (stat.st_dev, stat.st_ino)
        return connection

    def close(self) -> None:
        connection, self._connection, self._identity = self._connection, None, None
        if connection is not None:
            try:
                connection.close()
            except Exception:
                pass


# A few databases at a time: tests and tools may save to many.
_MAX_STORES = 4
_stores: "OrderedDict[tuple[int, str], _Store]" = OrderedDict()
_stores_lock = threading.Lock()


def _store_for(path: Path) -> _Store:
    key = (os.getpid(), os.path.abspath(path))
    with _stores_lock:
        store = _stores.get(key)
        if store is None:
            store = _stores[key] = _Store(path)
            while len(_stores) > _MAX_STORES:
                _, old = _stores.popitem(last=False)
                with old.lock:
                    old.close()
        else:
            _stores.move_to_end(key)
        return store


_INSERT_COLUMNS = (
    "INSERT INTO trace_documents (trace_id, saved_at, started_at, source, test_nodeid,"
    " records, threads, left_out, outcome, size, document, parts, digest) VALUES "
)
_ROW_VALUES = "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
# A document stored before (an import run twice, or two at once) is not
# stored again: one row per trace id and content.
_ONCE = " ON CONFLICT DO NOTHING"
# Rows per INSERT statement: each statement is one step of SQLite, and each
# step hands the interpreter lock to the program and waits to get it back.
# 76 rows of 13 values stay under the 999 variables older SQLite allows.
_ROWS_PER_STATEMENT = 76


def _insert(connection: sqlite3.Connection, rows: list[_Row], path: Path, exact: bool) -> list[bool]:
    connection.execute("BEGIN IMMEDIATE")
    try:
        _ensure_schema(connection, path)
        new: list[bool] = []
        whole: list[tuple] = []  # documents stored in one piece, not yet inserted

        def insert_whole() -> None:
            for start in range(0, len(whole), _ROWS_PER_STATEMENT):
                chunk = whole[start : start + _ROWS_PER_STATEMENT]
                cursor = connection.execute(_INSERT_COLUMNS + ", ".join([_ROW_VALUES] * len(chunk)) + _ONCE,
                                            [value for values in chunk for value in values])
                # Which of a chunk were there before is not told (only ``exact`` writes tell).
                new.extend([cursor.rowcount > 0] * len(chunk))
            whole.clear()

        for row in rows:
            summary = summarize(row.document) if row.summary is _LATER else row.summary
            assert summary is None or isinstance(summary, Summary)
            columns = _NO_SUMMARY if summary is None else (
                summary.started_at, summary.source, summary.test_nodeid, summary.records, summary.threads,
                summary.left_out, summary.outcome,
            )
            document = row.document
            parts = [document[i : i + PART_BYTES] for i in range(0, len(document), PART_BYTES)] or [b""]
            values = (row.trace_id, row.saved_at, *columns, len(document), parts[0], len(parts) - 1,
                      hashlib.sha256(document).digest())
            if len(parts) == 1 and not exact:
                whole.append(values)
                continue
            insert_whole()  # rows keep the order they were saved in
            cursor = connection.execute(_INSERT_COLUMNS + _ROW_VALUES + _ONCE, values)
            new.append(cursor.rowcount == 1)
            if cursor.rowcount != 1:
                continue
            for number, part in enumerate(parts[1:], start=1):
                connection.execute(
                    "INSERT INTO trace_document_parts (document_id, part, data) VALUES (?, ?, ?)",
                    (cursor.lastrowid, number, part),
                )
        insert_whole()
        connection.execute("COMMIT")
        return new
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise


def _ensure_schema(connection: sqlite3.Connection, path: Path) -> None:
    (version,) = connection.execute("PRAGMA user_version").fetchone()
    if version > SCHEMA_VERSION:
        raise _newer(path, version)
    if version < SCHEMA_VERSION:
        # Again under the write lock: the file may have changed hands since
        # the connection was opened.
        _identify(connection, path)
        # One by one: executescript() would commit the open transaction.
        present = {row[1] for row in connection.execute("PRAGMA table_info(trace_documents)")}
        for column, definition in _ADDED_COLUMNS.items():
            if present and column not in present:
                connection.execute(f"ALTER TABLE trace_documents ADD COLUMN {column} {definition}")
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                connection.execute(statement)
        connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


# --- batched saving ------------------------------------------------------------
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

    def __init__(self, path: Path, number: int) -> None:
        self.path = path.parent / f"{path.name}.{os.getpid()}-{number}.queue"
        self.fd: int | None = None
        self.failed = False

    def append(self, data: bytes) -> None:
        if self.failed:
            return
        try:
            if self.fd is None:
                self.path.parent.mkdir(parents=True, exist_ok=True)
                self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND, 0o644)
            view = memoryview(data)
            while view:
                view = view[os.write(self.fd, view):]
        except OSError:
            # The documents are still in memory: only the insurance is lost.
            self.failed = True
            self.remove()

    def remove(self) -> None:
        if self.fd is not None:
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
    def __init__(self, path: Path) -> None:
        self.store = _store_for(path)
        self.path = path
        self._condition = threading.Condition()
        self._queue: list[tuple[_Row, float]] = []
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
        self.thread = threading.Thread(target=self._run, name="ruvo-writer", daemon=True)
        self.thread.start()

    def put(self, row: _Row, timeout: float) -> None:
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
            self.finished.set()

    def _batches(self) -> None:
        # Threads started while a profiler records with threading on are
        # hooked into it: this one has nothing to record.
        from .profiler import real_setprofile

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
                if not self._queue:
                    return
                batch, self._queue, self._queued_bytes = self._queue, [], 0
                queue_file, self._queue_file = self._queue_file, _QueueFile(self.path, next(self._queue_files))
                self._writing = True
                self._condition.notify_all()
            try:
                self._write(batch)
                queue_file.remove()
            except Exception:
                _tally.add(lost=len(batch))  # never reached, short of a bug: still counted
            finally:
                with self._condition:
                    self._writing = False
                    self._condition.notify_all()

    def _write(self, batch: list[tuple[_Row, float]]) -> None:
        rows = [row for row, _ in batch]
        try:
            # One timeout for the whole batch: a locked database costs that
            # once, then everything in the batch is spilled at once.
            self.store.write(rows, max(timeout for _, timeout in batch), self.hurry)
            _tally.add(saved=len(batch))
            return
        except Exception as error:
            failed = [(row, error) for row in rows]
            if len(batch) > 1 and _one_document_at_fault(error):
                # One by one, so that one bad document does not take the others along.
                failed = []
                for index, (row, timeout) in enumerate(batch):
                    try:
                        self.store.write([row], timeout, self.hurry)
                        _tally.add(saved=1)
                    except Exception as alone:
                        failed.append((row, alone))
                        if not _one_document_at_fault(alone):
                            failed += [(later, alone) for later, _ in batch[index + 1:]]
                            break
        for row, reason in failed:
            # Counted, for whoever batches to report (save_counts).
            try:
                _spill_counted(self.path, row.trace_id, row.document, reason)
            except TraceNotSaved:
                _log_not_saved(row.describe)


_writers: dict[tuple[int, str], _Writer] = {}
_writers_lock = threading.Lock()
_batching = False
_exiting = False


def start_batching(db_path: str | os.PathLike | None = None) -> None:
    """Queue saves for a writer thread from now on, until :func:`stop_batching`.

    Passing the database starts its writer now, before a profiler does: a
    thread started while one records with threading on would be hooked into it.
    """
    global _batching
    _batching = True
    if db_path is not None:
        _batching_writer(Path(db_path))


def _batching_writer(path: Path) -> _Writer | None:
    if not _batching:
        return None
    return _writer_for(path)


def _writer_for(path: Path) -> _Writer:
    key = (os.getpid(), os.path.abspath(path))
    with _writers_lock:
        writer = _writers.get(key)
        if writer is None or writer.finished.is_set():
            writer = _writers[key] = _Writer(path)
        return writer


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
    global _batching
    _batching = False
    with _writers_lock:
        writers = [writer for (pid, _), writer in _writers.items() if pid == os.getpid()]
        _writers.clear()
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
    global _exiting
    try:
        stop_batching()
    except KeyboardInterrupt:
        pass
    _exiting = True


_UNSAFE_NAME_CHARS = re.compile(r"[^A-Za-z0-9_.-]")


def _spill_file(path: Path, trace_id: str, document: bytes) -> tuple[Path | None, Exception | None]:
    """Write the document beside the database, in a file named for the
    database and the trace: the file, or None and what stopped it."""
    directory = path.parent
    stem = _UNSAFE_NAME_CHARS.sub("_", trace_id)[:100] or "trace"
    millis = time.time_ns() // 1_000_000
    try:
        directory.mkdir(parents=True, exist_ok=True)
        return _write_new_file(directory, f"{path.name}.{stem}-{millis}", document), None
    except Exception as spill_error:
        return None, spill_error


def _spill(path: Path, trace_id: str, document: bytes, error: Exception) -> None:
    """Write the document beside the database, then raise TraceNotSaved."""
    spill_path, spill_error = _spill_file(path, trace_id, document)
    if spill_path is None:
        raise TraceNotSaved(
            f"trace {trace_id} could not be saved in {path} ({_reason(error)}), nor written beside it "
            f"({_reason(spill_error)})",
            trace_id=trace_id,
            db_path=path,
            spill_path=None,
        ) from error
    raise TraceNotSaved(
        f"trace {trace_id} could not be saved in {path} ({_reason(error)}); it was written to {spill_path}",
        trace_id=trace_id,
        db_path=path,
        spill_path=spill_path,
    ) from error


def _reason(error: BaseException | None) -> str:
    # A refusal says it all in its message; SQLite's and the system's errors keep their type.
    return str(error) if isinstance(error, DatabaseUnusable) else repr(error)


def _write_new_file(directory: Path, base: str, data: bytes) -> Path:
    """Write ``data`` to a file that did not exist before; never overwrite."""
    for attempt in range(1000):
        candidate = directory / (f"{base}.msgpack" if attempt == 0 else f"{base}-{attempt}.msgpack")
        try:
            fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except FileExistsError:
            continue
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
        except BaseException:
            try:
                os.unlink(candidate)
            except OSError:
                pass
            raise
        return candidate
    raise FileExistsError(f"no free file name for {base} in {directory}")


# --- spilled documents ---------------------------------------------------------


def _process_alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # someone else's process
    return True


def spilled_files(db_path: str | os.PathLike) -> list[Path]:
    """Documents spilled beside the database and not imported yet, oldest
    first: the files named for this database, and the queue files left by
    processes that ended before storing them (not those of live ones)."""
    path = Path(db_path)
    prefix = path.name + "."
    found = []
    try:
        entries = list(os.scandir(path.parent))
    except OSError:
        return []
    for entry in entries:
        name = entry.name
        if not name.startswith(prefix):
            continue
        if name.endswith(".queue"):
            pid = name[len(prefix):].split("-", 1)[0]
            if not pid.isdigit() or _process_alive(int(pid)):
                continue
        elif not name.endswith(".msgpack"):
            continue
        try:
            # Another command may be importing (and removing) them meanwhile.
            if not entry.is_file():
                continue
            found.append((entry.stat().st_mtime, name, Path(entry.path)))
        except OSError:
            continue
    return [file for _, _, file in sorted(found)]


@dataclass(frozen=True)
class Imported:
    trace_id: str
    summary: Summary | None
    new: bool  # False: the same document was stored already


def import_spilled(db_path: str | os.PathLike, file: str | os.PathLike, *, timeout: float = _DEFAULT_TIMEOUT,
                   keep: bool = False) -> list[Imported]:
    """Store the documents of a spilled (or queue) file in the database, each
    at most once, then remove the file (unless ``keep``).  Raises
    :class:`TraceUnreadable` for a file that is not made of trace documents
    (nothing is stored then), :class:`DatabaseUnusable` or the database's
    own error when it cannot be written (the file stays)."""
    from .checks import DocumentDamaged, check_encoded

    file = Path(file)
    data = file.read_bytes()
    documents = _documents_of(data, partial_tail=file.suffix == ".queue")
    if not documents:
        raise TraceUnreadable(f"{file} is not a trace document" + (" (it is empty)" if not data else ""))
    rows = []
    for document in documents:
        try:
            trace_id = check_encoded(document)
        except DocumentDamaged as error:
            raise TraceUnreadable(f"{file} is not a trace document: {error}") from None
        rows.append(_Row(trace_id, time.time(), summarize(document), document))
    new = _store_for(Path(db_path)).write(rows, timeout, exact=True)
    if not keep:
        try:
            file.unlink()
        except FileNotFoundError:
            pass  # another import took it at the same time
    return [Imported(row.trace_id, row.summary if isinstance(row.summary, Summary) else None, fresh)
            for row, fresh in zip(rows, new)]


def _documents_of(data: bytes, *, partial_tail: bool) -> list[bytes]:
    """The encoded documents a file holds, back to back.  A queue file's last
    one may be cut short (its process ended while writing it): it is left out."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    documents = []
    start = 0
    while start < len(data):
        try:
            unpacker.skip()
        except msgpack.OutOfData:
            if partial_tail:
                break
            raise TraceUnreadable("the file ends inside a document") from None
        except Exception as error:
            raise TraceUnreadable(f"it does not decode ({error})") from None
        end = unpacker.tell()
        documents.append(data[start:end])
        start = end
    if not partial_tail and len(documents) > 1:
        return []
    return documents


# --- reading -----------------------------------------------------------------------


def _open_for_reading(db_path: str | os.PathLike) -> sqlite3.Connection:
    """A read-only connection; never creates the database.  Raises
    :class:`TraceNotFound` when there is none or it holds no traces yet, and
    :class:`DatabaseUnusable` when it cannot be read or is not ruvo's."""
    path = Path(db_path)
    if not path.is_file():
        raise TraceNotFound(f"no trace database at {path}")
    try:
        connection = sqlite3.connect(path.absolute().as_uri() + "?mode=ro", uri=True, timeout=READ_TIMEOUT)
    except sqlite3.Error as error:
        raise DatabaseUnusable(f"cannot read the trace database {path}: {error}") from None
    try:
        ours = _identify(connection, path)
        if ours and "trace_documents" in {name for (name,) in connection.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}:
            connection.execute("SELECT 1 FROM trace_documents LIMIT 1").fetchall()
            return connection
    except DatabaseUnusable:
        connection.close()
        raise
    except sqlite3.Error as error:
        connection.close()
        why = "another process holds it locked" if isinstance(error, sqlite3.OperationalError) and \
            _is_busy(error) else str(error)
        raise DatabaseUnusable(f"cannot read the trace database {path}: {why}") from None
    connection.close()
    raise TraceNotFound(f"no traces in {path}")


def list_traces(db_path: str | os.PathLike, limit: int | None = None) -> list[TraceRow]:
    """Stored documents, newest first (an existing but empty database gives [])."""
    connection = _open_for_reading(db_path)
    try:
        sql = (
            "SELECT id, trace_id, saved_at, started_at, source, test_nodeid, records, threads, size, "
            + ", ".join(column if _has_column(connection, column) else "NULL" for column in ("left_out", "outcome"))
            + " FROM trace_documents ORDER BY id DESC"
        )
        rows = connection.execute(sql + " LIMIT ?", (limit,)) if limit is not None else connection.execute(sql)
        return [TraceRow(*row) for row in rows.fetchall()]
    finally:
        connection.close()


def stored_trace_ids(db_path: str | os.PathLike, trace_ids: set, *, left_out: bool = False) -> set:
    """Those of ``trace_ids`` that have a document in the database (with
    ``left_out``, only those whose recording left something out)."""
    if not trace_ids:
        return set()
    connection = _open_for_reading(db_path)
    try:
        if left_out and not _has_column(connection, "left_out"):
            return set()
        wanted = sorted(trace_ids)
        found: set = set()
        condition = " AND left_out IS NOT NULL" if left_out else ""
        for start in range(0, len(wanted), 500):
            chunk = wanted[start : start + 500]
            found.update(trace_id for (trace_id,) in connection.execute(
                f"SELECT DISTINCT trace_id FROM trace_documents WHERE trace_id IN ({', '.join('?' * len(chunk))})"
                + condition, chunk))
        return found
    finally:
        connection.close()


def left_out_message(db_path: str | os.PathLike, trace_id: str) -> str | None:
    """What recording left out of a stored trace, in its own words; None
    when it left nothing out."""
    connection = _open_for_reading(db_path)
    try:
        if not _has_column(connection, "left_out"):
            return None
        row = connection.execute("SELECT left_out FROM trace_documents WHERE trace_id = ? AND left_out IS NOT NULL "
                                 "LIMIT 1", (trace_id,)).fetchone()
        return row[0] if row else None
    finally:
        connection.close()


def latest_trace_id(db_path: str | os.PathLike) -> str:
    """The trace id of the document saved last."""
    connection = _open_for_reading(db_path)
    try:
        row = connection.execute("SELECT trace_id FROM trace_documents ORDER BY id DESC LIMIT 1").fetchone()
    finally:
        connection.close()
    if row is None:
        raise TraceNotFound(f"no traces in {db_path}")
    return row[0]


def latest_trace_id_of_test(db_path: str | os.PathLike, nodeid: str) -> str:
    """The trace id of the document saved last for a pytest node id."""
    connection = _open_for_reading(db_path)
    try:
        row = connection.execute(
            "SELECT trace_id FROM trace_documents WHERE test_nodeid = ? ORDER BY id DESC LIMIT 1", (nodeid,)
        ).fetchone()
    finally:
        connection.close()
    if row is None:
        raise TraceNotFound(f"no trace of test {nodeid} in {db_path}")
    return row[0]


def load_documents(db_path: str | os.PathLike, trace_id: str) -> list[bytes]:
    """The raw documents of a trace, in the order they were saved."""
    connection = _open_for_reading(db_path)
    try:
        if not _has_column(connection, "parts"):
            rows = connection.execute(
                "SELECT document FROM trace_documents WHERE trace_id = ? ORDER BY id", (trace_id,)
            ).fetchall()
            documents = [bytes(row[0]) for row in rows]
        else:
            documents = []
            for row_id, first, parts in connection.execute(
                "SELECT id, document, parts FROM trace_documents WHERE trace_id = ? ORDER BY id", (trace_id,)
            ).fetchall():
                rest = connection.execute(
                    "SELECT data FROM trace_document_parts WHERE document_id = ? ORDER BY part", (row_id,)
                ).fetchall() if parts else []
                if len(rest) != parts:
                    raise TraceDamaged(f"trace {trace_id} is damaged: a document lacks {parts - len(rest)} "
                                       "of its parts")
                documents.append(b"".join([bytes(first), *(bytes(part) for (part,) in rest)]))
    finally:
        connection.close()
    if not documents:
        raise TraceNotFound(f"no trace {trace_id} in {db_path}")
    return documents


@contextlib.contextmanager
def open_documents(db_path: str | os.PathLike, trace_id: str | None = None) -> Iterator[list["_BlobReader"]]:
    """The documents of a trace (the latest by default) as binary files read
    straight from the database, in save order: for reading big traces a
    piece at a time (see :func:`ruvo.stream.iter_records`)."""
    if trace_id is None:
        trace_id = latest_trace_id(db_path)
    connection = _open_for_reading(db_path)
    try:
        has_parts = _has_column(connection, "parts")
        rows = connection.execute(
            f"SELECT id, {'parts' if has_parts else '0'} FROM trace_documents WHERE trace_id = ? ORDER BY id",
            (trace_id,)).fetchall()
        if not rows:
            raise TraceNotFound(f"no trace {trace_id} in {db_path}")
        readers = []
        for row_id, parts in rows:
            pieces = [("trace_documents", "document", row_id)]
            if parts:
                part_rows = connection.execute(
                    "SELECT rowid FROM trace_document_parts WHERE document_id = ? ORDER BY part", (row_id,)).fetchall()
                if len(part_rows) != parts:
                    raise TraceDamaged(f"trace {trace_id} is damaged: a document lacks {parts - len(part_rows)} "
                                       "of its parts")
                pieces += [("trace_document_parts", "data", rowid) for (rowid,) in part_rows]
            readers.append(_BlobReader(connection, pieces))
        yield readers
    finally:
        connection.close()


class _BlobReader:
    """A document stored in one or more blobs, read as one binary file."""

    def __init__(self, connection: sqlite3.Connection, pieces: list[tuple[str, str, int]]) -> None:
        self._connection = connection
        self._pieces = list(pieces)
        self._blob: sqlite3.Blob | None = None

    def read(self, size: int = -1) -> bytes:
        chunks = []
        while size != 0:
            if self._blob is None:
                if not self._pieces:
                    break
                table, column, row = self._pieces.pop(0)
                self._blob = self._connection.blobopen(table, column, row, readonly=True)
            chunk = self._blob.read(size if size > 0 else -1)
            if not chunk:
                self._blob.close()
                self._blob = None
                continue
            chunks.append(chunk)
            if size > 0:
                size -= len(chunk)
        return b"".join(chunks)


def _has_column(connection: sqlite3.Connection, column: str) -> bool:
    return any(row[1] == column for row in connection.execute("PRAGMA table_info(trace_documents)"))


def load_trace(db_path: str | os.PathLike, trace_id: str | None = None, *, check: bool = False) -> dict:
    """A trace (the latest if no id is given), decoded with
    :func:`ruvo.decode.loads`; several documents of one trace are merged:
    their records concatenated in save order, per thread for ``frames``,
    every other field taken from the first.  With ``check``, a trace that is
    not one ruvo's views can draw (:mod:`ruvo.checks`) raises
    :class:`TraceDamaged`, saying what is wrong; one that does not decode
    always does."""
    from .checks import DocumentDamaged, check_document

    if trace_id is None:
        trace_id = latest_trace_id(db_path)
    from .model import merge_documents

    documents = load_documents(db_path, trace_id)
    decoded_documents = []
    for index, document in enumerate(documents):
        where = f"document {index + 1} of {len(documents)}: " if len(documents) > 1 else ""
        try:
            decoded = decode.loads(document)
        except Exception as error:
            raise TraceDamaged(f"trace {trace_id} is damaged: {where}it does not decode ({_one_line(error)})") \
                from None
        try:
            if check:
                check_document(decoded)
            if not isinstance(decoded, dict):
                raise DocumentDamaged("it is not a map")
            foi = decoded.get("frames_of_interest", [])
            frames = decoded.get("frames", {})
            if not (isinstance(foi, list) and isinstance(frames, dict)
                    and all(isinstance(records, list) for records in frames.values())):
                raise DocumentDamaged("it is not a trace document")
        except DocumentDamaged as error:
            raise TraceDamaged(f"trace {trace_id} is damaged: {where}{error}") from None
        decoded_documents.append(decoded)
    return merge_documents(decoded_documents)


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0]}" if text else type(error).__name__
