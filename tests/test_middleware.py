"""The WSGI middleware: one trace per request, and the response untouched."""

from __future__ import annotations

import logging
import sys
import threading
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, make_server
from wsgiref.util import setup_testing_defaults

import pytest

from ruvo import db
from ruvo.middleware import RuvoMiddleware


def environ(method: str = "GET", path: str = "/") -> dict:
    env: dict = {}
    setup_testing_defaults(env)
    env["REQUEST_METHOD"] = method
    env["PATH_INFO"] = path
    return env


class StartResponse:
    def __init__(self) -> None:
        self.calls: list[tuple] = []
        self.written: list[bytes] = []

    def __call__(self, status, headers, exc_info=None):
        self.calls.append((status, headers, exc_info))
        return self.written.append


def saved(db_path) -> list[dict]:
    """The decoded traces in the database, oldest first."""
    db.flush()  # saved off the request's thread
    ids = [row.trace_id for row in reversed(db.list_traces(db_path))]
    return [db.load_trace(db_path, trace_id) for trace_id in ids]


def request_record(trace: dict) -> dict:
    (record,) = [r for r in trace["frames_of_interest"] if r["type"] == "request"]
    return {key: record[key] for key in ("method", "path", "status")}


def called(trace: dict) -> list[str]:
    return [r["co_name"] for r in trace["frames_of_interest"] if r["type"] == "frame" and r["event"] == "call"]


HEADERS = [("Content-Type", "text/plain"), ("X-Shop", "1")]


def list_app(environ, start_response):
    start_response("201 Created", HEADERS)
    return [b"made " + environ["PATH_INFO"].encode()]


class Body:
    """A lazy response body that tells whether it was closed."""

    def __init__(self, parts, fail_at=None):
        self.parts = parts
        self.fail_at = fail_at
        self.closed = False

    def __iter__(self):
        for index, part in enumerate(self.parts):
            if index == self.fail_at:
                raise ConnectionError("backend went away")
            yield render_part(part)

    def close(self):
        self.closed = True


def render_part(part: str) -> bytes:
    return part.upper().encode()


