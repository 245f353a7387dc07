"""The value index of a PostgreSQL server, which ``ruvo find`` answers
from: the entries of :mod:`ruvo.db.index`, with its bounds, in tables of the
``ruvo`` schema (server schema version 2 on).

- ``value_functions``: (qualname, path) once each; writers add theirs with
  one ``INSERT ... ON CONFLICT DO NOTHING`` in sorted order, so that two
  writers adding the same functions wait for each other, never deadlock.
  Rows are kept when their entries go (a writer may have just looked one up
  for entries not committed yet); there is one per function of the code.
- ``value_index_documents``: per indexed document its calls, entries and
  why it was cut short; a document without a row (saved before the index,
  or by a writer that never got to index it) is searched in full.
- ``value_index``: one row per entry, appended in document order, with a
  BRIN index on the document (a few pages for the whole table: a search
  reads the table, as in SQLite). The value is one ``bytea`` whose form the
  kind tells: ints as decimal digits, floats as their ``repr`` (exact, and
  never digits alone), strings in UTF-8 (which may hold NUL, unlike
  ``text``), None as nothing; so equality in SQL is equality as recorded,
  and a number searched for is looked up in each form it equals (42 as
  ``42`` and ``42.0``). An entry weighs about 71 bytes, twice what it does
  in SQLite (a row's header alone is 24 bytes, and its line pointer 4):
  measured with ``pg_total_relation_size`` of the three tables, after
  ``benchmarks/find_bench.py --server`` stored 1,000 traces (166,700
  entries, 11.3 MiB beside 3.4 MiB of documents). :data:`ENTRY_BYTES` is
  what the cap counts for one, and the index stays within
  :data:`ruvo.db.index.SHARE` of the cap by that weight.

Retention deletes the entries of the documents it removes, in its own
transaction; indexing after the fact (``index_later``, ``--reindex``) holds
retention's lock, so that no entry outlives its document.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, Iterator, Optional, Sequence

from .. import search
from . import index

if TYPE_CHECKING:
    import psycopg

# What an entry weighs on the server, table and its index (measured, see above).
ENTRY_BYTES = 72

TABLES = [
    """CREATE TABLE IF NOT EXISTS ruvo.value_functions (
        id serial PRIMARY KEY,
        qualname text NOT NULL,
        path text NOT NULL,
        UNIQUE (qualname, path))""",
    """CREATE TABLE IF NOT EXISTS ruvo.value_index_documents (
        document_id bigint PRIMARY KEY,
        calls integer NOT NULL,
        entries integer NOT NULL,
        cut text)""",
    # Fixed-width columns first, widest first: no padding between them.
    """CREATE TABLE IF NOT EXISTS ruvo.value_index (
        document_id bigint NOT NULL,
        call integer NOT NULL,
        seq integer NOT NULL,
        function integer NOT NULL,
        kind smallint NOT NULL,
        name text NOT NULL,
        value bytea NOT NULL)""",
    "CREATE INDEX IF NOT EXISTS value_index_by_document ON ruvo.value_index USING brin (document_id) "
    "WITH (pages_per_range = 16, autosummarize = on)",
]

# Documents indexed in one transaction by a writer after its program is done.
_PER_TRANSACTION = 200


# --- the value column -----------------------------------------------------------------


def _text(value: str) -> bytes:
    return value.encode("utf-8", "surrogatepass")


def encoded(kind: int, value: object) -> bytes:
    """An entry's value as the server stores it."""
    if kind == search.NONE:
        return b""
    if kind in (search.BOOL, search.NUMBER):
        return repr(value).encode() if value.__class__ is float else str(int(value)).encode()  # type: ignore[call-overload]
    return _text(str(value))


def decoded(kind: int, raw: bytes) -> object:
    if kind == search.NONE:
        return None
    if kind in (search.BOOL, search.NUMBER):
        return int(raw) if raw.lstrip(b"-").isdigit() else float(raw)
    return raw.decode("utf-8", "surrogatepass")


