"""A trace in speedscope's evented format, one profile per thread.

Built from the call trees of :mod:`ruvo.model`, whose node times nest by
construction, so every open has its close.
"""

from __future__ import annotations

from typing import Optional

from ..model import Call, Event, build_threads, nanoseconds, trace_start
from ..version import __version__

__all__ = ["to_speedscope"]


def _split_path(path: object) -> tuple[str, Optional[int]]:
    text = str(path) if path is not None else "?"
    file, sep, line = text.rpartition(":")
    if sep and line.isdigit():
        return file, int(line)
    return text, None


def to_speedscope(document: dict) -> dict:
    """speedscope's evented format, one profile per thread, in milliseconds
    from the trace start.  Returns without a recorded call are left out (their
    callees stay); calls without a return close where the tree ends them."""
    origin = trace_start(document)
    meta = document.get("meta")
    if not isinstance(meta, dict):
        meta = {}
    frames: list[dict] = []
    frame_index: dict[tuple, int] = {}
    profiles = []

    def index_of(node: Call) -> int:
        file, line = _split_path(node.path)
        key = (node.name, file, line)
        found = frame_index.get(key)
        if found is None:
            frame: dict[str, object] = {"name": node.name, "file": file}
            if line is not None:
                frame["line"] = line
            found = frame_index[key] = len(frames)
            frames.append(frame)
        return found

    def at(t: float) -> float:
        return nanoseconds(t, origin) / 1e6

    for tree in build_threads(document):
        events: list[dict] = []
        work: list[tuple] = [("open", node) for node in reversed(tree.roots)]
        while work:
            action, node = work.pop()
            if isinstance(node, Event):
                continue
            if action == "close":
                events.append({"type": "C", "frame": index_of(node), "at": at(node.end)})
                continue
            if node.call is not None:
                events.append({"type": "O", "frame": index_of(node), "at": at(node.start)})
                work.append(("close", node))
            work.extend(("open", child) for child in reversed(node.children))
        profiles.append(
            {
                "type": "evented",
                "name": tree.name,
                "unit": "milliseconds",
                "startValue": at(tree.first),
                "endValue": at(tree.last),
                "events": events,
            }
        )
    return {
        "$schema": "https://www.speedscope.app/file-format-schema.json",
        "shared": {"frames": frames},
        "profiles": profiles,
        "name": f"ruvo {document.get('trace_id')}: {meta.get('source')}",
        "activeProfileIndex": 0,
        "exporter": f"ruvo {__version__}",
    }
