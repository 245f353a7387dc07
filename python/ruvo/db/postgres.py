"""Trace documents on a PostgreSQL server, for a team: one store that the
suites of many machines, and their web processes, save to at once.

Given a ``postgresql://`` (or ``postgres://``) URL wherever a database is,
ruvo keeps its tables in a schema of their own, ``ruvo``, in that database:
``runs``, ``trace_documents`` and ``codec_dictionaries`` as in the SQLite
store, the value index (:mod:`.postgres_index`), and ``schema_version``.
Documents are compressed with zstd (:mod:`.codec`) and, once the server
holds enough of them (as many as a SQLite file's first writer trains on),
with a dictionary trained on its latest ones by the first writer to find
them there, under an advisory lock: the others go on without one until
their next look (every few dozen documents, one query), then take that one.
Measured on more-itertools' suite under ``pytest --ruvo`` (765 traces, 167
MB uncompressed): the 475 documents under 256 KiB saved after the
dictionary took 0.60 MB instead of 1.00 MB each compressed on its own (1.66
times smaller), its 43 large ones 1 % less; 7.13 MB in all instead of 7.58
(6 % less), since most of its bytes are in large traces, which a dictionary
hardly helps. Readers fetch a dictionary with the first document that needs
it, and keep it for the process. PostgreSQL holds at most 1 GB in one
value, so a document that compresses to more is refused (and written to a
local file, which a SQLite database can still take); nothing is stored in
parts.

Many writers at once: a document is stored once per trace id and content
(a unique constraint, and inserts that skip what is there), runs are found
by their key the same way, and the schema is made under an advisory lock,
so that concurrent first writers do not race. A server that cannot be
reached makes saves spill to local files (``.ruvo/spill/``, or
``RUVO_SPILL_DIR``) at once for a while rather than wait for each
connection; ``ruvo push`` sends them later. Retention keeps the documents'
bytes under the cap as in SQLite, one writer at a time.

psycopg 3 is imported only when a URL is used: ``pip install 'ruvo[postgres]'``.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import os
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Sequence

from ..summary import Summary, summarize
from . import codec, postgres_index, runs
from .errors import DatabaseUnusable, TraceDamaged, TraceNotFound, TraceRow
from .runs import Removed, RunInfo
from .store import LATER, Row
from .target import shown

if TYPE_CHECKING:
    import psycopg

    from .reading import RunRow

# This store's own schema numbering: the server's tables are not SQLite's.
# 2 added the value index (postgres_index.TABLES); a version 1 server gets
# its tables, and its documents, without entries, are searched in full.
# 3 added compression dictionaries (_DICTIONARY_SCHEMA). Every statement
# makes only what is missing, so an older server is brought up by them all.
SCHEMA_VERSION = 3
# Advisory lock keys ("ruvo" in ASCII, and the next): making the schema,
# retention's deletes, and training a dictionary.
_SCHEMA_LOCK = 0x7275766F
_RETENTION_LOCK = 0x72757670
_DICTIONARY_LOCK = 0x72757671

CONNECT_TIMEOUT = 5
# After a failed connection, saves spill at once for this long instead of
# each waiting out a connection timeout (a test suite saves several a second).
DOWN_SECONDS = 30.0
# PostgreSQL's limit for one bytea value, less room for the row around it.
MAX_DOCUMENT_BYTES = 2**30 - 2**20

_PRUNE_TO = 0.9

MISSING_DRIVER = "a postgresql:// database needs psycopg: pip install 'ruvo[postgres]'"

_SCHEMA = [
    "CREATE SCHEMA IF NOT EXISTS ruvo",
    "CREATE TABLE IF NOT EXISTS ruvo.schema_version (version integer NOT NULL)",
    """CREATE TABLE IF NOT EXISTS ruvo.runs (
        id bigserial PRIMARY KEY,
        key text NOT NULL UNIQUE,
        started_at double precision NOT NULL,
        ended_at double precision,
        kind text NOT NULL,
        command text,
        git_commit text,
        pid integer,
        passed integer,
        failed integer,
        skipped integer)""",
    """CREATE TABLE IF NOT EXISTS ruvo.trace_documents (
        id bigserial PRIMARY KEY,
        trace_id text NOT NULL,
        saved_at double precision NOT NULL,
        started_at double precision,
        source text,
        test_nodeid text,
        records bigint,
        threads integer,
        size bigint NOT NULL,
        document bytea NOT NULL,
        left_out text,
        parts integer NOT NULL DEFAULT 0,
        outcome text,
        digest bytea NOT NULL,
        run_id bigint,
        codec text,
        stored bigint,
        CONSTRAINT trace_documents_once UNIQUE (trace_id, digest))""",
    "CREATE INDEX IF NOT EXISTS trace_documents_by_time ON ruvo.trace_documents (saved_at)",
    "CREATE INDEX IF NOT EXISTS trace_documents_by_run ON ruvo.trace_documents (run_id, id)",
    "CREATE INDEX IF NOT EXISTS trace_documents_by_test ON ruvo.trace_documents (test_nodeid, id)",
    *postgres_index.TABLES,
]

# Dictionaries are only ever added: a document names its dictionary by id,
# and no dictionary is changed or removed while the server holds documents.
_DICTIONARY_SCHEMA = [
    """CREATE TABLE IF NOT EXISTS ruvo.codec_dictionaries (
        id bigserial PRIMARY KEY,
        made_at double precision NOT NULL,
        data bytea NOT NULL)""",
]

_COLUMNS = ("trace_id, saved_at, started_at, source, test_nodeid, records, threads, left_out, outcome, size, "
            "document, digest, run_id, codec, stored")
_INSERT = (f"INSERT INTO ruvo.trace_documents ({_COLUMNS}) VALUES ({', '.join(['%s'] * 15)}) "
           "ON CONFLICT (trace_id, digest) DO NOTHING RETURNING id")
_ROW_COLUMNS = ("id, trace_id, saved_at, started_at, source, test_nodeid, records, threads, size, left_out, outcome, "
                "run_id, stored")


class Unreachable(DatabaseUnusable):
    """The server could not be reached (or the connection was lost)."""


def _psycopg() -> Any:
    try:
        import psycopg
    except ImportError:
        raise DatabaseUnusable(MISSING_DRIVER) from None
    return psycopg


def _one_line(error: BaseException) -> str:
    lines = [line.strip() for line in str(error).strip().splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def connect(url: str) -> "psycopg.Connection":
    psycopg = _psycopg()
    try:
        return psycopg.connect(url, connect_timeout=CONNECT_TIMEOUT, autocommit=True, application_name="ruvo")
    except psycopg.Error as error:
        raise Unreachable(f"cannot reach the trace database {shown(url)}: {_one_line(error)}") from None


def _version(connection: "psycopg.Connection") -> Optional[int]:
    (table,) = connection.execute("SELECT to_regclass('ruvo.schema_version')").fetchone() or (None,)
    if table is None:
        return None
    (version,) = connection.execute("SELECT max(version) FROM ruvo.schema_version").fetchone() or (None,)
    return 0 if version is None else int(version)


def _newer(url: str, version: int) -> DatabaseUnusable:
    return DatabaseUnusable(f"{shown(url)} was written by a newer ruvo (server schema version {version}; this one "
                            f"knows up to {SCHEMA_VERSION}): upgrade ruvo to use it")


def ensure_schema(connection: "psycopg.Connection", url: str) -> None:
    version = _version(connection)
    if version == SCHEMA_VERSION:
        return
    if version is not None and version > SCHEMA_VERSION:
        raise _newer(url, version)
    with connection.transaction():
        # Concurrent first writers: one makes the schema, the others find it made.
        connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        version = _version(connection)
        if version is not None and version > SCHEMA_VERSION:
            raise _newer(url, version)
        if version != SCHEMA_VERSION:
            for statement in [*_SCHEMA, *_DICTIONARY_SCHEMA]:
                connection.execute(statement)
            connection.execute("DELETE FROM ruvo.schema_version")
            connection.execute("INSERT INTO ruvo.schema_version (version) VALUES (%s)", (SCHEMA_VERSION,))


# --- writing ----------------------------------------------------------------------------


class ServerStore:
    """This process's connection to one server, for saves (the same
    ``write`` as the SQLite store's, which batching and imports call)."""

    def __init__(self, url: str) -> None:
        self.url = url
        self.lock = threading.Lock()
        self._connection: Optional["psycopg.Connection"] = None
        self._schema_known = False  # made or checked on this connection
        self.dictionary = _WritingDictionary(url)
        self._down_until = 0.0
        self.failure: Optional[str] = None  # why the last save failed, in one line

    def write(self, rows: list[Row], timeout: float, hurry: Optional[threading.Event] = None, *,
              exact: bool = False, run_infos: Optional[Sequence[Optional[RunInfo]]] = None,
              index_values: bool = True, yield_to_tracing: bool = False) -> list[bool]:
        """Insert the rows in one transaction, or none (raises); whether each
        was new. ``run_infos``: each row's run (default: the current one);
        without ``index_values``, with no value index entries
        (:meth:`index_later` adds them)."""
        del hurry, exact  # waits are bounded by the lock timeout; every insert says whether it was new
        if yield_to_tracing:
            _wait_for_tracing()
        with self.lock:
            return self._work(lambda connection: _insert(connection, self.url, rows, timeout, run_infos,
                                                         self.dictionary, index_values))

    def index_later(self, trace_ids: list, timeout: float, hurry: Optional[threading.Event] = None) -> None:
        """Give the stored documents of ``trace_ids`` their value index
        entries, a few hundred documents a transaction."""
        postgres_index.index_later(self.run, self.url, trace_ids, timeout, hurry)

    def unindexed_documents(self, timeout: float) -> list[int]:
        """The documents without value index entries (the schema made first)."""
        del timeout
        return list(self.run(postgres_index.unindexed))

    def run(self, work: Any) -> Any:
        """``work(connection)`` on this store's connection, the schema made."""
        with self.lock:
            return self._work(work)

    def finish(self, key: str, values: tuple, timeout: float) -> None:
        def change(connection: "psycopg.Connection") -> None:
            with connection.transaction():
                connection.execute(f"SET LOCAL lock_timeout = {int(timeout * 1000)}")
                connection.execute("UPDATE ruvo.runs SET ended_at = %s, passed = %s, failed = %s, skipped = %s "
                                   "WHERE key = %s", (*values, key))

        with self.lock:
            self._work(change)

    def _work(self, work: Any) -> Any:
        psycopg = _psycopg()
        for attempt in (1, 2):
            reused = self._connection is not None
            connection = self._connect()
            try:
                if not self._schema_known:
                    ensure_schema(connection, self.url)
                    self._schema_known = True
                    # Asked again on a new connection: the server may be another one now.
                    self.dictionary.forget()
                result = work(connection)
                self.failure = None
                return result
            except psycopg.OperationalError as error:
                lost = connection.broken or connection.closed
                self.close()
                # A connection kept from an earlier save may have been closed by
                # the server since (a restart): one more try on a new one.
                if reused and lost and attempt == 1:
                    continue
                self.failure = f"the trace database {shown(self.url)} failed: {_one_line(error)}"
                raise DatabaseUnusable(self.failure) from None
            except psycopg.Error as error:
                self.close()
                self.failure = f"the trace database {shown(self.url)} refused the save: {_one_line(error)}"
                raise DatabaseUnusable(self.failure) from None
            except BaseException:
                self.close()
                raise
        raise AssertionError("unreachable")

    def _connect(self) -> "psycopg.Connection":
        if self._connection is not None and not self._connection.closed:
            return self._connection
        if time.monotonic() < self._down_until and self.failure:
            raise Unreachable(self.failure)
        try:
            self._connection = connect(self.url)
        except Unreachable as error:
            self._down_until = time.monotonic() + DOWN_SECONDS
            self.failure = str(error)
            raise
        return self._connection

    def close(self) -> None:
        connection, self._connection, self._schema_known = self._connection, None, False
        if connection is not None:
            try:
                connection.close()
            except Exception:
                pass


