"""``ruvo top``: time and calls per function, a flat profile of a trace.

Built from records read one at a time (:func:`ruvo.stream.iter_records`), so
that a trace of millions of records needs no more memory than its open calls
and one line per function.

For each function (its qualified name and the file:line of its definition):
calls, total time (call to return, counted once when it recurses), own time
(total less the time of the calls made from it) and share (own time over the
own time of all functions, which is all the time calls took).  A call whose
call or return was not recorded counts as a call, without time.

The trace's "tally" record, when it has one, completes the records: calls
made past the trace's budget (counted and timed, not recorded) are merged
in, resumes of a generator or coroutine are filed under the function and
counted apart from its calls, and the recorder's own cost, measured per
function while recording, is taken out of total and own times.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional

from ..model import number, thread_key
from .labels import format_duration

__all__ = ["FunctionStats", "Profile", "describe", "profile_records", "render_top", "SORT_KEYS"]


@dataclass
class FunctionStats:
    name: str
    path: str
    calls: int = 0
    total: float = 0.0
    own: float = 0.0
    resumes: int = 0  # recorded calls that resumed a generator or coroutine
    counted: int = 0  # of the calls, those past the trace's budget (counted, not recorded)


@dataclass
class Profile:
    functions: dict = field(default_factory=dict)  # (name, path) -> FunctionStats
    threads: list = field(default_factory=list)  # names of the threads counted, in order of first record
    # Seconds the recorder spent per recorded call (its call and return
    # events), taken out of the times; None when the trace did not measure it.
    cost_per_call: Optional[float] = None
    # Of that, the part measured once at start (see ruvo.calibrate).
    bias_per_call: float = 0.0
    counted_calls: int = 0  # calls past the budget, merged in
    complete_until: Optional[float] = None  # when the trace stopped recording calls
    frames_omitted: int = 0
    values_omitted: int = 0

    @property
    def own_total(self) -> float:
        return sum(stats.own for stats in self.functions.values())


class _Thread:
    __slots__ = ("stack", "running")

    def __init__(self) -> None:
        # [frame_id, function, start, time of the calls made from it,
        #  outermost, recorded calls below it]
        self.stack: list = []
        self.running: dict = {}  # function -> how many of its calls are open


class _Cost:
    """What a function's recorded calls need for the recorder's cost to be
    taken out once the trace's tally is read (it comes last)."""

    __slots__ = ("timed", "outer", "below_outer", "children")

    def __init__(self) -> None:
        self.timed = 0  # calls with both ends recorded
        self.outer = 0  # of those, the outermost of their recursion
        self.below_outer = 0  # recorded calls made under the outermost ones
        self.children: dict = {}  # function -> timed calls made directly from it


def _function(record: dict) -> tuple[str, str]:
    return (record.get("qualname") or record.get("co_name") or "?", str(record.get("path") or "?"))


def profile_records(records: Iterable[tuple[object, dict]],
                    wanted: Optional[Callable[[str, Optional[int]], bool]] = None) -> Profile:
    """The flat profile of ``(list key, record)`` pairs; ``wanted(name,
    native_id)`` picks the threads counted (all by default)."""
    profile = Profile()
    functions = profile.functions
    costs: dict = {}
    tallies: list = []
    threads: dict[object, Optional[_Thread]] = {}  # None: a thread left out
    get = dict.get
    for list_key, record in records:
        key = get(record, "thread_native_id")
        if key is None:
            key = thread_key(list_key, record)
        try:
            thread = threads[key]
        except KeyError:
            name = str(record.get("thread"))
            thread = _Thread() if wanted is None or wanted(name, record.get("thread_native_id")) else None
            threads[key] = thread
            if thread is not None:
                profile.threads.append(name)
        if get(record, "type") == "ruvo":
            _note_ruvo_record(profile, record, tallies)
            continue
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
                          0.0, depth == 0, 0])
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
                _, function, start, inner, outermost, below = stack.pop()
                running[function] -= 1
            if start is None or end is None:
                continue
            elapsed = max(end - start, 0.0)
            stats = functions[function]
            stats.own += max(elapsed - inner, 0.0)
            cost = costs.get(function)
            if cost is None:
                cost = costs[function] = _Cost()
            cost.timed += 1
            if outermost:
                stats.total += elapsed
                cost.outer += 1
                cost.below_outer += below
            if stack:
                parent = stack[-1]
                parent[3] += elapsed
                parent[5] += below + 1
                children = costs.get(parent[1])
                if children is None:
                    children = costs[parent[1]] = _Cost()
                children.children[function] = children.children.get(function, 0) + 1
    if tallies:
        _apply_tallies(profile, costs, tallies, wanted)
    return profile


