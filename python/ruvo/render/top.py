"""``ruvo top``: time and calls per function, a flat profile of a trace.

Built from records read one at a time (:func:`ruvo.model.iter_records`), so
that a trace of millions of records needs no more memory than its open calls
and one line per function.

For each function (its qualified name and the file:line of its definition):
calls, total time (call to return, counted once when it recurses), own time
(total less the time of the calls made from it) and share (own time over the
own time of all functions, which is all the time calls took).  A call whose
call or return was not recorded counts as a call, without time.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional

from ..model import number, thread_key
from .labels import format_duration

__all__ = ["FunctionStats", "Profile", "profile_records", "render_top", "SORT_KEYS"]


@dataclass
class FunctionStats:
    name: str
    path: str
    calls: int = 0
    total: float = 0.0
    own: float = 0.0


@dataclass
class Profile:
    functions: dict = field(default_factory=dict)  # (name, path) -> FunctionStats
    threads: list = field(default_factory=list)  # names of the threads counted, in order of first record

    @property
    def own_total(self) -> float:
        return sum(stats.own for stats in self.functions.values())


class _Thread:
    __slots__ = ("stack", "running")

    def __init__(self) -> None:
        self.stack: list = []  # [frame_id, function, start, time of the calls made from it, outermost]
        self.running: dict = {}  # function -> how many of its calls are open


def _function(record: dict) -> tuple[str, str]:
    return (record.get("qualname") or record.get("co_name") or "?", str(record.get("path") or "?"))


def profile_records(records: Iterable[tuple[object, dict]],
                    wanted: Optional[Callable[[str, Optional[int]], bool]] = None) -> Profile:
    """The flat profile of ``(list key, record)`` pairs; ``wanted(name,
    native_id)`` picks the threads counted (all by default)."""
    profile = Profile()
    functions = profile.functions
    threads: dict[object, Optional[_Thread]] = {}  # None: a thread left out
    get = dict.get
    for list_key, record in records:
        key = get(record, "thread_native_id")
        if key is None:
            key = thread_key(list_key, record)
        thread = threads.get(key, False)
        if thread is False:
            name = str(record.get("thread"))
            thread = _Thread() if wanted is None or wanted(name, record.get("thread_native_id")) else None
            threads[key] = thread
            if thread is not None:
                profile.threads.append(name)
        if thread is None or get(record, "type") != "frame":
            continue
        event = get(record, "event")
        stack, running = thread.stack, thread.running
        if event == "call":
            function = _function(record)
            stats = functions.get(function)
            if stats is None:
                stats = functions[function] = FunctionStats(*function)
            stats.calls += 1
            depth = running.get(function, 0)
            running[function] = depth + 1
            # Its total counts once, at the outermost of its running calls.
            start = get(record, "timestamp")
            stack.append([get(record, "frame_id"), function, start if type(start) is float else number(start),
                          0.0, depth == 0])
        elif event == "return":
            frame_id = get(record, "frame_id")
            index = len(stack) - 1
            while index >= 0 and stack[index][0] != frame_id:
                index -= 1
            if index < 0:
                # Its call came before recording began: a call without time.
                function = _function(record)
                stats = functions.get(function) or functions.setdefault(function, FunctionStats(*function))
                stats.calls += 1
                continue
            end = get(record, "timestamp")
            if type(end) is not float:
                end = number(end)
            # Calls left open inside it ran within it; their time is unknown.
            while len(stack) > index:
                _, function, start, inner, outermost = stack.pop()
                running[function] -= 1
            if start is None or end is None:
                continue
            elapsed = max(end - start, 0.0)
            stats = functions[function]
            stats.own += max(elapsed - inner, 0.0)
            if outermost:
                stats.total += elapsed
            if stack:
                stack[-1][3] += elapsed
    return profile


SORT_KEYS = {
    "own": lambda stats: (-stats.own, -stats.total, stats.name),
    "total": lambda stats: (-stats.total, -stats.own, stats.name),
    "calls": lambda stats: (-stats.calls, -stats.total, stats.name),
}


def render_top(profile: Profile, *, sort: str = "own", limit: Optional[int] = None, header: str = "",
               ascii_only: bool = False) -> str:
    rows = sorted(profile.functions.values(), key=SORT_KEYS[sort])
    shown = rows[:limit] if limit else rows
    own_total = profile.own_total
    table = [("CALLS", "TOTAL", "OWN", "SHARE", "FUNCTION", "PATH")]
    for stats in shown:
        share = f"{100 * stats.own / own_total:.1f}%" if own_total > 0 else "-"
        table.append((str(stats.calls), format_duration(stats.total), format_duration(stats.own), share,
                      stats.name, stats.path))
    widths = [max(len(row[i]) for row in table) for i in range(6)]
    lines = [header] if header else []
    for row in table:
        lines.append(f"{row[0]:>{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:>{widths[2]}}  {row[3]:>{widths[3]}}"
                     f"  {row[4]:<{widths[4]}}  {row[5]}".rstrip())
    if not rows:
        lines.append("(no calls recorded)")
    if len(shown) < len(rows):
        lines.append(f"({len(rows) - len(shown)} more function{'s' if len(rows) - len(shown) != 1 else ''}; "
                     "--limit N shows more)")
    text = "\n".join(lines) + "\n"
    if ascii_only:
        text = text.replace("µ", "u")
    return text