_stores: dict[tuple[int, str], ServerStore] = {}
_stores_lock = threading.Lock()


def server_store(url: str) -> ServerStore:
    key = (os.getpid(), url)
    with _stores_lock:
        store = _stores.get(key)
        if store is None:
            store = _stores[key] = ServerStore(url)
        return store


def last_failure(url: str) -> Optional[str]:
    """Why this process's last save to the server failed, if it did."""
    store = _stores.get((os.getpid(), url))
    return store.failure if store is not None else None


class DocumentTooBig(ValueError):
    pass


# While a server has no dictionary, a writer asks again after this many
# documents; twice as many after each time its documents taught nothing (so
# that they are not read back all the time).
_ASK_EVERY = codec.DICTIONARY_SAMPLES // 4
_ASK_AT_MOST_EVERY = 64 * codec.DICTIONARY_SAMPLES


class _WritingDictionary:
    """The dictionary one process compresses its documents for a server
    with. The server is asked for it on each new connection and, while it
    has none, every few dozen documents (one query); once it holds enough
    documents, whichever writer asks first trains one on them, so that the
    many small writers of a suite under xdist, or of many machines, count
    together."""

    def __init__(self, url: str) -> None:
        self.url = url
        self.current: codec.Current = None
        self._due = 0  # documents to write before the server is asked again
        self._every = _ASK_EVERY

    def forget(self) -> None:
        self.current, self._due, self._every = None, 0, _ASK_EVERY

    def _failed(self) -> None:
        self._every = self._due = min(self._every * 2, _ASK_AT_MOST_EVERY)

    def for_documents(self, connection: "psycopg.Connection", count: int) -> codec.Current:
        if self.current is None:
            self._due -= count
            if self._due <= 0:
                self._due = self._every
                self.current = _newest_dictionary(connection) or _train_dictionary(connection, self._failed)
                if self.current is not None:
                    _known_dictionaries[(self.url, self.current[0])] = self.current[1].as_bytes()
        return self.current


