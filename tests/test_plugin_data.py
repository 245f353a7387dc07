import http.client
import http.server
import logging
import os
import sys
import threading
import urllib.error
import urllib.request

import pytest

from ruvo import plugins
from ruvo.plugins import load_plugin_data

CALLABLE_KEYS = {"build_context", "call", "process"}


def plain(definition: dict) -> dict:
    """A definition without its callables, which are checked by running them."""
    return {k: v for k, v in definition.items() if k not in CALLABLE_KEYS}


def run_with_plugins(definitions, function, *args, config=None):
    """Runs ``function`` under a profile hook that applies ``definitions`` the
    way the native module does: name and file match, then ``call``, then
    ``events``, then ``process`` merged into the record."""
    contexts = [d["build_context"](config or {}) if d.get("build_context") else {} for d in definitions]
    records = []

    def hook(frame, event, arg):
        if event not in ("call", "return"):
            return
        code = frame.f_code
        for definition, context in zip(definitions, contexts):
            if code.co_name not in definition["co_names"] or definition["path_fragment"] not in code.co_filename:
                continue
            if definition.get("call") and not definition["call"](frame, event, arg, context):
                continue
            if definition.get("events") is not None and event not in definition["events"]:
                continue
            record = {"type": definition["call_type"] if event == "call" else definition["return_type"]}
            if definition.get("process"):
                record.update(definition["process"](frame, event, arg, context))
            records.append(record)

    sys.setprofile(hook)
    try:
        result = function(*args)
    finally:
        sys.setprofile(None)
    return result, records, contexts


def by_name(definitions, co_name):
    (found,) = [d for d in definitions if co_name in d["co_names"]]
    return found


# --- shape -------------------------------------------------------------------


def test_builtin_definitions():
    definitions = load_plugin_data({})
    assert [plain(d) for d in definitions] == [
        {
            "co_names": ["start_test"],
            "path_fragment": "/ruvo/pytest_plugin.py",
            "call_type": "start_test",
            "return_type": "start_test",
            "events": ["call"],
        },
        {
            "co_names": ["end_test"],
            "path_fragment": "/ruvo/pytest_plugin.py",
            "call_type": "end_test",
            "return_type": "end_test",
            "events": ["return"],
        },
        {
            "co_names": ["request"],
            "path_fragment": "/http/client.py",
            "call_type": "http_request",
            "return_type": "http_request",
            "events": ["call"],
        },
        {
            "co_names": ["getresponse"],
            "path_fragment": "/http/client.py",
            "call_type": "http_response",
            "return_type": "http_response",
            "events": ["return"],
        },
        {
            "co_names": ["handle"],
            "path_fragment": "/logging/__init__.py",
            "call_type": "log",
            "return_type": "log",
            "events": ["call"],
        },
    ]
    assert [sorted(set(d) & CALLABLE_KEYS) for d in definitions] == [
        ["process"],
        ["process"],
        ["build_context", "call", "process"],
        ["build_context", "call", "process"],
        ["call", "process"],
    ]
    for definition in definitions:
        assert all(callable(definition[k]) for k in set(definition) & CALLABLE_KEYS)


def test_user_definitions_follow_the_builtins_unchanged():
    first = {"co_names": ["a"], "path_fragment": "x.py", "call_type": "t", "return_type": "t"}
    second = {"co_names": ["b"], "path_fragment": "y.py", "call_type": "u", "return_type": "v", "subtype": "s"}
    definitions = load_plugin_data({"plugins": [first, second]})
    assert len(definitions) == 7
    assert definitions[5] is first and definitions[6] is second
    assert definitions[5] == {"co_names": ["a"], "path_fragment": "x.py", "call_type": "t", "return_type": "t"}


def test_builtins_can_be_turned_off():
    user = {"co_names": ["a"], "path_fragment": "x.py", "call_type": "t", "return_type": "t"}
    assert load_plugin_data({"builtin_plugins": False, "plugins": [user]}) == [user]
    assert load_plugin_data({"builtin_plugins": False}) == []
    assert load_plugin_data({"builtin_plugins": False, "plugins": None}) == []


@pytest.mark.parametrize("config", [{}, {"plugins": None}, {"plugins": []}, None, {"builtin_plugins": True}])
def test_no_user_definitions(config):
    assert [d["co_names"] for d in load_plugin_data(config)] == [
        ["start_test"],
        ["end_test"],
        ["request"],
        ["getresponse"],
        ["handle"],
    ]


