"""One-line texts for durations, values and plugin records, shared by the
renderers: the text tree prints them, the timeline exports name their
events with them.
"""

from __future__ import annotations

from typing import Optional

from ..decode import Object, Omitted, Repr, Tuple, Typed, _short
from ..model import COMMON_FIELDS

__all__ = ["format_duration", "format_value", "format_locals", "describe_event"]


def format_duration(seconds: Optional[float]) -> str:
    """``?`` when unknown; µs below a millisecond, ms below a second."""
    if seconds is None:
        return "?"
    micros = seconds * 1e6
    if micros < 10:
        return f"{micros:.1f} µs"
    if micros < 1000:
        return f"{micros:.0f} µs"
    millis = seconds * 1e3
    if millis < 10:
        return f"{millis:.2f} ms"
    if millis < 1000:
        return f"{millis:.1f} ms"
    return f"{seconds:.2f} s"


def _clip(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: max(limit - 1, 0)] + "…"


def format_value(value: object, limit: int = 80, _depth: int = 0) -> str:
    """A compact, one-line rendering of a decoded value, at most ``limit`` chars."""
    if _depth > 6:
        return "…"
    if isinstance(value, Repr):
        text = value.text + ("…" if value.original_length is not None else "")
    elif isinstance(value, str):
        text = repr(value)
    elif isinstance(value, dict):
        parts = []
        for key, item in value.items():
            if isinstance(key, Omitted):
                parts.append(str(key))
                continue
            parts.append(f"{format_value(key, limit, _depth + 1)}: {format_value(item, limit, _depth + 1)}")
            if sum(map(len, parts)) > limit:
                break
        text = "{" + ", ".join(parts) + "}"
    elif isinstance(value, Object):
        parts = []
        for name, item in value.attributes.items():
            parts.append(str(name) if isinstance(name, Omitted) else f"{name}={format_value(item, limit, _depth + 1)}")
            if sum(map(len, parts)) > limit:
                break
        text = f"{_short(value.type_name)}(" + ", ".join(parts) + ")"
    elif isinstance(value, Typed) and isinstance(value.value, (list, dict)):
        inner = format_value(value.value, limit, _depth + 1)
        if isinstance(value.value, list):
            inner = inner[1:-1]
            if value.type_name in ("set", "frozenset"):
                inner = "{" + inner + "}"
        text = f"{_short(value.type_name)}({inner})"
    elif isinstance(value, (list, tuple)):
        parts = []
        for item in value:
            parts.append(format_value(item, limit, _depth + 1))
            if sum(map(len, parts)) > limit:
                break
        if type(value) is Tuple:
            text = "(" + ", ".join(parts) + ("," if len(parts) == 1 else "") + ")"
        else:
            text = "[" + ", ".join(parts) + "]"
    else:
        text = repr(value)
    return _clip(text.replace("\n", "\\n"), limit)


def format_locals(values: object, limit: int = 160) -> str:
    if not isinstance(values, dict):
        return format_value(values, limit)
    parts = []
    for name, value in values.items():
        if isinstance(name, str) and name.startswith("__") and name.endswith("__"):
            continue  # module and class namespaces: __name__, __doc__, __module__...
        if isinstance(name, Omitted):
            parts.append(str(name))
        else:
            parts.append(f"{name}={format_value(value, 60)}")
    return _clip(", ".join(parts), limit) if parts else "(none)"


def describe_event(record: dict, ascii_only: bool = False) -> str:
    """One line for a plugin record."""
    kind = record.get("type")
    if kind == "start_test":
        return f"{'>' if ascii_only else '▶'} test {record.get('nodeid')}"
    if kind == "end_test":
        return f"{'#' if ascii_only else '■'} test {record.get('nodeid')}: {record.get('outcome')}"
    arrow = "->" if ascii_only else "→"
    if kind == "ruvo" and isinstance(record.get("message"), str):
        return f"{'!' if ascii_only else '⚠'} ruvo: {record['message']}"
    if kind == "http_request":
        return f"HTTP {record.get('method')} {record.get('url')}"
    if kind == "http_response":
        reason = f" {record.get('reason')}" if record.get("reason") else ""
        return f"HTTP {record.get('method')} {record.get('url')} {arrow} {record.get('status')}{reason}"
    if kind == "log":
        return f"{record.get('level')} {record.get('logger')}: {record.get('message')}"
    if kind == "request":
        status = record.get("status")
        duration = record.get("duration_ms")
        took = f" in {duration:.1f} ms" if isinstance(duration, (int, float)) else ""
        outcome = status if status is not None else "no response"
        unclosed = " (response never closed)" if record.get("closed") is False else ""
        return f"request {record.get('method')} {record.get('path')} {arrow} {outcome}{took}{unclosed}"
    details = ", ".join(f"{key}={format_value(value, 40)}" for key, value in record.items() if key not in COMMON_FIELDS)
    subtype = f"/{record.get('subtype')}" if record.get("subtype") else ""
    return f"{kind}{subtype}" + (f": {details}" if details else "")
