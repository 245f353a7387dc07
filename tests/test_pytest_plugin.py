"""`pytest --ruvo` on a small sample suite: one saved trace per test."""

import importlib.metadata
import os
import shutil
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest

from ruvo import db

SAMPLE = Path(__file__).parent / "samples" / "pytest_suite"


def installed_entry_points():
    return [ep for ep in importlib.metadata.entry_points(group="pytest11") if ep.dist and ep.dist.name == "ruvo"]


# The plugin as a pluggy older than 1.1 takes it, with old-style hook wrappers only.
OLD_STYLE_WRAPPERS = """
import pytest

real = pytest.hookimpl


def old_style(function=None, *, hookwrapper=False, optionalhook=False, tryfirst=False, trylast=False, specname=None):
    return real(function, hookwrapper=hookwrapper, optionalhook=optionalhook, tryfirst=tryfirst, trylast=trylast,
                specname=specname)


pytest.hookimpl = old_style
try:
    from ruvo.pytest_plugin import *  # noqa: F403
    from ruvo import pytest_plugin
finally:
    pytest.hookimpl = real
assert pytest_plugin._WRAPPER == {"hookwrapper": True}
"""


@pytest.fixture(scope="module", params=["profile", pytest.param("monitoring", marks=pytest.mark.skipif(
    sys.version_info < (3, 12), reason="sys.monitoring is new in Python 3.12")), "old-style wrappers"])
def traces(tmp_path_factory, request):
    project = tmp_path_factory.mktemp("project")
    for source in SAMPLE.iterdir():
        if source.suffix == ".py":
            shutil.copy(source, project / source.name)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # An installed ruvo brings its plugin through the entry point; the
    # source tree has to name it.
    plugin = [] if installed_entry_points() else ["-p", "ruvo.pytest_plugin"]
    backend = request.param
    if backend == "old-style wrappers":
        (project / "old_style_wrappers.py").write_text(OLD_STYLE_WRAPPERS)
        plugin, backend = ["-p", "no:ruvo", "-p", "old_style_wrappers"], "profile"
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", *plugin, "--ruvo", f"--ruvo-backend={backend}", "-q", "-p", "no:cacheprovider",
         "test_shop.py"],
        cwd=project, capture_output=True, text=True, timeout=300, env=environment)
    assert completed.returncode == 1, completed.stdout + completed.stderr  # test_fails fails
    assert "ruvo: 5 test trace(s) saved to" in completed.stdout
    database = project / ".ruvo" / "ruvo.sqlite3"
    rows = db.list_traces(database)
    return {row.test_nodeid: (row, db.load_trace(database, row.trace_id)) for row in rows}


def frames(trace):
    return [r for r in trace["frames_of_interest"] if r["type"] == "frame"]


def test_one_trace_per_test(traces):
    assert sorted(traces) == [f"test_shop.py::{name}" for name in
                              ("test_fails", "test_fetch", "test_large_order_logs", "test_price", "test_skipped")]
    assert len({row.trace_id for row, _ in traces.values()}) == 5
    for nodeid, (row, trace) in traces.items():
        assert row.source == "pytest"
        assert trace["meta"]["source"] == "pytest"
        records = trace["frames_of_interest"]
        assert records[0]["type"] == "start_test" and records[0]["nodeid"] == nodeid
        assert records[-1]["type"] == "end_test" and records[-1]["nodeid"] == nodeid


def test_each_trace_holds_its_own_test(traces):
    _, trace = traces["test_shop.py::test_price"]
    assert [(r["event"], r["co_name"]) for r in frames(trace)] == [
        ("call", "test_price"), ("call", "price"), ("return", "price"), ("return", "test_price")]
    price_call = frames(trace)[1]
    assert price_call["locals"] == {"quantity": 2, "unit": 3}
    assert price_call["path"].endswith("shop.py:8")


def test_outcomes(traces):
    outcomes = {nodeid: trace["frames_of_interest"][-1]["outcome"] for nodeid, (_, trace) in traces.items()}
    assert outcomes == {
        "test_shop.py::test_fails": "failed",
        "test_shop.py::test_fetch": "passed",
        "test_shop.py::test_large_order_logs": "passed",
        "test_shop.py::test_price": "passed",
        "test_shop.py::test_skipped": "skipped",
    }
    _, skipped = traces["test_shop.py::test_skipped"]
    assert frames(skipped) == []


