"""What the commands share: their error, the database option and where it
points, and finding a trace by id or prefix."""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional, Sequence

from ..config import DEFAULT_DB, DbTarget

EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A problem worth one line on stderr and exit status 2."""


@dataclass(frozen=True)
class Command:
    """One ``ruvo`` command: the name, a function adding its parser to the
    subcommands, and the function carrying it out (options -> exit status).

    ``split``, when given, separates the command's own arguments from those
    it passes on (``ruvo run``'s program), before parsing; the passed-on ones
    reach ``execute`` as ``options.rest``.
    """

    name: str
    define: Callable[[argparse._SubParsersAction], argparse.ArgumentParser]
    execute: Callable[[argparse.Namespace], int]
    split: Optional[Callable[[argparse.ArgumentParser, Sequence[str]], tuple[list[str], list[str]]]] = None


def add_db_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", metavar="PATH",
                        help="trace database: a file, or a postgresql:// URL (default: RUVO_DB, else "
                        f"[tool.ruvo] db, else {DEFAULT_DB.as_posix()})")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def exit_status(code: object) -> int:
    """The process status python gives for SystemExit(code)."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        sys.stderr.write(f"{code}\n")
    except Exception:
        pass
    return 1


def settings():
    from ..config import SettingsError, load_settings

    try:
        return load_settings(Path.cwd())
    except SettingsError as error:
        raise CommandError(str(error)) from None


def busy_timeout() -> float:
    """Seconds a command waits for a database another process has locked."""
    configured = settings().busy_timeout
    return 60.0 if configured is None else float(configured)


def db_path(option: Optional[str]) -> DbTarget:
    """The database: the option, else RUVO_DB, else the setting, else the
    default; a server's URL stays a string."""
    from ..db import reading

    configured_settings = settings()
    if configured_settings.busy_timeout is not None:
        reading.READ_TIMEOUT = float(configured_settings.busy_timeout)
    if option:
        from ..config import db_target

        return db_target(option)
    configured = configured_settings.db_path
    if configured is not None:
        return configured
    from ..config import default_db_path

    return default_db_path()


def display_path(path: "DbTarget | str") -> str:
    from ..config import is_server_url

    if is_server_url(path):
        from ..db.target import shown

        return shown(path)
    try:
        return str(Path(path).resolve().relative_to(Path.cwd().resolve()))
    except ValueError:
        return str(path)


def add_color_option(parser: argparse.ArgumentParser) -> None:
    from ..terminal import COLOR_CHOICES

    parser.add_argument("--color", choices=COLOR_CHOICES, default="auto",
                        help="colour the output: auto (on a terminal, unless NO_COLOR is set), always or never")


def _id_key(trace_id: str) -> str:
    """How an id is compared with what the user typed: ids are upper case
    after their trc_ prefix, and neither the case nor the prefix is worth
    retyping."""
    key = trace_id.casefold()
    return key[4:] if key.startswith("trc_") else key


def resolve_trace_id(path: DbTarget, trace_id: Optional[str]) -> Optional[str]:
    """The full id for an exact id or a unique prefix, with or without its
    trc_, in any case (None: the latest)."""
    from .. import db

    if trace_id is None:
        return None
    # An id given whole needs no listing of every trace (a server's may hold many).
    if db.stored_trace_ids(path, {trace_id}):
        return trace_id
    ids = {row.trace_id for row in db.list_traces(path)}
    wanted = _id_key(trace_id)
    matches = sorted(found for found in ids if wanted and _id_key(found).startswith(wanted))
    if len(matches) == 1:
        return matches[0]
    if matches:
        shown = ", ".join(matches[:5]) + (", ..." if len(matches) > 5 else "")
        raise CommandError(f"trace id prefix {trace_id!r} matches {len(matches)} traces ({shown}); give more of it")
    raise CommandError(f"no trace {trace_id} in {display_path(path)}")


def find_trace(path: DbTarget, trace_id: Optional[str], test: Optional[str] = None) -> str:
    """The full id of the trace asked for: by id or prefix, the latest of a
    pytest node id, or the latest of all; a CommandError saying why not."""
    from .. import db

    try:
        if test is not None:
            if trace_id is not None:
                raise CommandError("give a trace id or --test, not both")
            return db.latest_trace_id_of_test(path, test)
        return resolve_trace_id(path, trace_id) or db.latest_trace_id(path)
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except db.DatabaseUnusable as error:
        raise CommandError(str(error)) from None


def _damage_errors() -> tuple:
    import msgpack

    # What decoding or drawing a malformed document raises, wherever in the
    # reader it is found: the document's fault, not the reader's.
    return (ValueError, TypeError, KeyError, AttributeError, IndexError, OverflowError, UnicodeError,
            msgpack.exceptions.UnpackException, msgpack.exceptions.OutOfData)


def damaged(trace_id: Optional[str], error: BaseException) -> Optional[CommandError]:
    """The one-line error for a trace that ``error`` shows to be damaged, or
    None when ``error`` is something else."""
    from ..checks import DocumentDamaged

    if not isinstance(error, _damage_errors()):
        return None
    if isinstance(error, DocumentDamaged):
        text = str(error)
    else:
        lines = str(error).strip().splitlines()
        text = f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__
    if text.startswith(f"trace {trace_id} is damaged: "):
        return CommandError(text)
    return CommandError(f"trace {trace_id} is damaged: {text}")


def check_fields(trace_id: Optional[str], fields: dict) -> None:
    """A CommandError when the entries of a streamed document (besides its
    records) are not ones the views can draw."""
    from ..checks import check_fields as problem_of

    problem = problem_of(fields)
    if problem:
        raise CommandError(f"trace {trace_id} is damaged: {problem}")


def load(path: DbTarget, trace_id: Optional[str], test: Optional[str] = None) -> dict:
    """The decoded trace (the latest by default, or the latest of a pytest
    node id), or a CommandError saying why not."""
    from .. import db

    try:
        if test is not None:
            if trace_id is not None:
                raise CommandError("give a trace id or --test, not both")
            trace_id = db.latest_trace_id_of_test(path, test)
        return db.load_trace(path, resolve_trace_id(path, trace_id), check=True)
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except ValueError as error:
        raise CommandError(str(error)) from None
