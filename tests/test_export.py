"""Exports: Chrome Trace Event JSON, speedscope's evented format and plain JSON,
checked against the rules of their formats."""

from __future__ import annotations

import io
import json
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _documents import MAIN, WORKER, call, document, frame_id, plugin, ret, shop_document
from _formats import check_chrome, check_speedscope
from ruvo import Profiler, serialize
from ruvo.render import export
from ruvo.render.chrome import to_chrome
from ruvo.render.json import json_safe, to_json, write_json
from ruvo.render.speedscope import to_speedscope


class TestChrome:
    def test_complete_and_instant_events_of_a_known_trace(self):
        data = to_chrome(shop_document())
        check_chrome(data)
        events = data["traceEvents"]
        metadata = [(e["name"], e["tid"], e["args"]) for e in events if e["ph"] == "M"]
        assert metadata == [
            ("process_name", 0, {"name": "ruvo: tests"}),
            ("thread_name", MAIN, {"name": "MainThread"}),
            ("thread_sort_index", MAIN, {"sort_index": 0}),
            ("thread_name", WORKER, {"name": "restocker"}),
            ("thread_sort_index", WORKER, {"sort_index": 1}),
        ]
        spans = [(e["name"], e["tid"], e["ts"], e["dur"]) for e in events if e["ph"] == "X"]
        expected = [
            ("app.main", MAIN, 10, 1_500_000),
            ("app.Catalog.load", MAIN, 20, 100),
            ("app.pricing.price", MAIN, 200, 2500),
            ("app.pricing.round_money", MAIN, 250, 10),
            ("app.items", MAIN, 3000, 40),
            ("app.items", MAIN, 3050, 60),
            ("app.restock_worker", WORKER, 300, 200),
            ("app.Inventory.restock", WORKER, 400, 50),
        ]
        assert [(n, t) for n, t, _, _ in spans] == [(n, t) for n, t, _, _ in expected]
        for (_, _, ts, dur), (_, _, want_ts, want_dur) in zip(spans, expected):
            # float epoch timestamps resolve ~0.24 µs
            assert ts == pytest.approx(want_ts, abs=0.5) and dur == pytest.approx(want_dur, abs=0.5)

        (log,) = [e for e in events if e["ph"] == "i"]
        assert log["name"] == "WARNING app.stock: low stock"
        assert log["cat"] == "log" and log["tid"] == MAIN
        assert log["args"] == {"level": "WARNING", "levelno": 30, "logger": "app.stock", "message": "low stock", "path": "app.py:12"}
        assert log["ts"] == pytest.approx(130, abs=0.5)

        load = next(e for e in events if e["name"] == "app.Catalog.load")
        assert load["args"] == {
            "path": "app/catalog.py:5",
            "locals": {"self": "cat", "n": 3},
            "return_path": "app/catalog.py:9",
            "return_value": [1, 2, 3],
            "locals_at_return": {"self": "cat", "n": 3},
        }

    def test_unpaired_frames_still_nest(self):
        a, b, c = frame_id(), frame_id(), frame_id()
        doc = document(
            [
                call(a, "a", "a.py:1", 0.1),
                ret(a, "a", "a.py:2", 0.2),
                ret(None, "early", "e.py:3", 0.3),
                call(b, "b", "b.py:1", 0.4),
                call(c, "c", "c.py:1", 0.5),
                ret(b, "b", "b.py:2", 0.6),
                call(frame_id(), "open", "o.py:1", 0.7),
            ]
        )
        data = to_chrome(doc)
        check_chrome(data)
        spans = {e["name"]: e for e in data["traceEvents"] if e["ph"] == "X"}
        assert sorted(spans) == ["a", "b", "c", "early", "open"]
        assert spans["early"]["args"]["note"] == "call not recorded: started before the trace"
        assert (spans["early"]["ts"], spans["early"]["dur"]) == pytest.approx((100_000, 200_000), abs=0.5)
        assert spans["c"]["args"]["note"] == "return not recorded"
        assert spans["c"]["ts"] + spans["c"]["dur"] == pytest.approx(600_000, abs=0.5)  # closed with b
        assert spans["open"]["dur"] == 0

    def test_values_that_json_cannot_hold_become_reprs(self):
        a = frame_id()
        odd = {"nan": math.nan, "blob": b"\x00\xff", "obj": serialize.Repr("shop.Order", "<Order #1>"), (1, 2): "tuple key"}
        doc = document([call(a, "f", "f.py:1", 0.1, locals=odd), ret(a, "f", "f.py:2", 0.2, value=math.inf)])
        data = to_chrome(doc)
        check_chrome(data)
        (span,) = [e for e in data["traceEvents"] if e["ph"] == "X"]
        assert span["args"]["locals"] == {
            "nan": "nan",
            "blob": "b'\\x00\\xff'",
            "obj": "<shop.Order: <Order #1>>",
            "(1, 2)": "tuple key",
        }
        assert span["args"]["return_value"] == "inf"

    def test_threads_without_native_ids_get_distinct_tids(self):
        records = [
            {**call(frame_id(), "a", "a.py:1", 0.1), "thread_native_id": None, "thread": "one"},
            {**call(frame_id(), "b", "b.py:1", 0.2), "thread_native_id": None, "thread": "two"},
        ]
        data = to_chrome(document(records, main_thread_id=None))
        check_chrome(data)
        names = {e["tid"]: e["args"]["name"] for e in data["traceEvents"] if e["name"] == "thread_name"}
        assert sorted(names.values()) == ["one", "two"] and len(names) == 2


