"""What can go wrong with a trace database, as the callers see it."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path


class TraceNotSaved(Exception):
    """The database could not be written.  ``spill_path`` is the file that
    holds the document instead, or None when even that could not be written."""

    def __init__(self, message: str, *, trace_id: str, db_path: "Path | str", spill_path: Path | None) -> None:
        super().__init__(message)
        self.trace_id = trace_id
        self.db_path = db_path
        self.spill_path = spill_path


class SaveInterrupted(KeyboardInterrupt):
    """Ctrl-C while a save waited for the database: the document was written
    beside it first (``spill_path``; None if that failed too)."""

    def __init__(self, trace_id: str, spill_path: Path | None) -> None:
        super().__init__()
        self.trace_id = trace_id
        self.spill_path = spill_path


class TraceNotFound(LookupError):
    """No such trace, or no traces at all (missing or empty database)."""


class TraceUnreadable(ValueError):
    """A stored document is not a trace document that can be decoded."""


class TraceDamaged(TraceUnreadable):
    """A stored trace is not one ruvo can draw; the message, one line, says
    which trace and what is wrong with it."""


class DatabaseUnusable(ValueError):
    """The file is not a database ruvo may read or write: another program's
    SQLite file, one made by a newer ruvo, or one that cannot be read at all
    (not a database, damaged, locked).  Nothing in it was changed."""


@dataclass(frozen=True)
class TraceRow:
    """One stored document.  Summary fields are None when it did not decode."""

    row_id: int
    trace_id: str
    saved_at: float
    started_at: float | None
    source: str | None
    test_nodeid: str | None
    records: int | None
    threads: int | None
    size: int
    left_out: str | None = None  # what recording left out, when it did
    outcome: str | None = None  # a test's: passed, failed, skipped
    run_id: int | None = None  # None: saved before runs were kept
    stored: int | None = None  # bytes on disk (compressed), when known
