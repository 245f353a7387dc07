"""ruvo top, show's filters, traces' outcome column and ruvo import, on
documents built by hand with known durations."""

from __future__ import annotations

import re

import msgpack
import pytest

from _documents import WORKER, call, document, frame_id, plugin, ret
from ruvo import db
from ruvo.cli import main
from ruvo.model import build_threads, stream_threads
from ruvo.render.text import render_trace


def profile_document(trace_id="trc_TOP", nodeid=None, outcome=None):
    """main 0→1 s calls a 0.1→0.4 (which calls b 0.2→0.3), a 0.5→0.6, and r
    0.7→0.9 recursing into r 0.75→0.85; a worker runs w 0→0.5 calling b 0.1→0.2."""
    m, a1, b1, a2, r1, r2, w, b2 = (frame_id() for _ in range(8))
    records = [
        call(m, "app.main", "app.py:1", 0.0),
        call(a1, "app.a", "app.py:10", 0.1),
        call(b1, "app.b", "app.py:20", 0.2),
        ret(b1, "app.b", "app.py:21", 0.3),
        ret(a1, "app.a", "app.py:11", 0.4),
        call(a2, "app.a", "app.py:10", 0.5),
        plugin("log", 0.55, level="INFO", levelno=20, logger="app", message="between", path="app.py:12"),
        ret(a2, "app.a", "app.py:11", 0.6),
        call(r1, "app.r", "app.py:30", 0.7),
        call(r2, "app.r", "app.py:30", 0.75),
        ret(r2, "app.r", "app.py:31", 0.85),
        ret(r1, "app.r", "app.py:31", 0.9),
        ret(m, "app.main", "app.py:2", 1.0),
    ]
    if nodeid:
        records = [plugin("start_test", 0.0, nodeid=nodeid), *records,
                   plugin("end_test", 1.0, nodeid=nodeid, outcome=outcome)]
    worker = [
        call(w, "app.w", "app.py:40", 0.0, thread="worker", native=WORKER),
        call(b2, "app.b", "app.py:20", 0.1, thread="worker", native=WORKER),
        ret(b2, "app.b", "app.py:21", 0.2, thread="worker", native=WORKER),
        ret(w, "app.w", "app.py:41", 0.5, thread="worker", native=WORKER),
    ]
    return document(records, frames={WORKER: worker}, trace_id=trace_id)


@pytest.fixture
def database(tmp_path):
    path = tmp_path / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_TOP", timeout=5, msgpack=msgpack.packb(profile_document()))
    return path


def ruvo(capsys, *args):
    status = main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


class TestTop:
    def test_calls_total_own_and_share_across_threads(self, database, capsys):
        status, out, err = ruvo(capsys, "top", "--db", str(database))
        assert (status, err) == (0, "")
        assert out.splitlines() == [
            "trace trc_TOP  threads: all 2  sorted by own",
            "recorder cost not measured (a small trace): times include it",
            "CALLS     TOTAL       OWN  SHARE  FUNCTION  PATH",
            "    1    1.00 s  400.0 ms  26.7%  app.main  app.py:1",
            "    1  500.0 ms  400.0 ms  26.7%  app.w     app.py:40",
            "    2  400.0 ms  300.0 ms  20.0%  app.a     app.py:10",
            "    2  200.0 ms  200.0 ms  13.3%  app.b     app.py:20",
            # Recursion: the total counts the outer call only.
            "    2  200.0 ms  200.0 ms  13.3%  app.r     app.py:30",
        ]

    def test_one_thread_sorting_and_limit(self, database, capsys):
        _, out, _ = ruvo(capsys, "top", "--db", str(database), "--thread", "worker")
        assert out.splitlines()[0] == "trace trc_TOP  threads: worker  sorted by own"
        assert [re.split(r"\s{2,}", line.strip())[3:] for line in out.splitlines()[3:]] == [
            ["80.0%", "app.w", "app.py:40"], ["20.0%", "app.b", "app.py:20"]]
        _, out, _ = ruvo(capsys, "top", "trc_T", "--db", str(database), "--sort", "calls", "--limit", "2")
        assert [re.split(r"\s{2,}", line.strip())[4] for line in out.splitlines()[3:5]] == ["app.a", "app.b"]
        assert out.splitlines()[5:] == ["(3 more functions; --limit N shows more)"]
        _, out, _ = ruvo(capsys, "top", "--db", str(database), "--sort", "total", "--limit", "1")
        assert re.split(r"\s{2,}", out.splitlines()[3].strip())[4] == "app.main"

    def test_unknown_thread_and_trace(self, database, capsys):
        assert ruvo(capsys, "top", "--db", str(database), "--thread", "nope") == (
            2, "", "ruvo: error: no thread 'nope' in trace trc_TOP\n")
        assert ruvo(capsys, "top", "trc_X", "--db", str(database)) == (
            2, "", f"ruvo: error: no trace trc_X in {database}\n")

    def test_a_return_without_its_call_counts_without_time(self, tmp_path, capsys):
        f = frame_id()
        doc = document([ret(f, "app.f", "app.py:5", 0.2), call(frame_id(), "app.g", "app.py:9", 0.3)])
        path = tmp_path / "t.sqlite3"
        db.save_trace_in_sqlite(path, "trc_P", timeout=5, msgpack=msgpack.packb(doc))
        _, out, _ = ruvo(capsys, "top", "--db", str(path))
        assert [line.split() for line in out.splitlines()[3:]] == [
            ["1", "0.0", "µs", "0.0", "µs", "-", "app.f", "app.py:5"],
            ["1", "0.0", "µs", "0.0", "µs", "-", "app.g", "app.py:9"]]


