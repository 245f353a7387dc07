"""The ruvo command end to end, in child processes: run, traces, show, export."""

from __future__ import annotations

import json
import re

import pytest

from _cli import frame_names, ruvo, saved_trace_id, write
from _formats import check_chrome, check_speedscope
from ruvo import db

DEFAULT_DB = ".ruvo/ruvo.sqlite3"


def load(tmp_path, trace_id=None, db_name=DEFAULT_DB) -> dict:
    return db.load_trace(tmp_path / db_name, trace_id)


class TestRunLikePython:
    def test_script_gets_its_arguments_path_and_main_name(self, tmp_path):
        write(
            tmp_path / "sub" / "show_argv.py",
            """
            import json, sys
            print(json.dumps({"argv": sys.argv, "path0": sys.path[0], "name": __name__}))
            """,
        )
        result = ruvo(tmp_path, "run", "sub/show_argv.py", "a b", "--db", "x", "-m", "--", "-")
        assert result.returncode == 0, result.stderr
        # stdout holds the program's output only
        assert json.loads(result.stdout) == {
            "argv": ["sub/show_argv.py", "a b", "--db", "x", "-m", "--", "-"],
            "path0": str((tmp_path / "sub").resolve()),
            "name": "__main__",
        }
        trace_id = saved_trace_id(result)
        assert re.search(r"^ruvo: \d+ records, 1 thread, \d+\.\d{3} s wall time", result.stderr, re.MULTILINE)
        doc = load(tmp_path, trace_id)
        assert doc["meta"]["source"] == "run sub/show_argv.py"
        assert frame_names(doc) == ["__main__.<module>"]

    def test_options_before_the_script_are_ruvos(self, tmp_path):
        write(tmp_path / "p.py", "import sys; print(sys.argv[1:])")
        result = ruvo(tmp_path, "run", "--db", "other.sqlite3", "--source", "nightly", "--", "p.py", "--source")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "['--source']\n"
        assert (tmp_path / "other.sqlite3").is_file() and not (tmp_path / ".ruvo").exists()
        assert load(tmp_path, db_name="other.sqlite3")["meta"]["source"] == "nightly"

    def test_module_gets_its_arguments_and_cwd_on_path(self, tmp_path):
        write(tmp_path / "tools" / "__init__.py", "")
        write(
            tmp_path / "tools" / "hello.py",
            """
            import json, sys
            def greet(who):
                return f"hello {who}"
            print(json.dumps({"argv": sys.argv, "path0": sys.path[0], "name": __name__, "out": greet(sys.argv[1])}))
            """,
        )
        result = ruvo(tmp_path, "run", "-m", "tools.hello", "world", "--db", "x")
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout) == {
            "argv": [str(tmp_path.resolve() / "tools" / "hello.py"), "world", "--db", "x"],
            "path0": str(tmp_path.resolve()),
            "name": "__main__",
            "out": "hello world",
        }
        doc = load(tmp_path, saved_trace_id(result))
        assert doc["meta"]["source"] == "run -m tools.hello"
        assert "__main__.greet" in frame_names(doc)
        assert "tools.<module>" in frame_names(doc)  # the package's import

    def test_unknown_module_is_reported_as_python_does(self, tmp_path):
        result = ruvo(tmp_path, "run", "-m", "no_such_module")
        assert result.returncode == 1
        assert "ruvo: No module named no_such_module\n" in result.stderr
        assert "Traceback" not in result.stderr

    @pytest.mark.parametrize(
        "args, message",
        [
            (["run", "missing.py"], "ruvo: error: can't open file"),
            (["run"], "ruvo: error: nothing to run: give a script (ruvo run script.py) or a module (ruvo run -m module)\n"),
            (["run", "--db"], "ruvo run: error: argument --db: expected one argument\n"),
        ],
    )
    def test_usage_errors(self, tmp_path, args, message):
        result = ruvo(tmp_path, *args)
        assert result.returncode == 2
        assert message in result.stderr
        assert "Traceback" not in result.stderr
        assert not (tmp_path / ".ruvo").exists()


