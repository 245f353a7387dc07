"""One self-contained HTML page for a trace: the page's data, then the page.

The data is columnar, so that a trace of a million records stays small and
the page can lay it into typed arrays without building an object per record:
per thread, one array per field of the calls (in depth-first order, so start
times never decrease and are stored as deltas) and of the plugin records.
Names, paths and labels are indexes into one string table.

Values (locals, return values, plugin payloads) are written back in the
serialiser's own MessagePack encoding (:mod:`ruvo.serialize`: its extension
types say what was recorded instead of a value), each distinct value once,
all of them in one base64 block that the page decodes only when it first
shows a value.  A call refers to its values by how far back in that table
they are (0: the next new value), so most references are one digit.
"""

from __future__ import annotations

import base64
import html
import json
import re
from importlib import resources
from typing import Sequence, Union

from .. import serialize
from ..render.json import json_safe
from ..version import __version__
from ..model import COMMON_FIELDS, Event, build_threads, merge_documents, number, trace_start
from ..decode import new_packer, pack_value
from ..render.top import recorder_cost
from ..render.labels import describe_event

__all__ = ["build_page", "build_diff_page", "page_data", "merge_documents", "pack_value"]


FLAG_NO_CALL = 1
FLAG_NO_RETURN = 2

# Severity of a plugin record, for its colour: plain, warning, error, success.
_PLAIN, _WARNING, _ERROR, _SUCCESS = 0, 1, 2, 3


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
    """Distinct packed values.  :meth:`ref` answers how far back from the
    next new entry a value is, which is what the page reads back."""

    def __init__(self) -> None:
        self.index: dict[bytes, int] = {}
        self.items: list[bytes] = []
        self._packer = new_packer()
        self._none = b"\xc0"

    def ref(self, value: object) -> int:
        packed = self._none if value is None else pack_value(value, self._packer)
        found = self.index.get(packed)
        count = len(self.items)
        if found is None:
            self.index[packed] = count
            self.items.append(packed)
            return 0
        return count - found

    def base64(self) -> str:
        return base64.b64encode(b"".join(self.items)).decode("ascii")


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


def _first_record_time(document: dict) -> float:
    """Where the page's clock starts: the first record of any thread.  The
    document's own timestamp can be much earlier (a test's trace starts when
    the session's profiler did)."""
    first = None
    for records in [document.get("frames_of_interest"), *(document.get("frames") or {}).values()]:
        if isinstance(records, list) and records and isinstance(records[0], dict):
            t = number(records[0].get("timestamp"))
            if t is not None and (first is None or t < first):
                first = t
    return first if first is not None else trace_start(document)