def _note_ruvo_record(profile: Profile, record: dict, tallies: list) -> None:
    subtype = record.get("subtype")
    if subtype == "tally":
        tallies.append(record)
    elif subtype == "left_out":
        until = record.get("complete_until")
        if isinstance(until, (int, float)) and (profile.complete_until is None or until < profile.complete_until):
            profile.complete_until = float(until)
        for name in ("frames_omitted", "values_omitted"):
            value = record.get(name)
            if isinstance(value, int):
                setattr(profile, name, getattr(profile, name) + value)


def _rows(tallies: list, wanted) -> Iterable[dict]:
    for record in tallies:
        columns = record.get("columns")
        for row in record.get("functions") or ():
            if not isinstance(columns, (list, tuple)) or not isinstance(row, (list, tuple)):
                continue
            entry = dict(zip(columns, row))
            if wanted is None or wanted(str(entry.get("thread")), entry.get("thread_native_id")):
                yield entry


def _count(entry: dict, name: str) -> float:
    value = entry.get(name)
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else 0


def _apply_tallies(profile: Profile, costs: dict, tallies: list, wanted) -> None:
    """Files resumes under their function, takes the recorder's measured cost
    out of the recorded times, and adds the calls counted past the budget."""
    functions = profile.functions
    rows = list(_rows(tallies, wanted))
    # (name, "file:resume line") -> (name, "file:definition line")
    home: dict = {}
    # Per function: seconds per event before and after its record's stamp,
    # [call before, call after, return before, return after].
    split: dict = {}
    sums = [0.0, 0.0, 0.0, 0.0]
    recorded_calls = recorded_returns = 0.0
    for entry in rows:
        name, path, line = entry.get("qualname") or "?", str(entry.get("path") or "?"), entry.get("line")
        function = (name, f"{path}:{line}")
        for resumed_at in entry.get("resume_lines") or ():
            home[(name, f"{path}:{resumed_at}")] = function
        calls, returns = _count(entry, "calls_recorded"), _count(entry, "returns_recorded")
        parts = [_count(entry, column) for column in ("call_before", "call_after", "return_before", "return_after")]
        mine = split.setdefault(function, [0.0, 0.0, 0.0, 0.0, 0, 0])
        for i in range(4):
            mine[i] += parts[i]
            sums[i] += parts[i]
        mine[4] += calls
        mine[5] += returns
        recorded_calls += calls
        recorded_returns += returns
    bias, inside = (_count(tallies[0], name) for name in ("recorder_bias", "recorder_bias_inside"))
    if recorded_calls and recorded_returns:
        full = (sums[0] + sums[1]) / recorded_calls + (sums[2] + sums[3]) / recorded_returns
        profile.cost_per_call = full + bias + inside
        profile.bias_per_call = bias + inside
    else:
        full = bias = inside = 0.0

    def means(function) -> tuple:
        mine = split.get(home.get(function, function))
        if not mine or not mine[4] or not mine[5]:
            return (0.0, 0.0, 0.0, 0.0)
        return (mine[0] / mine[4], mine[1] / mine[4], mine[2] / mine[5], mine[3] / mine[5])

    # A call's own time holds the part of its own events after its call's
    # stamp and before its return's, and the other parts of its children's,
    # and what its children's recording cost outside the recorder's clock
    # (the bias); its total holds those and every recorded event below it.
    for function, cost in costs.items():
        stats = functions.get(function)
        if stats is None:
            continue
        _, call_after, return_before, _ = means(function)
        mine = cost.timed * (call_after + return_before + inside)
        for child, times in cost.children.items():
            child_before, _, _, child_after = means(child)
            mine += times * (child_before + child_after + bias)
        stats.own = max(stats.own - mine, 0.0)
        stats.total = max(stats.total - cost.outer * (call_after + return_before + inside)
                          - cost.below_outer * (full + bias + inside), 0.0)

    # Resumes go under their function, counted apart from its calls.
    for resumed, function in home.items():
        stats = functions.pop(resumed, None)
        if stats is None:
            continue
        target = functions.get(function) or functions.setdefault(function, FunctionStats(*function))
        target.resumes += stats.calls
        target.total += stats.total
        target.own += stats.own

    for entry in rows:
        calls = int(_count(entry, "calls"))
        hidden = _count(entry, "hidden")
        if not calls and not hidden:
            continue
        name, path, line = entry.get("qualname") or "?", str(entry.get("path") or "?"), entry.get("line")
        function = (name, f"{path}:{line}")
        stats = functions.get(function) or functions.setdefault(function, FunctionStats(*function))
        resumes = min(int(_count(entry, "resumes_counted")), calls)
        stats.calls += calls - resumes
        stats.resumes += resumes
        stats.counted += calls
        stats.total += _count(entry, "total")
        # Time of calls past the budget made under a recorded call was that
        # call's own until now.
        stats.own = max(stats.own + _count(entry, "own") - hidden, 0.0)
        profile.counted_calls += calls