PROGRAM = """
import sys

def fail():
    {statement}

print("before")
fail()
print("after")
"""


class TestExitStatus:
    @pytest.mark.parametrize(
        "statement, status, stderr_start",
        [
            ("sys.exit(0)", 0, ""),
            ("sys.exit(3)", 3, ""),
            ("sys.exit(None)", 0, ""),
            ("sys.exit('giving up')", 1, "giving up\n"),
            ("return None", 0, ""),
            ("raise KeyboardInterrupt", 130, "Traceback (most recent call last):\n"),
        ],
    )
    def test_status_and_the_trace_is_saved(self, tmp_path, statement, status, stderr_start):
        write(tmp_path / "prog.py", PROGRAM.format(statement=statement))
        result = ruvo(tmp_path, "run", "prog.py")
        assert result.returncode == status
        assert result.stdout == ("before\nafter\n" if statement == "return None" else "before\n")
        assert result.stderr.startswith(stderr_start + "ruvo: saved trace ") or (
            status == 130 and result.stderr.startswith(stderr_start)
        )
        doc = load(tmp_path, saved_trace_id(result))
        assert frame_names(doc) == ["__main__.<module>", "__main__.fail"]
        # the frames that exited with the exception still have their returns
        returns = [r["qualname"] for r in doc["frames_of_interest"] if r["type"] == "frame" and r["event"] == "return"]
        assert returns == ["__main__.fail", "__main__.<module>"]

    def test_uncaught_exception_prints_the_programs_traceback(self, tmp_path):
        write(tmp_path / "prog.py", PROGRAM.format(statement="raise ValueError('bad input')"))
        result = ruvo(tmp_path, "run", "prog.py")
        assert result.returncode == 1
        traceback_text = result.stderr[: result.stderr.index("ruvo: saved trace")]
        lines = traceback_text.splitlines()
        assert lines[0] == "Traceback (most recent call last):"
        assert lines[-1] == "ValueError: bad input"
        frames = [line.strip() for line in lines if line.strip().startswith("File ")]
        assert frames == ['File "prog.py", line 7, in <module>', 'File "prog.py", line 4, in fail']
        assert frame_names(load(tmp_path, saved_trace_id(result))) == ["__main__.<module>", "__main__.fail"]


class TestRecordingOptions:
    @pytest.fixture
    def project(self, tmp_path):
        write(
            tmp_path / "helper.py",
            """
            def helper():
                return 1
            """,
        )
        write(
            tmp_path / "vendor" / "site-packages" / "vendored.py",
            """
            def vendored():
                return 2
            """,
        )
        write(
            tmp_path / "main.py",
            """
            import sys
            sys.path.insert(0, "vendor/site-packages")
            import helper, vendored
            helper.helper()
            vendored.vendored()
            """,
        )
        return tmp_path

    def names(self, tmp_path, *options) -> list[str]:
        result = ruvo(tmp_path, "run", *options, "main.py")
        assert result.returncode == 0, result.stderr
        return frame_names(load(tmp_path, saved_trace_id(result)))

    def test_default_skips_library_code(self, project):
        assert self.names(project) == ["__main__.<module>", "helper.<module>", "helper.helper"]

    def test_ignore_and_include(self, project):
        assert self.names(project, "--ignore", "helper.py") == ["__main__.<module>"]
        assert self.names(project, "--include", "vendored.py", "--ignore", "elper") == [
            "__main__.<module>",
            "vendored.<module>",
            "vendored.vendored",
        ]

    def test_threading_records_threads_the_program_starts(self, tmp_path):
        write(
            tmp_path / "threads.py",
            """
            import threading, time

            def in_thread():
                time.sleep(0.05)  # still running when the main code ends
                return "done"

            threading.Thread(target=in_thread, name="worker").start()
            """,
        )
        plain = ruvo(tmp_path, "run", "threads.py")
        assert plain.returncode == 0, plain.stderr
        doc = load(tmp_path, saved_trace_id(plain))
        assert frame_names(doc) == ["__main__.<module>"] and doc["frames"] == {}

        threaded = ruvo(tmp_path, "run", "--threading", "threads.py")
        assert threaded.returncode == 0, threaded.stderr
        assert "2 threads" in threaded.stderr
        doc = load(tmp_path, saved_trace_id(threaded))
        (worker,) = doc["frames"].values()
        assert [(r["thread"], r["qualname"], r["event"], r["arg"]) for r in worker if r["type"] == "frame"] == [
            ("worker", "__main__.in_thread", "call", None),
            ("worker", "__main__.in_thread", "return", "done"),
        ]


