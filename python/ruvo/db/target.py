"""Where a database is: a SQLite file, or a PostgreSQL server named by its
URL. The public functions of :mod:`ruvo.db` take either; those that read or
manage a database are marked :func:`server_dispatch`, and hand a URL to the
function of the same name in :mod:`ruvo.db.postgres`."""

from __future__ import annotations

import functools
import hashlib
import os
import re
from pathlib import Path
from typing import Callable, TypeVar

from ..config import DbTarget, db_target, is_server_url

__all__ = ["DbTarget", "db_target", "is_server_url", "server_dispatch", "shown", "spill_place"]

_F = TypeVar("_F", bound=Callable)


def server_dispatch(function: _F) -> _F:
    """Send calls whose first argument is a server URL to the PostgreSQL
    store's function of the same name (imported only then: psycopg is optional)."""
    name = function.__name__

    @functools.wraps(function)
    def dispatching(db_path, *args, **kwargs):
        if is_server_url(db_path):
            from . import postgres

            return getattr(postgres, name)(db_path, *args, **kwargs)
        return function(db_path, *args, **kwargs)

    return dispatching  # type: ignore[return-value]


_PASSWORD = re.compile(r"(://[^:/@]*:)[^@/]*@")


def shown(target: object) -> str:
    """A database as it may be printed: a URL without its password."""
    text = os.fspath(target) if isinstance(target, os.PathLike) else str(target)
    return _PASSWORD.sub(r"\1***@", text) if is_server_url(text) else text


def spill_dir() -> Path:
    """Where documents a server could not take wait on this machine: under
    ``RUVO_SPILL_DIR``, else ``.ruvo/spill/`` of the current directory."""
    configured = os.environ.get("RUVO_SPILL_DIR")
    return Path(configured) if configured else Path.cwd() / ".ruvo" / "spill"


def spill_place(target: "str | os.PathLike[str]") -> tuple[Path, str]:
    """The directory of a database's spilled and queued documents, and the
    prefix of their names: beside a file, named for it; for a server, in the
    local spill directory, named for its host and database (never the password)."""
    if is_server_url(target):
        url = str(target)
        _, _, rest = url.partition("://")
        place = rest.rpartition("@")[2].split("?", 1)[0]
        readable = re.sub(r"[^A-Za-z0-9_.-]", "_", place)[:60] or "server"
        # Two URLs reading alike (another user, another port) get files of their own.
        digest = hashlib.sha256(_PASSWORD.sub(r"\1@", url).encode()).hexdigest()[:8]
        return spill_dir(), f"pg-{readable}-{digest}"
    path = Path(target)
    return path.parent, path.name

