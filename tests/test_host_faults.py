"""What a host does when the database is locked by another process, and when
the process is interrupted, terminated, exits with os._exit or crashes:
finished traces are stored or spilled, never lost, and the summary says so."""

import contextlib
import io
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import msgpack
import pytest

from ruvo import db
from test_pytest_plugin import installed_entry_points

HOLD_LOCK = """
import sqlite3, sys, time
connection = sqlite3.connect(sys.argv[1], isolation_level=None)
connection.execute("BEGIN EXCLUSIVE")
print("locked", flush=True)
sys.stdin.read()
"""


def environment():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))


def pytest_command(*args):
    return [sys.executable, "-m", "pytest", *([] if installed_entry_points() else ["-p", "ruvo.pytest_plugin"]),
            "--ruvo", "-p", "no:cacheprovider", "-q", *args]


@contextlib.contextmanager
def locked(database: Path):
    """A second process holding the database locked meanwhile."""
    db.save_trace_in_sqlite(database, "trc_before", timeout=5, msgpack=msgpack.packb(
        {"trace_id": "trc_before", "frames": {}, "frames_of_interest": []}))
    with subprocess.Popen([sys.executable, "-c", HOLD_LOCK, str(database)], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True) as holder:
        assert holder.stdout.readline() == "locked\n"
        try:
            yield
        finally:
            holder.stdin.close()


def interrupt_when_done(command, project: Path) -> subprocess.Popen:
    """Runs the command and sends it Ctrl-C once the file "done" appears (the
    program is over, its end waits for the lock)."""
    process = subprocess.Popen(command, cwd=project, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=environment())
    deadline = time.monotonic() + 60
    while not (project / "done").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    process.out, process.err = process.communicate(timeout=60)
    return process


@pytest.fixture
def project(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.ruvo]\nbusy-timeout = 1\n")
    return tmp_path


def write_tests(project: Path, count: int, special: dict) -> None:
    (project / "test_many.py").write_text("import os, signal\n" + "".join(
        f"def test_{n:03d}():\n    {special.get(n, 'pass')}\n" for n in range(count)))


def spilled_trace_ids(directory: Path) -> set:
    return {document["trace_id"] for file in directory.glob("ruvo.sqlite3.*") if file.suffix in (".msgpack", ".queue")
            for document in msgpack.Unpacker(io.BytesIO(file.read_bytes()), strict_map_key=False)}


def stored_nodeids(database: Path) -> list:
    try:
        return sorted(row.test_nodeid for row in db.list_traces(database) if row.test_nodeid)
    except db.TraceNotFound:  # killed before its first batch was stored
        return []


def test_a_locked_database_costs_one_timeout_per_batch_then_spills(tmp_path):
    # Each trace of the failed batch used to be retried alone, each with the
    # full timeout: minutes for a handful of tests, hours for a suite. Now
    # the batch is written beside the database at once, after one timeout;
    # the spill files' times tell (they were a timeout apart).
    database = tmp_path / "ruvo.sqlite3"
    with locked(database):
        before = db.save_counts()
        db.start_batching(database)
        for n in range(12):
            db.save_trace_in_sqlite(database, f"trc_{n:02d}", timeout=2, msgpack=msgpack.packb(
                {"trace_id": f"trc_{n:02d}", "frames": {}, "frames_of_interest": []}))
        counts = db.stop_batching().since(before)
    assert (counts.saved, len(counts.spilled), counts.lost) == (0, 12, 0)
    millis = sorted(int(path.name.rsplit("-", 1)[1].split(".")[0]) for path in counts.spilled)
    assert millis[-1] - millis[0] < 3000, millis


