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
import itertools
import os
import re
import sqlite3
import sys
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
    "TraceNotSaved",
    "TraceNotFound",
    "TraceUnreadable",
    "TraceRow",
    "save_trace_in_sqlite",
    "saves_on_this_thread",
    "default_db_path",
    "list_traces",
    "latest_trace_id",
    "latest_trace_id_of_test",
    "load_documents",
    "load_trace",
]

SCHEMA_VERSION = 3

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
    outcome TEXT
);
CREATE INDEX IF NOT EXISTS trace_documents_by_trace ON trace_documents (trace_id, id);
CREATE INDEX IF NOT EXISTS trace_documents_by_time ON trace_documents (saved_at);
CREATE TABLE IF NOT EXISTS trace_document_parts (
    document_id INTEGER NOT NULL,
    part INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (document_id, part)
);
"""

# Columns added since the first schema, for databases made by older versions.
_ADDED_COLUMNS = {"left_out": "TEXT", "parts": "INTEGER NOT NULL DEFAULT 0", "outcome": "TEXT"}

# A document longer than this is stored in parts of this size: SQLite refuses
# values past its length limit (1 GB by default), and a trace whose budget a
# user raised that far must still be saved whole, in the database.
PART_BYTES = 256 * 2**20

_DEFAULT_TIMEOUT = 60.0
_NO_SUMMARY = (None, None, None, None, None, None, None)


class TraceNotSaved(Exception):
    """The database could not be written.  ``spill_path`` is the file that
    holds the document instead, or None when even that could not be written."""

    def __init__(self, message: str, *, trace_id: str, db_path: Path, spill_path: Path | None) -> None:
        super().__init__(message)
        self.trace_id = trace_id
        self.db_path = db_path
        self.spill_path = spill_path


class TraceNotFound(LookupError):
    """No such trace, or no traces at all (missing or empty database)."""


class TraceUnreadable(ValueError):
    """A stored document is not a trace document that can be decoded."""


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
    document's summary (None when it does not decode), as stored.

    While :func:`start_batching` is on, the document is queued for a writer
    thread instead and this returns at once; a failure then spills the
    document all the same, and :func:`save_counts` tells.
    """
    document = bytes(msgpack)
    path = Path(db_path)
    summary = summarize(document)
    timeout = _DEFAULT_TIMEOUT if timeout is None else float(timeout)
    row = _Row(trace_id, time.time(), summary, document)
    writer = _batching_writer(path)
    if writer is not None:
        writer.put(row, timeout)
        return summary
    try:
        _store_for(path).write([row], timeout)
    except Exception as error:
        _outcomes.failed = getattr(_outcomes, "failed", 0) + 1
        _spill_counted(path, trace_id, document, error)
    _outcomes.saved = getattr(_outcomes, "saved", 0) + 1
    _tally.add(saved=1)
    return summary


# Saves are often made by the native profiler inside a call of the user's
# (pytest's end-of-test marker), where no exception reaches the caller; the
# calling thread can still learn how they went.
_outcomes = threading.local()


def saves_on_this_thread() -> tuple[int, int]:
    """How many documents this thread has saved in a database so far, and
    how many it could not save there (spilled to a file, or lost).  Saves
    queued for the writer thread are not counted here: see :func:`save_counts`."""
    return getattr(_outcomes, "saved", 0), getattr(_outcomes, "failed", 0)


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


@dataclass(frozen=True)
class _Row:
    trace_id: str
    saved_at: float
    summary: Summary | None
    document: bytes


def _is_busy(error: sqlite3.OperationalError) -> bool:
    text = str(error)
    return "locked" in text or "busy" in text


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

    def write(self, rows: list[_Row], timeout: float) -> None:
        """Insert the rows in one transaction, or none of them (raises)."""
        deadline = time.monotonic() + timeout
        with self.lock:
            for attempt in itertools.count():
                try:
                    connection = self._connect(max(deadline - time.monotonic(), 0.0))
                    connection.execute(f"PRAGMA busy_timeout = {int(max(deadline - time.monotonic(), 0.0) * 1000)}")
                    _insert(connection, rows)
                    return
                except sqlite3.OperationalError as error:
                    self.close()
                    # SQLite gives up at once, without waiting, when waiting could
                    # deadlock (e.g. two connections switching a new file to WAL).
                    if not _is_busy(error) or time.monotonic() >= deadline:
                        raise
                    time.sleep(min(0.005 * 2 ** min(attempt, 6), max(0.0, deadline - time.monotonic())))
                except BaseException:
                    self.close()
                    raise

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
    " records, threads, left_out, outcome, size, document, parts) VALUES "
)
_ROW_VALUES = "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
# Rows per INSERT statement: each statement is one step of SQLite, and each
# step hands the interpreter lock to the program and waits to get it back.
# 80 rows of 12 values stay under the 999 variables older SQLite allows.
_ROWS_PER_STATEMENT = 80


