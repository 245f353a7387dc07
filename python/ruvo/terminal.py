"""Text from a trace on the terminal: what a program recorded (log messages,
thread names, paths, sources, test ids, values) and what any HTTP client can
put in a request path may hold escape sequences.  Written raw they would
retitle, clear or rewrite the user's terminal; :func:`visible` shows each
control character as an escape instead.

Also here: whether to colour the output, and the progress line of long
steps, which the commands share."""

from __future__ import annotations

import os
import re
import sys
import threading
import time
from typing import Optional, TextIO

__all__ = ["COLOR_CHOICES", "Paint", "Progress", "SLOW", "visible", "wants_color"]

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


# --- colour ---------------------------------------------------------------------------

COLOR_CHOICES = ("auto", "always", "never")


def wants_color(choice: Optional[str], stream: Optional[TextIO] = None) -> bool:
    """Whether to colour what goes to ``stream`` (stdout by default): always
    or never when asked, else only on a terminal and unless ``NO_COLOR`` is
    set to anything (https://no-color.org: an option given overrides it)."""
    if choice == "always":
        return True
    if choice == "never" or os.environ.get("NO_COLOR"):
        return False
    return _is_terminal(sys.stdout if stream is None else stream)


def _is_terminal(stream: Optional[TextIO]) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


class Paint:
    """SGR escapes around text, or the text alone when colour is off."""

    def __init__(self, color: bool) -> None:
        self.color = color

    def wrap(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.color and text else text

    def bold(self, text: str) -> str:
        return self.wrap("1", text)

    def dim(self, text: str) -> str:
        return self.wrap("2", text)

    def red(self, text: str) -> str:
        return self.wrap("31", text)

    def yellow(self, text: str) -> str:
        return self.wrap("33", text)


# Durations from this on are marked (yellow) in coloured output.
SLOW = 0.1


# --- progress -------------------------------------------------------------------------


class Progress:
    """A line on stderr saying what a long step is doing and for how long,
    rewritten in place (``\\r``) and wiped at the end.  Nothing is written
    unless stderr is a terminal and the work has gone on for ``delay``
    seconds: quick commands and redirected output stay as they were.

    A thread keeps the line current, so the work itself needs no hooks;
    :meth:`step` names what is being done now.  Use as a context manager;
    the first write to stdout meanwhile ends it, so that the output never
    lands behind the line."""

    def __init__(self, text: str, *, stream: Optional[TextIO] = None, delay: float = 1.0,
                 interval: float = 0.25, enabled: Optional[bool] = None) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.text = text
        self.delay = delay
        self.interval = interval
        self.enabled = _is_terminal(self.stream) if enabled is None else enabled
        self.started = time.monotonic()
        self.shown = False
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._stdout: Optional[TextIO] = None
        self._guard: Optional[_EndsProgress] = None

    def __enter__(self) -> "Progress":
        self.started = time.monotonic()
        if self.enabled:
            # Kept here as well: print() holds sys.stdout without a reference
            # of its own, so the guard must outlive any write to it.
            self._stdout = sys.stdout
            self._guard = _EndsProgress(self._stdout, self)
            sys.stdout = self._guard
            self._thread = threading.Thread(target=self._run, name="ruvo-progress", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def step(self, text: str) -> None:
        self.text = text

    def close(self) -> None:
        self._end_line()
        if self._guard is not None and sys.stdout is self._guard:
            sys.stdout = self._stdout

    def _end_line(self) -> None:
        self._done.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        with self._lock:
            if self.shown:
                self._write("\r\x1b[K")
                self.shown = False

    def _run(self) -> None:
        last = ""
        while not self._done.wait(self.interval):
            elapsed = time.monotonic() - self.started
            if elapsed >= self.delay:
                with self._lock:
                    if self._done.is_set():
                        return
                    line = f"\rruvo: {visible(self.text)}... {elapsed:.0f} s\x1b[K"
                    if line != last:
                        self.shown = self._write(line) or self.shown
                        last = line

    def _write(self, text: str) -> bool:
        try:
            self.stream.write(text)
            self.stream.flush()
            return True
        except (OSError, ValueError):
            return False


class _EndsProgress:
    """stdout while a progress line is up: writing to it ends the line first."""

    def __init__(self, stream: Optional[TextIO], progress: Progress) -> None:
        self.stream = stream
        self.progress = progress

    def write(self, text: str) -> int:
        self.progress._end_line()
        assert self.stream is not None
        return self.stream.write(text)

    def __getattr__(self, name: str) -> object:
        return getattr(self.stream, name)