TALLY_COLUMNS = ["thread", "thread_native_id", "qualname", "path", "line", "calls", "total", "own", "hidden",
                 "calls_recorded", "returns_recorded", "call_before", "call_after", "return_before", "return_after",
                 "resumes", "resume_lines", "resumes_counted"]


def tally_row(qualname, line, *, calls=0, total=0.0, own=0.0, hidden=0.0, recorded=(0, 0), cost=(0, 0, 0, 0),
              resumes=0, resume_lines=(), resumes_counted=0):
    return ["MainThread", 100, qualname, "app.py", line, calls, total, own, hidden, *recorded, *cost, resumes,
            list(resume_lines), resumes_counted]


class TestTally:
    """The trace's tally record completes the records: calls past the
    budget merged in, resumes under their function, the recorder's cost out."""

    def test_counts_past_the_budget_resumes_and_recorder_cost(self):
        from ruvo.render.top import describe, profile_records

        m, a, b, g1, g2 = (frame_id() for _ in range(5))
        records = [
            call(m, "app.main", "app.py:1", 0.0),
            call(a, "app.a", "app.py:10", 0.1),
            call(b, "app.b", "app.py:20", 0.2),
            ret(b, "app.b", "app.py:21", 0.3),
            ret(a, "app.a", "app.py:11", 0.4),
            call(g1, "app.g", "app.py:50", 0.5),  # a generator's start, at its definition
            ret(g1, "app.g", "app.py:52", 0.55),
            call(g2, "app.g", "app.py:52", 0.6),  # and a resume
            ret(g2, "app.g", "app.py:52", 0.65),
            ret(m, "app.main", "app.py:2", 1.0),
            plugin("ruvo", 1.0, subtype="left_out", complete_until=0.45, frames_omitted=16, values_omitted=0),
            plugin("ruvo", 1.0, subtype="tally", columns=TALLY_COLUMNS, functions=[
                tally_row("app.main", 1, hidden=0.05, recorded=(1, 1), cost=(0, 0.01, 0.01, 0)),
                tally_row("app.a", 10, hidden=0.03, recorded=(1, 1), cost=(0.002, 0.01, 0.01, 0.002)),
                tally_row("app.b", 20, calls=3, total=0.03, own=0.03, recorded=(1, 1), cost=(0.004, 0.01, 0.01, 0.004)),
                tally_row("app.g", 50, recorded=(2, 2), resumes=1, resume_lines=[52]),
                tally_row("app.c", 60, calls=5, total=0.05, own=0.05, resumes_counted=2),
            ]),
        ]
        profile = profile_records((None, r) for r in records)
        rows = {name: (stats.calls, stats.resumes, stats.total, stats.own)
                for (name, _), stats in profile.functions.items()}
        def near(x):  # timestamps are epoch seconds: a µs of rounding
            return pytest.approx(x, abs=1e-6)

        # Mean cost per recorded call: (0.036 / 5 calls) + (0.036 / 5 returns).
        full = 0.0144
        assert rows == {
            # Own: 0.6 recorded, less its own events' inner parts (0.02), a's
            # outer parts (0.004), and the counted calls under it (0.05).
            # Total: less its own events and the 4 recorded calls below it.
            "app.main": (1, 0, near(1.0 - 0.02 - 4 * full), near(0.6 - 0.02 - 0.004 - 0.05)),
            "app.a": (1, 0, near(0.3 - 0.02 - full), near(0.2 - 0.02 - 0.008 - 0.03)),
            "app.b": (4, 0, near(0.1 - 0.02 + 0.03), near(0.1 - 0.02 + 0.03)),
            "app.g": (1, 1, near(0.1), near(0.1)),
            "app.c": (3, 2, near(0.05), near(0.05)),
        }
        assert profile.counted_calls == 8 and profile.complete_until == 0.45
        # The calibrated cost outside the recorder's clock: per recorded
        # call, its caller's share off the caller, its own share off it.
        records[-1] = {**records[-1], "recorder_bias": 0.001, "recorder_bias_inside": 0.002}
        biased = profile_records((None, r) for r in records)
        drop = {name: round(rows[name][3] - stats.own, 6) for (name, _), stats in biased.functions.items()}
        assert drop == {"app.main": 0.002 + 3 * 0.001, "app.a": 0.002 + 0.001, "app.b": 0.002, "app.g": 2 * 0.002,
                        "app.c": 0.0}
        assert profile.cost_per_call == pytest.approx(full)
        assert describe(profile)[0] == "recorder cost taken out: 14.4 ms per recorded call (14.4 ms measured while recording)"
        assert describe(profile)[1].endswith(": 8 later calls were counted and timed, not recorded; the counts and "
                                             "times below include them (--trace-budget for more records)")