def _forms(kind: int, value: object) -> list[bytes]:
    """Every stored value equal to ``value`` searched for."""
    if kind != search.NUMBER:
        return [encoded(kind, value)]
    assert isinstance(value, (int, float))
    forms = {encoded(kind, value)}
    if value.__class__ is int:
        if float(value) == value:
            forms.add(repr(float(value)).encode())
    elif value.is_integer():
        whole = int(value)
        if -(2**63) <= whole < 2**63:
            forms.add(str(whole).encode())
    if value == 0:
        forms |= {b"0", b"0.0", b"-0.0"}
    return sorted(forms)


def _clean(name: str) -> str:
    # PostgreSQL's text holds no NUL; no name searched for has one.
    return name.replace("\x00", "\ufffd") if "\x00" in name else name


# --- writing --------------------------------------------------------------------------


def room_left(connection: "psycopg.Connection", max_bytes: Optional[int]) -> int:
    """Entries the server's index may still take: its share of the cap."""
    from .runs import DEFAULT_MAX_BYTES

    cap = int((max_bytes if max_bytes is not None else DEFAULT_MAX_BYTES) * index.SHARE) // ENTRY_BYTES
    (held,) = connection.execute("SELECT COALESCE(SUM(entries), 0) FROM ruvo.value_index_documents").fetchone() or (0,)
    return max(cap - int(held), 0)


def _function_ids(connection: "psycopg.Connection", functions: list[tuple[str, str]]) -> dict[tuple[str, str], int]:
    if not functions:
        return {}
    qualnames = [_clean(qualname) for qualname, _ in functions]
    paths = [_clean(path) for _, path in functions]
    # Sorted, so that writers adding the same functions lock them in one order.
    connection.execute("INSERT INTO ruvo.value_functions (qualname, path) SELECT * FROM unnest(%s::text[], %s::text[]) "
                       "ORDER BY 1, 2 ON CONFLICT DO NOTHING", (qualnames, paths))
    found = {(qualname, path): function_id for function_id, qualname, path in connection.execute(
        "SELECT id, qualname, path FROM ruvo.value_functions WHERE (qualname, path) IN "
        "(SELECT * FROM unnest(%s::text[], %s::text[]))", (qualnames, paths))}
    return {function: found[(_clean(function[0]), _clean(function[1]))] for function in functions}


def store(connection: "psycopg.Connection", indexed: Sequence[tuple[int, index.Indexed]]) -> None:
    """Insert the documents' entries (inside the caller's transaction)."""
    if not indexed:
        return
    ids = _function_ids(connection, sorted({function for _, entries in indexed for function in entries.functions}))
    with connection.cursor() as cursor:
        with cursor.copy("COPY ruvo.value_index (document_id, call, seq, function, kind, name, value) "
                         "FROM STDIN") as copy:
            for document_id, entries in indexed:
                functions = [ids[function] for function in entries.functions]
                for seq, (call, function, name, kind, value) in enumerate(entries.rows):
                    copy.write_row((document_id, call, seq, functions[function], kind, _clean(name),
                                    encoded(kind, value)))
        cursor.executemany("INSERT INTO ruvo.value_index_documents (document_id, calls, entries, cut) "
                           "VALUES (%s, %s, %s, %s) ON CONFLICT (document_id) DO NOTHING",
                           [(document_id, entries.calls, len(entries.rows), entries.cut)
                            for document_id, entries in indexed])


def index_new(connection: "psycopg.Connection", max_bytes: Optional[int],
              documents: Sequence[tuple[int, bytes, int]]) -> None:
    """Index documents just inserted: (id, document, bytes stored)."""
    room = room_left(connection, max_bytes)
    indexed = []
    for document_id, document, stored_bytes in documents:
        entries = index.index_document(document, room, stored_bytes)
        room -= len(entries.rows)
        indexed.append((document_id, entries))
    store(connection, indexed)


def delete_entries(connection: "psycopg.Connection", document_ids: list[int]) -> int:
    """Remove the entries of documents deleted; returns the entries removed."""
    if not document_ids:
        return 0
    (entries,) = connection.execute(
        "WITH gone AS (DELETE FROM ruvo.value_index_documents WHERE document_id = ANY(%s) RETURNING entries) "
        "SELECT COALESCE(SUM(entries), 0)::bigint FROM gone", (document_ids,)).fetchone() or (0,)
    # The range is what the BRIN index narrows by (a run's documents are close together).
    connection.execute("DELETE FROM ruvo.value_index WHERE document_id BETWEEN %s AND %s AND document_id = ANY(%s)",
                       (min(document_ids), max(document_ids), document_ids))
    return int(entries)


