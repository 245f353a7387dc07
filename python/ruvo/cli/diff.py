"""``ruvo diff``: where two traces part, call by call."""

from __future__ import annotations

import argparse
import shlex
from pathlib import Path
from typing import Optional

from .common import Command, CommandError, add_db_option, damaged, db_path, display_path, load, resolve_trace_id
from .show import duration


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    diff = commands.add_parser(
        "diff",
        help="compare two traces call by call",
        description="Align two traces call by call and print where they first differ: a call found in one "
        "only, and an argument, return value or local recorded differently, each with the calls around it; "
        "then calls whose time changed, and a summary. A is the reference: with --test, the latest passing "
        "trace of the test, and B its latest failing one.",
    )
    diff.add_argument("traces", nargs="*", metavar="TRACE_ID", help="trace A and trace B (ids or unique prefixes)")
    add_db_option(diff)
    diff.add_argument("--test", metavar="NODEID",
                      help="the latest passing against the latest failing trace of this pytest node id "
                      "(with two --run, its traces in those runs)")
    diff.add_argument("--run", type=int, action="append", metavar="RUN",
                      help="twice: compare the traces of two runs (see ruvo runs), test by test")
    diff.add_argument("--all", action="store_true", help="list every difference, not only the first ones")
    diff.add_argument("--time-floor", type=duration, default=None, metavar="TIME",
                      help="show timing changes of at least TIME (default 1ms) and half as much again")
    diff.add_argument("--html", metavar="FILE", help="also write a page of the two traces side by side")
    return diff


def _trace(path: "Path | str", trace_id: str):
    from ..model import trace_of

    document = load(path, trace_id)
    try:
        return trace_of(document)
    except Exception as error:
        problem = damaged(trace_id, error)
        if problem is None:
            raise
        raise problem from None


def _pick(path: "Path | str", options: argparse.Namespace) -> list[tuple[str, str, str]]:
    """The pairs of trace ids to compare, each with a title."""
    from .. import db

    runs = options.run or []
    if len(runs) not in (0, 2):
        raise CommandError("give --run twice (the two runs to compare), or not at all")
    try:
        if options.test is not None:
            if options.traces:
                raise CommandError("give two trace ids or --test, not both")
            if runs:
                a = db.latest_trace_id_of_test(path, options.test, run=runs[0])
                b = db.latest_trace_id_of_test(path, options.test, run=runs[1])
                return [(a, b, f"{options.test}: run {runs[0]} against run {runs[1]}")]
            a = db.latest_trace_id_of_test(path, options.test, outcome="passed")
            b = db.latest_trace_id_of_test(path, options.test, outcome="failed")
            return [(a, b, f"{options.test}: latest passing against latest failing")]
        if runs:
            if options.traces:
                raise CommandError("give two trace ids or two --run, not both")
            return _run_pairs(path, runs[0], runs[1])
        if len(options.traces) != 2:
            raise CommandError("give two trace ids (A and B), --test NODEID, or --run R1 --run R2")
        a, b = (resolve_trace_id(path, trace_id) or "" for trace_id in options.traces)
        return [(a, b, "")]
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except db.DatabaseUnusable as error:
        raise CommandError(str(error)) from None


def _run_pairs(path: "Path | str", first: int, second: int) -> list[tuple[str, str, str]]:
    """The traces of two runs paired by test (or by source), in the first's order."""
    from .. import db

    def latest(run: int) -> dict:
        chosen: dict = {}
        for row in reversed(db.list_traces(path, run=run)):  # oldest first: the latest of a key wins
            chosen[row.test_nodeid or row.source or row.trace_id] = row.trace_id
        if not chosen:
            raise CommandError(f"no traces of run {run} in {display_path(path)} (see ruvo runs)")
        return chosen

    a, b = latest(first), latest(second)
    pairs = [(a[key], b[key], key) for key in a if key in b]
    if not pairs:
        raise CommandError(f"runs {first} and {second} have no test or source in common")
    return pairs


def execute(options: argparse.Namespace) -> int:
    from ..diff import diff_traces

    path = db_path(options.db)
    pairs = _pick(path, options)
    floor = {} if options.time_floor is None else {"time_floor": options.time_floor}
    differing = 0
    for index, (id_a, id_b, title) in enumerate(pairs):
        a, b = _trace(path, id_a), _trace(path, id_b)
        result = diff_traces(a, b, **floor)
        if options.run:
            # Runs compared test by test: one line each, details of the first that differs.
            if result.same:
                continue
            differing += 1
            if differing > 1 and not options.all:
                print(f"{title}: {result.summary()}")
                continue
        print(render(result, title, every=options.all))
        if options.html and index == 0:
            _write_html(options.html, result)
    if options.run:
        print(f"{len(pairs)} trace pair(s) compared, {differing} differ")
    return 0


# Differences marked on the --html page at most (each lists a line there).
MAX_MARKS = 2000


def _write_html(target: str, result) -> None:
    from ..viewer import build_diff_page

    marks, more = diff_marks(result)
    page = build_diff_page(result.a.document, result.b.document, marks)
    try:
        Path(target).write_text(page, encoding="utf-8")
    except OSError as error:
        raise CommandError(f"cannot write {target}: {error.strerror or error}") from None
    note = f" ({more} more differences not marked: --all lists them)" if more else ""
    print(f"wrote {target}{note}")