class TestShowFilters:
    def test_min_duration_keeps_the_long_calls(self, database, capsys):
        status, out, _ = ruvo(capsys, "show", "--db", str(database), "--min-duration", "150ms", "--thread", "MainThread")
        assert status == 0
        lines = out.splitlines()
        assert lines[2] == "showing only calls of 150.0 ms or more"
        assert lines[4:] == [
            "main thread MainThread (13 records, native id 100)",
            "└─ 1.00 s  app.main  app.py:1",
            "   ├─ 300.0 ms  app.a  app.py:10",
            "   │  └─ … 1 more entry",
            "   ├─ 200.0 ms  app.r  app.py:30",
            "   │  └─ … 1 more entry",
            "   └─ … 2 more entries",
        ]

    def test_grep_keeps_matches_and_the_calls_leading_to_them(self, database, capsys):
        _, out, _ = ruvo(capsys, "show", "--db", str(database), "--grep", "app.b")
        lines = out.splitlines()
        assert lines[2] == "showing only calls matching 'app.b' and those leading to them"
        assert lines[4:] == [
            "main thread MainThread (13 records, native id 100)",
            "└─ 1.00 s  app.main  app.py:1",
            "   ├─ 300.0 ms  app.a  app.py:10",
            "   │  └─ 100.0 ms  app.b  app.py:20",
            "   └─ … 4 more entries",
            "",
            "thread worker (4 records, native id 200)",
            "└─ 500.0 ms  app.w  app.py:40",
            "   └─ 100.0 ms  app.b  app.py:20",
        ]

    def test_durations_are_parsed_with_their_units(self, database, capsys):
        from ruvo.cli.show import duration

        assert [duration(text) for text in ("2ms", "150us", "150µs", "0.5s", "3", "10ns")] == pytest.approx(
            [0.002, 0.00015, 0.00015, 0.5, 3.0, 1e-8])
        status, _, err = ruvo(capsys, "show", "--db", str(database), "--min-duration", "fast")
        assert status == 2 and "not a duration: 'fast' (write e.g. 2ms, 150us, 0.5s)" in err

    def test_streamed_trees_are_the_built_ones(self, tmp_path):
        from _documents import MAIN, WORKER, shop_document

        doc = shop_document()
        # The worker's records as those of interest, with no main thread: it
        # must lead although the other thread began first.
        served = dict(doc, main_thread_id=None, frames_of_interest=doc["frames"][WORKER],
                      frames={MAIN: doc["frames_of_interest"]})

        def shape(trees):
            return [(t.name, t.native_id, t.is_main, t.records, t.first, t.last, t.hidden,
                     [(d, type(n).__name__, getattr(n, "name", None), getattr(n, "duration", None))
                      for d, n in t.walk()]) for t in trees]

        for trace_id, trace, leader in (("trc_TEST", doc, MAIN), ("trc_SRV", served, WORKER)):
            path = tmp_path / f"{trace_id}.sqlite3"
            db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=msgpack.packb(trace))
            with db.open_documents(path) as streams:
                streamed = stream_threads(streams)
            assert shape(streamed.trees) == shape(build_threads(trace))
            assert streamed.trees[0].native_id == leader
            assert (streamed.records, streamed.threads) == (17, 2)

    def test_depth_while_streaming_counts_what_it_leaves_out(self, tmp_path, monkeypatch):
        monkeypatch.setattr(db.store, "PART_BYTES", 300)  # read across parts too
        doc = profile_document()
        path = tmp_path / "t.sqlite3"
        db.save_trace_in_sqlite(path, "trc_TOP", timeout=5, msgpack=msgpack.packb(doc))
        with db.open_documents(path) as streams:
            streamed = stream_threads(streams, depth=1, values=False)
        (main_root,) = streamed.trees[0].roots
        assert (main_root.name, main_root.children, main_root.hidden) == ("app.main", [], 6)
        assert set(main_root.call) == {"type", "event", "frame_id", "timestamp", "qualname", "co_name", "path"}


