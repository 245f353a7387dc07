"""Input ruvo did not write: hand-edited and hostile documents, other
programs' databases, broken files, escape sequences in recorded text.  Each
is one line on stderr (exit 2) or drawn harmlessly, never a traceback, and
nothing is changed that is not ruvo's."""

import copy
import io
import math
import sqlite3
import threading
from concurrent.futures import ThreadPoolExecutor
from contextlib import redirect_stderr, redirect_stdout

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ruvo import db
from ruvo.cli import main
from _documents import call, document, plugin, ret


def cli(*args: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status = main(list(args))
    return status, out.getvalue(), err.getvalue()


def sample() -> dict:
    records = [
        call("frm_1", "app.main", "app.py:1", 0.001, locals={"x": 1}),
        plugin("log", 0.002, level="WARNING", levelno=30, logger="app", message="low", path="app.py:2"),
        plugin("start_test", 0.0015, nodeid="t.py::t"),
        call("frm_2", "app.f", "app.py:5", 0.003),
        ret("frm_2", "app.f", "app.py:6", 0.004, value=[1, 2]),
        ret("frm_1", "app.main", "app.py:3", 0.005, value=None),
        plugin("request", 0.006, method="GET", path="/x", status=200, duration_ms=1.0, closed=True),
    ]
    worker = [call("frm_3", "app.w", "app.py:9", 0.002, thread="w", native=7),
              ret("frm_3", "app.w", "app.py:9", 0.0025, thread="w", native=7)]
    return document(records, frames={7: worker}, trace_id="trc_FUZZ")


HOSTILE = st.sampled_from([None, True, -1, 2**64 - 1, -(2**63), 1e300, -1e300, math.nan, math.inf, "", "\x1b[2J", [], [1, "a"],
                           {}, {"a": [1]}, b"\x00\xff", msgpack.ExtType(5, b"\x01"), 12.5, 0]).map(copy.deepcopy)
# (copied: one shared list placed inside itself would make a recursive document)
FIELDS = st.sampled_from(["timestamp", "type", "event", "qualname", "co_name", "path", "thread", "thread_native_id",
                          "frame_id", "locals", "arg", "message", "levelno", "nodeid", "status", "duration_ms", "method"])
TOP = st.sampled_from(["timestamp", "trace_id", "meta", "main_thread_id", "frames", "frames_of_interest",
                       "command_line_args", "current_commit_sha"])


@st.composite
def mutated(draw):
    doc = sample()
    for _ in range(draw(st.integers(1, 3))):
        if draw(st.booleans()):
            records = doc.get("frames_of_interest") if draw(st.booleans()) or not isinstance(doc.get("frames"), dict) \
                or 7 not in doc["frames"] else doc["frames"][7]
            if not isinstance(records, list) or not records:
                continue
            index = draw(st.integers(0, len(records) - 1))
            if isinstance(records[index], dict) and draw(st.integers(0, 5)):
                records[index][draw(FIELDS)] = draw(HOSTILE)
            else:
                records[index] = draw(HOSTILE)
        elif draw(st.booleans()):
            doc[draw(TOP)] = draw(HOSTILE)
        else:
            doc.pop(draw(TOP), None)
    return doc


def check_one_line_or_drawn(status: int, err: str) -> None:
    assert status in (0, 2), err
    if status == 2:
        assert err.count("\n") == 1 and err.startswith("ruvo: error: "), err
        assert "\x1b" not in err


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                 HealthCheck.function_scoped_fixture])
@given(mutated())
def test_every_reader_survives_mutated_documents(tmp_path_factory, doc):
    # Each used to fail somewhere inside a renderer: a huge timestamp, a
    # non-str qualname, a list as thread id, NaN...
    directory = tmp_path_factory.mktemp("fuzz")
    path = directory / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_FUZZ", timeout=5, msgpack=msgpack.packb(doc))
    for command in (["show"], ["show", "--values"], ["top"], ["export", "-o", "-"],
                    ["export", "--format", "speedscope", "-o", "-"], ["view", "-o", str(directory / "v.html")],
                    ["traces"]):
        status, out, err = cli(*command, "--db", str(path))
        check_one_line_or_drawn(status, err)
        if command[0] in ("show", "traces", "top"):
            assert "\x1b" not in out


def test_damage_is_named_with_its_place(tmp_path):
    path = tmp_path / "t.sqlite3"
    doc = sample()
    doc["frames_of_interest"][3]["qualname"] = 5
    db.save_trace_in_sqlite(path, "trc_FUZZ", timeout=5, msgpack=msgpack.packb(doc))
    for command in (["show"], ["top"], ["view", "-o", str(tmp_path / "o")], ["export", "-o", str(tmp_path / "o")]):
        assert cli(*command, "--db", str(path))[2] == "ruvo: error: trace trc_FUZZ is damaged: record 4 of the " \
            "main thread's records: a frame record's qualname is an int, not a string\n", command


