"""``ruvo runs``: the runs that saved traces, newest first, one line each."""

from __future__ import annotations

import argparse
import time

from ..terminal import visible
from .common import Command, CommandError, add_color_option, add_db_option, db_path, display_path, positive_int
from .traces import human_size


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    runs = commands.add_parser("runs", help="list the runs that saved traces, newest first",
                               description="List the runs (pytest sessions, ruvo run, web processes) that saved "
                               "traces in the database, newest first. `ruvo traces --run RUN` lists one's traces.")
    add_db_option(runs)
    runs.add_argument("--limit", type=positive_int, metavar="N", help="show at most N runs")
    add_color_option(runs)
    return runs


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..terminal import Paint, wants_color

    paint = Paint(wants_color(options.color))
    path = db_path(options.db)
    try:
        rows = db.list_runs(path, options.limit)
    except LookupError as error:
        raise CommandError(f"{error}; record a trace with: ruvo run script.py") from None
    except db.DatabaseUnusable as error:
        raise CommandError(str(error)) from None
    if not rows:
        print(visible(f"No runs in {display_path(path)} yet."))
        return 0
    table = [("RUN", "STARTED", "KIND", "TESTS", "TRACES", "SIZE", "COMMIT", "COMMAND")]
    for row in rows:
        tests = "-" if row.passed is None else f"{row.passed} passed, {row.failed} failed, {row.skipped} skipped"
        command = visible(row.command or "")
        if len(command) > 60:
            command = command[:59] + "…"
        table.append((str(row.run_id), time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(row.started_at)),
                      visible(row.kind), tests, str(row.traces), human_size(row.stored),
                      visible((row.commit or "-")[:12]), command))
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    right = {0, 4, 5}
    for index, line in enumerate(table):
        cells = [cell.rjust(widths[i]) if i in right else cell.ljust(widths[i]) for i, cell in enumerate(line)]
        if index:
            # Coloured once padded, so that the escapes take no width.
            cells[0] = paint.bold(cells[0])
            row = rows[index - 1]
            if row.failed:
                failed = f", {row.failed} failed"
                cells[3] = cells[3].replace(failed, ", " + paint.red(failed[2:]), 1)
        print("  ".join(cells).rstrip())
    return 0


COMMAND = Command("runs", define, execute)
