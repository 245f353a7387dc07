"""The two backends give the same trace: small programs (generators, asyncio,
threads, a profiler per thread, exceptions, pause and resume, nested profilers, the program's own
profile function, stop while a thread runs) each run in a fresh process under
either backend, compared record by record with ids, times and addresses
masked. On 3.11, with only the profile function, every call has at most
one return and every return at most one call."""

import collections
import json
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).parent / "scripts" / "agree_corpus.py"
PROGRAMS = ["a_profiler_per_thread", "generators", "asyncio_program", "threads", "exceptions", "pause_resume", "nested",
            "restored_profile_function", "decorated", "callbacks", "own_profile_function",
            "stopped_while_a_thread_runs"]


def traces(program, backend):
    run = subprocess.run([sys.executable, str(SCRIPT), program, backend], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    return json.loads(run.stdout)


def paired(trace):
    """Every call at most one return, every return with an id at most one call."""
    for records in [trace["main"], *trace["threads"].values()]:
        calls = collections.Counter(r["frame_id"] for r in records if r["event"] == "call")
        returns = collections.Counter(r["frame_id"] for r in records if r["event"] == "return" and r["frame_id"])
        if any(n > 1 for n in calls.values()) or any(n > 1 or i not in calls for i, n in returns.items()):
            return False
    return True


@pytest.mark.parametrize("program", PROGRAMS)
def test_backends_agree(program):
    profile = traces(program, "profile")
    assert profile and all(paired(trace) for trace in profile)
    assert any(trace["main"] or trace["threads"] for trace in profile)
    if sys.version_info >= (3, 12):
        assert traces(program, "monitoring") == profile
