"""Settings from the ``[tool.ruvo]`` table of the user's pyproject.toml.

    [tool.ruvo]
    db = ".ruvo/ruvo.sqlite3"      # relative to the pyproject.toml
    include = ["myapp/vendor/"]    # always record files whose path contains these
    ignore = ["migrations/"]       # skip files whose path contains these
    threading = false              # also record threads started later
    lightweight-repr = false       # record type names instead of reprs

Command-line flags override these.  Without a ``db`` setting or flag, traces
go to :func:`default_db_path`.
"""

from __future__ import annotations

import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional


# Where traces go unless told otherwise, relative to the current directory.
DEFAULT_DB = Path(".ruvo", "ruvo.sqlite3")


def default_db_path() -> Path:
    """The database used when neither a setting nor an option names one."""
    return Path.cwd() / DEFAULT_DB


class SettingsError(ValueError):
    """The [tool.ruvo] table holds something ruvo cannot use."""


@dataclass
class Settings:
    db_path: Optional[Path] = None
    include: list[str] = field(default_factory=list)
    ignore: list[str] = field(default_factory=list)
    threading: bool = False
    lightweight_repr: bool = False
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


def load_settings(start: Optional[Path] = None) -> Settings:
    """The settings of the project containing `start` (default: the current directory)."""
    pyproject = find_pyproject((start or Path.cwd()).resolve())
    if pyproject is None:
        return Settings()
    try:
        with pyproject.open("rb") as file:
            document = tomllib.load(file)
    except (OSError, tomllib.TOMLDecodeError) as error:
        raise SettingsError(f"{pyproject}: {error}") from error
    table = document.get("tool", {}).get("ruvo", {})
    if not isinstance(table, dict):
        raise SettingsError(f"{pyproject}: [tool.ruvo] must be a table")
    unknown = set(table) - {"db", "include", "ignore", "threading", "lightweight-repr", "lightweight_repr"}
    if unknown:
        raise SettingsError(f"{pyproject}: unknown [tool.ruvo] setting(s): {', '.join(sorted(unknown))}")
    db = table.get("db")
    if db is not None and not isinstance(db, str):
        raise SettingsError(f"{pyproject}: [tool.ruvo] db must be a string")
    return Settings(
        db_path=(pyproject.parent / db) if db else None,
        include=_strings(table, "include", pyproject),
        ignore=_strings(table, "ignore", pyproject),
        threading=_flag(table, "threading", pyproject),
        lightweight_repr=_flag(table, "lightweight-repr", pyproject),
        source=pyproject,
    )