def _newest_dictionary(connection: "psycopg.Connection") -> codec.Current:
    with connection.cursor(binary=True) as cursor:
        row = cursor.execute("SELECT id, data FROM ruvo.codec_dictionaries ORDER BY id DESC LIMIT 1").fetchone()
    return None if row is None else (int(row[0]), codec.load_dictionary(bytes(row[1])))


_SAMPLES = ("FROM ruvo.trace_documents WHERE size <= %s AND (codec IS NULL OR codec = %s) "
            "ORDER BY id DESC LIMIT %s")


def _train_dictionary(connection: "psycopg.Connection", untaught: Callable[[], None]) -> codec.Current:
    """Train a dictionary on the server's latest documents, once it holds
    enough, and store it: one writer at a time (the others go on without
    one, and find it at their next look)."""
    sample = (codec.SAMPLE_MAX_BYTES, codec.CODEC, codec.DICTIONARY_SAMPLES)
    (count, total) = connection.execute(f"SELECT count(*), COALESCE(sum(size), 0)::bigint "
                                        f"FROM (SELECT size {_SAMPLES}) AS latest", sample).fetchone() or (0, 0)
    if not codec.sample_enough(int(count), int(total)):
        return None
    with connection.transaction():
        (mine,) = connection.execute("SELECT pg_try_advisory_xact_lock(%s)", (_DICTIONARY_LOCK,)).fetchone() or (False,)
        if not mine:
            return None
        newest = _newest_dictionary(connection)  # made by another writer meanwhile
        if newest is not None:
            return newest
        samples: list[bytes] = []
        with connection.cursor(binary=True) as cursor:
            for stored, name in cursor.execute(f"SELECT document, codec {_SAMPLES}", sample):
                try:
                    samples.append(codec.decompress(bytes(stored), name))
                except codec.CodecError:
                    continue  # a damaged document teaches nothing
                if sum(map(len, samples)) >= codec.SAMPLES_BYTES:
                    break
        dictionary = codec.train(samples)
        if dictionary is None:
            untaught()
            return None
        (number,) = connection.execute("INSERT INTO ruvo.codec_dictionaries (made_at, data) VALUES (%s, %s) "
                                       "RETURNING id", (time.time(), dictionary.as_bytes())).fetchone() or (None,)
    return int(number), dictionary


