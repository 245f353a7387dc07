"""``ruvo traces``: the saved traces, newest first, one line each."""

from __future__ import annotations

import argparse
import time
from pathlib import Path
from typing import Optional

from ..config import is_server_url
from ..terminal import visible
from .common import Command, CommandError, add_color_option, add_db_option, db_path, display_path, positive_int


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    traces = commands.add_parser("traces", help="list saved traces, newest first",
                                 description="List the traces in the database, newest first.")
    add_db_option(traces)
    traces.add_argument("--limit", type=positive_int, metavar="N", help="show at most N traces")
    traces.add_argument("--failed", action="store_true", help="only the traces of failed tests")
    traces.add_argument("--run", type=positive_int, metavar="RUN", help="only the traces of this run (see ruvo runs)")
    add_color_option(traces)
    return traces


def human_size(size: Optional[int]) -> str:
    if size is None:
        return "?"
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..terminal import Paint, wants_color

    paint = Paint(wants_color(options.color))
    path = db_path(options.db)
    spilled = db.spilled_files(path)
    try:
        rows = db.list_traces(path, run=options.run)
    except LookupError as error:
        if not (is_server_url(path) or Path(path).is_file()) and not spilled:
            raise CommandError(f"{error}; record a trace with: ruvo run script.py") from None
        rows = []  # a database file that holds no trace yet
    except db.DatabaseUnusable as error:
        # Unreadable is not empty: say so, and list what waits beside it all the same.
        _list_spilled(spilled)
        raise CommandError(str(error)) from None
    # A trace may be saved in several documents: one line per trace.
    traces: dict[str, dict] = {}
    for row in rows:
        entry = traces.get(row.trace_id)
        if entry is None:
            traces[row.trace_id] = {
                "saved_at": row.saved_at,
                "source": row.test_nodeid or row.source or "?",
                "records": row.records,
                "size": row.size,
                "left_out": row.left_out,
                "outcome": row.outcome,
            }
        else:
            entry["records"] = (None if entry["records"] is None or row.records is None
                                else entry["records"] + row.records)
            entry["size"] += row.size
            entry["left_out"] = entry["left_out"] or row.left_out
            entry["outcome"] = entry["outcome"] or row.outcome
    if options.failed:
        traces = {trace_id: entry for trace_id, entry in traces.items() if entry["outcome"] == "failed"}
    if not traces:
        if options.run is not None:
            print(visible(f"No traces of run {options.run} in {display_path(path)} (see ruvo runs)."))
        elif options.failed:
            print(visible(f"No traces of failed tests in {display_path(path)}."))
        elif not spilled:
            print(visible(f"No traces in {display_path(path)} yet. Record one with: ruvo run script.py"))
        _list_spilled(spilled)
        return 0
    items = list(traces.items())[: options.limit] if options.limit else list(traces.items())
    table = [("TRACE ID", "SAVED", "SOURCE", "OUTCOME", "RECORDS", "SIZE")]
    for trace_id, entry in items:
        # Sources and test ids are the program's (or an HTTP client's): shown, never obeyed.
        source = visible(entry["source"])
        if len(source) > 60:
            source = source[:59] + "…"
        table.append(
            (
                visible(trace_id),
                time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(entry["saved_at"])),
                source,
                visible(entry["outcome"] or "-"),
                ("?" if entry["records"] is None else str(entry["records"])) + ("+" if entry["left_out"] else ""),
                human_size(entry["size"]),
            )
        )
    widths = [max(len(line[i]) for line in table) for i in range(6)]
    for index, line in enumerate(table):
        # Coloured once padded, so that the escapes take no width.
        trace_id, outcome = f"{line[0]:<{widths[0]}}", f"{line[3]:<{widths[3]}}"
        if index:
            trace_id = paint.bold(line[0]) + trace_id[len(line[0]):]
            if line[3] in ("failed", "error"):
                outcome = paint.red(line[3]) + outcome[len(line[3]):]
        print(
            f"{trace_id}  {line[1]:<{widths[1]}}  {line[2]:<{widths[2]}}  {outcome}"
            f"  {line[4]:>{widths[4]}}  {line[5]:>{widths[5]}}".rstrip()
        )
    if any(entry["left_out"] for _, entry in items):
        print("(+: recording left part of the trace out; `ruvo show TRACE_ID` says what)")
    if len(items) < len(traces):
        print(f"({len(traces) - len(items)} older trace{'s' if len(traces) - len(items) != 1 else ''} not shown)")
    _list_spilled(spilled)
    return 0


def _list_spilled(spilled) -> None:
    if not spilled:
        return
    print(f"{len(spilled)} trace file{'s' if len(spilled) != 1 else ''} spilled beside the database "
          f"wait{'s' if len(spilled) == 1 else ''} to be stored (ruvo import stores them):")
    for file in spilled:
        try:
            size = human_size(file.stat().st_size)
        except OSError:
            size = "?"
        print(visible(f"  {display_path(file)}  {size}"))


COMMAND = Command("traces", define, execute)