class TestSpeedscope:
    def test_events_of_a_known_trace(self):
        data = to_speedscope(shop_document())
        check_speedscope(data)
        frames = data["shared"]["frames"]
        assert frames[:3] == [
            {"name": "app.main", "file": "app.py", "line": 10},
            {"name": "app.Catalog.load", "file": "app/catalog.py", "line": 5},
            {"name": "app.pricing.price", "file": "app/pricing.py", "line": 20},
        ]
        main, worker = data["profiles"]
        assert (main["name"], worker["name"]) == ("MainThread", "restocker")
        assert main["unit"] == "milliseconds"
        opened = [(e["type"], frames[e["frame"]]["name"]) for e in main["events"]]
        assert opened == [
            ("O", "app.main"),
            ("O", "app.Catalog.load"),
            ("C", "app.Catalog.load"),
            ("O", "app.pricing.price"),
            ("O", "app.pricing.round_money"),
            ("C", "app.pricing.round_money"),
            ("C", "app.pricing.price"),
            ("O", "app.items"),
            ("C", "app.items"),
            ("O", "app.items"),
            ("C", "app.items"),
            ("C", "app.main"),
        ]
        # The generator's two resumes start on different lines: two frames.
        assert [f for f in frames if f["name"] == "app.items"] == [
            {"name": "app.items", "file": "app.py", "line": 40},
            {"name": "app.items", "file": "app.py", "line": 41},
        ]
        assert main["events"][0]["at"] == pytest.approx(0.010, abs=1e-3)
        assert main["events"][-1]["at"] == pytest.approx(1500.010, abs=1e-3)
        assert main["endValue"] == main["events"][-1]["at"]

    def test_returns_without_calls_are_left_out_and_open_calls_closed(self):
        a, b, c = frame_id(), frame_id(), frame_id()
        doc = document(
            [
                call(a, "a", "a.py:1", 0.1),
                ret(a, "a", "a.py:2", 0.2),
                ret(None, "early", "e.py:3", 0.3),
                call(b, "b", "b.py:1", 0.4),
                call(c, "c", "c.py:1", 0.5),
            ]
        )
        data = to_speedscope(doc)
        check_speedscope(data)
        frames = data["shared"]["frames"]
        (profile,) = data["profiles"]
        assert [(e["type"], frames[e["frame"]]["name"], round(e["at"])) for e in profile["events"]] == [
            ("O", "a", 100),
            ("C", "a", 200),
            ("O", "b", 400),
            ("O", "c", 500),
            ("C", "c", 500),
            ("C", "b", 500),
        ]
        assert "early" not in [frame["name"] for frame in frames]


class TestJson:
    def test_document_becomes_json_safe(self):
        doc = shop_document()
        doc["frames_of_interest"][0]["locals"] = {
            "when": serialize.Opaque("datetime.datetime"),
            "big": 2**70,
            1: [serialize.Omitted(5)],
            "neg": -math.inf,
        }
        data = to_json(doc)
        text = json.dumps(data, allow_nan=False)
        back = json.loads(text)
        assert list(back["frames"]) == [str(WORKER)]
        assert back["frames_of_interest"][0]["locals"] == {
            "when": "<datetime.datetime>",
            "big": 2**70,
            "1": ["<5 more>"],
            "neg": "-inf",
        }
        assert back["trace_id"] == "trc_TEST"
        assert back["frames_of_interest"][1]["arg"] is None
        assert back["frames_of_interest"][2]["arg"] == [1, 2, 3]

    def test_json_safe_bounds_nesting(self):
        deep: list = []
        cursor = deep
        for _ in range(200):
            cursor.append([])
            cursor = cursor[0]
        safe = json_safe(deep)
        json.dumps(safe)
        depth = 0
        while isinstance(safe, list):
            safe = safe[0]
            depth += 1
        assert depth == 64 and isinstance(safe, str)

    def test_export_dispatch_and_writing(self):
        doc = shop_document()
        assert export(doc, "json") == to_json(doc)
        with pytest.raises(ValueError, match="unknown export format 'svg'"):
            export(doc, "svg")
        out = io.StringIO()
        write_json({"a": [1, "é"]}, out)
        assert out.getvalue() == '{"a":[1,"é"]}\n'


