"""This process's connections to its databases, and the one transaction
that inserts documents."""

from __future__ import annotations

import functools
import hashlib
import itertools
import os
import sqlite3
import threading
import time
import tracemalloc
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence, TypeVar

from ..config import is_server_url
from ..summary import Summary, summarize
from . import codec, runs
from .schema import ensure_schema, identify

# A document longer than this is stored in parts of this size: SQLite refuses
# values past its length limit (1 GB by default), and a trace whose budget a
# user raised that far must still be saved whole, in the database.
PART_BYTES = 256 * 2**20

_T = TypeVar("_T")

DEFAULT_TIMEOUT = 60.0
# Waits for a lock go in steps this long, so that an interrupt or a writer
# told to hurry gives up within one step.
_WAIT_STEP = 0.1
_NO_SUMMARY = (None, None, None, None, None, None, None)


# A queued row's summary, still to be made (by the writer, off the caller's thread).
LATER = object()


@dataclass(frozen=True)
class Row:
    trace_id: str
    saved_at: float
    summary: Summary | None | object  # Summary, None (does not decode) or LATER
    document: bytes
    describe: str | None = None  # logged when not stored, for hosts that are told no other way


def is_busy(error: sqlite3.OperationalError) -> bool:
    text = str(error)
    return "locked" in text or "busy" in text