class TestTraces:
    def test_listing_newest_first_and_limit(self, tmp_path):
        write(tmp_path / "one.py", "def f():\n    return 1\nf()\n")
        write(tmp_path / "two.py", "x = 2\n")
        first = saved_trace_id(ruvo(tmp_path, "run", "one.py"))
        second = saved_trace_id(ruvo(tmp_path, "run", "two.py"))

        result = ruvo(tmp_path, "traces")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert re.split(r"\s{2,}", lines[0]) == ["TRACE ID", "SAVED", "SOURCE", "OUTCOME", "RECORDS", "SIZE"]
        rows = [re.split(r"\s{2,}", line) for line in lines[1:]]
        assert [(row[0], row[2], row[3], row[4]) for row in rows] == [
            (second, "run two.py", "-", "2"), (first, "run one.py", "-", "4")]
        for row in rows:
            assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", row[1])
            assert re.fullmatch(r"\d+ B|\d+\.\d KiB", row[5])

        limited = ruvo(tmp_path, "traces", "--limit", "1").stdout.splitlines()
        assert [line.split()[0] for line in limited[1:-1]] == [second]
        assert limited[-1] == "(1 older trace not shown)"

    def test_empty_and_missing_databases(self, tmp_path):
        (tmp_path / "empty.sqlite3").write_bytes(b"")
        empty = ruvo(tmp_path, "traces", "--db", "empty.sqlite3")
        assert (empty.returncode, empty.stdout) == (0, "No traces in empty.sqlite3 yet. Record one with: ruvo run script.py\n")

        missing = ruvo(tmp_path, "traces")
        assert missing.returncode == 2
        assert missing.stderr.startswith("ruvo: error: no trace database at ")
        assert len(missing.stderr.splitlines()) == 1


DEMO = """
import logging

log = logging.getLogger("demo")


class Cart:
    def __init__(self):
        self.items = []

    def add(self, item):
        self.items.append(item)
        if len(self.items) > 1:
            log.warning("cart has %d items", len(self.items))


def main():
    cart = Cart()
    cart.add("tea")
    cart.add("mug")
    return len(cart.items)


main()
"""

DURATION = re.compile(r"(├─ |└─ )(?:\d+(?:\.\d+)? (?:µs|ms|s)|\?)  ")


