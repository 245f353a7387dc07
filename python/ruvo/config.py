"""Settings from the ``[tool.ruvo]`` table of the user's pyproject.toml.

    [tool.ruvo]
    db = ".ruvo/ruvo.sqlite3"      # relative to the pyproject.toml
    include = ["myapp/vendor/"]    # always record files whose path contains these
    ignore = ["migrations/"]       # skip files whose path contains these
    threading = false              # also record threads started later
    lightweight-repr = false       # record type names only, one level deep
    trace-budget = "4M"            # most record bytes per trace ("none": no limit)
    backend = "monitoring"         # or "profile" (default: monitoring on Python 3.12+)
    busy-timeout = 60              # seconds a save waits for a database another process locked
    max-db-size = "2G"             # the database's cap: oldest runs go first ("none": no cap)

    [tool.ruvo.values]             # bounds of each recorded value (ruvo.serialize.configure)
    max_items = 100                # also max_depth, max_str_bytes, max_total_bytes,
                                   # object_depth, max_repr_chars, light_max_items, light_max_str
    use-repr = false               # objects by repr(), which runs the program's code

Command-line flags override these, and ``RUVO_DB`` overrides ``db``.  Without
either, or a flag, traces go to :func:`default_db_path`.  A database is a
file, or a PostgreSQL server's ``postgresql://`` URL (see :mod:`ruvo.db.postgres`).
"""

from __future__ import annotations

import os
import re
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional, Union


# Where traces go unless told otherwise, relative to the current directory.
DEFAULT_DB = Path(".ruvo", "ruvo.sqlite3")


# A trace database: a file, or a server's URL. A URL stays a string, since
# Path would fold its "//".
DbTarget = Union[Path, str]

SERVER_SCHEMES = ("postgresql://", "postgres://")


def is_server_url(target: object) -> bool:
    """Whether a database names a PostgreSQL server rather than a file."""
    return isinstance(target, str) and target.startswith(SERVER_SCHEMES)


def db_target(value: "str | os.PathLike[str]") -> DbTarget:
    """A database named by the user, as ruvo keeps it: a URL as it is, a file as a Path."""
    global _last
    if isinstance(value, Path):
        return value  # as kept already
    if value is _last[0]:
        return _last[1]  # a save per test passes the same text
    target = value if isinstance(value, str) and is_server_url(value) else Path(value)
    if type(value) is str:
        _last = (value, target)
    return target


_last: "tuple[object, DbTarget]" = ("", Path())


def default_db_path() -> DbTarget:
    """The database used when neither a setting nor an option names one:
    ``RUVO_DB`` if set, else the default file in the current directory."""
    from_environment = os.environ.get("RUVO_DB")
    if from_environment:
        return db_target(from_environment)
    return Path.cwd() / DEFAULT_DB


class SettingsError(ValueError):
    """The [tool.ruvo] table holds something ruvo cannot use."""


@dataclass
class Settings:
    db_path: Optional[DbTarget] = None
    include: list[str] = field(default_factory=list)
    ignore: list[str] = field(default_factory=list)
    threading: bool = False
    lightweight_repr: bool = False
    trace_budget: Optional[int] = None  # None: the profiler's default
    unbounded: bool = False  # trace-budget = "none"
    value_limits: dict = field(default_factory=dict)  # [tool.ruvo.values]
    backend: Optional[str] = None  # None: the profiler's default
    busy_timeout: Optional[int] = None  # seconds; None: the default (60 to save, 5 to read)
    max_db_size: Optional[int] = None  # None: the default cap
    uncapped: bool = False  # max-db-size = "none"
    source: Optional[Path] = None  # the pyproject.toml read, if any


def find_pyproject(start: Path) -> Optional[Path]:
    for directory in (start, *start.parents):
        candidate = directory / "pyproject.toml"
        if candidate.is_file():
            return candidate
    return None


def _strings(table: dict, key: str, path: Path) -> list[str]:
    value = table.get(key, [])
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise SettingsError(f"{path}: [tool.ruvo] {key} must be a list of strings")
    return list(value)


def _flag(table: dict, key: str, path: Path) -> bool:
    value = table.get(key, table.get(key.replace("-", "_"), False))
    if not isinstance(value, bool):
        raise SettingsError(f"{path}: [tool.ruvo] {key} must be true or false")
    return value


_SIZE = re.compile(r"(\d+)\s*([kmg]?)i?b?", re.IGNORECASE)


# The native profiler counts record bytes in 64 bits.
MAX_SIZE = 2**63 - 1


def parse_size(text: str | int) -> Optional[int]:
    """A byte count from ``16M``, ``512k``, ``1G`` or a plain number; None for
    ``none`` (no limit). Raises ValueError for anything else, 0 included: a
    budget of nothing would record nothing."""
    if isinstance(text, int) and not isinstance(text, bool):
        return _checked_size(text, repr(text))
    if not isinstance(text, str):
        raise ValueError(f"not a size: {text!r}")
    if text.strip().lower() in ("none", "unlimited"):
        return None
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"not a size: {text!r} (try 16M, 512k or none)")
    value = int(match.group(1)) * {"": 1, "k": 2**10, "m": 2**20, "g": 2**30}[match.group(2).lower()]
    return _checked_size(value, repr(text))


