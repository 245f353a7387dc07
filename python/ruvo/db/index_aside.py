"""Value index entries built beside the program, in a process of their own.

A pytest session's writer thread stores the traces as the tests run and
leaves their index entries for later, because building them in the
session's process takes its interpreter lock from the tests. Here they are
built by a helper process on another core as the batches are stored, so
that the session's end waits only for the last batch.

The helper reads its work from standard input, one JSON line each: first
the database, its size cap and the session's run, then the trace ids of
each stored batch, then an end mark. It answers the end mark with one JSON
line, what retention removed to keep the cap, and exits. Whatever it leaves
undone (it could not start, failed, or was stopped), the writer indexes
itself: indexing skips the traces that have their entries.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
from pathlib import Path
from typing import IO, Any, Optional

from .target import DbTarget

_END = {"end": True}


class IndexAside:
    """The writer's helper process. Every failure turns it off: ``send``
    then returns False, and ``finish`` too."""

    def __init__(self, target: DbTarget, timeout: float) -> None:
        from . import runs

        run = runs.current_run(target)
        # Coverage measuring subprocesses would count this one as the program's.
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith(("COV_CORE_", "COVERAGE_"))}
        package_root = str(Path(__file__).resolve().parents[2])
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, environment.get("PYTHONPATH")]))
        self.process: Optional[subprocess.Popen] = subprocess.Popen(
            [sys.executable, "-m", "ruvo.db.index_aside"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, env=environment, close_fds=True)
        self.send_json({"db": os.fspath(target), "max_bytes": runs.max_bytes_of(target), "timeout": timeout,
                        "run": [run.key, run.kind, run.command, run.commit]})

    def send_json(self, message: dict) -> bool:
        process = self.process
        if process is None or process.stdin is None:
            return False
        try:
            process.stdin.write(json.dumps(message).encode() + b"\n")
            process.stdin.flush()
            return True
        except (OSError, ValueError):
            self.stop()
            return False

    def send(self, trace_ids: list[str]) -> bool:
        return self.send_json({"traces": trace_ids})

    def finish(self, hurry: threading.Event) -> Optional[tuple[int, int]]:
        """Wait until the helper has indexed everything sent; what retention
        removed meanwhile (traces, runs), or None if it did not get through."""
        process = self.process
        answers = process.stdout if process is not None else None
        if answers is None or not self.send_json(_END):
            return None
        answer: list[bytes] = []
        # Read in a thread of its own, so that a hurry stops the wait.
        reader = threading.Thread(target=lambda: answer.append(answers.readline()), daemon=True)
        reader.start()
        while reader.is_alive():
            if hurry.wait(0.05):
                self.stop()
                return None
        try:
            removed: Any = json.loads(answer[0])["removed"]
            traces, runs = int(removed[0]), int(removed[1])
        except (ValueError, KeyError, TypeError, IndexError):
            self.stop()
            return None
        self._close()
        return traces, runs

    def stop(self) -> None:
        process = self.process
        if process is not None:
            try:
                process.kill()
            except OSError:
                pass
            self._close()

    def _close(self) -> None:
        process, self.process = self.process, None
        if process is None:
            return
        for stream in (process.stdin, process.stdout):
            try:
                if stream is not None:
                    stream.close()
            except OSError:
                pass
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def _serve(requests: IO[bytes], answers: IO[bytes]) -> int:
    from . import runs, store
    from .target import db_target

    first = json.loads(requests.readline())
    target = db_target(first["db"])
    runs.set_max_bytes(target, first["max_bytes"])
    key, kind, command, commit = first["run"]
    runs.begin_run(target, kind, command=command, key=key, commit=commit)
    timeout = float(first["timeout"])
    writer_store = store.store_for(target)
    for line in requests:
        message = json.loads(line)
        if message.get("end"):
            removed = store.removed_so_far()
            answers.write(json.dumps({"removed": [removed.traces, removed.runs]}).encode() + b"\n")
            answers.flush()
            return 0
        writer_store.index_later(list(message["traces"]), timeout)
    return 1  # the writer went away without its end mark


if __name__ == "__main__":
    import signal

    # Ctrl-C at the terminal reaches the whole process group: the writer
    # decides when this one stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.exit(_serve(sys.stdin.buffer, sys.stdout.buffer))