class TestShow:
    @pytest.fixture
    def demo(self, tmp_path):
        write(tmp_path / "demo.py", DEMO)
        result = ruvo(tmp_path, "run", "demo.py")
        assert result.returncode == 0, result.stderr
        return tmp_path, saved_trace_id(result)

    def test_call_tree_of_the_latest_trace(self, demo):
        tmp_path, trace_id = demo
        result = ruvo(tmp_path, "show")
        assert result.returncode == 0, result.stderr
        lines = [DURATION.sub(r"\1D  ", line) for line in result.stdout.splitlines()]
        assert lines[0] == f"trace {trace_id}"
        assert lines[1].startswith("source: run demo.py  started: ")
        assert re.fullmatch(r"main thread MainThread \(13 records, native id \d+\)", lines[3])
        # By default the class body is left out, and the last line says so.
        assert lines[4:] == [
            "└─ D  __main__.<module>  demo.py:0",
            "   ├─ D  __main__.main  demo.py:16",
            "   │  ├─ D  __main__.Cart.__init__  demo.py:7",
            "   │  ├─ D  __main__.Cart.add  demo.py:10",
            "   │  └─ D  __main__.Cart.add  demo.py:10",
            "   │     └─ WARNING demo: cart has 2 items",
            "   └─ … 1 more entry",
            "",
            '(not shown: 1 class body, counted in the "more entries" lines; --all shows them)',
        ]
        assert "\x1b[" not in result.stdout  # not a terminal: no colour
        result = ruvo(tmp_path, "show", "--all")
        assert [DURATION.sub(r"\1D  ", line) for line in result.stdout.splitlines()][4:] == [
            "└─ D  __main__.<module>  demo.py:0",
            "   ├─ D  __main__.Cart  demo.py:6",
            "   └─ D  __main__.main  demo.py:16",
            "      ├─ D  __main__.Cart.__init__  demo.py:7",
            "      ├─ D  __main__.Cart.add  demo.py:10",
            "      └─ D  __main__.Cart.add  demo.py:10",
            "         └─ WARNING demo: cart has 2 items",
        ]

    def test_run_report_listing_and_header_count_alike(self, tmp_path):
        write(tmp_path / "demo.py", DEMO)
        result = ruvo(tmp_path, "run", "--threading", "demo.py")
        report = re.search(r"^ruvo: (\d+) records, (\d+) threads?, ", result.stderr, re.MULTILINE)
        assert report, result.stderr
        (row,) = db.list_traces(tmp_path / DEFAULT_DB)
        assert (row.records, row.threads) == (int(report[1]), int(report[2])) == (13, 1)
        header = ruvo(tmp_path, "show").stdout.splitlines()[1]
        assert header.endswith(f"  records: {row.records}  threads: {row.threads}")

    def test_depth_values_and_id_prefix(self, demo):
        tmp_path, trace_id = demo
        result = ruvo(tmp_path, "show", trace_id[:-3], "--depth", "2", "--values", "--all")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0] == f"trace {trace_id}"
        main_line = next(i for i, line in enumerate(lines) if "__main__.main  demo.py:16" in line)
        assert lines[main_line + 1 : main_line + 3] == ["        args: (none)", "      └─ … 4 more entries"]
        assert lines[main_line + 3] == "        → 2   locals: cart=Cart(items=['tea', 'mug'])"
        assert len(lines) == main_line + 5
        assert lines[-1].startswith("     → None   locals: logging=<module logging>, log=Logger(")

    @pytest.mark.parametrize(
        "args, message",
        [
            (["show", "trc_NOPE"], "ruvo: error: no trace trc_NOPE in .ruvo/ruvo.sqlite3\n"),
            (["show", "--thread", "nobody"], "ruvo: error: no thread 'nobody' in trace trc_"),
            (["show", "--db", "elsewhere.sqlite3"], "ruvo: error: no trace database at elsewhere.sqlite3\n"),
            (["show", "--depth", "0"], "ruvo show: error: argument --depth: must be 1 or more\n"),
        ],
    )
    def test_errors_are_one_line(self, demo, args, message):
        tmp_path, _ = demo
        result = ruvo(tmp_path, *args)
        assert result.returncode == 2
        assert message in result.stderr
        assert "Traceback" not in result.stderr and result.stdout == ""