def test_show_test_and_traces_outcome_column(tmp_path, capsys):
    path = tmp_path / "t.sqlite3"
    for trace_id, nodeid, outcome in (("trc_1", "t.py::test_ok", "passed"), ("trc_2", "t.py::test_bad", "failed")):
        db.save_trace_in_sqlite(path, trace_id, timeout=5,
                                msgpack=msgpack.packb(profile_document(trace_id, nodeid, outcome)))
    _, out, _ = ruvo(capsys, "traces", "--db", str(path))
    assert [line.split()[3:5] for line in out.splitlines()] == [
        ["SOURCE", "OUTCOME"], ["t.py::test_bad", "failed"], ["t.py::test_ok", "passed"]]
    _, out, _ = ruvo(capsys, "traces", "--db", str(path), "--failed")
    assert [line.split()[0] for line in out.splitlines()[1:]] == ["trc_2"]
    _, out, _ = ruvo(capsys, "show", "--db", str(path), "--test", "t.py::test_ok", "--depth", "1")
    assert out.splitlines()[0] == "trace trc_1"
    assert out.splitlines()[3:8] == [
        "main thread MainThread (15 records, native id 100)",
        "├─ ▶ test t.py::test_ok",
        "├─ 1.00 s  app.main  app.py:1",
        "│  └─ … 6 more entries",
        "└─ ■ test t.py::test_ok: passed",
    ]


def test_spilled_files_are_listed_and_imported(tmp_path, capsys):
    path = tmp_path / ".ruvo" / "ruvo.sqlite3"
    path.mkdir(parents=True)  # a directory where the database should be: the save spills
    encoded = msgpack.packb(profile_document("trc_SPILL", "t.py::test_x", "failed"))
    with pytest.raises(db.TraceNotSaved) as caught:
        db.save_trace_in_sqlite(path, "trc_SPILL", timeout=5, msgpack=encoded)
    spill = caught.value.spill_path
    path.rmdir()
    (tmp_path / ".ruvo" / "notes.txt").write_text("not a trace")
    status, out, _ = ruvo(capsys, "traces", "--db", str(path))
    assert status == 0
    assert out.splitlines() == [
        "1 trace file spilled beside the database waits to be stored (ruvo import stores them):",
        f"  {spill}  {len(encoded) / 1024:.1f} KiB",
    ]
    status, out, err = ruvo(capsys, "import", "--db", str(path))
    assert (status, err) == (0, "")
    assert out == f"ruvo: stored trc_SPILL (19 records) from {spill} in {path}\n"
    assert not spill.exists()
    assert db.load_documents(path, "trc_SPILL") == [encoded]
    (row,) = db.list_traces(path)
    assert (row.test_nodeid, row.outcome) == ("t.py::test_x", "failed")
    assert ruvo(capsys, "import", "--db", str(path))[1] == f"No spilled traces wait beside {path}.\n"


def test_import_refuses_what_is_not_a_trace(tmp_path, capsys):
    bogus = tmp_path / "x.msgpack"
    bogus.write_bytes(msgpack.packb({"hello": 1}))
    status, _, err = ruvo(capsys, "import", "--db", str(tmp_path / "t.sqlite3"), str(bogus))
    assert status == 2
    assert err == f"ruvo: could not import {bogus}: {bogus} is not a trace document: the document has no " \
        "command_line_args, current_commit_sha, frames, frames_of_interest, main_thread_id, meta, timestamp, " \
        "trace_id\nruvo: error: 1 of 1 file(s) could not be imported\n"
    assert bogus.exists()


def test_show_of_the_stream_prints_what_the_whole_document_renders(tmp_path, capsys):
    doc = profile_document(nodeid="t.py::test_y", outcome="passed")
    path = tmp_path / "t.sqlite3"
    db.save_trace_in_sqlite(path, "trc_TOP", timeout=5, msgpack=msgpack.packb(doc))
    for options, render_options in (([], {}), (["--depth", "2"], {"depth": 2}),
                                    (["--values", "--thread", "worker"], {"values": True, "threads": ["worker"]})):
        status, out, err = ruvo(capsys, "show", "--db", str(path), *options)
        assert (status, err) == (0, "")
        assert out == render_trace(doc, **render_options)