def index_bytes(connection: "psycopg.Connection") -> int:
    """What the entries weigh, as the cap counts them."""
    (entries,) = connection.execute(
        "SELECT COALESCE(SUM(entries), 0)::bigint FROM ruvo.value_index_documents").fetchone() or (0,)
    return int(entries) * ENTRY_BYTES


def index_stored(connection: "psycopg.Connection", document_ids: list[int], max_bytes: Optional[int],
                 url: str) -> None:
    """Index stored documents that have no entries yet, inside the caller's
    transaction, which must hold retention's lock (no document goes meanwhile).
    The documents come in one query and their entries go in one copy: a
    round trip each would cost more than indexing a test's small trace."""
    from .postgres import dictionaries_of

    lookup = dictionaries_of(connection, url)
    wanted = connection.execute(
        "SELECT id, COALESCE(stored, size) FROM ruvo.trace_documents d WHERE id = ANY(%s) AND NOT EXISTS "
        "(SELECT 1 FROM ruvo.value_index_documents i WHERE i.document_id = d.id) ORDER BY id",
        (document_ids,)).fetchall()
    room = room_left(connection, max_bytes)
    indexed = []
    for group in _by_weight(wanted):
        with connection.cursor(binary=True) as cursor:
            rows = cursor.execute("SELECT id, document, codec FROM ruvo.trace_documents WHERE id = ANY(%s) ORDER BY id",
                                  (group,)).fetchall()
        for document_id, stored, codec_name in rows:
            entries = index.index_as_stored(bytes(stored), codec_name, lookup, room)
            room -= len(entries.rows)
            indexed.append((int(document_id), entries))
    store(connection, indexed)


# Documents fetched at once for indexing weigh at most this, stored.
_FETCH_BYTES = 16 * 2**20


def _by_weight(documents: list[tuple[int, int]]) -> Iterator[list[int]]:
    group: list[int] = []
    weight = 0
    for document_id, stored in documents:
        if group and weight + int(stored) > _FETCH_BYTES:
            yield group
            group, weight = [], 0
        group.append(int(document_id))
        weight += int(stored)
    if group:
        yield group


def index_later(work: Any, url: str, trace_ids: list, timeout: float,
                hurry: Optional[threading.Event]) -> None:
    """The writer's deferred indexing: ``work`` runs a function on the
    store's connection (:meth:`ServerStore._work`)."""
    for start in range(0, len(trace_ids), _PER_TRANSACTION):
        if hurry is not None and hurry.is_set():
            return  # left to `ruvo find`, which searches them in full and says so
        chunk = trace_ids[start:start + _PER_TRANSACTION]

        def change(connection: "psycopg.Connection", chunk: list = chunk) -> None:
            ids = [document_id for (document_id,) in connection.execute(
                "SELECT id FROM ruvo.trace_documents WHERE trace_id = ANY(%s)", (chunk,))]
            _indexing_transaction(connection, url, ids, timeout)

        work(change)


def _indexing_transaction(connection: "psycopg.Connection", url: str, document_ids: list[int],
                          timeout: float) -> None:
    from . import postgres, runs

    with connection.transaction():
        connection.execute(f"SET LOCAL lock_timeout = {max(int(timeout * 1000), 1)}")
        postgres.hold_retention(connection)
        max_bytes = runs.max_bytes_of(url)
        index_stored(connection, document_ids, max_bytes, url)
        # The entries weigh too: the cap holds with them, as after a save
        # (which keeps this process's run, if it is there, to the last).
        found = connection.execute("SELECT id FROM ruvo.runs WHERE key = %s", (runs.current_run(url).key,)).fetchone()
        removed = postgres._enforce_cap(connection, max_bytes, None if found is None else int(found[0]))
    if removed.traces or removed.runs:
        from .store import _count_removed

        _count_removed(removed)