def test_ctrl_c_while_the_last_traces_wait_spills_them_and_summarizes(project):
    # Ctrl-C during the wait at the session's end lost every queued trace,
    # with a traceback and no summary.
    write_tests(project, 6, {5: "open('done', 'w').close()"})
    (project / "pyproject.toml").write_text("[tool.ruvo]\nbusy-timeout = 60\n")
    database = project / ".ruvo" / "ruvo.sqlite3"
    with locked(database):
        process = interrupt_when_done(pytest_command("test_many.py"), project)
    out, err = process.out, process.err
    assert process.returncode == pytest.ExitCode.INTERRUPTED, out + err
    assert "Traceback" not in out + err
    assert "ruvo: 6 test trace(s) could not be saved to" in out, out
    assert "ruvo: interrupted while saving" in out
    assert len(spilled_trace_ids(database.parent)) == 6


@pytest.mark.parametrize("end", ["os.kill(os.getpid(), signal.SIGTERM)", "os._exit(0)"])
def test_finished_traces_outlive_sigterm_and_os_exit(project, end):
    # SIGTERM lost the traces still queued; os._exit lost every one. Now
    # they wait beside the database, and the next session stores them.
    write_tests(project, 40, {30: end})
    completed = subprocess.run(pytest_command("test_many.py"), cwd=project, capture_output=True, text=True,
                               timeout=120, env=environment())
    assert completed.returncode in (0, -signal.SIGTERM), completed.stdout + completed.stderr
    database = project / ".ruvo" / "ruvo.sqlite3"
    finished = [f"test_many.py::test_{n:03d}" for n in range(30)]
    stored = stored_nodeids(database)
    assert len(stored) + len(spilled_trace_ids(database.parent)) == 30
    (project / "test_more.py").write_text("def test_next():\n    pass\n")
    later = subprocess.run(pytest_command("test_more.py"), cwd=project, capture_output=True, text=True,
                           timeout=120, env=environment())
    assert later.returncode == 0, later.stdout + later.stderr
    assert stored_nodeids(database) == finished + ["test_more.py::test_next"]
    assert spilled_trace_ids(database.parent) == set()


def test_a_crashed_xdist_worker_is_counted_and_its_queue_stored(project):
    # The controller reported the living workers only: traces the crashed
    # one stored, or still had queued, went uncounted.
    write_tests(project, 30, {12: "os._exit(3)"})
    completed = subprocess.run(pytest_command("-n", "2", "test_many.py"), cwd=project, capture_output=True,
                               text=True, timeout=300, env=environment())
    out = completed.stdout
    assert completed.returncode == 1, out + completed.stderr
    database = project / ".ruvo" / "ruvo.sqlite3"
    stored = stored_nodeids(database)
    assert len(stored) == 29 and "test_many.py::test_012" not in stored
    assert f"ruvo: 29 test trace(s) saved to {database} (see them with `ruvo traces`)" in out
    assert "ruvo: 1 test(s) have no trace: their worker crashed while running them" in out
    assert "ruvo: failed test_many.py::test_012: no trace saved" in out


def ruvo_command(*args):
    return [sys.executable, "-m", "ruvo", *args]


def test_ctrl_c_while_ruvo_run_waits_for_the_database_keeps_the_trace_and_the_status(project):
    # It waited for SQLite, printed a traceback, saved nothing and exited -2.
    (project / "pyproject.toml").write_text("[tool.ruvo]\nbusy-timeout = 60\n")
    (project / "prog.py").write_text("def work():\n    return 1\nwork()\nopen('done', 'w').close()\nraise SystemExit(4)\n")
    database = project / ".ruvo" / "ruvo.sqlite3"
    with locked(database):
        process = interrupt_when_done(ruvo_command("run", "prog.py"), project)
    err = process.err
    assert process.returncode == 4, err
    (spill,) = database.parent.glob("ruvo.sqlite3.trc_*.msgpack")
    assert err.splitlines() == [f"ruvo: interrupted while saving trace {spill.name.split('.')[2].rsplit('-', 1)[0]}; "
                                f"it was written to {spill.relative_to(project)} (store it with: ruvo import)"]


