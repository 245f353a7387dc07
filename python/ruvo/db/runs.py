"""Runs, and the retention that keeps a database under its size cap.

A run is what saved a set of traces together: a ``pytest --ruvo`` session
(its xdist workers included), a ``ruvo run``, a web process with the
middleware, or any other process that saves. Every document is stored with
its run. The run's row is made with the first trace it saves, in the same
transaction, so a run that saves nothing leaves nothing behind.

When a save takes the database past its cap, the oldest runs go first,
whole; if the current run alone is over the cap, its passing tests' traces
go before its failed ones, oldest first. What retention removes is counted
(:func:`ruvo.db.save_counts`) so that the host says it once.
"""

from __future__ import annotations

import os
import sqlite3
import sys
import threading
import time
import uuid
from dataclasses import dataclass
from pathlib import Path

from .target import is_server_url, server_dispatch

# The default cap of a database: room for about a dozen runs of the largest
# suite measured (pyparsing's 2,073 tests: 153 MB a run, compressed) and
# hundreds of typical ones (attrs' 1,386: 4 MB), and still a small share of a
# developer's disk.
DEFAULT_MAX_BYTES = 2 * 2**30

# Retention prunes to this share of the cap, so that a database at its cap
# is not pruned again at every save.
_PRUNE_TO = 0.9

# Pages given back to the file system after each write, at most: a few
# milliseconds' work, so that no save waits long for it.
_VACUUM_PAGES = 2048


@dataclass(frozen=True)
class RunInfo:
    key: str
    kind: str
    command: str
    commit: str | None
    started_at: float


_lock = threading.Lock()
_current: dict[str, RunInfo] = {}  # by the database's absolute path
_max_bytes: dict[str, int | None] = {}


def _key(path: str | os.PathLike) -> str:
    return path if isinstance(path, str) and is_server_url(path) else os.path.abspath(path)


def begin_run(db_path: str | os.PathLike, kind: str, *, command: str | None = None, key: str | None = None,
              commit: str | None = None, replace: bool = True) -> str:
    """Make the traces this process saves in the database from now on one
    run; returns the run's key, which other processes of the same run (xdist
    workers) pass as ``key``. With ``replace`` False, a run already begun
    stays the current one (a middleware inside a test session)."""
    with _lock:
        current = _current.get(_key(db_path))
        if current is not None and not replace:
            return current.key
    info = RunInfo(key or uuid.uuid4().hex, kind, command if command is not None else " ".join(sys.argv),
                   commit if commit is not None else _commit(), time.time())
    with _lock:
        _current[_key(db_path)] = info
    return info.key


def end_run(db_path: str | os.PathLike) -> RunInfo | None:
    """Forget the current run (later saves make a run of their own)."""
    with _lock:
        return _current.pop(_key(db_path), None)


def set_max_bytes(db_path: str | os.PathLike, max_bytes: int | None) -> None:
    """The database's size cap for this process's saves (None: no cap)."""
    with _lock:
        _max_bytes[_key(db_path)] = max_bytes


def max_bytes_of(db_path: str | os.PathLike) -> int | None:
    with _lock:
        return _max_bytes.get(_key(db_path), DEFAULT_MAX_BYTES)


def _commit() -> str | None:
    try:
        from ..git import commit_sha

        return commit_sha()
    except Exception:
        return None


def _process_run() -> RunInfo:
    return RunInfo(f"process-{uuid.uuid4().hex}", "process", " ".join(sys.argv), _commit(), time.time())


def current_run(path: str | os.PathLike) -> RunInfo:
    """The run this process's saves in the database belong to (one of the
    process's own if none was begun)."""
    with _lock:
        info = _current.get(_key(path))
        if info is None:
            info = _current[_key(path)] = _process_run()
        return info


