"""The call trees of a trace document, which every renderer draws from.

A thread's records are in event order, so the tree is rebuilt with a stack:
a call opens a node, the return carrying its frame id closes it, and plugin
records sit under whatever frame is open.  Traces are often partial (the
program exited inside a call, a thread was still running, recording began
inside a function), so the builder tolerates calls without returns and
returns without calls.  Stored documents too large to decode whole are read
record by record by :mod:`ruvo.stream` into the same trees.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Callable, Iterable, Iterator, Optional, Sequence, Union

# ruvo.stream builds on this module (importing it only once it runs), and
# its names are offered here as well.
from .stream import SKIMMED_FIELDS, StreamedTrace, iter_records, stream_threads  # noqa: F401

if TYPE_CHECKING:
    from .diff import TraceDiff


class _Missing:
    def __repr__(self) -> str:
        return "MISSING"


# Trace.find's (and ruvo.search's) return_value when no return value is asked for.
MISSING: object = _Missing()

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
COMMON_FIELDS = frozenset({"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type",
                           "subtype"})


@dataclass(eq=False, slots=True)
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
    hidden: int = 0  # entries beneath left out of ``children`` (depth, filters)

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

    @property
    def file(self) -> str:
        """The code's file, as recorded (relative to where the program ran)."""
        return self.path.rpartition(":")[0] or self.path

    @property
    def line(self) -> Optional[int]:
        """The line of the call's record (the function's first line for a
        call, the returning line for a return seen without its call)."""
        text = self.path.rpartition(":")[2]
        return int(text) if text.isdigit() else None

    @property
    def arguments(self) -> Optional[dict]:
        """The frame's locals at its call (its arguments, and free variables
        for a closure); None without a call record or with values left out."""
        values = self.call.get("locals") if self.call is not None else None
        return values if isinstance(values, dict) else None

    @property
    def return_value(self) -> object:
        """What the call returned (or yielded), decoded; None without a return record."""
        return self.ret.get("arg") if self.ret is not None else None

    @property
    def locals(self) -> Optional[dict]:
        """The frame's locals at its return, else at its call."""
        for record in (self.ret, self.call):
            values = record.get("locals") if record is not None else None
            if isinstance(values, dict):
                return values
        return None

    @property
    def calls(self) -> list["Call"]:
        """The recorded calls made directly from this one, in order."""
        return [child for child in self.children if isinstance(child, Call)]


@dataclass(eq=False, slots=True)
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
    roots: list  # or, from a builder that writes entries out as they close, what it wrote
    records: int
    first: float
    last: float
    hidden: int = 0  # top-level entries left out (filters)

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


def merge_documents(documents: Sequence[dict]) -> dict:
    """Documents of one trace (saved in parts) as one: records concatenated
    in save order, per thread for ``frames``, every other field taken from
    the first."""
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
            key = record.get("thread_native_id")  # most records have one: no call for those
            if key is None:
                key = thread_key(list_key, record)
            groups.setdefault(key, []).append(record)
    return list(groups.items())


def thread_key(list_key: object, record: dict) -> object:
    """The thread a record belongs to: its native thread id, or the key of
    its list (or its thread's name) when it has none."""
    key = record.get("thread_native_id")
    if key is None:
        key = list_key if list_key is not None else ("name", record.get("thread"))
    return key


# What a call's records keep when their values are not wanted.
_SLIM = ("type", "event", "frame_id", "timestamp", "qualname", "co_name", "path")


