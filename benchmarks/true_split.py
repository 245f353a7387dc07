"""Where the time went, as `ruvo top` says, against the truth.

Each workload is a program whose main() runs a few phases one after the
other. The truth is each phase's wall time measured in the program itself,
without any profiler (perf_counter around each phase call, median of
--runs runs). `ruvo run` then records the program with default settings and
`ruvo top` gives every function's own time; a phase's share is the own time
of its functions over the own time of all. With --pyinstrument, the same for
pyinstrument (a sampling profiler): a phase's share is the time of its
function's frames. Prints one table per workload; the target is every phase
above 5% of the run within 5 percentage points of the truth.

    python3 benchmarks/true_split.py [--python PY] [--runs 3] [--pyinstrument]

`--python` names the interpreter whose ruvo (and pyinstrument) is measured.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

# Every workload: its source, and per phase the functions whose time is the
# phase's (the phase's own function first).
SPIN = """
from time import perf_counter

def timed_main(phases):
    import json, os
    if not os.environ.get("TRUE_SPLIT"):
        for phase in phases:
            phase()
        return
    times = {}
    for phase in phases:
        start = perf_counter()
        phase()
        times[phase.__name__] = perf_counter() - start
    print(json.dumps(times))
"""

WORKLOADS = {
    # Two slow functions and a loop of many tiny calls between them.
    "slow_and_tiny": ("""
        def slow_parse():
            end = perf_counter() + 0.080
            while perf_counter() < end:
                pass

        def tiny(x):
            return x + 1

        def tiny_loop():
            total = 0
            for i in range(150_000):
                total += tiny(i)
            return total

        def slow_render():
            end = perf_counter() + 0.040
            while perf_counter() < end:
                pass

        timed_main([slow_parse, tiny_loop, slow_render])
    """, {"slow_parse": ["slow_parse"], "tiny_loop": ["tiny_loop", "tiny"], "slow_render": ["slow_render"]}),
    # Deep recursion beside one slow function.
    "recursion": ("""
        def fib(n):
            return n if n < 2 else fib(n - 1) + fib(n - 2)

        def recurse():
            return fib(22)

        def slow():
            end = perf_counter() + 0.060
            while perf_counter() < end:
                pass

        timed_main([recurse, slow])
    """, {"recurse": ["recurse", "fib"], "slow": ["slow"]}),
    # A hot loop first, the interesting work after it.
    "hot_loop_first": ("""
        def step(x):
            return x * 2

        def warm_up():
            total = 0
            for i in range(200_000):
                total += step(i)
            return total

        def work(order):
            end = perf_counter() + 0.0008
            while perf_counter() < end:
                pass
            return {"order": order, "total": order * 3}

        def interesting():
            return [work(n) for n in range(100)]

        timed_main([warm_up, interesting])
    """, {"warm_up": ["warm_up", "step"], "interesting": ["interesting", "work", "<listcomp>"]}),
    # Generators: many cheap items, and a few slow ones.
    "generators": ("""
        def squares(n):
            for i in range(n):
                yield i * i

        def consume():
            return sum(squares(60_000))

        def slow_items(n):
            for i in range(n):
                end = perf_counter() + 0.004
                while perf_counter() < end:
                    pass
                yield i

        def drain():
            return list(slow_items(20))

        timed_main([consume, drain])
    """, {"consume": ["consume", "squares"], "drain": ["drain", "slow_items"]}),
}

DURATION = re.compile(r"^([\d.]+) (s|ms|µs|us|ns)$")
UNITS = {"s": 1.0, "ms": 1e-3, "µs": 1e-6, "us": 1e-6, "ns": 1e-9}


def seconds(text: str) -> float:
    match = DURATION.match(text)
    if not match:
        raise ValueError(f"not a duration: {text!r}")
    return float(match.group(1)) * UNITS[match.group(2)]


def top_own(python: str, cwd: Path) -> tuple[dict, list]:
    """Own seconds per short function name from `ruvo top`, and its header."""
    out = subprocess.run([python, "-m", "ruvo", "top", "--limit", "100000"], cwd=cwd, capture_output=True,
                         text=True, check=True).stdout.splitlines()
    at = next(i for i, line in enumerate(out) if line.split()[:1] == ["CALLS"])
    columns = out[at].split()
    own: dict = {}
    for line in out[at + 1:]:
        if line.startswith("("):
            continue
        cells = re.split(r"\s{2,}", line.strip())
        row = dict(zip(columns, cells))
        name = row["FUNCTION"].rsplit(".", 1)[-1]
        own[name] = own.get(name, 0.0) + seconds(row["OWN"])
    return own, out[:at]


def pyinstrument_times(python: str, cwd: Path, script: Path, phases: dict) -> dict:
    out = cwd / "pyi.json"
    subprocess.run([python, "-m", "pyinstrument", "-r", "json", "-o", str(out), str(script)], cwd=cwd,
                   capture_output=True, check=True)
    tree = json.loads(out.read_text())["root_frame"]
    times = dict.fromkeys(phases, 0.0)

    def walk(frame):
        name = frame.get("function")
        if name in times:
            times[name] += frame.get("time", 0.0)
            return
        for child in frame.get("children", ()):
            walk(child)

    walk(tree)
    return times


def shares(values: dict) -> dict:
    total = sum(values.values())
    return {key: 100 * value / total if total else 0.0 for key, value in values.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--pyinstrument", action="store_true")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    options = parser.parse_args()
    worst = 0.0
    for name in options.workloads.split(","):
        source, phases = WORKLOADS[name]
        with tempfile.TemporaryDirectory() as tmp:
            cwd = Path(tmp)
            script = cwd / f"{name}.py"
            script.write_text(SPIN + textwrap.dedent(source))
            runs = []
            for _ in range(options.runs):
                done = subprocess.run([options.python, str(script)], cwd=cwd, capture_output=True, text=True,
                                      check=True, env=dict(os.environ, TRUE_SPLIT="1"))
                runs.append(json.loads(done.stdout))
            truth = shares({phase: statistics.median(run[phase] for run in runs) for phase in phases})
            subprocess.run([options.python, "-m", "ruvo", "run", str(script)], cwd=cwd, capture_output=True,
                           check=True)
            own, header = top_own(options.python, cwd)
            by_phase = {phase: sum(own.get(f, 0.0) for f in functions) for phase, functions in phases.items()}
            # Functions outside the phases (main's loop, the module) count in the whole.
            rest = sum(own.values()) - sum(by_phase.values())
            ruvo = shares({**by_phase, "(rest)": rest})
            pyi = shares(pyinstrument_times(options.python, cwd, script, phases)) if options.pyinstrument else {}
        print(f"{name}  ({' / '.join(line for line in header[1:] if line)})")
        print(f"  {'phase':<14} {'true %':>7} {'ruvo %':>7} {'diff':>6}" + (f" {'pyinstr %':>9}" if pyi else ""))
        for phase in phases:
            diff = ruvo[phase] - truth[phase]
            if truth[phase] > 5:
                worst = max(worst, abs(diff))
            print(f"  {phase:<14} {truth[phase]:7.1f} {ruvo[phase]:7.1f} {diff:+6.1f}"
                  + (f" {pyi[phase]:9.1f}" if pyi else ""))
    print(f"worst difference for phases above 5%: {worst:.1f} points (target: 5)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
