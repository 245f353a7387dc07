"""One self-contained HTML page for a trace: the page's data, then the page.

The data is columnar, so that a trace of a million records stays small and
the page can lay it into typed arrays without building an object per record:
per thread, one array per field of the calls (in depth-first order, so start
times never decrease and are stored as deltas) and of the plugin records.
Names, paths and labels are indexes into one string table; values (locals,
return values, plugin payloads) are indexes into a table of distinct values,
embedded in a script block of their own that the page parses only when a
value is first shown.

Values are written as JSON with a tag for everything JSON cannot say
plainly: ``["L", ...items]`` an array, ``["M", k1, v1, k2, v2 ...]`` a map,
and one tag per marker of :mod:`ruvo.serialize` (see ``_encode``).
"""

from __future__ import annotations

import html
import json
import math
import re
from importlib import resources
from typing import Sequence, Union

from msgpack import ExtType, Timestamp

from .. import serialize
from ..version import __version__
from ..view import Call, Event, build_threads, describe_event, trace_start

__all__ = ["build_page", "page_data", "merge_documents", "encode_value"]

# Beyond this a value is nested deeper than the serialiser ever writes: it
# came from elsewhere, and is shown by its repr.
_MAX_NESTING = 100
_SAFE_INT = 2**53
_INT64 = 2**63
# Fields every record has; the rest of a plugin record is its payload.
_COMMON_FIELDS = {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"}

FLAG_NO_CALL = 1
FLAG_NO_RETURN = 2

# Severity of a plugin record, for its colour: plain, warning, error, success.
_PLAIN, _WARNING, _ERROR, _SUCCESS = 0, 1, 2, 3


def merge_documents(documents: Sequence[dict]) -> dict:
    """Documents of one trace as one, as :func:`ruvo.db.load_trace` merges
    them: records concatenated in order, other fields from the first."""
    if not documents:
        raise ValueError("no trace document")
    merged = dict(documents[0])
    merged["frames_of_interest"] = list(documents[0].get("frames_of_interest") or [])
    merged["frames"] = {thread: list(records) for thread, records in (documents[0].get("frames") or {}).items()}
    for document in documents[1:]:
        merged["frames_of_interest"].extend(document.get("frames_of_interest") or [])
        for thread, records in (document.get("frames") or {}).items():
            merged["frames"].setdefault(thread, []).extend(records)
    return merged


def encode_value(value: object, _depth: int = 0) -> object:
    """A decoded trace value as JSON-ready data the page can tell apart."""
    t = type(value)
    if value is None or t is bool or t is str:
        return value
    if t is int:
        if -_SAFE_INT < value < _SAFE_INT:
            return value
        # Past 2**53 JavaScript numbers lose digits; past 64 bits it was a BIGINT.
        return ["I", str(value), 0 if -_INT64 <= value < _INT64 else 1]
    if t is float:
        if math.isfinite(value) and not value.is_integer():
            return value
        return ["F", repr(value)]  # 1.0 would read back as the int 1
    if _depth >= _MAX_NESTING:
        return ["R", type(value).__name__, "…"]
    if t is dict:
        out: list = ["M"]
        for key, item in value.items():
            out.append(encode_value(key, _depth + 1))
            out.append(encode_value(item, _depth + 1))
        return out
    if t is list or t is tuple:
        return ["L", *[encode_value(item, _depth + 1) for item in value]]
    if t is serialize.Repr:
        if value.original_length is None:
            return ["R", value.type_name, value.text]
        return ["R", value.type_name, value.text, value.original_length]
    if t is serialize.Opaque:
        return ["O", value.type_name]
    if t is serialize.Recursion:
        return ["C", value.type_name]
    if t is serialize.Omitted:
        return ["N", value.count]
    if t is serialize.Clipped:
        return ["K", encode_value(value.prefix, _depth + 1), value.original_length]
    if t is serialize.TooDeep:
        return ["D", value.type_name, value.length]
    if t is serialize.Dropped:
        return ["X"]
    if t is serialize.Failed:
        return ["E"]
    if t is bytes:
        return ["B", repr(value)]
    if t is ExtType:
        return ["T", value.code, value.data.hex()]
    if t is Timestamp:
        return ["R", "msgpack.Timestamp", repr(value)]
    return ["R", type(value).__name__, repr(value)]


class _Table:
    """Distinct items, each with its index, in first-seen order."""

    def __init__(self) -> None:
        self.index: dict = {}
        self.items: list = []

    def add(self, item) -> int:
        found = self.index.get(item)
        if found is None:
            found = self.index[item] = len(self.items)
            self.items.append(item)
        return found


class _Values:
    """Distinct values, kept as their JSON text."""

    def __init__(self) -> None:
        self.table = _Table()
        self._dumps = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode
        # None and empty maps are most locals and return values: answer them
        # without encoding.
        self.none = self.table.add("null")

    def add(self, value: object) -> int:
        if value is None:
            return self.none
        return self.table.add(self._dumps(encode_value(value)))

    def json(self) -> str:
        return "[" + ",".join(self.table.items) + "]"


def _severity(record: dict) -> int:
    kind = record.get("type")
    if kind == "end_test":
        outcome = record.get("outcome")
        return _SUCCESS if outcome == "passed" else _ERROR if outcome == "failed" else _WARNING
    if kind == "log":
        level = record.get("levelno")
        level = level if isinstance(level, int) and not isinstance(level, bool) else 0
        return _ERROR if level >= 40 else _WARNING if level >= 30 else _PLAIN
    if kind == "http_response":
        status = record.get("status")
        return _ERROR if not isinstance(status, int) or status >= 500 else _WARNING if status >= 400 else _PLAIN
    if kind == "request":
        status = record.get("status")
        return _ERROR if status is None else _PLAIN
    if kind == "ruvo" and record.get("subtype") == "left_out":
        return _WARNING
    return _PLAIN


def _number(value: object):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return float(value)


def page_data(document: dict) -> tuple[dict, str]:
    """The page's data for a decoded trace document, and the JSON text of its
    value table."""
    origin = trace_start(document)
    strings = _Table()
    frames = _Table()
    values = _Values()
    threads = []
    left_out = []
    end = 0

    def ns(t: float) -> int:
        return round((t - origin) * 1e9)

    for tree in build_threads(document):
        starts, durations, depths, frame_ids, flags = [], [], [], [], []
        call_locals, call_args, return_values, return_locals, return_paths = [], [], [], [], []
        ev_time, ev_kind, ev_label, ev_severity, ev_record, ev_parent, ev_since = [], [], [], [], [], [], []
        any_call_arg = False
        previous = 0
        parents: list[int] = []  # the span open at each depth, for events
        for depth, node in tree.walk():
            if isinstance(node, Event):
                record = node.record
                kind = str(record.get("type"))
                if record.get("subtype"):
                    kind += "/" + str(record.get("subtype"))
                ev_time.append(ns(node.time))
                ev_kind.append(strings.add(kind))
                ev_label.append(strings.add(describe_event(record)))
                ev_severity.append(_severity(record))
                payload = {key: item for key, item in record.items() if key not in _COMMON_FIELDS}
                ev_record.append(values.add(payload))
                ev_parent.append(parents[depth - 1] if depth > 0 else -1)
                since = _number(record.get("since")) if kind == "ruvo/left_out" else None
                ev_since.append(ns(since) if since is not None else None)
                if kind == "ruvo/left_out":
                    left_out.append({key: encode_value(item) for key, item in payload.items()})
                continue
            start = ns(node.start)
            starts.append(start - previous)
            previous = start
            durations.append(max(ns(node.end) - start, 0))
            depths.append(depth)
            del parents[depth:]
            parents.append(len(depths) - 1)
            name = strings.add(node.name)
            path = strings.add(node.path)
            frame_ids.append(frames.add((name, path)))
            flags.append((FLAG_NO_CALL if node.call is None else 0) | (FLAG_NO_RETURN if node.ret is None else 0))
            if node.call is not None:
                call_locals.append(values.add(node.call.get("locals")))
                argument = node.call.get("arg")
                any_call_arg = any_call_arg or argument is not None
                call_args.append(values.add(argument))
            else:
                call_locals.append(-1)
                call_args.append(-1)
            if node.ret is not None:
                return_values.append(values.add(node.ret.get("arg")))
                return_locals.append(values.add(node.ret.get("locals")))
                return_paths.append(strings.add(str(node.ret.get("path") or "?")))
            else:
                return_values.append(-1)
                return_locals.append(-1)
                return_paths.append(-1)
        thread_end = ns(tree.last)
        end = max(end, thread_end, previous + (durations[-1] if durations else 0), *(ev_time[-1:]))
        threads.append(
            {
                "name": tree.name,
                "nativeId": tree.native_id,
                "isMain": tree.is_main,
                "records": tree.records,
                "first": ns(tree.first),
                "last": thread_end,
                "spans": {
                    "start": starts,
                    "dur": durations,
                    "depth": depths,
                    "frame": frame_ids,
                    "flags": flags,
                    "callLocals": call_locals,
                    "callArg": call_args if any_call_arg else None,
                    "retValue": return_values,
                    "retLocals": return_locals,
                    "retPath": return_paths,
                },
                "events": {
                    "time": ev_time,
                    "kind": ev_kind,
                    "label": ev_label,
                    "severity": ev_severity,
                    "record": ev_record,
                    "parent": ev_parent,
                    "since": ev_since,
                },
            }
        )
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    data = {
        "version": __version__,
        "traceId": str(document.get("trace_id")),
        "source": None if meta.get("source") is None else str(meta.get("source")),
        "started": _number(document.get("timestamp")),
        "origin": origin,
        "commit": document.get("current_commit_sha") if isinstance(document.get("current_commit_sha"), str) else None,
        "args": encode_value(document.get("command_line_args")),
        "end": end,
        "strings": strings.items,
        "frameName": [name for name, _ in frames.items],
        "framePath": [path for _, path in frames.items],
        "threads": threads,
        "leftOut": left_out,
    }
    return data, values.json()


def _script_json(text: str) -> str:
    # Inside <script>, "</script>" or "<!--" in a string would end or confuse
    # the block; "<" only ever occurs inside JSON strings, where \u003c is the same.
    return text.replace("<", "\\u003c")


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


_SLOT = re.compile(r"__RUVO_([A-Z]+)__")


def build_page(trace: Union[dict, Sequence[dict]], *, title: str | None = None) -> str:
    """The viewer page, one HTML file with nothing to fetch, for a decoded
    trace document or the documents of one trace (in the order saved)."""
    document = trace if isinstance(trace, dict) else merge_documents(list(trace))
    data, values = page_data(document)
    if title is None:
        title = f"ruvo {data['traceId']}" + (f" — {data['source']}" if data["source"] else "")
    parts = {
        "TITLE": html.escape(title),
        "CSS": _asset("viewer.css"),
        "JS": _asset("viewer.js"),
        "DATA": _script_json(json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":"))),
        "VALUES": _script_json(values),
    }
    # One pass over the template, so nothing inserted is read as a slot.
    return _SLOT.sub(lambda match: parts[match.group(1)], _asset("template.html"))
