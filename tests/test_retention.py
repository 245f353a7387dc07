"""The store's runs, its size cap and what retention keeps, compressed
documents beside the rows of older versions, and `ruvo prune`/`ruvo runs`."""

from __future__ import annotations

import gc
import os
import random
import sqlite3
import string
import subprocess
import sys
import textwrap
import threading
import time

import msgpack
import pytest

from _cli import child_env, ruvo, write
from _documents import call, document, plugin, ret
from test_pytest_plugin import installed_entry_points
from ruvo import db
from ruvo.db import codec, runs as db_runs
from ruvo.db.store import LATER, Row, store_for

KIB = 1024


def noisy_document(trace_id: str, *, kib: int = 40, outcome: str | None = None, seed: int = 0) -> bytes:
    """A test's document of about ``kib`` KiB that compresses little."""
    noise = "".join(random.Random(f"{trace_id}-{seed}").choices(string.ascii_letters, k=kib * KIB))
    records = [call("frm_1", "t.work", "t.py:1", 1.0, locals={"blob": noise}), ret("frm_1", "t.work", "t.py:2", 1.5)]
    if outcome is not None:
        nodeid = f"t.py::{trace_id}"
        records = [plugin("start_test", 0.5, nodeid=nodeid), *records,
                   plugin("end_test", 2.0, nodeid=nodeid, outcome=outcome)]
    return msgpack.packb(document(records, trace_id=trace_id))


def save_run(path, key: str, traces: list[tuple[str, str | None]], *, kib: int = 40) -> None:
    db.begin_run(path, "pytest", key=key, command=f"pytest {key}")
    for trace_id, outcome in traces:
        db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=noisy_document(trace_id, kib=kib, outcome=outcome))
    db.finish_run(path, passed=sum(o == "passed" for _, o in traces), failed=sum(o == "failed" for _, o in traces),
                  skipped=0)


@pytest.fixture(autouse=True)
def _no_cap_left_behind(tmp_path):
    yield
    db.set_max_bytes(tmp_path / "t.sqlite3", db.DEFAULT_MAX_BYTES)


def stored_ids(path) -> set:
    return {row.trace_id for row in db.list_traces(path)}


def used(path) -> int:
    """The database's size as SQLite counts it (the WAL's pages included)."""
    with sqlite3.connect(path) as connection:
        return db_runs.used_bytes(connection)


def test_old_runs_go_first_whole_and_failed_tests_outlive_passing_ones(tmp_path):
    path = tmp_path / "t.sqlite3"
    before = db.save_counts()
    save_run(path, "one", [("a1", "passed"), ("a2", "failed")])
    save_run(path, "two", [("b1", "passed"), ("b2", "failed")])
    assert [run.traces for run in db.list_runs(path)] == [2, 2]
    # Room for the runs so far and a little more: the third run pushes the
    # oldest one out, whole, failed test and all.
    db.set_max_bytes(path, used(path) + 30 * KIB)
    save_run(path, "three", [("c1", "passed"), ("c2", "failed")])
    assert stored_ids(path) == {"b1", "b2", "c1", "c2"}
    listed = db.list_runs(path)
    assert [(run.kind, run.command, run.passed, run.failed, run.traces) for run in listed] == [
        ("pytest", "pytest three", 1, 1, 2), ("pytest", "pytest two", 1, 1, 2)]
    # One run larger than the cap: the older runs go, then its passing
    # tests' traces, oldest first; its failed ones stay.
    db.set_max_bytes(path, 230 * KIB)
    save_run(path, "four", [("d1", "failed"), ("d2", "passed"), ("d3", "passed"), ("d4", "failed"),
                            ("d5", "passed"), ("d6", "failed")])
    kept = stored_ids(path)
    passing = ["d2", "d3", "d5"]
    kept_passing = [trace for trace in passing if trace in kept]
    assert {"d1", "d4", "d6"} <= kept and len(kept_passing) < 3
    assert kept_passing == passing[len(passing) - len(kept_passing):]
    counts = db.save_counts().since(before)
    assert (counts.removed_traces, counts.removed_runs) == (2 + 2 + 2 + 3 - len(kept_passing), 3)
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA auto_vacuum").fetchone() == (2,)
        # The space went back to the file system, not only to SQLite's free list.
        assert connection.execute("PRAGMA freelist_count").fetchone() == (0,)
    assert used(path) <= 230 * KIB


