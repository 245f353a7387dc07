"""What the commands print for a newcomer: trace ids as typed, why a run
recorded nothing, show's default tree, colour, and the progress line."""

from __future__ import annotations

import io
import re
import time

import msgpack
import pytest

from _cli import ruvo as ruvo_child
from _cli import write
from _documents import call, document, frame_id, plugin, ret
from ruvo import db
from ruvo.cli import main
from ruvo.terminal import Progress

IDS = ("trc_01ABCDEFGH", "trc_01ABXYZ123", "trc_02QQQQQQQQ")


def save(path, doc) -> None:
    db.save_trace_in_sqlite(path, doc["trace_id"], timeout=5, msgpack=msgpack.packb(doc))


def ruvo(capsys, *args):
    status = main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def small(trace_id: str) -> dict:
    f = frame_id()
    return document([call(f, "app.main", "app.py:1", 0.0), ret(f, "app.main", "app.py:2", 0.5)], trace_id=trace_id)


def test_trace_ids_match_without_their_prefix_and_in_any_case(tmp_path, capsys):
    path = str(tmp_path / "t.sqlite3")
    for trace_id in IDS:
        save(path, small(trace_id))
    for typed in ("01abc", "trc_01abc", "TRC_01ABCDEFGH", "01ABCDEFGH"):
        status, out, err = ruvo(capsys, "show", "--db", path, typed)
        assert (status, err, out.splitlines()[0]) == (0, "", "trace trc_01ABCDEFGH"), typed
    # By way of the decoded document too (export and view load it whole).
    status, out, _ = ruvo(capsys, "export", "--db", path, "-f", "json", "-o", "-", "02q")
    assert status == 0 and '"trc_02QQQQQQQQ"' in out
    assert ruvo(capsys, "top", "--db", path, "01ab") == (
        2, "", "ruvo: error: trace id prefix '01ab' matches 2 traces (trc_01ABCDEFGH, trc_01ABXYZ123); "
        "give more of it\n")
    assert ruvo(capsys, "show", "--db", path, "03")[2] == f"ruvo: error: no trace 03 in {path}\n"


def test_a_run_that_records_nothing_says_why_and_how_to_include_it(tmp_path):
    (tmp_path / "data.json").write_text('{"a": 1}')
    result = ruvo_child(tmp_path, "run", "-m", "json.tool", "data.json")
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    assert re.fullmatch(r"ruvo: 0 records, 0 threads, .*", lines[1])
    assert re.fullmatch(r"ruvo: nothing was recorded: json\.tool is library code \(/.*/json/tool\.py\), and ruvo "
                        r"records only your code, skipping files whose path contains lib/python or "
                        r"/site-packages/\.", lines[2])
    assert lines[3:] == ["ruvo: to record it, give --include TEXT with part of its path (e.g. --include /json/), "
                         "or add it to include in [tool.ruvo] of pyproject.toml"]
    # The advice works.
    result = ruvo_child(tmp_path, "run", "--include", "/json/", "-m", "json.tool", "data.json")
    assert re.search(r"^ruvo: [1-9]\d* records, 1 thread", result.stderr, re.MULTILINE)
    assert "nothing was recorded" not in result.stderr


SOURCE = """\
import helper

@decorate
class Cart:
    class Line:
        pass

def main():
    pass
"""


@pytest.fixture
def program(tmp_path):
    """A script's module body importing a module (whose body runs a class
    body), then running a decorated class body with a nested one, and main."""
    shop, helper = str(write(tmp_path / "shop.py", SOURCE)), str(write(tmp_path / "helper.py", "class Base:\n    pass\n"))
    calls = [("__main__.<module>", shop, 0, 0.0, 1.0), ("helper.<module>", helper, 0, 0.1, 0.2),
             ("helper.Base", helper, 1, 0.11, 0.12), ("__main__.Cart", shop, 3, 0.3, 0.4),
             ("__main__.Cart.Line", shop, 5, 0.31, 0.32), ("__main__.main", shop, 8, 0.5, 0.6)]
    ids = [frame_id() for _ in calls]
    events = [(start, call(f, name, f"{file}:{line}", start, co_name=name.rpartition(".")[2]))
              for f, (name, file, line, start, _) in zip(ids, calls)]
    events += [(end, ret(f, name, f"{file}:{line}", end, co_name=name.rpartition(".")[2]))
               for f, (name, file, line, _, end) in zip(ids, calls)]
    events.append((0.55, plugin("log", 0.55, level="ERROR", levelno=40, logger="shop", message="out of stock")))
    records = [record for _, record in sorted(events, key=lambda event: event[0])]
    path = tmp_path / "t.sqlite3"
    save(path, document(records, trace_id="trc_SHOP"))
    return str(path), shop


def test_show_leaves_out_import_and_class_bodies_unless_all(program, capsys):
    path, shop = program
    status, out, _ = ruvo(capsys, "show", "--db", path)
    assert status == 0
    assert out.splitlines()[4:] == [
        f"└─ 1.00 s  __main__.<module>  {shop}:0",
        f"   ├─ 100.0 ms  __main__.main  {shop}:8",
        "   │  └─ ERROR shop: out of stock",
        "   └─ … 4 more entries",
        "",
        '(not shown: 1 module body run by imports and 3 class bodies, counted in the "more entries" lines; '
        "--all shows them)",
    ]
    out = ruvo(capsys, "show", "--db", path, "--all")[1]
    assert re.findall(r"s  (\S+)  /", out) == [
        "__main__.<module>", "helper.<module>", "helper.Base", "__main__.Cart", "__main__.Cart.Line", "__main__.main"]
    assert "not shown" not in out
    # What --grep looks for is shown even inside a class body.
    out = ruvo(capsys, "show", "--db", path, "--grep", "Line")[1]
    assert re.findall(r"s  (\S+)  /", out) == [
        "__main__.<module>", "__main__.Cart", "__main__.Cart.Line"]
    assert out.endswith("\n\n(not shown: 1 module body run by imports and 1 class body, counted in the \"more entries\" "
                        "lines; --all shows them)\n")


