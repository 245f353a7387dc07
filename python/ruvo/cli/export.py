"""``ruvo export``: a trace as a file for other tools."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ..render import EXPORTERS
from ..terminal import visible
from .common import Command, CommandError, add_db_option, damaged, db_path, load


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    export = commands.add_parser(
        "export",
        help="export a trace for Perfetto, chrome://tracing or speedscope",
        description="Write a trace (the latest by default) as Chrome Trace Event JSON (Perfetto, "
        "chrome://tracing), speedscope's evented format, or the plain decoded document as JSON.",
    )
    export.add_argument("trace_id", nargs="?", metavar="TRACE_ID",
                        help="trace id, or a unique prefix (default: latest)")
    export.add_argument("--format", "-f", choices=tuple(EXPORTERS), default="chrome",
                        help="output format (default: chrome)")
    export.add_argument("-o", "--output", metavar="FILE",
                        help="file to write, - for stdout (default: TRACE_ID.FORMAT.json)")
    add_db_option(export)
    return export


def execute(options: argparse.Namespace) -> int:
    from ..terminal import Progress

    exporter = EXPORTERS[options.format]
    with Progress("reading the trace") as progress:
        document = load(db_path(options.db), options.trace_id)
        progress.step(f"converting {document.get('trace_id')} to {options.format}")
        try:
            data = exporter.convert(document)
        except Exception as error:
            raise (damaged(document.get("trace_id"), error) or error) from None
    if options.output == "-":
        exporter.write(data, sys.stdout)
        return 0
    from ..viewer.command import _file_name

    output = Path(options.output or f"{_file_name(str(document.get('trace_id')))}.{exporter.extension}")
    try:
        with open(output, "w", encoding="utf-8") as file:
            exporter.write(data, file)
    except OSError as error:
        raise CommandError(f"cannot write {output}: {error.strerror or error}") from None
    sys.stderr.write(visible(f"ruvo: wrote {options.format} export of {document.get('trace_id')} to {output} "
                             f"({exporter.hint})") + "\n")
    return 0


COMMAND = Command("export", define, execute)
