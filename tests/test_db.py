import random
import sqlite3
import string
import threading
import time

import msgpack
import pytest

from ruvo import db
from ruvo.db import codec
from ruvo.db import (
    TraceNotFound,
    TraceNotSaved,
    TraceRow,
    TraceUnreadable,
    default_db_path,
    latest_trace_id,
    list_traces,
    load_documents,
    load_trace,
    save_trace_in_sqlite,
)
from ruvo.serialize import Object, dump_msgpack


def frame_record(co_name, event="call", thread=1, value=None):
    return {
        "type": "frame",
        "event": event,
        "path": "app.py:12",
        "co_name": co_name,
        "qualname": co_name,
        "frame_id": f"frm_{co_name}",
        "arg": value,
        "locals": {"x": 1},
        "thread": "MainThread",
        "thread_native_id": thread,
        "timestamp": 1.5,
        "user_code_call_site": None,
    }


def marker_record(kind, nodeid, **extra):
    return {
        "type": kind,
        "nodeid": nodeid,
        "frame_id": "frm_m",
        "timestamp": 2.0,
        "thread": "MainThread",
        "thread_native_id": 1,
        "user_code_call_site": None,
        **extra,
    }


def document(trace_id="trc_A", *, foi=(), frames=None, source="tests", timestamp=1700000000.25):
    return msgpack.packb(
        {
            "command_line_args": ["prog", "--flag"],
            "current_commit_sha": None,
            "frames": frames or {},
            "frames_of_interest": list(foi),
            "main_thread_id": 1,
            "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
            "timestamp": timestamp,
            "trace_id": trace_id,
        }
    )


def save(path, trace_id, doc, timeout=5):
    save_trace_in_sqlite(str(path), trace_id, timeout=timeout, msgpack=doc)


def rows(path):
    """The stored rows, documents as saved (decompressed)."""
    with sqlite3.connect(path) as connection:
        return [(*row[:-2], codec.decompress(row[-2], row[-1])) for row in connection.execute(
            "SELECT id, trace_id, started_at, source, test_nodeid, records, threads, size, document, codec"
            " FROM trace_documents ORDER BY id"
        ).fetchall()]


def test_creates_directory_and_database_in_wal_mode(tmp_path):
    path = tmp_path / "nested" / "dir" / "traces.sqlite3"
    doc = document(foi=[frame_record("f")])
    save(path, "trc_A", doc)
    assert path.is_file()
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA journal_mode").fetchone() == ("wal",)
        assert connection.execute("PRAGMA user_version").fetchone() == (db.SCHEMA_VERSION,)
        indexes = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
        assert {"trace_documents_by_trace", "trace_documents_by_time"} <= indexes
    assert [r[-1] for r in rows(path)] == [doc]


def test_summary_columns(tmp_path):
    path = tmp_path / "t.sqlite3"
    foi = [
        marker_record("start_test", "tests/test_a.py::test_one"),
        frame_record("f"),
        frame_record("f", "return"),
        marker_record("end_test", "tests/test_a.py::test_one", outcome="passed"),
    ]
    frames = {7: [frame_record("g", thread=7)], 8: [frame_record("h", thread=8), frame_record("h", "return", 8)]}
    doc = document(foi=foi, frames=frames, source="pytest", timestamp=1700000123.5)
    before = time.time()
    save(path, "trc_S", doc)
    after = time.time()
    (row,) = list_traces(path)
    assert row == TraceRow(
        row_id=1,
        trace_id="trc_S",
        saved_at=row.saved_at,
        started_at=1700000123.5,
        source="pytest",
        test_nodeid="tests/test_a.py::test_one",
        records=7,
        threads=3,
        size=len(doc),
        outcome="passed",
        run_id=1,
        stored=row.stored,
    )
    assert before <= row.saved_at <= after


def test_summary_without_test_marker_and_with_a_lookalike_value(tmp_path):
    path = tmp_path / "t.sqlite3"
    # "start_test" appears only as a value, not as a record type.
    doc = document(foi=[frame_record("f", value="start_test")])
    save(path, "trc_V", doc)
    (row,) = list_traces(path)
    assert (row.test_nodeid, row.records, row.threads, row.source) == (None, 1, 1, "tests")


