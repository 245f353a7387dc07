"""One test that makes millions of calls, plain and under `pytest --ruvo`.

    python3 benchmarks/runaway.py [--calls N] [--budget SIZE] [--python PY]

Reports wall time, peak memory (max RSS) and the database's size: with the
default trace budget the trace stops growing at the budget, so memory and
the database stay flat however many calls the test makes, and the calls
past the budget cost about what a filtered frame costs.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TEST = '''
def step(n):
    return n + 1


def walk(count):
    total = 0
    for n in range(count):
        total = step(total)
    return total


def test_runaway():
    assert walk({calls}) == {calls}
'''


def run(python: str, directory: Path, args: list[str]) -> dict:
    started = time.perf_counter()
    process = subprocess.Popen([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args, "test_runaway.py"],
                               cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"pytest {' '.join(args)} failed:\n{output.decode(errors='replace')}")
    return {"seconds": time.perf_counter() - started, "peak_mb": usage.ru_maxrss / 1024}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=3_000_000)
    parser.add_argument("--budget", help="--ruvo-trace-budget to pass (default: ruvo's default)")
    parser.add_argument("--python", default=sys.executable)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(tmp)
        (directory / "test_runaway.py").write_text(TEST.format(calls=options.calls))
        db = directory / "runaway.sqlite3"
        extra = [f"--ruvo-trace-budget={options.budget}"] if options.budget else []
        plain = run(options.python, directory, [])
        ruvo = run(options.python, directory, ["--ruvo", f"--ruvo-db={db}", *extra])
        size_mb = db.stat().st_size / 2**20 if db.exists() else 0.0
    print(f"{options.calls:,} user calls in one test, budget {options.budget or 'default'}")
    print(f"{'':8}{'wall s':>10}{'peak MB':>10}")
    print(f"{'plain':8}{plain['seconds']:>10.2f}{plain['peak_mb']:>10.0f}")
    print(f"{'ruvo':8}{ruvo['seconds']:>10.2f}{ruvo['peak_mb']:>10.0f}   database {size_mb:.1f} MB, "
          f"ruvo/plain {ruvo['seconds'] / plain['seconds']:.2f}")


if __name__ == "__main__":
    main()
