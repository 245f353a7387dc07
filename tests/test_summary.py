"""One summary of a trace document, the same whether read encoded or decoded."""

from __future__ import annotations

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _documents import shop_document
from ruvo.decode import loads
from ruvo.render.text import render_trace
from ruvo import summary
from ruvo.summary import Summary, summarize


def record(kind, thread=1, **fields):
    return {"type": kind, "thread_native_id": thread, "timestamp": 2.0, **fields}


def encoded(foi=(), frames=None, **top):
    return msgpack.packb({"frames": frames or {}, "frames_of_interest": list(foi), "timestamp": 1700000000.5,
                          "meta": {"source": "tests"}, **top})


@pytest.mark.parametrize(
    "document, expected",
    [
        (encoded([record("start_test", nodeid="t.py::a"), record("frame")],
                 {7: [record("start_test", 7, nodeid="t.py::other")], 8: [record("frame", 8)] * 20}),
         Summary(1700000000.5, "tests", "t.py::a", 23, 3)),
        # The main thread's list counts only when it holds records; other lists always count.
        (encoded([], {5: [record("frame", 5), record("start_test", 5, nodeid="t.py::x")], 6: []}),
         Summary(1700000000.5, "tests", "t.py::x", 2, 2)),
        (encoded([record("start_test", nodeid=3), record("frame", arg="start_test")], meta={"source": 1}, timestamp=True),
         Summary(None, None, None, 2, 1)),
        (encoded([record("frame")] * 70000), Summary(1700000000.5, "tests", None, 70000, 1)),
        # A recorded value shaped like a test's record is no test's record.
        (encoded([record("frame", arg={"type": "start_test", "nodeid": "spoof"}), record("start_test", nodeid="t.py::b"),
                  *[record("frame", locals={"x": [1]})] * 5000, record("end_test", outcome="failed")],
                 {9: [record("end_test", 9, outcome="passed")]}),
         Summary(1700000000.5, "tests", "t.py::b", 5004, 2, outcome="failed")),
    ],
)
def test_encoded_and_decoded_agree(document, expected, monkeypatch):
    assert summarize(document) == expected
    assert summary._of_encoded(document) == expected  # what documents too big to decode whole take
    assert summarize(loads(document)) == expected
    monkeypatch.setattr(summary, "_skim", None)  # records walked from Python, without the native reader
    assert summary._of_encoded(document) == expected


@pytest.mark.parametrize("blob", [b"", b"\xc1", msgpack.packb([1]), msgpack.packb({"frames": {1: 2}}), encoded() + b"\x00"])
def test_undecodable_documents_have_no_summary(blob):
    assert summarize(blob) is None


def test_malformed_parts_of_a_decoded_document_count_as_empty():
    assert summarize({"frames": [1], "frames_of_interest": "x", "meta": None}) == Summary(None, None, None, 0, 0)
    assert summarize({"frames": {1: None, 2: [{}]}}) == Summary(None, None, None, 1, 1)


def test_show_header_is_the_summary():
    document = shop_document()
    summary = summarize(document)
    assert (summary.records, summary.threads) == (17, 2)
    header = render_trace(document).splitlines()[1]
    assert header.endswith(f"  records: {summary.records}  threads: {summary.threads}")


# --- the native reader of small documents ------------------------------------------


class Pairs(list):
    """A map as its entries, repeated keys and all."""


class RawStr(bytes):
    """A str whose bytes need not be UTF-8."""


class Raw(bytes):
    """Bytes packed as they are."""


def pack(value) -> bytes:
    if isinstance(value, Pairs):
        head = bytes([0x80 | len(value)]) if len(value) < 16 else b"\xde" + len(value).to_bytes(2, "big")
        return head + b"".join(pack(key) + pack(item) for key, item in value)
    if isinstance(value, list):
        return bytes([0x90 | len(value)]) + b"".join(map(pack, value)) if len(value) < 16 else \
            b"\xdc" + len(value).to_bytes(2, "big") + b"".join(map(pack, value))
    if isinstance(value, RawStr):
        return bytes([0xa0 | len(value)]) + value
    if isinstance(value, Raw):
        return bytes(value)
    return msgpack.packb(value)


words = st.sampled_from(["start_test", "end_test", "ruvo", "left_out", "frame", "passed", "t.py::a", ""])
# MessagePack's timestamp extension, in each of its sizes and one it does not have.
timestamps = st.sampled_from([Raw(b"\xd6\xff" + b"\x00" * 4), Raw(b"\xd7\xff" + b"\x00" * 8),
                              Raw(b"\xc7\x0c\xff" + b"\x00" * 12), Raw(b"\xc7\x03\xff" + b"\x00" * 3)])


