"""One summary of a trace document, the same whether read encoded or decoded."""

from __future__ import annotations

import msgpack
import pytest

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