class TreeBuilder:
    """Builds one thread's call tree from its records, in event order.

    ``depth`` keeps nodes down to that level only (1: roots); what lies
    deeper is counted in the ``hidden`` of the deepest node kept.  ``keep``,
    asked about each call once it has closed (with its kept children in
    place, whether any of them is a call, and whether it is a root), drops
    the calls it refuses, counting them in their parent's ``hidden``.
    Memory then holds the kept nodes and the open calls only, so a tree can
    be built from a stream of records.

    Where kept nodes go is up to the ``_event``, ``_open``, ``_adopt`` and
    ``_judge`` methods; here they become children of their parent, while a
    subclass may write each one out as it closes instead.
    """

    def __init__(self, first: float, *, depth: Optional[int] = None,
                 keep: Optional[Callable[["Call", bool, bool], bool]] = None, values: bool = True) -> None:
        self.root = Call(None, None, start=first)
        self.stack: list[Call] = [self.root]
        self.now = first
        self.records = 0
        self.depth = depth
        self.keep = keep
        self.values = values
        # The kept node each open call is counted under (itself when kept).
        self._kept: list[Call] = [self.root]
        self.tally: Optional[dict] = None  # the trace's "tally" record, when this thread holds it

    def add(self, record: dict) -> None:
        self.records += 1
        # number() inlined: this runs for every record of a trace.
        timestamp = record.get("timestamp")
        if (timestamp.__class__ is float or timestamp.__class__ is int) and timestamp > self.now \
                and timestamp != math.inf:
            self.now = float(timestamp)
        now = self.now
        stack = self.stack
        kept = self._kept
        if record.get("type") != "frame":
            if record.get("type") == "ruvo" and record.get("subtype") == "tally":
                self.tally = record  # the counts and costs `ruvo top` reads, not an event of the program
                return
            if stack[-1] is kept[-1]:
                self._event(stack[-1], record, now)
            else:
                kept[-1].hidden += 1
            return
        event = record.get("event")
        if not self.values:
            record = {key: record[key] for key in _SLIM if key in record}
        if event == "call":
            node = Call(record, None, start=now)
            if stack[-1] is kept[-1] and (self.depth is None or len(stack) <= self.depth):
                self._open(stack[-1], node)
                kept.append(node)
            else:
                kept[-1].hidden += 1
                kept.append(kept[-1])
            stack.append(node)
        elif event == "return":
            frame_id = record.get("frame_id")
            top = stack[-1]
            if frame_id is not None and top.call is not None and top.call.get("frame_id") == frame_id:
                # The usual case, made short: the innermost open call returns.
                top.ret = record
                top.end = now
                stack.pop()
                if kept.pop() is top:
                    self._judge(top, stack[-1])
                return
            index = None
            if frame_id is not None:
                for i in range(len(stack) - 1, 0, -1):
                    call = stack[i].call
                    if call is not None and call.get("frame_id") == frame_id:
                        index = i
                        break
            if index is not None:
                stack[index].ret = record
                self._close(index, now)
            elif stack[-1] is kept[-1] and (self.depth is None or len(stack) <= self.depth):
                # The frame was already running when recording began, so
                # everything recorded so far at this level ran inside it.
                parent = stack[-1]
                node = Call(None, record, start=parent.start, end=now)
                self._adopt(parent, node)
                self._judge(node, parent)
            else:
                kept[-1].hidden += 1

    def _close(self, index: int, now: float) -> None:
        stack = self.stack
        for position in range(len(stack) - 1, index - 1, -1):
            node = stack[position]
            node.end = now
            kept = self._kept[position] is node
            del stack[position], self._kept[position]
            if kept:
                self._judge(node, stack[position - 1])

    def _event(self, parent: "Call", record: dict, now: float) -> None:
        """A plugin record kept under ``parent``."""
        parent.children.append(Event(record, now))

    def _open(self, parent: "Call", node: "Call") -> None:
        """A call kept under ``parent`` has begun."""
        parent.children.append(node)

    def _adopt(self, parent: "Call", node: "Call") -> None:
        """``node`` (a return without its call) takes over ``parent``'s entries."""
        node.children, parent.children = parent.children, [node]
        node.hidden, parent.hidden = parent.hidden, 0

    def _judge(self, node: "Call", parent: "Call") -> None:
        """A kept call has closed: ``keep`` decides whether it stays."""
        if self.keep is None or self.keep(node, any(isinstance(child, Call) for child in node.children),
                                          parent is self.root):
            return
        if parent.children and parent.children[-1] is node:
            parent.children.pop()
        else:
            parent.children = [child for child in parent.children if child is not node]
        parent.hidden += 1 + node.hidden + sum(1 for _ in descendants(node))

    def finish(self) -> tuple[list, float]:
        """The roots, and the time of the last record; calls still open end then."""
        if len(self.stack) > 1:
            self._close(1, self.now)
        return self.root.children, self.now