def run_id(connection: sqlite3.Connection, path: Path, info: RunInfo | None = None) -> int:
    """The row id of the run (the current one by default), made now if this
    is its first trace (inside the caller's transaction)."""
    info = info or current_run(path)
    found = connection.execute("SELECT id FROM runs WHERE key = ?", (info.key,)).fetchone()
    if found is not None:
        return int(found[0])
    cursor = connection.execute(
        "INSERT INTO runs (key, started_at, kind, command, git_commit, pid) VALUES (?, ?, ?, ?, ?, ?)",
        (info.key, info.started_at, info.kind, info.command, info.commit, os.getpid()))
    return int(cursor.lastrowid or 0)


@server_dispatch
def finish_run(db_path: str | os.PathLike, *, passed: int | None = None, failed: int | None = None,
               skipped: int | None = None, timeout: float = 60.0) -> None:
    """End the current run: its end time and its tests' outcomes go into
    its row, if it saved anything. Later saves make a run of their own."""
    from .store import store_for

    info = end_run(db_path)
    if info is None:
        return
    path = Path(db_path)
    if not path.exists():
        return

    def change(connection: sqlite3.Connection) -> None:
        connection.execute("UPDATE runs SET ended_at = ?, passed = ?, failed = ?, skipped = ? WHERE key = ?",
                           (time.time(), passed, failed, skipped, info.key))

    store_for(path).update(change, timeout)


@dataclass(frozen=True)
class Removed:
    traces: int = 0
    runs: int = 0

    def __add__(self, other: "Removed") -> "Removed":
        return Removed(self.traces + other.traces, self.runs + other.runs)


def used_bytes(connection: sqlite3.Connection) -> int:
    (page_size,) = connection.execute("PRAGMA page_size").fetchone()
    (pages,) = connection.execute("PRAGMA page_count").fetchone()
    (free,) = connection.execute("PRAGMA freelist_count").fetchone()
    return int(page_size) * (int(pages) - int(free))


def _delete_documents(connection: sqlite3.Connection, where: str, args: tuple) -> int:
    """Delete the documents that match; returns how many traces lost all
    their documents."""
    ids = [trace_id for (trace_id,) in connection.execute(f"SELECT DISTINCT trace_id FROM trace_documents {where}",
                                                          args)]
    connection.execute(f"DELETE FROM trace_document_parts WHERE document_id IN (SELECT id FROM trace_documents "
                       f"{where})", args)
    from . import index  # its decoding is needed only once documents are removed

    index.delete_entries(connection, where, args)
    connection.execute(f"DELETE FROM trace_documents {where}", args)
    gone = 0
    for start in range(0, len(ids), 500):
        chunk = ids[start : start + 500]
        left = {trace_id for (trace_id,) in connection.execute(
            f"SELECT DISTINCT trace_id FROM trace_documents WHERE trace_id IN ({', '.join('?' * len(chunk))})",
            chunk)}
        gone += sum(1 for trace_id in chunk if trace_id not in left)
    return gone


def _runs_oldest_first(connection: sqlite3.Connection, keep: int | None) -> list[int | None]:
    """Runs to remove, oldest first: rows from before runs were kept (no
    run) count as the oldest."""
    runs: list[int | None] = []
    if connection.execute("SELECT 1 FROM trace_documents WHERE run_id IS NULL LIMIT 1").fetchone():
        runs.append(None)
    runs += [run for (run,) in connection.execute("SELECT id FROM runs ORDER BY id")]
    return runs


def _remove_run(connection: sqlite3.Connection, run: int | None) -> Removed:
    if run is None:
        return Removed(_delete_documents(connection, "WHERE run_id IS NULL", ()), 0)
    traces = _delete_documents(connection, "WHERE run_id = ?", (run,))
    connection.execute("DELETE FROM runs WHERE id = ?", (run,))
    return Removed(traces, 1)