def test_start_test_in_another_thread_is_found(tmp_path):
    path = tmp_path / "t.sqlite3"
    doc = document(foi=[], frames={5: [frame_record("a", thread=5), marker_record("start_test", "t.py::x")]})
    save(path, "trc_T", doc)
    (row,) = list_traces(path)
    assert (row.test_nodeid, row.records, row.threads) == ("t.py::x", 2, 1)


def test_empty_trace(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_E", document())
    (row,) = list_traces(path)
    assert (row.records, row.threads, row.started_at) == (0, 0, 1700000000.25)


@pytest.mark.parametrize(
    "blob",
    [b"", b"\xc1garbage", b"\x92\x01", msgpack.packb([1, 2]), msgpack.packb({"frames_of_interest": 5}), document() + b"\x00"],
)
def test_undecodable_document_is_still_stored(tmp_path, blob):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_bad", blob)
    assert rows(path) == [(1, "trc_bad", None, None, None, None, None, len(blob), blob)]
    assert load_documents(path, "trc_bad") == [blob]
    with pytest.raises(TraceUnreadable):
        load_trace(path, "trc_bad")


def test_documents_sharing_a_trace_id_are_all_kept_and_merged_in_order(tmp_path):
    path = tmp_path / "t.sqlite3"
    first = document(
        "trc_M",
        foi=[frame_record("one")],
        frames={7: [frame_record("t7a", thread=7)]},
        timestamp=10.0,
    )
    second = document(
        "trc_M",
        foi=[frame_record("two"), frame_record("three")],
        frames={7: [frame_record("t7b", thread=7)], 9: [frame_record("t9", thread=9)]},
        source="second",
        timestamp=20.0,
    )
    save(path, "trc_M", first)
    save(path, "trc_other", document("trc_other"))
    save(path, "trc_M", second)
    assert load_documents(path, "trc_M") == [first, second]
    trace = load_trace(path, "trc_M")
    assert [r["co_name"] for r in trace["frames_of_interest"]] == ["one", "two", "three"]
    assert {t: [r["co_name"] for r in records] for t, records in trace["frames"].items()} == {
        7: ["t7a", "t7b"],
        9: ["t9"],
    }
    assert trace["timestamp"] == 10.0
    assert trace["meta"]["source"] == "tests"
    assert [(r.row_id, r.trace_id) for r in list_traces(path)] == [(3, "trc_M"), (2, "trc_other"), (1, "trc_M")]
    assert [r.trace_id for r in list_traces(path, limit=2)] == ["trc_M", "trc_other"]


def test_load_trace_defaults_to_the_latest_and_decodes_values(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_old", document("trc_old"))

    class Thing:
        def __repr__(self):
            return "thing"

    # Values are embedded as the serializer wrote them, as the native side does.
    doc = (
        b"\x88"
        + msgpack.packb("command_line_args") + msgpack.packb([])
        + msgpack.packb("current_commit_sha") + msgpack.packb("a" * 40)
        + msgpack.packb("frames") + msgpack.packb({})
        + msgpack.packb("frames_of_interest") + b"\x91\x82"
        + msgpack.packb("co_name") + msgpack.packb("f")
        + msgpack.packb("arg") + dump_msgpack([Thing(), 2**70])
        + msgpack.packb("main_thread_id") + msgpack.packb(1)
        + msgpack.packb("meta") + msgpack.packb({"version": "0", "source": "s", "use_frame_boundaries": True})
        + msgpack.packb("timestamp") + msgpack.packb(3.0)
        + msgpack.packb("trace_id") + msgpack.packb("trc_new")
    )
    save(path, "trc_new", doc)
    assert latest_trace_id(path) == "trc_new"
    trace = load_trace(path)
    assert trace["trace_id"] == "trc_new"
    assert trace["frames_of_interest"] == [{"co_name": "f", "arg": [Object(f"{__name__}.{Thing.__qualname__}", {}), 2**70]}]
    assert list_traces(path)[0].records == 1


def test_failure_spills_the_exact_document_beside_the_database(tmp_path):
    path = tmp_path / "is_a_directory.sqlite3"
    path.mkdir()
    doc = document(foi=[frame_record("f")])
    with pytest.raises(TraceNotSaved) as caught:
        save(path, "trc_F", doc)
    spill = caught.value.spill_path
    assert spill.parent == tmp_path
    # Named for its database, so that only that database's import takes it.
    assert spill.name.startswith("is_a_directory.sqlite3.trc_F-") and spill.name.endswith(".msgpack")
    millis = int(spill.name[len("is_a_directory.sqlite3.trc_F-") : -len(".msgpack")])
    assert abs(millis - time.time() * 1000) < 60_000
    assert spill.read_bytes() == doc
    message = str(caught.value)
    assert str(spill) in message and str(path) in message and "unable to open database file" in message
    assert isinstance(caught.value.__cause__, sqlite3.OperationalError)
    assert (caught.value.trace_id, caught.value.db_path) == ("trc_F", path)


def test_failure_on_a_file_that_is_not_a_database(tmp_path):
    path = tmp_path / "corrupt.sqlite3"
    path.write_bytes(b"this is not a database, just some text " * 100)
    doc = document()
    with pytest.raises(TraceNotSaved) as caught:
        save(path, "trc_C", doc)
    assert caught.value.spill_path.read_bytes() == doc
    assert isinstance(caught.value.__cause__, sqlite3.DatabaseError)
    assert "not a database" in str(caught.value)


def test_spill_files_never_overwrite_each_other(tmp_path, monkeypatch):
    path = tmp_path / "db_dir"
    path.mkdir()
    monkeypatch.setattr(db.spill.time, "time_ns", lambda: 1_700_000_000_000_000_000)
    (tmp_path / "db_dir.trc_D-1700000000000.msgpack").write_bytes(b"earlier")
    spilled = []
    for content in (b"one", b"two"):
        with pytest.raises(TraceNotSaved) as caught:
            save(path, "trc_D", content)
        spilled.append(caught.value.spill_path)
    assert [p.name for p in spilled] == ["db_dir.trc_D-1700000000000-1.msgpack", "db_dir.trc_D-1700000000000-2.msgpack"]
    assert [p.read_bytes() for p in spilled] == [b"one", b"two"]
    assert (tmp_path / "db_dir.trc_D-1700000000000.msgpack").read_bytes() == b"earlier"


def test_odd_trace_ids_make_safe_file_names(tmp_path):
    path = tmp_path / "db_dir"
    path.mkdir()
    with pytest.raises(TraceNotSaved) as caught:
        save(path, "../../etc/x y", b"doc")
    assert caught.value.spill_path.parent == tmp_path
    assert caught.value.spill_path.name.startswith("db_dir..._.._etc_x_y-")


def test_when_even_the_spill_fails(tmp_path):
    blocker = tmp_path / "a_file"
    blocker.write_text("in the way")
    path = blocker / "sub" / "traces.sqlite3"
    with pytest.raises(TraceNotSaved) as caught:
        save(path, "trc_X", b"doc")
    assert caught.value.spill_path is None
    assert "nor written beside it" in str(caught.value)
    assert isinstance(caught.value.__cause__, OSError)


def test_locked_database_spills_after_the_timeout(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_first", document("trc_first"))
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        started = time.monotonic()
        with pytest.raises(TraceNotSaved) as caught:
            save(path, "trc_L", b"locked out", timeout=0.2)
        assert time.monotonic() - started >= 0.2
        assert "database is locked" in str(caught.value)
        assert caught.value.spill_path.read_bytes() == b"locked out"
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    assert [r.trace_id for r in list_traces(path)] == ["trc_first"]


def test_concurrent_saves_are_all_kept(tmp_path):
    path = tmp_path / "fresh" / "t.sqlite3"
    barrier = threading.Barrier(8)
    errors = []

    def worker(n):
        barrier.wait()
        try:
            for i in range(10):
                save(path, f"trc_{n}", document(f"trc_{n}", foi=[frame_record(f"f{n}_{i}")]), timeout=30)
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert errors == []
    assert len(list_traces(path)) == 80
    for n in range(8):
        names = [r["co_name"] for r in load_trace(path, f"trc_{n}")["frames_of_interest"]]
        assert names == [f"f{n}_{i}" for i in range(10)]


def test_concurrent_first_use_of_new_databases(tmp_path):
    # Creating the file, switching it to WAL and making the schema race here.
    for round_ in range(20):
        path = tmp_path / f"round{round_}" / "t.sqlite3"
        barrier = threading.Barrier(8)
        errors = []

        def worker(n, barrier=barrier, path=path, errors=errors):
            barrier.wait()
            try:
                save(path, f"trc_{n}", document(f"trc_{n}"), timeout=30)
            except Exception as error:  # reported below
                errors.append(error)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert errors == []
        assert sorted(r.trace_id for r in list_traces(path)) == [f"trc_{n}" for n in range(8)]


def test_readers_never_create_files(tmp_path):
    missing = tmp_path / "nowhere" / "t.sqlite3"
    for read in (list_traces, latest_trace_id, lambda p: load_documents(p, "trc_A"), load_trace):
        with pytest.raises(TraceNotFound):
            read(missing)
    assert not (tmp_path / "nowhere").exists()
    assert list(tmp_path.iterdir()) == []


def test_readers_on_a_database_without_traces(tmp_path):
    empty_file = tmp_path / "empty.sqlite3"
    empty_file.write_bytes(b"")
    with pytest.raises(TraceNotFound):
        list_traces(empty_file)
    other = tmp_path / "other.sqlite3"
    sqlite3.connect(other).close()
    with pytest.raises(TraceNotFound, match="no traces"):
        latest_trace_id(other)
    assert issubclass(TraceNotFound, LookupError)


def test_unknown_trace_id(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A", document())
    with pytest.raises(TraceNotFound, match="trc_B"):
        load_documents(path, "trc_B")
    with pytest.raises(TraceNotFound, match="trc_B"):
        load_trace(path, "trc_B")


def test_saving_into_an_existing_emptied_table_and_reading_it(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_A", document())
    with sqlite3.connect(path) as connection:
        connection.execute("DELETE FROM trace_documents")
    assert list_traces(path) == []
    with pytest.raises(TraceNotFound):
        latest_trace_id(path)
    save(path, "trc_B", document("trc_B"))
    # AUTOINCREMENT: ids of deleted rows are never reused.
    assert [(r.row_id, r.trace_id) for r in list_traces(path)] == [(2, "trc_B")]


def test_default_db_path(tmp_path, monkeypatch):
    from ruvo import Profiler, config, profiler

    monkeypatch.chdir(tmp_path)
    assert default_db_path() == tmp_path / ".ruvo" / "ruvo.sqlite3"
    assert not (tmp_path / ".ruvo").exists()
    # One definition, whichever module it is reached through.
    assert db.default_db_path is config.default_db_path is profiler.default_db_path
    monkeypatch.setattr(config, "DEFAULT_DB", config.Path("elsewhere.sqlite3"))
    assert Profiler().db_path == tmp_path / "elsewhere.sqlite3"


def test_each_thread_tallies_its_own_saves(tmp_path):
    before = db.saves_on_this_thread()
    save(tmp_path / "ok.sqlite3", "trc_1", document("trc_1"))
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the database directory should be")
    with pytest.raises(TraceNotSaved) as raised:
        save(blocker / "t.sqlite3", "trc_2", document("trc_2"))
    assert raised.value.spill_path is None
    elsewhere = []
    worker = threading.Thread(target=lambda: (save(tmp_path / "ok.sqlite3", "trc_3", document("trc_3")),
                                              elsewhere.append(db.saves_on_this_thread())))
    worker.start()
    worker.join()
    assert elsewhere == [(1, 0)]
    assert db.saves_on_this_thread() == (before[0] + 1, before[1] + 1)


def left_out_record(message):
    # As the profiler writes it: a 14-entry map starting with its frame id.
    return {"frame_id": "frm_L", "timestamp": 2.0, "thread": "MainThread", "thread_native_id": 1,
            "user_code_call_site": None, "type": "ruvo", "subtype": "left_out", "budget": 100,
            "stored_bytes": 120, "values_omitted": 3, "frames_omitted": 4, "failures_unlogged": 0,
            "since": 2.0, "message": message}


def test_what_a_trace_left_out_is_in_its_row(tmp_path):
    path = tmp_path / "t.sqlite3"
    message = "This trace reached its recording budget of 100 record bytes: 4 frame records were left out"
    save(path, "trc_A", document(foi=[frame_record("f"), frame_record("f", "return"), left_out_record(message)]))
    save(path, "trc_B", document(foi=[frame_record("g")]))
    assert [(row.trace_id, row.left_out) for row in list_traces(path)] == [("trc_B", None), ("trc_A", message)]


def test_document_past_the_part_size_is_stored_whole_in_parts(tmp_path, monkeypatch):
    monkeypatch.setattr(db.store, "PART_BYTES", 1000)
    path = tmp_path / "t.sqlite3"
    # Text that compresses little, so that it still takes several parts.
    noise = "".join(random.Random(7).choices(string.ascii_letters + string.digits, k=6000))
    big = document(foi=[frame_record("f", value=noise), frame_record("f", "return")])
    small = document(foi=[frame_record("g")])
    save(path, "trc_A", big)
    save(path, "trc_A", small)
    assert load_documents(path, "trc_A") == [big, small]
    assert list(path.parent.glob("*.msgpack")) == []
    with sqlite3.connect(path) as connection:
        (stored,) = connection.execute("SELECT stored FROM trace_documents WHERE id = 1").fetchone()
        assert 3000 < stored < len(big)
        assert connection.execute("SELECT count(*) FROM trace_document_parts").fetchone() == ((stored - 1) // 1000,)


def test_database_of_the_first_schema_is_upgraded_and_read(tmp_path):
    path = tmp_path / "old.sqlite3"
    with sqlite3.connect(path) as connection:
        connection.executescript(
            "CREATE TABLE trace_documents (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL,"
            " saved_at REAL NOT NULL, started_at REAL, source TEXT, test_nodeid TEXT, records INTEGER,"
            " threads INTEGER, size INTEGER NOT NULL, document BLOB NOT NULL); PRAGMA user_version = 1;")
        old = document("trc_OLD", foi=[frame_record("f")])
        connection.execute("INSERT INTO trace_documents (trace_id, saved_at, size, document) VALUES (?, ?, ?, ?)",
                           ("trc_OLD", 1.0, len(old), old))
    assert load_documents(path, "trc_OLD") == [old] and list_traces(path)[0].left_out is None
    save(path, "trc_NEW", document("trc_NEW", foi=[frame_record("g")]))
    assert [row.trace_id for row in list_traces(path)] == ["trc_NEW", "trc_OLD"]
    assert load_documents(path, "trc_OLD") == [old]


class TestBatching:
    @pytest.fixture(autouse=True)
    def _stop(self):
        yield
        db.stop_batching()

    def test_queued_saves_are_stored_by_flush_in_order(self, tmp_path, monkeypatch):
        # Enough for several rows per statement, and one document in parts
        # among them, which must keep its place.
        monkeypatch.setattr(db.store, "PART_BYTES", 1000)
        path = tmp_path / "t.sqlite3"
        before, on_this_thread = db.save_counts(), db.saves_on_this_thread()
        db.start_batching(path)
        docs = [document(f"trc_{i}", foi=[frame_record(f"f{i}", value="x" * (2500 if i == 300 else 1))])
                for i in range(450)]
        for i, doc in enumerate(docs):
            save(path, f"trc_{i}", doc)
        save(path, "trc_7", docs[0])
        counts = db.flush().since(before)
        assert (counts.saved, counts.spilled, counts.lost) == (451, (), 0)
        assert [row.trace_id for row in list_traces(path)] == ["trc_7"] + [f"trc_{i}" for i in reversed(range(450))]
        assert load_documents(path, "trc_7") == [docs[7], docs[0]]
        assert load_documents(path, "trc_300") == [docs[300]]
        assert db.saves_on_this_thread() == on_this_thread  # queued saves are the writer's
        with sqlite3.connect(path) as connection:
            assert connection.execute("PRAGMA journal_mode").fetchone() == ("wal",)

    def test_the_writer_waits_while_the_program_traces_its_allocations(self, tmp_path):
        import time
        import tracemalloc

        path = tmp_path / "t.sqlite3"
        db.start_batching(path)
        tracemalloc.start()
        try:
            save(path, "trc_T", document("trc_T", foi=[frame_record("f", value="x")]))
            time.sleep(4 * db.batching.BATCH_SECONDS)
            # Nothing of the writer's was allocated under the trace.
            assert not path.exists() or not db.stored_trace_ids(path, {"trc_T"})
        finally:
            tracemalloc.stop()
        db.flush()
        assert db.stored_trace_ids(path, {"trc_T"}) == {"trc_T"}

    def test_failures_are_spilled_or_lost_and_counted(self, tmp_path):
        before = db.save_counts()
        directory_db = tmp_path / "a" / "t.sqlite3"
        directory_db.mkdir(parents=True)
        blocker = tmp_path / "blocker"
        blocker.write_text("a file where a directory should be")
        db.start_batching()
        save(directory_db, "trc_S", b"spilled one")
        save(blocker / "t.sqlite3", "trc_L", b"lost one")
        counts = db.stop_batching().since(before)
        (spill,) = counts.spilled
        assert (spill.parent, spill.read_bytes(), counts.saved, counts.lost) == (tmp_path / "a", b"spilled one", 0, 1)
        # Saving is direct again: failures raise.
        with pytest.raises(TraceNotSaved):
            save(directory_db, "trc_T", b"direct")

    def test_the_writer_is_never_profiled_and_exit_flushes(self, tmp_path):
        import subprocess
        import sys

        path = tmp_path / "t.sqlite3"
        script = (
            "import sys, threading\n"
            "from ruvo import db\n"
            "hooked = []\n"
            "threading.setprofile(lambda *a: hooked.append(threading.current_thread().name))\n"
            f"db.start_batching({str(path)!r})\n"
            "threading.setprofile(None)\n"
            "import msgpack\n"
            "for i in range(20):\n"
            f"    db.save_trace_in_sqlite({str(path)!r}, 'trc_%d' % i, timeout=5, msgpack=msgpack.packb("
            "{'trace_id': 'trc_%d' % i, 'frames': {}, 'frames_of_interest': []}))\n"
            "print(sorted(set(hooked)))\n"
        )
        completed = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                                   env=dict(__import__("os").environ, PYTHONPATH=__import__("os").pathsep.join(sys.path)))
        assert completed.returncode == 0, completed.stderr
        # The hook ran on the writer once, as it started, and it unhooked itself there.
        assert completed.stdout.strip() in ("[]", "['ruvo-writer']")
        assert len(list_traces(path)) == 20  # stored at exit, without a flush


def test_saves_reuse_one_connection_and_reopen_a_replaced_database(tmp_path):
    path = tmp_path / "t.sqlite3"
    save(path, "trc_1", document("trc_1"))
    store = db.store_for(path)
    first = store._connection
    save(path, "trc_2", document("trc_2"))
    assert store._connection is first
    path.unlink()
    for suffix in ("-wal", "-shm"):
        (tmp_path / f"t.sqlite3{suffix}").unlink(missing_ok=True)
    save(path, "trc_3", document("trc_3"))
    assert store._connection is not first
    assert [row.trace_id for row in list_traces(path)] == ["trc_3"]