def diff_marks(result) -> tuple[list[dict], int]:
    """The page's marks for the differences of calls and values (a call
    found only in one trace, but whose function is also only in the other
    at some place, counts as moved), and how many were left out."""
    from ..diff import iter_all
    from ..model import Call

    def places(trace) -> dict:
        where = {}
        for thread_index, tree in enumerate(trace.threads):
            calls = 0
            for _, node in tree.walk():
                if isinstance(node, Call):
                    where[id(node)] = (thread_index, calls)
                    calls += 1
        return where

    where = (places(result.a), places(result.b))
    lone = [{(found.call.name, found.call.file) for found in result.structure if found.kind == kind}
            for kind in ("only_a", "only_b")]
    moved = lone[0] & lone[1]
    marks: list[dict] = []
    left = 0
    for found in iter_all(result):
        if len(marks) >= MAX_MARKS:
            left += 1
            continue
        label = ""
        if found.kind == "value":
            sides = [("a", found.a, 0), ("b", found.b, 1)]
            kind = "changed"
            label = f"{found.name}: {_value(found.a_value)} -> {_value(found.b_value)}"
        else:
            side = 0 if found.kind == "only_a" else 1
            sides = [("ab"[side], found.call, side)]
            kind = "moved" if (found.call.name, found.call.file) in moved else "only"
        for name, call, index in sides:
            place = where[index].get(id(call))
            if place is not None:
                marks.append({"side": name, "thread": place[0], "call": place[1], "kind": kind, "label": label})
    return marks, left


def render(result, title: str = "", *, every: bool = False) -> str:
    """The text of a diff: the first differences with their context, the
    largest timing changes, the summary."""
    from ..diff import iter_all
    from ..terminal import visible

    lines = [f"A {result.a.trace_id} {_label(result.a)}", f"B {result.b.trace_id} {_label(result.b)}"]
    if title:
        lines.insert(0, title)
    if result.same:
        lines.append("the calls and their recorded values are the same")
    else:
        shown = list(iter_all(result)) if every else _first_ones(result)
        for found in shown:
            lines.append("")
            lines.extend(describe(result, found))
    if result.timing:
        lines.append("")
        lines.append("calls whose time changed (B against A):")
        for found in result.timing[: None if every else 5]:
            a, b = found.a, found.b
            assert a is not None and b is not None
            sign = "+" if found.delta >= 0 else "-"
            lines.append(f"  {sign}{_time(abs(found.delta))}  {_call_text(a)}  ({_time(a.duration)} -> "
                         f"{_time(b.duration)})")
    lines.append("")
    lines.append(result.summary())
    if not every and (len(result.structure) > 1 or len(result.values) > 1):
        lines.append("(--all lists every difference)")
    return "\n".join(visible(line) for line in lines)


def _first_ones(result) -> list:
    """The first difference of calls and the first of values, in the order they happened."""
    return sorted(result.structure[:1] + result.values[:1], key=lambda found: found.order)


def _label(trace) -> str:
    from ..summary import summarize

    summary = summarize(trace.document)
    parts = []
    if summary is not None and summary.test_nodeid:
        parts.append(summary.test_nodeid)
        if summary.outcome:
            parts.append(summary.outcome)
    elif trace.source:
        parts.append(trace.source)
    return f"({', '.join(parts)})" if parts else ""


def _time(seconds: Optional[float]) -> str:
    from ..render.labels import format_duration

    return format_duration(seconds)


def _call_text(call) -> str:
    return f"{call.name} {call.path}"


def _value(value: object) -> str:
    from ..diff import ABSENT
    from ..render.labels import format_value

    return "(not recorded)" if value is ABSENT else format_value(value, limit=120)


def describe(result, found) -> list[str]:
    """A difference in a few lines: what, where, and the calls around it."""
    from ..diff import neighbours

    lines = []
    where = f"in thread {found.thread}" if found.thread else ""
    chain = " > ".join(a.name for a, _ in found.parents[-3:])
    if len(found.parents) > 3:
        chain = "... > " + chain
    if found.kind in ("only_a", "only_b"):
        side = "A" if found.kind == "only_a" else "B"
        more = f" ({found.count} calls with those it made)" if found.count > 1 else ""
        lines.append(f"call only in {side}: {_call_text(found.call)}{more}")
    else:
        lines.append(f"value changed: {_call_text(found.call)}")
        lines.append(f"  {found.name}: {_value(found.a_value)}  ->  {_value(found.b_value)}")
    lines.append(f"  {where}, under {chain}" if chain else f"  {where}, at the top level")
    before, after = neighbours(result, found)
    if before is not None:
        lines.append(f"  after  {_call_text(before)}")
    if after is not None:
        lines.append(f"  before {_call_text(after)}")
    return lines


def diff_command(nodeid: str, db_option: Optional[str]) -> str:
    """The command that compares a test's latest passing and failing traces."""
    where = f" --db {shlex.quote(str(db_option))}" if db_option else ""
    return f"ruvo diff{where} --test {shlex.quote(nodeid)}"


COMMAND = Command("diff", define, execute)