def recorder_cost(tally: dict) -> Optional[float]:
    """Seconds a recorded call (its call and return events) cost the program,
    by a trace's tally record; None when it has no measurement."""
    profile = Profile()
    _apply_tallies(profile, {}, [tally], None)
    return profile.cost_per_call


def describe(profile: Profile) -> list[str]:
    """Lines for a view's header: what the times cover and what they do not."""
    lines = []
    if profile.cost_per_call is not None:
        measured = profile.cost_per_call - profile.bias_per_call
        calibrated = (f" and {format_duration(profile.bias_per_call)} calibrated at start"
                      if profile.bias_per_call else "")
        lines.append(f"recorder cost taken out: {format_duration(profile.cost_per_call)} per recorded call "
                     f"({format_duration(measured)} measured while recording{calibrated})")
    else:
        lines.append("recorder cost not measured (a small trace): times include it")
    if profile.complete_until is not None or profile.counted_calls:
        since = ""
        if profile.complete_until is not None:
            import time

            since = f" from {time.strftime('%H:%M:%S', time.localtime(profile.complete_until))}"
        lines.append(f"the trace reached its budget{since}: {profile.counted_calls} later calls were counted and "
                     "timed, not recorded; the counts and times below include them (--trace-budget for more records)")
    elif profile.values_omitted:
        lines.append(f"the trace kept {profile.values_omitted} records without values for its budget "
                     "(--trace-budget for more)")
    return lines


SORT_KEYS = {
    "own": lambda stats: (-stats.own, -stats.total, stats.name),
    "total": lambda stats: (-stats.total, -stats.own, stats.name),
    "calls": lambda stats: (-stats.calls, -stats.total, stats.name),
}


def render_top(profile: Profile, *, sort: str = "own", limit: Optional[int] = None, header: str = "",
               ascii_only: bool = False, color: bool = False) -> str:
    """The table of ``ruvo top``; names and paths are the program's, and are
    shown with their control characters escaped.  With ``color`` the
    function names are bold and own times from :data:`ruvo.terminal.SLOW`
    on yellow."""
    from ..terminal import SLOW, Paint, visible

    paint = Paint(color)
    rows = sorted(profile.functions.values(), key=SORT_KEYS[sort])
    shown = rows[:limit] if limit else rows
    own_total = profile.own_total
    resumes = any(stats.resumes for stats in rows)
    table = [("CALLS",) + (("RESUMES",) if resumes else ()) + ("TOTAL", "OWN", "SHARE", "FUNCTION", "PATH")]
    for stats in shown:
        share = f"{100 * stats.own / own_total:.1f}%" if own_total > 0 else "-"
        table.append((str(stats.calls),) + ((str(stats.resumes),) if resumes else ()) +
                     (format_duration(stats.total), format_duration(stats.own), share, visible(stats.name),
                      visible(stats.path)))
    columns = len(table[0])
    own = columns - 4
    widths = [max(len(row[i]) for row in table) for i in range(columns)]
    lines = [header] if header else []
    for index, row in enumerate(table):
        cells = [f"{row[i]:>{widths[i]}}" for i in range(columns - 2)]
        name = f"{row[-2]:<{widths[-2]}}"
        if index:
            # Padded first, so that the escapes do not count towards the widths.
            if shown[index - 1].own >= SLOW:
                cells[own] = paint.yellow(cells[own])
            name = paint.bold(row[-2]) + name[len(row[-2]):]
        lines.append(f"{'  '.join(cells)}  {name}  {row[-1]}".rstrip())
    if not rows:
        lines.append("(no calls recorded)")
    if len(shown) < len(rows):
        lines.append(f"({len(rows) - len(shown)} more function{'s' if len(rows) - len(shown) != 1 else ''}; "
                     "--limit N shows more)")
    text = "\n".join(lines) + "\n"
    if ascii_only:
        text = text.replace("µ", "u")
    return text
