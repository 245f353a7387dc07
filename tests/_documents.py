"""Decoded trace documents built by hand, for the viewer and exporter tests."""

from __future__ import annotations

import itertools

MAIN = 100
WORKER = 200
T0 = 1_700_000_000.0

_ids = itertools.count(1)


def frame_id() -> str:
    return f"frm_{next(_ids):026d}"


def _common(ts: float, thread: str, native: int) -> dict:
    return {"timestamp": T0 + ts, "thread": thread, "thread_native_id": native, "user_code_call_site": None}


def call(fid, qualname, path, ts, *, locals=None, thread="MainThread", native=MAIN, co_name=None) -> dict:
    return {
        "path": path,
        "co_name": co_name or (qualname.rsplit(".", 1)[-1] if qualname else "f"),
        "qualname": qualname,
        "event": "call",
        "frame_id": fid,
        "arg": None,
        "locals": {} if locals is None else locals,
        "type": "frame",
        **_common(ts, thread, native),
    }


def ret(fid, qualname, path, ts, *, value=None, locals=None, thread="MainThread", native=MAIN, co_name=None) -> dict:
    record = call(fid, qualname, path, ts, locals=locals, thread=thread, native=native, co_name=co_name)
    record.update(event="return", arg=value)
    return record


def plugin(type_, ts, *, thread="MainThread", native=MAIN, **fields) -> dict:
    return {"frame_id": frame_id(), "type": type_, **_common(ts, thread, native), **fields}


def document(records, *, frames=None, main_thread_id=MAIN, source="tests", trace_id="trc_TEST") -> dict:
    return {
        "command_line_args": ["prog.py"],
        "current_commit_sha": None,
        "frames": frames or {},
        "frames_of_interest": list(records),
        "main_thread_id": main_thread_id,
        "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": True},
        "timestamp": T0,
        "trace_id": trace_id,
    }


def shop_document() -> dict:
    """main → (load, a log record, price → round), a generator resumed twice,
    and a worker thread.  Durations are whole multiples of 10 µs: float
    epoch timestamps only resolve about a quarter of a microsecond."""
    m, load, price, rnd, g1, g2 = (frame_id() for _ in range(6))
    w, restock = frame_id(), frame_id()
    records = [
        call(m, "app.main", "app.py:10", 0.000010),
        call(load, "app.Catalog.load", "app/catalog.py:5", 0.000020, locals={"self": "cat", "n": 3}),
        ret(load, "app.Catalog.load", "app/catalog.py:9", 0.000120, value=[1, 2, 3], locals={"self": "cat", "n": 3}),
        plugin("log", 0.000130, level="WARNING", levelno=30, logger="app.stock", message="low stock", path="app.py:12"),
        call(price, "app.pricing.price", "app/pricing.py:20", 0.000200),
        call(rnd, "app.pricing.round_money", "app/pricing.py:30", 0.000250),
        ret(rnd, "app.pricing.round_money", "app/pricing.py:31", 0.000260, value=9.5),
        ret(price, "app.pricing.price", "app/pricing.py:25", 0.002700, value=9.5),
        call(g1, "app.items", "app.py:40", 0.003000),
        ret(g1, "app.items", "app.py:41", 0.003040, value=1),
        call(g2, "app.items", "app.py:41", 0.003050),
        ret(g2, "app.items", "app.py:42", 0.003110, value=2),
        ret(m, "app.main", "app.py:15", 1.500010, value=0),
    ]
    worker = [
        call(w, "app.restock_worker", "app.py:60", 0.000300, thread="restocker", native=WORKER),
        call(restock, "app.Inventory.restock", "app.py:70", 0.000400, thread="restocker", native=WORKER),
        ret(restock, "app.Inventory.restock", "app.py:72", 0.000450, thread="restocker", native=WORKER),
        ret(w, "app.restock_worker", "app.py:66", 0.000500, thread="restocker", native=WORKER),
    ]
    return document(records, frames={WORKER: worker})