class TestImport:
    def spill(self, tmp_path, doc, name="t.sqlite3.trc_FUZZ-1.msgpack"):
        file = tmp_path / name
        file.write_bytes(msgpack.packb(doc))
        return file

    def test_twice_and_at_once_stores_each_document_once(self, tmp_path):
        # Importing the same file twice stored the trace twice, and show drew
        # every call twice; two imports at once did the same.
        path = tmp_path / "t.sqlite3"
        file = self.spill(tmp_path, sample())
        copy = self.spill(tmp_path, sample(), "copy.msgpack")
        assert cli("import", "--db", str(path), str(file), "--keep")[0] == 0
        status, out, _ = cli("import", "--db", str(path), str(file))
        assert (status, out) == (0, f"ruvo: trc_FUZZ from {file} was stored already; not stored again\n")
        both = {**sample(), "trace_id": "trc_BOTH"}
        files = [self.spill(tmp_path, both, f"t.sqlite3.trc_BOTH-{n}.msgpack") for n in range(4)]
        barrier = threading.Barrier(4)
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(lambda file: (barrier.wait(), db.import_spilled(path, file, timeout=30)), files))
        assert sorted(row.trace_id for row in db.list_traces(path)) == ["trc_BOTH", "trc_FUZZ"]
        assert copy.exists()

    @pytest.mark.parametrize("doc, reason", [
        ({"trace_id": "abc"}, "the document has no command_line_args, current_commit_sha, frames, "
                              "frames_of_interest, main_thread_id, meta, timestamp"),
        ({**sample(), "timestamp": 1e300}, "its start time is 1e+300"),
        ({**sample(), "frames": {"x": []}}, "a thread of its frames entry is keyed by a str"),
    ])
    def test_refuses_what_readers_could_not_draw(self, tmp_path, doc, reason):
        file = self.spill(tmp_path, doc)
        status, _, err = cli("import", "--db", str(tmp_path / "t.sqlite3"), str(file))
        assert status == 2 and err.startswith(f"ruvo: could not import {file}: {file} is not a trace document: {reason}")
        assert file.exists() and not (tmp_path / "t.sqlite3").exists()

    def test_takes_only_the_spills_of_its_own_database(self, tmp_path):
        # Spills were named for their trace alone: importing into another
        # database of the same directory took (and deleted) them.
        (tmp_path / "locked").mkdir()  # a directory where the database should be: the save spills
        with pytest.raises(db.TraceNotSaved) as caught:
            db.save_trace_in_sqlite(tmp_path / "locked", "trc_A", timeout=1, msgpack=msgpack.packb(sample()))
        spill = caught.value.spill_path
        assert cli("import", "--db", str(tmp_path / "other.sqlite3"))[1] == \
            f"No spilled traces wait beside {tmp_path / 'other.sqlite3'}.\n"
        assert spill.exists()


def foreign_database(path):
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE users (id INTEGER, name TEXT)")
        connection.execute("INSERT INTO users VALUES (1, 'ada')")
    return path


