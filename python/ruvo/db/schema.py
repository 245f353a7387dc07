"""The database's schema, how ruvo tells its own databases from anyone
else's, and the upgrade of databases made by older versions."""

from __future__ import annotations

import sqlite3
from pathlib import Path

from .errors import DatabaseUnusable

SCHEMA_VERSION = 6
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
    digest BLOB,
    run_id INTEGER,
    codec TEXT,
    stored INTEGER
);
CREATE INDEX IF NOT EXISTS trace_documents_by_trace ON trace_documents (trace_id, id);
CREATE INDEX IF NOT EXISTS trace_documents_by_time ON trace_documents (saved_at);
CREATE UNIQUE INDEX IF NOT EXISTS trace_documents_once ON trace_documents (trace_id, digest);
CREATE INDEX IF NOT EXISTS trace_documents_by_run ON trace_documents (run_id, id);
CREATE INDEX IF NOT EXISTS trace_documents_by_test ON trace_documents (test_nodeid, run_id);
CREATE TABLE IF NOT EXISTS runs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    key TEXT NOT NULL UNIQUE,
    started_at REAL NOT NULL,
    ended_at REAL,
    kind TEXT NOT NULL,
    command TEXT,
    git_commit TEXT,
    pid INTEGER,
    passed INTEGER,
    failed INTEGER,
    skipped INTEGER
);
CREATE TABLE IF NOT EXISTS trace_document_parts (
    document_id INTEGER NOT NULL,
    part INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (document_id, part)
);
CREATE TABLE IF NOT EXISTS value_functions (
    id INTEGER PRIMARY KEY,
    qualname TEXT NOT NULL,
    path TEXT NOT NULL,
    UNIQUE (qualname, path)
);
CREATE TABLE IF NOT EXISTS value_index (
    document_id INTEGER NOT NULL,
    call INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    function INTEGER NOT NULL,
    name TEXT NOT NULL,
    kind INTEGER NOT NULL,
    value,
    PRIMARY KEY (document_id, call, seq)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS value_index_documents (
    document_id INTEGER PRIMARY KEY,
    calls INTEGER NOT NULL,
    entries INTEGER NOT NULL,
    cut TEXT
);
"""
# The value index (ruvo.db.index), since schema 6: a value column of no
# type keeps what is stored as it is (an int, a float, a str, NULL), so
# that 42 never equals "42". Documents stored before have no
# value_index_documents row: ruvo find scans them, or --reindex indexes them.

# Columns added since the first schema, for databases made by older versions.
# Rows of older versions have no run (run_id NULL) and are stored as they
# are (codec NULL); `stored` is the size on disk when it differs from `size`.
_ADDED_COLUMNS = {"left_out": "TEXT", "parts": "INTEGER NOT NULL DEFAULT 0", "outcome": "TEXT", "digest": "BLOB",
                  "run_id": "INTEGER", "codec": "TEXT", "stored": "INTEGER"}
# What a database may hold to be ruvo's, and what its documents table needs.
_OUR_NAMES = frozenset({"trace_documents", "trace_document_parts", "trace_documents_by_trace",
                        "trace_documents_by_time", "trace_documents_once", "trace_documents_by_run",
                        "trace_documents_by_test", "runs", "codec_dictionaries", "value_functions",
                        "value_index",
                        "value_index_documents"})
_REQUIRED_COLUMNS = frozenset({"id", "trace_id", "saved_at", "size", "document"})


def newer(path: Path, version: int) -> DatabaseUnusable:
    return DatabaseUnusable(f"{path} was written by a newer ruvo (schema version {version}; this one knows "
                            f"up to {SCHEMA_VERSION}): upgrade ruvo to use it")


def identify(connection: sqlite3.Connection, path: Path) -> bool:
    """Whether the database is ruvo's (False: empty, ruvo may make it its
    own); raises :class:`DatabaseUnusable` for anyone else's or a newer
    ruvo's, before anything in it is changed."""
    (application,) = connection.execute("PRAGMA application_id").fetchone()
    (version,) = connection.execute("PRAGMA user_version").fetchone()
    if application == APPLICATION_ID:
        if version > SCHEMA_VERSION:
            raise newer(path, version)
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
        raise newer(path, version)
    return True


def ensure_schema(connection: sqlite3.Connection, path: Path) -> None:
    (version,) = connection.execute("PRAGMA user_version").fetchone()
    if version > SCHEMA_VERSION:
        raise newer(path, version)
    if version < SCHEMA_VERSION:
        # Again under the write lock: the file may have changed hands since
        # the connection was opened.
        identify(connection, path)
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
