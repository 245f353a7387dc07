"""Text from a trace on the terminal: what a program recorded (log messages,
thread names, paths, sources, test ids, values) and what any HTTP client can
put in a request path may hold escape sequences.  Written raw they would
retitle, clear or rewrite the user's terminal; :func:`visible` shows each
control character as an escape instead."""

from __future__ import annotations

import re

__all__ = ["visible"]

# C0 controls, DEL, C1 controls, and the marks that reorder text around them.
_CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t", "\x1b": "\\x1b"}


def _escape(match: re.Match) -> str:
    char = match.group()
    return _NAMED.get(char) or (f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}")


def visible(text: str) -> str:
    """``text`` with every control character written as an escape (``\\x1b``,
    ``\\n``...), so that it prints as one line and changes nothing."""
    if text.isprintable():
        return text
    return _CONTROLS.sub(_escape, text)
