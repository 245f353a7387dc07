"""Shared helpers: a minimal host profiler object, recording a call, and
reading trace documents back."""

from __future__ import annotations

import sys
import threading
from dataclasses import dataclass, field
from typing import Any

import msgpack
import pytest

from ruvo import _ruvo

# Sample projects that tests run in subprocesses; not part of this suite.
collect_ignore = ["samples"]


class HostProfiler:
    """A host profiler object with exactly the attributes the native module reads."""

    def __init__(self, config=None, *, db_path="trace.sqlite3", one_trace_per_test=False,
                 trace_id="trc_test", source="tests"):
        self.config = {"builtin_plugins": False} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args):  # the native module only asks that it be callable
        return None


# A C function, so that stopping produces no event of its own.
stop_profiling = _ruvo.register_noop_profiler

MONITORING = sys.version_info >= (3, 12)
if MONITORING:
    from ruvo import _monitoring


class Backend:
    """How the current test starts and stops recording: `register(host)` and
    `stop()` are the backend's own C functions, so neither adds an event."""

    def __init__(self):
        self.use("profile")

    def use(self, name):
        self.name = name
        if name == "monitoring":
            self.register, self.stop = _monitoring.register, _monitoring.stop
        else:
            self.register, self.stop = _ruvo.register_profiler, _ruvo.register_noop_profiler


BACKEND = Backend()


@pytest.fixture(params=["profile", pytest.param("monitoring", marks=pytest.mark.skipif(
    not MONITORING, reason="sys.monitoring is new in Python 3.12"))])
def backend(request):
    """Runs a test once with each backend; BACKEND and record() follow it."""
    BACKEND.use(request.param)
    yield BACKEND
    BACKEND.use("profile")


@pytest.fixture(autouse=True)
def _detach_profilers():
    """No test leaves a profile function or monitoring callbacks installed for the next one."""
    yield
    _ruvo.register_noop_profiler()
    sys.setprofile(None)
    threading.setprofile(None)
    if MONITORING:
        _monitoring.stop()


def decode(document: bytes) -> dict:
    return msgpack.unpackb(document, strict_map_key=False, raw=False)


def raw_records(document: bytes, key: str = "frames_of_interest") -> list[bytes]:
    """The records of one list of a document, as the exact bytes stored."""
    unpacker = msgpack.Unpacker(strict_map_key=False, raw=False)
    unpacker.feed(document)
    records = []
    for _ in range(unpacker.read_map_header()):
        name = unpacker.unpack()
        if name == key:
            for _ in range(unpacker.read_array_header()):
                start = unpacker.tell()
                unpacker.skip()
                records.append(document[start:unpacker.tell()])
        else:
            unpacker.skip()
    return records


@dataclass
class Recording:
    result: Any
    document: bytes
    host: HostProfiler
    trace: dict = field(init=False)

    def __post_init__(self):
        self.trace = decode(self.document)

    @property
    def records(self) -> list[dict]:
        return self.trace["frames_of_interest"]

    def frames(self, co_name=None) -> list[dict]:
        return [r for r in self.records if r["type"] == "frame" and (co_name is None or r["co_name"] == co_name)]

    def events(self) -> list[tuple[str, str]]:
        return [(r["event"], r["co_name"]) for r in self.frames()]


def record(function, *args, config=None, **host_attributes) -> Recording:
    """Profiles one call of `function` and returns its trace."""
    host = HostProfiler(config, **host_attributes)
    BACKEND.register(host)
    try:
        result = function(*args)
    finally:
        BACKEND.stop()
    return Recording(result, host.rust_profiler.build_trace(), host)


@pytest.fixture
def repr_serializer(monkeypatch):
    """Serialises every value as the msgpack str of its repr(), so records
    are predictable byte for byte."""
    import ruvo.serialize

    def dump(value):
        return msgpack.packb(repr(value))

    monkeypatch.setattr(ruvo.serialize, "dump_msgpack", dump)
    monkeypatch.setattr(ruvo.serialize, "dump_msgpack_lightweight_repr", lambda value: msgpack.packb("light"))
    return dump


# --- a PostgreSQL server, for the stores' tests ------------------------------------------


@pytest.fixture(scope="session")
def postgres_cluster():
    from _postgres import REQUIRED, missing, start_cluster

    reason = missing()
    if reason is not None:
        if REQUIRED:
            pytest.fail(f"RUVO_TEST_POSTGRES=required, but {reason}")
        pytest.skip(reason)
    cluster = start_cluster()
    yield cluster
    cluster.stop()


@pytest.fixture
def postgres_url(postgres_cluster):
    """The URL of a new, empty database on the session's server."""
    return postgres_cluster.new_database()


@pytest.fixture(params=["sqlite", "postgres"])
def store_target(request, tmp_path, monkeypatch):
    """A database of each kind: a SQLite file, and a PostgreSQL URL (spills
    of either go under tmp_path)."""
    monkeypatch.setenv("RUVO_SPILL_DIR", str(tmp_path / "spill"))
    if request.param == "sqlite":
        return tmp_path / "traces.sqlite3"
    return request.getfixturevalue("postgres_url")
