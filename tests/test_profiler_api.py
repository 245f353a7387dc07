"""The Profiler object users create: what the native module reads from it,
starting and stopping, and saving."""

import re
import sys
import threading
from pathlib import Path

import pytest

import ruvo
from ruvo import Profiler, db
from ruvo.serialize import loads

TRACE_ID = re.compile(r"^trc_[0-9A-HJKMNP-TV-Z]{26}$")


def work(n):
    return n * 2


def test_defaults(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    profiler = Profiler()
    assert profiler.db_path == tmp_path / ".ruvo" / "ruvo.sqlite3"
    assert TRACE_ID.match(profiler.trace_id)
    assert Profiler().trace_id != profiler.trace_id
    assert profiler.one_trace_per_test is False
    assert profiler.source == "python"
    assert profiler.config == {
        "filters": {"include_frames": [], "ignore_frames": []},
        "threading": False,
        "lightweight_repr": False,
        "sqlite_busy_timeout": 60,
        "plugins": [],
        "builtin_plugins": True,
        "trace_budget": 4 * 2**20,
    }
    assert callable(profiler)
    assert ruvo.__version__ == ruvo.version.__version__


def test_start_build_stop(tmp_path):
    profiler = Profiler(db_path=tmp_path / "t.sqlite3", source="api").start()
    try:
        work(1)
    finally:
        profiler.stop()
    assert sys.getprofile() is None
    work(2)
    trace = loads(profiler.build_trace())
    assert [(r["event"], r["locals"]["n"]) for r in trace["frames_of_interest"]] == [("call", 1), ("return", 1)]
    assert trace["trace_id"] == profiler.trace_id
    assert trace["meta"]["source"] == "api"


def test_context_manager_saves(tmp_path):
    database = tmp_path / "nested" / "t.sqlite3"
    with Profiler(db_path=database, include=["test_profiler_api"], ignore=["test_profiler_api"]) as profiler:
        work(3)
    (row,) = db.list_traces(database)
    assert row.trace_id == profiler.trace_id
    frames = [r for r in db.load_trace(database)["frames_of_interest"] if r["co_name"] == "work"]
    assert [r["event"] for r in frames] == ["call", "return"]


def test_decorator_profiles_each_call(tmp_path):
    profiler = Profiler(db_path=tmp_path / "t.sqlite3")
    decorated = profiler(work)
    assert decorated.__name__ == "work"
    assert decorated(4) == 8
    assert sys.getprofile() is None
    assert len(db.list_traces(tmp_path / "t.sqlite3")) == 1


def test_threading_hook_is_removed_on_stop(tmp_path):
    profiler = Profiler(db_path=tmp_path / "t.sqlite3", threading=True).start()
    assert threading.getprofile() is not None
    profiler.stop()
    assert threading.getprofile() is None


def test_not_started(tmp_path):
    with pytest.raises(RuntimeError, match="has not been started"):
        Profiler(db_path=tmp_path / "t.sqlite3").build_trace()


def test_configuration_errors_surface_at_start(tmp_path):
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        Profiler(db_path=Path(tmp_path), plugins=[{"co_names": ["x"], "path_fragment": "", "call_type": "c",
                                                   "return_type": "r", "events": "call"}]).start()
    assert sys.getprofile() is None
