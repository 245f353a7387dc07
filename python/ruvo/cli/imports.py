"""``ruvo import``: store documents that were spilled beside the database."""

from __future__ import annotations

import argparse
import sys

from .common import Command, CommandError, add_db_option, db_path, display_path


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

    path = db_path(options.db)
    files = options.files or db.spilled_files(path)
    if not files:
        print(f"No spilled traces wait beside {display_path(path)}.")
        return 0
    failures = 0
    for file in files:
        try:
            trace_id, summary = db.import_spilled(path, file, keep=options.keep)
        except FileNotFoundError:
            raise CommandError(f"no file {file}") from None
        except (OSError, ValueError, db.sqlite3.Error) as error:
            sys.stderr.write(f"ruvo: could not import {file}: {error}\n")
            failures += 1
            continue
        print(f"ruvo: stored {trace_id} ({summary.records} records) from {file} in {display_path(path)}")
    if failures:
        raise CommandError(f"{failures} of {len(files)} file(s) could not be imported")
    return 0


COMMAND = Command("import", define, execute)
