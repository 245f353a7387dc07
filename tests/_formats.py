"""Checks that an export follows the rules of its format."""

from __future__ import annotations

import json
from collections import defaultdict


def nanos(micros: float) -> int:
    return round(micros * 1000)


def check_chrome(data: dict) -> None:
    """Every rule a Chrome trace must follow for Perfetto and chrome://tracing."""
    json.dumps(data, allow_nan=False)
    assert data["displayTimeUnit"] == "ms"
    events = data["traceEvents"]
    thread_names = {e["tid"]: e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    intervals = defaultdict(list)
    for event in events:
        assert event["pid"] == 1
        assert event["ph"] in ("M", "X", "i")
        if event["ph"] == "X":
            assert event["cat"] == "python"
            assert isinstance(event["name"], str) and event["name"]
            assert event["tid"] in thread_names
            assert event["ts"] >= 0 and event["dur"] >= 0
            start = nanos(event["ts"])
            intervals[event["tid"]].append((start, start + nanos(event["dur"])))
        elif event["ph"] == "i":
            assert event["s"] == "t" and event["tid"] in thread_names and event["ts"] >= 0
    for spans in intervals.values():
        # Sorted by start, longest first: each span must end inside every
        # span still open when it starts (no partial overlap).
        spans.sort(key=lambda span: (span[0], -span[1]))
        open_ends: list[int] = []
        for start, end in spans:
            while open_ends and open_ends[-1] <= start:
                open_ends.pop()
            if open_ends:
                assert end <= open_ends[-1], f"span {start}..{end} overlaps one ending at {open_ends[-1]}"
            open_ends.append(end)


def check_speedscope(data: dict) -> None:
    json.dumps(data, allow_nan=False)
    assert data["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    frames = data["shared"]["frames"]
    assert all(isinstance(frame["name"], str) for frame in frames)
    for profile in data["profiles"]:
        assert profile["type"] == "evented"
        assert profile["unit"] in ("milliseconds", "microseconds")
        assert profile["startValue"] <= profile["endValue"]
        stack: list[int] = []
        last = profile["startValue"]
        for event in profile["events"]:
            assert 0 <= event["frame"] < len(frames)
            assert last <= event["at"] <= profile["endValue"]
            last = event["at"]
            if event["type"] == "O":
                stack.append(event["frame"])
            else:
                assert event["type"] == "C"
                assert stack and stack.pop() == event["frame"]
        assert stack == []