V4_SCHEMA = """
CREATE TABLE trace_documents (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, saved_at REAL NOT NULL,
    started_at REAL, source TEXT, test_nodeid TEXT, records INTEGER, threads INTEGER, size INTEGER NOT NULL,
    document BLOB NOT NULL, left_out TEXT, parts INTEGER NOT NULL DEFAULT 0, outcome TEXT, digest BLOB);
CREATE INDEX trace_documents_by_trace ON trace_documents (trace_id, id);
CREATE INDEX trace_documents_by_time ON trace_documents (saved_at);
CREATE UNIQUE INDEX trace_documents_once ON trace_documents (trace_id, digest);
CREATE TABLE trace_document_parts (document_id INTEGER NOT NULL, part INTEGER NOT NULL, data BLOB NOT NULL,
    PRIMARY KEY (document_id, part));
PRAGMA application_id = 1920300655;
PRAGMA user_version = 4;
"""


def test_a_database_of_the_last_schema_is_upgraded_and_its_rows_read_beside_new_ones(tmp_path):
    path = tmp_path / "t.sqlite3"
    old = noisy_document("old", outcome="failed")
    with sqlite3.connect(path) as connection:
        connection.executescript(V4_SCHEMA)
        connection.execute("INSERT INTO trace_documents (trace_id, saved_at, size, document, test_nodeid, outcome) "
                           "VALUES ('old', 1.0, ?, ?, 't.py::old', 'failed')", (len(old), old))
    new = noisy_document("new", outcome="passed")
    db.begin_run(path, "run", key="r")
    db.save_trace_in_sqlite(path, "new", timeout=5, msgpack=new)
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone() == (db.SCHEMA_VERSION,)
        stored = dict(connection.execute("SELECT trace_id, codec FROM trace_documents WHERE trace_id = 'old'"))
        assert stored == {"old": None}
    assert db.load_documents(path, "old") == [old]
    assert db.load_documents(path, "new") == [new]
    for trace_id, expected in (("old", old), ("new", new)):
        with db.open_documents(path, trace_id) as readers:
            assert b"".join(iter(lambda: readers[-1].read(777), b"")) == expected
    listed = {row.trace_id: row for row in db.list_traces(path)}
    assert listed["old"].run_id is None and listed["new"].run_id is not None
    assert listed["new"].stored < listed["new"].size == len(new)
    assert db.load_trace(path, "old")["trace_id"] == "old"
    # Rows from before runs count as the oldest run for retention.
    removed, _ = db.prune(path, keep_runs=1)
    assert (removed.traces, removed.runs) == (1, 0) and stored_ids(path) == {"new"}


def test_a_document_that_does_not_decompress_is_named_damaged(tmp_path):
    path = tmp_path / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_Z", timeout=5, msgpack=noisy_document("trc_Z"))
    with sqlite3.connect(path) as connection:
        connection.execute("UPDATE trace_documents SET document = substr(document, 1, 100)")
    with pytest.raises(db.TraceDamaged, match="^trace trc_Z is damaged: a document does not decompress"):
        db.load_documents(path, "trc_Z")
    with db.open_documents(path, "trc_Z") as readers, pytest.raises(codec.CodecError, match="ends early"):
        readers[0].read()


WRITER = """
import sys
from ruvo import db
sys.path.insert(0, {tests!r})
from test_retention import noisy_document
path, name = sys.argv[1], sys.argv[2]
db.set_max_bytes(path, 300 * 1024)
db.begin_run(path, "run", key=name)
for n in range(12):
    db.save_trace_in_sqlite(path, f"{{name}}-{{n}}", timeout=30, msgpack=noisy_document(f"{{name}}-{{n}}"))
counts = db.save_counts()
print(counts.saved, counts.removed_traces)
"""


def test_the_cap_holds_with_two_processes_writing_at_once(tmp_path):
    path = tmp_path / "t.sqlite3"
    script = write(tmp_path / "writer.py", WRITER.format(tests=os.path.dirname(__file__)))
    processes = [subprocess.Popen([sys.executable, str(script), str(path), name], stdout=subprocess.PIPE, text=True,
                                  env=child_env()) for name in ("p", "q")]
    outputs = [process.communicate(timeout=120)[0].split() for process in processes]
    assert [process.returncode for process in processes] == [0, 0]
    saved = sum(int(out[0]) for out in outputs)
    removed = sum(int(out[1]) for out in outputs)
    assert saved == 24 and removed > 0
    # Every trace is stored or was removed by retention, none twice.
    assert len(stored_ids(path)) == saved - removed
    assert used(path) <= 300 * KIB


