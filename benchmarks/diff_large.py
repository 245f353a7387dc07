"""ruvo diff of two traces of 1,000,000 records each: wall time and peak
memory, run as its own process under /usr/bin/time.

    python3 benchmarks/diff_large.py [--calls N] [--db PATH]

Records a loop of N calls (default 500,000) of a small function twice with
``ruvo run --trace-budget none``: the second run returns another value from
one call in the middle and makes one extra call near the end, so the diff
has a value and a structure difference to find.  Reuses --db when it
already holds the two traces.  Uses the ``ruvo`` its interpreter imports.
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
import sys

CHANGED = len(sys.argv) > 1


def work(n):
    doubled = n * 2
    if CHANGED and n == {calls} // 2:
        doubled += 1
    return doubled + 1


def extra():
    return 0


def main():
    total = 0
    for i in range({calls}):
        total += work(i)
        if CHANGED and i == {calls} - 10:
            extra()
    return total


print(main())
"""

SAVED = re.compile(r"saved trace (trc_[0-9A-Z]+)")


def timed(args: list[str]) -> tuple[float, float, str]:
    """Wall seconds, peak resident MB and output of ``python -m ruvo ARGS``."""
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M", sys.executable, "-m", "ruvo", *args],
                          capture_output=True, text=True, check=True)
    wall, kilobytes = re.findall(r"([\d.]+) (\d+)\s*$", done.stderr)[-1]
    return float(wall), int(kilobytes) / 1024, done.stdout


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500_000)
    parser.add_argument("--db", default=os.path.join(tempfile.gettempdir(), "ruvo-diff-large.sqlite3"))
    options = parser.parse_args()
    db = Path(options.db)
    ids_file = db.with_suffix(".ids")
    if not db.exists() or not ids_file.exists():
        ids = []
        with tempfile.TemporaryDirectory() as directory:
            script = Path(directory) / "loop.py"
            script.write_text(SCRIPT.format(calls=options.calls))
            for extra in ([], ["changed"]):
                done = subprocess.run([sys.executable, "-m", "ruvo", "run", "--trace-budget", "none", "--db",
                                       str(db), str(script), *extra],
                                      check=True, capture_output=True, text=True, cwd=directory)
                match = SAVED.search(done.stderr)
                assert match, done.stderr
                ids.append(match.group(1))
        ids_file.write_text(" ".join(ids))
    a, b = ids_file.read_text().split()
    print(f"traces {a} and {b} in {db} ({db.stat().st_size / 1e6:.0f} MB)")
    wall, megabytes, output = timed(["diff", a, b, "--db", str(db)])
    print(f"diff {wall:6.2f} s  {megabytes:6.0f} MB")
    print("  " + output.strip().splitlines()[-2] if output.strip() else "  (no output)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
