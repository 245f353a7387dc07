"""``pytest --ruvo``: one trace per test, saved to ruvo's database.

The profiler runs for the whole session in one-trace-per-test mode. Around
each test the plugin calls ``start_test`` and ``end_test``; ruvo's built-in
plugin definitions turn those calls into the markers at which the native
profiler starts a new trace and saves the finished one. Without ``--ruvo``
the plugin only adds its options.
"""

from __future__ import annotations

import pytest

from .config import DEFAULT_DB


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("ruvo", "ruvo tracing profiler")
    group.addoption("--ruvo", action="store_true", default=False,
                    help="profile each test into its own ruvo trace")
    group.addoption("--ruvo-db", default=None, metavar="PATH",
                    help=f"database to save the traces to (default: {DEFAULT_DB.as_posix()})")
    group.addoption("--ruvo-include", action="append", default=[], metavar="TEXT",
                    help="always record files whose path contains TEXT (repeatable)")
    group.addoption("--ruvo-ignore", action="append", default=[], metavar="TEXT",
                    help="skip files whose path contains TEXT (repeatable)")
    group.addoption("--ruvo-threading", action="store_true", default=False,
                    help="also record threads that tests start")
    group.addoption("--ruvo-trace-budget", default=None, metavar="SIZE",
                    help="most record bytes per test's trace, e.g. 16M; 'none' for no limit "
                    "(default: [tool.ruvo] trace-budget, else 4M)")
    group.addoption("--ruvo-backend", default=None, choices=("profile", "monitoring", "auto"),
                    help="how calls are seen: the profile function, or sys.monitoring (Python 3.12+), "
                    "which runs library code at full speed (default: [tool.ruvo] backend, else monitoring "
                    "on Python 3.12+ and profile before)")
    group.addoption("--ruvo-lightweight-repr", action="store_true", default=False,
                    help="record values as type names only, for lower overhead")


def pytest_configure(config: pytest.Config) -> None:
    if config.getoption("ruvo"):
        from .utils import shorten_logged_locals

        shorten_logged_locals()
        config.pluginmanager.register(TracePerTest(config), "ruvo-trace-per-test")


# The two markers. Their names, file and locals are what the built-in plugin
# definitions in ruvo.plugins match, so keep them in step.
def start_test(nodeid: str) -> None:
    pass


def end_test(nodeid: str, outcome: str) -> None:
    pass


_OUTCOME = pytest.StashKey[str]()


def _budget(config: pytest.Config, settings) -> int | None:
    from .config import budget_from

    try:
        return budget_from(settings, config.getoption("ruvo_trace_budget"))
    except ValueError as error:
        raise pytest.UsageError(f"--ruvo-trace-budget: {error}") from None


