"""What the PostgreSQL store costs: `pytest --ruvo` on a suite of trivial
tests saving to a local server (against plain pytest, and against the
SQLite store), and how long `ruvo traces` and `ruvo show` take on a server
holding 10,000 traces.

    python3 benchmarks/postgres_bench.py                    # a throwaway local cluster
    python3 benchmarks/postgres_bench.py --url postgresql://user@host/db --tests 3000 --runs 5

Without --url it starts a cluster of its own with the installed server's
programs (as the tests do, see tests/_postgres.py), with the server's
default durability: every commit waits for the disk. Needs psycopg.
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

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from pytest_suite import write_suite  # noqa: E402


def timed(command: list[str], cwd: Path, env: dict) -> float:
    started = time.perf_counter()
    completed = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if completed.returncode != 0:
        sys.exit(f"{' '.join(command[:6])} failed:\n{completed.stdout[-3000:]}{completed.stderr[-3000:]}")
    return elapsed


def fresh_database(url: str, name: str) -> str:
    import psycopg

    with psycopg.connect(url, autocommit=True) as connection:
        connection.execute(f"DROP DATABASE IF EXISTS {name}")
        connection.execute(f"CREATE DATABASE {name}")
    base, _, _ = url.rpartition("/")
    return f"{base}/{name}"


def fill(url: str, traces: int) -> list[str]:
    """Store ``traces`` small test traces, as a suite's writer would (batched)."""
    import msgpack

    from ruvo import db

    def record(kind: str, **fields: object) -> dict:
        return {"type": kind, "frame_id": "frm_x", "timestamp": time.time(), "thread": "MainThread",
                "thread_native_id": 1, "user_code_call_site": None, **fields}

    ids = []
    db.begin_run(url, "pytest", command="benchmark fill")
    db.start_batching(url)
    for n in range(traces):
        trace_id = f"trc_{n:026d}"
        nodeid = f"test_suite.py::test_add_{n}"
        frames = [record("frame", event=event, path="project.py:2", co_name="add", qualname="add", arg=n,
                         locals={"a": n, "b": 1}) for event in ("call", "return")]
        document = msgpack.packb({
            "command_line_args": ["pytest"], "current_commit_sha": None, "frames": {}, "main_thread_id": 1,
            "frames_of_interest": [record("start_test", nodeid=nodeid), *frames,
                                   record("end_test", nodeid=nodeid, outcome="passed")],
            "meta": {"version": "bench", "source": "pytest", "use_frame_boundaries": True},
            "timestamp": time.time(), "trace_id": trace_id})
        db.save_trace_in_sqlite(url, trace_id, timeout=60, msgpack=document)
        ids.append(trace_id)
    counts = db.stop_batching()
    db.finish_run(url, passed=traces, failed=0, skipped=0)
    if counts.spilled or counts.lost:
        sys.exit(f"filling the server failed: {counts}")
    return ids


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", help="a server's database to make benchmark databases beside (default: a "
                        "throwaway local cluster)")
    parser.add_argument("--tests", type=int, default=3000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--traces", type=int, default=10_000)
    parser.add_argument("--out", type=Path)
    options = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    env.pop("RUVO_DB", None)
    cluster = None
    if options.url is None:
        from _postgres import start_cluster

        cluster = start_cluster(durable=True)
        options.url = cluster.url()
    try:
        results = run(options, env)
    finally:
        if cluster is not None:
            cluster.stop()
    if options.out:
        options.out.write_text(json.dumps(results, indent=1))


def run(options: argparse.Namespace, env: dict) -> dict:
    with tempfile.TemporaryDirectory(prefix="ruvo-pg-bench-") as tmp:
        directory = Path(tmp)
        write_suite(directory, options.tests)
        import importlib.metadata

        # The plugin by name when ruvo is not installed (a source tree on PYTHONPATH).
        installed = any(ep.dist and ep.dist.name == "ruvo" for ep in importlib.metadata.entry_points(group="pytest11"))
        pytest = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x",
                  *([] if installed else ["-p", "ruvo.pytest_plugin"])]
        times: dict[str, list[float]] = {"plain": [], "postgres": [], "sqlite": []}
        timed(pytest, directory, env)  # warm the file cache and bytecode
        for number in range(options.runs):
            times["plain"].append(timed(pytest, directory, env))
            url = fresh_database(options.url, f"ruvo_bench_{number}")
            times["postgres"].append(timed([*pytest, "--ruvo", "--ruvo-db", url], directory, env))
            sqlite = directory / f"run{number}.sqlite3"
            times["sqlite"].append(timed([*pytest, "--ruvo", "--ruvo-db", str(sqlite)], directory, env))
        medians = {name: statistics.median(values) for name, values in times.items()}
        print(f"{options.tests} tests, {options.runs} runs each, medians:")
        print(f"  pytest                      {medians['plain']:7.2f} s")
        for name in ("postgres", "sqlite"):
            print(f"  pytest --ruvo ({name:8})   {medians[name]:7.2f} s   ({medians[name] / medians['plain']:.2f}x)")

        url = fresh_database(options.url, "ruvo_bench_reads")
        started = time.perf_counter()
        ids = fill(url, options.traces)
        filled = time.perf_counter() - started
        print(f"stored {options.traces} traces in {filled:.2f} s ({options.traces / filled:,.0f} a second)")
        ruvo = [sys.executable, "-m", "ruvo"]
        commands = {
            "ruvo traces": [*ruvo, "traces", "--db", url],
            "ruvo show ID": [*ruvo, "show", "--db", url, ids[len(ids) // 2]],
            "ruvo show --test": [*ruvo, "show", "--db", url, "--test", "test_suite.py::test_add_17"],
            "python -c 'import ruvo'": [sys.executable, "-c", "import ruvo.cli"],
        }
        latency = {}
        for name, command in commands.items():
            samples = [timed(command, directory, env) for _ in range(options.runs)]
            latency[name] = statistics.median(samples)
            print(f"  {name:26} {latency[name] * 1000:7.0f} ms  (median of {options.runs})")
    return {"tests": options.tests, "runs": times, "medians": medians,
            "ratio_postgres": medians["postgres"] / medians["plain"],
            "ratio_sqlite": medians["sqlite"] / medians["plain"],
            "traces": options.traces, "fill_seconds": filled, "latency_seconds": latency}


if __name__ == "__main__":
    main()