def _run_row(connection: "psycopg.Connection", info: RunInfo, ended: tuple = (None, None, None, None)) -> int:
    found = connection.execute(
        "INSERT INTO ruvo.runs (key, started_at, kind, command, git_commit, pid, ended_at, passed, failed, skipped) "
        "VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, %s) ON CONFLICT (key) DO NOTHING RETURNING id",
        (info.key, info.started_at, info.kind, info.command, info.commit, os.getpid(), *ended)).fetchone()
    if found is None:
        # Made by another writer of the same run (an xdist worker), or earlier.
        found = connection.execute("SELECT id FROM ruvo.runs WHERE key = %s", (info.key,)).fetchone()
    assert found is not None
    return int(found[0])


def _insert(connection: "psycopg.Connection", url: str, rows: list[Row], timeout: float,
            run_infos: Optional[Sequence[Optional[RunInfo]]], dictionary: _WritingDictionary,
            index_values: bool = True) -> list[bool]:
    values = []
    current_dictionary = dictionary.for_documents(connection, len(rows))
    compressed = codec.compress_all_with(url, current_dictionary, [row.document for row in rows])
    for row, (stored, codec_name) in zip(rows, compressed):
        summary = summarize(row.document) if row.summary is LATER else row.summary
        assert summary is None or isinstance(summary, Summary)
        if len(stored) > MAX_DOCUMENT_BYTES:
            raise DocumentTooBig(f"trace {row.trace_id} is too big for a PostgreSQL value: {len(stored)} bytes "
                                 f"compressed, over its 1 GB; keep it in a SQLite database instead")
        columns = (None,) * 7 if summary is None else (
            summary.started_at, summary.source, summary.test_nodeid, summary.records, summary.threads,
            summary.left_out, summary.outcome)
        values.append([row.trace_id, row.saved_at, *columns, len(row.document), stored,
                       hashlib.sha256(row.document).digest(), None, codec_name, len(stored)])
    new: list[bool] = []
    with connection.transaction():
        connection.execute(f"SET LOCAL lock_timeout = {max(int(timeout * 1000), 1)}")
        run_ids: dict[str, int] = {}
        current = runs.current_run(url)
        for index, info in enumerate(run_infos or [None] * len(rows)):
            info = info or current
            if info.key not in run_ids:
                run_ids[info.key] = _run_row(connection, info)
            values[index][12] = run_ids[info.key]
        inserted: list[tuple[int, bytes, int]] = []
        if values:
            with connection.cursor() as cursor:
                cursor.executemany(_INSERT, values, returning=True)
                while True:
                    found = cursor.fetchone()
                    new.append(found is not None)
                    if found is not None:
                        inserted.append((int(found[0]), rows[len(new) - 1].document, len(values[len(new) - 1][10])))
                    if not cursor.nextset():
                        break
        if index_values:
            # In the same transaction: no document without its entries.
            postgres_index.index_new(connection, runs.max_bytes_of(url), inserted)
        # The run stored into last is spared (an import's may be an old one).
        spared = values[-1][12] if values else run_ids.get(current.key)
        removed = _enforce_cap(connection, runs.max_bytes_of(url), spared)
    if removed.traces or removed.runs:
        from .store import _count_removed

        _count_removed(removed)
    return new


