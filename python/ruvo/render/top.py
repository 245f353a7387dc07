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


class _Open:
    __slots__ = ("frame_id", "key", "start", "children", "outer")

    def __init__(self, frame_id, key, start, outer):
        self.frame_id, self.key, self.start, self.children, self.outer = frame_id, key, start, 0.0, outer


def profile_records(records: Iterable[tuple[object, dict]],
                    wanted: Optional[Callable[[str, Optional[int]], bool]] = None) -> Profile:
    """The flat profile of ``(list key, record)`` pairs; ``wanted(name,
    native_id)`` picks the threads counted (all by default)."""
    profile = Profile()
    functions = profile.functions
    stacks: dict[object, Optional[list]] = {}  # None: a thread left out
    for list_key, record in records:
        key = thread_key(list_key, record)
        stack = stacks.get(key, False)
        if stack is False:
            name = str(record.get("thread"))
            stack = [] if wanted is None or wanted(name, record.get("thread_native_id")) else None
            stacks[key] = stack
            if stack is not None:
                profile.threads.append(name)
        if stack is None or record.get("type") != "frame":
            continue
        event = record.get("event")
        if event == "call":
            function = (record.get("qualname") or record.get("co_name") or "?", str(record.get("path") or "?"))
            stats = functions.get(function)
            if stats is None:
                stats = functions[function] = FunctionStats(*function)
            stats.calls += 1
            # Counted in total only when not already running further up.
            outer = all(entry.key != function for entry in stack) if len(stack) < 64 else \
                function not in {entry.key for entry in stack}
            stack.append(_Open(record.get("frame_id"), function, number(record.get("timestamp")), outer))
        elif event == "return":
            frame_id = record.get("frame_id")
            index = next((i for i in range(len(stack) - 1, -1, -1) if stack[i].frame_id == frame_id), None)
            if index is None:
                # Its call came before recording began: a call without time.
                function = (record.get("qualname") or record.get("co_name") or "?", str(record.get("path") or "?"))
                stats = functions.get(function) or functions.setdefault(function, FunctionStats(*function))
                stats.calls += 1
                continue
            end = number(record.get("timestamp"))
            # Calls left open inside it ran within it; their time is unknown.
            del stack[index + 1 :]
            entry = stack.pop()
            if entry.start is None or end is None:
                continue
            elapsed = max(end - entry.start, 0.0)
            stats = functions[entry.key]
            stats.own += max(elapsed - entry.children, 0.0)
            if entry.outer:
                stats.total += elapsed
            if stack:
                stack[-1].children += elapsed
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