def test_each_load_gives_fresh_definitions_and_contexts():
    one, two = load_plugin_data({}), load_plugin_data({})
    assert one[0] is not two[0]
    one[0]["co_names"].append("changed")
    assert two[0]["co_names"] == ["start_test"]
    # The two HTTP definitions of one load share a context; loads do not.
    request_one, response_one = by_name(one, "request"), by_name(one, "getresponse")
    shared = request_one["build_context"]({})
    assert response_one["build_context"]({}) is shared
    assert by_name(two, "request")["build_context"]({}) is not shared


# --- test markers --------------------------------------------------------------

MARKERS_SOURCE = """
def start_test(nodeid):
    pass

def end_test(nodeid, outcome):
    pass

def run_one(nodeid, outcome):
    start_test(nodeid)
    end_test(nodeid, outcome)
"""


def marker_functions(filename):
    namespace = {}
    exec(compile(MARKERS_SOURCE, filename, "exec"), namespace)
    return namespace


def test_test_markers_from_the_pytest_plugin_file():
    functions = marker_functions("/site-packages/ruvo/pytest_plugin.py")
    _, records, _ = run_with_plugins(load_plugin_data({}), functions["run_one"], "tests/test_x.py::test_a[1]", "failed")
    assert records == [
        {"type": "start_test", "nodeid": "tests/test_x.py::test_a[1]"},
        {"type": "end_test", "nodeid": "tests/test_x.py::test_a[1]", "outcome": "failed"},
    ]


def test_same_names_elsewhere_are_not_markers():
    functions = marker_functions("/project/helpers/pytest_plugin.py")
    _, records, _ = run_with_plugins(load_plugin_data({}), functions["run_one"], "n", "passed")
    assert records == []


def test_marker_callables_on_frames_captured_directly():
    start = by_name(load_plugin_data({}), "start_test")["process"]
    end = by_name(load_plugin_data({}), "end_test")["process"]

    def start_test(nodeid):
        return sys._getframe()

    def end_test(nodeid, outcome):
        return sys._getframe()

    assert start(start_test("a::b"), "call", None, {}) == {"nodeid": "a::b"}
    assert end(end_test("a::b", "skipped"), "return", None, {}) == {"nodeid": "a::b", "outcome": "skipped"}


# --- HTTP ------------------------------------------------------------------------


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"hello" if self.path.startswith("/hello") else b"nope"
        self.send_response(200 if self.path.startswith("/hello") else 404)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        self.rfile.read(length)
        self.send_response(201, "Made It")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield httpd.server_address[1]
    finally:
        httpd.shutdown()
        httpd.server_close()
        thread.join(timeout=10)


def test_http_requests_and_responses(server):
    port = server
    base = f"http://127.0.0.1:{port}"

    def client():
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        try:
            connection.request("GET", "/hello?x=1")
            first = connection.getresponse()
            first.read()
            connection.request("POST", "/things", body=b"{}", headers={"Content-Type": "application/json"})
            second = connection.getresponse()
            second.read()
        finally:
            connection.close()
        # urllib goes through http.client too; it raises on the 404.
        with pytest.raises(urllib.error.HTTPError) as missing:
            urllib.request.urlopen(f"{base}/missing", timeout=10)
        missing.value.close()
        return first.status, second.status

    result, records, contexts = run_with_plugins(load_plugin_data({}), client)
    assert result == (200, 201)
    assert records == [
        {"type": "http_request", "method": "GET", "url": f"{base}/hello?x=1"},
        {"type": "http_response", "method": "GET", "url": f"{base}/hello?x=1", "status": 200, "reason": "OK"},
        {"type": "http_request", "method": "POST", "url": f"{base}/things"},
        {"type": "http_response", "method": "POST", "url": f"{base}/things", "status": 201, "reason": "Made It"},
        {"type": "http_request", "method": "GET", "url": f"{base}/missing"},
        {"type": "http_response", "method": "GET", "url": f"{base}/missing", "status": 404, "reason": "Not Found"},
    ]
    # Every response took its request's entry: nothing is left waiting.
    assert contexts[2] is contexts[3]
    assert contexts[2] == {}


def test_http_url_forms():
    url = plugins._connection_url
    assert url(http.client.HTTPConnection("example.com"), "/a") == "http://example.com/a"
    assert url(http.client.HTTPConnection("example.com", 8080), "/a") == "http://example.com:8080/a"
    assert url(http.client.HTTPSConnection("example.com"), "/") == "https://example.com/"
    assert url(http.client.HTTPSConnection("example.com", 80), "/") == "https://example.com:80/"
    assert url(http.client.HTTPConnection("::1", 81), "/v6") == "http://[::1]:81/v6"
    assert url(http.client.HTTPConnection("proxy", 3128), "http://elsewhere/x") == "http://elsewhere/x"
    assert url(http.client.HTTPConnection("example.com"), "rel") == "http://example.com/rel"
    tunnel = http.client.HTTPSConnection("proxy", 3128)
    tunnel.set_tunnel("secure.example", 8443)
    assert url(tunnel, "/t") == "https://secure.example:8443/t"