class TracePerTest:
    def __init__(self, config: pytest.Config) -> None:
        from .config import load_settings

        settings = load_settings(config.rootpath)
        from .profiler import Profiler

        self.config = config
        try:
            self.profiler = Profiler(
                db_path=config.getoption("ruvo_db") or settings.db_path,
                include=[*settings.include, *config.getoption("ruvo_include")],
                ignore=[*settings.ignore, *config.getoption("ruvo_ignore")],
                threading=config.getoption("ruvo_threading") or settings.threading,
                lightweight_repr=config.getoption("ruvo_lightweight_repr") or settings.lightweight_repr,
                one_trace_per_test=True,
                source="pytest",
                trace_budget=_budget(config, settings),
                backend=config.getoption("ruvo_backend") or settings.backend or "auto",
            )
        except ValueError as error:
            raise pytest.UsageError(f"--ruvo-backend: {error}") from None
        from .config import SettingsError, apply_value_limits

        try:
            apply_value_limits(settings)
        except SettingsError as error:
            raise pytest.UsageError(str(error)) from None
        from . import db

        self._db = db
        self.counts = db.SaveCounts()
        self._counts_before = db.SaveCounts()
        self.failed: dict[str, None] = {}
        self.db_option = config.getoption("ruvo_db")
        self.recording = False

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session: pytest.Session) -> None:
        # Under pytest-xdist the workers run the tests; the controller only
        # adds up what they report.
        if self.config.pluginmanager.get_plugin("dsession") is not None:
            return
        self._counts_before = self._db.save_counts()
        # The writer thread starts before the profiler, which would hook it.
        self._db.start_batching(self.profiler.db_path)
        self.profiler.start()
        self.profiler.pause()
        self.recording = True

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem):
        item.stash[_OUTCOME] = "passed"
        # Recording runs only in the test's setup, call and teardown: a
        # profile function slows every line Python runs while it is set,
        # and between those pytest runs more of its own than a small test.
        self.profiler.resume()
        start_test(item.nodeid)
        self.profiler.pause()
        yield
        self.profiler.resume()
        # The native profiler hands the test's trace to the writer in here.
        end_test(item.nodeid, item.stash[_OUTCOME])
        self.profiler.pause()

    def _recording(self):
        """The body of a hook wrapper that records the phase it wraps."""
        self.profiler.resume()
        try:
            yield
        finally:
            self.profiler.pause()

    @pytest.hookimpl(hookwrapper=True, trylast=True)
    def pytest_runtest_setup(self, item: pytest.Item):
        yield from self._recording()

    @pytest.hookimpl(hookwrapper=True, trylast=True)
    def pytest_runtest_call(self, item: pytest.Item):
        yield from self._recording()

    @pytest.hookimpl(hookwrapper=True, trylast=True)
    def pytest_runtest_teardown(self, item: pytest.Item, nextitem):
        yield from self._recording()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item: pytest.Item, call):
        outcome = yield
        report = outcome.get_result()
        # The worst phase wins: a failing teardown fails a passing test.
        if report.failed:
            item.stash[_OUTCOME] = "failed"
        elif report.skipped and item.stash.get(_OUTCOME, "passed") == "passed":
            item.stash[_OUTCOME] = "skipped"

    def pytest_runtest_logreport(self, report) -> None:
        # Reports of xdist workers reach the controller here too.
        if report.failed:
            self.failed[report.nodeid] = None

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        if not self.recording:
            return
        self.profiler.stop()
        self.recording = False
        self.counts = self._db.stop_batching().since(self._counts_before)
        workeroutput = getattr(self.config, "workeroutput", None)
        if workeroutput is not None:
            workeroutput["ruvo"] = {"saved": self.counts.saved, "lost": self.counts.lost,
                                    "spilled": [str(path) for path in self.counts.spilled]}

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node, error) -> None:
        report = getattr(node, "workeroutput", {}).get("ruvo")
        if report:
            from pathlib import Path

            self.counts = self._db.SaveCounts(
                self.counts.saved + report["saved"],
                self.counts.spilled + tuple(Path(path) for path in report["spilled"]),
                self.counts.lost + report["lost"],
            )

    def pytest_terminal_summary(self, terminalreporter) -> None:
        counts, where = self.counts, self.profiler.db_path
        terminalreporter.write_sep("-", "ruvo")
        terminalreporter.write_line(f"ruvo: {counts.saved} test trace(s) saved to {where} (see them with `ruvo traces`)")
        if self.profiler.backend_note:
            terminalreporter.write_line(f"ruvo: {self.profiler.backend_note}")
        if counts.spilled:
            terminalreporter.write_line(
                f"ruvo: {len(counts.spilled)} test trace(s) could not be saved to {where} and were written "
                f"beside it (store them with `ruvo import FILE`):", red=True)
            for path in counts.spilled:
                terminalreporter.write_line(f"  {path}")
        if counts.lost:
            terminalreporter.write_line(
                f"ruvo: {counts.lost} test trace(s) were lost: neither {where} nor a file beside it could be written",
                red=True)
        from .viewer.command import failed_test_line

        for nodeid in self.failed:
            terminalreporter.write_line(failed_test_line(self.profiler.db_path, nodeid, self.db_option))
