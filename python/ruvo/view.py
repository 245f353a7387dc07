"""Call trees of a trace document, and their rendering as text for ``ruvo show``.

A thread's records are in event order, so the tree is rebuilt with a stack:
a call opens a node, the return carrying its frame id closes it, and plugin
records sit under whatever frame is open.  Traces are often partial (the
program exited inside a call, a thread was still running, recording began
inside a function), so the builder tolerates calls without returns and
returns without calls.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Iterable, Iterator, Optional, Union

from . import serialize

__all__ = [
    "Call",
    "Event",
    "ThreadTree",
    "build_threads",
    "format_duration",
    "format_value",
    "describe_event",
    "render_trace",
    "trace_start",
]


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


def _number(value: object) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return float(value)


def trace_start(document: dict) -> float:
    """The earliest time of the trace: the profiler start, or an earlier record."""
    start = _number(document.get("timestamp"))
    for _, records in _record_lists(document):
        for record in records[:1]:
            first = _number(record.get("timestamp")) if isinstance(record, dict) else None
            if first is not None and (start is None or first < start):
                start = first
    return start if start is not None else 0.0


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
        timestamp = _number(record.get("timestamp"))
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
        first = _number(records[0].get("timestamp"))
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


# --- text --------------------------------------------------------------------


def format_duration(seconds: Optional[float]) -> str:
    """``?`` when unknown; µs below a millisecond, ms below a second."""
    if seconds is None:
        return "?"
    micros = seconds * 1e6
    if micros < 10:
        return f"{micros:.1f} µs"
    if micros < 1000:
        return f"{micros:.0f} µs"
    millis = seconds * 1e3
    if millis < 10:
        return f"{millis:.2f} ms"
    if millis < 1000:
        return f"{millis:.1f} ms"
    return f"{seconds:.2f} s"


def _clip(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: max(limit - 1, 0)] + "…"


def format_value(value: object, limit: int = 80, _depth: int = 0) -> str:
    """A compact, one-line rendering of a decoded value, at most ``limit`` chars."""
    if _depth > 6:
        return "…"
    if isinstance(value, serialize.Repr):
        text = value.text + ("…" if value.original_length is not None else "")
    elif isinstance(value, str):
        text = repr(value)
    elif isinstance(value, dict):
        parts = []
        for key, item in value.items():
            if isinstance(key, serialize.Omitted):
                parts.append(str(key))
                continue
            parts.append(f"{format_value(key, limit, _depth + 1)}: {format_value(item, limit, _depth + 1)}")
            if sum(map(len, parts)) > limit:
                break
        text = "{" + ", ".join(parts) + "}"
    elif isinstance(value, (list, tuple)):
        parts = []
        for item in value:
            parts.append(format_value(item, limit, _depth + 1))
            if sum(map(len, parts)) > limit:
                break
        text = "[" + ", ".join(parts) + "]"
    else:
        text = repr(value)
    return _clip(text.replace("\n", "\\n"), limit)


def format_locals(values: object, limit: int = 160) -> str:
    if not isinstance(values, dict):
        return format_value(values, limit)
    parts = []
    for name, value in values.items():
        if isinstance(name, str) and name.startswith("__") and name.endswith("__"):
            continue  # module and class namespaces: __name__, __doc__, __module__...
        if isinstance(name, serialize.Omitted):
            parts.append(str(name))
        else:
            parts.append(f"{name}={format_value(value, 60)}")
    return _clip(", ".join(parts), limit) if parts else "(none)"


def describe_event(record: dict, ascii_only: bool = False) -> str:
    """One line for a plugin record."""
    kind = record.get("type")
    if kind == "start_test":
        return f"{'>' if ascii_only else '▶'} test {record.get('nodeid')}"
    if kind == "end_test":
        return f"{'#' if ascii_only else '■'} test {record.get('nodeid')}: {record.get('outcome')}"
    arrow = "->" if ascii_only else "→"
    if kind == "http_request":
        return f"HTTP {record.get('method')} {record.get('url')}"
    if kind == "http_response":
        reason = f" {record.get('reason')}" if record.get("reason") else ""
        return f"HTTP {record.get('method')} {record.get('url')} {arrow} {record.get('status')}{reason}"
    if kind == "log":
        return f"{record.get('level')} {record.get('logger')}: {record.get('message')}"
    if kind == "request":
        status = record.get("status")
        duration = record.get("duration_ms")
        took = f" in {duration:.1f} ms" if isinstance(duration, (int, float)) else ""
        outcome = status if status is not None else "no response"
        return f"request {record.get('method')} {record.get('path')} {arrow} {outcome}{took}"
    common = {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"}
    details = ", ".join(f"{key}={format_value(value, 40)}" for key, value in record.items() if key not in common)
    subtype = f"/{record.get('subtype')}" if record.get("subtype") else ""
    return f"{kind}{subtype}" + (f": {details}" if details else "")


class _Style:
    def __init__(self, color: bool) -> None:
        self.color = color

    def _wrap(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.color else text

    def dim(self, text: str) -> str:
        return self._wrap("2", text)

    def bold(self, text: str) -> str:
        return self._wrap("1", text)

    def event(self, record: dict, text: str) -> str:
        kind = record.get("type")
        if kind == "log":
            levelno = record.get("levelno")
            levelno = levelno if isinstance(levelno, int) else 0
            return self._wrap("31" if levelno >= 40 else "33" if levelno >= 30 else "36", text)
        if kind == "end_test":
            return self._wrap("32" if record.get("outcome") == "passed" else "31", text)
        return self._wrap("36", text)


_UNICODE_GUIDES = ("├─ ", "└─ ", "│  ", "   ")
_ASCII_GUIDES = ("|- ", "`- ", "|  ", "   ")


def _local_time(timestamp: object) -> str:
    value = _number(timestamp)
    if value is None:
        return "?"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(value))


def render_trace(
    document: dict,
    *,
    depth: Optional[int] = None,
    values: bool = False,
    threads: Optional[Iterable[str]] = None,
    color: bool = False,
    ascii_only: bool = False,
) -> str:
    """The text of ``ruvo show``: a header, then each thread's call tree.

    ``depth`` limits the nesting shown (1: top-level entries only);
    ``values`` adds arguments, return values and locals; ``threads`` keeps
    the threads whose name or native id is listed.
    """
    style = _Style(color)
    tee, last_tee, pipe, space = _ASCII_GUIDES if ascii_only else _UNICODE_GUIDES
    arrow = "->" if ascii_only else "→"
    all_trees = build_threads(document)
    trees = all_trees
    if threads is not None:
        wanted = set(threads)
        trees = [tree for tree in all_trees if tree.name in wanted or str(tree.native_id) in wanted]
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    lines = [
        style.bold(f"trace {document.get('trace_id')}"),
        f"source: {meta.get('source')}  started: {_local_time(document.get('timestamp'))}"
        f"  records: {sum(tree.records for tree in all_trees)}  threads: {len(all_trees)}",
    ]
    commit = document.get("current_commit_sha")
    if commit:
        lines.append(f"commit: {commit}")

    def call_line(node: Call) -> str:
        label = f"{format_duration(node.duration)}  {style.bold(node.name)}  {style.dim(node.path)}"
        if node.call is None:
            label += style.dim("  (call not recorded)")
        elif node.ret is None:
            label += style.dim("  (no return recorded)")
        return label

    for tree in trees:
        lines.append("")
        role = "main thread" if tree.is_main else "thread"
        ident = f", native id {tree.native_id}" if tree.native_id is not None else ""
        lines.append(style.bold(f"{role} {tree.name}") + style.dim(f" ({tree.records} record{'s' if tree.records != 1 else ''}{ident})"))
        if not tree.roots:
            lines.append(style.dim("(no records)"))
        # Iterative, since user code may nest deeper than this interpreter's
        # recursion limit allows us to.
        work: list[tuple] = [
            ("node", node, "", index == len(tree.roots) - 1, 1) for index, node in reversed(list(enumerate(tree.roots)))
        ]
        while work:
            item = work.pop()
            if item[0] == "return":
                _, node, inner = item
                returned = format_value(node.ret.get("arg"), 80)
                lines.append(inner + style.dim(f"  {arrow} {returned}   locals: {format_locals(node.ret.get('locals'))}"))
                continue
            _, node, prefix, is_last, level = item
            guide = last_tee if is_last else tee
            inner = prefix + (space if is_last else pipe)
            if isinstance(node, Event):
                lines.append(prefix + guide + style.event(node.record, describe_event(node.record, ascii_only)))
                continue
            lines.append(prefix + guide + call_line(node))
            if values and node.call is not None:
                lines.append(inner + style.dim(f"  args: {format_locals(node.call.get('locals'))}"))
            if values and node.ret is not None:
                work.append(("return", node, inner))
            children = node.children
            if children and depth is not None and level >= depth:
                hidden = sum(1 for _ in _descendants(node))
                lines.append(inner + last_tee + style.dim(f"… {hidden} more entr{'y' if hidden == 1 else 'ies'}"))
                continue
            for index in range(len(children) - 1, -1, -1):
                work.append(("node", children[index], inner, index == len(children) - 1, level + 1))
    if not trees:
        lines.append("")
        lines.append("(no records)" if not all_trees else "(no such thread)")
    text = "\n".join(lines) + "\n"
    if ascii_only:
        text = text.replace("…", "...").replace("µ", "u")
    return text


def _descendants(node: Call) -> Iterator[Node]:
    stack = list(node.children)
    while stack:
        child = stack.pop()
        yield child
        if isinstance(child, Call):
            stack.extend(child.children)
