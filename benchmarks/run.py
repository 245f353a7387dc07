#!/usr/bin/env python3
"""ruvo's overhead benchmark: one command, a table on stdout, a JSON file.

    python benchmarks/run.py                 # everything, ~10 minutes
    python benchmarks/run.py --quick         # tiny sizes, a smoke run

Creates (or reuses) benchmarks/.venv/<X.Y> with ruvo installed from this
checkout and the peer profilers (yappi, viztracer; cProfile is stdlib), then
runs every configuration on every workload in a fresh process of that venv,
--runs times, interleaved round by round, and reports medians. See
benchmarks/README.md for what each workload and figure means.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
CHILD = HERE / "child.py"
DEFAULT_PYTHON = Path.home() / ".pyenv" / "versions" / "3.11.7" / "bin" / "python"
PEERS = ("yappi", "viztracer")

ALL_CONFIGS = ("none", "floor", "ruvo", "ruvo-light", "ruvo-monitoring", "cprofile", "yappi", "viztracer",
               "viztracer-args")
# What a configuration needs beyond ruvo and the standard library (the
# monitoring backend, Python 3.12+).
CONFIG_PROBES = {"yappi": "import yappi", "viztracer": "import viztracer", "viztracer-args": "import viztracer",
                 "ruvo-monitoring": "import sys, ruvo._monitoring; sys.monitoring"}
TIMED_WORKLOADS = ("library", "app", "mixed", "native")
# The native workload is the app workload with constant serialisers: only
# ruvo's configs differ from the app run, so it is compared with cProfile.
WORKLOAD_CONFIGS = {
    "library": ALL_CONFIGS,
    "app": ALL_CONFIGS,
    "mixed": ALL_CONFIGS,
    "native": ("none", "floor", "ruvo", "ruvo-light", "ruvo-monitoring", "cprofile"),
}
# Units per timed run; about 0.1 s each without a profiler on the reference machine.
SIZES = {"library": 400, "app": 3000, "mixed": 200, "native": 3000}
# Units per callgrind run: a few thousand calls, so valgrind takes seconds.
CALLGRIND_SIZES = {"library": 5, "app": 20, "native": 20}
CALLGRIND_WORKLOADS = ("library", "app", "native")
CALLGRIND_CONFIGS = ("none", "floor", "ruvo", "ruvo-light", "ruvo-monitoring", "cprofile")
CALLGRIND_WARMUP = 2
BUILD_RECORDS = 1_000_000

TARGETS = {
    "library": "ruvo within 1.2x of the floor",
    "app": "ruvo faster than VizTracer with args+retval",
    "native": "ruvo (constant values) no slower than cProfile",
    "library_monitoring": "ruvo-monitoring within 1.3x of no profiler",
    "mixed_monitoring": "ruvo-monitoring no slower than cProfile",
    "app_monitoring": "ruvo-monitoring no slower than ruvo (the profile function)",
    "build_throughput": "build_trace() at least half the throughput of a plain copy",
    "build_memory": "memory per stored record at most 1.3x its encoded size",
}


# ---------------------------------------------------------------- environment

def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def python_version(python: Path) -> str:
    out = subprocess.run([str(python), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                         check=True, capture_output=True, text=True)
    return out.stdout.strip()


def worktree_fingerprint() -> str:
    """A hash of everything in the work tree that goes into ruvo's package."""
    digest = hashlib.sha256()
    paths = [REPO / "CMakeLists.txt", REPO / "pyproject.toml"]
    paths += sorted((REPO / "src").glob("*"))
    paths += sorted((REPO / "python" / "ruvo").glob("*.py"))
    for path in paths:
        if path.is_file():
            digest.update(str(path.relative_to(REPO)).encode())
            digest.update(path.read_bytes())
    return "worktree " + digest.hexdigest()


def export_commit(ref: str) -> tuple[Path, str]:
    """A clean copy of the repository at `ref` (uncommitted changes left
    out), in a fixed place so the CMake build directory stays valid."""
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--verify", ref + "^{commit}"],
                            check=True, capture_output=True, text=True).stdout.strip()
    target = HERE / ".build" / "source"
    if target.exists():
        shutil.rmtree(target)
    target.mkdir(parents=True)
    archive = subprocess.run(["git", "-C", str(REPO), "archive", "--format=tar", commit],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(target)], input=archive, check=True)
    return target, commit


