"""Documents that could not be stored: written to files beside the
database, counted, and found and imported later."""

from __future__ import annotations

import dataclasses
import json
import os
import re
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from ..summary import Summary, summarize
from . import runs
from .errors import DatabaseUnusable, TraceNotSaved, TraceUnreadable
from .runs import RunInfo
from .store import DEFAULT_TIMEOUT, Row, removed_so_far, store_for
from .target import DbTarget, db_target, shown, spill_place


@dataclass(frozen=True)
class SaveCounts:
    """What became of the documents this process saved: stored in a
    database, spilled to these files, or lost (not even a file)."""

    saved: int = 0
    spilled: tuple[Path, ...] = ()
    lost: int = 0
    # What retention removed to keep the databases under their caps.
    removed_traces: int = 0
    removed_runs: int = 0

    def since(self, earlier: "SaveCounts") -> "SaveCounts":
        return SaveCounts(self.saved - earlier.saved, self.spilled[len(earlier.spilled):], self.lost - earlier.lost,
                          self.removed_traces - earlier.removed_traces, self.removed_runs - earlier.removed_runs)


class _Tally:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._counts = SaveCounts()

    def add(self, *, saved: int = 0, spilled: Path | None = None, lost: int = 0) -> None:
        with self._lock:
            counts = self._counts
            self._counts = SaveCounts(counts.saved + saved, counts.spilled + ((spilled,) if spilled else ()),
                                      counts.lost + lost)

    def get(self) -> SaveCounts:
        with self._lock:
            return self._counts


tally = _Tally()


def save_counts() -> SaveCounts:
    """Every save of this process so far, direct or batched (queued
    documents count once written: :func:`flush` first)."""
    counts, removed = tally.get(), removed_so_far()
    return dataclasses.replace(counts, removed_traces=removed.traces, removed_runs=removed.runs)


def spill_counted(path: DbTarget, trace_id: str, document: bytes, error: Exception) -> None:
    try:
        _spill(path, trace_id, document, error)
    except TraceNotSaved as not_saved:
        tally.add(spilled=not_saved.spill_path, lost=0 if not_saved.spill_path else 1)
        raise


def log_not_saved(describe: str | None) -> None:
    if describe is not None:
        import logging

        logging.getLogger("ruvo").exception("ruvo: could not save %s", describe)


_UNSAFE_NAME_CHARS = re.compile(r"[^A-Za-z0-9_.-]")


def spill_file(path: DbTarget, trace_id: str, document: bytes) -> tuple[Path | None, Exception | None]:
    """Write the document beside the database (a server's: in the local
    spill directory), in a file named for the database and the trace: the
    file, or None and what stopped it."""
    directory, name = spill_place(path)
    stem = _UNSAFE_NAME_CHARS.sub("_", trace_id)[:100] or "trace"
    millis = time.time_ns() // 1_000_000
    try:
        directory.mkdir(parents=True, exist_ok=True)
        spilled = _write_new_file(directory, f"{name}.{stem}-{millis}", document)
    except Exception as spill_error:
        return None, spill_error
    write_run_of(spilled, path)
    return spilled, None


# Beside each spilled or queue file, the run its documents were saved in
# (the RunInfo as JSON), so that an import stores them there, not in the
# importing command's run. Written after the file and removed before it: a
# file without one (a crash in between, an older ruvo) goes into the
# importing run, as it did before runs were kept.
RUN_SUFFIX = ".run"


def _run_file(file: Path) -> Path:
    return file.with_name(file.name + RUN_SUFFIX)


