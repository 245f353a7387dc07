"""What `pytest --ruvo` costs a suite of many small tests.

Writes a suite of N trivial tests (half plain functions, half parametrised
cases, each calling one function of the project) into a temporary directory
and times `pytest -q -p no:cacheprovider` on it, plain and with `--ruvo`,
alternating the two, each several times.  Reports the medians and their
ratio; `--out FILE` also writes them as JSON.

    python3 benchmarks/pytest_suite.py                 # 3,000 tests, 5 runs each
    python3 benchmarks/pytest_suite.py --tests 50000 --runs 1
    python3 benchmarks/pytest_suite.py --ruvo-args=--ruvo-backend=monitoring

It uses the ruvo and pytest that its interpreter imports.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PROJECT = '''
def add(a, b):
    return a + b
'''


def write_suite(directory: Path, tests: int) -> None:
    (directory / "project.py").write_text(PROJECT)
    plain = tests // 2
    cases = tests - plain
    per_file = 500
    lines_by_file: list[list[str]] = []
    for start in range(0, plain, per_file):
        lines = ["from project import add", ""]
        for i in range(start, min(start + per_file, plain)):
            lines += [f"def test_add_{i}():", f"    assert add({i}, 1) == {i + 1}", ""]
        lines_by_file.append(lines)
    if cases:
        lines_by_file.append([
            "import pytest", "from project import add", "",
            f"@pytest.mark.parametrize('n', range({cases}))",
            "def test_case(n):", "    assert add(n, n) == 2 * n", "",
        ])
    for index, lines in enumerate(lines_by_file):
        (directory / f"test_suite_{index}.py").write_text("\n".join(lines))


def run_pytest(directory: Path, ruvo: bool, env: dict, ruvo_args: list[str]) -> float:
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x"]
    if ruvo:
        database = directory / ".ruvo" / "ruvo.sqlite3"
        for leftover in database.parent.glob("*") if database.parent.exists() else ():
            leftover.unlink()
        command += ["--ruvo", "--ruvo-db", str(database), *ruvo_args]
    started = time.perf_counter()
    completed = subprocess.run(command, cwd=directory, env=env, capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if completed.returncode != 0:
        sys.exit(f"pytest failed ({'--ruvo' if ruvo else 'plain'}):\n"
                 f"{completed.stdout[-3000:]}{completed.stderr[-3000:]}")
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tests", type=int, default=3000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", type=Path)
    parser.add_argument("--ruvo-args", default="", help="more options for the --ruvo runs, space-separated")
    options = parser.parse_args()
    # The children import the same ruvo as this interpreter.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    with tempfile.TemporaryDirectory(prefix="ruvo-suite-") as tmp:
        directory = Path(tmp)
        write_suite(directory, options.tests)
        times: dict[str, list[float]] = {"plain": [], "ruvo": []}
        ruvo_args = options.ruvo_args.split()
        run_pytest(directory, False, env, ruvo_args)  # warm the file cache and bytecode
        for _ in range(options.runs):
            times["plain"].append(run_pytest(directory, False, env, ruvo_args))
            times["ruvo"].append(run_pytest(directory, True, env, ruvo_args))
    plain, ruvo = statistics.median(times["plain"]), statistics.median(times["ruvo"])
    print(f"{options.tests} tests, {options.runs} runs each, medians:")
    print(f"  pytest          {plain:8.2f} s")
    print(f"  pytest --ruvo {options.ruvo_args}".rstrip().ljust(18) + f"{ruvo:8.2f} s   ({ruvo / plain:.2f}x)")
    if options.out:
        options.out.write_text(json.dumps({"tests": options.tests, "runs": times,
                                           "plain_median": plain, "ruvo_median": ruvo,
                                           "ratio": ruvo / plain, "ruvo_args": options.ruvo_args}, indent=1))


if __name__ == "__main__":
    main()
