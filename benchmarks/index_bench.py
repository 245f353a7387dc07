"""How long the value index takes to build for every trace of a database,
as a batching writer builds it at the end of a pytest session.

    python benchmarks/index_bench.py DB [DB ...]

Reads each stored document (decompressing it as the index does) and builds
its entries without writing them, in this process; prints per database the
traces, their size, the seconds and the entries. Point it at the databases
``../shared/realsuites.py`` leaves (WORK/db/NAME.sqlite3) to see what a
real suite's traces cost to index.
"""

from __future__ import annotations

import argparse
import sqlite3
import time

from ruvo.db import codec, index


def stored_documents(connection: sqlite3.Connection) -> list[tuple[bytes, str | None]]:
    documents = []
    for document_id, first, parts, codec_name in connection.execute(
            "SELECT id, document, parts, codec FROM trace_documents ORDER BY id").fetchall():
        rest = connection.execute("SELECT data FROM trace_document_parts WHERE document_id = ? ORDER BY part",
                                  (document_id,)).fetchall() if parts else []
        documents.append((b"".join([bytes(first), *(bytes(part) for (part,) in rest)]), codec_name))
    return documents


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("databases", nargs="+")
    options = parser.parse_args()
    for path in options.databases:
        connection = sqlite3.connect(path)
        documents = stored_documents(connection)
        (size,) = connection.execute("SELECT COALESCE(SUM(size), 0) FROM trace_documents").fetchone()
        lookup = codec.lookup_in(connection)
        start = time.perf_counter()
        entries = sum(len(index.index_as_stored(stored, codec_name, lookup, index.MAX_ENTRIES).rows)
                      for stored, codec_name in documents)
        seconds = time.perf_counter() - start
        print(f"{path}: {len(documents)} traces, {size / 2**20:.1f} MB, indexed in {seconds:.2f} s "
              f"({seconds / max(len(documents), 1) * 1e3:.2f} ms a trace), {entries} entries")
        connection.close()


if __name__ == "__main__":
    main()
