"""What a trace document holds at a glance: when it started, its source, the
test it belongs to, how many records and threads.

The database stores it beside each document, ``ruvo run`` reports it and
``ruvo show`` prints it in its header, all from :func:`summarize`, so the
numbers always agree.  An encoded document is read without decoding its
values: records are counted from array headers and skipped in C, so big
documents stay cheap.

The rules: records are the entries of ``frames_of_interest`` and of every
list in ``frames``; threads are the lists of ``frames`` plus
``frames_of_interest`` when it holds anything; the test is the nodeid of the
first ``start_test`` record, the main thread's before any other's, and its
outcome that of the first ``end_test`` record, found the same way.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Iterable, Iterator, Optional, Union

import msgpack

try:
    from . import _skim
except ImportError:  # a build without the native reader: records are walked from Python
    _skim = None  # type: ignore[assignment]

__all__ = ["Summary", "summarize"]


@dataclass(frozen=True)
class Summary:
    started_at: Optional[float]
    source: Optional[str]
    test_nodeid: Optional[str]
    records: int
    threads: int
    left_out: Optional[str] = None  # the message of the trace's "left out" record
    outcome: Optional[str] = None  # of the test: its end_test record's outcome


def summarize(document: Union[bytes, dict]) -> Optional[Summary]:
    """The summary of an encoded document (None when it does not decode), or
    of a decoded one (whose malformed parts count as empty)."""
    if isinstance(document, dict):
        return _of_decoded(document)
    document = bytes(document)
    try:
        if len(document) < _DECODE_WHOLE_BELOW:
            # The small documents a test suite saves by the thousand: the
            # native reader answers as decoding would, without making every
            # string; where it cannot be sure, the document is decoded.
            found = _skim.summary(document) if _skim is not None else None
            if found is not None:
                timestamp, source, main_records, thread_records, nodeid, outcome, left_out = found
                return _summary(timestamp, {"source": source}, main_records, thread_records, nodeid, left_out,
                                outcome)
            return _of_whole(document)
        return _of_encoded(document)
    except Exception:
        return None


def _of_whole(document: bytes) -> Optional[Summary]:
    decoded = msgpack.unpackb(document, raw=False, strict_map_key=False, unicode_errors="replace")
    return _of_decoded(decoded) if _well_formed(decoded) else None


_DECODE_WHOLE_BELOW = 64 * 1024


def _well_formed(document: object) -> bool:
    """Whether a decoded document has the shape the encoded reading requires
    (it has no summary otherwise)."""
    if not isinstance(document, dict):
        return False
    frames = document.get("frames", {})
    main = document.get("frames_of_interest", [])
    return isinstance(main, list) and isinstance(frames, dict) and all(isinstance(v, list) for v in frames.values())


def _summary(timestamp: object, meta: object, main_records: int, thread_records: Iterable[int],
             test_nodeid: Optional[str], left_out: Optional[str] = None,
             outcome: Optional[str] = None) -> Summary:
    counts = list(thread_records)
    return Summary(
        started_at=(float(timestamp) if isinstance(timestamp, (int, float)) and not isinstance(timestamp, bool)
                    else None),
        source=meta["source"] if isinstance(meta, dict) and isinstance(meta.get("source"), str) else None,
        test_nodeid=test_nodeid,
        records=main_records + sum(counts),
        threads=(1 if main_records else 0) + len(counts),
        left_out=left_out,
        outcome=outcome,
    )


def _nodeid(record: object) -> Optional[str]:
    nodeid = record.get("nodeid") if isinstance(record, dict) else None
    return nodeid if isinstance(nodeid, str) else None


def _outcome(record: object) -> Optional[str]:
    outcome = record.get("outcome") if isinstance(record, dict) else None
    return outcome if isinstance(outcome, str) else None


# --- decoded documents -----------------------------------------------------------


def _of_decoded(document: dict) -> Summary:
    main = document.get("frames_of_interest")
    main = main if isinstance(main, list) else []
    frames = document.get("frames")
    others = [records for records in frames.values() if isinstance(records, list)] if isinstance(frames, dict) else []
    nodeid = outcome = None
    for records in (main, *others):
        start = next((r for r in records if isinstance(r, dict) and r.get("type") == "start_test"), None)
        if start is not None:
            nodeid = _nodeid(start)
            break
    for records in (main, *others):
        end = next((r for r in records if isinstance(r, dict) and r.get("type") == "end_test"), None)
        if end is not None:
            outcome = _outcome(end)
            break
    left_out = next((r.get("message") for r in main if isinstance(r, dict) and r.get("type") == "ruvo"
                     and r.get("subtype") == "left_out"), None)
    return _summary(document.get("timestamp"), document.get("meta"), len(main), map(len, others), nodeid,
                    left_out if isinstance(left_out, str) else None, outcome)


# --- encoded documents -----------------------------------------------------------

_START_TEST = b"\xaastart_test"  # the MessagePack str "start_test"
_END_TEST = b"\xa8end_test"


def _of_encoded(document: bytes) -> Optional[Summary]:
    unpacker = _reader(document)
    timestamp = meta = None
    main_records = 0
    thread_records: list[int] = []
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()  # the thread id
                thread_records.append(_array_length(document, unpacker.tell()))
                unpacker.skip()
        elif key == "frames_of_interest":
            main_records = _array_length(document, unpacker.tell())
            unpacker.skip()
        elif key == "timestamp":
            timestamp = unpacker.unpack()
        elif key == "meta":
            meta = unpacker.unpack()
        else:
            unpacker.skip()
    if unpacker.tell() != len(document):
        return None
    nodeid, outcome = _test_fields(document) if _START_TEST in document or _END_TEST in document else (None, None)
    return _summary(timestamp, meta, main_records, thread_records, nodeid, _left_out(document), outcome)


# The profiler's "left out" record: a map of 15 entries (14 in traces saved
# before it said when the trace stopped being complete) that starts with its
# frame id and holds these type and subtype entries.
_LEFT_OUT = b"\xa4type\xa4ruvo\xa7subtype\xa8left_out"
_LEFT_OUT_STARTS = (b"\x8f\xa8frame_id", b"\x8e\xa8frame_id")


def _left_out(document: bytes) -> Optional[str]:
    at = document.rfind(_LEFT_OUT)
    start = max(document.rfind(head, 0, at) for head in _LEFT_OUT_STARTS) if at >= 0 else -1
    if start < 0:
        return None
    reader = _reader(document[start:])
    try:
        record = reader.unpack()
    except Exception:
        return None
    message = record.get("message") if isinstance(record, dict) else None
    return message if isinstance(message, str) else None


def _reader(document: bytes) -> msgpack.Unpacker:
    unpacker = msgpack.Unpacker(
        raw=False, strict_map_key=False, unicode_errors="replace", max_buffer_size=max(len(document), 1)
    )
    unpacker.feed(document)
    return unpacker


def _array_length(document: bytes, offset: int) -> int:
    head = document[offset]
    if 0x90 <= head <= 0x9F:
        return head & 0x0F
    if head == 0xDC:
        return int.from_bytes(document[offset + 1 : offset + 3], "big")
    if head == 0xDD:
        return int.from_bytes(document[offset + 1 : offset + 5], "big")
    raise ValueError("not an array")


def _records(unpacker: msgpack.Unpacker) -> Iterator[dict]:
    """The type, nodeid and outcome of each record of the array at the reader's position."""
    for _ in range(unpacker.read_array_header()):
        yield _fields(unpacker)


