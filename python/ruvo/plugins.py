"""Plugin definitions: extra trace records for calls ruvo knows about.

The native module calls :func:`load_plugin_data` once per profiler with the
profiler's configuration dict, and gets back a list of definitions.  Each
definition is a dict:

``co_names``
    Function names (a code object's bare ``co_name``) the definition watches.
``path_fragment``
    Text that must occur in the code's file name.
``call_type``, ``return_type``
    The record type written on a call and on a return event.
``subtype`` (optional)
    Stored in the record as ``subtype``.
``build_context`` (optional)
    ``callable(config) -> dict``, called once; its dict is the ``context``
    handed to the definition's callables (a fresh empty dict otherwise).
``call`` (optional)
    ``callable(frame, event, arg, context) -> bool``: whether to write a
    record.  It runs before ``events`` is looked at, on both events.
``process`` (optional)
    ``callable(frame, event, arg, context) -> dict`` of entries merged into
    the record; a ``"type"`` entry replaces the record type.
``events`` (optional)
    ``"call"`` and/or ``"return"``: the events that can write a record.

``frame`` is the real frame, ``event`` is ``"call"`` or ``"return"`` and
``arg`` is None on a call and the returned value on a return.  The callables
run inside the profile hook, so they are cheap; should one raise, the native
module logs it and skips the record.

Built-in definitions (dropped with ``builtin_plugins: False`` in the config):
test start and end markers from ruvo's pytest plugin, outbound HTTP through
``http.client``, and log records passed to ``logging`` loggers.  The user's
own definitions (config ``plugins``) follow them unchanged.
"""

from __future__ import annotations

import os
import sys
from typing import Any

__all__ = ["load_plugin_data", "builtin_plugin_data"]

PYTEST_PLUGIN_FRAGMENT = "/ruvo/pytest_plugin.py"
HTTP_CLIENT_FRAGMENT = "/http/client.py"
LOGGING_FRAGMENT = "/logging/__init__.py"

# Requests still waiting for their response, per profiler: past this many
# (responses never read), the oldest are forgotten.
_MAX_PENDING_REQUESTS = 256


def load_plugin_data(config: dict | None) -> list[dict]:
    """The built-in definitions (unless turned off), then the user's."""
    config = config or {}
    definitions = builtin_plugin_data() if config.get("builtin_plugins", True) else []
    user = config.get("plugins")
    if user is not None:
        definitions.extend(user)
    return definitions


def builtin_plugin_data() -> list[dict]:
    """Fresh built-in definitions: their contexts belong to one profiler."""
    return [*_test_marker_definitions(), *_http_definitions(), _logging_definition()]


# --- test markers ------------------------------------------------------------
# ruvo.pytest_plugin calls start_test(nodeid) and end_test(nodeid, outcome)
# around each test; the native profiler cuts traces at these records.


def _start_test(frame: Any, event: str, arg: Any, context: dict) -> dict:
    return {"nodeid": frame.f_locals["nodeid"]}


def _end_test(frame: Any, event: str, arg: Any, context: dict) -> dict:
    f_locals = frame.f_locals
    return {"nodeid": f_locals["nodeid"], "outcome": f_locals["outcome"]}


def _test_marker_definitions() -> list[dict]:
    return [
        {
            "co_names": ["start_test"],
            "path_fragment": PYTEST_PLUGIN_FRAGMENT,
            "call_type": "start_test",
            "return_type": "start_test",
            "events": ["call"],
            "process": _start_test,
        },
        {
            "co_names": ["end_test"],
            "path_fragment": PYTEST_PLUGIN_FRAGMENT,
            "call_type": "end_test",
            "return_type": "end_test",
            "events": ["return"],
            "process": _end_test,
        },
    ]


# --- outbound HTTP -----------------------------------------------------------


def _is_http_connection(frame: Any, event: str, arg: Any, context: dict) -> bool:
    # The frame comes from http/client.py, so the module is already imported;
    # looking it up keeps profiled programs from importing it (and ssl).
    client = sys.modules.get("http.client")
    return client is not None and isinstance(frame.f_locals.get("self"), client.HTTPConnection)