def test_colour_only_when_asked_or_on_a_terminal_without_no_color(program, capsys, monkeypatch):
    path, shop = program
    monkeypatch.delenv("NO_COLOR", raising=False)
    plain = ruvo(capsys, "show", "--db", path)[1]
    assert "\x1b" not in plain  # captured output is no terminal
    assert ruvo(capsys, "show", "--db", path, "--color", "never")[1] == plain
    coloured = ruvo(capsys, "show", "--db", path, "--color", "always")[1].splitlines()
    assert coloured[4:] == [
        f"└─ \x1b[33m1.00 s\x1b[0m  \x1b[1m__main__.<module>\x1b[0m  \x1b[2m{shop}:0\x1b[0m",
        f"   ├─ 100.0 ms  \x1b[1m__main__.main\x1b[0m  \x1b[2m{shop}:8\x1b[0m",
        "   │  └─ \x1b[31mERROR shop: out of stock\x1b[0m",
        "   └─ \x1b[2m… 4 more entries\x1b[0m",
        "",
        '\x1b[2m(not shown: 1 module body run by imports and 3 class bodies, counted in the "more entries" lines; '
        "--all shows them)\x1b[0m",
    ]
    monkeypatch.setattr("sys.stdout.isatty", lambda: True)
    assert ruvo(capsys, "show", "--db", path)[1].splitlines()[4:] == coloured[4:]
    monkeypatch.setenv("NO_COLOR", "1")
    assert ruvo(capsys, "show", "--db", path)[1] == plain
    assert ruvo(capsys, "show", "--db", path, "--color", "always")[1].splitlines()[4:] == coloured[4:]
    monkeypatch.setenv("NO_COLOR", "")  # empty: as if unset
    top = ruvo(capsys, "top", "--db", path)[1]
    # Padded before colouring: the columns stay where they were.
    assert re.sub(r"\x1b\[\d+m", "", top) == ruvo(capsys, "top", "--db", path, "--color", "never")[1]
    assert top.splitlines()[3].startswith(
        "    1    1.00 s  \x1b[33m700.0 ms\x1b[0m  70.0%  \x1b[1m__main__.<module>\x1b[0m   /")


def test_traces_and_runs_mark_failures_in_red(tmp_path, capsys):
    path = str(tmp_path / "t.sqlite3")
    db.begin_run(path, "pytest", command="pytest")
    for trace_id, outcome in (("trc_PASS", "passed"), ("trc_FAIL", "failed")):
        nodeid = f"t.py::{outcome}"
        save(path, document([plugin("start_test", 0.0, nodeid=nodeid), *small(trace_id)["frames_of_interest"],
                             plugin("end_test", 0.5, nodeid=nodeid, outcome=outcome)], trace_id=trace_id))
    db.finish_run(path, passed=1, failed=1, skipped=0, timeout=5)
    lines = ruvo(capsys, "traces", "--db", path, "--color", "always")[1].splitlines()
    assert lines[0] == "TRACE ID  SAVED                SOURCE        OUTCOME  RECORDS   SIZE"
    assert re.fullmatch(r"\x1b\[1mtrc_FAIL\x1b\[0m  \S+ \S+  t\.py::failed  \x1b\[31mfailed\x1b\[0m         4  \d+ B",
                        lines[1])
    assert re.fullmatch(r"\x1b\[1mtrc_PASS\x1b\[0m  \S+ \S+  t\.py::passed  passed         4  \d+ B", lines[2])
    runs = ruvo(capsys, "runs", "--db", path, "--color", "always")[1].splitlines()
    assert "1 passed, \x1b[31m1 failed\x1b[0m, 0 skipped" in runs[1]
    assert "\x1b" not in ruvo(capsys, "runs", "--db", path)[1]


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def _wait_for(stream: io.StringIO, text: str) -> None:
    deadline = time.monotonic() + 10
    while text not in stream.getvalue() and time.monotonic() < deadline:
        time.sleep(0.01)


def test_progress_line_only_on_a_terminal_overwritten_and_cleared(capsys):
    terminal, quick, piped = _Terminal(), _Terminal(), io.StringIO()
    with Progress("reading trace trc_X", stream=terminal, delay=0.05, interval=0.01) as progress:
        _wait_for(terminal, "reading")
        progress.step("building the page")
        _wait_for(terminal, "building")
        print("result")  # output ends the line first, so that it never lands behind it
        time.sleep(0.05)
    assert re.fullmatch(r"(\rruvo: reading trace trc_X\.\.\. \d+ s\x1b\[K)+(\rruvo: building the page\.\.\. \d+ s"
                        r"\x1b\[K)+\r\x1b\[K", terminal.getvalue())
    assert capsys.readouterr().out == "result\n"
    # Quick work writes nothing, nor does a stream that is not a terminal.
    for stream, delay in ((quick, 5), (piped, 0)):
        with Progress("x", stream=stream, delay=delay, interval=0.01):
            time.sleep(0.05)
        assert stream.getvalue() == ""
