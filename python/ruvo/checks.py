"""What a stored trace document must look like for ruvo's readers to draw it.

A document the profiler wrote always passes.  Hand-edited, truncated or
hostile ones (an imported file, a database someone else wrote to) are told
apart here, in one place, so that every reader reports them as one line
("trace X is damaged: ...") instead of failing somewhere inside a renderer.
Only the structure is checked: the entries every reader relies on and their
types.  Recorded values (arguments, locals, return values) are the value
decoder's business and stay unchecked.
"""

from __future__ import annotations

import math
from typing import Optional

__all__ = ["DocumentDamaged", "check_document", "check_fields", "check_record"]

# Timestamps are seconds since the epoch; past this (the year 5138) no clock
# wrote them, and the time functions of the platform overflow.
MAX_TIMESTAMP = 1e11
_MAX_UINT64 = 2**64 - 1


class DocumentDamaged(ValueError):
    """A document that is not a trace document ruvo can read; the message
    says what is wrong, and where."""


def _is_time(value: object) -> bool:
    return (value.__class__ is float or value.__class__ is int) and math.isfinite(value) \
        and 0 <= value <= MAX_TIMESTAMP


def _is_uint(value: object) -> bool:
    return value.__class__ is int and 0 <= value <= _MAX_UINT64


def _kind(value: object) -> str:
    name = type(value).__name__
    return "nothing" if value is None else f"{'an' if name[0] in 'aeiou' else 'a'} {name}"


_TEXT_OR_NONE = frozenset({str, type(None)})


def check_record(record: object) -> Optional[str]:
    """What is wrong with one record, or None when it can be drawn.  The
    views call it for every record they read, so a sound one is passed in a
    few comparisons."""
    if record.__class__ is dict:
        get = record.get
        timestamp, native_id = get("timestamp"), get("thread_native_id")
        if (timestamp.__class__ is float or timestamp.__class__ is int) and 0 <= timestamp <= MAX_TIMESTAMP \
                and (native_id is None or (native_id.__class__ is int and 0 <= native_id <= _MAX_UINT64)) \
                and get("thread").__class__ in _TEXT_OR_NONE and get("frame_id").__class__ in _TEXT_OR_NONE:
            kind = get("type")
            if kind == "frame":
                event = get("event")
                if (event == "call" or event == "return") and get("qualname").__class__ in _TEXT_OR_NONE \
                        and get("co_name").__class__ in _TEXT_OR_NONE and get("path").__class__ in _TEXT_OR_NONE:
                    return None
            elif kind.__class__ is str:
                return None
    return _problem(record)


def _problem(record: object) -> Optional[str]:
    if record.__class__ is not dict:
        return f"a record is {_kind(record)}, not a map"
    kind = record.get("type")
    if kind.__class__ is not str:
        return f"a record's type is {_kind(kind)}, not a string"
    timestamp = record.get("timestamp")
    if not _is_time(timestamp):
        return f"a {kind} record's timestamp is {timestamp!r}" if isinstance(timestamp, (int, float)) \
            else f"a {kind} record's timestamp is {_kind(timestamp)}, not a time"
    native_id = record.get("thread_native_id")
    if native_id is not None and not _is_uint(native_id):
        return f"a {kind} record's thread id is {_kind(native_id)}, not a thread id"
    for name in ("thread", "frame_id"):
        value = record.get(name)
        if value is not None and value.__class__ is not str:
            return f"a {kind} record's {name} is {_kind(value)}, not a string"
    if kind == "frame":
        event = record.get("event")
        if event != "call" and event != "return":
            return f"a frame record's event is {event!r}, neither 'call' nor 'return'"
        for name in ("qualname", "co_name", "path"):
            value = record.get(name)
            if value is not None and value.__class__ is not str:
                return f"a frame record's {name} is {_kind(value)}, not a string"
    return None


