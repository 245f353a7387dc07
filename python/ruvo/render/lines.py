"""The texts of a call tree's entries as ``ruvo show`` draws them, whether
from a tree built in memory or from a thread's records as they are read.
"""

from __future__ import annotations

from typing import Optional

from ..model import Call
from ..terminal import SLOW, visible
from .labels import describe_event, format_duration, format_locals, format_value
from .source import parameters_of

# Lines are written this many at a time: a few hundred kB, not the whole text.
BATCH = 4096


class _Style:
    def __init__(self, color: bool) -> None:
        self.color = color

    def _wrap(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.color else text

    def dim(self, text: str) -> str:
        return self._wrap("2", text)

    def bold(self, text: str) -> str:
        return self._wrap("1", text)

    def duration(self, seconds: Optional[float]) -> str:
        text = format_duration(seconds)
        return self._wrap("33", text) if seconds is not None and seconds >= SLOW else text

    def event(self, record: dict, text: str) -> str:
        kind = record.get("type")
        if kind == "log":
            levelno = record.get("levelno")
            levelno = levelno if isinstance(levelno, int) else 0
            return self._wrap("31" if levelno >= 40 else "33" if levelno >= 30 else "36", text)
        if kind == "end_test":
            return self._wrap("32" if record.get("outcome") == "passed" else "31", text)
        return self._wrap("36", text)


_UNICODE_GUIDES = ("├─ ", "└─ ", "│  ", "   ")
_ASCII_GUIDES = ("|- ", "`- ", "|  ", "   ")


class Lines:
    """The texts of a tree's entries, without the guides of the levels above."""

    def __init__(self, *, values: bool, color: bool, ascii_only: bool) -> None:
        self.style = _Style(color)
        self.values = values
        self.ascii_only = ascii_only
        self.tee, self.last_tee, self.pipe, self.space = _ASCII_GUIDES if ascii_only else _UNICODE_GUIDES
        self.arrow = "->" if ascii_only else "→"

    def call(self, node: Call) -> str:
        style = self.style
        call, ret = node.call, node.ret
        if not style.color and call is not None and ret is not None:
            # The common line, made without the style's calls or the node's
            # properties: one per call shown.
            start, end = call.get("timestamp"), ret.get("timestamp")
            duration = max(end - start, 0.0) if isinstance(start, (int, float)) and isinstance(end, (int, float)) \
                else None
            return f"{format_duration(duration)}  {visible(call.get('qualname') or call.get('co_name') or '?')}  " \
                   f"{visible(call.get('path') or '?')}"
        label = f"{style.duration(node.duration)}  {style.bold(visible(node.name))}  {style.dim(visible(node.path))}"
        if node.call is None:
            label += style.dim("  (call not recorded)")
        elif node.ret is None:
            label += style.dim("  (no return recorded)")
        return label

    def event(self, record: dict) -> str:
        return self.style.event(record, visible(describe_event(record, self.ascii_only)))

    def arguments(self, node: Call) -> tuple:
        """The lines under a call's own: its arguments, and its closure's values."""
        if not self.values or node.call is None:
            return ()
        dim = self.style.dim
        at_call = node.call.get("locals")
        parameters = parameters_of(node.path) if isinstance(at_call, dict) else None
        if parameters is None or not isinstance(at_call, dict):
            return (dim(f"  args: {visible(format_locals(at_call))}"),)
        # A closure's free variables are locals at call too; they are not arguments.
        arguments = {name: value for name, value in at_call.items() if name in parameters}
        others = {name: value for name, value in at_call.items() if name not in parameters}
        if others:
            return (dim(f"  args: {visible(format_locals(arguments))}"),
                    dim(f"  closure: {visible(format_locals(others))}"))
        return (dim(f"  args: {visible(format_locals(arguments))}"),)

    def returned(self, node: Call) -> Optional[str]:
        """The line closing a call's entries: what it returned, and its locals then."""
        if not self.values or node.ret is None:
            return None
        returned = visible(format_value(node.ret.get("arg"), 80))
        return self.style.dim(f"  {self.arrow} {returned}   locals: {visible(format_locals(node.ret.get('locals')))}")

    def more(self, hidden: int) -> str:
        return self.last_tee + self.style.dim(f"… {hidden} more entr{'y' if hidden == 1 else 'ies'}")
