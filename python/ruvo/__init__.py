"""ruvo: a tracing profiler that records every call and return of your own code.

    from ruvo import Profiler

    with Profiler(source="my-script") as profiler:
        main()
    # the trace is now in .ruvo/ruvo.sqlite3; `ruvo show` displays it
"""

from .profiler import Profiler
from .version import __version__

__all__ = ["Profiler", "__version__"]
