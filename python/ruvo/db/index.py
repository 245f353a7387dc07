"""The index of recorded values that ``ruvo find`` answers from.

Each document is indexed as it is stored, in the same transaction: per
recorded call, the entries :mod:`ruvo.search` searches (scalar and short
string arguments, locals and return value, strings a few levels inside
containers), with the call's function.  Retention removes a document's
entries with it.

What it costs and where it stops:

- per document at most :data:`MAX_ENTRIES` entries, and no more than
  weigh about half what the document weighs compressed (:func:`entries_for`:
  the index adds at most about half to the database), read from the first
  :data:`MAX_BYTES` of the document; a document cut short says so in its
  ``value_index_documents`` row, and ``ruvo find`` says how many were;
- per database at most :data:`SHARE` of its size cap (about
  :data:`ENTRY_BYTES` bytes an entry, in a table clustered by document and
  call, with no index of values: a search reads the whole table, which
  costs less than the index would weigh):
  past that, documents are stored without entries, marked so;
- building it reads the document once more (``benchmarks/find_bench.py``
  measures how long per MB and per record).

A PostgreSQL server keeps the same entries, with the same bounds, in
tables of its own (:mod:`.postgres_index`).

Documents saved before the index existed (schema 5 and older) have no row
in ``value_index_documents``: ``ruvo find`` scans them in full, and
``ruvo find --reindex`` indexes them.
"""

from __future__ import annotations

import functools
import sqlite3
from dataclasses import dataclass, field
from typing import BinaryIO, Callable, Iterable, Iterator, Optional

import msgpack

from .. import search
from ..decode import Object, Typed, _ext_hook

MAX_ENTRIES = 20_000
# A document's entries weigh at most about half what the document weighs on
# disk (compressed), and a small one still gets this many.
MIN_ENTRIES = 400
MAX_BYTES = 32 * 2**20
SHARE = 0.25
ENTRY_BYTES = 40

# Stored documents bigger than this (a few hundred KiB decompressed) are
# indexed as they are decompressed, a piece of this size at a time.
_STREAM_FROM = 32 * 2**10
_READ_BYTES = 64 * 2**10

CUT_ENTRIES = f"values past its first {MAX_ENTRIES:,} entries are not indexed"
CUT_BYTES = f"values past its first {MAX_BYTES // 2**20} MiB are not indexed"
CUT_FULL = "not indexed: the database's index is at its share of the size cap"
CUT_WEIGHT = "values past the entries that weigh half what the trace weighs stored are not indexed"
CUT_UNREADABLE = "not indexed: it does not decode"


@dataclass
class Indexed:
    """A document's entries, ready to insert."""

    functions: list[tuple[str, str]] = field(default_factory=list)  # (qualname, path), by position
    rows: list[tuple[int, int, str, int, object]] = field(default_factory=list)  # call, function, name, kind, value
    calls: int = 0
    cut: Optional[str] = None


def _frame_records(unpacker: msgpack.Unpacker) -> Iterator[dict]:
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest" or key == "frames":
            for _ in range(1 if key == "frames_of_interest" else unpacker.read_map_header()):
                if key == "frames":
                    unpacker.skip()
                for _ in range(unpacker.read_array_header()):
                    record = unpacker.unpack()
                    if record.__class__ is dict and record.get("type") == "frame":
                        yield record
        else:
            unpacker.skip()


# Decoded objects kept per document, and the largest payload kept.
_REMEMBERED = 4096
_REMEMBERED_BYTES = 64 * 2**10


def _remembering_ext_hook() -> Callable[[int, bytes], object]:
    """The decoder's hook for extension types, for one document: a trace
    records the same objects again and again (a method's ``self``), and
    decoding one from Python costs more than looking its bytes up. What
    it gives is only read."""
    remembered: dict[tuple[int, bytes], object] = {}

    def hook(code: int, data: bytes) -> object:
        if len(data) > _REMEMBERED_BYTES:
            return _ext_hook(code, data)  # not worth hashing
        key = (code, data)
        found = remembered.get(key, remembered)
        if found is remembered:
            found = _ext_hook(code, data)
            if len(remembered) < _REMEMBERED:
                remembered[key] = found
        return found

    return hook


