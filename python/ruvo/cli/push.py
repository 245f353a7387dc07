"""``ruvo push``: send traces kept on this machine to a PostgreSQL server."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from ..config import is_server_url
from ..terminal import visible
from .common import Command, CommandError, add_db_option, busy_timeout, db_path, display_path

_SQLITE_HEADER = b"SQLite format 3\x00"


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    push = commands.add_parser(
        "push",
        help="send spilled traces and local databases to a postgresql:// database",
        description="Store on a PostgreSQL server the traces that could not reach it (spilled to files) and "
        "whole local SQLite trace databases. Each trace is stored once: pushing again stores nothing new.",
    )
    push.add_argument("sources", nargs="*", metavar="FILE",
                      help="spilled .msgpack files or SQLite trace databases (default: the files waiting for "
                      "the server)")
    add_db_option(push)
    push.add_argument("--keep", action="store_true", help="keep spilled files once stored")
    return push


def _is_sqlite(path: Path) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(len(_SQLITE_HEADER)) == _SQLITE_HEADER
    except OSError:
        return False


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..db import postgres

    target = db_path(options.db)
    if not is_server_url(target):
        raise CommandError("ruvo push sends traces to a server: give its postgresql:// URL with --db "
                           "(or RUVO_DB, or [tool.ruvo] db)")
    url, where = str(target), display_path(target)
    sources = [Path(source) for source in options.sources] or db.spilled_files(url)
    if not sources:
        print(visible(f"No spilled traces wait for {where}."))
        return 0
    db.begin_run(url, "push", command=" ".join(["ruvo", "push", *sys.argv[2:]]))
    timeout = busy_timeout()
    new = old = files = failures = 0
    try:
        for source in sources:
            try:
                if _is_sqlite(source):
                    stored, there = postgres.push_sqlite(url, source, timeout=timeout)
                    print(visible(f"ruvo: pushed {display_path(source)}: {stored} document(s) stored in {where}, "
                                  f"{there} there already"))
                    new, old = new + stored, old + there
                    continue
                entries = db.import_spilled(url, source, keep=options.keep, timeout=timeout)
            except FileNotFoundError:
                if options.sources:
                    raise CommandError(f"no file {source}") from None
                continue  # pushed meanwhile by another command
            except db.DatabaseUnusable as error:
                raise CommandError(str(error)) from None
            except (OSError, ValueError, LookupError) as error:
                sys.stderr.write(visible(f"ruvo: could not push {source}: {error}") + "\n")
                failures += 1
                continue
            files += 1
            fresh = sum(1 for entry in entries if entry.new)
            new, old = new + fresh, old + len(entries) - fresh
    finally:
        db.end_run(url)
    if files:
        print(visible(f"ruvo: pushed {files} spilled file(s) to {where}: {new} trace document(s) stored in all, "
                      f"{old} there already"))
    if failures:
        raise CommandError(f"{failures} of {len(sources)} source(s) could not be pushed")
    return 0


COMMAND = Command("push", define, execute)
