"""The benchmark harness runs and writes a well-formed report (tiny sizes;
nothing here checks timings: they are measured by benchmarks/run.py only)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench") / "report.json"
    completed = subprocess.run(
        [sys.executable, str(BENCHMARKS / "run.py"), "--no-venv", "--python", sys.executable, "--quick",
         "--runs", "1", "--scale", "0.01", "--records", "3000",
         "--workloads", "library,app,mixed,native,build", "--configs", "none,floor,ruvo,ruvo-light,cprofile",
         "--out", str(out)],
        capture_output=True, text=True, timeout=600,
        # Children run in temporary directories: the package must be found from there.
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(map(os.path.abspath, sys.path))))
    assert completed.returncode == 0, completed.stderr
    return json.loads(out.read_text()), completed.stdout


def test_every_workload_and_config_is_reported(report):
    data, _ = report
    assert set(data["timed"]) == {"library", "app", "mixed", "native"}
    for result in data["timed"].values():
        assert result["calls"] > 0
        assert set(result["configs"]) == {"none", "floor", "ruvo", "ruvo-light", "cprofile"}
        for config, row in result["configs"].items():
            assert len(row["samples"]) == 1
            assert row["median_seconds"] > 0
            assert row["ratio_none"] == pytest.approx(1.0) if config == "none" else row["ratio_none"] > 0
            assert row["ratio_floor"] == pytest.approx(1.0) if config == "floor" else row["ratio_floor"] > 0


def test_ruvo_records_what_the_workloads_promise(report):
    data, _ = report
    timed = data["timed"]
    # The library workload records only its own entry point; the app
    # workload records every call and return.
    assert timed["library"]["configs"]["ruvo"]["records"] == 2
    assert timed["library"]["user_calls"] == 1
    for workload in ("app", "native"):
        result = timed[workload]
        assert result["user_calls"] == result["calls"]
        assert result["configs"]["ruvo"]["records"] == 2 * result["calls"]
    mixed = timed["mixed"]
    assert 0 < mixed["user_calls"] < mixed["calls"]
    assert mixed["configs"]["ruvo"]["records"] == 2 * mixed["user_calls"]


def test_build_and_targets_are_reported(report):
    data, stdout = report
    build = data["build"]
    assert build["records"] > 1000
    assert build["document_bytes"] > build["records"]
    assert build["build_mb_per_s"] > 0 and build["copy_mb_per_s"] > 0
    assert build["encoded_per_record"] == pytest.approx(build["document_bytes"] / build["records"], rel=0.05)
    assert set(data["targets"]) == {"library", "native", "build_throughput", "build_memory"}
    for target in data["targets"].values():
        assert isinstance(target["met"], bool) and target["ratio"] > 0
    assert data["first"]["ruvo"]["median_seconds"] > 0
    assert data["machine"]["cores"] >= 1
    for heading in ("workload", "build:", "targets"):
        assert heading in stdout


def test_markdown_tables(report):
    data, _ = report
    completed = subprocess.run([sys.executable, str(BENCHMARKS / "run.py"), "--markdown", "-"],
                               input=json.dumps(data), capture_output=True, text=True)
    assert completed.returncode == 0, completed.stderr
    for heading in ("| config | library | app | mixed | native |", "| target | measured | ratio | met |"):
        assert heading in completed.stdout


def test_callgrind_parsing(tmp_path):
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import callgrind_top
        import run
    finally:
        sys.path.remove(str(BENCHMARKS))
    out = tmp_path / "callgrind.out"
    out.write_text("version: 1\ncreator: callgrind-3.19.0\nevents: Ir\nsummary: 12345\ntotals: 12345\n")
    assert run.callgrind_total(out) == 12345
    entry = ("/work/src/profiler.cpp:ruvo::(anonymous namespace)::process_frame(ruvo::ProfilerState&, "
             "_object*)'2 [/venv/lib/python3.11/site-packages/ruvo/_ruvo.cpython-311-x86_64-linux-gnu.so]")
    assert callgrind_top.split_entry(entry) == ("ruvo::{anon}::process_frame'2",
                                                "_ruvo.cpython-311-x86_64-linux-gnu.so")
    assert callgrind_top.split_entry("???:malloc") == ("malloc", "")