def test_ruvo_run_of_a_directory_without_main_and_of_a_program_that_closes_stderr(project):
    (project / "adir").mkdir()
    completed = subprocess.run(ruvo_command("run", "adir"), cwd=project, capture_output=True, text=True,
                               env=environment(), timeout=60)
    # A traceback and an empty trace before; now what python says, and no trace.
    assert (completed.returncode, completed.stderr) == (1, "ruvo: can't find '__main__' module in 'adir'\n")
    assert not (project / ".ruvo").exists()
    (project / "closes.py").write_text("import os, sys\nos.close(2)\nsys.exit(3)\n")
    completed = subprocess.run(ruvo_command("run", "closes.py"), cwd=project, capture_output=True, text=True,
                               env=environment(), timeout=60)
    assert completed.returncode == 3  # was 1: ruvo failed writing its own lines
    assert len(db.list_traces(project / ".ruvo" / "ruvo.sqlite3")) == 1


def test_the_middleware_never_holds_a_response_for_a_locked_database(tmp_path):
    # The save ran on the request's thread before the body was returned: each
    # request waited out the busy timeout (60 s) with the database locked.
    import threading

    from ruvo.middleware import RuvoMiddleware
    from test_middleware import StartResponse, environ, list_app

    database = tmp_path / "t.sqlite3"
    wrapped = RuvoMiddleware(list_app, db_path=database)
    answers = []
    with locked(database):
        started = time.monotonic()
        threads = [threading.Thread(target=lambda n=n: answers.append(wrapped(environ(path=f"/{n}"), StartResponse())))
                   for n in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert time.monotonic() - started < 30
    assert sorted(answers) == [[b"made /0"], [b"made /1"], [b"made /2"], [b"made /3"]]
    db.flush()
    assert sorted(row.source for row in db.list_traces(database) if row.source) == ["GET /0", "GET /1", "GET /2", "GET /3"]


def test_a_response_never_closed_is_saved_at_exit_as_such(tmp_path):
    # A test client that reads the status and drops the response: the trace
    # waited for a close() that never came, and was lost at exit.
    script = tmp_path / "client.py"
    script.write_text(
        "from ruvo.middleware import RuvoMiddleware\n"
        "def app(environ, start_response):\n"
        "    start_response('200 OK', [])\n"
        "    yield b'hello'\n"
        "wrapped = RuvoMiddleware(app, db_path='t.sqlite3')\n"
        "statuses = []\n"
        "response = wrapped({'REQUEST_METHOD': 'GET', 'PATH_INFO': '/hello'}, lambda s, h, e=None: statuses.append(s))\n"
        "first = next(iter(response))\n"
        "print(statuses[0], first)\n")
    completed = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                               env=environment(), timeout=60)
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, "200 OK b'hello'\n", "")
    (trace,) = [db.load_trace(tmp_path / "t.sqlite3", row.trace_id) for row in db.list_traces(tmp_path / "t.sqlite3")]
    (request,) = [r for r in trace["frames_of_interest"] if r["type"] == "request"]
    assert (request["path"], request["status"], request["closed"], request["duration_ms"]) == ("/hello", 200, False, None)


def test_a_forked_child_saves_a_trace_of_its_own(project):
    # The child saved its parent's trace id, with the parent's calls from
    # before the fork: two <module> roots and every early call twice.
    (project / "forks.py").write_text(
        "import os\n"
        "def before():\n    return 1\n"
        "def in_child():\n    return 2\n"
        "def in_parent():\n    return 3\n"
        "before()\n"
        "pid = os.fork()\n"
        "if pid == 0:\n    in_child()\n"
        "else:\n    os.waitpid(pid, 0)\n    in_parent()\n")
    completed = subprocess.run(ruvo_command("run", "forks.py"), cwd=project, capture_output=True, text=True,
                               env=environment(), timeout=60)
    assert completed.returncode == 0, completed.stderr
    from _cli import SAVED

    child, parent = SAVED.findall(completed.stderr)
    assert child[0] != parent[0]
    database = project / ".ruvo" / "ruvo.sqlite3"

    def calls(trace_id):
        trace = db.load_trace(database, trace_id)
        return [r["co_name"] for r in trace["frames_of_interest"] if r["type"] == "frame" and r["event"] == "call"]

    assert calls(parent[0]) == ["<module>", "before", "in_parent"]
    assert calls(child[0]) == ["in_child"]