def ensure_venv(python: Path, source: str = "worktree") -> Path:
    """benchmarks/.venv/X.Y with the peers and ruvo built from the work tree
    (source "worktree") or from a commit (e.g. "HEAD"); returns its python."""
    version = python_version(python)
    venv = HERE / ".venv" / version
    venv_python = venv / "bin" / "python"
    if not venv_python.exists():
        log(f"creating {venv.relative_to(REPO)} with {python}")
        subprocess.run([str(python), "-m", "venv", str(venv)], check=True)
    pip = [str(venv_python), "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
    missing = subprocess.run([str(venv_python), "-c", "import yappi, viztracer"], capture_output=True).returncode
    if missing:
        log("installing the peer profilers: " + ", ".join(PEERS))
        subprocess.run(pip + list(PEERS), check=True)
    marker = venv / ".ruvo-source"
    if source == "worktree":
        fingerprint = worktree_fingerprint()
    else:
        commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--verify", source + "^{commit}"],
                                check=True, capture_output=True, text=True).stdout.strip()
        fingerprint = "commit " + commit
    if not marker.exists() or marker.read_text() != fingerprint:
        if source == "worktree":
            tree, label = REPO, "the work tree"
        else:
            tree, commit = export_commit(source)
            label = f"commit {commit[:12]}"
        log(f"installing ruvo from {label} (pip install .)")
        # A Release build as `pip install .` makes it; only unstripped and
        # with debug info (-g does not change the generated code), so that
        # callgrind can name ruvo's functions.
        build_dir = HERE / ".build" / (("worktree" if source == "worktree" else "commit") + "-{wheel_tag}")
        subprocess.run(pip + ["--force-reinstall", str(tree),
                              "-C", "install.strip=false",
                              "-C", "cmake.define.CMAKE_CXX_FLAGS=-g",
                              "-C", f"build-dir={build_dir}"], check=True)
        marker.write_text(fingerprint)
    return venv_python


def available_configs(python: Path) -> set[str]:
    available = set()
    for config in ALL_CONFIGS:
        probe = CONFIG_PROBES.get(config, "import ruvo")
        if subprocess.run([str(python), "-c", probe], capture_output=True).returncode == 0:
            available.add(config)
    return available


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            fields = {}
            for line in cpuinfo:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
                if not line.strip():
                    break
        model = fields.get("model name", platform.processor() or "unknown")
        extra = [f"{name} {fields[key]}" for key, name in (("cpu family", "family"), ("model", "model"))
                 if key in fields]
        return f"{model} ({', '.join(extra)})" if extra else model
    except OSError:
        return platform.processor() or "unknown"