def test_http_response_without_its_request_and_after_an_error():
    response_process = by_name(load_plugin_data({}), "getresponse")["process"]

    class Response:
        status, reason, _method = 204, "No Content", "DELETE"

    def getresponse(self):
        return sys._getframe()

    frame = getresponse(http.client.HTTPConnection("h"))
    assert response_process(frame, "return", Response(), {}) == {
        "method": "DELETE",
        "url": None,
        "status": 204,
        "reason": "No Content",
    }
    context = {id(frame.f_locals["self"]): ("GET", "http://h/x")}
    assert response_process(frame, "return", None, context) == {
        "method": "GET",
        "url": "http://h/x",
        "status": None,
        "reason": None,
    }
    assert context == {}


def test_http_call_test_wants_a_connection():
    is_connection = by_name(load_plugin_data({}), "request")["call"]

    def request(self, method, url):
        return sys._getframe()

    def no_self():
        return sys._getframe()

    assert is_connection(request(http.client.HTTPSConnection("h"), "GET", "/"), "call", None, {}) is True
    assert is_connection(request(object(), "GET", "/"), "call", None, {}) is False
    assert is_connection(no_self(), "call", None, {}) is False


def test_pending_requests_stay_bounded():
    definition = by_name(load_plugin_data({}), "request")
    context = definition["build_context"]({})

    def request(self, method, url):
        return sys._getframe()

    connections = [http.client.HTTPConnection(f"h{i}") for i in range(plugins._MAX_PENDING_REQUESTS + 10)]
    for connection in connections:
        definition["process"](request(connection, "GET", "/"), "call", None, context)
    assert len(context) == plugins._MAX_PENDING_REQUESTS
    assert id(connections[-1]) in context and id(connections[0]) not in context


# --- logging -------------------------------------------------------------------


class Collect(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = []

    def emit(self, record):
        self.seen.append(record.levelname)


@pytest.fixture
def logger():
    # Not from getLogger(): pytest's capture handlers, which fail the test on a
    # message that does not format, cannot reach a logger outside the tree.
    log = logging.Logger("ruvo.tests.plugin_data", logging.DEBUG)
    handler = Collect()
    log.addHandler(handler)
    return log, handler


def test_log_records(logger):
    log, handler = logger

    def emit():
        log.warning("hello %s", "world")
        log.debug("n=%d", 3)
        log.error("%d items", "not a number")  # does not format
        return sys._getframe().f_lineno

    last_line, records, _ = run_with_plugins(load_plugin_data({}), emit)
    # Relative to the current directory, as frames' paths are.
    cwd = os.getcwd() + os.sep
    path = __file__[len(cwd):] if __file__.startswith(cwd) else __file__
    assert records == [
        {"type": "log", "level": "WARNING", "levelno": 30, "logger": log.name, "message": "hello world", "path": f"{path}:{last_line - 3}"},
        {"type": "log", "level": "DEBUG", "levelno": 10, "logger": log.name, "message": "n=3", "path": f"{path}:{last_line - 2}"},
        {"type": "log", "level": "ERROR", "levelno": 40, "logger": log.name, "message": "%d items", "path": f"{path}:{last_line - 1}"},
    ]
    # Handler.handle ran too, for each record, without making records.
    assert handler.seen == ["WARNING", "DEBUG", "ERROR"]


def test_disabled_levels_make_no_record(logger):
    log, _ = logger
    log.setLevel(logging.ERROR)
    _, records, _ = run_with_plugins(load_plugin_data({}), log.info, "quiet")
    assert records == []


def test_log_message_that_cannot_be_printed(logger):
    process = by_name(load_plugin_data({}), "handle")["process"]

    class Unprintable:
        def __str__(self):
            raise RuntimeError

    def handle(self, record):
        return sys._getframe()

    record = logging.LogRecord("n", logging.INFO, "/p.py", 7, Unprintable(), ("x",), None)
    assert process(handle(logging.getLogger("n"), record), "call", None, {}) == {
        "level": "INFO",
        "levelno": 20,
        "logger": "n",
        "message": "<unprintable Unprintable message>",
        "path": "/p.py:7",
    }
