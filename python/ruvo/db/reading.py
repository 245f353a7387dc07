"""Reading stored traces: listings, documents whole or as files read
straight from the database, and decoded traces."""

from __future__ import annotations

import contextlib
import os
import sqlite3
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

from . import codec
from .errors import DatabaseUnusable, TraceDamaged, TraceNotFound, TraceRow
from .schema import identify
from .store import is_busy
from .target import server_dispatch

# How long the commands wait for a database another process holds locked.
READ_TIMEOUT = 5.0



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
        ours = identify(connection, path)
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
            is_busy(error) else str(error)
        raise DatabaseUnusable(f"cannot read the trace database {path}: {why}") from None
    connection.close()
    raise TraceNotFound(f"no traces in {path}")


@server_dispatch
def list_traces(db_path: str | os.PathLike, limit: int | None = None, *, run: int | None = None) -> list[TraceRow]:
    """Stored documents, newest first (an existing but empty database gives
    []); with ``run``, only that run's."""
    connection = _open_for_reading(db_path)
    try:
        optional = ", ".join(column if _has_column(connection, column) else "NULL"
                             for column in ("left_out", "outcome", "run_id", "stored"))
        sql = (f"SELECT id, trace_id, saved_at, started_at, source, test_nodeid, records, threads, size, {optional} "
               "FROM trace_documents")
        args: list = []
        if run is not None:
            if not _has_column(connection, "run_id"):
                return []
            sql += " WHERE run_id = ?"
            args.append(run)
        sql += " ORDER BY id DESC"
        if limit is not None:
            sql += " LIMIT ?"
            args.append(limit)
        return [TraceRow(*row) for row in connection.execute(sql, args).fetchall()]
    finally:
        connection.close()


@dataclass(frozen=True)
class RunRow:
    run_id: int
    started_at: float
    ended_at: float | None
    kind: str
    command: str | None
    commit: str | None
    passed: int | None
    failed: int | None
    skipped: int | None
    traces: int
    stored: int  # bytes of its documents on disk


@server_dispatch
def list_runs(db_path: str | os.PathLike, limit: int | None = None) -> list[RunRow]:
    """The runs that saved traces, newest first."""
    connection = _open_for_reading(db_path)
    try:
        if "runs" not in {name for (name,) in connection.execute("SELECT name FROM sqlite_master")}:
            return []
        sql = ("SELECT runs.id, runs.started_at, ended_at, kind, command, git_commit, passed, failed, skipped, "
               "COUNT(DISTINCT trace_documents.trace_id), COALESCE(SUM(COALESCE(stored, size)), 0) "
               "FROM runs LEFT JOIN trace_documents ON trace_documents.run_id = runs.id "
               "GROUP BY runs.id ORDER BY runs.id DESC")
        rows = connection.execute(sql + " LIMIT ?", (limit,)) if limit is not None else connection.execute(sql)
        return [RunRow(*row) for row in rows.fetchall()]
    finally:
        connection.close()


@server_dispatch
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


@server_dispatch
def trace_size(db_path: str | os.PathLike, trace_id: str) -> int | None:
    """Bytes of a stored trace's documents, decoded (None: not stored)."""
    connection = _open_for_reading(db_path)
    try:
        (size,) = connection.execute("SELECT SUM(size) FROM trace_documents WHERE trace_id = ?",
                                     (trace_id,)).fetchone()
        return size
    finally:
        connection.close()


@server_dispatch
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


@server_dispatch
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


@server_dispatch
def latest_trace_id_of_test(db_path: str | os.PathLike, nodeid: str, *, outcome: str | None = None,
                            run: int | None = None) -> str:
    """The trace id of the document saved last for a pytest node id (with
    ``outcome``, of a run of the test that ended so; with ``run``, in that run)."""
    connection = _open_for_reading(db_path)
    try:
        sql = "SELECT trace_id FROM trace_documents WHERE test_nodeid = ?"
        args: list[object] = [nodeid]
        for column, wanted in (("outcome", outcome), ("run_id", run)):
            if wanted is not None:
                if not _has_column(connection, column):
                    row = None
                    break
                sql += f" AND {column} = ?"
                args.append(wanted)
        else:
            row = connection.execute(sql + " ORDER BY id DESC LIMIT 1", args).fetchone()
    finally:
        connection.close()
    if row is None:
        which = {"passed": "passing ", "failed": "failing "}.get(outcome or "", f"{outcome} " if outcome else "")
        where = f" of run {run}" if run is not None else ""
        raise TraceNotFound(f"no {which}trace of test {nodeid}{where} in {db_path}")
    return row[0]