class TestExport:
    @pytest.fixture
    def demo(self, tmp_path):
        write(tmp_path / "demo.py", DEMO)
        result = ruvo(tmp_path, "run", "demo.py")
        assert result.returncode == 0, result.stderr
        return tmp_path, saved_trace_id(result)

    def test_chrome_file(self, demo):
        tmp_path, trace_id = demo
        result = ruvo(tmp_path, "export", "--format", "chrome", "-o", "trace.json")
        assert result.returncode == 0, result.stderr
        assert result.stderr == (
            f"ruvo: wrote chrome export of {trace_id} to trace.json (open it in https://ui.perfetto.dev or chrome://tracing)\n"
        )
        data = json.loads((tmp_path / "trace.json").read_text())
        check_chrome(data)
        spans = [e["name"] for e in data["traceEvents"] if e["ph"] == "X"]
        assert spans == [
            "__main__.<module>",
            "__main__.Cart",
            "__main__.main",
            "__main__.Cart.__init__",
            "__main__.Cart.add",
            "__main__.Cart.add",
        ]
        (log,) = [e for e in data["traceEvents"] if e["ph"] == "i"]
        assert log["name"] == "WARNING demo: cart has 2 items"

    def test_speedscope_to_stdout(self, demo):
        tmp_path, trace_id = demo
        result = ruvo(tmp_path, "export", trace_id, "--format", "speedscope", "-o", "-")
        assert result.returncode == 0, result.stderr
        data = json.loads(result.stdout)
        check_speedscope(data)
        assert [p["name"] for p in data["profiles"]] == ["MainThread"]
        assert len(data["profiles"][0]["events"]) == 12

    def test_json_default_file_name(self, demo):
        tmp_path, trace_id = demo
        result = ruvo(tmp_path, "export", "-f", "json")
        assert result.returncode == 0, result.stderr
        data = json.loads((tmp_path / f"{trace_id}.json").read_text())
        assert data["trace_id"] == trace_id
        assert data["meta"]["source"] == "run demo.py"
        assert data["command_line_args"] == ["demo.py"]
        assert len(data["frames_of_interest"]) == 13

    def test_unknown_trace(self, demo):
        tmp_path, _ = demo
        result = ruvo(tmp_path, "export", "trc_ZZZ", "-o", "x.json")
        assert result.returncode == 2
        assert result.stderr == "ruvo: error: no trace trc_ZZZ in .ruvo/ruvo.sqlite3\n"
        assert not (tmp_path / "x.json").exists()


def test_help_describes_every_command(tmp_path):
    result = ruvo(tmp_path, "--help")
    assert result.returncode == 0
    for command in ("run", "traces", "show", "export"):
        assert re.search(rf"^    {command}\s+\S", result.stdout, re.MULTILINE)
    run_help = ruvo(tmp_path, "run", "--help").stdout
    assert run_help.startswith("usage: ruvo run [options] script.py [args ...]\n       ruvo run [options] -m module [args ...]\n")
    for option in ("--db PATH", "--include TEXT", "--ignore TEXT", "--threading", "--lightweight-repr", "--source NAME"):
        assert option in run_help


class TestRunReports:
    def test_missing_module_saves_nothing(self, tmp_path):
        result = ruvo(tmp_path, "run", "-m", "no_such_module")
        assert result.returncode == 1
        assert result.stderr == "ruvo: No module named no_such_module\n"
        assert not (tmp_path / ".ruvo").exists()

    def test_wall_time_covers_running_and_saving(self, tmp_path):
        write(tmp_path / "p.py", "x = 1\n")
        result = ruvo(tmp_path, "run", "p.py")
        last = result.stderr.splitlines()[-1]
        match = re.fullmatch(r"ruvo: 2 records, 1 thread, (\d+\.\d{3}) s wall time \((\d+\.\d{3}) s running, "
                             r"(\d+\.\d{3}) s saving; see it with: ruvo show (trc_\w+)\)", last)
        assert match, last
        wall, running, saving = map(float, match.groups()[:3])
        assert abs(wall - running - saving) <= 0.0015

    def test_a_trace_that_cannot_be_built_is_reported_in_one_line_and_stood_in_for(self, tmp_path):
        write(tmp_path / "p.py", """
            import sys
            import ruvo.profiler

            def no_memory(self):
                raise MemoryError()

            ruvo.profiler.Profiler.build_trace = no_memory
            sys.exit(3)
        """)
        result = ruvo(tmp_path, "run", "p.py")
        assert result.returncode == 3
        lines = result.stderr.splitlines()
        assert lines[0] == "ruvo: could not build the trace: MemoryError; saving a trace that says so"
        assert "Traceback" not in result.stderr
        trace_id = saved_trace_id(result)
        (row,) = db_rows(tmp_path)
        assert (row.trace_id, row.source, row.records) == (trace_id, "run p.py", 1)
        assert row.left_out == ("The trace could not be built (MemoryError); its records were lost. "
                                "Run with a smaller --trace-budget, or with more memory.")
        shown = ruvo(tmp_path, "traces")
        assert shown.stdout.splitlines()[1].split()[-3] == "1+"

    def test_values_tell_closure_variables_from_arguments(self, tmp_path):
        write(tmp_path / "c.py", """
            def outer(n):
                step = 2

                @staticmethod
                def inner(x, *rest, k=1):
                    return x + step + n

                return inner.__func__(1)

            outer(5)
        """)
        ruvo(tmp_path, "run", "c.py")
        lines = ruvo(tmp_path, "show", "--values").stdout.splitlines()
        at = next(i for i, line in enumerate(lines) if "outer.<locals>.inner" in line)
        assert [line.strip() for line in lines[at + 1 : at + 3]] == ["args: x=1, k=1, rest=()", "closure: n=5, step=2"]
        assert lines[at - 1].strip() == "args: n=5"  # outer's own call


