"""ruvo show draws threads while their records are read, spooling the lines:
its text must be the one drawn from the trees built in memory."""

from __future__ import annotations

import itertools

import msgpack
import pytest

from _documents import WORKER, call, document, frame_id, plugin, ret
from ruvo import db
from ruvo.cli.show import keeper
from ruvo.model import stream_threads
from ruvo.render import spool, text
from ruvo.render.text import ThreadSpools, render_trees, write_trees


def awkward_document() -> dict:
    """Threads with calls nested past any depth shown, plugin records at every
    level, returns whose call came before recording (at the top and inside a
    call), a call that never returns, and a thread of plugin records only."""
    m, a, b, c, d, g, h, i, hit, u, v, w, wb = (frame_id() for _ in range(13))
    records = [
        ret(frame_id(), "early", "e.py:4", 0.01),
        plugin("start_test", 0.02, nodeid="t.py::test_x"),
        call(m, "app.main", "app.py:1", 0.03, locals={"argv": ["x"], "n": 2}),
        call(a, "app.a", "app.py:10", 0.04, locals={"x": 1}),
        call(b, "app.b", "app.py:20", 0.05),
        call(c, "app.c", "app.py:30", 0.06),
        plugin("log", 0.065, level="WARNING", levelno=30, logger="app", message="deep µ…", path="app.py:31"),
        ret(c, "app.c", "app.py:32", 0.07, value="ok"),
        ret(b, "app.b", "app.py:21", 0.08),
        ret(a, "app.a", "app.py:11", 0.09, value=[1, 2], locals={"x": 1, "y": 2}),
        plugin("log", 0.1, level="INFO", levelno=20, logger="app", message="between", path="app.py:2"),
        ret(frame_id(), "app.resumed", "app.py:50", 0.11),
        call(g, "app.g", "app.py:60", 0.12),
        ret(g, "app.g", "app.py:61", 0.120001),
        call(h, "app.h", "app.py:70", 0.13),
        call(i, "app.i", "app.py:80", 0.14),
        call(hit, "app.needle", "needle.py:1", 0.15),
        ret(hit, "app.needle", "needle.py:2", 0.16),
        ret(i, "app.i", "app.py:81", 0.17),
        ret(h, "app.h", "app.py:71", 0.18),
        ret(m, "app.main", "app.py:3", 0.5, value=0),
        ret(frame_id(), "runner", "run.py:9", 0.6),
        call(u, "app.unfinished", "app.py:90", 0.7),
        call(v, "app.inner", "app.py:95", 0.71),
        ret(v, "app.inner", "app.py:96", 0.72),
        plugin("end_test", 0.8, nodeid="t.py::test_x", outcome="failed"),
    ]
    worker = [
        call(w, "app.w", "app.py:40", 0.0, thread="worker", native=WORKER),
        call(d, "app.d", "app.py:45", 0.1, thread="worker", native=WORKER),
        call(wb, "app.b", "app.py:20", 0.15, thread="worker", native=WORKER),
        plugin("log", 0.16, thread="worker", native=WORKER, level="ERROR", levelno=40, logger="w", message="x"),
        ret(wb, "app.b", "app.py:21", 0.2, thread="worker", native=WORKER),
        ret(d, "app.d", "app.py:46", 0.3, thread="worker", native=WORKER),
        ret(w, "app.w", "app.py:41", 0.5, thread="worker", native=WORKER),
    ]
    quiet = [plugin("metric", 0.2 + n / 10, thread="quiet", native=300, value=n) for n in range(3)]
    return document(records, frames={WORKER: worker, 300: quiet})


@pytest.fixture
def trace(tmp_path, monkeypatch):
    path = tmp_path / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_AWK", timeout=5, msgpack=msgpack.packb(awkward_document()))
    # Tiny chunks and batches, so that spools spill, are cut back across
    # chunks and are read back in many windows.
    monkeypatch.setattr(spool, "_CHUNK", 40)
    monkeypatch.setattr(spool, "BATCH", 3)
    monkeypatch.setattr(text, "BATCH", 3)
    return path


