"""Where the bytes of stored trace documents go.

    python benchmarks/document_bytes.py DATABASE [--limit N]

Splits every record of the documents of a ruvo database into categories
(the record's keys, frame ids, paths and names, timestamps and thread
fields, values: locals, argument and return value, and the rest), and
prints each category's share of the raw bytes and what it costs compressed
with the store's codec when all of its bytes are compressed together (a
measure of how much it repeats), beside the documents' stored size.
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
from collections import defaultdict
from pathlib import Path

import msgpack

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

from ruvo.db import codec  # noqa: E402

CATEGORIES = {
    "frame_id": "ids", "call_frame_id": "ids",
    "path": "paths and names", "qualname": "paths and names", "co_name": "paths and names",
    "timestamp": "time and thread", "thread": "time and thread", "thread_native_id": "time and thread",
    "line_number": "time and thread",
    "locals": "values", "arg": "values",
}


def walk(record: dict, sizes: dict, streams: dict) -> None:
    for key, value in record.items():
        packed_key = msgpack.packb(key)
        sizes["keys"] += len(packed_key)
        streams["keys"].append(packed_key)
        if key == "user_code_call_site" and isinstance(value, dict):
            sizes["structure"] += 1
            walk(value, sizes, streams)
            continue
        category = CATEGORIES.get(key, "other")
        packed = msgpack.packb(value, default=repr)
        sizes[category] += len(packed)
        streams[category].append(packed)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("database")
    parser.add_argument("--limit", type=int, default=2000, help="documents to read (newest first)")
    options = parser.parse_args()
    connection = sqlite3.connect(f"file:{options.database}?mode=ro", uri=True)
    has_codec = any(row[1] == "codec" for row in connection.execute("PRAGMA table_info(trace_documents)"))
    rows = connection.execute(
        f"SELECT document, {'codec' if has_codec else 'NULL'} FROM trace_documents WHERE parts = 0 "
        "ORDER BY id DESC LIMIT ?", (options.limit,)).fetchall()
    sizes: dict[str, int] = defaultdict(int)
    streams: dict[str, list[bytes]] = defaultdict(list)
    raw_total = stored_total = 0
    for blob, codec_name in rows:
        data = codec.decompress(bytes(blob), codec_name)
        raw_total += len(data)
        stored_total += len(codec.compress(data))
        document = msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=lambda code, payload: payload)
        lists = [document.get("frames_of_interest", []), *document.get("frames", {}).values()]
        for records in lists:
            for record in records:
                if isinstance(record, dict):
                    walk(record, sizes, streams)
    counted = sum(sizes.values())
    print(f"{len(rows)} documents, {raw_total / 1e6:.1f} MB raw, {stored_total / 1e6:.1f} MB compressed one by one "
          f"({raw_total / max(stored_total, 1):.1f}x); records hold {counted / 1e6:.1f} MB")
    print(f"{'category':<18} {'raw MB':>8} {'share':>6} {'compressed MB':>14} {'ratio':>6}")
    for category, size in sorted(sizes.items(), key=lambda item: -item[1]):
        together = len(codec.compress(b"".join(streams[category]))) if streams[category] else 0
        print(f"{category:<18} {size / 1e6:8.2f} {size / max(counted, 1):6.1%} {together / 1e6:14.2f} "
              f"{size / max(together, 1):6.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
