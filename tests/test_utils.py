import re

from ruvo.utils import ULID_ALPHABET, new_trace_id, new_ulid

CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def ulid_ms(ulid: str) -> int:
    value = 0
    for ch in ulid:
        value = value * 32 + CROCKFORD.index(ch)
    return value >> 80


def test_ulid_shape_and_alphabet():
    assert ULID_ALPHABET == CROCKFORD
    ids = [new_ulid() for _ in range(200)]
    for ulid in ids:
        assert re.fullmatch(r"[0-7][0-9A-HJKMNP-TV-Z]{25}", ulid)
    assert len(set(ids)) == 200


def test_ulid_encodes_the_millisecond_timestamp():
    assert new_ulid(0)[:10] == "0000000000"
    assert ulid_ms(new_ulid(1_700_000_000_123)) == 1_700_000_000_123
    assert new_ulid((1 << 48) - 1)[:10] == "7ZZZZZZZZZ"


def test_ulids_sort_by_time():
    stamps = [5, 1_000, 1_000_000, 1_600_000_000_000, 1_700_000_000_000, 1_700_000_000_001]
    ids = [new_ulid(ms) for ms in reversed(stamps)]
    assert [ulid_ms(u) for u in sorted(ids)] == stamps


def test_ulid_uses_the_clock_by_default():
    import time

    before = time.time_ns() // 1_000_000
    ulid = new_ulid()
    after = time.time_ns() // 1_000_000
    assert before <= ulid_ms(ulid) <= after


def test_trace_id():
    trace_id = new_trace_id()
    assert trace_id.startswith("trc_")
    assert len(trace_id) == 30
    assert all(ch in CROCKFORD for ch in trace_id[4:])


def test_logged_locals_are_shortened_and_the_rest_kept():
    import logging

    from ruvo.utils import LOCALS_SHOWN_CHARS, ShortLocals

    message = "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n"
    huge = {"n": 7 ** 20000, "s": "x" * 100_000, "items": list(range(10_000))}
    record = logging.LogRecord("ruvo", logging.WARNING, "f.py", 1, message, ("f.py", "f", "call", huge), None)
    assert ShortLocals().filter(record)
    text = record.getMessage()
    locals_text = text.split("frame locals: ")[1].rstrip("\n")
    assert text.startswith("Unexpected exception in Rust.\n    co_filename: f.py\n    co_name: f\n    event: call\n")
    assert len(locals_text) <= LOCALS_SHOWN_CHARS and locals_text.startswith("{'items': [0, 1, 2")
    other = logging.LogRecord("ruvo", logging.WARNING, "f.py", 1, "%s", ("x" * 1000,), None)
    assert ShortLocals().filter(other) and other.getMessage() == "x" * 1000
