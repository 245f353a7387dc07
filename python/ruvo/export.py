"""Trace documents as files other tools open: Chrome's Trace Event format
(Perfetto, chrome://tracing), speedscope's evented format, and plain JSON.

Both timeline formats are built from the call trees of :mod:`ruvo.view`,
whose node times are monotonic per thread and nest by construction, so the
events of one thread never overlap partially and opens always have closes.
"""

from __future__ import annotations

import json
import math
from typing import IO, Optional

from .version import __version__
from .view import Call, Event, build_threads, describe_event, trace_start

__all__ = ["FORMATS", "json_safe", "to_chrome", "to_speedscope", "to_json", "export", "write_json"]

FORMATS = ("chrome", "speedscope", "json")

_MAX_DEPTH = 64
# Fields every record has; the rest of a plugin record is its payload.
_COMMON_FIELDS = {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"}


def json_safe(value: object, _depth: int = 0) -> object:
    """``value`` with everything JSON cannot hold turned into its repr:
    markers, bytes, non-finite floats; map keys become strings."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if _depth >= _MAX_DEPTH:
        return repr(value)[:200]
    if isinstance(value, dict):
        return {_json_key(key): json_safe(item, _depth + 1) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(item, _depth + 1) for item in value]
    return repr(value)


def _json_key(key: object) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key) if not isinstance(key, float) or math.isfinite(key) else repr(key)
    return repr(key)


def to_json(document: dict) -> dict:
    """The decoded document as JSON-safe data."""
    return json_safe(document)


def _nanos(t: float, origin: float) -> int:
    return round((t - origin) * 1e9)


def _split_path(path: object) -> tuple[str, Optional[int]]:
    text = str(path) if path is not None else "?"
    file, sep, line = text.rpartition(":")
    if sep and line.isdigit():
        return file, int(line)
    return text, None


def _payload(record: dict) -> dict:
    return {key: json_safe(value) for key, value in record.items() if key not in _COMMON_FIELDS}


def to_chrome(document: dict) -> dict:
    """Chrome Trace Event JSON: a complete ("X") event per call, an instant
    ("i") event per plugin record, times in µs from the trace start."""
    origin = trace_start(document)
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    events: list[dict] = [
        {"ph": "M", "name": "process_name", "pid": 1, "tid": 0, "args": {"name": f"ruvo: {meta.get('source')}"}},
    ]
    used_tids: set[int] = set()
    for order, tree in enumerate(build_threads(document)):
        tid = tree.native_id if tree.native_id is not None and tree.native_id not in used_tids else None
        if tid is None:
            tid = max(used_tids, default=0) + 1
        used_tids.add(tid)
        events.append({"ph": "M", "name": "thread_name", "pid": 1, "tid": tid, "args": {"name": tree.name}})
        events.append({"ph": "M", "name": "thread_sort_index", "pid": 1, "tid": tid, "args": {"sort_index": order}})
        for _, node in tree.walk():
            if isinstance(node, Event):
                events.append(
                    {
                        "ph": "i",
                        "s": "t",
                        "name": describe_event(node.record),
                        "cat": str(node.record.get("type")),
                        "ts": _nanos(node.time, origin) / 1000,
                        "pid": 1,
                        "tid": tid,
                        "args": _payload(node.record),
                    }
                )
                continue
            start = _nanos(node.start, origin)
            end = _nanos(node.end, origin)
            args: dict = {"path": node.path}
            if node.call is not None:
                args["locals"] = json_safe(node.call.get("locals"))
            if node.ret is not None:
                args["return_path"] = node.ret.get("path")
                args["return_value"] = json_safe(node.ret.get("arg"))
                args["locals_at_return"] = json_safe(node.ret.get("locals"))
            if node.call is None:
                args["note"] = "call not recorded: started before the trace"
            elif node.ret is None:
                args["note"] = "return not recorded"
            events.append(
                {
                    "ph": "X",
                    "name": node.name,
                    "cat": "python",
                    "ts": start / 1000,
                    "dur": (end - start) / 1000,
                    "pid": 1,
                    "tid": tid,
                    "args": args,
                }
            )
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {"trace_id": json_safe(document.get("trace_id")), "ruvo_version": __version__},
    }


def to_speedscope(document: dict) -> dict:
    """speedscope's evented format, one profile per thread, in milliseconds
    from the trace start.  Returns without a recorded call are left out (their
    callees stay); calls without a return close where the tree ends them."""
    origin = trace_start(document)
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    frames: list[dict] = []
    frame_index: dict[tuple, int] = {}
    profiles = []

    def index_of(node: Call) -> int:
        file, line = _split_path(node.path)
        key = (node.name, file, line)
        found = frame_index.get(key)
        if found is None:
            frame = {"name": node.name, "file": file}
            if line is not None:
                frame["line"] = line
            found = frame_index[key] = len(frames)
            frames.append(frame)
        return found

    def at(t: float) -> float:
        return _nanos(t, origin) / 1e6

    for tree in build_threads(document):
        events: list[dict] = []
        work: list[tuple] = [("open", node) for node in reversed(tree.roots)]
        while work:
            action, node = work.pop()
            if isinstance(node, Event):
                continue
            if action == "close":
                events.append({"type": "C", "frame": index_of(node), "at": at(node.end)})
                continue
            if node.call is not None:
                events.append({"type": "O", "frame": index_of(node), "at": at(node.start)})
                work.append(("close", node))
            work.extend(("open", child) for child in reversed(node.children))
        profiles.append(
            {
                "type": "evented",
                "name": tree.name,
                "unit": "milliseconds",
                "startValue": at(tree.first),
                "endValue": at(tree.last),
                "events": events,
            }
        )
    return {
        "$schema": "https://www.speedscope.app/file-format-schema.json",
        "shared": {"frames": frames},
        "profiles": profiles,
        "name": f"ruvo {document.get('trace_id')}: {meta.get('source')}",
        "activeProfileIndex": 0,
        "exporter": f"ruvo {__version__}",
    }


_CONVERTERS = {"chrome": to_chrome, "speedscope": to_speedscope, "json": to_json}


def export(document: dict, format: str) -> object:
    """The JSON-ready export of a decoded trace document."""
    try:
        converter = _CONVERTERS[format]
    except KeyError:
        raise ValueError(f"unknown export format {format!r}; choose from {', '.join(FORMATS)}") from None
    return converter(document)


def write_json(data: object, file: IO[str], *, indent: Optional[int] = None) -> None:
    separators = (",", ":") if indent is None else (",", ": ")
    json.dump(data, file, ensure_ascii=False, allow_nan=False, indent=indent, separators=separators)
    file.write("\n")
