"""``pytest --ruvo``: one trace per test, saved to ruvo's database.

The profiler runs for the whole session in one-trace-per-test mode. Around
each test the plugin calls ``start_test`` and ``end_test``; ruvo's built-in
plugin definitions turn those calls into the markers at which the native
profiler starts a new trace and saves the finished one. Without ``--ruvo``
the plugin only adds its options.
"""

from __future__ import annotations

import functools
import os
import sys
import types
from typing import Optional

import pytest


def _leave_unrewritten(package: str) -> None:
    """pytest rewrites the asserts of every module of an installed plugin's
    package as it is imported, which means parsing and compiling each of
    them anew in every session where bytecode is not cached (read-only
    installs, PYTHONDONTWRITEBYTECODE): about a third of a second of the
    program's time, for asserts of ruvo's own that no test looks at."""
    for finder in sys.meta_path:
        marked = getattr(finder, "_must_rewrite", None)
        if type(finder).__name__ != "AssertionRewritingHook" or not isinstance(marked, set):
            continue
        marked.discard(package)
        cache = getattr(finder, "_marked_for_rewrite_cache", None)
        if isinstance(cache, dict):
            cache.clear()


_leave_unrewritten(__name__.partition(".")[0])

from .config import DEFAULT_DB  # noqa: E402  (imported once pytest leaves it as it is)


def _wrapper_style() -> dict:
    """How the plugin's wrappers are declared: pluggy 1.1 and later take
    plain generator wrappers (``wrapper=True``), which cost less than half
    as much per call as old-style ones, seven of which run per test."""
    import inspect

    try:
        accepted = inspect.signature(pytest.hookimpl).parameters
    except (TypeError, ValueError):
        accepted = {}  # type: ignore[assignment]
    return {"wrapper": True} if "wrapper" in accepted else {"hookwrapper": True}


def _free_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


_WRAPPER = _wrapper_style()
_NEW_STYLE = "wrapper" in _WRAPPER


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
    group.addoption("--ruvo-max-db-size", default=None, metavar="SIZE",
                    help="cap of the database, e.g. 500M; past it the oldest runs' traces are removed, "
                    "'none' for no cap (default: [tool.ruvo] max-db-size, else 2G)")
    group.addoption("--ruvo-backend", default=None, choices=("profile", "monitoring", "auto"),
                    help="how calls are seen: the profile function, or sys.monitoring (Python 3.12+), "
                    "which runs library code at full speed (default: [tool.ruvo] backend, else monitoring "
                    "on Python 3.12+ and profile before)")
    group.addoption("--ruvo-lightweight-repr", action="store_true", default=False,
                    help="record values as type names only, for lower overhead")
    group.addoption("--ruvo-use-repr", action="store_true", default=False,
                    help="record objects by repr() instead of their attributes; this runs your code "
                    "(a __repr__ may change state or take locks)")


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
_ENDED = pytest.StashKey[bool]()
_CALL_INSIDE = pytest.StashKey[bool]()  # the call phase is recorded around the test function only
_PLAIN = pytest.StashKey[bool]()
_CONDITIONS = ("skipif", "xfail")  # marks whose conditions pytest evaluates in the setup phase

# The plugins of pytest's own whose implementations of a hook run no code of
# the program's, given what `_Phases` checks of each test, and which of the
# hook's implementations must be among them: inside this plugin's wrapper
# (the innermost) run the plain ones of a phase's hook; outside the one of
# `pytest_pyfunc_call`, the other wrappers; a parametrised argument's hooks
# run unrecorded, all of them. Any other implementation (a conftest's,
# another plugin's) has the phase recorded whole.
_RUNNING = {"_pytest.runner", "_pytest.threadexception", "_pytest.unraisableexception"}
_PYTEST_IMPLEMENTATIONS = {
    "pytest_runtest_setup": ({*_RUNNING, "_pytest.skipping", "_pytest.nose"}, "plain"),
    "pytest_runtest_call": (_RUNNING, "plain"),
    "pytest_runtest_teardown": (_RUNNING, "plain"),
    "pytest_pyfunc_call": (set(), "wrappers"),
    "pytest_fixture_setup": ({"_pytest.fixtures", "_pytest.setuponly", "_pytest.setupplan"}, "all"),
    "pytest_fixture_post_finalizer": ({"_pytest.fixtures", "_pytest.setuponly"}, "all"),
}