def test_log_records(traces):
    _, trace = traces["test_shop.py::test_large_order_logs"]
    (log,) = [r for r in trace["frames_of_interest"] if r["type"] == "log"]
    assert (log["level"], log["logger"], log["message"]) == ("WARNING", "shop", "large order: 150")
    price_call = next(r for r in frames(trace) if r["co_name"] == "price")
    assert log["user_code_call_site"]["call_frame_id"] == price_call["frame_id"]


def test_http_records(traces):
    _, trace = traces["test_shop.py::test_fetch"]
    http = [r for r in trace["frames_of_interest"] if r["type"].startswith("http_")]
    assert [r["type"] for r in http] == ["http_request", "http_response"]
    request, response = http
    assert request["method"] == response["method"] == "GET"
    assert request["url"].startswith("http://127.0.0.1:") and request["url"].endswith("/items?page=2")
    assert response["status"] == 200


def run_pytest(cwd, *args):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-m", "pytest", *([] if installed_entry_points() else ["-p", "ruvo.pytest_plugin"]),
         "--ruvo", "-q", "-p", "no:cacheprovider", *args],
        cwd=cwd, capture_output=True, text=True, timeout=300, env=environment)


def ruvo_section(stdout):
    """The lines of the summary's ruvo section (between its header and the next)."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("---") and " ruvo " in line)
    end = next((i for i in range(start + 1, len(lines)) if not lines[i].startswith(("ruvo: ", "  "))), len(lines))
    return lines[start + 1 : end]


def test_summary_says_which_traces_reached_their_budget(tmp_path):
    (tmp_path / "test_many.py").write_text(
        "def leaf(n):\n"
        "    return n\n"
        "def test_small():\n"
        "    assert leaf(1) == 1\n"
        "def test_many():\n"
        "    assert sum(leaf(i) for i in range(2000)) == 1999000\n"
    )
    completed = run_pytest(tmp_path, "--ruvo-trace-budget", "20K", "test_many.py")
    assert completed.returncode == 0, completed.stdout + completed.stderr
    database = tmp_path / ".ruvo" / "ruvo.sqlite3"
    assert ruvo_section(completed.stdout) == [
        f"ruvo: 2 test trace(s) saved to {database} (see them with `ruvo traces`)",
        "ruvo: 1 test trace(s) left records or values out, for their budget or for failed events (marked + by "
        "`ruvo traces`, said in `ruvo show`); `ruvo top` still counts every call. For more records: "
        "--ruvo-trace-budget SIZE (or none)",
    ]


def test_summary_counts_saved_spilled_and_lost_traces(tmp_path):
    # Each test waits for the traces before it to be written, then breaks
    # the database for the next one: first for the database only (the
    # trace is spilled beside it), then for its directory (the trace is lost).
    (tmp_path / "test_blocking.py").write_text(
        "import os, pathlib\n"
        "from ruvo import db\n"
        "def test_saved():\n"
        "    pass\n"
        "def test_spilled():\n"
        "    db.flush()\n"
        "    os.replace('.ruvo', 'ruvo-saved')\n"
        "    pathlib.Path('.ruvo/ruvo.sqlite3').mkdir(parents=True)\n"
        "def test_lost():\n"
        "    db.flush()\n"
        "    os.replace('.ruvo', 'ruvo-old')\n"
        "    pathlib.Path('.ruvo').write_text('no longer a directory')\n"
    )
    completed = run_pytest(tmp_path, "test_blocking.py")
    assert completed.returncode == 0, completed.stdout + completed.stderr
    database = tmp_path / ".ruvo" / "ruvo.sqlite3"
    (spill,) = (tmp_path / "ruvo-old").glob("*.msgpack")
    assert ruvo_section(completed.stdout) == [
        f"ruvo: 1 test trace(s) saved to {database} (see them with `ruvo traces`)",
        f"ruvo: 1 test trace(s) could not be saved to {database} and were written beside it "
        "(store them with `ruvo import FILE`):",
        f"  {tmp_path / '.ruvo' / spill.name}",
        f"ruvo: 1 test trace(s) were lost: neither {database} nor a file beside it could be written",
    ]
    assert [row.test_nodeid for row in db.list_traces(tmp_path / "ruvo-saved" / "ruvo.sqlite3")] == ["test_blocking.py::test_saved"]
    (spilled_start,) = [r for r in msgpack.unpackb(spill.read_bytes(), strict_map_key=False)["frames_of_interest"]
                        if r["type"] == "start_test"]
    assert spilled_start["nodeid"] == "test_blocking.py::test_spilled"


def test_summary_adds_up_the_xdist_workers_and_follows_the_failures(tmp_path):
    for source in SAMPLE.iterdir():
        if source.suffix == ".py":
            shutil.copy(source, tmp_path / source.name)
    completed = run_pytest(tmp_path, "-n", "2", "test_shop.py")
    assert completed.returncode == 1, completed.stdout + completed.stderr
    database = tmp_path / ".ruvo" / "ruvo.sqlite3"
    section = ruvo_section(completed.stdout)
    assert section[0] == f"ruvo: 5 test trace(s) saved to {database} (see them with `ruvo traces`)"
    assert section[1].startswith("ruvo: failed test_shop.py::test_fails: trace trc_")
    # The traceback came from the worker with the report: the failure's call is named.
    assert section[2:] == ["  surfaced in: shop.price(quantity=1, unit=1) -> 1  shop.py:8"]
    rows = db.list_traces(database)
    assert sorted((row.test_nodeid, row.outcome) for row in rows) == [
        ("test_shop.py::test_fails", "failed"), ("test_shop.py::test_fetch", "passed"),
        ("test_shop.py::test_large_order_logs", "passed"), ("test_shop.py::test_price", "passed"),
        ("test_shop.py::test_skipped", "skipped")]
    # Its own section, after the failures' (not inside the last failure's output).
    lines = completed.stdout.splitlines()
    assert lines.index(next(line for line in lines if " ruvo " in line and line.startswith("---"))) > \
        lines.index(next(line for line in lines if "FAILURES" in line))


def test_plugin_is_registered_for_installed_packages():
    entry_points = installed_entry_points()
    if not entry_points:
        pytest.skip("ruvo is not installed as a distribution here")
    assert [(ep.name, ep.value) for ep in entry_points] == [("ruvo", "ruvo.pytest_plugin")]


def test_pytest_leaves_ruvos_own_modules_as_they_are(tmp_path):
    # pytest would rewrite the asserts of every module of an installed
    # plugin's package, compiling them anew each session without a bytecode cache.
    if not installed_entry_points():
        pytest.skip("ruvo is not installed as a distribution here")
    (tmp_path / "test_loaders.py").write_text(
        "import sys\n"
        "def test_loaders():\n"
        "    loaders = {name: type(module.__loader__).__name__ for name, module in list(sys.modules.items())\n"
        "               if name.startswith('ruvo.db')}\n"
        "    assert loaders and 'AssertionRewritingHook' not in loaders.values(), loaders\n")
    completed = subprocess.run([sys.executable, "-m", "pytest", "--ruvo", "-q", "-p", "no:cacheprovider"],
                               cwd=tmp_path, capture_output=True, text=True, timeout=300,
                               env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    assert completed.returncode == 0, completed.stdout + completed.stderr


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the monitoring backend exists from 3.12 on")
def test_monitoring_backend_needs_python_3_12(tmp_path):
    (tmp_path / "test_x.py").write_text("def test_x():\n    pass\n")
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", *([] if installed_entry_points() else ["-p", "ruvo.pytest_plugin"]),
         "--ruvo", "--ruvo-backend=monitoring", "-q", "-p", "no:cacheprovider"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert completed.returncode == 4
    assert completed.stderr.strip() == "ERROR: --ruvo-backend: the monitoring backend needs Python 3.12 or later"


@pytest.mark.parametrize("backend", ["profile", pytest.param("monitoring", marks=pytest.mark.skipif(
    sys.version_info < (3, 12), reason="sys.monitoring is new in Python 3.12"))])
def test_hook_wrappers_between_phases_are_not_recorded(tmp_path, backend):
    # Only setup, call and teardown are recorded: a conftest's hook
    # wrappers run between them, while recording is paused.
    (tmp_path / "conftest.py").write_text(
        "import pytest\n"
        "def noted(item):\n"
        "    return item.name\n"
        "@pytest.hookimpl(wrapper=True)\n"
        "def pytest_runtest_call(item):\n"
        "    noted(item)\n"
        "    return (yield)\n"
        "@pytest.hookimpl(wrapper=True)\n"
        "def pytest_runtest_makereport(item, call):\n"
        "    noted(item)\n"
        "    return (yield)\n"
    )
    (tmp_path / "test_x.py").write_text("def leaf(n):\n    return n\ndef test_x():\n    assert leaf(1) == 1\n")
    completed = run_pytest(tmp_path, f"--ruvo-backend={backend}", "test_x.py")
    assert completed.returncode == 0, completed.stdout + completed.stderr
    database = tmp_path / ".ruvo" / "ruvo.sqlite3"
    (row,) = db.list_traces(database)
    names = [r["co_name"] for r in frames(db.load_trace(database, row.trace_id))]
    assert names == ["test_x", "leaf", "leaf", "test_x"]


PHASES = Path(__file__).parent / "samples" / "pytest_phases"


def comparable(trace):
    """A trace's records without what differs from run to run: times, native
    thread ids, frame ids (calling frames are named by their place), the
    tally's times and the values of a mark condition's namespace (pytest's
    config, whose options differ)."""
    records = trace["frames_of_interest"]
    place = {r["frame_id"]: i for i, r in enumerate(records) if r["type"] == "frame" and r["event"] == "call"}
    kept = []
    for record in records:
        record = {k: v for k, v in record.items() if k not in ("timestamp", "thread_native_id", "frame_id")}
        site = record.get("user_code_call_site")
        if site:
            record["user_code_call_site"] = {**site, "call_frame_id": place.get(site["call_frame_id"])}
        if record.get("subtype") == "tally":
            columns = record["columns"]
            counts = [columns.index(name) for name in ("qualname", "calls", "calls_recorded", "returns_recorded")]
            record = {"tally": sorted(repr([row[i] for i in counts]) for row in record["functions"])}
        if record.get("path", "").startswith("<skipif condition>"):
            names = record["locals"]
            record["locals"] = sorted(map(repr, names)) if isinstance(names, dict) else type(names).__name__
        kept.append(record)
    return kept


@pytest.mark.parametrize("backend", ["profile", pytest.param("monitoring", marks=pytest.mark.skipif(
    sys.version_info < (3, 12), reason="sys.monitoring is new in Python 3.12"))])
def test_phases_left_unrecorded_hold_nothing_of_the_programs(tmp_path, backend):
    # Phases in which only pytest's code can run are not recorded. Against
    # recording every phase whole (which any --ruvo-include asks for), each
    # test's trace must hold the very same records: fixtures, parameters,
    # marks' conditions, finalizers, xunit and unittest styles.
    runs = {}
    for mode, extra in (("some", []), ("whole", ["--ruvo-include", "no-such-file"])):
        project = tmp_path / mode
        shutil.copytree(PHASES, project)
        completed = run_pytest(project, f"--ruvo-backend={backend}", *extra)
        assert completed.returncode == 0, completed.stdout + completed.stderr
        database = project / ".ruvo" / "ruvo.sqlite3"
        runs[mode] = {row.test_nodeid: comparable(db.load_trace(database, row.trace_id))
                      for row in db.list_traces(database)}
    assert len(runs["some"]) == 19
    assert runs["some"] == runs["whole"]
    notes = {nodeid: [r["locals"]["what"] for r in records if r.get("co_name") == "note" and r["event"] == "call"]
             for nodeid, records in runs["some"].items()}
    assert notes["test_plain.py::test_second"] == [2]
    assert notes["test_plain.py::test_numbers[3]"] == [3]
    assert notes["test_plain.py::test_with_fixture"] == [[], "basket torn down"]
    assert notes["test_plain.py::test_under_a_condition"] == ["condition", 3]
    assert notes["test_plain.py::TestUnderAClassCondition::test_second"] == ["class condition", 9, "size torn down"]
    assert notes["test_plain.py::test_finalizer"] == ["finalized"]
    assert notes["test_styles.py::test_between_xunit_calls"] == ["module set up", 5, "function torn down"]
    assert notes["test_styles.py::TestMethods::test_method"] == ["method set up", 6]
    assert notes["test_styles.py::Case::test_case"] == ["case set up", 7]