def drawn_both_ways(path, *, depth=None, values=False, min_duration=None, grep=None, threads=None,
                    color=False, ascii_only=False) -> tuple[str, list[str]]:
    options = dict(depth=depth, keep=keeper(min_duration, grep), values=values,
                   wanted=None if threads is None else (lambda name, native_id: name in threads))
    style = dict(values=values, color=color, ascii_only=ascii_only)

    def counts(trace):
        return dict(records=trace.records, threads=trace.threads, any_threads=bool(trace.names), depth=depth,
                    note="a note" if grep else None, **style)

    with db.open_documents(path) as streams:
        built = stream_threads(streams, **options)
    pieces: list[str] = []
    with ThreadSpools() as spools, db.open_documents(path) as streams:
        spooled = stream_threads(streams, builder=spools.builder(**style), **options)
        write_trees(pieces.append, spooled.fields, spooled.trees, **counts(spooled))
    return render_trees(built.fields, built.trees, **counts(built)), pieces


def test_spooled_text_is_the_text_of_the_built_trees(trace):
    settings = itertools.product((None, 1, 2, 3), (False, True), (None, 0.015), (None, "needle", "app.b"))
    for depth, values, min_duration, grep in settings:
        expected, pieces = drawn_both_ways(trace, depth=depth, values=values, min_duration=min_duration, grep=grep)
        assert "".join(pieces) == expected, (depth, values, min_duration, grep)
    expected, pieces = drawn_both_ways(trace, values=True)
    for mark in ("(call not recorded)", "(no return recorded)", "app.needle", "thread quiet", "args: argv=['x']"):
        assert mark in expected
    assert len(pieces) > 10  # written a batch at a time, not as one text


def test_spooled_text_with_style_threads_and_hidden_entries(trace):
    for options in (dict(color=True, values=True), dict(ascii_only=True, depth=2), dict(threads={"worker"}),
                    dict(threads={"nobody"}), dict(grep="needle", depth=2), dict(min_duration=10.0)):
        expected, pieces = drawn_both_ways(trace, **options)
        assert "".join(pieces) == expected, options
    expected, _ = drawn_both_ways(trace, min_duration=10.0)
    assert expected.splitlines()[3:6] == ["main thread MainThread (26 records, native id 100)", "(no records)",
                                          "└─ … 17 more entries"]
    expected, _ = drawn_both_ways(trace, ascii_only=True, depth=2)
    assert expected.splitlines()[3:8] == [
        "main thread MainThread (26 records, native id 100)",
        "|- ?  runner  run.py:9  (call not recorded)",
        "|  |- ?  early  e.py:4  (call not recorded)",
        "|  |- > test t.py::test_x",
        "|  `- 470.0 ms  app.main  app.py:1",
    ]
    assert expected.splitlines()[8] == "|     `- ... 10 more entries"


def test_show_decodes_plugin_values_even_without_values(tmp_path, capsys):
    # Without --values calls' values are left undecoded; a plugin record's are not.
    from ruvo.cli import main

    value = msgpack.ExtType(1, msgpack.packb(["Widget", "<Widget 3>"]))
    records = [plugin("metric", 0.1, item=value), call("frm_1", "f", "f.py:1", 0.2, locals={"w": value}),
               ret("frm_1", "f", "f.py:2", 0.3, value=value)]
    path = tmp_path / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_EXT", timeout=5, msgpack=msgpack.packb(document(records)))
    assert main(["show", "--db", str(path)]) == 0
    assert capsys.readouterr().out.splitlines()[4:] == ["├─ metric: item=<Widget 3>", "└─ 100.0 ms  f  f.py:1"]
    assert main(["show", "--db", str(path), "--values"]) == 0
    assert capsys.readouterr().out.splitlines()[6:8] == ["     args: w=<Widget 3>", "     → <Widget 3>   locals: (none)"]