def page_data(document: dict) -> tuple[dict, str]:
    """The page's data for a decoded trace document, and its value table
    (base64 of the packed values, one after another)."""
    origin = _first_record_time(document)
    strings = _Table()
    frames = _Table()
    values = _Values()
    ref = values.ref
    frame_of: dict[tuple, int] = {}
    threads = []
    left_out = []
    # The tally (counts and costs for `ruvo top`) is no event of the program:
    # the tree leaves it out, and the page takes only its cost.
    tallies = [record for record in document.get("frames_of_interest") or ()
               if isinstance(record, dict) and record.get("type") == "ruvo" and record.get("subtype") == "tally"]
    end = 0

    def ns(t: float) -> int:
        return round((t - origin) * 1e9)

    for tree in build_threads(document):
        starts, durations, depths, frame_ids, flagged = [], [], [], [], []
        call_locals, call_args, return_values, return_locals = [], [], [], []
        events: list[tuple[Event, int]] = []
        previous = 0
        parents: list[int] = []  # the call open at each depth, for events
        # Depth-first, as Tree.walk but without a tuple per node.
        stack = [(0, node) for node in reversed(tree.roots)]
        while stack:
            depth, node = stack.pop()
            if type(node) is Event:
                events.append((node, parents[depth - 1] if depth > 0 else -1))
                continue
            if node.children:
                child_depth = depth + 1
                stack.extend([(child_depth, child) for child in reversed(node.children)])
            start = round((node.start - origin) * 1e9)
            starts.append(start - previous)
            previous = start
            end_ns = round((node.end - origin) * 1e9)
            durations.append(end_ns - start if end_ns > start else 0)
            depths.append(depth)
            del parents[depth:]
            parents.append(len(depths) - 1)
            call, ret = node.call, node.ret
            record = call if call is not None else ret
            return_path = ret.get("path") if ret is not None else None
            key = (record.get("qualname") or record.get("co_name") or "?", record.get("path") or "?", return_path)
            frame = frame_of.get(key)
            if frame is None:
                frame = frame_of[key] = frames.add(
                    (strings.add(str(key[0])), strings.add(str(key[1])),
                     -1 if ret is None else strings.add(str(return_path or "?")))
                )
            frame_ids.append(frame)
            if call is None or ret is None:
                flagged.append(len(depths) - 1)
                flagged.append((FLAG_NO_CALL if call is None else 0) | (FLAG_NO_RETURN if ret is None else 0))
            # The order of these refs is the order the page reads them back in.
            if call is not None:
                call_locals.append(ref(call.get("locals")))
                argument = call.get("arg")
                call_args.append(-1 if argument is None else ref(argument))
            else:
                call_locals.append(-1)
                call_args.append(-1)
            if ret is not None:
                return_values.append(ref(ret.get("arg")))
                return_locals.append(ref(ret.get("locals")))
            else:
                return_values.append(-1)
                return_locals.append(-1)
        ev_time, ev_kind, ev_label, ev_severity, ev_record, ev_parent, ev_since = [], [], [], [], [], [], []
        for event, parent in events:
            record = event.record
            kind = str(record.get("type"))
            if record.get("subtype"):
                kind += "/" + str(record.get("subtype"))
            payload = {key: item for key, item in record.items() if key not in COMMON_FIELDS}
            ev_time.append(ns(event.time))
            ev_kind.append(strings.add(kind))
            message = record.get("message")
            left = kind == "ruvo/left_out"
            # A left-out record brings its own sentence, to be shown as it is.
            ev_label.append(strings.add(message if left and isinstance(message, str) else describe_event(record)))
            ev_severity.append(_severity(record))
            ev_record.append(ref(payload))
            ev_parent.append(parent)
            since = number(record.get("since")) if left else None
            ev_since.append(ns(since) if since is not None else None)
            if left:
                left_out.append(json_safe(payload))
        thread_end = ns(tree.last)
        end = max(end, thread_end, previous + (durations[-1] if durations else 0), *ev_time[-1:])
        threads.append(
            {
                "name": tree.name,
                "nativeId": tree.native_id,
                "isMain": tree.is_main,
                "records": tree.records,
                "spans": {
                    "start": starts,
                    "dur": durations,
                    "depth": depths,
                    "frame": frame_ids,
                    "flagged": flagged,
                    "callLocals": call_locals,
                    "callArg": call_args if any(item >= 0 for item in call_args) else None,
                    "retValue": return_values,
                    "retLocals": return_locals,
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
    meta = document.get("meta")
    if not isinstance(meta, dict):
        meta = {}
    commit = document.get("current_commit_sha")
    data = {
        "codes": serialize.EXT_CODES,
        "version": __version__,
        "traceId": str(document.get("trace_id")),
        "source": None if meta.get("source") is None else str(meta.get("source")),
        "started": number(document.get("timestamp")),
        "origin": origin,
        "commit": commit if isinstance(commit, str) else None,
        "end": end,
        "strings": strings.items,
        "frameName": [name for name, _, _ in frames.items],
        "framePath": [path for _, path, _ in frames.items],
        "frameReturnPath": [path for _, _, path in frames.items],
        "threads": threads,
        "leftOut": left_out,
        # Seconds of the recorder's own cost per recorded call, which the
        # durations shown include; None when the trace did not measure it.
        "recorderCost": recorder_cost(tallies[0]) if tallies else None,
    }
    return data, values.base64()


def _script_json(text: str) -> str:
    # Inside <script>, "</script>" or "<!--" in a string would end or confuse
    # the block; "<" only ever occurs inside JSON strings, where \u003c is the same.
    return text.replace("<", "\\u003c")


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


# The viewer's modules, in the order they build on each other; each adds
# its part to one namespace, and the page holds them in one script.
SCRIPTS = ("decode.js", "layout.js", "analysis.js", "values.js", "timeline.js", "panels.js", "views.js", "main.js")


def _script() -> str:
    modules = "\n".join(_asset("js/" + name) for name in SCRIPTS)
    return "(function () {\nvar ruvoViewer = {};\n" + modules + "})();\n"


_SLOT = re.compile(r"__RUVO_([A-Z]+)__")


def _document(trace: Union[dict, Sequence[dict]]) -> dict:
    return trace if isinstance(trace, dict) else merge_documents(list(trace))


def build_page(trace: Union[dict, Sequence[dict]], *, title: str | None = None) -> str:
    """The viewer page, one HTML file with nothing to fetch, for a decoded
    trace document or the documents of one trace (in the order saved)."""
    return _render(*page_data(_document(trace)), title=title)


def _render(data: dict, values: str, *, title: str | None = None) -> str:
    if title is None:
        title = f"ruvo {data['traceId']}" + (f" — {data['source']}" if data["source"] else "")
    parts = {
        "TITLE": html.escape(title),
        "CSS": _asset("viewer.css"),
        "JS": _script(),
        "DATA": _script_json(json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":"))),
        "VALUES": _script_json(values),
    }
    # One pass over the template, so nothing inserted is read as a slot.
    return _SLOT.sub(lambda match: parts[match.group(1)], _asset("template.html"))


MARK_KINDS = ("only", "changed", "moved")


def _side_marks(data: dict, marks: Sequence[dict], side: str) -> tuple[list, list, int]:
    """The marks on one side that name a call of its data: for the page
    ({thread, call, kind}) and for the list of differences (with the call's
    name, where and when), and how many named no call."""
    threads = data["threads"]
    strings = data["strings"]
    shown, listed, bad = [], [], 0
    for number_, mark in enumerate(marks):
        if not isinstance(mark, dict) or mark.get("side") not in (side, "both"):
            continue
        thread, call, kind = mark.get("thread"), mark.get("call"), mark.get("kind")
        if (not isinstance(thread, int) or not isinstance(call, int) or kind not in MARK_KINDS
                or not 0 <= thread < len(threads) or not 0 <= call < len(threads[thread]["spans"]["frame"])):
            bad += 1
            continue
        spans = threads[thread]["spans"]
        frame = spans["frame"][call]
        shown.append({"thread": thread, "call": call, "kind": kind})
        listed.append({"index": number_, "side": side, "thread": thread, "call": call, "kind": kind,
                       "name": strings[data["frameName"][frame]], "path": strings[data["framePath"][frame]],
                       "label": str(mark.get("label") or "")})
    return shown, listed, bad


def build_diff_page(trace_a_data: Union[dict, Sequence[dict]], trace_b_data: Union[dict, Sequence[dict]],
                    marks: Sequence[dict], *, title: str | None = None) -> str:
    """One page of two traces side by side, each in a viewer of its own,
    with the calls a diff marked outlined and a list of the differences
    that selects them.  A mark is ``{"side": "a"|"b"|"both", "thread": i,
    "call": index in that thread's calls (depth-first order), "kind":
    "only"|"changed"|"moved"}``; "both" names the same call on both sides.
    Marks that name no call are left out, and the page says how many (once
    per side for "both")."""
    sides = []
    listed: list = []
    bad = 0
    for side, trace in (("a", trace_a_data), ("b", trace_b_data)):
        data, values = page_data(_document(trace))
        shown, items, wrong = _side_marks(data, marks, side)
        data["marks"] = shown
        listed += items
        bad += wrong
        sides.append((data, _render(data, values)))
    listed.sort(key=lambda item: (item["index"], item["side"]))
    (a, page_a), (b, page_b) = sides
    if title is None:
        title = f"ruvo diff {a['traceId']} {b['traceId']}"
    info = {"a": {"traceId": a["traceId"], "source": a["source"]},
            "b": {"traceId": b["traceId"], "source": b["source"]},
            "marks": listed, "leftOut": bad}
    parts = {
        "TITLE": html.escape(title),
        "PAGEA": html.escape(page_a, quote=True),
        "PAGEB": html.escape(page_b, quote=True),
        "DATA": _script_json(json.dumps(info, ensure_ascii=False, allow_nan=False, separators=(",", ":"))),
    }
    return _SLOT.sub(lambda match: parts[match.group(1)], _asset("diff.html"))
