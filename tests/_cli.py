"""Running the ruvo command in a child process, as a user would."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path


def child_env(**extra: str) -> dict:
    env = dict(os.environ)
    # The child imports the very package under test, wherever it lives.
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in sys.path if entry)
    env.pop("NO_COLOR", None)
    env.update(extra)
    return env


def ruvo(cwd: Path, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "ruvo", *args],
        cwd=cwd,
        env=child_env(),
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )


def write(path: Path, source: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source).lstrip("\n"))
    return path


SAVED = re.compile(r"^ruvo: saved trace (trc_[0-9A-Z]{26}) to (.+)$", re.MULTILINE)


def saved_trace_id(result: subprocess.CompletedProcess) -> str:
    match = SAVED.search(result.stderr)
    assert match, result.stderr
    return match.group(1)


def frame_names(document: dict) -> list[str]:
    """Qualified names of the call records of every thread, in order."""
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return [r["qualname"] for r in records if r["type"] == "frame" and r["event"] == "call"]