def _insert(connection: sqlite3.Connection, rows: list[_Row]) -> None:
    connection.execute("BEGIN IMMEDIATE")
    try:
        _ensure_schema(connection)
        whole: list[tuple] = []  # documents stored in one piece, not yet inserted

        def insert_whole() -> None:
            for start in range(0, len(whole), _ROWS_PER_STATEMENT):
                chunk = whole[start : start + _ROWS_PER_STATEMENT]
                connection.execute(_INSERT_COLUMNS + ", ".join([_ROW_VALUES] * len(chunk)),
                                   [value for values in chunk for value in values])
            whole.clear()

        for row in rows:
            summary = row.summary
            columns = _NO_SUMMARY if summary is None else (
                summary.started_at, summary.source, summary.test_nodeid, summary.records, summary.threads,
                summary.left_out, summary.outcome,
            )
            document = row.document
            parts = [document[i : i + PART_BYTES] for i in range(0, len(document), PART_BYTES)] or [b""]
            values = (row.trace_id, row.saved_at, *columns, len(document), parts[0], len(parts) - 1)
            if len(parts) == 1:
                whole.append(values)
                continue
            insert_whole()  # rows keep the order they were saved in
            cursor = connection.execute(_INSERT_COLUMNS + _ROW_VALUES, values)
            for number, part in enumerate(parts[1:], start=1):
                connection.execute(
                    "INSERT INTO trace_document_parts (document_id, part, data) VALUES (?, ?, ?)",
                    (cursor.lastrowid, number, part),
                )
        insert_whole()
        connection.execute("COMMIT")
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise


def _ensure_schema(connection: sqlite3.Connection) -> None:
    (version,) = connection.execute("PRAGMA user_version").fetchone()
    if version < SCHEMA_VERSION:
        # One by one: executescript() would commit the open transaction.
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                connection.execute(statement)
        present = {row[1] for row in connection.execute("PRAGMA table_info(trace_documents)")}
        for column, definition in _ADDED_COLUMNS.items():
            if column not in present:
                connection.execute(f"ALTER TABLE trace_documents ADD COLUMN {column} {definition}")
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


# --- batched saving ------------------------------------------------------------
# pytest --ruvo saves a trace per test, thousands a minute: the test's thread
# only queues the document, and one writer thread per database stores what
# has queued up in one transaction.


# Documents waiting past this many bytes hold up the thread saving more.
MAX_QUEUED_BYTES = 64 * 2**20
# A batch is written once it holds this much, or this long after its first
# trace, or at once when flushed or closed.
BATCH_BYTES = 4 * 2**20
BATCH_SECONDS = 0.25


class _Writer:
    def __init__(self, path: Path) -> None:
        self.store = _store_for(path)
        self.path = path
        self._condition = threading.Condition()
        self._queue: list[tuple[_Row, float]] = []
        self._queued_bytes = 0
        self._writing = False
        self._closing = False
        self._flushing = 0
        self.thread = threading.Thread(target=self._run, name="ruvo-writer", daemon=True)
        self.thread.start()

    def put(self, row: _Row, timeout: float) -> None:
        with self._condition:
            while self._queued_bytes > MAX_QUEUED_BYTES and self.thread.is_alive():
                self._condition.wait(0.5)
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
                while (self._queue or self._writing) and self.thread.is_alive():
                    self._condition.wait(0.5)
            finally:
                self._flushing -= 1

    def close(self) -> None:
        with self._condition:
            self._closing = True
            self._condition.notify_all()
        self.thread.join()

    def _run(self) -> None:
        # Threads started while a profiler records with threading on are
        # hooked into it: this one has nothing to record.
        sys.setprofile(None)
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
                self._writing = True
                self._condition.notify_all()
            try:
                self._write(batch)
            except Exception:
                _tally.add(lost=len(batch))  # never reached, short of a bug: still counted
            finally:
                with self._condition:
                    self._writing = False
                    self._condition.notify_all()

    def _write(self, batch: list[tuple[_Row, float]]) -> None:
        try:
            self.store.write([row for row, _ in batch], max(timeout for _, timeout in batch))
            _tally.add(saved=len(batch))
            return
        except Exception as error:
            failed = [(batch[0][0], error)] if len(batch) == 1 else []
        if not failed:
            # One by one, so that one bad document does not take the others along.
            for row, timeout in batch:
                try:
                    self.store.write([row], timeout)
                    _tally.add(saved=1)
                except Exception as error:
                    failed.append((row, error))
        for row, error in failed:
            # Counted, for whoever batches to report (save_counts).
            try:
                _spill_counted(self.path, row.trace_id, row.document, error)
            except TraceNotSaved:
                pass