# How long a writer thread's batch may wait, in all, for the program to stop
# tracing its allocations (as the SQLite store's does).
_TRACED_WAIT = 1.0


def _wait_for_tracing() -> None:
    import tracemalloc

    # A writer thread's allocations count as the program's while it traces
    # them (tracemalloc sees every thread): compressing waits, a bounded time.
    patience = time.monotonic() + _TRACED_WAIT
    while tracemalloc.is_tracing() and time.monotonic() < patience:
        time.sleep(0.01)


# --- retention --------------------------------------------------------------------------


def _used_bytes(connection: "psycopg.Connection") -> int:
    """The documents' bytes, and what the value index weighs beside them."""
    (used,) = connection.execute(
        "SELECT COALESCE(SUM(COALESCE(stored, size)), 0)::bigint FROM ruvo.trace_documents").fetchone() or (0,)
    indexed = (_version(connection) or 0) >= 2
    return int(used) + (postgres_index.index_bytes(connection) if indexed else 0)


def hold_retention(connection: "psycopg.Connection") -> None:
    """Take retention's lock for the transaction: no document is removed
    until it ends (and none of its own is removed by another writer)."""
    connection.execute("SELECT pg_advisory_xact_lock(%s)", (_RETENTION_LOCK,))


def _delete_documents(connection: "psycopg.Connection", where: str, args: tuple) -> tuple[int, int]:
    """Delete the documents that match: how many traces lost all their
    documents, and the bytes removed."""
    gone = connection.execute(
        f"DELETE FROM ruvo.trace_documents {where} RETURNING trace_id, COALESCE(stored, size), id", args).fetchall()
    if not gone:
        return 0, 0
    # Their value index entries go with them.
    entries = postgres_index.delete_entries(connection, [int(document_id) for _, _, document_id in gone])
    ids = sorted({trace_id for trace_id, _, _ in gone})
    (left,) = connection.execute("SELECT count(DISTINCT trace_id) FROM ruvo.trace_documents WHERE trace_id = ANY(%s)",
                                 (ids,)).fetchone() or (0,)
    return len(ids) - int(left), sum(int(size) for _, size, _ in gone) + entries * postgres_index.ENTRY_BYTES


def _runs_oldest_first(connection: "psycopg.Connection") -> list[Optional[int]]:
    found: list[Optional[int]] = []
    if connection.execute("SELECT 1 FROM ruvo.trace_documents WHERE run_id IS NULL LIMIT 1").fetchone():
        found.append(None)
    # Documents whose run another writer's retention removed meanwhile count as that run.
    found += [run for (run,) in connection.execute(
        "SELECT id FROM ruvo.runs UNION SELECT DISTINCT run_id FROM ruvo.trace_documents WHERE run_id IS NOT NULL "
        "ORDER BY 1")]
    return found


def _remove_run(connection: "psycopg.Connection", run: Optional[int]) -> tuple[Removed, int]:
    if run is None:
        traces, freed = _delete_documents(connection, "WHERE run_id IS NULL", ())
        return Removed(traces, 0), freed
    traces, freed = _delete_documents(connection, "WHERE run_id = %s", (run,))
    connection.execute("DELETE FROM ruvo.runs WHERE id = %s", (run,))
    return Removed(traces, 1), freed


