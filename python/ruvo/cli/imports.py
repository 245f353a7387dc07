"""``ruvo import``: store documents that were spilled beside the database."""

from __future__ import annotations

import argparse
import sqlite3
import sys

from .common import Command, CommandError, add_db_option, busy_timeout, db_path, display_path


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    imports = commands.add_parser(
        "import",
        help="store trace files spilled beside the database",
        description="Store trace documents that were written to files because the database could not be "
        "(`ruvo traces` lists those waiting), then remove each file stored.",
    )
    imports.add_argument("files", nargs="*", metavar="FILE.msgpack",
                         help="files to store (default: every one waiting beside the database)")
    add_db_option(imports)
    imports.add_argument("--keep", action="store_true", help="keep the files once stored")
    return imports


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..terminal import visible

    path = db_path(options.db)
    files = options.files or db.spilled_files(path)
    if not files:
        print(f"No spilled traces wait beside {visible(display_path(path))}.")
        return 0
    failures = 0
    for file in files:
        try:
            stored = db.import_spilled(path, file, keep=options.keep, timeout=busy_timeout())
        except FileNotFoundError:
            if options.files:
                raise CommandError(f"no file {file}") from None
            continue  # imported meanwhile by another command
        except db.DatabaseUnusable as error:
            raise CommandError(str(error)) from None
        except (OSError, ValueError, sqlite3.Error) as error:
            sys.stderr.write(visible(f"ruvo: could not import {file}: {error}") + "\n")
            failures += 1
            continue
        for entry in stored:
            records = entry.summary.records if entry.summary is not None else "?"
            if entry.new:
                print(visible(f"ruvo: stored {entry.trace_id} ({records} records) from {file} in {display_path(path)}"))
            else:
                print(visible(f"ruvo: {entry.trace_id} from {file} was stored already; not stored again"))
    if failures:
        raise CommandError(f"{failures} of {len(files)} file(s) could not be imported")
    return 0


COMMAND = Command("import", define, execute)