def enforce_cap(connection: sqlite3.Connection, max_bytes: int | None, current_run: int | None, *,
                target: int | None = None) -> Removed:
    """Inside a write transaction: bring the database back under its cap
    (down to ``target``, by default a little under it)."""
    if max_bytes is None or used_bytes(connection) <= max_bytes:
        return Removed()
    target = int(max_bytes * _PRUNE_TO) if target is None else target
    removed = Removed()
    for run in _runs_oldest_first(connection, None):
        if run == current_run and run is not None:
            continue
        removed += _remove_run(connection, run)
        if used_bytes(connection) <= target:
            return removed
    if current_run is None:
        return removed
    # The current run alone is over the cap: its passing tests' traces go
    # first, then the failed ones, oldest first, a batch at a time.
    for condition in ("AND (outcome IS NULL OR outcome != 'failed')", "AND outcome = 'failed'"):
        while used_bytes(connection) > target:
            batch = [row for (row,) in connection.execute(
                f"SELECT id FROM trace_documents WHERE run_id = ? {condition} ORDER BY id LIMIT 64",
                (current_run,))]
            if not batch:
                break
            marks = ", ".join("?" * len(batch))
            removed += Removed(_delete_documents(connection, f"WHERE id IN ({marks})", tuple(batch)), 0)
    return removed


def give_back_space(connection: sqlite3.Connection) -> None:
    """Return a bounded number of free pages to the file system (databases
    made with incremental vacuum; older ones reuse their free pages)."""
    (free,) = connection.execute("PRAGMA freelist_count").fetchone()
    if free and connection.execute("PRAGMA auto_vacuum").fetchone()[0] == 2:
        # Stepped to the end: each step gives back one page.
        connection.executescript(f"PRAGMA incremental_vacuum({_VACUUM_PAGES})")


@server_dispatch
def prune(db_path: str | os.PathLike, *, keep_runs: int | None = None, max_bytes: int | None = None,
          older_than: float | None = None, timeout: float = 60.0) -> tuple[Removed, int]:
    """``ruvo prune``: remove whole runs (all but the newest ``keep_runs``,
    those started more than ``older_than`` seconds ago, the oldest until the
    database is under ``max_bytes``), then give the space back to the file
    system. Returns what was removed and the bytes the file shrank by.

    A database made before ruvo gave space back is rebuilt once (VACUUM):
    that takes a while on a large one and waits for other writers."""
    from .schema import ensure_schema, identify

    path = Path(db_path)
    before = path.stat().st_size
    connection = sqlite3.connect(path, timeout=timeout, isolation_level=None)
    try:
        if not identify(connection, path):
            return Removed(), 0
        connection.execute("BEGIN IMMEDIATE")
        try:
            ensure_schema(connection, path)
            removed = Removed()
            runs = _runs_oldest_first(connection, None)
            doomed: list[int | None] = []
            if keep_runs is not None:
                doomed += runs[: max(len(runs) - keep_runs, 0)]
            if older_than is not None:
                cutoff = time.time() - older_than
                old = {run for (run,) in connection.execute("SELECT id FROM runs WHERE started_at < ?", (cutoff,))}
                doomed += [run for run in runs if run in old]
                if None in runs and not connection.execute(
                        "SELECT 1 FROM trace_documents WHERE run_id IS NULL AND saved_at >= ? LIMIT 1",
                        (cutoff,)).fetchone():
                    doomed.append(None)
            for run in dict.fromkeys(doomed):
                removed += _remove_run(connection, run)
            if max_bytes is not None:
                left = _runs_oldest_first(connection, None)
                newest = left[-1] if left else None
                removed += enforce_cap(connection, max_bytes, newest, target=max_bytes)
            if removed.traces:
                from . import index

                index.forget_unused_functions(connection)
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise
        (mode,) = connection.execute("PRAGMA auto_vacuum").fetchone()
        if mode == 2:
            connection.executescript("PRAGMA incremental_vacuum")
        elif removed.traces or removed.runs:
            # From now on this database gives space back as it goes.
            connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
            connection.execute("VACUUM")
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()
    finally:
        connection.close()
    return removed, max(before - path.stat().st_size, 0)