def _enforce_cap(connection: "psycopg.Connection", max_bytes: Optional[int], current_run: Optional[int], *,
                 target: Optional[int] = None) -> Removed:
    if max_bytes is None or _used_bytes(connection) <= max_bytes:
        return Removed()
    # One writer prunes at a time; the others find the room made.
    hold_retention(connection)
    used = _used_bytes(connection)
    target = int(max_bytes * _PRUNE_TO) if target is None else target
    removed = Removed()
    if used <= max_bytes:
        return removed
    for run in _runs_oldest_first(connection):
        if run == current_run and run is not None:
            continue
        gone, freed = _remove_run(connection, run)
        removed, used = removed + gone, used - freed
        if used <= target:
            return removed
    if current_run is None:
        return removed
    # The current run alone is over the cap: passing tests' traces first,
    # then failed ones, oldest first.
    for condition in ("AND (outcome IS NULL OR outcome != 'failed')", "AND outcome = 'failed'"):
        while used > target:
            batch = [row for (row,) in connection.execute(
                f"SELECT id FROM ruvo.trace_documents WHERE run_id = %s {condition} ORDER BY id LIMIT 64",
                (current_run,))]
            if not batch:
                break
            traces, freed = _delete_documents(connection, "WHERE id = ANY(%s)", (batch,))
            removed, used = removed + Removed(traces, 0), used - freed
    return removed


def prune(url: str, *, keep_runs: Optional[int] = None, max_bytes: Optional[int] = None,
          older_than: Optional[float] = None, timeout: float = 60.0) -> tuple[Removed, int]:
    """``ruvo prune`` on a server: as for SQLite; the bytes given back are
    those of the documents removed (the server reuses the room itself)."""
    with _reading(url) as connection:
        ensure_schema(connection, url)  # a version 1 server's entries' tables, which retention deletes from
    with _reading(url) as connection, connection.transaction():
        connection.execute(f"SET LOCAL lock_timeout = {max(int(timeout * 1000), 1)}")
        hold_retention(connection)
        before = _used_bytes(connection)
        all_runs = _runs_oldest_first(connection)
        doomed: list[Optional[int]] = []
        if keep_runs is not None:
            doomed += all_runs[: max(len(all_runs) - keep_runs, 0)]
        if older_than is not None:
            cutoff = time.time() - older_than
            old = {run for (run,) in connection.execute("SELECT id FROM ruvo.runs WHERE started_at < %s", (cutoff,))}
            doomed += [run for run in all_runs if run in old]
        removed = Removed()
        for run in dict.fromkeys(doomed):
            removed += _remove_run(connection, run)[0]
        if max_bytes is not None:
            left = _runs_oldest_first(connection)
            removed += _enforce_cap(connection, max_bytes, left[-1] if left else None, target=max_bytes)
        return removed, max(before - _used_bytes(connection), 0)


def used_bytes(url: str) -> int:
    """Bytes of the documents stored (compressed)."""
    with _reading(url) as connection:
        return _used_bytes(connection)


def finish_run(url: str, *, passed: Optional[int] = None, failed: Optional[int] = None,
               skipped: Optional[int] = None, timeout: float = 60.0) -> None:
    info = runs.end_run(url)
    if info is not None:
        server_store(url).finish(info.key, (time.time(), passed, failed, skipped), timeout)


# --- reading ----------------------------------------------------------------------------

# One connection per server for this process's reads (a command makes several).
_readers: dict[tuple[int, str], "psycopg.Connection"] = {}
_readers_lock = threading.Lock()


@contextlib.contextmanager
def _reading(url: str) -> Iterator["psycopg.Connection"]:
    """A connection to a server that holds ruvo's tables; raises
    :class:`TraceNotFound` when it has none yet and :class:`DatabaseUnusable`
    when it cannot be reached or read."""
    psycopg = _psycopg()
    key = (os.getpid(), url)
    with _readers_lock:
        connection = _readers.pop(key, None)
    if connection is not None:
        try:
            _version(connection)
        except psycopg.Error:
            # Closed by the server since (a restart): a new one.
            connection.close()
            connection = None
    if connection is None:
        connection = connect(url)
    try:
        version = _version(connection)
        if version is None:
            raise TraceNotFound(f"no traces in {shown(url)}")
        if version > SCHEMA_VERSION:
            raise _newer(url, version)
        yield connection
    except psycopg.Error as error:
        connection.close()
        raise DatabaseUnusable(f"cannot read the trace database {shown(url)}: {_one_line(error)}") from None
    except BaseException:
        connection.close()
        raise
    with _readers_lock:
        old = _readers.pop(key, None)
        _readers[key] = connection
    if old is not None:
        old.close()


def list_traces(url: str, limit: Optional[int] = None, *, run: Optional[int] = None) -> list[TraceRow]:
    with _reading(url) as connection:
        sql, args = f"SELECT {_ROW_COLUMNS} FROM ruvo.trace_documents", []
        if run is not None:
            sql += " WHERE run_id = %s"
            args.append(run)
        sql += " ORDER BY id DESC"
        if limit is not None:
            sql += " LIMIT %s"
            args.append(limit)
        return [TraceRow(*row) for row in connection.execute(sql, args).fetchall()]


