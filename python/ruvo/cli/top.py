"""``ruvo top``: the functions of a trace by time or calls."""

from __future__ import annotations

import argparse
import sys

from ..terminal import visible
from .common import (Command, CommandError, add_color_option, add_db_option, check_fields, damaged, db_path,
                     find_trace, positive_int)


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from ..render.top import SORT_KEYS

    top = commands.add_parser(
        "top",
        help="show the functions of a trace by time or calls",
        description="A flat profile of a trace (the latest by default): per function, its calls, total time "
        "(call to return, once when it recurses), own time (less the calls it made) and share of all own time.",
    )
    top.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="trace id, or a unique prefix (default: latest)")
    add_db_option(top)
    top.add_argument("--test", metavar="NODEID", help="the latest trace of this pytest node id")
    top.add_argument("--sort", choices=tuple(SORT_KEYS), default="own", help="order of the functions (default: own)")
    top.add_argument("--limit", type=positive_int, default=20, metavar="N",
                     help="show the first N functions (default: 20)")
    top.add_argument("--thread", action="append", metavar="NAME",
                     help="count only this thread (name or native id; repeatable; default: all threads)")
    add_color_option(top)
    return top


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..stream import iter_records
    from ..render.top import describe, profile_records, render_top
    from ..terminal import Progress, wants_color

    path = db_path(options.db)
    trace_id = find_trace(path, options.trace_id, options.test)
    wanted = set(options.thread) if options.thread else None
    seen: set = set()

    def pick(name, native_id) -> bool:
        seen.update((name, str(native_id)))
        return wanted is None or name in wanted or str(native_id) in wanted

    fields: dict = {}
    try:
        with Progress(f"reading trace {trace_id}"), db.open_documents(path, trace_id) as streams:
            profile = profile_records(iter_records(streams, fields, values=False), pick)
        check_fields(trace_id, fields)
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except Exception as error:
        raise (damaged(trace_id, error) or error) from None
    if wanted is not None:
        missing = [name for name in options.thread if name not in seen]
        if missing:
            raise CommandError(visible(f"no thread {missing[0]!r} in trace {trace_id}"))
    threads = ", ".join(profile.threads) if wanted is not None else f"all {len(profile.threads)}"
    # Names and paths are the program's: nothing in them reaches the terminal raw.
    header = "\n".join(visible(line) for line in
                       [f"trace {trace_id}  threads: {threads}  sorted by {options.sort}"] + describe(profile))
    try:
        "µ".encode(sys.stdout.encoding or "ascii")
        ascii_only = False
    except (UnicodeError, LookupError):
        ascii_only = True
    try:
        text = render_top(profile, sort=options.sort, limit=options.limit, header=header, ascii_only=ascii_only,
                          color=wants_color(options.color))
    except Exception as error:
        raise (damaged(trace_id, error) or error) from None
    sys.stdout.write(text)
    return 0


COMMAND = Command("top", define, execute)