@server_dispatch
def load_documents(db_path: str | os.PathLike, trace_id: str) -> list[bytes]:
    """The raw documents of a trace, in the order they were saved (as
    saved: decompressed)."""
    connection = _open_for_reading(db_path)
    try:
        has_parts, has_codec = _has_column(connection, "parts"), _has_column(connection, "codec")
        lookup = codec.lookup_in(connection)
        documents = []
        for row_id, first, parts, codec_name in connection.execute(
            f"SELECT id, document, {'parts' if has_parts else '0'}, {'codec' if has_codec else 'NULL'} "
            "FROM trace_documents WHERE trace_id = ? ORDER BY id", (trace_id,)
        ).fetchall():
            rest = connection.execute(
                "SELECT data FROM trace_document_parts WHERE document_id = ? ORDER BY part", (row_id,)
            ).fetchall() if parts else []
            if len(rest) != parts:
                raise TraceDamaged(f"trace {trace_id} is damaged: a document lacks {parts - len(rest)} "
                                   "of its parts")
            stored = b"".join([bytes(first), *(bytes(part) for (part,) in rest)])
            documents.append(_decompressed(stored, codec_name, trace_id, lookup))
    finally:
        connection.close()
    if not documents:
        raise TraceNotFound(f"no trace {trace_id} in {db_path}")
    return documents


def _decompressed(stored: bytes, codec_name: str | None, trace_id: str, lookup: codec.DictionaryLookup) -> bytes:
    try:
        return codec.decompress(stored, codec_name, lookup)
    except codec.CodecError as error:
        raise TraceDamaged(f"trace {trace_id} is damaged: a document does not decompress ({error})") from None


@server_dispatch
@contextlib.contextmanager
def open_documents(db_path: str | os.PathLike,
                   trace_id: str | None = None) -> Iterator[list["_BlobReader | codec.DecompressingReader"]]:
    """The documents of a trace (the latest by default) as binary files read
    straight from the database, in save order: for reading big traces a
    piece at a time (see :func:`ruvo.stream.iter_records`)."""
    if trace_id is None:
        trace_id = latest_trace_id(db_path)
    connection = _open_for_reading(db_path)
    try:
        has_parts, has_codec = _has_column(connection, "parts"), _has_column(connection, "codec")
        rows = connection.execute(
            f"SELECT id, {'parts' if has_parts else '0'}, {'codec' if has_codec else 'NULL'} FROM trace_documents "
            "WHERE trace_id = ? ORDER BY id", (trace_id,)).fetchall()
        if not rows:
            raise TraceNotFound(f"no trace {trace_id} in {db_path}")
        readers: list[_BlobReader | codec.DecompressingReader] = []
        lookup = codec.lookup_in(connection)
        for row_id, parts, codec_name in rows:
            pieces = [("trace_documents", "document", row_id)]
            if parts:
                part_rows = connection.execute(
                    "SELECT rowid FROM trace_document_parts WHERE document_id = ? ORDER BY part", (row_id,)).fetchall()
                if len(part_rows) != parts:
                    raise TraceDamaged(f"trace {trace_id} is damaged: a document lacks {parts - len(part_rows)} "
                                       "of its parts")
                pieces += [("trace_document_parts", "data", rowid) for (rowid,) in part_rows]
            reader = _BlobReader(connection, pieces)
            if codec_name is None:
                readers.append(reader)
                continue
            try:
                readers.append(codec.DecompressingReader(reader, codec_name, lookup))
            except codec.CodecError as error:
                raise TraceDamaged(f"trace {trace_id} is damaged: a document does not decompress ({error})") \
                    from None
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
    from ..checks import DocumentDamaged, check_document

    if trace_id is None:
        trace_id = latest_trace_id(db_path)
    from ..model import merge_documents

    documents = load_documents(db_path, trace_id)
    decoded_documents = []
    for index, document in enumerate(documents):
        where = f"document {index + 1} of {len(documents)}: " if len(documents) > 1 else ""
        try:
            decoded = _loads(document)
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


def _loads(document: bytes) -> object:
    # Imported on first use: saving, which imports this module too, never decodes.
    from ..decode import loads

    return loads(document)