def list_runs(url: str, limit: Optional[int] = None) -> list["RunRow"]:
    from .reading import RunRow

    with _reading(url) as connection:
        sql = ("SELECT runs.id, runs.started_at, ended_at, kind, command, git_commit, passed, failed, skipped, "
               "COUNT(DISTINCT d.trace_id), COALESCE(SUM(COALESCE(d.stored, d.size)), 0)::bigint "
               "FROM ruvo.runs LEFT JOIN ruvo.trace_documents d ON d.run_id = runs.id "
               "GROUP BY runs.id ORDER BY runs.id DESC")
        rows = connection.execute(sql + " LIMIT %s", (limit,)) if limit is not None else connection.execute(sql)
        return [RunRow(*row) for row in rows.fetchall()]


def stored_trace_ids(url: str, trace_ids: set, *, left_out: bool = False) -> set:
    if not trace_ids:
        return set()
    with _reading(url) as connection:
        condition = " AND left_out IS NOT NULL" if left_out else ""
        return {trace_id for (trace_id,) in connection.execute(
            "SELECT DISTINCT trace_id FROM ruvo.trace_documents WHERE trace_id = ANY(%s)" + condition,
            (sorted(trace_ids),))}


def trace_size(url: str, trace_id: str) -> Optional[int]:
    with _reading(url) as connection:
        (size,) = connection.execute("SELECT SUM(size)::bigint FROM ruvo.trace_documents WHERE trace_id = %s",
                                     (trace_id,)).fetchone() or (None,)
        return None if size is None else int(size)


def left_out_message(url: str, trace_id: str) -> Optional[str]:
    with _reading(url) as connection:
        row = connection.execute("SELECT left_out FROM ruvo.trace_documents WHERE trace_id = %s AND left_out IS NOT "
                                 "NULL LIMIT 1", (trace_id,)).fetchone()
        return row[0] if row else None


def latest_trace_id(url: str) -> str:
    with _reading(url) as connection:
        row = connection.execute("SELECT trace_id FROM ruvo.trace_documents ORDER BY id DESC LIMIT 1").fetchone()
    if row is None:
        raise TraceNotFound(f"no traces in {shown(url)}")
    return str(row[0])


def latest_trace_id_of_test(url: str, nodeid: str, *, outcome: Optional[str] = None,
                            run: Optional[int] = None) -> str:
    with _reading(url) as connection:
        sql = "SELECT trace_id FROM ruvo.trace_documents WHERE test_nodeid = %s"
        args: list[object] = [nodeid]
        for column, wanted in (("outcome", outcome), ("run_id", run)):
            if wanted is not None:
                sql += f" AND {column} = %s"
                args.append(wanted)
        row = connection.execute(sql + " ORDER BY id DESC LIMIT 1", args).fetchone()
    if row is None:
        which = {"passed": "passing ", "failed": "failing "}.get(outcome or "", f"{outcome} " if outcome else "")
        where = f" of run {run}" if run is not None else ""
        raise TraceNotFound(f"no {which}trace of test {nodeid}{where} in {shown(url)}")
    return str(row[0])


# The dictionaries read (or written) in this process, by server and id:
# never changed once stored, so never read twice.
_known_dictionaries: dict[tuple[str, int], bytes] = {}


def _fetch_dictionaries(connection: "psycopg.Connection", url: str, names: set[Optional[str]]) -> None:
    wanted = []
    for name in names:
        try:
            number = codec.dictionary_id(name) if name is not None else None
        except codec.CodecError:
            continue  # a codec this version does not know: said when the document is read
        if number is not None and (url, number) not in _known_dictionaries:
            wanted.append(number)
    _fetch_by_id(connection, url, wanted)


def _fetch_by_id(connection: "psycopg.Connection", url: str, numbers: list[int]) -> None:
    if numbers:
        with connection.cursor(binary=True) as cursor:
            for number, data in cursor.execute("SELECT id, data FROM ruvo.codec_dictionaries WHERE id = ANY(%s)",
                                               (numbers,)):
                _known_dictionaries[(url, int(number))] = bytes(data)


def dictionaries_of(connection: "psycopg.Connection", url: str) -> codec.DictionaryLookup:
    """The server's dictionaries, each read through this connection the
    first time this process needs it."""
    known = _lookup(url)

    def lookup(number: int) -> bytes:
        if (url, number) not in _known_dictionaries:
            _fetch_by_id(connection, url, [number])
        return known(number)

    return lookup


def _lookup(url: str) -> codec.DictionaryLookup:
    def lookup(number: int) -> bytes:
        data = _known_dictionaries.get((url, number))
        if data is None:
            raise codec.CodecError(f"its dictionary {number} is missing from the database")
        return data

    return lookup