def document_entries(odd: bool):
    """Top-level entries of a document; with ``odd``, also the values and
    keys that decoding treats its own way (timestamps, container keys,
    repeated threads, bad UTF-8)."""
    plain = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1), st.floats(allow_nan=False), words,
                      st.binary(max_size=3), st.builds(msgpack.ExtType, st.integers(1, 9), st.binary(max_size=3)),
                      *([st.builds(RawStr, st.binary(max_size=3)), timestamps] if odd else []))
    keys = st.one_of(words, st.integers(0, 3), *([st.lists(st.integers(-5, 5), max_size=1)] if odd else []))
    nested = st.recursive(plain, lambda inner: st.lists(inner, max_size=3)
                          | st.lists(st.tuples(keys, inner), max_size=3).map(Pairs), max_leaves=6)
    record_keys = st.sampled_from(["type", "nodeid", "outcome", "subtype", "message", "frame_id", 1, b"type"])
    record = st.lists(st.tuples(record_keys, st.one_of(words, words, plain, nested)), max_size=6, unique_by=(
        None if odd else lambda entry: entry[0])).map(Pairs)
    # Records shaped like the test's own and the profiler's "left out" one.
    fields = {"nodeid": st.one_of(words, words, plain), "outcome": st.one_of(words, words, plain),
              "subtype": st.just("left_out") | words, "message": st.one_of(words, words, plain)}
    marker = st.builds(lambda kind, fields, order: Pairs(sorted([("type", kind), *fields.items()], key=order)),
                       st.sampled_from(["start_test", "end_test", "ruvo"]),
                       st.fixed_dictionaries({}, optional=fields) if odd else st.fixed_dictionaries(fields),
                       st.sampled_from([lambda entry: entry[0], lambda entry: -len(entry[0])]))
    record_lists = st.lists(st.one_of(record, marker, marker, marker, plain), min_size=0 if odd else 1, max_size=5)
    thread_keys = st.one_of(st.integers(-3, 3), st.integers(2**63, 2**64 - 1),
                            *([st.sampled_from([True, 1.0, "1", None])] if odd else []))
    threads = st.lists(st.tuples(thread_keys, st.one_of(record_lists, *([plain] if odd else []))), max_size=3,
                       unique_by=None if odd else (lambda entry: entry[0])).map(Pairs)
    meta = st.lists(st.tuples(st.sampled_from(["source", "version"]), plain), max_size=3,
                    unique_by=None if odd else (lambda entry: entry[0])).map(Pairs)
    return st.lists(st.one_of(
        st.tuples(st.just("timestamp"), st.one_of(plain, nested)),
        st.tuples(st.just("meta"), st.one_of(meta, plain)),
        *[st.tuples(st.just("frames_of_interest"), st.one_of(record_lists, *([plain] if odd else [])))] * 2,
        *[st.tuples(st.just("frames"), st.one_of(threads, *([plain] if odd else [])))] * 2,
        st.tuples(st.one_of(st.just("trace_id"), keys) if odd else st.sampled_from(["trace_id", 7]), nested),
    ), min_size=0 if odd else 2, max_size=6, unique_by=None if odd else (lambda entry: repr(entry[0]))).map(Pairs)


def trace_documents():
    """Documents laid out as the profiler writes them, test records and all."""
    text = st.one_of(words, st.builds(RawStr, st.binary(max_size=3)), st.none(), st.integers(0, 2))
    marker = st.builds(lambda kind, nodeid, outcome, subtype, message: Pairs(
        [("type", kind), ("nodeid", nodeid), ("outcome", outcome), ("subtype", subtype), ("message", message)]),
        st.sampled_from(["start_test", "end_test", "ruvo", "frame"]), text, text, st.just("left_out") | words, text)
    frame = st.builds(lambda event: Pairs([("type", "frame"), ("event", event), ("locals", Pairs([("x", 1)]))]), words)
    records = st.lists(st.one_of(marker, frame), max_size=6)
    return st.builds(lambda foi, frames, timestamp, source: Pairs(
        [("frames", Pairs(frames)), ("frames_of_interest", foi), ("timestamp", timestamp),
         ("meta", Pairs([("source", source)]))]),
        # Thread ids that may repeat, as in a document no profiler wrote.
        records, st.lists(st.tuples(st.integers(0, 2) | st.integers(2**64 - 2, 2**64 - 1), records), max_size=3),
        st.one_of(st.floats(allow_nan=False), st.integers(0, 2**64 - 1), st.booleans()), text)


def decoding(document: bytes):
    try:
        return summary._of_whole(document)
    except Exception:
        return None


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(trace_documents(), document_entries(odd=False), document_entries(odd=True)),
       st.sampled_from(["", "", "", "tail", "cut", "bad"]), st.data())
def test_small_documents_read_natively_as_decoding_reads_them(entries, damage, data):
    document = pack(entries)
    if damage == "tail":
        document += b"\x00"
    elif damage == "cut":
        document = document[:data.draw(st.integers(0, max(len(document) - 1, 0)))]
    elif damage == "bad":
        at = data.draw(st.integers(0, len(document)))
        document = document[:at] + b"\xc1" + document[at:]
    assert summarize(document) == decoding(document)


@pytest.mark.skipif(summary._skim is None, reason="the native reader is not built")
def test_the_native_reader_answers_for_recorded_traces():
    # A trace as the profiler writes it, and one cut at its budget.
    document = msgpack.packb(shop_document())
    assert summary._skim.summary(document) is not None
    assert summarize(document) == decoding(document)
    left = encoded([record("start_test", nodeid="t.py::c"),
                    {"frame_id": "f", "type": "ruvo", "subtype": "left_out", "message": "calls past 4 MB were left out"},
                    record("end_test", outcome="passed")], {3: [record("frame", 3)]})
    assert summary._skim.summary(left) is not None
    assert summarize(left) == Summary(1700000000.5, "tests", "t.py::c", 4, 2, "calls past 4 MB were left out", "passed")