def write_run_of(file: Path, target: DbTarget) -> None:
    """Note the current run of this process's saves in ``target`` beside the
    file (never fails: without it, only the run is forgotten)."""
    try:
        data = json.dumps(dataclasses.asdict(runs.current_run(target))).encode()
        fd = os.open(_run_file(file), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        with os.fdopen(fd, "wb") as out:
            out.write(data)
    except Exception:
        remove_run_of(file)


def run_of(file: Path) -> RunInfo | None:
    """The run noted beside the file; None when none is, or it is damaged."""
    try:
        fields = json.loads(_run_file(file).read_bytes())
        info = RunInfo(**fields)
    except (OSError, ValueError, TypeError):
        return None
    texts = (info.key, info.kind, info.command)
    if not all(isinstance(text, str) for text in texts) or not info.key or \
            not isinstance(info.commit, (str, type(None))) or \
            not isinstance(info.started_at, (int, float)) or isinstance(info.started_at, bool):
        return None
    return info


def remove_run_of(file: Path) -> None:
    try:
        os.unlink(_run_file(file))
    except OSError:
        pass


def _spill(path: DbTarget, trace_id: str, document: bytes, error: Exception) -> None:
    """Write the document beside the database, then raise TraceNotSaved."""
    spill_path, spill_error = spill_file(path, trace_id, document)
    if spill_path is None:
        raise TraceNotSaved(
            f"trace {trace_id} could not be saved in {shown(path)} ({_reason(error)}), nor written beside it "
            f"({_reason(spill_error)})",
            trace_id=trace_id,
            db_path=path,
            spill_path=None,
        ) from error
    raise TraceNotSaved(
        f"trace {trace_id} could not be saved in {shown(path)} ({_reason(error)}); it was written to {spill_path}",
        trace_id=trace_id,
        db_path=path,
        spill_path=spill_path,
    ) from error


def _reason(error: BaseException | None) -> str:
    # A refusal says it all in its message; SQLite's and the system's errors keep their type.
    return str(error) if isinstance(error, DatabaseUnusable) else repr(error)


def _write_new_file(directory: Path, base: str, data: bytes) -> Path:
    """Write ``data`` to a file that did not exist before; never overwrite."""
    for attempt in range(1000):
        candidate = directory / (f"{base}.msgpack" if attempt == 0 else f"{base}-{attempt}.msgpack")
        try:
            fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except FileExistsError:
            continue
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
        except BaseException:
            try:
                os.unlink(candidate)
            except OSError:
                pass
            raise
        return candidate
    raise FileExistsError(f"no free file name for {base} in {directory}")


# --- spilled documents ---------------------------------------------------------


def _process_alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # someone else's process
    return True


def spilled_files(db_path: str | os.PathLike) -> list[Path]:
    """Documents spilled beside the database and not imported yet, oldest
    first: the files named for this database, and the queue files left by
    processes that ended before storing them (not those of live ones)."""
    directory, name = spill_place(db_path)
    prefix = name + "."
    found = []
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return []
    for entry in entries:
        name = entry.name
        if not name.startswith(prefix):
            continue
        if name.endswith(".queue"):
            pid = name[len(prefix):].split("-", 1)[0]
            if not pid.isdigit() or _process_alive(int(pid)):
                continue
        elif not name.endswith(".msgpack"):
            continue
        try:
            # Another command may be importing (and removing) them meanwhile.
            if not entry.is_file():
                continue
            found.append((entry.stat().st_mtime, name, Path(entry.path)))
        except OSError:
            continue
    return [file for _, _, file in sorted(found)]


@dataclass(frozen=True)
class Imported:
    trace_id: str
    summary: Summary | None
    new: bool  # False: the same document was stored already


def import_spilled(db_path: str | os.PathLike, file: str | os.PathLike, *, timeout: float = DEFAULT_TIMEOUT,
                   keep: bool = False) -> list[Imported]:
    """Store the documents of a spilled (or queue) file in the database, each
    at most once and in the run they were saved in when that is known
    (else in the current one), then remove the file (unless ``keep``).  Raises
    :class:`TraceUnreadable` for a file that is not made of trace documents
    (nothing is stored then), :class:`DatabaseUnusable` or the database's
    own error when it cannot be written (the file stays)."""
    from ..checks import DocumentDamaged, check_encoded

    file = Path(file)
    data = file.read_bytes()
    documents = _documents_of(data, partial_tail=file.suffix == ".queue")
    if not documents:
        raise TraceUnreadable(f"{file} is not a trace document" + (" (it is empty)" if not data else ""))
    rows = []
    for document in documents:
        try:
            trace_id = check_encoded(document)
        except DocumentDamaged as error:
            raise TraceUnreadable(f"{file} is not a trace document: {error}") from None
        rows.append(Row(trace_id, time.time(), summarize(document), document))
    info = run_of(file)
    new = store_for(db_target(db_path)).write(rows, timeout, exact=True,
                                              run_infos=None if info is None else [info] * len(rows))
    if not keep:
        remove_run_of(file)
        try:
            file.unlink()
        except FileNotFoundError:
            pass  # another import took it at the same time
    return [Imported(row.trace_id, row.summary if isinstance(row.summary, Summary) else None, fresh)
            for row, fresh in zip(rows, new)]


def _documents_of(data: bytes, *, partial_tail: bool) -> list[bytes]:
    """The encoded documents a file holds, back to back.  A queue file's last
    one may be cut short (its process ended while writing it): it is left out."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    documents = []
    start = 0
    while start < len(data):
        try:
            unpacker.skip()
        except msgpack.OutOfData:
            if partial_tail:
                break
            raise TraceUnreadable("the file ends inside a document") from None
        except Exception as error:
            raise TraceUnreadable(f"it does not decode ({error})") from None
        end = unpacker.tell()
        documents.append(data[start:end])
        start = end
    if not partial_tail and len(documents) > 1:
        return []
    return documents