def reindex(url: str, *, timeout: float = 60.0) -> int:
    """``ruvo find --reindex`` on a server: index the documents that have no
    entries, one transaction each; returns how many were looked at."""
    from . import postgres

    store_ = postgres.server_store(url)
    documents = store_.unindexed_documents(timeout)
    for document_id in documents:
        store_.run(lambda connection, ids=[document_id]: _indexing_transaction(connection, url, ids, timeout))
    return len(documents)


def unindexed(connection: "psycopg.Connection") -> list[int]:
    return [document_id for (document_id,) in connection.execute(
        "SELECT id FROM ruvo.trace_documents d WHERE NOT EXISTS "
        "(SELECT 1 FROM ruvo.value_index_documents i WHERE i.document_id = d.id) ORDER BY id")]


# --- searching ------------------------------------------------------------------------


def _candidates(query: search.Query) -> Optional[tuple[str, list]]:
    """SQL selecting the (document, call) pairs that may match, and its
    arguments; None when only the function narrows them."""
    selects: list[tuple[str, list]] = []
    for name, (kind, value) in search.conditions(query):
        if kind == search.NONE:
            selects.append(("SELECT document_id, call FROM ruvo.value_index WHERE name = %s AND kind = %s",
                            [name, kind]))
        else:
            selects.append(("SELECT document_id, call FROM ruvo.value_index WHERE name = %s AND kind = %s "
                            "AND value = ANY(%s)", [name, kind, _forms(kind, value)]))
    if query.text is not None:
        # position() is strpos() for bytes: the text is no pattern.
        selects.append(("SELECT document_id, call FROM ruvo.value_index WHERE kind = ANY(%s) "
                        "AND position(%s IN value) > 0", [list(search.TEXT_KINDS), _text(query.text)]))
    if not selects:
        return None
    return (" INTERSECT ".join(select for select, _ in selects),
            [arg for _, select_args in selects for arg in select_args])


def search_index(connection: "psycopg.Connection", query: search.Query, documents: dict[int, str]) -> list[index.Hit]:
    """The hits among the indexed ``documents`` (id -> trace id), newest
    document first, calls in order within one: as :func:`index.search_index`."""
    names = {function_id: (qualname, path) for function_id, qualname, path in
             connection.execute("SELECT id, qualname, path FROM ruvo.value_functions")}
    functions = index.allowed_functions(query, names)
    if functions is not None and not functions:
        return []
    candidates = _candidates(query)
    wanted = sorted(documents)
    calls: dict[tuple[int, int], list] = {}

    def gather(rows: Iterator[tuple]) -> None:
        for document_id, call, function, name, kind, value in rows:
            if document_id in documents:
                calls.setdefault((document_id, call), [function]).append(
                    search.Entry(name, kind, decoded(kind, bytes(value))))

    columns = "v.document_id, v.call, v.function, v.name, v.kind, v.value"
    with connection.cursor(binary=True) as cursor:
        if candidates is None:
            assert functions is not None
            gather(cursor.execute(f"SELECT {columns} FROM ruvo.value_index v WHERE v.function = ANY(%s) "
                                  "AND v.document_id = ANY(%s) ORDER BY v.document_id, v.call, v.seq",
                                  (sorted(functions), wanted)))
        else:
            sql, args = candidates
            gather(cursor.execute(
                f"WITH hits AS ({sql}) SELECT {columns} FROM hits JOIN ruvo.value_index v "
                "ON v.document_id = hits.document_id AND v.call = hits.call WHERE v.document_id = ANY(%s) "
                "ORDER BY v.document_id, v.call, v.seq", [*args, wanted]))
    return index.matching_calls(calls, query, functions, names, documents)


def find(url: str, query: search.Query, *, run: Optional[int] = None, test: Optional[str] = None) -> index.Found:
    """:func:`index.find` on a server."""
    from . import postgres

    with postgres._reading(url) as connection:
        indexed = (postgres._version(connection) or 0) >= 2
        rows = connection.execute(*index.scope_query(indexed, run, test, mark="%s", schema="ruvo.")).fetchall()
        scope = index.Scope(rows)
        hits = search_index(connection, query, scope.documents) if indexed and scope.documents else []
    return scope.found(url, query, hits)