class TestDatabasesThatAreNotRuvos:
    def contents(self, path):
        # Spilled documents, and the notes of their run, aside.
        return path.read_bytes(), sorted(p.name for p in path.parent.iterdir()
                                         if not p.name.endswith((".msgpack", ".msgpack.run")))

    @pytest.mark.parametrize("make, message", [
        (foreign_database, "is not a ruvo trace database (it holds users); give ruvo a file of its own with --db"),
        (lambda path: sqlite3.connect(path).executescript(
            "CREATE TABLE trace_documents (id INTEGER, title TEXT);") and path,
         "is not a ruvo trace database (its trace_documents table is another program's); "
         "give ruvo a file of its own with --db"),
        (lambda path: sqlite3.connect(path).executescript("PRAGMA application_id = 42;") and path,
         "is not a ruvo trace database (another program's, application id 0x2a); give ruvo a file of its own with --db"),
    ])
    def test_are_refused_and_never_changed(self, tmp_path, make, message):
        # One was given ruvo's tables and switched to WAL; another failed with a traceback.
        path = make(tmp_path / "app.sqlite3")
        before = self.contents(path)
        with pytest.raises(db.TraceNotSaved) as caught:
            db.save_trace_in_sqlite(path, "trc_A", timeout=1, msgpack=msgpack.packb(sample()))
        assert message in str(caught.value) and caught.value.spill_path.exists()
        for command in ("traces", "show", "top"):
            status, _, err = cli(command, "--db", str(path))
            assert (status, err) == (2, f"ruvo: error: {path} {message}\n"), command
        assert cli("import", "--db", str(path))[2] == f"ruvo: error: {path} {message}\n"
        assert self.contents(path) == before

    def test_a_newer_schema_is_refused(self, tmp_path):
        path = tmp_path / "t.sqlite3"
        db.save_trace_in_sqlite(path, "trc_A", timeout=1, msgpack=msgpack.packb(sample()))
        with sqlite3.connect(path) as connection:
            connection.execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
        message = (f"{path} was written by a newer ruvo (schema version {db.SCHEMA_VERSION + 1}; this one knows up "
                   f"to {db.SCHEMA_VERSION}): upgrade ruvo to use it")
        with pytest.raises(db.TraceNotSaved, match="newer ruvo"):
            db.save_trace_in_sqlite(path, "trc_B", timeout=1, msgpack=msgpack.packb(sample()))
        assert cli("show", "--db", str(path)) == (2, "", f"ruvo: error: {message}\n")
        with sqlite3.connect(path) as connection:
            assert connection.execute("SELECT count(*) FROM trace_documents").fetchone() == (1,)

    @pytest.mark.parametrize("content", [b"random bytes, not SQLite " * 200, b"SQLite format 3\x00" + b"\x10" * 90])
    def test_an_unreadable_file_is_not_an_empty_database(self, tmp_path, content):
        # It was "No traces in X yet", exit 0.
        path = tmp_path / "t.sqlite3"
        path.write_bytes(content)
        status, out, err = cli("traces", "--db", str(path))
        assert (status, out) == (2, "") and err.startswith(f"ruvo: error: cannot read the trace database {path}: ")

    def test_a_database_locked_by_another_process_is_said_to_be(self, tmp_path, monkeypatch):
        path = tmp_path / "t.sqlite3"
        db.save_trace_in_sqlite(path, "trc_A", timeout=1, msgpack=msgpack.packb(sample()))
        db.store_for(path).close()
        holder = sqlite3.connect(path, isolation_level=None)
        holder.execute("PRAGMA locking_mode = EXCLUSIVE")
        holder.execute("BEGIN EXCLUSIVE")
        monkeypatch.setattr(db.reading, "READ_TIMEOUT", 0.1)
        try:
            assert cli("traces", "--db", str(path)) == (
                2, "", f"ruvo: error: cannot read the trace database {path}: another process holds it locked\n")
        finally:
            holder.close()


def test_escape_sequences_in_recorded_text_are_shown_not_obeyed(tmp_path):
    # A clear-screen in a request path, an OSC title and a newline in a log
    # message, a thread name and a test id reached the terminal raw.
    evil = "\x1b]0;owned\x07\x1b[2J"
    records = [call("frm_1", "app.main", "app.py:1", 0.001),
               plugin("log", 0.002, level="WARNING", levelno=30, logger="app", message=f"line\nfake {evil}"),
               ret("frm_1", "app.main", "app.py:1", 0.003),
               plugin("start_test", 0.0005, nodeid=f"t.py::t[{evil}]")]
    doc = document(records, source=f"GET /{evil}", trace_id="trc_EVIL")
    doc["frames_of_interest"][0]["thread"] = f"thread{evil}"
    path = tmp_path / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_EVIL", timeout=5, msgpack=msgpack.packb(doc))
    for command in ("show", "traces", "top"):
        status, out, _ = cli(command, "--db", str(path))
        assert status == 0 and "\x1b" not in out and "\x07" not in out, command
    show = cli("show", "--db", str(path))[1]
    assert "WARNING app: line\\nfake \\x1b]0;owned\\x07\\x1b[2J" in show
    assert "thread thread\\x1b]0;owned" in show
    assert "t.py::t[\\x1b]0;owned\\x07\\x1b[2J]" in cli("traces", "--db", str(path))[1]


def test_small_ones_each_say_one_line(tmp_path, monkeypatch):
    import subprocess

    from test_host_faults import environment, pytest_command

    # A bad [tool.ruvo] under pytest was an INTERNALERROR traceback.
    (tmp_path / "pyproject.toml").write_text('[tool.ruvo]\nthreading = "yes"\n')
    (tmp_path / "test_x.py").write_text("def test_x():\n    pass\n")
    completed = subprocess.run(pytest_command("test_x.py"), cwd=tmp_path, capture_output=True, text=True,
                               env=environment(), timeout=120)
    assert (completed.returncode, completed.stderr.strip()) == (
        4, f"ERROR: {tmp_path / 'pyproject.toml'}: [tool.ruvo] threading must be true or false")
    # --trace-budget 0 meant no limit, silently; a size past 64 bits failed at start.
    for budget, reason in (("0", "more than 0 is needed; none for no limit"),
                           ("99999999999999999999G", "too large: at most 8589934591G; none for no limit")):
        (tmp_path / "pyproject.toml").unlink(missing_ok=True)
        monkeypatch.chdir(tmp_path)
        assert cli("run", "--trace-budget", budget, "test_x.py") == (
            2, "", f"ruvo: error: --trace-budget: not a size: {budget!r} ({reason})\n")
