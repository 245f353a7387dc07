"""Trace documents in SQLite: saving them, and reading them back.

The native module calls :func:`save_trace_in_sqlite` with each finished trace
document (a MessagePack map; see below).  Every document is kept, in its own
row: one trace id can have several documents (a long run saved in parts), and
none ever replaces another.  Summary columns, computed when saving, let a
listing skip decoding the blobs.

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
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

import msgpack as _msgpack

from . import serialize

__all__ = [
    "SCHEMA_VERSION",
    "TraceNotSaved",
    "TraceNotFound",
    "TraceUnreadable",
    "TraceRow",
    "save_trace_in_sqlite",
    "default_db_path",
    "list_traces",
    "latest_trace_id",
    "latest_trace_id_of_test",
    "load_documents",
    "load_trace",
]

SCHEMA_VERSION = 1

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
    document BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS trace_documents_by_trace ON trace_documents (trace_id, id);
CREATE INDEX IF NOT EXISTS trace_documents_by_time ON trace_documents (saved_at);
"""

_DEFAULT_TIMEOUT = 60.0


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


# --- saving ------------------------------------------------------------------


def save_trace_in_sqlite(db_path: str | os.PathLike, trace_id: str, *, timeout: float, msgpack: bytes) -> None:
    """Store one trace document; raise :class:`TraceNotSaved` if it could not be.

    ``timeout`` (seconds) bounds the wait for other writers.
    """
    document = bytes(msgpack)
    path = Path(db_path)
    saved_at = time.time()
    summary = _summary(document)
    timeout = _DEFAULT_TIMEOUT if timeout is None else float(timeout)
    deadline = time.monotonic() + timeout
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        for attempt in itertools.count():
            try:
                remaining = max(deadline - time.monotonic(), 0.0)
                _insert(path, remaining, (trace_id, saved_at, *summary, len(document), document))
                return
            except sqlite3.OperationalError as error:
                # SQLite gives up at once, without waiting, when waiting could
                # deadlock (e.g. two connections switching a new file to WAL).
                if not _is_busy(error) or time.monotonic() >= deadline:
                    raise
                time.sleep(min(0.005 * 2 ** min(attempt, 6), max(0.0, deadline - time.monotonic())))
    except Exception as error:
        _spill(path, trace_id, document, error)


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
            connection.execute(
                "INSERT INTO trace_documents (trace_id, saved_at, started_at, source, test_nodeid,"
                " records, threads, size, document) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                row,
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


# --- summaries -------------------------------------------------------------------

_NO_SUMMARY = (None, None, None, None, None)
_START_TEST = b"\xaastart_test"  # the MessagePack str "start_test"


def _summary(document: bytes) -> tuple:
    """(started_at, source, test_nodeid, records, threads), all None when the
    document does not decode.  Records are counted from array headers and
    skipped in C, so big documents are not decoded."""
    try:
        unpacker = _reader(document)
        started_at = source = None
        records = threads = 0
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()  # the thread id
                    count = _array_length(document, unpacker.tell())
                    unpacker.skip()
                    records += count
                    threads += 1
            elif key == "frames_of_interest":
                count = _array_length(document, unpacker.tell())
                unpacker.skip()
                records += count
                threads += 1 if count else 0
            elif key == "timestamp":
                value = unpacker.unpack()
                if isinstance(value, (int, float)) and not isinstance(value, bool):
                    started_at = float(value)
            elif key == "meta":
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get("source"), str):
                    source = meta["source"]
            else:
                unpacker.skip()
        if unpacker.tell() != len(document):
            return _NO_SUMMARY
        nodeid = _test_nodeid(document) if _START_TEST in document else None
        return started_at, source, nodeid, records, threads
    except Exception:
        return _NO_SUMMARY


def _reader(document: bytes) -> _msgpack.Unpacker:
    unpacker = _msgpack.Unpacker(
        raw=False, strict_map_key=False, unicode_errors="replace", max_buffer_size=max(len(document), 1)
    )
    unpacker.feed(document)
    return unpacker


def _array_length(document: bytes, offset: int) -> int:
    head = document[offset]
    if 0x90 <= head <= 0x9F:
        return head & 0x0F
    if head == 0xDC:
        return int.from_bytes(document[offset + 1 : offset + 3], "big")
    if head == 0xDD:
        return int.from_bytes(document[offset + 1 : offset + 5], "big")
    raise ValueError("not an array")


def _records(unpacker: _msgpack.Unpacker) -> Iterator[dict]:
    """The type and nodeid of each record of the array at the reader's position."""
    for _ in range(unpacker.read_array_header()):
        fields = {}
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "type" or key == "nodeid":
                fields[key] = unpacker.unpack()
            else:
                unpacker.skip()
        yield fields


def _test_nodeid(document: bytes) -> str | None:
    """The nodeid of the first start_test record: the main thread's first."""
    found: dict[str, str | None] = {}
    unpacker = _reader(document)
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            for fields in _records(unpacker):
                if fields.get("type") == "start_test":
                    nodeid = fields.get("nodeid")
                    return nodeid if isinstance(nodeid, str) else None
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()
                for fields in _records(unpacker):
                    if "frames" not in found and fields.get("type") == "start_test":
                        nodeid = fields.get("nodeid")
                        found["frames"] = nodeid if isinstance(nodeid, str) else None
        else:
            unpacker.skip()
    return found.get("frames")


# --- reading -----------------------------------------------------------------------


def default_db_path() -> Path:
    """Where traces go unless told otherwise: ``.ruvo/ruvo.sqlite3`` here."""
    return Path.cwd() / ".ruvo" / "ruvo.sqlite3"


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
            "SELECT id, trace_id, saved_at, started_at, source, test_nodeid, records, threads, size"
            " FROM trace_documents ORDER BY id DESC"
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
        rows = connection.execute(
            "SELECT document FROM trace_documents WHERE trace_id = ? ORDER BY id", (trace_id,)
        ).fetchall()
    finally:
        connection.close()
    if not rows:
        raise TraceNotFound(f"no trace {trace_id} in {db_path}")
    return [bytes(row[0]) for row in rows]


def load_trace(db_path: str | os.PathLike, trace_id: str | None = None) -> dict:
    """A trace (the latest if no id is given), decoded with
    :func:`ruvo.serialize.loads`; several documents of one trace are merged:
    their records concatenated in save order, per thread for ``frames``,
    every other field taken from the first."""
    if trace_id is None:
        trace_id = latest_trace_id(db_path)
    merged: dict | None = None
    for index, document in enumerate(load_documents(db_path, trace_id)):
        try:
            decoded = serialize.loads(document)
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
