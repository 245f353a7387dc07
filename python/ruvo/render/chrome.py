"""A trace in Chrome's Trace Event format, for Perfetto and chrome://tracing.

Built from the call trees of :mod:`ruvo.model`, whose node times are
monotonic per thread and nest by construction, so the events of one thread
never overlap partially.
"""

from __future__ import annotations

from ..model import COMMON_FIELDS, Event, build_threads, nanoseconds, trace_start
from ..version import __version__
from .json import json_safe
from .labels import describe_event

__all__ = ["to_chrome"]


def _payload(record: dict) -> dict:
    return {key: json_safe(value) for key, value in record.items() if key not in COMMON_FIELDS}


def to_chrome(document: dict) -> dict:
    """Chrome Trace Event JSON: a complete ("X") event per call, an instant
    ("i") event per plugin record, times in µs from the trace start."""
    origin = trace_start(document)
    meta = document.get("meta")
    if not isinstance(meta, dict):
        meta = {}
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
                        "ts": nanoseconds(node.time, origin) / 1000,
                        "pid": 1,
                        "tid": tid,
                        "args": _payload(node.record),
                    }
                )
                continue
            start = nanoseconds(node.start, origin)
            end = nanoseconds(node.end, origin)
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