def _checked_size(value: int, shown: str) -> int:
    if value <= 0:
        raise ValueError(f"not a size: {shown} (more than 0 is needed; none for no limit)")
    if value > MAX_SIZE:
        raise ValueError(f"not a size: {shown} (too large: at most 8589934591G; none for no limit)")
    return value


def _size_setting(table: dict, name: str, path: Path) -> tuple[Optional[int], bool]:
    """A size setting (spelt with - or _): its bytes, and whether it says
    "none"; (None, False) when it is not set."""
    raw = table.get(name, table.get(name.replace("-", "_")))
    if raw is None:
        return None, False
    try:
        size = parse_size(raw)
    except ValueError as error:
        raise SettingsError(f"{path}: [tool.ruvo] {name}: {error}") from None
    return size, size is None


def load_settings(start: Optional[Path] = None) -> Settings:
    """The settings of the project containing `start` (default: the current directory)."""
    pyproject = find_pyproject((start or Path.cwd()).resolve())
    if pyproject is None:
        from_environment = os.environ.get("RUVO_DB")
        return Settings(db_path=db_target(from_environment) if from_environment else None)
    try:
        with pyproject.open("rb") as file:
            document = tomllib.load(file)
    except (OSError, tomllib.TOMLDecodeError) as error:
        raise SettingsError(f"{pyproject}: {error}") from error
    table = document.get("tool", {}).get("ruvo", {})
    if not isinstance(table, dict):
        raise SettingsError(f"{pyproject}: [tool.ruvo] must be a table")
    unknown = set(table) - {"db", "include", "ignore", "threading", "lightweight-repr", "lightweight_repr",
                            "trace-budget", "trace_budget", "values", "backend", "busy-timeout", "busy_timeout",
                            "max-db-size", "max_db_size"}
    if unknown:
        raise SettingsError(f"{pyproject}: unknown [tool.ruvo] setting(s): {', '.join(sorted(unknown))}")
    db = table.get("db")
    if db is not None and not isinstance(db, str):
        raise SettingsError(f"{pyproject}: [tool.ruvo] db must be a string")
    backend = table.get("backend")
    if backend is not None and backend not in ("profile", "monitoring", "auto"):
        raise SettingsError(f'{pyproject}: [tool.ruvo] backend must be "profile", "monitoring" or "auto"')
    busy_timeout = table.get("busy-timeout", table.get("busy_timeout"))
    if busy_timeout is not None and (not isinstance(busy_timeout, int) or isinstance(busy_timeout, bool)
                                     or not 0 <= busy_timeout <= 86400):
        raise SettingsError(f"{pyproject}: [tool.ruvo] busy-timeout must be a number of seconds from 0 to 86400")
    budget, unbounded = _size_setting(table, "trace-budget", pyproject)
    max_db_size, uncapped = _size_setting(table, "max-db-size", pyproject)
    values = table.get("values", {})
    if isinstance(values, dict):
        values = {key.replace("-", "_"): value for key, value in values.items()}
    if not isinstance(values, dict) or not all(
            isinstance(v, bool) if k == "use_repr" else isinstance(v, int) and not isinstance(v, bool)
            for k, v in values.items()):
        raise SettingsError(f"{pyproject}: [tool.ruvo.values] must be a table of integers (use-repr: true or false)")
    from .serialize import LIMIT_NAMES

    unknown_limits = sorted(set(values) - set(LIMIT_NAMES))
    if unknown_limits:
        raise SettingsError(f"{pyproject}: unknown [tool.ruvo.values] limit(s): {', '.join(unknown_limits)}")
    from_environment = os.environ.get("RUVO_DB")
    return Settings(
        value_limits=dict(values),
        db_path=db_target(from_environment) if from_environment else
        (db if is_server_url(db) else pyproject.parent / db) if db else None,
        trace_budget=budget,
        unbounded=unbounded,
        include=_strings(table, "include", pyproject),
        ignore=_strings(table, "ignore", pyproject),
        threading=_flag(table, "threading", pyproject),
        lightweight_repr=_flag(table, "lightweight-repr", pyproject),
        backend=backend,
        busy_timeout=busy_timeout,
        max_db_size=max_db_size,
        uncapped=uncapped,
        source=pyproject,
    )


def budget_from(settings: Settings, flag: Optional[str], default: Optional[int] = None) -> Optional[int]:
    """The trace budget a command uses: its flag, else [tool.ruvo], else
    ``default``, else the profiler's default. None means no limit."""
    from .profiler import DEFAULT_TRACE_BUDGET

    if flag is not None:
        return parse_size(flag)
    if settings.unbounded:
        return None
    return settings.trace_budget or default or DEFAULT_TRACE_BUDGET


def db_cap_from(settings: Settings, flag: Optional[str]) -> Optional[int]:
    """The database's size cap: the flag, else [tool.ruvo], else the
    default. None means no cap."""
    from .db.runs import DEFAULT_MAX_BYTES

    if flag is not None:
        return parse_size(flag)
    if settings.uncapped:
        return None
    return settings.max_db_size or DEFAULT_MAX_BYTES


def apply_value_limits(settings: Settings) -> None:
    """Set the [tool.ruvo.values] bounds on both value encoders."""
    if settings.value_limits:
        from .serialize import configure

        try:
            configure(**settings.value_limits)
        except ValueError as error:
            raise SettingsError(f"{settings.source}: [tool.ruvo.values]: {error}") from None
