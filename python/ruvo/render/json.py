"""A trace as plain JSON: the decoded document, with what JSON cannot hold
turned into text.  The other file exports use :func:`json_safe` for the
values they carry and :func:`write_json` to write themselves.
"""

from __future__ import annotations

import json
import math
from typing import IO, Optional

__all__ = ["json_safe", "to_json", "write_json"]

_MAX_DEPTH = 64


def json_safe(value: object, _depth: int = 0) -> object:
    """``value`` with everything JSON cannot hold turned into its repr:
    markers, bytes, non-finite floats; map keys become strings."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if _depth >= _MAX_DEPTH:
        return repr(value)[:200]
    if isinstance(value, dict):
        return {_json_key(key): json_safe(item, _depth + 1) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(item, _depth + 1) for item in value]
    return repr(value)


def _json_key(key: object) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key) if not isinstance(key, float) or math.isfinite(key) else repr(key)
    return repr(key)


def to_json(document: dict) -> dict:
    """The decoded document as JSON-safe data."""
    safe = json_safe(document)
    assert isinstance(safe, dict)
    return safe


def write_json(data: object, file: IO[str], *, indent: Optional[int] = None) -> None:
    separators = (",", ":") if indent is None else (",", ": ")
    json.dump(data, file, ensure_ascii=False, allow_nan=False, indent=indent, separators=separators)
    file.write("\n")