def _connection_url(connection: Any, url: Any) -> str:
    """scheme://host[:port]/path for a request made on ``connection``."""
    url = url if isinstance(url, str) else str(url)
    if url.startswith(("http://", "https://")):
        return url  # already absolute, as when sent to a proxy
    client = sys.modules.get("http.client")
    https = client is not None and isinstance(connection, client.HTTPSConnection)
    host, port = connection.host, connection.port
    tunnel_host = getattr(connection, "_tunnel_host", None)
    if tunnel_host:
        # CONNECT through a proxy: the request goes to the tunnel's end.
        host, port, https = tunnel_host, getattr(connection, "_tunnel_port", None), True
    scheme = "https" if https else "http"
    if ":" in host and not host.startswith("["):
        host = f"[{host}]"  # IPv6 literal
    netloc = host if port in (None, 443 if https else 80) else f"{host}:{port}"
    return f"{scheme}://{netloc}{url if url.startswith('/') else '/' + url}"


def _http_request(frame: Any, event: str, arg: Any, context: dict) -> dict:
    f_locals = frame.f_locals
    connection = f_locals["self"]
    method = f_locals["method"]
    url = _connection_url(connection, f_locals["url"])
    context[id(connection)] = (method, url)
    if len(context) > _MAX_PENDING_REQUESTS:
        try:
            del context[next(iter(context))]
        except (KeyError, RuntimeError, StopIteration):
            pass  # another thread changed it meanwhile
    return {"method": method, "url": url}


def _http_response(frame: Any, event: str, arg: Any, context: dict) -> dict:
    connection = frame.f_locals["self"]
    method, url = context.pop(id(connection), (getattr(arg, "_method", None), None))
    # arg is None when getresponse raised.
    return {"method": method, "url": url, "status": getattr(arg, "status", None),
            "reason": getattr(arg, "reason", None)}


def _http_definitions() -> list[dict]:
    # Both definitions get the same dict: the request's method and URL wait in
    # it, by connection, for the response.
    pending: dict = {}

    def shared_context(config: dict) -> dict:
        return pending

    return [
        {
            "co_names": ["request"],
            "path_fragment": HTTP_CLIENT_FRAGMENT,
            "call_type": "http_request",
            "return_type": "http_request",
            "events": ["call"],
            "build_context": shared_context,
            "call": _is_http_connection,
            "process": _http_request,
        },
        {
            "co_names": ["getresponse"],
            "path_fragment": HTTP_CLIENT_FRAGMENT,
            "call_type": "http_response",
            "return_type": "http_response",
            "events": ["return"],
            "build_context": shared_context,
            "call": _is_http_connection,
            "process": _http_response,
        },
    ]


# --- logging -----------------------------------------------------------------


def _is_logger(frame: Any, event: str, arg: Any, context: dict) -> bool:
    # Handler.handle has the same name and file; only Logger.handle counts.
    logging = sys.modules.get("logging")
    return logging is not None and isinstance(frame.f_locals.get("self"), logging.Logger)


def _log_record(frame: Any, event: str, arg: Any, context: dict) -> dict:
    record = frame.f_locals["record"]
    try:
        message = record.getMessage()
    except Exception:
        # The same mistake that logging reports: msg % args does not format.
        try:
            message = str(record.msg)
        except Exception:
            message = f"<unprintable {type(record.msg).__name__} message>"
    return {
        "level": record.levelname,
        "levelno": record.levelno,
        "logger": record.name,
        "message": message,
        "path": f"{_relative(record.pathname)}:{record.lineno}",
    }


def _relative(filename: str) -> str:
    """As frames' paths are written: relative when under the current directory."""
    try:
        cwd = os.getcwd()
    except OSError:
        return filename
    if cwd != os.sep and filename.startswith(cwd + os.sep):
        rest = filename[len(cwd) + 1 :]
        if rest and not rest.startswith((os.sep, "." + os.sep)):
            return rest
    return filename


def _logging_definition() -> dict:
    return {
        "co_names": ["handle"],
        "path_fragment": LOGGING_FRAGMENT,
        "call_type": "log",
        "return_type": "log",
        "events": ["call"],
        "call": _is_logger,
        "process": _log_record,
    }
