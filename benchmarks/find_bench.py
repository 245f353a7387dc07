"""``ruvo find`` over a database of 1,000 traces, and what the value index
costs the saves that build it.

    python benchmarks/find_bench.py [--traces N] [--keep DIR] [--server URL]

Records N traces of a small shop program (about 60 calls each, arguments of
ints, strings, dicts and objects) with ``ruvo.Profiler``, each saved through
the store as a program saves it (the index built in the save), then times
``ruvo find`` queries in a child process each (wall time, and the child's
peak resident memory), and the index's build on its own: per stored
document, and per MB and per record on one larger recorded trace.
With ``--server``, the traces go to that PostgreSQL database (an empty
one), and the index's size is the server's tables' (``pg_total_relation_size``).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import ruvo  # noqa: E402
from ruvo import db  # noqa: E402
from ruvo.db import index  # noqa: E402

SHOP = '''
class Item:
    def __init__(self, sku, price):
        self.sku = sku
        self.price = price


class Cart:
    def __init__(self, user_id):
        self.user_id = user_id
        self.items = []

    def add(self, sku, price, quantity=1):
        for _ in range(quantity):
            self.items.append(Item(sku, price))
        return len(self.items)

    def price(self, discount):
        total = sum(item.price for item in self.items)
        return None if not self.items else round(total * (1 - discount), 2)


def query(user_id, table):
    sql = f"SELECT * FROM {table} WHERE user_id = {user_id}"
    return {"sql": sql, "rows": [user_id, table]}


def checkout(user_id, skus):
    cart = Cart(user_id)
    for n, sku in enumerate(skus):
        cart.add(sku, 1.25 * (n + 1), quantity=n % 3 + 1)
    for table in ("orders", "users", "stock"):
        query(user_id, table)
    return cart.price(0.1 if user_id % 7 == 0 else 0.0)


def loop(n):
    total = 0
    for i in range(n):
        total += step(i, f"item-{i}")
    return total


def step(i, label):
    return i % 5
'''


def build(path: "Path | str", traces: int, workdir: Path) -> tuple[float, list[float]]:
    package = workdir / "shop"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "cart.py").write_text(textwrap.dedent(SHOP))
    sys.path.insert(0, str(workdir))
    from shop import cart  # type: ignore[import-not-found]

    saves = []
    began = time.perf_counter()
    for n in range(traces):
        profiler = ruvo.Profiler(db_path=path, source=f"bench {n}")
        profiler.start()
        # Every tenth cart is empty: its price is None.
        cart.checkout(n, [f"sku-{n % 50}-{k}" for k in range(6 if n % 10 else 0)])
        profiler.stop()
        started = time.perf_counter()
        profiler.save()
        saves.append(time.perf_counter() - started)
    return time.perf_counter() - began, saves


def index_cost(path: "Path | str", workdir: Path) -> dict:
    """The index's build alone: over every stored document, and over one
    larger trace."""
    from shop import cart  # type: ignore[import-not-found]

    ids = [row.trace_id for row in db.list_traces(path)]
    documents = [document for trace_id in ids for document in db.load_documents(path, trace_id)]
    began = time.perf_counter()
    entries = sum(len(index.index_document(document).rows) for document in documents)
    small = time.perf_counter() - began
    big_path = workdir / "big.sqlite3"
    profiler = ruvo.Profiler(db_path=big_path, source="big")
    profiler.start()
    cart.loop(200_000)
    profiler.stop()
    document = profiler.build_trace()
    summary = db.save_trace_in_sqlite(big_path, "big", timeout=60, msgpack=document)
    records = summary.records if summary is not None else 0
    began = time.perf_counter()
    indexed = index.index_document(document)
    big = time.perf_counter() - began
    mb = len(document) / 2**20
    return {
        "documents": len(documents), "document_kib_mean": round(sum(map(len, documents)) / len(documents) / 1024, 1),
        "entries": entries, "ms_per_document": round(small / len(documents) * 1000, 3),
        "big_mb": round(mb, 1), "big_records": records, "big_entries": len(indexed.rows), "big_cut": indexed.cut,
        "big_ms": round(big * 1000, 1),
        "ms_per_mb_until_cut": round(big * 1000 / mb, 1),
        "us_per_record_until_cut": round(big * 1e6 / max(indexed.calls * 2, 1), 2),
    }


WRAPPER = ("import resource, sys; from ruvo.cli import main; status = main(sys.argv[1:]); "
           "sys.stderr.write('MAXRSS %d\\n' % resource.getrusage(resource.RUSAGE_SELF).ru_maxrss); "
           "sys.exit(status)")


def server_sizes(url: str) -> dict:
    """The bytes of the server's index tables (1) and documents (0), once
    written out, and the entries."""
    import psycopg

    with psycopg.connect(url, autocommit=True) as connection:
        connection.execute("VACUUM ANALYZE ruvo.value_index")
        (entries,) = connection.execute("SELECT count(*) FROM ruvo.value_index").fetchone()
        (index_bytes,) = connection.execute(
            "SELECT sum(pg_total_relation_size(c)) FROM unnest(ARRAY['ruvo.value_index', 'ruvo.value_functions', "
            "'ruvo.value_index_documents']::regclass[]) AS c").fetchone()
        (documents,) = connection.execute("SELECT pg_total_relation_size('ruvo.trace_documents')").fetchone()
    return {"entries": entries, 1: int(index_bytes), 0: int(documents)}


def time_find(path: "Path | str", args: list[str], runs: int) -> dict:
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    times, rss, lines = [], 0, 0
    for _ in range(runs):
        began = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", WRAPPER, "find", *args, "--db", str(path), "--limit", "100000"],
                              capture_output=True, text=True, env=env)
        times.append(time.perf_counter() - began)
        if done.returncode not in (0, 1):
            raise SystemExit(done.stderr)
        rss = max(rss, int(done.stderr.rsplit("MAXRSS ", 1)[1]))
        lines = len(done.stdout.splitlines())
        note = done.stderr.splitlines()[0]
    return {"query": " ".join(args), "hits": lines, "median_s": round(statistics.median(times), 3),
            "best_s": round(min(times), 3), "peak_rss_mib": round(rss / 1024, 1), "note": note}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--keep", metavar="DIR", help="build the database in DIR and keep it")
    parser.add_argument("--server", metavar="URL", help="store the traces in this (empty) PostgreSQL database")
    options = parser.parse_args()
    workdir = Path(options.keep or tempfile.mkdtemp(prefix="ruvo-find-"))
    workdir.mkdir(parents=True, exist_ok=True)
    path: "Path | str" = options.server or workdir / "find.sqlite3"
    total, saves = build(path, options.traces, workdir)
    if options.server:
        pages = server_sizes(options.server)
        entries = pages.pop("entries")
    else:
        with sqlite3.connect(path) as connection:
            (entries,) = connection.execute("SELECT COUNT(*) FROM value_index").fetchone()
            pages = dict(connection.execute(
                "SELECT name LIKE 'value%', SUM(pgsize) FROM dbstat GROUP BY name LIKE 'value%'").fetchall())
    result = {
        "traces": options.traces, "record_and_save_s": round(total, 2),
        "save_ms_median": round(statistics.median(saves) * 1000, 2),
        "index_entries": entries, "index_mib": round(pages.get(1, 0) / 2**20, 2),
        "documents_mib": round(pages.get(0, 0) / 2**20, 2),
        "index_bytes_per_entry": round(pages.get(1, 0) / max(entries, 1), 1),
        "index_build": index_cost(path, workdir),
        "find": [time_find(path, args, options.runs) for args in (
            ["user_id=424"], ["--return", "None", "--function", "shop.*.price"], ["--text", "SELECT"],
            ["sku='sku-7-4'", "quantity=2"], ["--function", "Cart.add"])],
    }
    print(json.dumps(result, indent=2))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"(this process's peak: {peak / 1024:.0f} MiB)")


if __name__ == "__main__":
    main()