def machine(python: Path, source: str) -> dict:
    info = subprocess.run(
        [str(python), "-c",
         "import json, sys, importlib.metadata as m\n"
         "versions = {}\n"
         "for name in ('ruvo', 'msgpack', 'yappi', 'viztracer'):\n"
         "    try: versions[name] = m.version(name)\n"
         "    except m.PackageNotFoundError: pass\n"
         "print(json.dumps({'python': sys.version, 'executable': sys.executable, 'packages': versions}))"],
        check=True, capture_output=True, text=True)
    result = json.loads(info.stdout)
    commit = git("rev-parse", "HEAD")
    dirty = git("status", "--porcelain", "--", "src", "python")
    mem_total = None
    try:
        with open("/proc/meminfo") as meminfo:
            mem_total = int(meminfo.readline().split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    marker = python.parent.parent / ".ruvo-source"
    result.update({
        "ruvo_source": marker.read_text() if marker.exists() else f"as installed in {python}",
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "memory_bytes": mem_total,
        "kernel": platform.release(),
        "commit": commit or None,
        # Uncommitted changes to ruvo's sources that the measured build has.
        "ruvo_sources_modified": source == "worktree" and bool(dirty),
    })
    return result


def git(*args: str) -> str:
    """git's output in the repository, or "" when it fails or is missing."""
    try:
        completed = subprocess.run(["git", "-C", str(REPO), *args], capture_output=True, text=True)
    except OSError:
        return ""
    return completed.stdout.strip() if completed.returncode == 0 else ""


def load_average() -> list[float]:
    return [round(value, 2) for value in os.getloadavg()]


def wait_for_load(limit: float | None, patience: float) -> None:
    if limit is None:
        return
    deadline = time.monotonic() + patience
    while os.getloadavg()[0] > limit and time.monotonic() < deadline:
        log(f"load {os.getloadavg()[0]:.2f} > {limit}: waiting")
        time.sleep(30)


# ---------------------------------------------------------------- children

# With --no-venv the given interpreter may find ruvo through PYTHONPATH only.
KEEP_PYTHONPATH = False


def child_env() -> dict:
    env = dict(os.environ)
    # Same hashes in every run; no pycache writes mid-measurement.
    env["PYTHONHASHSEED"] = "0"
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if not KEEP_PYTHONPATH:
        env.pop("PYTHONPATH", None)  # the benchmark venv's own ruvo, not a source tree
    return env


def run_child(python: Path, args: list[str], wrapper: list[str] = (), timeout: float = 900) -> dict:
    with tempfile.TemporaryDirectory(prefix="ruvo-bench-cwd-") as cwd:
        completed = subprocess.run([*wrapper, str(python), str(CHILD), *args], cwd=cwd, env=child_env(),
                                   capture_output=True, text=True, timeout=timeout)
    for line in completed.stdout.splitlines():
        if line.startswith("RESULT "):
            if completed.returncode != 0:
                break
            return json.loads(line[len("RESULT "):])
    raise RuntimeError(f"child {' '.join(args)} failed (exit {completed.returncode}):\n"
                       f"{completed.stdout[-2000:]}{completed.stderr[-4000:]}")


# ---------------------------------------------------------------- measurements

def measure_timed(python: Path, workloads, configs, runs: int, scale: float) -> dict:
    results = {}
    for workload in workloads:
        size = max(1, round(SIZES[workload] * scale))
        warmup = max(1, size // 10)
        chosen = [c for c in WORKLOAD_CONFIGS[workload] if c in configs]
        counts = run_child(python, ["count", "--workload", workload, "--size", str(size), "--warmup", str(warmup)])
        samples = {config: [] for config in chosen}
        posts = {config: [] for config in chosen}
        records = {}
        loads = [load_average()]
        log(f"{workload}: {size} units, {counts['calls']} calls per run, {runs} runs of {len(chosen)} configs")
        for round_index in range(runs):
            # Rotate the order so no configuration always runs first or last.
            shift = round_index % len(chosen)
            for config in chosen[shift:] + chosen[:shift]:
                result = run_child(python, ["time", "--workload", workload, "--config", config,
                                            "--size", str(size), "--warmup", str(warmup)])
                samples[config].append(result["seconds"])
                if result.get("constant_values") is False:
                    raise RuntimeError(f"{config}: the constant serialiser did not reach ruvo's hook")
                if "post_seconds" in result:
                    posts[config].append(result["post_seconds"])
                    records[config] = {"records": result["records"], "document_bytes": result["document_bytes"]}
            loads.append(load_average())
        none = statistics.median(samples["none"]) if "none" in samples else None
        floor = statistics.median(samples["floor"]) if "floor" in samples else None
        rows = {}
        for config in chosen:
            median = statistics.median(samples[config])
            row = {
                "median_seconds": median,
                "samples": samples[config],
                "ratio_none": median / none if none else None,
                "ratio_floor": median / floor if floor else None,
                "ns_per_call_over_none": (median - none) / counts["calls"] * 1e9 if none is not None else None,
            }
            if posts[config]:
                row["build_median_seconds"] = statistics.median(posts[config])
                row.update(records[config])
            rows[config] = row
        results[workload] = {"size": size, "warmup": warmup, "calls": counts["calls"],
                             "user_calls": counts["user_calls"], "load": loads, "configs": rows}
    return results


def measure_first(python: Path, runs: int, configs) -> dict:
    """ruvo's one-time cost: its first recorded event in a process (lazy
    imports), left out of the timed runs by priming."""
    results = {}
    for config in [c for c in ("ruvo", "ruvo-light", "ruvo-monitoring") if c in configs]:
        samples = [run_child(python, ["first", "--workload", "library", "--config", config, "--warmup", "1"])
                   for _ in range(runs)]
        results[config] = {"median_seconds": statistics.median(s["seconds"] for s in samples),
                           "again_median_seconds": statistics.median(s["second_seconds"] for s in samples),
                           "samples": samples}
    return results


def measure_build(python: Path, runs: int, records: int) -> dict:
    samples = []
    loads = [load_average()]
    log(f"build: about {records} records, {runs} runs")
    for _ in range(runs):
        samples.append(run_child(python, ["build", "--config", "ruvo", "--records", str(records), "--warmup", "20"]))
        loads.append(load_average())

    def median(key):
        return statistics.median(sample[key] for sample in samples)

    per_record = [(s["peak_after"] - s["rss_before"]) / s["records"] for s in samples]
    encoded = [s["document_bytes"] / s["records"] for s in samples]
    build_mb_s = [s["document_bytes"] / s["build_seconds"] / 1e6 for s in samples]
    copy_mb_s = [s["document_bytes"] / s["copy_seconds"] / 1e6 for s in samples]
    return {
        "samples": samples,
        "load": loads,
        "records": int(median("records")),
        "document_bytes": int(median("document_bytes")),
        "record_seconds": median("record_seconds"),
        "build_seconds": median("build_seconds"),
        "copy_seconds": median("copy_seconds"),
        "build_mb_per_s": statistics.median(build_mb_s),
        "copy_mb_per_s": statistics.median(copy_mb_s),
        "throughput_ratio": statistics.median(b / c for b, c in zip(build_mb_s, copy_mb_s)),
        "memory_per_record": statistics.median(per_record),
        "encoded_per_record": statistics.median(encoded),
        "memory_ratio": statistics.median(m / e for m, e in zip(per_record, encoded)),
        "peak_is_hwm": all(s["peak_is_hwm"] for s in samples),
    }


def callgrind_total(path: Path) -> int:
    """Total instructions (Ir) from a callgrind output file."""
    with open(path) as output:
        for line in output:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def measure_callgrind(python: Path, workloads, configs, scale: float) -> dict:
    results = {}
    valgrind = shutil.which("valgrind")
    for workload in workloads:
        size = max(1, round(CALLGRIND_SIZES[workload] * scale))
        base = ["--workload", workload, "--warmup", str(CALLGRIND_WARMUP)]
        calls = run_child(python, ["count", *base, "--size", str(size)])["calls"]
        rows = {}
        log(f"callgrind {workload}: {size} units, {calls} calls")
        for config in [c for c in CALLGRIND_CONFIGS if c in configs and c in WORKLOAD_CONFIGS[workload]]:
            totals = {}
            with tempfile.TemporaryDirectory(prefix="ruvo-bench-cg-") as tmp:
                for label, units in (("workload", size), ("trivial", 0)):
                    out = Path(tmp) / f"{label}.out"
                    run_child(python, ["time", *base, "--config", config, "--size", str(units), "--no-build"],
                              wrapper=[valgrind, "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}"])
                    totals[label] = callgrind_total(out)
            rows[config] = {
                "instructions": totals["workload"],
                "trivial_instructions": totals["trivial"],
                "per_call": (totals["workload"] - totals["trivial"]) / calls,
            }
        none = rows.get("none", {}).get("per_call")
        for row in rows.values():
            row["per_call_over_none"] = row["per_call"] - none if none is not None else None
        results[workload] = {"size": size, "warmup": CALLGRIND_WARMUP, "calls": calls, "configs": rows}
    return results


# ---------------------------------------------------------------- report

def check_targets(timed: dict, build: dict | None) -> dict:
    targets = {}

    def ratio(workload, a, b):
        rows = timed.get(workload, {}).get("configs", {})
        if a in rows and b in rows:
            return rows[a]["median_seconds"] / rows[b]["median_seconds"]
        return None

    for key, a, b, limit, strict in (("library", "ruvo", "floor", 1.2, False),
                                     ("app", "ruvo", "viztracer-args", 1.0, True),
                                     ("native", "ruvo", "cprofile", 1.0, False),
                                     ("library_monitoring", "ruvo-monitoring", "none", 1.3, False),
                                     ("mixed_monitoring", "ruvo-monitoring", "cprofile", 1.0, False),
                                     ("app_monitoring", "ruvo-monitoring", "ruvo", 1.0, False)):
        value = ratio(key.removesuffix("_monitoring"), a, b)
        if value is not None:
            met = value < limit if strict else value <= limit
            targets[key] = {"target": TARGETS[key], "ratio": value, "limit": limit, "met": met,
                            "measured": f"{a} / {b}"}
    if build:
        targets["build_throughput"] = {"target": TARGETS["build_throughput"], "ratio": build["throughput_ratio"],
                                       "limit": 0.5, "met": build["throughput_ratio"] >= 0.5,
                                       "measured": "build MB/s / copy MB/s"}
        targets["build_memory"] = {"target": TARGETS["build_memory"], "ratio": build["memory_ratio"],
                                   "limit": 1.3, "met": build["memory_ratio"] <= 1.3,
                                   "measured": "peak RSS growth per record / encoded bytes per record"}
    return targets


def fmt(value, pattern):
    return "-" if value is None else format(value, pattern)


def build_ms(row):
    return row["build_median_seconds"] * 1e3 if "build_median_seconds" in row else None


def render(report: dict) -> str:
    lines = []
    m = report["machine"]
    lines.append(f"machine: {m['cpu']}, {m['cores']} cores; Python {m['python'].split()[0]}; "
                 f"load {report['load_start']} -> {report['load_end']}")
    timed = report.get("timed", {})
    if timed:
        lines.append("")
        lines.append("wall clock, median of fresh processes; x none / x floor: ratio of medians; ns/call: "
                     "(median - none) / Python calls;")
        lines.append("build ms: ruvo's build_trace() after stop(), not in the timed region; records: records it built")
        lines.append(f"{'workload':<9} {'config':<15} {'median s':>9} {'x none':>8} {'x floor':>8} "
                     f"{'ns/call':>9} {'build ms':>8} {'records':>9}")
        for workload, data in timed.items():
            for config, row in data["configs"].items():
                lines.append(f"{workload:<9} {config:<15} {row['median_seconds']:>9.4f} "
                             f"{fmt(row['ratio_none'], '.2f'):>8} "
                             f"{fmt(row['ratio_floor'], '.2f'):>8} {fmt(row['ns_per_call_over_none'], '.0f'):>9} "
                             f"{fmt(build_ms(row), '.1f'):>8} "
                             f"{fmt(row.get('records'), 'd'):>9}")
            lines.append(f"{'':<9} ({data['size']} units, {data['calls']} Python calls, "
                         f"{data['user_calls']} of them in the workload's own code)")
    first = report.get("first")
    if first:
        lines.append("")
        for config, row in first.items():
            lines.append(f"first recorded event in a process ({config}, one-time imports; left out of the runs "
                         f"above): {row['median_seconds'] * 1e3:.1f} ms; with a second profiler: "
                         f"{row['again_median_seconds'] * 1e6:.0f} us")
    build = report.get("build")
    if build:
        lines.append("")
        lines.append(f"build: {build['records']} records, {build['document_bytes'] / 1e6:.1f} MB document, "
                     f"recorded in {build['record_seconds']:.2f} s")
        lines.append(f"  build_trace() {build['build_seconds'] * 1e3:.1f} ms = {build['build_mb_per_s']:.0f} MB/s; "
                     f"plain copy {build['copy_seconds'] * 1e3:.1f} ms = {build['copy_mb_per_s']:.0f} MB/s; "
                     f"ratio {build['throughput_ratio']:.2f}")
        lines.append(f"  memory per stored record {build['memory_per_record']:.0f} B (peak RSS growth"
                     f"{'' if build['peak_is_hwm'] else ', RSS after'}) vs encoded {build['encoded_per_record']:.0f} B;"
                     f" ratio {build['memory_ratio']:.2f}")
    callgrind = report.get("callgrind")
    if callgrind:
        lines.append("")
        lines.append("instructions per call/return pair (callgrind; (Ir(run N) - Ir(run 0)) / calls)")
        lines.append(f"{'workload':<9} {'config':<15} {'per call':>10} {'over none':>10} {'x floor':>8}")
        for workload, data in callgrind.items():
            floor = data["configs"].get("floor", {}).get("per_call")
            for config, row in data["configs"].items():
                lines.append(f"{workload:<9} {config:<15} {row['per_call']:>10.0f} "
                             f"{fmt(row['per_call_over_none'], '.0f'):>10} "
                             f"{fmt(row['per_call'] / floor if floor else None, '.2f'):>8}")
            lines.append(f"{'':<9} ({data['size']} units, {data['calls']} calls)")
    targets = report.get("targets")
    if targets:
        lines.append("")
        lines.append("targets")
        for key, target in targets.items():
            lines.append(f"  {'MET ' if target['met'] else 'MISS'} {key:<17} {target['measured']} = "
                         f"{target['ratio']:.2f} (limit {target['limit']}): {target['target']}")
    return "\n".join(lines)


def markdown(report: dict) -> str:
    """The tables of benchmarks/README.md, from a results file."""
    out = []
    timed = report.get("timed", {})
    if timed:
        configs = list(dict.fromkeys(c for data in timed.values() for c in data["configs"]))
        out.append("Wall clock, median of the fresh-process runs, as a ratio to no profiler (and to the floor):")
        out.append("")
        out.append("| config | " + " | ".join(timed) + " |")
        out.append("| --- |" + " ---: |" * len(timed))
        for config in configs:
            cells = []
            for data in timed.values():
                row = data["configs"].get(config)
                cells.append("" if row is None else f"{row['ratio_none']:.2f}x ({row['ratio_floor']:.2f}x)")
            out.append(f"| `{config}` | " + " | ".join(cells) + " |")
        out.append("| no profiler, s | " + " | ".join(f"{d['configs']['none']['median_seconds']:.3f}"
                                                       for d in timed.values()) + " |")
        out.append("| Python calls | " + " | ".join(f"{d['calls']:,}" for d in timed.values()) + " |")
        out.append("")
        out.append("Cost per Python call above no profiler, ns, from the same medians:")
        out.append("")
        out.append("| config | " + " | ".join(timed) + " |")
        out.append("| --- |" + " ---: |" * len(timed))
        for config in configs:
            if config == "none":
                continue
            cells = [("" if (row := data["configs"].get(config)) is None else f"{row['ns_per_call_over_none']:.0f}")
                     for data in timed.values()]
            out.append(f"| `{config}` | " + " | ".join(cells) + " |")
        builds = [(w, d["configs"][c]) for w, d in timed.items() for c in ("ruvo",) if c in d["configs"]]
        out.append("")
        out.append("`build_trace()` after these runs (`ruvo`): " + "; ".join(
            f"{w} {row['build_median_seconds'] * 1e3:.2f} ms for {row['records']:,} records"
            for w, row in builds) + ".")
    first = report.get("first", {})
    if "ruvo" in first:
        out.append(f"ruvo's first recorded event in a process (one-time imports, left out of the runs above): "
                   f"{first['ruvo']['median_seconds'] * 1e3:.1f} ms.")
    build = report.get("build")
    if build:
        out.append("")
        out.append(f"Build workload ({build['records']:,} records, {build['document_bytes'] / 1e6:.1f} MB document):")
        out.append("")
        out.append("| | value |")
        out.append("| --- | ---: |")
        out.append(f"| recording time | {build['record_seconds']:.2f} s |")
        out.append(f"| `build_trace()` | {build['build_seconds'] * 1e3:.0f} ms = {build['build_mb_per_s']:,.0f} MB/s |")
        out.append(f"| plain copy of as many bytes | {build['copy_seconds'] * 1e3:.0f} ms = "
                   f"{build['copy_mb_per_s']:,.0f} MB/s |")
        out.append(f"| build / copy throughput | {build['throughput_ratio']:.2f} |")
        out.append(f"| peak RSS growth per stored record | {build['memory_per_record']:.0f} B |")
        out.append(f"| encoded size per record | {build['encoded_per_record']:.0f} B |")
        out.append(f"| memory / encoded size | {build['memory_ratio']:.2f} |")
    callgrind = report.get("callgrind")
    if callgrind:
        out.append("")
        out.append("Instructions per call/return pair (callgrind), the workload's own included, and above no "
                   "profiler:")
        out.append("")
        out.append("| config | " + " | ".join(f"{w} | {w}: above none" for w in callgrind) + " |")
        out.append("| --- |" + " ---: | ---: |" * len(callgrind))
        configs = list(dict.fromkeys(c for data in callgrind.values() for c in data["configs"]))
        for config in configs:
            cells = []
            for data in callgrind.values():
                row = data["configs"].get(config)
                cells.append("|" if row is None else f"{row['per_call']:,.0f} | {row['per_call_over_none']:,.0f}")
            out.append(f"| `{config}` | " + " | ".join(cells) + " |")
    targets = report.get("targets")
    if targets:
        out.append("")
        out.append("| target | measured | ratio | met |")
        out.append("| --- | --- | ---: | --- |")
        for target in targets.values():
            out.append(f"| {target['target']} | {target['measured']} | {target['ratio']:.2f} | "
                       f"{'yes' if target['met'] else '**no**'} |")
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", type=Path,
                        default=DEFAULT_PYTHON if DEFAULT_PYTHON.exists() else Path(sys.executable),
                        help="interpreter for the benchmark venv (default: pyenv's 3.11.7)")
    parser.add_argument("--source", default="worktree",
                        help="build ruvo from the work tree (default) or from a commit, e.g. HEAD")
    parser.add_argument("--no-venv", action="store_true",
                        help="use --python as it is (ruvo must be importable); skip peers it lacks")
    parser.add_argument("--workloads", default="library,app,mixed,native,build,callgrind",
                        help="comma-separated subset of library,app,mixed,native,build,callgrind")
    parser.add_argument("--configs", default=",".join(ALL_CONFIGS), help="comma-separated subset of configurations")
    parser.add_argument("--runs", type=int, default=7, help="fresh processes per configuration (default 7)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the workload sizes")
    parser.add_argument("--records", type=int, default=BUILD_RECORDS, help="records for the build workload")
    parser.add_argument("--quick", action="store_true", help="tiny sizes and 3 runs: a smoke run, not a measurement")
    parser.add_argument("--max-load", type=float, default=None,
                        help="wait (up to 10 minutes) until the 1-minute load average is below this")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "latest.json")
    parser.add_argument("--markdown", metavar="FILE",
                        help="print the README tables for a results file ('-': stdin), and run nothing")
    args = parser.parse_args()
    if args.markdown:
        text = sys.stdin.read() if args.markdown == "-" else Path(args.markdown).read_text()
        print(markdown(json.loads(text)))
        return 0
    if args.quick:
        args.scale, args.records, args.runs = min(args.scale, 0.05), min(args.records, 20_000), min(args.runs, 3)
    workloads = args.workloads.split(",")
    unknown = set(workloads) - set(TIMED_WORKLOADS) - {"build", "callgrind"}
    if unknown:
        parser.error(f"unknown workloads: {', '.join(sorted(unknown))}")

    global KEEP_PYTHONPATH
    KEEP_PYTHONPATH = args.no_venv
    python = args.python if args.no_venv else ensure_venv(args.python, args.source)
    wanted = args.configs.split(",")
    if set(wanted) - set(ALL_CONFIGS):
        parser.error(f"unknown configs: {', '.join(sorted(set(wanted) - set(ALL_CONFIGS)))}")
    available = available_configs(python)
    if "ruvo" not in available:
        parser.error(f"{python} cannot import ruvo")
    skipped = [c for c in wanted if c not in available]
    if skipped:
        log(f"not available in {python}: {', '.join(skipped)}")
    configs = [c for c in wanted if c in available]

    wait_for_load(args.max_load, 600)
    report = {"machine": machine(python, args.source), "load_start": load_average(),
              "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
              "options": {"runs": args.runs, "scale": args.scale, "records": args.records, "quick": args.quick},
              "skipped_configs": skipped}
    timed_workloads = [w for w in TIMED_WORKLOADS if w in workloads]
    if timed_workloads:
        report["timed"] = measure_timed(python, timed_workloads, configs, args.runs, args.scale)
        report["first"] = measure_first(python, args.runs, configs)
    if "build" in workloads:
        report["build"] = measure_build(python, max(1, args.runs), args.records)
    if "callgrind" in workloads:
        if shutil.which("valgrind"):
            report["callgrind"] = measure_callgrind(python, [w for w in CALLGRIND_WORKLOADS],
                                                    configs, 1.0 if not args.quick else 0.5)
        else:
            log("valgrind not found: no instruction counts")
    report["load_end"] = load_average()
    report["targets"] = check_targets(report.get("timed", {}), report.get("build"))
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(report, indent=1) + "\n")
    print(render(report))
    log(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