class TestDirectCalls:
    def test_list_response_is_returned_as_is(self, tmp_path):
        app = RuvoMiddleware(list_app, db_path=tmp_path / "t.sqlite3")
        start_response = StartResponse()
        result = app(environ("POST", "/orders"), start_response)
        assert result == [b"made /orders"] and type(result) is list
        assert start_response.calls == [("201 Created", HEADERS, None)]
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert trace["meta"]["source"] == "POST /orders"
        assert request_record(trace) == {"method": "POST", "path": "/orders", "status": 201}
        assert called(trace) == ["list_app", "__call__"]  # the app, and StartResponse
        (record,) = [r for r in trace["frames_of_interest"] if r["type"] == "request"]
        assert isinstance(record["duration_ms"], float) and record["duration_ms"] >= 0
        assert trace["frames_of_interest"][-1] is record  # the request record comes last

    def test_requests_are_a_run_of_their_own_unless_one_is_under_way(self, tmp_path):
        path = tmp_path / "t.sqlite3"
        for _ in range(2):
            RuvoMiddleware(list_app, db_path=path)(environ("GET", "/a"), StartResponse())
        saved(path)
        # Inside a test session the session's run stays the current one.
        db.begin_run(path, "pytest", key="session")
        RuvoMiddleware(list_app, db_path=path)(environ("GET", "/b"), StartResponse())
        saved(path)
        db.end_run(path)
        runs = db.list_runs(path)
        assert [(run.kind, run.traces) for run in runs] == [("pytest", 1), ("middleware", 2)]

    def test_lazy_body_is_profiled_until_closed(self, tmp_path):
        body = Body(["a", "b"])

        def app(environ, start_response):
            start_response("200 OK", HEADERS)
            return body

        wrapped = RuvoMiddleware(app, db_path=tmp_path / "t.sqlite3")
        result = wrapped(environ(path="/stream"), StartResponse())
        assert result is not body
        with pytest.raises(TypeError):
            len(result)  # the body has no length, so neither has the wrapper
        assert not (tmp_path / "t.sqlite3").exists()  # still recording
        assert list(result) == [b"A", b"B"]
        (trace,) = saved(tmp_path / "t.sqlite3")  # saved once exhausted
        result.close()
        assert body.closed
        assert called(trace) == ["app", "__call__", "__iter__", "render_part", "__iter__", "render_part", "__iter__"]
        assert request_record(trace) == {"method": "GET", "path": "/stream", "status": 200}

    def test_sized_lazy_body_keeps_its_length(self, tmp_path):
        class Sized(Body):
            def __len__(self):
                return 1

        wrapped = RuvoMiddleware(lambda e, s: (s("200 OK", []), Sized(["x"]))[1], db_path=tmp_path / "t.sqlite3")
        result = wrapped(environ(), StartResponse())
        assert len(result) == 1
        assert list(result) == [b"X"]
        result.close()

    def test_generator_body_closed_early(self, tmp_path):
        state = []

        def app(environ, start_response):
            start_response("200 OK", HEADERS)
            try:
                yield b"first"
                yield b"second"
            finally:
                state.append("generator closed")

        result = RuvoMiddleware(app, db_path=tmp_path / "t.sqlite3")(environ(), StartResponse())
        assert next(iter(result)) == b"first"
        result.close()
        assert state == ["generator closed"]
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert request_record(trace)["status"] == 200

    def test_exception_from_the_app_propagates_unchanged(self, tmp_path):
        error = LookupError("no such order")

        def app(environ, start_response):
            raise error

        wrapped = RuvoMiddleware(app, db_path=tmp_path / "t.sqlite3")
        with pytest.raises(LookupError) as raised:
            wrapped(environ(path="/orders/9"), StartResponse())
        assert raised.value is error
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert request_record(trace) == {"method": "GET", "path": "/orders/9", "status": None}
        assert called(trace) == ["app"]

    def test_exception_while_iterating_propagates_and_is_recorded(self, tmp_path):
        body = Body(["a", "b"], fail_at=1)
        wrapped = RuvoMiddleware(lambda e, s: (s("200 OK", []), body)[1], db_path=tmp_path / "t.sqlite3")
        result = wrapped(environ(), StartResponse())
        iterator = iter(result)
        assert next(iterator) == b"A"
        with pytest.raises(ConnectionError, match="backend went away"):
            next(iterator)
        result.close()
        assert body.closed
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert request_record(trace)["status"] == 200

    def test_start_response_with_exc_info_is_passed_through(self, tmp_path):
        def app(environ, start_response):
            start_response("200 OK", HEADERS)
            try:
                raise ValueError("template failed")
            except ValueError:
                start_response("500 Internal Server Error", [("Content-Type", "text/plain")], sys.exc_info())
            return [b"error page"]

        start_response = StartResponse()
        result = RuvoMiddleware(app, db_path=tmp_path / "t.sqlite3")(environ(), start_response)
        assert result == [b"error page"]
        assert [call[0] for call in start_response.calls] == ["200 OK", "500 Internal Server Error"]
        exc_info = start_response.calls[1][2]
        assert exc_info[0] is ValueError and str(exc_info[1]) == "template failed"
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert request_record(trace)["status"] == 500

    def test_one_trace_per_request(self, tmp_path):
        wrapped = RuvoMiddleware(list_app, db_path=tmp_path / "t.sqlite3")
        for method, path in [("GET", "/a"), ("DELETE", "/b"), ("GET", "/a")]:
            wrapped(environ(method, path), StartResponse())
        traces = saved(tmp_path / "t.sqlite3")
        assert [trace["meta"]["source"] for trace in traces] == ["GET /a", "DELETE /b", "GET /a"]
        assert len({trace["trace_id"] for trace in traces}) == 3
        assert [request_record(trace)["path"] for trace in traces] == ["/a", "/b", "/a"]

    def test_filters_and_lightweight_repr(self, tmp_path):
        wrapped = RuvoMiddleware(list_app, db_path=tmp_path / "t.sqlite3", ignore=["test_middleware"], lightweight_repr=True)
        wrapped(environ(), StartResponse())
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert called(trace) == []
        assert [r["type"] for r in trace["frames_of_interest"]] == ["request"]

    def test_saving_failure_is_logged_and_the_response_kept(self, tmp_path, caplog):
        not_a_database = tmp_path / "dir.sqlite3"
        not_a_database.mkdir()
        wrapped = RuvoMiddleware(list_app, db_path=not_a_database)
        with caplog.at_level(logging.ERROR, logger="ruvo"):
            result = wrapped(environ(path="/x"), StartResponse())
            db.flush()
        assert result == [b"made /x"]
        (record,) = [r for r in caplog.records if r.name == "ruvo"]
        assert record.getMessage() == "ruvo: could not save the trace of GET /x"
        assert isinstance(record.exc_info[1], db.TraceNotSaved)


