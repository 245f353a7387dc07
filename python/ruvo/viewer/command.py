"""``ruvo view``: write a trace's viewer page, and open it on request."""

from __future__ import annotations

import argparse
import sys
import webbrowser
from pathlib import Path
from typing import Callable

from ..config import is_server_url

__all__ = ["add_parser", "run", "failed_test_line"]


def add_parser(commands, add_db_option: Callable[[argparse.ArgumentParser], None]) -> argparse.ArgumentParser:
    """Add the ``view`` subcommand to the ``ruvo`` subparsers."""
    view = commands.add_parser(
        "view",
        help="write a trace as one HTML page to look at in a browser",
        description="Write a trace (the latest by default) as one self-contained HTML page: a timeline "
        "per thread, the call tree, and the arguments, return value and locals of every call. "
        "The page needs no network.",
    )
    view.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="trace id, or a unique prefix (default: latest)")
    view.add_argument("--test", metavar="NODEID", help="the latest trace of this pytest node id")
    view.add_argument("-o", "--output", metavar="FILE.html",
                      help="file to write (default: TRACE_ID.html beside the database)")
    view.add_argument("--open", action="store_true", help="open the page in the web browser")
    add_db_option(view)
    return view


def _shown(path: Path) -> str:
    """The path relative to here when it is below here."""
    try:
        return str(path.resolve().relative_to(Path.cwd().resolve()))
    except ValueError:
        return str(path)


def run(options: argparse.Namespace, *, db_path: "Path | str", load: Callable, error: type) -> int:
    """Write the page and print its path; ``load(db_path, trace_id, test)``
    gives the decoded trace, ``error`` is the exception for one-line errors."""
    from .page import build_page

    from ..cli.common import damaged
    from ..terminal import visible

    document = load(db_path, options.trace_id, options.test)
    trace_id = str(document.get("trace_id"))
    # Beside the database; a server's pages go to the current directory's .ruvo/.
    beside = Path.cwd() / ".ruvo" if is_server_url(db_path) else Path(db_path).parent
    output = Path(options.output) if options.output else beside / f"{_file_name(trace_id)}.html"
    try:
        page = build_page(document)
    except Exception as problem:
        raise (damaged(trace_id, problem) or problem) from None
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
        with open(output, "w", encoding="utf-8") as file:
            file.write(page)
    except OSError as problem:
        raise error(f"cannot write {output}: {problem.strerror or problem}") from None
    print(visible(_shown(output)))
    if options.open:
        uri = output.resolve().as_uri()
        if not webbrowser.open(uri):
            sys.stderr.write(f"ruvo: no web browser found; open {uri}\n")
    return 0



def _file_name(trace_id: str) -> str:
    """A trace id as a file name: the id comes from the document, which may
    not be the profiler's (an imported file)."""
    import re

    return re.sub(r"[^A-Za-z0-9_.-]", "_", trace_id).lstrip(".")[:100] or "trace"


def failed_test_line(db_path: "Path | str", nodeid: str, db_option: str | None = None, *, trace_id: str | None = None,
                     stored: bool = False) -> str:
    """The terminal summary line of ``pytest --ruvo`` for a failed test, whose
    trace in this run is ``trace_id`` (None: it has none), ``stored`` in the
    database or not."""
    import shlex

    if trace_id is None or not stored:
        why = f"trace {trace_id} is not in the database (see above)" if trace_id else "no trace saved"
        return f"ruvo: failed {nodeid}: {why}"
    where = f" --db {shlex.quote(str(db_option))}" if db_option else ""
    return f"ruvo: failed {nodeid}: trace {trace_id}; look at it with: ruvo view{where} --test {shlex.quote(nodeid)}"
