"""Where a failed test's failure surfaced in its trace.

pytest knows the traceback (file, line and function of each frame); the
trace knows the calls, with their values.  Following the traceback from the
test function inwards through the recorded calls finds the innermost
recorded call the exception went through.  For a failed assertion the value
that failed it usually came from the last call that returned before it, so
that call is named instead, with what it returned.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterable, Optional, Sequence

from .model import Call, Trace

__all__ = ["traceback_frames", "failure_call", "describe_call"]

# The frames kept of a failure's traceback (innermost ones).
MAX_FRAMES = 64


def traceback_frames(excinfo) -> list[list]:
    """A pytest failure's traceback as [path, line, function] lists,
    outermost first: small and plain, so that xdist carries it to the
    controller inside the report."""
    frames = []
    try:
        for entry in list(excinfo.traceback)[-MAX_FRAMES:]:
            frames.append([str(entry.path), int(entry.lineno) + 1, str(entry.name)])
    except Exception:
        return []  # a traceback pytest cannot walk: the summary names no call
    return frames


def _same_file(recorded: str, path: str) -> bool:
    if not recorded or recorded == "?":
        return False
    if os.path.isabs(recorded):
        return os.path.normpath(recorded) == os.path.normpath(path)
    return Path(path).as_posix().endswith("/" + Path(recorded).as_posix()) or \
        os.path.normpath(os.path.abspath(recorded)) == os.path.normpath(path)


def _code_name(call: Call) -> str:
    record = call.record
    return str(record.get("co_name") or call.name.rpartition(".")[2])


def _latest(calls: Iterable[Call], path: str, function: str) -> Optional[Call]:
    found = None
    for call in calls:
        if _code_name(call) == function and _same_file(call.file, path):
            if found is None or call.start >= found.start:
                found = call
    return found


def _below(call: Call) -> Iterable[Call]:
    stack = list(reversed(call.calls))
    while stack:
        node = stack.pop()
        yield node
        stack.extend(reversed(node.calls))


def failure_call(trace: Trace, frames: Sequence[Sequence], assertion: bool) -> Optional[tuple[Call, str]]:
    """The recorded call where the failure surfaced, and how: "raised" (the
    innermost recorded call the exception left), or "returned" (for a failed
    assertion, the last call that returned before it); None when no frame
    of the traceback was recorded."""
    innermost: Optional[Call] = None
    for path, _line, function in frames:
        pool = trace.calls() if innermost is None else _below(innermost)
        match = _latest(pool, str(path), str(function))
        if match is not None:
            innermost = match
    if innermost is None:
        return None
    if assertion:
        returned = [call for call in innermost.calls if call.ret is not None]
        if returned:
            return returned[-1], "returned"
    return innermost, "raised"


def describe_call(call: Call, how: str, limit: int = 200) -> str:
    """``qualname(arguments) -> value  file:line`` in one line."""
    from .render.labels import _clip, format_locals, format_value

    arguments = call.arguments
    shown = format_locals(arguments, limit=limit // 2) if arguments is not None else "…"
    if shown == "(none)":
        shown = ""
    outcome = f" -> {format_value(call.return_value, limit // 3)}" if how == "returned" else " raised"
    return _clip(f"{call.name}({shown}){outcome}  {call.path}", limit)


# Failed tests whose trace is read for the summary, and the largest read:
# the summary must not keep a session waiting on a huge trace.
MAX_DESCRIBED = 10
MAX_TRACE_BYTES = 32 * 1024 * 1024


def summary_lines(db_path: "Path | str", nodeid: str, trace_id: str, failure: Optional[dict],
                  db_option: Optional[str]) -> list[str]:
    """The lines under a failed test's summary line: the call where the
    failure surfaced, and how to compare the trace with a passing one."""
    from . import db
    from .cli.diff import diff_command
    from .model import trace_of

    lines = []
    if failure and failure.get("frames"):
        try:
            size = db.trace_size(db_path, trace_id)
            if size is not None and size <= MAX_TRACE_BYTES:
                found = failure_call(trace_of(db.load_trace(db_path, trace_id)), failure["frames"],
                                     bool(failure.get("assertion")))
                if found is not None:
                    lines.append(f"  surfaced in: {describe_call(*found)}")
        except Exception:
            pass  # a trace that cannot be read names no call; the line above still names the trace
    try:
        db.latest_trace_id_of_test(db_path, nodeid, outcome="passed")
    except Exception:
        pass  # no passing trace to compare with
    else:
        lines.append(f"  compare with its latest pass: {diff_command(nodeid, db_option)}")
    return lines