def _is_wrapper(implementation) -> bool:
    return bool(implementation.hookwrapper or getattr(implementation, "wrapper", False))


class _Phases:
    """Which phases of a test can run code of the program's at all.

    A profile function slows every line Python runs while it is set (3.11
    runs it all on the interpreter's slow path), and in the phases of a
    small test pytest runs far more of its own than the test does. A phase
    in which nothing of the program's can run is not recorded: the setup of
    a test whose module and class are already set up and that has no
    fixtures (but its parametrised arguments), the teardown of one whose
    next test shares them, and, for a plain test function, the call phase
    but for the call of the function itself. The trace holds the same
    records either way; only the recorder's cost is saved. Anything unusual
    (a fixture, a skipif or xfail mark, a conftest's hook, a node class of a
    plugin's, --setup-show, pytest's internals not as expected, an include
    option) has the phase recorded whole, as before."""

    def __init__(self, config: pytest.Config, include: list) -> None:
        self.hook = config.hook
        # An include could name pytest's own files; --setup-show prints the
        # parameters' reprs.
        self.enabled = not include and not getattr(config.option, "setupshow", False) \
            and not getattr(config.option, "setupplan", False)
        self._checked: dict[str, tuple[int, bool]] = {}
        self._parents_conditions: dict[object, bool] = {}
        # The parent whose nodes stay set up for the next test (see teardown).
        self.kept_parent: object = None

    def _only_pytests(self, name: str) -> bool:
        implementations = getattr(self.hook, name).get_hookimpls()
        known = self._checked.get(name)
        if known is None or known[0] != len(implementations):
            allowed, which = _PYTEST_IMPLEMENTATIONS[name]
            # Only modules are looked at by name: an attribute of another
            # plugin object could be the program's code (__getattr__).
            only = all(type(impl.plugin) is types.ModuleType and impl.plugin.__name__ in allowed
                       for impl in implementations
                       if type(impl.plugin) is not TracePerTest
                       and (which == "all" or _is_wrapper(impl) == (which == "wrappers")))
            known = self._checked[name] = (len(implementations), only)
        return known[1]

    def _plain(self, item: pytest.Item) -> bool:
        plain = item.stash.get(_PLAIN, None)
        if plain is None:
            plain = item.stash[_PLAIN] = self._is_plain(item)
        return plain

    def _conditions(self, item: pytest.Item) -> bool:
        """Whether a skipif or xfail mark applies to the test: its own, or
        one of its module's or class's, which its siblings share."""
        if any(mark.name in _CONDITIONS for mark in item.own_markers):
            return True
        parent = item.parent
        known = self._parents_conditions.get(parent)
        if known is None:
            known = self._parents_conditions[parent] = any(
                mark.name in _CONDITIONS for node in parent.listchain() for mark in node.own_markers) \
                if parent is not None else False
        return known

    def _is_plain(self, item: pytest.Item) -> bool:
        """A test function of pytest's own kind, without fixtures but its
        parametrised arguments, nor marks whose conditions its phases evaluate."""
        if not (self.enabled and type(item) is pytest.Function and not self._conditions(item)):
            return False
        # Only a plain function or method is looked into: another object's
        # attributes could be the program's code (__getattr__).
        function = item.obj
        if type(function) not in (types.FunctionType, types.MethodType) \
                or hasattr(function, "setup") or hasattr(function, "teardown"):  # nose style (pytest 7)
            return False
        names = item.fixturenames
        if not names:
            return True
        if not (self._only_pytests("pytest_fixture_setup") and self._only_pytests("pytest_fixture_post_finalizer")):
            return False
        definitions = getattr(getattr(item, "_fixtureinfo", None), "name2fixturedefs", None)
        if not isinstance(definitions, dict):
            return False
        for name in names:
            # A parametrised argument is a fixture of pytest's returning the
            # parameter; one of a wider scope compares parameters (__eq__).
            chain = definitions.get(name)
            if not chain or not _is_direct_parameter(chain[-1]):
                return False
        return True

    def setup_is_empty(self, item: pytest.Item) -> bool:
        kept, self.kept_parent = self.kept_parent, None
        return (kept is not None and item.parent is kept and self._plain(item)
                and self._only_pytests("pytest_runtest_setup"))

    def call_is_only_the_function(self, item: pytest.Item) -> bool:
        return (self._plain(item) and self._only_pytests("pytest_runtest_call")
                and self._only_pytests("pytest_pyfunc_call"))

    def teardown_is_empty(self, item: pytest.Item, nextitem) -> bool:
        if nextitem is None or nextitem.parent is not item.parent or not self._plain(item) \
                or not self._only_pytests("pytest_runtest_teardown"):
            return False
        # What is torn down is the test alone: its finalizers must be its own
        # teardown (a no-op of pytest's) and nothing a plugin or fixture added.
        try:
            finalizers, _ = item.session._setupstate.stack[item]
        except (AttributeError, KeyError, TypeError, ValueError):
            return False
        return all(_own_teardown(finalizer, item) for finalizer in finalizers)