def _remembering_nested_strings() -> search.NestedStrings:
    """The strings inside a value, for one document: an object the hook
    above gave before is the same object again, whose strings are looked up
    rather than found anew (each is held, so that its id is not reused)."""
    remembered: dict[int, tuple[object, list[str]]] = {}

    def nested_strings(value: object) -> Iterable[str]:
        if value.__class__ is not Object and value.__class__ is not Typed:
            return search._nested_strings(value)
        found = remembered.get(id(value))
        if found is not None and found[0] is value:
            return found[1]
        strings = list(search._nested_strings(value))
        if len(remembered) < _REMEMBERED:
            remembered[id(value)] = (value, strings)
        return strings

    return nested_strings


def entries_for(stored_bytes: int) -> int:
    """The entries a document of ``stored_bytes`` on disk may have."""
    return min(MAX_ENTRIES, max(MIN_ENTRIES, stored_bytes // (2 * ENTRY_BYTES)))


def index_document(document: bytes | BinaryIO, room: int = MAX_ENTRIES, stored_bytes: Optional[int] = None) -> Indexed:
    """The entries of an encoded document, whole or as a file read only as
    far as its entries go, at most ``room`` of them (and
    :data:`MAX_ENTRIES`, or what its ``stored_bytes`` allow)."""
    out = Indexed()
    if room <= 0:
        out.cut = CUT_FULL
        return out
    own = MAX_ENTRIES if stored_bytes is None else entries_for(stored_bytes)
    reason = CUT_FULL if room < own else (CUT_ENTRIES if own == MAX_ENTRIES else CUT_WEIGHT)
    room = min(room, own)
    functions: dict[tuple[str, str], int] = {}
    nested_strings = _remembering_nested_strings()
    options = dict(raw=False, strict_map_key=False, ext_hook=_remembering_ext_hook(), unicode_errors="replace")
    if isinstance(document, (bytes, bytearray, memoryview)):
        unpacker = msgpack.Unpacker(**options, max_buffer_size=max(len(document), 1))
        unpacker.feed(document)
    else:
        # One record may be as big as the document: the buffer may grow as far as msgpack lets it.
        unpacker = msgpack.Unpacker(document, **options, read_size=_READ_BYTES, max_buffer_size=2**31 - 1)
    open_calls: dict[object, tuple[int, dict]] = {}
    ordinal = 0

    def add(number: int, call: Optional[dict], ret: Optional[dict]) -> bool:
        record = call if call is not None else ret
        assert record is not None
        qualname = record.get("qualname") or record.get("co_name") or "?"
        key = (str(qualname), str(record.get("path") or "?"))
        function = functions.get(key)
        if function is None:
            function = functions[key] = len(functions)
        entries = search.record_entries(call, ret, nested_strings)
        if len(out.rows) + len(entries) > room:
            out.cut = reason
            return False
        out.rows.extend((number, function, entry.name, entry.kind, entry.value) for entry in entries)
        out.calls += 1
        return True

    try:
        for record in _frame_records(unpacker):
            event = record.get("event")
            if event == "call":
                open_calls[record.get("frame_id")] = (ordinal, record)
                ordinal += 1
            elif event == "return":
                opened = open_calls.pop(record.get("frame_id"), None)
                if opened is not None:
                    number, call = opened
                else:
                    number, call = ordinal, None
                    ordinal += 1
                if not add(number, call, record):
                    break
            if unpacker.tell() > MAX_BYTES:
                out.cut = CUT_BYTES
                break
        if out.cut is None:
            for number, call in sorted(open_calls.values(), key=lambda item: item[0]):
                if not add(number, call, None):
                    break
    except Exception:
        # A document the store keeps all the same (it keeps undecodable
        # ones): what was read so far stays indexed.
        out.cut = out.cut or CUT_UNREADABLE
    out.functions = sorted(functions, key=functions.__getitem__)
    return out


def room_left(connection: sqlite3.Connection, max_bytes: Optional[int]) -> int:
    """Entries the database's index may still take."""
    from .runs import DEFAULT_MAX_BYTES

    cap = int((max_bytes if max_bytes is not None else DEFAULT_MAX_BYTES) * SHARE) // ENTRY_BYTES
    (held,) = connection.execute("SELECT COALESCE(SUM(entries), 0) FROM value_index_documents").fetchone()
    return max(cap - int(held), 0)


def store_index(connection: sqlite3.Connection, document_id: int, indexed: Indexed,
                function_ids: Optional[dict[tuple[str, str], int]] = None) -> None:
    """Insert a document's entries (inside the caller's transaction);
    ``function_ids`` caches the functions' ids across documents."""
    store_many(connection, [(document_id, indexed)], {} if function_ids is None else function_ids)


def store_many(connection: sqlite3.Connection, documents: list[tuple[int, Indexed]],
               function_ids: dict[tuple[str, str], int]) -> None:
    """Insert the entries of several documents at once: a test suite's
    traces are small and many, and a statement per entry would cost more
    than building the entries did."""
    entries: list[tuple] = []
    for document_id, indexed in documents:
        ids = []
        for key in indexed.functions:
            function_id = function_ids.get(key)
            if function_id is None:
                connection.execute("INSERT OR IGNORE INTO value_functions (qualname, path) VALUES (?, ?)", key)
                (function_id,) = connection.execute("SELECT id FROM value_functions WHERE qualname = ? AND path = ?",
                                                    key).fetchone()
                function_ids[key] = function_id
            ids.append(function_id)
        entries.extend((document_id, call, seq, ids[function], name, kind, value)
                       for seq, (call, function, name, kind, value) in enumerate(indexed.rows))
    connection.executemany(
        "INSERT INTO value_index (document_id, call, seq, function, name, kind, value) VALUES (?, ?, ?, ?, ?, ?, ?)",
        entries)
    connection.executemany("INSERT OR REPLACE INTO value_index_documents (document_id, calls, entries, cut) "
                           "VALUES (?, ?, ?, ?)",
                           [(document_id, indexed.calls, len(indexed.rows), indexed.cut)
                            for document_id, indexed in documents])


def index_stored(connection: sqlite3.Connection, document_id: int, document: bytes, room: int,
                 stored_bytes: Optional[int] = None) -> int:
    """Index a stored document unless it is indexed already; returns the
    entries it took."""
    if connection.execute("SELECT 1 FROM value_index_documents WHERE document_id = ?", (document_id,)).fetchone():
        return 0
    indexed = index_document(document, room, stored_bytes)
    store_index(connection, document_id, indexed)
    return len(indexed.rows)


def delete_entries(connection: sqlite3.Connection, where: str, args: tuple) -> None:
    """Remove the entries of the documents ``where`` selects (before the
    documents themselves go)."""
    select = f"SELECT id FROM trace_documents {where}"
    connection.execute(f"DELETE FROM value_index WHERE document_id IN ({select})", args)
    connection.execute(f"DELETE FROM value_index_documents WHERE document_id IN ({select})", args)


def forget_unused_functions(connection: sqlite3.Connection) -> None:
    connection.execute("DELETE FROM value_functions WHERE id NOT IN (SELECT function FROM value_index)")


# --- searching ------------------------------------------------------------------------


@dataclass(frozen=True)
class Hit:
    trace_id: str
    qualname: str
    path: str
    entries: list  # the search.Entry values that matched


@dataclass
class Found:
    """What a search found, and what it looked at."""

    hits: list[Hit]
    traces: int  # in the scope searched
    scanned: int  # of those, traces with documents not indexed, searched in full
    cut: int  # of those, traces whose index was cut short (or left out)
    cut_reasons: list[str]


def _candidates(query: search.Query) -> Optional[tuple[str, list]]:
    """SQL selecting the (document, call) pairs that may match, and its
    arguments; None when only the function narrows them."""
    selects: list[tuple[str, list]] = []
    for name, (kind, value) in search.conditions(query):
        if kind == search.NONE:
            selects.append(("SELECT document_id, call FROM value_index WHERE name = ? AND kind = ?", [name, kind]))
        else:
            selects.append(("SELECT document_id, call FROM value_index WHERE name = ? AND kind = ? AND value = ?",
                            [name, kind, value]))
    if query.text is not None:
        marks = ", ".join(str(kind) for kind in search.TEXT_KINDS)
        selects.append((f"SELECT document_id, call FROM value_index WHERE kind IN ({marks}) "
                        "AND instr(value, ?) > 0", [query.text]))
    if not selects:
        return None
    return (" INTERSECT ".join(select for select, _ in selects),
            [arg for _, select_args in selects for arg in select_args])


def allowed_functions(query: search.Query, names: dict[int, tuple[str, str]]) -> Optional[set[int]]:
    """The ids of the functions (id -> qualname, path) a ``--function``
    allows; None when the query names none."""
    if query.function is None:
        return None
    return {function_id for function_id, (qualname, path) in names.items()
            if search.function_matches(query.function, qualname, path)}


def search_index(connection: sqlite3.Connection, query: search.Query,
                 documents: dict[int, str]) -> list[Hit]:
    """The hits among the indexed ``documents`` (id -> trace id), newest
    document first, calls in order within one."""
    names = {function_id: (qualname, path) for function_id, qualname, path in
             connection.execute("SELECT id, qualname, path FROM value_functions")}
    functions = allowed_functions(query, names)
    if functions is not None and not functions:
        return []
    candidates = _candidates(query)
    calls: dict[tuple[int, int], list] = {}

    def gather(rows: Iterator[tuple]) -> None:
        for document_id, call, function, name, kind, value in rows:
            if document_id in documents:
                calls.setdefault((document_id, call), [function]).append(search.Entry(name, kind, value))

    if candidates is None:
        assert functions is not None
        wanted = sorted(functions)
        for start in range(0, len(wanted), 500):
            chunk = wanted[start : start + 500]
            gather(connection.execute(
                "SELECT document_id, call, function, name, kind, value FROM value_index WHERE function IN "
                f"({', '.join('?' * len(chunk))}) ORDER BY document_id, call, seq", chunk))
    else:
        sql, args = candidates
        gather(connection.execute(
            f"WITH hits(document_id, call) AS (SELECT DISTINCT * FROM ({sql})) SELECT v.document_id, v.call, "
            "v.function, v.name, v.kind, v.value FROM hits JOIN value_index v "
            "ON v.document_id = hits.document_id AND v.call = hits.call "
            "ORDER BY v.document_id, v.call, v.seq", args))
    return matching_calls(calls, query, functions, names, documents)


def matching_calls(calls: dict[tuple[int, int], list], query: search.Query, functions: Optional[set[int]],
                   names: dict[int, tuple[str, str]], documents: dict[int, str]) -> list[Hit]:
    """The hits among candidate calls ((document, call) -> [function id,
    *entries]), newest document first, calls in order within one."""
    if functions is not None:
        calls = {key: entries for key, entries in calls.items() if entries[0] in functions}
    hits = []
    for (document_id, _), (function, *entries) in sorted(calls.items(), key=lambda item: (-item[0][0], item[0][1])):
        matched = search.entries_match(entries, query)
        if matched is not None:
            qualname, path = names.get(function, ("?", "?"))
            hits.append(Hit(documents[document_id], qualname, path, matched))
    return hits


class Scope:
    """The documents a search covers, from rows of (document id, trace id,
    whether it is indexed, why its index was cut): the traces searched in
    full (any of whose documents is not indexed) and those answered from
    the index."""

    def __init__(self, rows: list) -> None:
        self.rows = rows
        self.unindexed = {trace_id for _, trace_id, has_index, _ in rows if not has_index}
        self.documents = {document_id: trace_id for document_id, trace_id, _, _ in rows
                          if trace_id not in self.unindexed}
        self.cut_traces: dict[str, str] = {}
        for _, trace_id, has_index, cut in rows:
            if has_index and cut is not None and trace_id not in self.unindexed:
                self.cut_traces.setdefault(trace_id, cut)

    def found(self, db_path, query: search.Query, hits: list[Hit]) -> Found:
        """The index's hits, then those of the traces searched in full."""
        # Traces the index does not hold, newest first after those it does.
        order = {trace_id: -document_id for document_id, trace_id, _, _ in self.rows}
        _scan(db_path, sorted(self.unindexed, key=order.__getitem__), query, hits)
        return Found(hits, len({trace_id for _, trace_id, _, _ in self.rows}), len(self.unindexed),
                     len(self.cut_traces), sorted(set(self.cut_traces.values())))


def scope_query(indexed: bool, run: Optional[int], test: Optional[str], *, mark: str = "?",
                schema: str = "") -> tuple[str, list]:
    """The query of the documents a search looks at, for either store
    (``mark`` its parameter mark, ``schema`` its tables' prefix): each
    document's id, trace, whether it is indexed and why it was cut short."""
    where: list[str] = []
    args: list[object] = []
    for column, wanted in (("run_id", run), ("test_nodeid", test)):
        if wanted is not None:
            where.append(f"d.{column} = {mark}")
            args.append(wanted)
    join = f"LEFT JOIN {schema}value_index_documents i ON i.document_id = d.id" if indexed else ""
    columns = "i.document_id IS NOT NULL, i.cut" if indexed else "1 = 0, NULL"
    return (f"SELECT d.id, d.trace_id, {columns} FROM {schema}trace_documents d {join}"
            + (f" WHERE {' AND '.join(where)}" if where else ""), args)


def find(db_path, query: search.Query, *, run: Optional[int] = None, test: Optional[str] = None) -> Found:
    """Search the database: from the index, and in full the traces with
    documents the index does not hold."""
    from ..config import is_server_url
    from .reading import _open_for_reading

    if is_server_url(db_path):
        from . import postgres_index

        return postgres_index.find(db_path, query, run=run, test=test)
    connection = _open_for_reading(db_path)
    try:
        tables = {name for (name,) in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        indexed = "value_index_documents" in tables
        rows = connection.execute(*scope_query(indexed, run, test)).fetchall()
        scope = Scope(rows)
        hits = search_index(connection, query, scope.documents) if indexed and scope.documents else []
    finally:
        connection.close()
    return scope.found(db_path, query, hits)


def _scan(db_path, trace_ids: list, query: search.Query, hits: list[Hit]) -> None:
    """Search traces in full, in the order given, adding their hits."""
    from ..model import trace_of
    from .reading import load_trace

    for trace_id in trace_ids:
        trace = trace_of(load_trace(db_path, trace_id))
        for call in trace.calls():
            if query.function is not None and not search.function_matches(query.function, call.name, call.path):
                continue
            matched = search.entries_match(search.call_entries(call), query)
            if matched is not None:
                hits.append(Hit(trace_id, call.name, call.path, matched))


def unindexed_documents(db_path) -> list[int]:
    from .reading import _open_for_reading

    connection = _open_for_reading(db_path)
    try:
        if "value_index_documents" not in {name for (name,) in connection.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}:
            return [document_id for (document_id,) in connection.execute("SELECT id FROM trace_documents")]
        return [document_id for (document_id,) in connection.execute(
            "SELECT id FROM trace_documents WHERE id NOT IN (SELECT document_id FROM value_index_documents) "
            "ORDER BY id")]
    finally:
        connection.close()


def index_traces(connection: sqlite3.Connection, trace_ids: list, max_bytes: Optional[int]) -> None:
    """Index the stored documents of ``trace_ids`` that have no entries yet
    (inside the caller's transaction): what a writer that saved them
    without entries, to keep the program it records running, does once it
    is done."""
    from . import codec

    marks = ", ".join("?" * len(trace_ids))
    # Read row by row: a chunk's documents may be big, and only their entries are kept.
    rows = connection.execute(
        f"SELECT id, trace_id, document, parts, codec FROM trace_documents WHERE trace_id IN ({marks}) "
        "AND id NOT IN (SELECT document_id FROM value_index_documents) ORDER BY id", trace_ids)
    room = room_left(connection, max_bytes)
    lookup = codec.lookup_in(connection)
    done: list[tuple[int, Indexed]] = []
    for document_id, trace_id, first, parts, codec_name in rows:
        indexed = _index_row(connection, document_id, trace_id, first, parts, codec_name, lookup, room)
        room -= len(indexed.rows)
        done.append((document_id, indexed))
    store_many(connection, done, {})


def _index_row(connection: sqlite3.Connection, document_id: int, trace_id: str, first: bytes, parts: int,
               codec_name: Optional[str], lookup, room: int) -> Indexed:
    rest = connection.execute("SELECT data FROM trace_document_parts WHERE document_id = ? ORDER BY part",
                              (document_id,)).fetchall() if parts else []
    return index_as_stored(b"".join([bytes(first), *(bytes(part) for (part,) in rest)]), codec_name, lookup, room)


def index_as_stored(stored: bytes, codec_name: Optional[str], lookup, room: int) -> Indexed:
    """The entries of a document as stored. A large one is decompressed as
    it is read: its entries often run out (at the weight they may have)
    long before it does, and the rest is then never decompressed."""
    from . import codec

    try:
        if len(stored) <= _STREAM_FROM:
            return index_document(codec.decompress(stored, codec_name, lookup), room, len(stored))
        with codec.open_decompressed(stored, codec_name, lookup) as document:
            return index_document(document, room, len(stored))
    except Exception:
        return Indexed(cut=CUT_UNREADABLE)


def _reindex_one(connection: sqlite3.Connection, document_id: int, max_bytes: Optional[int]) -> int:
    from . import codec

    row = connection.execute("SELECT trace_id, document, parts, codec FROM trace_documents WHERE id = ?",
                             (document_id,)).fetchone()
    if row is None or connection.execute("SELECT 1 FROM value_index_documents WHERE document_id = ?",
                                         (document_id,)).fetchone():
        return 0  # removed or indexed meanwhile
    trace_id, first, parts, codec_name = row
    indexed = _index_row(connection, document_id, trace_id, first, parts, codec_name, codec.lookup_in(connection),
                         room_left(connection, max_bytes))
    store_index(connection, document_id, indexed)
    return len(indexed.rows)


def reindex(db_path, *, timeout: float = 60.0) -> int:
    """Index the stored documents the index does not hold (those saved
    before it existed); returns how many were looked at. One transaction
    per document, so that other writers wait little."""
    from pathlib import Path

    from ..config import is_server_url
    from .runs import max_bytes_of
    from .store import store_for

    if is_server_url(db_path):
        from . import postgres_index

        return postgres_index.reindex(str(db_path), timeout=timeout)
    path = Path(db_path)
    documents = unindexed_documents(path)
    for document_id in documents:
        store_for(path).update(functools.partial(_reindex_one, document_id=document_id,
                                                 max_bytes=max_bytes_of(path)), timeout)
    return len(documents)
