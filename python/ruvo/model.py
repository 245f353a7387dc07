"""The call trees of a trace document, which every renderer draws from.

A thread's records are in event order, so the tree is rebuilt with a stack:
a call opens a node, the return carrying its frame id closes it, and plugin
records sit under whatever frame is open.  Traces are often partial (the
program exited inside a call, a thread was still running, recording began
inside a function), so the builder tolerates calls without returns and
returns without calls.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Iterator, Optional, Union

__all__ = [
    "Call",
    "Event",
    "Node",
    "ThreadTree",
    "build_threads",
    "COMMON_FIELDS",
    "nanoseconds",
    "number",
    "trace_start",
]

# Fields every record has; the rest of a plugin record is its payload.
COMMON_FIELDS = frozenset({"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"})


@dataclass(eq=False)
class Call:
    """One recorded run of a frame: a call, its return, or both.

    ``start``/``end`` are the record timestamps made monotonic within the
    thread; a node without its own return ends where an enclosing return or
    the thread's last record puts it, so nodes always nest.
    """

    call: Optional[dict]
    ret: Optional[dict]
    start: float
    end: float = 0.0
    children: list = field(default_factory=list)

    @property
    def record(self) -> dict:
        return self.call if self.call is not None else (self.ret or {})

    @property
    def name(self) -> str:
        record = self.record
        return record.get("qualname") or record.get("co_name") or "?"

    @property
    def path(self) -> str:
        return str(self.record.get("path") or "?")

    @property
    def duration(self) -> Optional[float]:
        """Seconds from call to return; None unless both were recorded."""
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get("timestamp"), self.ret.get("timestamp")
        if not isinstance(start, (int, float)) or not isinstance(end, (int, float)):
            return None
        return max(end - start, 0.0)


@dataclass(eq=False)
class Event:
    """A plugin record (test marker, HTTP, log, request...) in place."""

    record: dict
    time: float

    @property
    def type(self) -> str:
        return str(self.record.get("type"))


Node = Union[Call, Event]


@dataclass(eq=False)
class ThreadTree:
    name: str
    native_id: Optional[int]
    is_main: bool
    roots: list
    records: int
    first: float
    last: float

    def walk(self) -> Iterator[tuple[int, Node]]:
        """Every node with its depth (0 for roots), depth-first in order."""
        stack = [(0, node) for node in reversed(self.roots)]
        while stack:
            depth, node = stack.pop()
            yield depth, node
            if isinstance(node, Call):
                stack.extend((depth + 1, child) for child in reversed(node.children))


def number(value: object) -> Optional[float]:
    """``value`` as a float when it is a finite number (a time), else None."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return float(value)


def trace_start(document: dict) -> float:
    """The earliest time of the trace: the profiler start, or an earlier record."""
    start = number(document.get("timestamp"))
    for _, records in _record_lists(document):
        for record in records[:1]:
            first = number(record.get("timestamp")) if isinstance(record, dict) else None
            if first is not None and (start is None or first < start):
                start = first
    return start if start is not None else 0.0


def nanoseconds(t: float, origin: float) -> int:
    """Whole nanoseconds from ``origin`` to ``t``."""
    return round((t - origin) * 1e9)


def _record_lists(document: dict) -> Iterator[tuple[object, list]]:
    foi = document.get("frames_of_interest")
    if isinstance(foi, list):
        yield None, foi
    frames = document.get("frames")
    if isinstance(frames, dict):
        for key, records in frames.items():
            if isinstance(records, list):
                yield key, records


def _group_by_thread(document: dict) -> list[tuple[object, list[dict]]]:
    """Records per thread, in their stored order; the key is the native
    thread id (or the name when a record has none)."""
    groups: dict[object, list[dict]] = {}
    for list_key, records in _record_lists(document):
        for record in records:
            if not isinstance(record, dict):
                continue
            key = record.get("thread_native_id")
            if key is None:
                key = list_key if list_key is not None else ("name", record.get("thread"))
            groups.setdefault(key, []).append(record)
    return list(groups.items())


def _build(records: list[dict], first: float) -> tuple[list, float]:
    root = Call(None, None, start=first)
    stack = [root]
    now = first
    for record in records:
        timestamp = number(record.get("timestamp"))
        if timestamp is not None and timestamp > now:
            now = timestamp
        if record.get("type") != "frame":
            stack[-1].children.append(Event(record, now))
            continue
        event = record.get("event")
        if event == "call":
            node = Call(record, None, start=now)
            stack[-1].children.append(node)
            stack.append(node)
        elif event == "return":
            frame_id = record.get("frame_id")
            index = None
            if frame_id is not None:
                for i in range(len(stack) - 1, 0, -1):
                    if stack[i].call.get("frame_id") == frame_id:
                        index = i
                        break
            if index is not None:
                for unclosed in stack[index:]:
                    unclosed.end = now
                stack[index].ret = record
                del stack[index:]
            else:
                # The frame was already running when recording began, so
                # everything recorded so far at this level ran inside it.
                parent = stack[-1]
                node = Call(None, record, start=parent.start, end=now, children=parent.children)
                parent.children = [node]
    for unclosed in stack[1:]:
        unclosed.end = now
    return root.children, now


def build_threads(document: dict) -> list[ThreadTree]:
    """The call tree of each thread of a decoded trace document, the main
    thread first, then the others by their first record."""
    main_id = document.get("main_thread_id")
    foi = document.get("frames_of_interest")
    first_foi = foi[0].get("thread_native_id") if isinstance(foi, list) and foi and isinstance(foi[0], dict) else None
    start = trace_start(document)
    trees = []
    for key, records in _group_by_thread(document):
        native_id = records[0].get("thread_native_id")
        name = records[0].get("thread")
        first = number(records[0].get("timestamp"))
        if first is None:
            first = start
        roots, last = _build(records, first)
        is_main = native_id is not None and native_id == main_id
        trees.append(
            ThreadTree(
                name=str(name) if name is not None else (str(native_id) if native_id is not None else "?"),
                native_id=native_id if isinstance(native_id, int) else None,
                is_main=is_main,
                roots=roots,
                records=len(records),
                first=first,
                last=last,
            )
        )
    # The main thread leads; when it recorded nothing (a request handled on
    # a server thread), the thread of frames_of_interest does.
    trees.sort(key=lambda tree: (not tree.is_main, tree.native_id is None or tree.native_id != first_foi, tree.first))
    return trees