SUITE = """
import random, string

BLOB = "".join(random.Random(0).choices(string.ascii_letters, k=30000))

def keep(value):
    # Locals of up to 4 KiB each: a trace of some 30 KiB that compresses little.
    parts = [value[start : start + 4000] for start in range(0, len(value), 4000)]
    return parts

@pytest.mark.parametrize("n", range(6))
def test_sized(n):
    assert keep(str(n) + BLOB) != []

def test_fails():
    assert keep(BLOB) == ["other"]
"""


def test_repeated_sessions_stay_under_the_cap_and_keep_the_latest_run_whole(tmp_path):
    write(tmp_path / "test_suite.py", "import pytest\n" + textwrap.dedent(SUITE))
    database = tmp_path / ".ruvo" / "ruvo.sqlite3"
    said = []
    for session in range(4):
        completed = subprocess.run(
            [sys.executable, "-m", "pytest", *([] if installed_entry_points() else ["-p", "ruvo.pytest_plugin"]),
             "--ruvo", "--ruvo-max-db-size", "400k",
             "-q", "-p", "no:cacheprovider", *(["-n", "2"] if session % 2 else []), "test_suite.py"],
            cwd=tmp_path, capture_output=True, text=True, timeout=300, env=child_env())
        assert completed.returncode == 1, completed.stdout + completed.stderr
        assert used(database) <= 400 * KIB
        said.append("older trace(s) were removed" in completed.stdout and "earlier run(s) whole" in completed.stdout)
    # Which sessions prune depends on the sizes stored (the value index's too): the later ones do.
    assert not said[0] and any(said[1:])
    latest, *older = db.list_runs(database)
    assert (latest.kind, latest.traces, latest.passed, latest.failed) == ("pytest", 7, 6, 1)
    assert all(run.traces == 0 or run.run_id < latest.run_id for run in older)
    shown = ruvo(tmp_path, "show", "--test", "test_suite.py::test_fails")
    assert shown.returncode == 0 and "test_suite.keep" in shown.stdout, shown.stderr
    listing = ruvo(tmp_path, "runs")
    assert listing.returncode == 0 and f"{latest.run_id}" in listing.stdout and "6 passed, 1 failed" in listing.stdout
    traces = ruvo(tmp_path, "traces", "--run", str(latest.run_id))
    assert traces.stdout.count("test_suite.py::") == 7
    pruned = ruvo(tmp_path, "prune", "--keep-runs", "1")
    assert pruned.returncode == 0 and pruned.stdout.startswith("ruvo: removed "), pruned.stderr
    assert [run.run_id for run in db.list_runs(database)] == [latest.run_id]


def test_prune_options_and_sizes(tmp_path):
    path = tmp_path / "t.sqlite3"
    save_run(path, "one", [("a", "passed")])
    save_run(path, "two", [("b", "passed")])
    with sqlite3.connect(path) as connection:
        connection.execute("UPDATE runs SET started_at = started_at - 7200 WHERE key = 'one'")
    assert db.prune(path, older_than=3600)[0] == db_runs.Removed(1, 1)
    assert stored_ids(path) == {"b"}
    for args, message in ((["--older-than", "soon"], "not an age: 'soon'"), (["--max-size", "none"], "give a size")):
        result = ruvo(tmp_path, "prune", "--db", str(path), *args)
        assert result.returncode == 2 and message in result.stderr
    missing = ruvo(tmp_path, "prune", "--db", str(tmp_path / "none.sqlite3"))
    assert missing.returncode == 2 and "no trace database at" in missing.stderr


