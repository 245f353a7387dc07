"""``ruvo show``: a trace as call trees in the terminal."""

from __future__ import annotations

import argparse
import os
import sys

from .common import Command, CommandError, add_db_option, db_path, load, positive_int


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    show = commands.add_parser(
        "show",
        help="show a trace as a call tree",
        description="Print the call tree of each thread of a trace (the latest by default): each call "
        "with its duration, qualified name and file:line, and plugin records (tests, HTTP, logs) in place.",
    )
    show.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="trace id, or a unique prefix (default: latest)")
    add_db_option(show)
    show.add_argument("--depth", type=positive_int, metavar="N", help="show N levels of calls at most")
    show.add_argument("--values", action="store_true", help="also show arguments, return values and locals")
    show.add_argument("--thread", action="append", metavar="NAME",
                      help="show only this thread (name or native id; repeatable)")
    show.add_argument("--test", metavar="NODEID", help="show the latest trace of this pytest node id")
    return show


def _stdout_can_encode(text: str) -> bool:
    try:
        text.encode(sys.stdout.encoding or "ascii")
        return True
    except (UnicodeError, LookupError):
        return False


def execute(options: argparse.Namespace) -> int:
    from ..model import build_threads
    from ..render.text import render_trace

    document = load(db_path(options.db), options.trace_id, options.test)
    if options.thread:
        known = build_threads(document)
        names = {tree.name for tree in known} | {str(tree.native_id) for tree in known}
        missing = [name for name in options.thread if name not in names]
        if missing:
            available = ", ".join(tree.name for tree in known) or "none"
            raise CommandError(f"no thread {missing[0]!r} in trace {document.get('trace_id')} (threads: {available})")
    color = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
    text = render_trace(
        document,
        depth=options.depth,
        values=options.values,
        threads=options.thread,
        color=color,
        ascii_only=not _stdout_can_encode("├─│└…µ→▶■"),
    )
    sys.stdout.write(text)
    return 0


COMMAND = Command("show", define, execute)