# --- any record stream -------------------------------------------------------

_step = st.one_of(
    st.tuples(st.just("call"), st.sampled_from(["f", "g", "h"])),
    st.tuples(st.just("return"), st.integers(0, 3)),
    st.tuples(st.just("orphan"), st.booleans()),
    st.tuples(st.just("plugin"), st.sampled_from(["log", "request", "custom"])),
)


def _records(steps, deltas, thread: str, native: int) -> list[dict]:
    """Records of one thread from random steps: returns may skip frames left
    open above them, some frames never return, some returns have no call,
    and the clock sometimes steps back."""
    records, stack, t = [], [], 0.0
    for (kind, arg), delta in zip(steps, deltas):
        t = max(t + delta, 0.0)
        if kind == "call":
            fid = frame_id()
            stack.append((fid, arg))
            records.append(call(fid, arg, f"{arg}.py:1", t, thread=thread, native=native))
        elif kind == "return" and stack:
            depth = min(arg, len(stack) - 1)
            fid, name = stack[-1 - depth]
            del stack[len(stack) - 1 - depth :]
            records.append(ret(fid, name, f"{name}.py:2", t, value=depth, thread=thread, native=native))
        elif kind == "orphan":
            records.append(ret(None if arg else "frm_unknown", "gone", "gone.py:9", t, thread=thread, native=native))
        elif kind == "plugin":
            records.append(plugin(arg, t, thread=thread, native=native, message="m"))
    return records


@settings(max_examples=150, deadline=None)
@given(
    main_steps=st.lists(_step, max_size=40),
    worker_steps=st.lists(_step, max_size=20),
    deltas=st.lists(st.floats(-0.001, 0.01), min_size=60, max_size=60),
)
def test_any_record_stream_exports_well_formed(main_steps, worker_steps, deltas):
    main = _records(main_steps, deltas, "MainThread", MAIN)
    worker = _records(worker_steps, deltas[40:], "worker", WORKER)
    doc = document(main, frames={WORKER: worker} if worker else {})

    chrome = to_chrome(doc)
    check_chrome(chrome)
    frame_records = [r for r in main + worker if r["type"] == "frame"]
    calls = sum(1 for r in frame_records if r["event"] == "call")
    matched = {r["frame_id"] for r in frame_records if r["event"] == "call"}
    orphans = sum(1 for r in frame_records if r["event"] == "return" and r["frame_id"] not in matched)
    assert sum(1 for e in chrome["traceEvents"] if e["ph"] == "X") == calls + orphans
    assert sum(1 for e in chrome["traceEvents"] if e["ph"] == "i") == sum(1 for r in main + worker if r["type"] != "frame")

    speedscope = to_speedscope(doc)
    check_speedscope(speedscope)
    opens = sum(1 for p in speedscope["profiles"] for e in p["events"] if e["type"] == "O")
    assert opens == calls


def test_a_recorded_program_exports_well_formed(tmp_path):
    def leaf(n):
        return n * 2

    def numbers(limit):
        for i in range(limit):
            yield leaf(i)

    def work():
        total = sum(numbers(3))
        try:
            raise KeyError("x")
        except KeyError:
            total += 1
        return total

    profiler = Profiler(db_path=tmp_path / "t.sqlite3", builtin_plugins=False)
    profiler.start()
    try:
        work()
    finally:
        profiler.stop()
    doc = serialize.loads(profiler.build_trace())
    chrome = to_chrome(doc)
    check_chrome(chrome)
    names = [e["name"] for e in chrome["traceEvents"] if e["ph"] == "X"]
    assert names[0].endswith("work")
    assert sum(name.endswith("numbers") for name in names) == 4  # three yields and the end
    assert sum(name.endswith("leaf") for name in names) == 3
    work_event = chrome["traceEvents"][[e.get("name") for e in chrome["traceEvents"]].index(names[0])]
    assert work_event["args"]["return_value"] == 7
    check_speedscope(to_speedscope(doc))
    json.dumps(to_json(doc), allow_nan=False)
