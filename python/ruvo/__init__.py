"""ruvo: a tracing profiler that records every call and return of your own code.

    from ruvo import Profiler

    with Profiler(source="my-script") as profiler:
        main()
    # the trace is now in .ruvo/ruvo.sqlite3; `ruvo show` displays it
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Optional

from .profiler import Profiler
from .version import __version__

if TYPE_CHECKING:
    from .model import Trace

__all__ = ["Profiler", "load", "__version__"]


def load(trace_id: Optional[str] = None, *, db_path: Optional[str | os.PathLike] = None) -> Trace:
    """A stored trace as call trees: the latest when no id is given, from
    ``.ruvo/ruvo.sqlite3`` in the current directory unless ``db_path`` names
    another database. Each thread's calls have their name, file and line,
    start, duration, arguments, return value, locals and children::

        trace = ruvo.load()
        for call in trace.find("checkout"):
            print(call.arguments, call.return_value, call.duration)
    """
    from . import db, model
    from .config import default_db_path

    return model.trace_of(db.load_trace(default_db_path() if db_path is None else db_path, trace_id))
