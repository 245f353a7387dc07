"""The ``ruvo`` command: run a program under the profiler, list saved traces,
show one as a call tree, export one for other tools.

Each command is a module of this package with a :class:`~.common.Command`;
:data:`COMMANDS` lists them, and :func:`main` parses and dispatches through
that table.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from ..config import DEFAULT_DB
from ..version import __version__
from . import diff, export, find, imports, prune, push, run, runs, show, top, traces, view
from .common import EXIT_ERROR, Command, CommandError, exit_status

__all__ = ["COMMANDS", "build_parser", "main"]

COMMANDS: dict[str, Command] = {command.name: command for command in (
    run.COMMAND,
    traces.COMMAND,
    runs.COMMAND,
    show.COMMAND,
    top.COMMAND,
    find.COMMAND,
    export.COMMAND,
    imports.COMMAND,
    view.COMMAND,
    diff.COMMAND,
    prune.COMMAND,
    push.COMMAND,
)}


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The ``ruvo`` parser, and the parser of each command by name."""
    parser = argparse.ArgumentParser(
        prog="ruvo",
        description="Record every call and return of your Python code, then look at it.",
        epilog=f"Traces go to {DEFAULT_DB.as_posix()} in the current directory unless [tool.ruvo] db "
        "in pyproject.toml or --db says otherwise. `ruvo COMMAND --help` tells more.",
    )
    parser.add_argument("--version", action="version", version=f"ruvo {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    subparsers.required = True
    return parser, {name: command.define(subparsers) for name, command in COMMANDS.items()}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``ruvo`` command line; returns the exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    parser, command_parsers = build_parser()
    rest: list[str] = []
    command = COMMANDS.get(args[0]) if args else None
    if command is not None and command.split is not None:
        own, rest = command.split(command_parsers[command.name], args[1:])
        args = [command.name, *own]
    try:
        options = parser.parse_args(args)
    except SystemExit as error:
        return exit_status(error.code)
    options.rest = rest
    try:
        return COMMANDS[options.command].execute(options)
    except CommandError as error:
        from ..terminal import visible

        sys.stderr.write(f"ruvo: error: {visible(str(error))}\n")
        return EXIT_ERROR
    except BrokenPipeError:
        # `ruvo show | head`: the reader left; say nothing more.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 0