def _fields(unpacker: msgpack.Unpacker) -> dict:
    """The type, nodeid and outcome of the record at the reader's position."""
    fields = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "type" or key == "nodeid" or key == "outcome":
            fields[key] = unpacker.unpack()
        else:
            unpacker.skip()
    return fields


# Records the native reader steps over at a time.
_SKIM_BATCH = 4096


def _test_fields(document: bytes) -> tuple[Optional[str], Optional[str]]:
    """The nodeid of the first start_test record and the outcome of the
    first end_test record, the main thread's first."""
    found: dict[str, Optional[str]] = {}

    def look(fields: dict, where: str) -> None:
        kind = fields.get("type")
        if kind == "start_test" and "nodeid" + where not in found:
            found["nodeid" + where] = _nodeid(fields)
        elif kind == "end_test" and "outcome" + where not in found:
            found["outcome" + where] = _outcome(fields)

    if _skim is not None:
        _skim_test_fields(document, look)
    else:
        _walk_test_fields(document, look)

    def first(name: str) -> Optional[str]:
        return found[name] if name in found else found.get(name + " in frames")

    return first("nodeid"), first("outcome")


def _skim_test_fields(document: bytes, look: Callable[[dict, str], None]) -> None:
    """Frame records are stepped over in C (a test's trace is mostly those);
    the others are read as :func:`_records` reads them."""
    def header(pos: int, kind: str) -> tuple[int, int]:
        found = _skim.header(document, pos)
        if found is None or found[0] != kind:
            raise ValueError(f"not a {kind} at byte {pos}")
        return found[1], found[2]

    def records(pos: int, where: str) -> int:
        length, pos = header(pos, "array")
        while length:
            batch, pos = _skim.skim(document, pos, min(length, _SKIM_BATCH), ("type",))
            if not batch:
                raise ValueError(f"a record runs past the document's end, at byte {pos}")
            length -= len(batch)
            for record in batch:
                if record.__class__ is bytes:
                    unpacker = _reader(record)
                    look(_fields(unpacker), where)
        return pos

    entries, pos = header(0, "map")
    for _ in range(entries):
        end = _skim.skip(document, pos)
        key = msgpack.unpackb(document[pos:end], raw=False, strict_map_key=False, unicode_errors="replace")
        if key == "frames_of_interest":
            pos = records(end, "")
        elif key == "frames":
            threads, pos = header(end, "map")
            for _ in range(threads):
                pos = records(_skim.skip(document, pos), " in frames")
        else:
            pos = _skim.skip(document, end)


def _walk_test_fields(document: bytes, look: Callable[[dict, str], None]) -> None:
    unpacker = _reader(document)
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            for fields in _records(unpacker):
                look(fields, "")
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()
                for fields in _records(unpacker):
                    look(fields, " in frames")
        else:
            unpacker.skip()
