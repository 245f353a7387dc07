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

import itertools
import os
import re
import sqlite3
import threading
import time
from dataclasses import dataclass
from pathlib import Path

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

SCHEMA_VERSION = 2

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
    parts INTEGER NOT NULL DEFAULT 0
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
_ADDED_COLUMNS = {"left_out": "TEXT", "parts": "INTEGER NOT NULL DEFAULT 0"}

# A document longer than this is stored in parts of this size: SQLite refuses
# values past its length limit (1 GB by default), and a trace whose budget a
# user raised that far must still be saved whole, in the database.
PART_BYTES = 256 * 2**20

_DEFAULT_TIMEOUT = 60.0
_NO_SUMMARY = (None, None, None, None, None, None)


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


# --- saving ------------------------------------------------------------------


def save_trace_in_sqlite(
    db_path: str | os.PathLike, trace_id: str, *, timeout: float, msgpack: bytes
) -> Summary | None:
    """Store one trace document; raise :class:`TraceNotSaved` if it could not be.

    ``timeout`` (seconds) bounds the wait for other writers.  Returns the
    document's summary (None when it does not decode), as stored.
    """
    document = bytes(msgpack)
    path = Path(db_path)
    saved_at = time.time()
    summary = summarize(document)
    columns = _NO_SUMMARY if summary is None else (
        summary.started_at, summary.source, summary.test_nodeid, summary.records, summary.threads, summary.left_out
    )
    timeout = _DEFAULT_TIMEOUT if timeout is None else float(timeout)
    deadline = time.monotonic() + timeout
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        for attempt in itertools.count():
            try:
                remaining = max(deadline - time.monotonic(), 0.0)
                _insert(path, remaining, (trace_id, saved_at, *columns, len(document), document))
                _outcomes.saved = getattr(_outcomes, "saved", 0) + 1
                return summary
            except sqlite3.OperationalError as error:
                # SQLite gives up at once, without waiting, when waiting could
                # deadlock (e.g. two connections switching a new file to WAL).
                if not _is_busy(error) or time.monotonic() >= deadline:
                    raise
                time.sleep(min(0.005 * 2 ** min(attempt, 6), max(0.0, deadline - time.monotonic())))
    except Exception as error:
        _outcomes.failed = getattr(_outcomes, "failed", 0) + 1
        _spill(path, trace_id, document, error)


# Saves are often made by the native profiler inside a call of the user's
# (pytest's end-of-test marker), where no exception reaches the caller; the
# calling thread can still learn how they went.
_outcomes = threading.local()


def saves_on_this_thread() -> tuple[int, int]:
    """How many documents this thread has saved in a database so far, and
    how many it could not save there (spilled to a file, or lost)."""
    return getattr(_outcomes, "saved", 0), getattr(_outcomes, "failed", 0)


def _is_busy(error: sqlite3.OperationalError) -> bool:
    text = str(error)
    return "locked" in text or "busy" in text


def _insert(path: Path, timeout: float, row: tuple) -> None:
    connection = sqlite3.connect(path, timeout=timeout, isolation_level=None)
    try:
        if connection.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
            connection.execute("PRAGMA journal_mode=WAL")
        connection.execute("BEGIN IMMEDIATE")
        try:
            _ensure_schema(connection)
            *columns, size, document = row
            parts = [document[i : i + PART_BYTES] for i in range(0, len(document), PART_BYTES)] or [b""]
            cursor = connection.execute(
                "INSERT INTO trace_documents (trace_id, saved_at, started_at, source, test_nodeid,"
                " records, threads, left_out, size, document, parts) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (*columns, size, parts[0], len(parts) - 1),
            )
            for number, part in enumerate(parts[1:], start=1):
                connection.execute(
                    "INSERT INTO trace_document_parts (document_id, part, data) VALUES (?, ?, ?)",
                    (cursor.lastrowid, number, part),
                )
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise
    finally:
        connection.close()


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
            + ("left_out" if _has_column(connection, "left_out") else "NULL")
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
