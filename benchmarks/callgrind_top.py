#!/usr/bin/env python3
"""Where ruvo's time goes: a workload under callgrind, top functions by cost.

    python benchmarks/callgrind_top.py                      # native workload, ruvo, hook only
    python benchmarks/callgrind_top.py --workload app       # with real serialisation
    python benchmarks/callgrind_top.py --scope all --top 40 # the whole process

Runs benchmarks/child.py (same venv as run.py) under ``valgrind
--tool=callgrind`` and prints the top functions by self and by inclusive
instruction count, as callgrind_annotate reports them. With ``--scope hook``
(the default) only instructions executed inside ruvo's profile callback are
collected (``--toggle-collect``), which is the cost ruvo adds per event,
Python code it calls included. The output file stays in benchmarks/results/
for callgrind_annotate or KCachegrind.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run  # noqa: E402  (the venv and child helpers)

HOOK = "ruvo::profile_callback*"
# child.py calls sys.getswitchinterval() just before starting the profiler.
MARKER = "sys_getswitchinterval"
RUVO_OBJECT = "_ruvo."
LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$")


def split_entry(entry: str) -> tuple[str, str]:
    """'file:function(params) [object]' -> (function without parameters, object name)."""
    entry = entry.replace("(anonymous namespace)", "{anon}")
    location, _, obj = entry.rpartition(" [")
    if not location:
        location, obj = entry, ""
    _, _, function = location.partition(":")
    function = function or location
    cut = function.find("(")
    if cut > 0:
        # Keep callgrind's recursion suffix ('2) after the parameter list.
        suffix = re.search(r"\)('\d+)$", function)
        function = function[:cut] + (suffix.group(1) if suffix else "")
    return function, Path(obj.rstrip("]")).name if obj else ""


def annotate(out: Path, inclusive: bool, top: int, total: int) -> list[tuple[int, str, str]]:
    """Top functions, with the parts callgrind_annotate lists per source file
    (code inlined from headers) added up per function. It names the object
    file on some lines only."""
    command = [shutil.which("callgrind_annotate") or "callgrind_annotate",
               f"--inclusive={'yes' if inclusive else 'no'}",
               "--threshold=100", "--auto=no", str(out)]
    text = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    costs: dict[str, int] = {}
    objects: dict[str, str] = {}
    for line in text.splitlines():
        match = LINE.match(line)
        if not match or "PROGRAM TOTALS" in match.group(3):
            continue
        count, entry = int(match.group(1).replace(",", "")), match.group(3)
        function, obj = split_entry(entry)
        if obj:
            objects[function] = obj
        if not inclusive and count >= total:
            # Frames that were on the stack when the counters were zeroed
            # come out with the whole total as self cost: an artefact.
            continue
        costs[function] = costs.get(function, 0) + count
    if inclusive:
        # Callers of the hook (and the interpreter frames everything runs
        # under) include it all and say nothing: ruvo's functions only.
        costs = {f: c for f, c in costs.items() if f.startswith("ruvo::") or RUVO_OBJECT in objects.get(f, "")}
    ranked = sorted(costs.items(), key=lambda item: -item[1])[:top]
    return [(min(count, total), function, objects.get(function, "?")) for function, count in ranked]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workload", default="native", choices=("native", "app", "mixed", "library"))
    parser.add_argument("--config", default="ruvo", choices=("ruvo", "ruvo-light"))
    parser.add_argument("--size", type=int, default=20, help="units of the workload (default 20)")
    parser.add_argument("--scope", default="hook", choices=("hook", "all"),
                        help="collect inside ruvo's profile callback only (default), or the whole process")
    parser.add_argument("--top", type=int, default=20)
    parser.add_argument("--python", type=Path, default=run.DEFAULT_PYTHON if run.DEFAULT_PYTHON.exists()
                        else Path(sys.executable))
    parser.add_argument("--source", default="worktree",
                        help="build ruvo from the work tree (default) or from a commit, e.g. HEAD")
    parser.add_argument("--no-venv", action="store_true", help="use --python as it is")
    args = parser.parse_args()

    valgrind = shutil.which("valgrind")
    if valgrind is None:
        parser.error("valgrind not found")
    python = args.python if args.no_venv else run.ensure_venv(args.python, args.source)
    base = ["--workload", args.workload, "--warmup", "2"]
    calls = run.run_child(python, ["count", *base, "--size", str(args.size)])["calls"]

    out = HERE / "results" / f"callgrind-{args.workload}-{args.config}-{args.scope}.out"
    out.parent.mkdir(parents=True, exist_ok=True)
    wrapper = [valgrind, "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}", f"--zero-before={MARKER}"]
    if args.scope == "hook":
        wrapper.append(f"--toggle-collect={HOOK}")
    run.run_child(python, ["time", *base, "--config", args.config, "--size", str(args.size)], wrapper=wrapper)
    total = run.callgrind_total(out)

    scope = ("inside ruvo's profile callback" if args.scope == "hook"
             else "whole process from the profiler's start to exit")
    print(f"{args.workload} workload, {args.config}, {args.size} units = {calls} call/return pairs; {scope}")
    print(f"total {total:,} instructions = {total / calls:,.0f} per call/return pair")
    for inclusive in (False, True):
        print()
        print(f"top {args.top} of ruvo's own functions by inclusive instructions" if inclusive
              else f"top {args.top} functions by self instructions")
        print(f"{'Ir':>13} {'%':>6} {'per pair':>9}  function  [object]")
        for count, function, obj in annotate(out, inclusive, args.top, total):
            print(f"{count:>13,} {100 * count / total:>6.2f} {count / calls:>9.0f}  {function}  [{obj}]")
    print()
    print(f"callgrind output: {out}  (callgrind_annotate --inclusive=yes {out.name})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