class Store:
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

    def write(self, rows: list[Row], timeout: float, hurry: threading.Event | None = None, *,
              exact: bool = False, index_values: bool = True, yield_to_tracing: bool = False,
              run_infos: Sequence[runs.RunInfo | None] | None = None) -> list[bool]:
        """Insert the rows in one transaction, or none of them (raises);
        with ``exact``, whether each was new (False: the same document was
        stored before); without ``index_values``, with no entries in the
        value index (:meth:`index_later` adds them); ``run_infos``: each
        row's run (None, or by default: the current one).
        Waits for a lock at most ``timeout`` seconds, and no longer once
        ``hurry`` is set."""
        return self._with_connection(
            lambda connection: _insert(connection, rows, self.path, exact, index_values, yield_to_tracing,
                                       run_infos),
            timeout, hurry)

    def index_later(self, trace_ids: list, timeout: float, hurry: threading.Event | None = None) -> None:
        """Give the stored documents of ``trace_ids`` their value index
        entries, a few hundred documents a transaction."""
        for start in range(0, len(trace_ids), _INDEXED_PER_TRANSACTION):
            if hurry is not None and hurry.is_set():
                return  # left to `ruvo find`, which searches them in full and says so
            chunk = trace_ids[start:start + _INDEXED_PER_TRANSACTION]
            self.update(functools.partial(_index_traces, trace_ids=chunk, path=self.path), timeout)

    def update(self, change: Callable[[sqlite3.Connection], object], timeout: float) -> None:
        """Run ``change`` in one write transaction of its own."""
        def transaction(connection: sqlite3.Connection) -> None:
            connection.execute("BEGIN IMMEDIATE")
            try:
                ensure_schema(connection, self.path)
                change(connection)
                connection.execute("COMMIT")
            except BaseException:
                if connection.in_transaction:
                    connection.execute("ROLLBACK")
                raise

        self._with_connection(transaction, timeout, None)

    def _with_connection(self, work: Callable[[sqlite3.Connection], _T], timeout: float,
                         hurry: threading.Event | None) -> _T:
        deadline = time.monotonic() + timeout
        with self.lock:
            for attempt in itertools.count():
                began = time.monotonic()
                wait = 0.0 if hurry is not None and hurry.is_set() else min(max(deadline - began, 0.0), _WAIT_STEP)
                try:
                    connection = self._connect(wait)
                    connection.execute(f"PRAGMA busy_timeout = {int(wait * 1000)}")
                    return work(connection)
                except sqlite3.OperationalError as error:
                    self.close()
                    now = time.monotonic()
                    if not is_busy(error) or now >= deadline or (hurry is not None and hurry.is_set()):
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
        # Another file, or none: what this process knew of it is void.
        _dictionaries.forget(self.path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        connection = sqlite3.connect(self.path, timeout=timeout, isolation_level=None, check_same_thread=False)
        try:
            # Someone else's database is refused before its journal mode changes.
            if not identify(connection, self.path):
                # A new database gives the space retention frees back to the
                # file system; set before its first table, and before WAL.
                connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
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
_stores: "OrderedDict[tuple[int, str], Store]" = OrderedDict()
_stores_lock = threading.Lock()


def store_for(path: "Path | str") -> Store:
    if is_server_url(path):
        from .postgres import server_store

        return server_store(str(path))  # type: ignore[return-value]  # the same write(), lock and close()
    key = (os.getpid(), os.path.abspath(path))
    with _stores_lock:
        store = _stores.get(key)
        if store is None:
            store = _stores[key] = Store(Path(path))
            while len(_stores) > _MAX_STORES:
                _, old = _stores.popitem(last=False)
                with old.lock:
                    old.close()
        else:
            _stores.move_to_end(key)
        return store


_INSERT_COLUMNS = (
    "INSERT INTO trace_documents (trace_id, saved_at, started_at, source, test_nodeid,"
    " records, threads, left_out, outcome, size, document, parts, digest, run_id, codec, stored) VALUES "
)
_ROW_VALUES = "(" + ", ".join(["?"] * 16) + ")"
# A document stored before (an import run twice, or two at once) is not
# stored again: one row per trace id and content.
_ONCE = " ON CONFLICT DO NOTHING"
# Rows per INSERT statement: each statement is one step of SQLite, and each
# step hands the interpreter lock to the program and waits to get it back.
# 62 rows of 16 values stay under the 999 variables older SQLite allows.
_ROWS_PER_STATEMENT = 62


_INDEXED_PER_TRANSACTION = 200


def _index_traces(connection: sqlite3.Connection, trace_ids: list, path: Path) -> None:
    max_bytes = runs.max_bytes_of(path)
    from . import index

    index.index_traces(connection, trace_ids, max_bytes)
    # The entries weigh too: the cap holds with them, as after a save.
    removed = runs.enforce_cap(connection, max_bytes, runs.run_id(connection, path))
    if removed.traces or removed.runs:
        _count_removed(removed)


# How long a writer thread's batch may wait, in all, for the program to stop
# tracing its allocations (see _insert).
_TRACED_WAIT = 1.0


def _insert(connection: sqlite3.Connection, rows: list[Row], path: Path, exact: bool,
            index_values: bool = True, yield_to_tracing: bool = False,
            run_infos: Sequence[runs.RunInfo | None] | None = None) -> list[bool]:
    connection.execute("BEGIN IMMEDIATE")
    try:
        ensure_schema(connection, path)
        # Each row's run, made with its first trace; retention spares the last one's.
        run_ids: dict[str, int] = {}
        run: int | None = None
        new: list[bool] = []
        whole: list[tuple] = []  # documents stored in one piece, not yet inserted
        indexing: list[tuple[str, bytes, bytes, int]] = []

        def insert_whole() -> None:
            for start in range(0, len(whole), _ROWS_PER_STATEMENT):
                chunk = whole[start : start + _ROWS_PER_STATEMENT]
                cursor = connection.execute(_INSERT_COLUMNS + ", ".join([_ROW_VALUES] * len(chunk)) + _ONCE,
                                            [value for values in chunk for value in values])
                # Which of a chunk were there before is not told (only ``exact`` writes tell).
                new.extend([cursor.rowcount > 0] * len(chunk))
            whole.clear()

        # A writer thread's allocations count as the program's while it
        # traces them (tracemalloc sees every thread): compressing waits,
        # a bounded time, as the lock is held.
        patience = time.monotonic() + _TRACED_WAIT
        while yield_to_tracing and tracemalloc.is_tracing() and time.monotonic() < patience:
            time.sleep(0.01)
        compressed = _dictionaries.compress(connection, path, [row.document for row in rows])
        current = runs.current_run(path) if run_infos is None or None in run_infos else None
        for row, info, (stored, codec_name) in zip(rows, run_infos or [None] * len(rows), compressed):
            info = info or current
            assert info is not None
            if info.key not in run_ids:
                run_ids[info.key] = runs.run_id(connection, path, info)
            run = run_ids[info.key]
            summary = summarize(row.document) if row.summary is LATER else row.summary
            assert summary is None or isinstance(summary, Summary)
            columns = _NO_SUMMARY if summary is None else (
                summary.started_at, summary.source, summary.test_nodeid, summary.records, summary.threads,
                summary.left_out, summary.outcome,
            )
            document = row.document
            parts = [stored[i : i + PART_BYTES] for i in range(0, len(stored), PART_BYTES)] or [b""]
            digest = hashlib.sha256(document).digest()
            indexing.append((row.trace_id, digest, document, len(stored)))
            values = (row.trace_id, row.saved_at, *columns, len(document), parts[0], len(parts) - 1,
                      digest, run, codec_name, len(stored))
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
        # Indexed in the same transaction, so that no document is stored
        # without its entries, nor entries without their document.
        if index_values:
            # Imported only here: a session that leaves its index to a helper
            # process never needs the value decoding that it brings.
            from . import index
        room = index.room_left(connection, runs.max_bytes_of(path)) if index_values else 0
        for trace_id, digest, document, stored_bytes in indexing if index_values else ():
            found = connection.execute("SELECT id FROM trace_documents WHERE trace_id = ? AND digest = ?",
                                       (trace_id, digest)).fetchone()
            if found is not None:
                room -= index.index_stored(connection, found[0], document, room, stored_bytes)
        removed = runs.enforce_cap(connection, runs.max_bytes_of(path), run)
        connection.execute("COMMIT")
    except BaseException:
        # A dictionary trained in this transaction is gone with it.
        _dictionaries.forget(path)
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise
    if removed.traces or removed.runs:
        _count_removed(removed)
    # Free pages (retention's, or another writer's) go back a bounded number
    # at a time, so that the file follows what it holds. The rows are stored
    # by now: a database too busy for this leaves it to a later save.
    try:
        runs.give_back_space(connection)
    except sqlite3.Error:
        pass
    return new


# Each database's compression dictionary, for this process's saves.
_dictionaries = codec.Dictionaries()

# What retention removed in this process, for the hosts to say.
_removed_lock = threading.Lock()
_removed = runs.Removed()


def _count_removed(removed: runs.Removed) -> None:
    global _removed
    with _removed_lock:
        _removed = _removed + removed


def removed_so_far() -> runs.Removed:
    with _removed_lock:
        return _removed
