"""The native record reader behind ruvo show and ruvo top: what it gives for
a stored document must be what decoding the whole document gives, whatever
the records hold and wherever the chunks of the stream fall."""

from __future__ import annotations

import io

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ruvo import stream
from ruvo.stream import SKIMMED_FIELDS, _Skimmed, _undefer, iter_records

pytestmark = pytest.mark.skipif(stream._skim is None, reason="the native reader is not built")

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1), st.floats(allow_nan=False, width=32), st.text(max_size=12),
    st.binary(max_size=6), st.builds(msgpack.ExtType, st.integers(1, 9), st.binary(max_size=4)))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner,
                                                                                            max_size=3), max_leaves=8)
keys = st.sampled_from([*SKIMMED_FIELDS, "locals", "arg", "user_code_call_site", "level"])
frame_records = st.builds(lambda fields, extra: {**fields, **extra, "type": "frame"},
                          st.fixed_dictionaries({}, optional={key: scalars for key in SKIMMED_FIELDS}),
                          st.dictionaries(keys, values, max_size=4))
records = st.one_of(frame_records, st.dictionaries(keys, values, max_size=5), values)


def read(data: bytes, *, native: bool, chunk: int = 7, batch: int = 3) -> tuple[list, dict, list]:
    fields: dict = {}
    lists: list = []
    saved = stream._skim, _Skimmed.CHUNK, _Skimmed.BATCH
    try:
        if not native:
            stream._skim = None
        _Skimmed.CHUNK, _Skimmed.BATCH = chunk, batch
        # The reader as such: the views' checks of each record are tested elsewhere.
        got = list(iter_records([io.BytesIO(data)], fields, lists, values=False, check=False))
    finally:
        stream._skim, _Skimmed.CHUNK, _Skimmed.BATCH = saved
    return got, fields, lists


def comparable(record: dict) -> dict:
    record = _undefer(record)
    if record.get("type") == "frame":
        return {key: record[key] for key in SKIMMED_FIELDS if key in record}
    return record


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(records, max_size=6), st.dictionaries(st.text(max_size=3), st.lists(records, max_size=4), max_size=3),
       st.booleans(), st.integers(1, 40))
def test_native_reading_equals_full_decoding(foi, frames, single_floats, chunk):
    document = {"trace_id": "trc_1", "frames_of_interest": foi, "frames": frames, "meta": {"n": [1, 2]}}
    data = msgpack.packb(document, use_single_float=single_floats)
    native, native_fields, native_lists = read(data, native=True, chunk=chunk)
    full, full_fields, full_lists = read(data, native=False)
    assert [(key, comparable(r)) for key, r in native] == [(key, comparable(r)) for key, r in full]
    assert native_fields == full_fields and native_lists == full_lists


def test_odd_records_are_decoded_in_full():
    # A frame record whose field is not valid UTF-8, one with a non-str key,
    # and one larger than many chunks: each comes out as decoding gives it.
    bad_utf8 = b"\x82\xa4type\xa5frame\xa8qualname\xa2\xff\xfe"
    odd_key = msgpack.packb({"type": "frame", 1: "one", "path": "a.py:1"})
    big = msgpack.packb({"type": "frame", "path": "b.py:2", "locals": {"x": "y" * 5000}})
    data = b"\x81\xa6frames\x81\xa4main\x93" + bad_utf8 + odd_key + big
    got, _, lists = read(data, native=True, chunk=64)
    assert lists == [("main", 3)]
    assert [record for _, record in got] == [
        {"type": "frame", "qualname": "\ufffd\ufffd"},
        {"type": "frame", 1: "one", "path": "a.py:1"},
        {"type": "frame", "path": "b.py:2"},
    ]


@pytest.mark.parametrize("data, message", [
    (msgpack.packb({"frames": {"main": [{"type": "frame"}] * 3}})[:-4], "the document ends inside a value, at byte"),
    (b"\x81\xa6frames\x81\xa4main\x91\x81\xa4type\xc1", "malformed MessagePack at byte 21"),
    (b"\x91\x01", "expected a MessagePack map at byte 0"),
])
def test_broken_documents_fail_with_a_position(data, message):
    with pytest.raises(ValueError, match=message):
        read(data, native=True, chunk=5)


def test_repeated_and_unique_strings_in_one_batch():
    # More names than the reader keeps per field, repeating and not, so that
    # its slots collide, are replaced, and are given up on for unique ids.
    records = [{"type": "frame", "event": "call" if i % 2 else "return", "frame_id": f"frm_{i:026d}",
                "qualname": f"mod.f{i % 150}" if i % 3 else f"mod.once{i}", "path": f"p{i % 7}.py:{i}",
                "thread": "MainThread", "locals": {"i": i}} for i in range(3000)]
    data = b"".join(msgpack.packb(record) for record in records)
    got, end = stream._skim.skim(data, 0, len(records), SKIMMED_FIELDS)
    assert end == len(data)
    assert got == [comparable(record) for record in records]
