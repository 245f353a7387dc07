"""``ruvo find``: the recorded calls holding a value, across every trace
of the database, from the index the store keeps as it saves."""

from __future__ import annotations

import argparse
import sqlite3
import sys

from .common import Command, CommandError, add_db_option, busy_timeout, db_path, display_path, positive_int

# Hits listed unless --limit says otherwise.
DEFAULT_LIMIT = 100
# A listed value's width at most.
VALUE_CHARS = 100


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    find = commands.add_parser(
        "find", help="find the calls that recorded a value",
        description="List the recorded calls whose arguments, locals or return value match, across the "
        "traces of the database: NAME=VALUE (VALUE read as a Python literal when it is one: 42, None, 'x', "
        "else as text; 42 does not match the string '42'), --return VALUE, --function GLOB (over the "
        "qualified name or a dotted tail of it: 'shop.*.price', 'Cart.price'), --text TEXT (a "
        "case-sensitive part of a recorded string). Every condition given must hold. Exit status 0 with "
        "hits, 1 with none, 2 on errors.",
        epilog="The index holds per call its scalar and string values (strings up to 200 characters, and "
        "strings a few levels inside containers and objects), at most 20,000 entries per trace and about "
        "half its stored size; what a "
        "search could not see is said on stderr.")
    find.add_argument("terms", nargs="*", metavar="NAME=VALUE", help="an argument or local holding VALUE")
    find.add_argument("--return", dest="return_value", metavar="VALUE", help="the call returned VALUE")
    find.add_argument("--function", metavar="GLOB", help="calls of functions matching GLOB only")
    find.add_argument("--text", metavar="TEXT", help="a recorded string holds TEXT")
    find.add_argument("--run", type=positive_int, metavar="RUN", help="only the traces of this run (see ruvo runs)")
    find.add_argument("--test", metavar="NODEID", help="only the traces of this pytest node id")
    find.add_argument("--limit", type=positive_int, metavar="N", default=DEFAULT_LIMIT,
                      help=f"list at most N hits (default {DEFAULT_LIMIT})")
    find.add_argument("--reindex", action="store_true",
                      help="first index the traces saved before ruvo indexed values, so that later searches "
                      "answer from the index")
    add_db_option(find)
    return find


def _value(kind: int, value: object) -> str:
    from ..search import shown_value
    from ..terminal import visible

    text = visible(shown_value(kind, value))
    return text if len(text) <= VALUE_CHARS else text[: VALUE_CHARS - 1] + "…"


def _plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..db import index
    from ..search import QueryError, parse_query
    from ..terminal import visible

    argv = list(options.terms)
    for option, value in (("return", options.return_value), ("function", options.function),
                          ("text", options.text)):
        if value is not None:
            argv.append(f"--{option}={value}")
    try:
        query = parse_query(argv)
    except QueryError as error:
        raise CommandError(str(error)) from None
    if query.empty:
        raise CommandError("give something to find: NAME=VALUE, --return VALUE, --function GLOB or --text TEXT")
    path = db_path(options.db)
    try:
        if options.reindex:
            done = index.reindex(path, timeout=busy_timeout())
            sys.stderr.write(f"ruvo: indexed {_plural(done, 'document')} saved before ruvo indexed values\n")
        found = index.find(path, query, run=options.run, test=options.test)
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except db.DatabaseUnusable as error:
        raise CommandError(str(error)) from None
    except (ValueError, sqlite3.Error) as error:  # a trace scanned in full that is damaged, a locked database
        raise CommandError(str(error)) from None
    for hit in found.hits[: options.limit]:
        values = ", ".join(f"{visible(entry.name)} = {_value(entry.kind, entry.value)}" for entry in hit.entries)
        print(f"{visible(hit.trace_id)}  {visible(hit.qualname)} {visible(hit.path)}  {values}")
    notes = [f"{_plural(len(found.hits), 'hit')} in {_plural(found.traces, 'trace')} of {display_path(path)}"]
    if len(found.hits) > options.limit:
        notes.append(f"{len(found.hits) - options.limit:,} not listed (--limit)")
    if found.scanned:
        notes.append(f"{_plural(found.scanned, 'trace')} saved before ruvo indexed values searched in full "
                     "(ruvo find --reindex indexes them)")
    if found.cut:
        notes.append(f"{_plural(found.cut, 'trace')} indexed in part ({'; '.join(found.cut_reasons)}): "
                     "what was left out was not searched")
    sys.stderr.write(visible("ruvo: " + "; ".join(notes)) + "\n")
    return 0 if found.hits else 1


COMMAND = Command("find", define, execute)