def db_rows(tmp_path):
    from ruvo import db

    return db.list_traces(tmp_path / ".ruvo" / "ruvo.sqlite3")


class TestPastTheBudget:
    def test_every_call_counted_and_the_cut_said_everywhere(self, tmp_path):
        write(tmp_path / "p.py", """
            def leaf(n):
                return n

            def gen(n):
                for i in range(n):
                    yield leaf(i)

            def main():
                total = 0
                for i in range(3000):
                    total += leaf(i)
                return total + sum(gen(500))

            main()
        """)
        result = ruvo(tmp_path, "run", "--trace-budget", "20K", "p.py")
        assert result.returncode == 0, result.stderr
        last = result.stderr.splitlines()[-1]
        assert last.startswith("ruvo: This trace reached its recording budget of 20480 record bytes: ")
        assert last.endswith("Calls past the budget were counted and timed, not recorded. `ruvo top` still counts "
                             "every call; for more records, --trace-budget SIZE (or none)")
        top = ruvo(tmp_path, "top").stdout.splitlines()
        assert top[1].startswith("recorder cost taken out: ")
        assert re.fullmatch(r"the trace reached its budget from \d\d:\d\d:\d\d: \d+ later calls were counted and "
                            r"timed, not recorded; the counts and times below include them \(--trace-budget for "
                            r"more records\)", top[2])
        rows = {fields[-2]: fields for fields in (line.split() for line in top[4:])}
        assert top[3].split()[:2] == ["CALLS", "RESUMES"]
        # Exact counts whatever was recorded: the generator once, with its
        # 500 resumes apart (and the last one that ends it).
        assert (rows["__main__.leaf"][:2], rows["__main__.leaf"][-1]) == (["3500", "0"], "p.py:1")
        assert (rows["__main__.gen"][:2], rows["__main__.gen"][-1]) == (["1", "500"], "p.py:4")
        assert rows["__main__.main"][:2] == ["1", "0"]
        show = ruvo(tmp_path, "show", "--depth", "1").stdout.splitlines()
        assert show[2].startswith("not complete: This trace reached its recording budget")
        assert re.fullmatch(r"durations as recorded: each includes about [\d.]+ µs of the recorder's own cost per "
                            r"recorded call inside it \(`ruvo top` takes that out\)", show[3])
        assert "tally" not in "\n".join(show)
        page = (tmp_path / "v.html")
        assert ruvo(tmp_path, "view", "-o", str(page)).returncode == 0
        assert re.search(r'"recorderCost":\s*[\d.]+(e-\d+)?[,}]', page.read_text())