def check_fields(document: dict, *, complete: bool = False) -> Optional[str]:
    """What is wrong with a document's entries other than its records (or
    None).  ``complete`` also asks for every entry the profiler writes."""
    if complete:
        missing = [key for key in ("command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                                   "main_thread_id", "meta", "timestamp", "trace_id") if key not in document]
        if missing:
            return f"the document has no {', '.join(missing)}"
    trace_id = document.get("trace_id")
    if trace_id.__class__ is not str or not trace_id:
        return f"its trace id is {_kind(trace_id)}, not a string"
    if "timestamp" in document and not _is_time(document["timestamp"]):
        return f"its start time is {document['timestamp']!r}"
    main = document.get("main_thread_id")
    if main is not None and not _is_uint(main):
        return f"its main thread id is {_kind(main)}"
    meta = document.get("meta", {})
    if meta.__class__ is not dict:
        return f"its meta entry is {_kind(meta)}, not a map"
    for name in ("source", "version"):
        if meta.get(name) is not None and meta[name].__class__ is not str:
            return f"its {name} is {_kind(meta[name])}, not a string"
    commit = document.get("current_commit_sha")
    if commit is not None and commit.__class__ is not str:
        return f"its commit is {_kind(commit)}, not a string"
    arguments = document.get("command_line_args", [])
    if arguments.__class__ not in (list, tuple) or not all(a.__class__ is str for a in arguments):
        return "its command line is not a list of strings"
    return None


def check_document(document: object, *, complete: bool = False) -> None:
    """Raises :class:`DocumentDamaged` unless ``document`` (decoded) is a
    trace document whose every record can be drawn."""
    if document.__class__ is not dict:
        raise DocumentDamaged(f"the document is {_kind(document)}, not a map")
    problem = check_fields(document, complete=complete)
    if problem:
        raise DocumentDamaged(problem)
    main = document.get("frames_of_interest", [])
    frames = document.get("frames", {})
    if main.__class__ not in (list, tuple):
        raise DocumentDamaged(f"its frames_of_interest is {_kind(main)}, not a list")
    if frames.__class__ is not dict:
        raise DocumentDamaged(f"its frames entry is {_kind(frames)}, not a map")
    lists = [("the main thread's", main)]
    for key, records in frames.items():
        if not _is_uint(key):
            raise DocumentDamaged(f"a thread of its frames entry is keyed by {_kind(key)}, not a thread id")
        if records.__class__ not in (list, tuple):
            raise DocumentDamaged(f"the records of thread {key} are {_kind(records)}, not a list")
        lists.append((f"thread {key}'s", records))
    for where, records in lists:
        for number, record in enumerate(records, start=1):
            problem = check_record(record)
            if problem:
                raise DocumentDamaged(f"record {number} of {where} records: {problem}")


def check_encoded(data: bytes) -> str:
    """Checks an encoded document as :func:`check_document` does, a record at
    a time (a big one is never decoded whole); returns its trace id.  Every
    entry the profiler writes must be there."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    fields: dict = {}
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key.__class__ is not str or key in fields:
                raise DocumentDamaged(f"the document has a key {key!r}")
            if key == "frames_of_interest":
                fields[key] = None
                lists = [("the main thread's", unpacker.read_array_header())]
            elif key == "frames":
                fields[key] = None
                lists = []
                for _ in range(unpacker.read_map_header()):
                    thread = unpacker.unpack()
                    if not _is_uint(thread):
                        raise DocumentDamaged(f"a thread of its frames entry is keyed by {_kind(thread)}")
                    lists = [(f"thread {thread}'s", unpacker.read_array_header())]
                    _check_records(unpacker, lists)
                continue
            else:
                fields[key] = unpacker.unpack()
                continue
            _check_records(unpacker, lists)
        if unpacker.tell() != len(data):
            raise DocumentDamaged("there is more after the document")
    except DocumentDamaged:
        raise
    except Exception as error:
        raise DocumentDamaged(f"it does not decode ({type(error).__name__}: {error})") from None
    problem = check_fields(fields, complete=True)
    if problem:
        raise DocumentDamaged(problem)
    return fields["trace_id"]


def _check_records(unpacker, lists) -> None:
    for where, length in lists:
        for number in range(1, length + 1):
            problem = check_record(unpacker.unpack())
            if problem:
                raise DocumentDamaged(f"record {number} of {where} records: {problem}")