def _stored_documents(url: str, trace_id: str) -> list[tuple[bytes, Optional[str]]]:
    with _reading(url) as connection:
        with connection.cursor(binary=True) as cursor:
            rows = cursor.execute("SELECT document, codec FROM ruvo.trace_documents WHERE trace_id = %s ORDER BY id",
                                  (trace_id,)).fetchall()
        _fetch_dictionaries(connection, url, {name for _, name in rows})
    if not rows:
        raise TraceNotFound(f"no trace {trace_id} in {shown(url)}")
    return [(bytes(document), name) for document, name in rows]


def load_documents(url: str, trace_id: str) -> list[bytes]:
    documents = []
    for stored, name in _stored_documents(url, trace_id):
        try:
            documents.append(codec.decompress(stored, name, _lookup(url)))
        except codec.CodecError as error:
            raise TraceDamaged(f"trace {trace_id} is damaged: a document does not decompress ({error})") from None
    return documents


@contextlib.contextmanager
def open_documents(url: str, trace_id: Optional[str] = None) -> Iterator[list[Any]]:
    """The documents as binary files. A server's document comes whole (a
    bytea value is sent in one piece), and is decompressed as it is read."""
    if trace_id is None:
        trace_id = latest_trace_id(url)
    readers: list[Any] = []
    for stored, name in _stored_documents(url, trace_id):
        raw = io.BytesIO(stored)
        if name is None:
            readers.append(raw)
            continue
        try:
            readers.append(codec.DecompressingReader(raw, name, _lookup(url)))
        except codec.CodecError as error:
            raise TraceDamaged(f"trace {trace_id} is damaged: a document does not decompress ({error})") from None
    yield readers


# --- pushing a local database -----------------------------------------------------------

# Documents sent in one transaction, at most: a few MB keep each quick.
_PUSH_BYTES = 8 * 2**20
_PUSH_ROWS = 500


def push_sqlite(url: str, sqlite_path: "str | os.PathLike[str]", *, timeout: float = 60.0) -> tuple[int, int]:
    """Store every document of a local SQLite trace database on the server,
    with its run, each at most once: returns how many were new and how many
    were there already (an earlier push)."""
    from .reading import _has_column, _open_for_reading, load_documents

    connection = _open_for_reading(sqlite_path)
    try:
        infos: dict[Optional[int], RunInfo] = {}
        ends: dict[str, tuple] = {}
        if "runs" in {name for (name,) in connection.execute("SELECT name FROM sqlite_master")}:
            for run, key, started_at, kind, command, commit, *end in connection.execute(
                    "SELECT id, key, started_at, kind, command, git_commit, ended_at, passed, failed, skipped "
                    "FROM runs"):
                infos[run] = RunInfo(key, kind, command, commit, started_at)
                if end[0] is not None:
                    ends[key] = tuple(end)
        has_run = _has_column(connection, "run_id")
        rows = connection.execute(f"SELECT trace_id, saved_at, {'run_id' if has_run else 'NULL'} "
                                  "FROM trace_documents ORDER BY id").fetchall()
    finally:
        connection.close()
    # Documents saved before runs were kept (or whose run was removed) go
    # into one run of their own, the same at every push of this file.
    origin = hashlib.sha256(os.path.abspath(sqlite_path).encode()).hexdigest()[:16]
    without_run = RunInfo(f"pushed-{origin}", "pushed", f"ruvo push {sqlite_path}", None,
                          min((saved_at for _, saved_at, _ in rows), default=time.time()))
    by_trace: dict[str, list[tuple[float, Optional[int]]]] = {}
    for trace_id, saved_at, run in rows:
        by_trace.setdefault(trace_id, []).append((saved_at, run))
    store, new, old = server_store(url), 0, 0
    batch: list[Row] = []
    batch_infos: list[Optional[RunInfo]] = []
    batch_bytes = 0

    def send() -> None:
        nonlocal new, old, batch, batch_infos, batch_bytes
        if batch:
            fresh = store.write(batch, timeout, run_infos=batch_infos)
            new += sum(fresh)
            old += len(fresh) - sum(fresh)
        batch, batch_infos, batch_bytes = [], [], 0

    for trace_id, saved in by_trace.items():
        for document, (saved_at, run) in zip(load_documents(sqlite_path, trace_id), saved):
            batch.append(Row(trace_id, saved_at, LATER, document))
            batch_infos.append(infos.get(run, without_run))
            batch_bytes += len(document)
            if batch_bytes >= _PUSH_BYTES or len(batch) >= _PUSH_ROWS:
                send()
    send()
    # How the runs ended, as the local database knows it.
    for key, end in ends.items():
        store.finish(key, end, timeout)
    return new, old
