"""``ruvo view``: a trace as one self-contained HTML page (see :mod:`ruvo.viewer`)."""

from __future__ import annotations

import argparse

from .common import Command, CommandError, add_db_option, db_path, load


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from ..viewer import command

    return command.add_parser(commands, add_db_option)


def execute(options: argparse.Namespace) -> int:
    from ..terminal import Progress
    from ..viewer import command

    with Progress("reading the trace") as progress:

        def load_then_build(*args):
            document = load(*args)
            progress.step(f"building the page of {document.get('trace_id')}")
            return document

        return command.run(options, db_path=db_path(options.db), load=load_then_build, error=CommandError)


COMMAND = Command("view", define, execute)