_writers: dict[tuple[int, str], _Writer] = {}
_writers_lock = threading.Lock()
_batching = False


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
    key = (os.getpid(), os.path.abspath(path))
    with _writers_lock:
        writer = _writers.get(key)
        if writer is None or not writer.thread.is_alive():
            if not _writers:
                atexit.register(stop_batching)
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
    Runs at exit too, so that a session cut short keeps its traces."""
    global _batching
    _batching = False
    with _writers_lock:
        writers = [writer for (pid, _), writer in _writers.items() if pid == os.getpid()]
        _writers.clear()
    for writer in writers:
        writer.close()
    return save_counts()


_UNSAFE_NAME_CHARS = re.compile(r"[^A-Za-z0-9_.-]")


def _spill(path: Path, trace_id: str, document: bytes, error: Exception) -> None:
    """Write the document beside the database, then raise TraceNotSaved."""
    directory = path.parent
    stem = _UNSAFE_NAME_CHARS.sub("_", trace_id)[:100] or "trace"
    millis = time.time_ns() // 1_000_000
    try:
        directory.mkdir(parents=True, exist_ok=True)
        spill_path = _write_new_file(directory, f"{stem}-{millis}", document)
    except Exception as spill_error:
        raise TraceNotSaved(
            f"trace {trace_id} could not be saved in {path} ({error!r}), nor written beside it ({spill_error!r})",
            trace_id=trace_id,
            db_path=path,
            spill_path=None,
        ) from error
    raise TraceNotSaved(
        f"trace {trace_id} could not be saved in {path} ({error!r}); it was written to {spill_path}",
        trace_id=trace_id,
        db_path=path,
        spill_path=spill_path,
    ) from error


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


def spilled_files(db_path: str | os.PathLike) -> list[Path]:
    """Documents spilled beside the database and not imported yet, oldest first."""
    directory = Path(db_path).parent
    try:
        files = [path for path in directory.glob("*.msgpack") if path.is_file()]
    except OSError:
        return []
    return sorted(files, key=lambda path: (path.stat().st_mtime, path.name))


def import_spilled(db_path: str | os.PathLike, file: str | os.PathLike, *, timeout: float = _DEFAULT_TIMEOUT,
                   keep: bool = False) -> tuple[str, Summary]:
    """Store a spilled document in the database, then remove its file
    (unless ``keep``); returns its trace id and summary.  Raises
    :class:`TraceUnreadable` for a file that is not a trace document, and
    the database's own error when it cannot be written (the file stays)."""
    file = Path(file)
    document = file.read_bytes()
    summary = summarize(document)
    trace_id = _trace_id_of(document) if summary is not None else None
    if summary is None or not trace_id:
        raise TraceUnreadable(f"{file} is not a trace document")
    _store_for(Path(db_path)).write([_Row(trace_id, time.time(), summary, document)], timeout)
    if not keep:
        file.unlink()
    return trace_id, summary


def _trace_id_of(document: bytes) -> str | None:
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(document), 1))
    unpacker.feed(document)
    for _ in range(unpacker.read_map_header()):
        if unpacker.unpack() == "trace_id":
            value = unpacker.unpack()
            return value if isinstance(value, str) else None
        unpacker.skip()
    return None


# --- reading -----------------------------------------------------------------------


def _open_for_reading(db_path: str | os.PathLike) -> sqlite3.Connection:
    """A read-only connection; never creates the database."""
    path = Path(db_path)
    if not path.is_file():
        raise TraceNotFound(f"no trace database at {path}")
    try:
        connection = sqlite3.connect(path.absolute().as_uri() + "?mode=ro", uri=True, timeout=_DEFAULT_TIMEOUT)
    except sqlite3.Error as error:
        raise TraceNotFound(f"cannot open the trace database {path}: {error}") from error
    try:
        connection.execute("SELECT 1 FROM trace_documents LIMIT 1").fetchall()
    except sqlite3.Error as error:
        connection.close()
        raise TraceNotFound(f"no traces in {path}") from error
    return connection


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
                    raise TraceUnreadable(f"trace {trace_id}: a document lacks {parts - len(rest)} of its parts")
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
    piece at a time (see :func:`ruvo.model.iter_records`)."""
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
                    raise TraceUnreadable(f"trace {trace_id}: a document lacks {parts - len(part_rows)} of its parts")
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
        self._blob = None

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


def load_trace(db_path: str | os.PathLike, trace_id: str | None = None) -> dict:
    """A trace (the latest if no id is given), decoded with
    :func:`ruvo.decode.loads`; several documents of one trace are merged:
    their records concatenated in save order, per thread for ``frames``,
    every other field taken from the first."""
    if trace_id is None:
        trace_id = latest_trace_id(db_path)
    merged: dict | None = None
    for index, document in enumerate(load_documents(db_path, trace_id)):
        try:
            decoded = decode.loads(document)
        except Exception as error:
            raise TraceUnreadable(f"document {index + 1} of trace {trace_id} does not decode: {error}") from error
        foi = decoded.get("frames_of_interest", []) if isinstance(decoded, dict) else None
        frames = decoded.get("frames", {}) if isinstance(decoded, dict) else None
        if not (
            isinstance(foi, list)
            and isinstance(frames, dict)
            and all(isinstance(records, list) for records in frames.values())
        ):
            raise TraceUnreadable(f"document {index + 1} of trace {trace_id} is not a trace document")
        if merged is None:
            merged = dict(decoded)
            merged["frames_of_interest"] = list(foi)
            merged["frames"] = {thread: list(records) for thread, records in frames.items()}
            continue
        merged["frames_of_interest"].extend(foi)
        for thread, records in frames.items():
            merged["frames"].setdefault(thread, []).extend(records)
    assert merged is not None
    return merged