class QuietHandler(WSGIRequestHandler):
    def log_message(self, format, *args):
        pass


def test_real_server_request(tmp_path):
    """A request through wsgiref's server: same response as the bare app, and
    the request profiled on the server's thread."""

    def fetch(app):
        server = make_server("127.0.0.1", 0, app, handler_class=QuietHandler)
        worker = threading.Thread(target=server.handle_request, name="wsgi-server")
        worker.start()
        try:
            url = f"http://127.0.0.1:{server.server_port}/orders/7?full=1"
            with urllib.request.urlopen(url, timeout=10) as response:
                result = response.status, dict(response.headers), response.read()
        finally:
            worker.join(timeout=10)
            server.server_close()
        assert not worker.is_alive()
        return result

    bare = fetch(list_app)
    profiled = fetch(RuvoMiddleware(list_app, db_path=tmp_path / "t.sqlite3"))
    for _, headers, _ in (bare, profiled):
        headers.pop("Date")
    assert profiled == bare
    assert bare[0] == 201 and bare[2] == b"made /orders/7" and bare[1]["Content-Length"] == "14"

    (trace,) = saved(tmp_path / "t.sqlite3")
    assert trace["meta"]["source"] == "GET /orders/7"
    assert request_record(trace) == {"method": "GET", "path": "/orders/7", "status": 201}
    assert {r["thread"] for r in trace["frames_of_interest"]} == {"wsgi-server"}
    assert called(trace) == ["list_app"]


class TestBodyOnAnotherThread:
    """Servers may hand a lazy body to another thread: no thread may stay
    hooked to the request's profiler once it is saved."""

    def handled_here(self, tmp_path, parts):
        def app(environ, start_response):
            start_response("200 OK", HEADERS)
            return Body(parts)

        result = RuvoMiddleware(app, db_path=tmp_path / "t.sqlite3")(environ(path="/handoff"), StartResponse())
        assert sys.getprofile() is None  # the handling thread let go with the app's return
        return result

    def consume_elsewhere(self, work):
        outcome = {}

        def consumer():
            outcome["result"] = work()
            outcome["hook"] = sys.getprofile()

        thread = threading.Thread(target=consumer, name="writer")
        thread.start()
        thread.join(timeout=30)
        return outcome

    def test_exhausted_elsewhere(self, tmp_path):
        result = self.handled_here(tmp_path, ["a", "b"])
        outcome = self.consume_elsewhere(lambda: list(result))
        assert outcome == {"result": [b"A", b"B"], "hook": None}
        assert sys.getprofile() is None
        render_part("after the request")  # not recorded anywhere
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert request_record(trace) == {"method": "GET", "path": "/handoff", "status": 200}
        assert called(trace) == ["app", "__call__", "__init__", "__iter__", "render_part", "__iter__", "render_part", "__iter__"]
        # The app's calls and returns on the handling thread; the body's, and the request record, on the writer.
        assert [r["thread"] for r in trace["frames_of_interest"] if r.get("subtype") != "tally"] == \
            ["MainThread"] * 6 + ["writer"] * 11

    def test_closed_elsewhere_after_one_step_here(self, tmp_path):
        result = self.handled_here(tmp_path, ["a", "b"])
        assert next(result) == b"A"
        assert sys.getprofile() is None  # held for the step only
        outcome = self.consume_elsewhere(result.close)
        assert outcome == {"result": None, "hook": None}
        (trace,) = saved(tmp_path / "t.sqlite3")
        assert called(trace) == ["app", "__call__", "__init__", "__iter__", "render_part", "close"]
        assert request_record(trace)["status"] == 200

    def test_a_thread_keeps_its_own_profiler_around_a_step(self, tmp_path):
        from ruvo import Profiler

        result = self.handled_here(tmp_path, ["a"])
        own = Profiler(db_path=tmp_path / "own.sqlite3", backend="profile")  # a profiler in the thread's slot

        def step_while_profiling():
            own.start()
            try:
                first = next(result)
                hook = sys.getprofile()
            finally:
                own.stop()
            return first, hook

        outcome = self.consume_elsewhere(step_while_profiling)
        assert outcome["result"] == (b"A", own.rust_profiler)
