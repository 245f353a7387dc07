"""``ruvo prune``: remove old runs' traces and give the space back."""

from __future__ import annotations

import argparse
import re
from pathlib import Path
from typing import Optional

from ..config import is_server_url

from .common import Command, CommandError, add_db_option, db_path, display_path, positive_int
from .traces import human_size

_AGE = re.compile(r"(\d+(?:\.\d+)?)\s*([smhdw])", re.IGNORECASE)
_SECONDS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def parse_age(text: str) -> float:
    """Seconds from ``30d``, ``12h``, ``2w``, ``90m`` or ``45s``."""
    match = _AGE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"not an age: {text!r} (try 30d, 12h or 2w)")
    return float(match.group(1)) * _SECONDS[match.group(2).lower()]


def _size(text: str) -> Optional[int]:
    from ..config import parse_size

    try:
        size = parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if size is None:
        raise argparse.ArgumentTypeError("give a size, e.g. 500M")
    return size


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    prune = commands.add_parser(
        "prune", help="remove old runs' traces and give the space back",
        description="Remove whole runs, oldest first, and give the space back to the file system. Without an "
        "option, brings the database under its cap ([tool.ruvo] max-db-size, else 2G).")
    add_db_option(prune)
    prune.add_argument("--keep-runs", type=positive_int, metavar="N", help="keep only the newest N runs")
    prune.add_argument("--max-size", type=_size, metavar="SIZE",
                       help="remove the oldest runs until the database is under SIZE (e.g. 500M); within the "
                       "newest run, passing tests' traces go before failed ones")
    prune.add_argument("--older-than", type=parse_age, metavar="AGE",
                       help="remove the runs started more than AGE ago (e.g. 30d, 12h)")
    return prune


def execute(options: argparse.Namespace) -> int:
    from .. import db
    from ..config import db_cap_from
    from .common import settings

    path = db_path(options.db)
    server = is_server_url(path)
    if not server and not Path(path).is_file():
        raise CommandError(f"no trace database at {display_path(path)}")
    max_size = options.max_size
    if options.keep_runs is None and options.older_than is None and max_size is None:
        max_size = db_cap_from(settings(), None)
    try:
        removed, freed = db.prune(path, keep_runs=options.keep_runs, max_bytes=max_size,
                                  older_than=options.older_than)
        if server:
            from ..db import postgres

            size = postgres.used_bytes(str(path))
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except db.DatabaseUnusable as error:
        raise CommandError(str(error)) from None
    if not server:
        size = Path(path).stat().st_size
    runs = f" ({removed.runs} run{'s' if removed.runs != 1 else ''} whole)" if removed.runs else ""
    print(f"ruvo: removed {removed.traces} trace{'s' if removed.traces != 1 else ''}{runs} from "
          f"{display_path(path)}; it is {human_size(size)} now ({human_size(freed)} given back)")
    return 0


COMMAND = Command("prune", define, execute)
