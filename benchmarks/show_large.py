"""ruvo show and ruvo top on a trace of 1,000,000 records: wall time and
peak memory of each command, run as its own process under /usr/bin/time.

    python3 benchmarks/show_large.py [--calls N] [--db PATH]

Records a loop of N calls (default 500,000) of a small function with an
argument and a local, under one root, with ``ruvo run --trace-budget none``
(reusing --db when it already holds a trace), then times ``ruvo show``
with --depth 2, --depth 3, no depth and --values, and ``ruvo top``, output
to /dev/null.  Uses the ``ruvo`` its interpreter imports.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

SCRIPT = """\
def work(n):
    doubled = n * 2
    return doubled + 1


def main():
    total = 0
    for i in range({calls}):
        total += work(i)
    return total


print(main())
"""

COMMANDS = (
    ("show --depth 2", ["show", "--depth", "2"]),
    ("show --depth 3", ["show", "--depth", "3"]),
    ("show", ["show"]),
    ("show --values", ["show", "--values"]),
    ("top", ["top"]),
)


def timed(args: list[str]) -> tuple[float, float]:
    """Wall seconds and peak resident MB of ``python -m ruvo ARGS``."""
    with open(os.devnull, "w") as sink:
        done = subprocess.run(["/usr/bin/time", "-f", "%e %M", sys.executable, "-m", "ruvo", *args],
                              stdout=sink, stderr=subprocess.PIPE, text=True, check=True)
    wall, kilobytes = re.findall(r"([\d.]+) (\d+)\s*$", done.stderr)[-1]
    return float(wall), int(kilobytes) / 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500_000)
    parser.add_argument("--db", default=os.path.join(tempfile.gettempdir(), "ruvo-show-large.sqlite3"))
    options = parser.parse_args()
    db = Path(options.db)
    if not db.exists():
        with tempfile.TemporaryDirectory() as directory:
            script = Path(directory) / "loop.py"
            script.write_text(SCRIPT.format(calls=options.calls))
            subprocess.run([sys.executable, "-m", "ruvo", "run", "--trace-budget", "none", "--db", str(db),
                            str(script)],
                           check=True, stdout=subprocess.DEVNULL, cwd=directory)
    print(f"trace in {db} ({db.stat().st_size / 1e6:.0f} MB)")
    for name, args in COMMANDS:
        wall, megabytes = timed([*args, "--db", str(db)])
        print(f"{name:16} {wall:6.2f} s  {megabytes:6.0f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
