"""``ruvo show``: a trace as call trees in the terminal."""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from typing import Callable, Optional

from ..model import Call
from ..render.labels import format_duration
from ..terminal import visible
from .common import (Command, CommandError, add_color_option, add_db_option, check_fields, damaged, db_path,
                     find_trace, positive_int)


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    show = commands.add_parser(
        "show",
        help="show a trace as a call tree",
        description="Print the call tree of each thread of a trace (the latest by default): each call "
        "with its duration, qualified name and file:line, and plugin records (tests, HTTP, logs) in place. "
        "Module bodies run by imports and class bodies are left out unless --all is given.",
    )
    show.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="trace id, or a unique prefix (default: latest)")
    add_db_option(show)
    show.add_argument("--depth", type=positive_int, metavar="N", help="show N levels of calls at most")
    show.add_argument("--values", action="store_true", help="also show arguments, return values and locals")
    show.add_argument("--thread", action="append", metavar="NAME",
                      help="show only this thread (name or native id; repeatable)")
    show.add_argument("--test", metavar="NODEID", help="show the latest trace of this pytest node id")
    show.add_argument("--min-duration", type=duration, metavar="TIME",
                      help="leave out calls shorter than TIME, e.g. 2ms, 150us, 0.5s (a bare number is seconds)")
    show.add_argument("--grep", metavar="TEXT",
                      help="show only calls whose qualified name or file path contains TEXT, with the calls "
                      "leading to them (within --depth)")
    show.add_argument("--all", action="store_true",
                      help="also show the bodies of imported modules and of classes, which are left out by default")
    add_color_option(show)
    return show


_UNITS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6, "ns": 1e-9}


def duration(text: str) -> float:
    """Seconds, from 2ms, 150us, 0.5s or a bare number of seconds."""
    number = text.strip()
    scale = 1.0
    for unit in sorted(_UNITS, key=len, reverse=True):
        if number.endswith(unit):
            number, scale = number[: -len(unit)].strip(), _UNITS[unit]
            break
    try:
        value = float(number) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a duration: {text!r} (write e.g. 2ms, 150us, 0.5s)") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"not a duration: {text!r}")
    return value


@dataclass
class Bodies:
    """The import-time module bodies and class bodies left out of the tree."""

    modules: int = 0
    classes: int = 0

    def note(self) -> Optional[str]:
        if not self.modules and not self.classes:
            return None
        parts = []
        if self.modules:
            parts.append(f"{self.modules} module bod{'y' if self.modules == 1 else 'ies'} run by imports")
        if self.classes:
            parts.append(f"{self.classes} class bod{'y' if self.classes == 1 else 'ies'}")
        return f"(not shown: {' and '.join(parts)}, counted in the \"more entries\" lines; --all shows them)"


def keeper(min_duration: Optional[float], grep: Optional[str],
           bodies: Optional[Bodies] = None) -> Optional[Callable[[Call, bool, bool], bool]]:
    """What --min-duration and --grep keep of a closed call (None: all);
    with ``bodies``, module bodies below the top level and class bodies go
    too (unless --grep finds something in them), counted there."""
    if min_duration is None and not grep and bodies is None:
        return None
    from ..render.source import is_class_body

    def keep(node: Call, calls_below: bool, top: bool) -> bool:
        if bodies is not None and not (grep and (calls_below or grep in node.name or grep in node.path)):
            record = node.call
            if record is not None:
                if record.get("co_name") == "<module>":
                    # The program's own module body, at the top, holds everything else.
                    if not top:
                        bodies.modules += 1
                        return False
                elif is_class_body(node.path):
                    bodies.classes += 1
                    return False
        if min_duration is not None:
            seconds = node.duration
            if (seconds if seconds is not None else node.end - node.start) < min_duration:
                return False
        if grep:
            # Calls below have been judged already: one left means a match.
            return grep in node.name or grep in node.path or calls_below
        return True

    return keep


def _stdout_can_encode(text: str) -> bool:
    try:
        text.encode(sys.stdout.encoding or "ascii")
        return True
    except (UnicodeError, LookupError):
        return False


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..render.spool import ThreadSpools
    from ..render.text import write_trees
    from ..render.top import recorder_cost
    from ..stream import stream_threads
    from ..terminal import Progress, wants_color

    path = db_path(options.db)
    trace_id = find_trace(path, options.trace_id, options.test)
    wanted = set(options.thread) if options.thread else None
    color = wants_color(options.color)
    bodies = None if options.all else Bodies()
    ascii_only = not _stdout_can_encode("├─│└…µ→▶■")
    # Lines are drawn as the records are read, then written out a piece at a
    # time: neither the trees nor the text are ever held whole.
    with ThreadSpools() as spools:
        try:
            with Progress(f"reading trace {trace_id}"), db.open_documents(path, trace_id) as streams:
                trace = stream_threads(
                    streams, depth=options.depth, keep=keeper(options.min_duration, options.grep, bodies),
                    values=options.values,
                    wanted=None if wanted is None
                    else (lambda name, native_id: name in wanted or str(native_id) in wanted),
                    builder=spools.builder(values=options.values, color=color, ascii_only=ascii_only))
            check_fields(trace_id, trace.fields)
        except LookupError as error:
            raise CommandError(str(error.args[0]) if error.args else str(error)) from None
        except Exception as error:
            raise (damaged(trace_id, error) or error) from None
        if wanted is not None:
            missing = [name for name in options.thread if name not in trace.names]
            if missing:
                named = sorted(name for name in trace.names if not name.isdigit() and name != "None")
                available = ", ".join(named) or "none"
                raise CommandError(visible(f"no thread {missing[0]!r} in trace {trace.fields.get('trace_id')} "
                                           f"(threads: {available})"))
        notes = []
        try:
            left_out = db.left_out_message(path, trace_id)
        except Exception:
            left_out = None
        if left_out:
            notes.append(f"not complete: {left_out} `ruvo top` counts every call")
        cost = recorder_cost(trace.tally) if trace.tally is not None else None
        if cost:
            notes.append(f"durations as recorded: each includes about {format_duration(cost)} of the recorder's "
                         "own cost per recorded call inside it (`ruvo top` takes that out)")
        if options.min_duration is not None:
            notes.append(f"calls of {format_duration(options.min_duration)} or more")
        if options.grep:
            notes.append(f"calls matching {options.grep!r} and those leading to them")
        try:
            write_trees(
                sys.stdout.write,
                trace.fields,
                trace.trees,
                records=trace.records,
                threads=trace.threads,
                any_threads=bool(trace.names),
                depth=options.depth,
                values=options.values,
                color=color,
                ascii_only=ascii_only,
                note=_note(notes),
            )
            closing = bodies.note() if bodies is not None else None
            if closing:
                sys.stdout.write("\n" + (f"\x1b[2m{closing}\x1b[0m" if color else closing) + "\n")
        except Exception as error:
            raise (damaged(trace_id, error) or error) from None
    return 0


def _note(notes: list) -> str | None:
    """The line under the header: what the trace lacks, then what the
    options leave out of the text."""
    lines = []
    while notes and notes[0].startswith(("not complete: ", "durations as recorded: ")):
        lines.append(notes.pop(0))
    if notes:
        lines.append(f"showing only {' and '.join(notes)}")
    return "\n".join(lines) or None


COMMAND = Command("show", define, execute)
