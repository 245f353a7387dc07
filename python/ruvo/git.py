"""The commit checked out where the program runs, read straight from ``.git``.

``COMMIT_SHA`` is the hex name of the commit that ``HEAD`` points at in the
git working tree containing the current directory when this module was
imported, or None (not in a work tree, unborn branch, unreadable or unknown
layout).  Traces record it so a trace can be matched with its code.

Profiled programs import this, so it never runs ``git``, only reads a few
small files, and never raises.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

__all__ = ["COMMIT_SHA", "commit_sha"]

_SHA = re.compile(r"[0-9a-f]{40}|[0-9a-f]{64}")  # SHA-1, or SHA-256 repositories
# Refs that live in a worktree's own git dir rather than the common one.
_PER_WORKTREE = ("HEAD", "refs/bisect/", "refs/worktree/", "refs/rewritten/")
_MAX_SMALL_FILE = 64 * 1024
_MAX_SYMREF_HOPS = 5


def commit_sha(start_dir: str | os.PathLike | None = None) -> str | None:
    """The commit HEAD points at in the work tree containing ``start_dir``
    (default: the current directory), or None."""
    try:
        start = Path(start_dir) if start_dir is not None else Path.cwd()
        git_dir = _find_git_dir(start.absolute())
        if git_dir is None:
            return None
        common_dir = _common_dir(git_dir)
        head = _read_small(git_dir / "HEAD")
        return _resolve(head, git_dir, common_dir) if head is not None else None
    except Exception:
        return None


def _read_small(path: Path) -> str | None:
    """The text of a small regular file, stripped; None if it is anything else."""
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_SMALL_FILE + 1)
    except OSError:
        return None
    if len(data) > _MAX_SMALL_FILE:
        return None
    try:
        return data.decode("utf-8").strip()
    except UnicodeDecodeError:
        return None


def _find_git_dir(start: Path) -> Path | None:
    for directory in (start, *start.parents):
        dot_git = directory / ".git"
        if dot_git.is_dir():
            return dot_git
        if dot_git.is_file():
            # Worktrees and submodules: "gitdir: <path>", relative to the file.
            text = _read_small(dot_git)
            if text is None or not text.startswith("gitdir:"):
                return None
            target = Path(text[len("gitdir:") :].strip())
            git_dir = target if target.is_absolute() else directory / target
            return git_dir if git_dir.is_dir() else None
    return None


def _common_dir(git_dir: Path) -> Path:
    """Where shared refs live: the main git dir, for a linked worktree."""
    text = _read_small(git_dir / "commondir")
    if not text:
        return git_dir
    target = Path(text)
    common = target if target.is_absolute() else git_dir / target
    return common if common.is_dir() else git_dir


def _resolve(head: str, git_dir: Path, common_dir: Path) -> str | None:
    text = head
    for _ in range(_MAX_SYMREF_HOPS):
        if _SHA.fullmatch(text):
            return text
        if not text.startswith("ref:"):
            return None
        ref = text[len("ref:") :].strip()
        if not _safe_ref(ref):
            return None
        target = _read_ref(ref, git_dir, common_dir)
        if target is None:
            return None  # unborn branch, or a ref format we do not read
        text = target
    return None


def _safe_ref(ref: str) -> bool:
    # Ref names never hold these; refusing them keeps reads inside .git.
    if not ref or ref.startswith("/") or "\\" in ref or "\0" in ref:
        return False
    return all(part not in ("", ".", "..") for part in ref.split("/"))


def _read_ref(ref: str, git_dir: Path, common_dir: Path) -> str | None:
    """A ref's content: its loose file, else its packed-refs line."""
    own = git_dir if ref.startswith(_PER_WORKTREE) else common_dir
    for directory in dict.fromkeys((own, git_dir, common_dir)):
        text = _read_small(directory / ref)
        if text is not None:
            return text
    return _packed_ref(common_dir / "packed-refs", ref)


def _packed_ref(path: Path, ref: str) -> str | None:
    try:
        with open(path, "rb") as f:
            for raw in f:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                # "# pack-refs with: ..." headers; "^<sha>" peels the tag above.
                if not line or line.startswith(("#", "^")):
                    continue
                sha, _, name = line.partition(" ")
                if name == ref:
                    return sha if _SHA.fullmatch(sha) else None
    except OSError:
        return None
    return None


COMMIT_SHA: str | None = commit_sha()