def descendants(node: "Call") -> Iterator["Node"]:
    """Every node below `node`, at any depth."""
    stack = list(node.children)
    while stack:
        child = stack.pop()
        yield child
        if isinstance(child, Call):
            stack.extend(child.children)


def finish_threads(builders: Iterable[tuple[TreeBuilder, dict]], main_id: object,
                   first_foi: object) -> list[ThreadTree]:
    """The tree of each thread from its builder, fed all the records read of
    it, and its first record; the main thread first, then the others by
    their first record.  ``first_foi`` is the thread of the first record of
    frames_of_interest."""
    trees = []
    for builder, first_record in builders:
        roots, last = builder.finish()
        native_id = first_record.get("thread_native_id")
        name = first_record.get("thread")
        trees.append(ThreadTree(
            name=str(name) if name is not None else (str(native_id) if native_id is not None else "?"),
            native_id=native_id if isinstance(native_id, int) else None,
            is_main=native_id is not None and native_id == main_id,
            roots=roots, records=builder.records, first=builder.root.start, last=last, hidden=builder.root.hidden))
    # When the main thread recorded nothing (a request handled on a server
    # thread), the thread of frames_of_interest leads.
    trees.sort(key=lambda tree: (not tree.is_main, tree.native_id is None or tree.native_id != first_foi, tree.first))
    return trees


def build_threads(document: dict) -> list[ThreadTree]:
    """The call tree of each thread of a decoded trace document, ordered as
    :func:`finish_threads` orders them."""
    foi = document.get("frames_of_interest")
    first_foi = foi[0].get("thread_native_id") if isinstance(foi, list) and foi and isinstance(foi[0], dict) else None
    start = trace_start(document)
    builders = []
    for _, records in _group_by_thread(document):
        first = number(records[0].get("timestamp"))
        builder = TreeBuilder(first if first is not None else start)
        add = builder.add
        for record in records:
            add(record)
        builders.append((builder, records[0]))
    return finish_threads(builders, document.get("main_thread_id"), first_foi)


@dataclass(eq=False)
class Trace:
    """A stored trace, read whole: :func:`ruvo.load` gives one."""

    trace_id: str
    source: Optional[str]
    started: Optional[float]  # seconds since the epoch
    threads: list[ThreadTree]  # the main thread first
    document: dict  # the decoded document, for what the tree does not carry

    @property
    def main(self) -> Optional[ThreadTree]:
        return self.threads[0] if self.threads else None

    def calls(self) -> Iterator[Call]:
        """Every recorded call of every thread, depth-first in order."""
        for tree in self.threads:
            for _, node in tree.walk():
                if isinstance(node, Call):
                    yield node

    def find(self, name: Optional[str] = None, /, *, function: Optional[str] = None, text: Optional[str] = None,
             return_value: object = MISSING, **values: object) -> list[Call]:
        """The calls, in order, whose qualified name is ``name`` or ends in
        ``.name`` (when given) and that match every other condition, as
        ``ruvo find`` matches them (:mod:`ruvo.search`): arguments or locals
        holding ``values`` (``user_id=42``), the return value, a glob over
        the qualified name, a substring of a recorded string."""
        from .search import Query, search_calls

        return search_calls(self.calls(), Query(values, return_value, function, text), name)

    def diff(self, other: "Trace") -> "TraceDiff":
        """This trace aligned with ``other`` call by call: the calls found in
        one only and the values recorded differently, each in the order they
        happened, and the calls whose time changed (see :mod:`ruvo.diff`)::

            change = ruvo.load(passing).diff(ruvo.load(failing))
            print(change.first.call.name, change.first.name, change.first.b_value)
        """
        from .diff import diff_traces

        return diff_traces(self, other)


def trace_of(document: dict) -> Trace:
    """The :class:`Trace` of a decoded trace document."""
    meta = document.get("meta")
    source = meta.get("source") if isinstance(meta, dict) else None
    return Trace(trace_id=str(document.get("trace_id")), source=None if source is None else str(source),
                 started=number(document.get("timestamp")), threads=build_threads(document), document=document)