def test_documents_after_the_first_ones_share_a_dictionary_kept_in_the_database(tmp_path):
    path = tmp_path / "t.sqlite3"
    saved = [msgpack.packb(document([call("frm_1", "shop.price", "shop.py:3", 1.0,
                                          locals={"item": f"item-{n}", "count": n, "note": "in stock " * 20}),
                                     ret("frm_1", "shop.price", "shop.py:5", 2.0)], trace_id=f"t{n}"))
             for n in range(codec.DICTIONARY_SAMPLES + 20)]
    for n, doc in enumerate(saved):
        db.save_trace_in_sqlite(path, f"t{n}", timeout=5, msgpack=doc)
    with sqlite3.connect(path) as connection:
        codecs = [name for (name,) in connection.execute("SELECT codec FROM trace_documents ORDER BY id")]
        (dictionaries,) = connection.execute("SELECT count(*) FROM codec_dictionaries").fetchone()
    # Trained on the first ones, used from the last of those on.
    trained = codec.DICTIONARY_SAMPLES - 1
    assert set(codecs[:trained]) <= {"zstd", None}
    assert set(codecs[trained:]) == {"zstd:1"} and dictionaries == 1
    last = f"t{len(saved) - 1}"
    assert db.load_documents(path, last) == [saved[-1]]
    with db.open_documents(path, last) as readers:
        assert readers[0].read() == saved[-1]
    # A writer thread's batch: its small documents compressed together, the
    # dictionary trained part way through, a large one alone where it comes.
    batched = tmp_path / "batched.sqlite3"
    big, at = noisy_document("big", kib=300), len(saved) - 5
    documents = {f"t{n}": doc for n, doc in enumerate(saved[:at])} | {"big": big} | \
        {f"t{n}": doc for n, doc in enumerate(saved[at:], start=at)}
    store_for(batched).write([Row(trace_id, 0.0, LATER, doc) for trace_id, doc in documents.items()], 5)
    with sqlite3.connect(batched) as connection:
        assert [name for (name,) in connection.execute("SELECT codec FROM trace_documents ORDER BY id")] == \
            codecs[:at] + ["zstd:1"] + codecs[at:]
    assert {trace_id: db.load_documents(batched, trace_id) for trace_id in documents} == \
        {trace_id: [doc] for trace_id, doc in documents.items()}
    # Another database numbers its own, other dictionary 1 too: each
    # database's documents decompress with its own, read in turns.
    other = tmp_path / "other.sqlite3"
    theirs = [msgpack.packb(document([call("frm_2", "bank.pay", "bank.py:9", 1.0,
                                           locals={"account": f"acct-{n}", "memo": "transfer " * 30})],
                                     trace_id=f"o{n}")) for n in range(codec.DICTIONARY_SAMPLES + 2)]
    for n, doc in enumerate(theirs):
        db.save_trace_in_sqlite(other, f"o{n}", timeout=5, msgpack=doc)
    for _ in range(2):
        assert db.load_documents(other, f"o{len(theirs) - 1}") == [theirs[-1]]
        assert db.load_documents(path, last) == [saved[-1]]
    # A dictionary that went missing: the rows that need it are damaged, the others read.
    with sqlite3.connect(path) as connection:
        connection.execute("DELETE FROM codec_dictionaries")
    with pytest.raises(db.TraceDamaged, match="dictionary 1 is missing"):
        db.load_documents(path, last)
    assert db.load_documents(path, "t0") == [saved[0]]


def test_a_batch_written_while_the_program_traces_its_allocations_is_not_counted_as_its_memory(tmp_path):
    import tracemalloc

    # A test that starts tracemalloc while the writer thread is compressing
    # measures that thread's allocations too: the compressed forms stay out
    # of the interpreter's heap.
    path = tmp_path / "t.sqlite3"
    store = store_for(path)
    store.write([Row("warm", 0.0, None, noisy_document("warm"))], 5, index_values=False)
    documents = {f"t{n}": noisy_document(f"t{n}") for n in range(20)} | {"big": noisy_document("big", kib=1024)}
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        store.write([Row(trace_id, 0.0, None, doc) for trace_id, doc in documents.items()], 5, index_values=False)
        grew = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    with sqlite3.connect(path) as connection:
        (stored,) = connection.execute("SELECT sum(stored) FROM trace_documents WHERE trace_id != 'warm'").fetchone()
    assert stored > 1000 * KIB and grew < stored // 10
    assert {trace_id: db.load_documents(path, trace_id) for trace_id in documents} == \
        {trace_id: [doc] for trace_id, doc in documents.items()}


def test_a_large_document_streams_in_pieces_and_a_reader_dropped_half_way_stops(tmp_path):
    path = tmp_path / "t.sqlite3"
    big = noisy_document("trc_L", kib=600)
    db.save_trace_in_sqlite(path, "trc_L", timeout=5, msgpack=big)
    with db.open_documents(path, "trc_L") as readers:
        pieces = list(iter(lambda: readers[0].read(100_003), b""))
    assert b"".join(pieces) == big and len(pieces) > 5
    with db.open_documents(path, "trc_L") as readers:
        assert readers[0].read(10) == big[:10]
        del readers[:]
    gc.collect()
    deadline = time.monotonic() + 5
    while any(thread.name == "ruvo-inflate" for thread in threading.enumerate()) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not any(thread.name == "ruvo-inflate" for thread in threading.enumerate())