def _is_direct_parameter(definition) -> bool:
    return (type(definition).__name__ == "DirectParamFixtureDef" and type(definition).__module__ == "_pytest.python"
            and getattr(definition, "scope", None) == "function")


def _own_teardown(finalizer, item: pytest.Item) -> bool:
    """Whether a finalizer of the test is its own (no-op) teardown or the
    finish of one of its parametrised arguments."""
    # Types first: an attribute of another callable could be the program's code.
    if type(finalizer) is types.MethodType:
        return finalizer.__self__ is item and finalizer.__func__ is pytest.Item.teardown
    if type(finalizer) is not functools.partial:
        return False
    finish = finalizer.func  # functools.partial(fixturedef.finish, request=...)
    pytests_finish = getattr(getattr(pytest, "FixtureDef", None), "finish", None)  # pytest 8.1 and later
    return (type(finish) is types.MethodType and pytests_finish is not None and finish.__func__ is pytests_finish
            and _is_direct_parameter(finish.__self__))


def _budget(config: pytest.Config, settings) -> int | None:
    from .config import budget_from

    try:
        return budget_from(settings, config.getoption("ruvo_trace_budget"))
    except ValueError as error:
        raise pytest.UsageError(f"--ruvo-trace-budget: {error}") from None


class TracePerTest:
    def __init__(self, config: pytest.Config) -> None:
        from .config import SettingsError, load_settings

        try:
            settings = load_settings(config.rootpath)
        except SettingsError as error:
            raise pytest.UsageError(str(error)) from None
        from .profiler import Profiler

        self.config = config
        try:
            self.profiler = Profiler(
                db_path=config.getoption("ruvo_db") or settings.db_path,
                include=[*settings.include, *config.getoption("ruvo_include")],
                ignore=[*settings.ignore, *config.getoption("ruvo_ignore")],
                threading=config.getoption("ruvo_threading") or settings.threading,
                lightweight_repr=config.getoption("ruvo_lightweight_repr") or settings.lightweight_repr,
                use_repr=config.getoption("ruvo_use_repr"),
                one_trace_per_test=True,
                source="pytest",
                trace_budget=_budget(config, settings),
                backend=config.getoption("ruvo_backend") or settings.backend or "auto",
                sqlite_busy_timeout=60 if settings.busy_timeout is None else settings.busy_timeout,
            )
        except ValueError as error:
            raise pytest.UsageError(f"--ruvo-backend: {error}") from None
        from .config import SettingsError, apply_value_limits

        try:
            apply_value_limits(settings)
        except SettingsError as error:
            raise pytest.UsageError(str(error)) from None
        from . import db
        from .config import db_cap_from

        try:
            self.max_db_size = db_cap_from(settings, config.getoption("ruvo_max_db_size"))
        except ValueError as error:
            raise pytest.UsageError(f"--ruvo-max-db-size: {error}") from None
        db.set_max_bytes(self.profiler.db_path, self.max_db_size)
        # One run for the session, its xdist workers included: the controller
        # hands its key to each worker.
        import uuid

        self.run_key = getattr(config, "workerinput", {}).get("ruvo_run_key") or uuid.uuid4().hex
        self.outcomes: dict[str, str] = {}
        self._db = db
        self.counts = db.SaveCounts()
        self._counts_before = db.SaveCounts()
        self.failed: dict[str, Optional[dict]] = {}  # the failure of each failed test, where known
        self.db_option = config.getoption("ruvo_db")
        self.recording = False
        self.interrupted = False  # Ctrl-C while the last traces waited for the database
        # Each test that ran, by node id: its worker (None without xdist) and
        # the trace its teardown report names (None: it has none).
        self.tests: dict[str, tuple[object, object]] = {}
        self.reported_workers: set = set()  # workers whose counts arrived
        self.phases = _Phases(config, [*settings.include, *config.getoption("ruvo_include")])
        self.recovered = 0  # traces stored from queue files a process left

    @pytest.hookimpl(optionalhook=True)
    def pytest_configure_node(self, node) -> None:
        node.workerinput["ruvo_run_key"] = self.run_key

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session: pytest.Session) -> None:
        args = " ".join(self.config.invocation_params.args)
        self._db.begin_run(self.profiler.db_path, "pytest", key=self.run_key, command=f"pytest {args}".strip())
        # Under pytest-xdist the workers run the tests; the controller only
        # adds up what they report.
        if self.config.pluginmanager.get_plugin("dsession") is not None:
            return
        self._counts_before = self._db.save_counts()
        # The writer thread starts before the profiler, which would hook it.
        # The index is built beside the session where a core is free for it
        # (xdist's workers take the cores themselves).
        self._db.start_batching(self.profiler.db_path,
                                index_aside=_free_cores() > 1 and not hasattr(self.config, "workerinput"))
        self.profiler.start()
        self.profiler.pause()
        self.recording = True

    # Each wrapper is written to work in both styles: an old-style one's
    # yield gives a result object and never raises, and what it returns is
    # not used.
    @pytest.hookimpl(**_WRAPPER)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem):
        item.stash[_OUTCOME] = "passed"
        item.stash[_ENDED] = False
        # Recording runs only in the test's setup, call and teardown: a
        # profile function slows every line Python runs while it is set,
        # and between those pytest runs more of its own than a small test.
        self.profiler.resume()
        start_test(item.nodeid)
        self.profiler.pause()
        try:
            return (yield)
        finally:
            if not item.stash[_ENDED]:  # no teardown report was made
                self._end_test(item)

    def _end_test(self, item: pytest.Item) -> object:
        """Ends the test's trace (the native profiler hands it to the writer
        in here); its trace id, or None when none was saved."""
        item.stash[_ENDED] = True
        self._db.take_last_trace_id()
        self.profiler.resume()
        end_test(item.nodeid, item.stash[_OUTCOME])
        self.profiler.pause()
        return self._db.take_last_trace_id()

    def _recording(self):
        """The body of a hook wrapper that records the phase it wraps."""
        self.profiler.resume()
        try:
            return (yield)
        finally:
            self.profiler.pause()

    @pytest.hookimpl(**_WRAPPER, trylast=True)
    def pytest_runtest_setup(self, item: pytest.Item):
        if self.phases.setup_is_empty(item):
            return (yield)
        return (yield from self._recording())

    @pytest.hookimpl(**_WRAPPER, trylast=True)
    def pytest_runtest_call(self, item: pytest.Item):
        inside = item.stash[_CALL_INSIDE] = self.phases.call_is_only_the_function(item)
        if inside:
            return (yield)
        return (yield from self._recording())

    @pytest.hookimpl(**_WRAPPER, trylast=True)
    def pytest_pyfunc_call(self, pyfuncitem: pytest.Function):
        if pyfuncitem.stash.get(_CALL_INSIDE, False):
            return (yield from self._recording())
        return (yield)

    @pytest.hookimpl(**_WRAPPER, trylast=True)
    def pytest_runtest_teardown(self, item: pytest.Item, nextitem):
        # Set up by now: the nodes that stay for the next test are known.
        self.phases.kept_parent = item.parent if nextitem is not None and nextitem.parent is item.parent else None
        if self.phases.teardown_is_empty(item, nextitem):
            return (yield)
        return (yield from self._recording())

    @pytest.hookimpl(**_WRAPPER)
    def pytest_runtest_makereport(self, item: pytest.Item, call):
        report = yield
        if not _NEW_STYLE:
            report = report.get_result()
        # The worst phase wins: a failing teardown fails a passing test.
        if report.failed:
            item.stash[_OUTCOME] = "failed"
        elif report.skipped and item.stash.get(_OUTCOME, "passed") == "passed":
            item.stash[_OUTCOME] = "skipped"
        if report.failed and call.excinfo is not None and self.recording:
            from .failure import traceback_frames

            # Plain lists, so that xdist carries them to the controller.
            report.ruvo_failure = {"frames": traceback_frames(call.excinfo),
                                   "assertion": call.excinfo.errisinstance(AssertionError)}
        if call.when == "teardown" and self.recording and not item.stash.get(_ENDED, True):
            # Ended here, so that the report (which xdist sends on to the
            # controller) names the test's trace.
            report.ruvo_trace = self._end_test(item)
        return report

    def pytest_runtest_logreport(self, report) -> None:
        # Reports of xdist workers reach the controller here too.
        if report.failed:
            # The first failing phase is the one worth naming.
            if self.failed.get(report.nodeid) is None:
                self.failed[report.nodeid] = getattr(report, "ruvo_failure", None)
            self.outcomes[report.nodeid] = "failed"
        elif report.skipped:
            self.outcomes.setdefault(report.nodeid, "skipped")
        elif report.when == "call":
            self.outcomes.setdefault(report.nodeid, "passed")
        worker = getattr(report, "worker_id", None)
        if report.when == "teardown" or report.nodeid not in self.tests:
            self.tests[report.nodeid] = (worker, getattr(report, "ruvo_trace", None))

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        workeroutput = getattr(self.config, "workeroutput", None)
        if self.recording:
            self.profiler.stop()
            self.recording = False
            try:
                counts = self._db.stop_batching()
            except KeyboardInterrupt:
                # What waited for a locked database is beside it now.
                counts = self._db.save_counts()
                self.interrupted = True
                session.exitstatus = pytest.ExitCode.INTERRUPTED
            self.counts = counts.since(self._counts_before)
            if workeroutput is not None:
                workeroutput["ruvo"] = {"saved": self.counts.saved, "lost": self.counts.lost,
                                        "spilled": [str(path) for path in self.counts.spilled],
                                        "removed": [self.counts.removed_traces, self.counts.removed_runs]}
        if workeroutput is None and not self.interrupted:
            self._store_left_queues()
        if workeroutput is None and not self.interrupted:
            outcomes = list(self.outcomes.values())
            try:
                # Bookkeeping only: not worth a long wait for a busy database.
                self._db.finish_run(self.profiler.db_path, passed=outcomes.count("passed"),
                                    failed=outcomes.count("failed"), skipped=outcomes.count("skipped"),
                                    timeout=min(self.profiler.config["sqlite_busy_timeout"], 5))
            except Exception:
                pass  # the run's traces are kept; only its counts are missing

    def _store_left_queues(self) -> None:
        """Stores the traces that processes which ended abruptly (a crashed
        xdist worker, os._exit in a test, a kill) left queued beside the
        database; `ruvo import` does the same later for any that remain."""
        for file in self._db.spilled_files(self.profiler.db_path):
            if file.suffix != ".queue":
                continue
            try:
                stored = self._db.import_spilled(self.profiler.db_path, file,
                                                 timeout=self.profiler.config["sqlite_busy_timeout"])
            except Exception:
                continue  # still listed by `ruvo traces`, for `ruvo import`
            self.recovered += sum(1 for entry in stored if entry.new)

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node, error) -> None:
        report = getattr(node, "workeroutput", {}).get("ruvo")
        if report:
            from pathlib import Path

            self.reported_workers.add(getattr(node, "workerinput", {}).get("workerid"))
            removed_traces, removed_runs = report.get("removed", (0, 0))
            self.counts = self._db.SaveCounts(
                self.counts.saved + report["saved"],
                self.counts.spilled + tuple(Path(path) for path in report["spilled"]),
                self.counts.lost + report["lost"],
                self.counts.removed_traces + removed_traces,
                self.counts.removed_runs + removed_runs,
            )

    def _crashed_workers_counts(self, stored: set) -> tuple[int, int, int, int]:
        """What became of the traces of tests whose worker never reported
        (it crashed): saved, spilled, lost, and tests without a trace."""
        traces = [trace for worker, trace in self.tests.values()
                  if worker is not None and worker not in self.reported_workers]
        spilled_names = [file.name for file in self._db.spilled_files(self.profiler.db_path)]
        saved = sum(1 for trace in traces if trace in stored)
        spilled = sum(1 for trace in traces if trace and trace not in stored
                      and any(f".{trace}-" in name for name in spilled_names))
        untraced = sum(1 for trace in traces if not trace)
        return saved, spilled, len(traces) - saved - spilled - untraced, untraced

    def pytest_terminal_summary(self, terminalreporter) -> None:
        from .terminal import visible

        from .db.target import is_server_url, shown, spill_place

        counts, where = self.counts, shown(self.profiler.db_path)
        wanted = {trace for _, trace in self.tests.values() if isinstance(trace, str)}
        try:
            stored = self._db.stored_trace_ids(self.profiler.db_path, wanted)
        except Exception:
            stored = set()
        crashed_saved, crashed_spilled, crashed_lost, untraced = self._crashed_workers_counts(stored)
        terminalreporter.write_sep("-", "ruvo")
        terminalreporter.write_line(f"ruvo: {counts.saved + crashed_saved} test trace(s) saved to {where} "
                                    "(see them with `ruvo traces`)")
        if self.profiler.backend_note:
            terminalreporter.write_line(f"ruvo: {self.profiler.backend_note}")
        if counts.removed_traces:
            from .cli.traces import human_size

            terminalreporter.write_line(
                f"ruvo: to keep {where} under its cap of {human_size(self.max_db_size)}, "
                f"{counts.removed_traces} older trace(s) were removed"
                + (f" ({counts.removed_runs} earlier run(s) whole)" if counts.removed_runs else "")
                + "; set --ruvo-max-db-size SIZE (or none), or clear it with `ruvo prune`")
        if self.recovered:
            terminalreporter.write_line(f"ruvo: also stored {self.recovered} trace(s) that a process which ended "
                                        "abruptly (a crashed worker, os._exit, a kill) had left queued beside it")
        if (counts.spilled or crashed_spilled) and is_server_url(self.profiler.db_path):
            # Possibly every test's: one line, not a file each.
            from .db.postgres import last_failure

            why = last_failure(str(self.profiler.db_path)) or "it could not be reached"
            terminalreporter.write_line(
                f"ruvo: {len(counts.spilled) + crashed_spilled} test trace(s) could not be saved ({why}); they wait "
                f"in {spill_place(self.profiler.db_path)[0]} (send them with `ruvo push`)", red=True)
        elif counts.spilled or crashed_spilled:
            terminalreporter.write_line(
                f"ruvo: {len(counts.spilled) + crashed_spilled} test trace(s) could not be saved to {where} and "
                f"were written beside it (store them with `ruvo import FILE`):", red=True)
            for path in counts.spilled:
                terminalreporter.write_line(f"  {path}")
        if counts.lost or crashed_lost:
            terminalreporter.write_line(
                f"ruvo: {counts.lost + crashed_lost} test trace(s) were lost: neither {where} nor a file beside "
                "it could be written", red=True)
        if untraced:
            terminalreporter.write_line(f"ruvo: {untraced} test(s) have no trace: their worker crashed while "
                                        "running them", red=True)
        try:
            cut = self._db.stored_trace_ids(self.profiler.db_path, stored, left_out=True)
        except Exception:
            cut = set()
        if cut:
            terminalreporter.write_line(
                f"ruvo: {len(cut)} test trace(s) left records or values out, for their budget or for failed events "
                "(marked + by `ruvo traces`, said in `ruvo show`); `ruvo top` still counts every call. For more "
                "records: --ruvo-trace-budget SIZE (or none)")
        if self.interrupted:
            terminalreporter.write_line("ruvo: interrupted while saving: the traces that were still waiting for "
                                        "the database were written beside it instead", red=True)
        from .failure import MAX_DESCRIBED, summary_lines
        from .viewer.command import failed_test_line

        for index, (nodeid, failure) in enumerate(self.failed.items()):
            _, trace = self.tests.get(nodeid, (None, None))
            terminalreporter.write_line(visible(failed_test_line(
                self.profiler.db_path, nodeid, self.db_option, trace_id=trace if isinstance(trace, str) else None,
                stored=trace in stored)))
            if isinstance(trace, str) and trace in stored and index < MAX_DESCRIBED:
                for line in summary_lines(self.profiler.db_path, nodeid, trace, failure, self.db_option):
                    terminalreporter.write_line(visible(line))
