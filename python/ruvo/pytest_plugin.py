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
    group.addoption("--ruvo-backend", default=None, choices=("profile", "monitoring"),
                    help="how calls are seen: the profile function, or sys.monitoring (Python 3.12+), "
                    "which runs library code at full speed (default: [tool.ruvo] backend, else profile)")
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
                backend=config.getoption("ruvo_backend") or settings.backend or "profile",
            )
        except ValueError as error:
            raise pytest.UsageError(f"--ruvo-backend: {error}") from None
        from . import db

        self._db = db
        self.saved = 0
        self.not_saved = 0
        self.failed: dict[str, None] = {}
        self.db_option = config.getoption("ruvo_db")

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session: pytest.Session) -> None:
        self.profiler.start()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem):
        item.stash[_OUTCOME] = "passed"
        start_test(item.nodeid)
        yield
        # The native profiler saves the test's trace inside this very call,
        # on this thread; a failure there never reaches us as an exception.
        saved, failed = self._db.saves_on_this_thread()
        end_test(item.nodeid, item.stash[_OUTCOME])
        saved_now, failed_now = self._db.saves_on_this_thread()
        self.saved += saved_now - saved
        self.not_saved += failed_now - failed

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item: pytest.Item, call):
        outcome = yield
        report = outcome.get_result()
        # The worst phase wins: a failing teardown fails a passing test.
        if report.failed:
            item.stash[_OUTCOME] = "failed"
            self.failed[item.nodeid] = None
        elif report.skipped and item.stash.get(_OUTCOME, "passed") == "passed":
            item.stash[_OUTCOME] = "skipped"

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        self.profiler.stop()

    def pytest_terminal_summary(self, terminalreporter) -> None:
        terminalreporter.write_line(
            f"ruvo: {self.saved} test trace(s) saved to {self.profiler.db_path} "
            f"(see them with `ruvo traces`)"
        )
        if self.not_saved:
            terminalreporter.write_line(
                f"ruvo: {self.not_saved} test trace(s) could not be saved to {self.profiler.db_path}", red=True
            )
        from .viewer.command import failed_test_line

        for nodeid in self.failed:
            terminalreporter.write_line(failed_test_line(self.profiler.db_path, nodeid, self.db_option))
