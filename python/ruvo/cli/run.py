"""``ruvo run``: run a script or module as python would, under the profiler,
and save its trace.

Part of this module runs while the profiler records (the program runner
below), which is why ruvo's own files are never recorded.
"""

from __future__ import annotations

import argparse
import os
import runpy
import sys
import threading
import time
from pathlib import Path
from typing import Optional, Sequence

from .common import EXIT_INTERRUPTED, Command, CommandError, add_db_option, display_path, exit_status, settings


def define(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    run = commands.add_parser(
        "run",
        help="run a Python program under the profiler and save its trace",
        description="Run a script or module exactly as `python` would, recording every call and return "
        "of your code, and save the trace. The program's exit status is kept.",
        usage="ruvo run [options] script.py [args ...]\n       ruvo run [options] -m module [args ...]",
        epilog="Everything after the script name (or -m MODULE) goes to the program, as with python.",
        allow_abbrev=False,
    )
    run.add_argument("-m", dest="module", metavar="MODULE", help="run a library module as a script, like python -m")
    add_db_option(run)
    run.add_argument("--include", action="append", default=[], metavar="TEXT",
                     help="also record files whose path contains TEXT, e.g. site-packages code (repeatable)")
    run.add_argument("--ignore", action="append", default=[], metavar="TEXT",
                     help="do not record files whose path contains TEXT (repeatable)")
    run.add_argument("--threading", action=argparse.BooleanOptionalAction, default=None,
                     help="also record threads the program starts")
    run.add_argument("--lightweight-repr", action=argparse.BooleanOptionalAction, default=None,
                     help="record values by type name only, for lower overhead")
    run.add_argument("--use-repr", action="store_true", default=False,
                     help="record objects by repr() instead of their attributes; this runs the "
                     "program's code (a __repr__ may change state or take locks)")
    run.add_argument("--backend", choices=("profile", "monitoring", "auto"), default=None,
                     help="how calls are seen: the profile function, or sys.monitoring (Python 3.12+), "
                     "which runs library code at full speed (default: [tool.ruvo] backend, else monitoring "
                     "on Python 3.12+ and profile before)")
    run.add_argument("--source", metavar="NAME", help='label of the trace (default: "run SCRIPT")')
    run.add_argument("--trace-budget", metavar="SIZE",
                     help="most record bytes the trace may hold, e.g. 16M; 'none' for no limit "
                     "(default: [tool.ruvo] trace-budget, else 32M; calls past it are still counted)")
    run.add_argument("--max-db-size", metavar="SIZE",
                     help="cap of the database, e.g. 500M; past it the oldest runs' traces are removed, "
                     "'none' for no cap (default: [tool.ruvo] max-db-size, else 2G)")
    return run


# A whole program's trace: large enough for the records of most runs, small
# enough that saving it takes about a second and `ruvo view` stays quick
# (about 100,000 calls with values). Past it `ruvo top` still counts every
# call. A test's trace keeps the profiler's smaller default.
RUN_TRACE_BUDGET = 32 * 2**20


# --- where the program's arguments begin ---------------------------------------------


def _value_options(parser: argparse.ArgumentParser) -> dict[str, int]:
    """Each option string of ``parser`` that takes values, with how many words follow it."""
    taking = {}
    for action in parser._actions:
        if action.option_strings and action.nargs != 0:
            count = action.nargs if isinstance(action.nargs, int) else 1
            for option in action.option_strings:
                taking[option] = count
    return taking


def _module_options(parser: argparse.ArgumentParser) -> list[str]:
    return [option for action in parser._actions if action.dest == "module" for option in action.option_strings]


def split_arguments(parser: argparse.ArgumentParser, args: Sequence[str]) -> tuple[list[str], list[str]]:
    """ruvo's options, and the program with its arguments.

    Like python itself, everything from the script name (or after ``-m
    MODULE``) on belongs to the program, options included.  Which options
    take a value is read from ``parser``, so the two cannot disagree.
    """
    takes_values = _value_options(parser)
    module_options = _module_options(parser)
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            return list(args[:i]), list(args[i + 1 :])
        if arg in module_options:
            return list(args[: i + 2]), list(args[i + 2 :])
        if any(arg.startswith(option) and not option.startswith("--") for option in module_options):
            return list(args[: i + 1]), list(args[i + 1 :])  # -mMODULE
        if arg in takes_values:
            i += 1 + takes_values[arg]
            continue
        if arg.startswith("-") and arg != "-":
            i += 1
            continue
        return list(args[:i]), list(args[i:])
    return list(args), []


# --- running the program -------------------------------------------------------------


def _is_driver_frame(frame) -> bool:
    # runpy is frozen in recent interpreters, so tell its frames by module name.
    return frame.f_globals is globals() or frame.f_globals.get("__name__") == "runpy"


def _print_exception(error: BaseException) -> None:
    """Report an exception the program did not catch, as python would,
    without the frames of this driver and of runpy."""
    tb = error.__traceback__
    while tb is not None and _is_driver_frame(tb.tb_frame):
        tb = tb.tb_next
    # The default hook prints the exception's own traceback, not its argument.
    error.__traceback__ = tb
    try:
        sys.excepthook(type(error), error, tb)
    except Exception:
        import traceback

        traceback.print_exception(type(error), error, tb)


def _join_program_threads() -> None:
    """Wait for the program's non-daemon threads, as the interpreter would at
    exit, so that their records are in the trace."""
    current = threading.current_thread()
    while True:
        waiting = [t for t in threading.enumerate() if t is not current and not t.daemon and t.is_alive()]
        if not waiting:
            return
        for thread in waiting:
            thread.join()


class _NotFound:
    """Set when the module to run does not exist: nothing ran, nothing to save."""

    module_missing = False


def _run_program(module: Optional[str], program: list[str], outcome: type[_NotFound] = _NotFound) -> int:
    """Run the program as python would, and return its exit status.  Runs
    with the profiler on: everything here stays out of the trace."""
    try:
        try:
            if module is not None:
                sys.argv = [module, *program]
                sys.path[0] = os.getcwd()
                runpy.run_module(module, run_name="__main__", alter_sys=True)
            else:
                script = program[0]
                sys.argv = list(program)
                sys.path[0] = os.path.dirname(os.path.realpath(script)) if os.path.isfile(script) else script
                runpy.run_path(script, run_name="__main__")
            status = 0
        except SystemExit as error:
            status = exit_status(error.code)
        except KeyboardInterrupt as error:
            _print_exception(error)
            status = EXIT_INTERRUPTED
        except ImportError as error:
            if module is not None and _raised_by_runpy(error):
                _say(f"ruvo: {error}")
                outcome.module_missing = True
            else:
                _print_exception(error)
            status = 1
        except BaseException as error:
            _print_exception(error)
            status = 1
        _join_program_threads()
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
    return status


def _raised_by_runpy(error: BaseException) -> bool:
    """Whether the module could not be found, rather than failing to import
    something itself."""
    tb = error.__traceback__
    last = None
    while tb is not None:
        last = tb
        tb = tb.tb_next
    return last is not None and _is_driver_frame(last.tb_frame)


def execute(options: argparse.Namespace) -> int:
    module = options.module
    program = options.rest
    if module is None and not program:
        raise CommandError("nothing to run: give a script (ruvo run script.py) or a module (ruvo run -m module)")
    if module is None and not os.path.exists(program[0]):
        raise CommandError(f"can't open file {os.path.abspath(program[0])!r}: no such file")
    if module is None and os.path.isdir(program[0]) and not os.path.isfile(os.path.join(program[0], "__main__.py")):
        # As python says it, and with its status: nothing ran, so there is no trace.
        _say(f"ruvo: can't find '__main__' module in {program[0]!r}")
        return 1
    configured = settings()
    source = options.source or (f"run -m {module}" if module is not None else f"run {program[0]}")

    from .. import db
    from ..config import apply_value_limits, budget_from, db_cap_from
    from ..utils import shorten_logged_locals
    from ..profiler import Profiler

    try:
        budget = budget_from(configured, options.trace_budget, RUN_TRACE_BUDGET)
    except ValueError as error:
        raise CommandError(f"--trace-budget: {error}") from None
    try:
        max_db_size = db_cap_from(configured, options.max_db_size)
    except ValueError as error:
        raise CommandError(f"--max-db-size: {error}") from None
    try:
        apply_value_limits(configured)
    except ValueError as error:
        raise CommandError(str(error)) from None
    try:
        profiler = Profiler(
            db_path=options.db or configured.db_path,
            trace_budget=budget,
            include=[*configured.include, *options.include],
            ignore=[*configured.ignore, *options.ignore],
            threading=configured.threading if options.threading is None else options.threading,
            lightweight_repr=configured.lightweight_repr if options.lightweight_repr is None
            else options.lightweight_repr,
            use_repr=options.use_repr,
            source=source,
            backend=options.backend or configured.backend or "auto",
            sqlite_busy_timeout=60 if configured.busy_timeout is None else configured.busy_timeout,
        )
    except ValueError as error:
        raise CommandError(str(error)) from None
    started = time.perf_counter()
    try:
        shorten_logged_locals()
        profiler.start()
    except Exception as error:
        profiler.stop()
        raise CommandError(f"could not start the profiler: {type(error).__name__}: {error}") from None
    if profiler.backend_note:
        _say(f"ruvo: {profiler.backend_note}")
    outcome: type[_NotFound] = type("Outcome", (_NotFound,), {})
    try:
        status = _run_program(module, program, outcome)
    finally:
        profiler.stop()
    ran = time.perf_counter() - started
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    if outcome.module_missing:
        return status  # said above, as python says it; there is no program to trace

    where = display_path(profiler.db_path)
    before = db.save_counts()
    try:
        document = _build(profiler, source)
        db.set_max_bytes(profiler.db_path, max_db_size)
        db.begin_run(profiler.db_path, "run", command=" ".join(["ruvo", "run", *sys.argv[2:]]))
        summary = db.save_trace_in_sqlite(
            profiler.db_path, profiler.trace_id, timeout=profiler.config["sqlite_busy_timeout"], msgpack=document,
        )
        db.finish_run(profiler.db_path, timeout=profiler.config["sqlite_busy_timeout"])
    except db.SaveInterrupted as interrupted:
        # Ctrl-C while the database was locked: the trace waits beside it,
        # and the program's own status stands.
        if interrupted.spill_path is not None:
            _say(f"ruvo: interrupted while saving trace {profiler.trace_id}; it was written to "
                 f"{display_path(interrupted.spill_path)} (store it with: ruvo import)")
        else:
            _say(f"ruvo: interrupted while saving trace {profiler.trace_id}, which could not be written "
                 "beside the database either; it is lost")
        return status
    except db.TraceNotSaved as error:
        _say(f"ruvo: {error}")
        return status
    except Exception as error:
        _say(f"ruvo: trace {profiler.trace_id} could not be saved: {_one_line(error)}")
        return status
    wall = time.perf_counter() - started
    records, threads = (summary.records, summary.threads) if summary is not None else ("?", "?")
    _say(
        f"ruvo: saved trace {profiler.trace_id} to {where}\n"
        f"ruvo: {records} records, {threads} thread{'s' if threads != 1 else ''}, {wall:.3f} s wall time"
        f" ({ran:.3f} s running, {wall - ran:.3f} s saving; see it with: ruvo show {profiler.trace_id})"
    )
    if summary is not None and summary.records == 0:
        _say(_nothing_recorded(module, program))
    if summary is not None and summary.left_out:
        _say(f"ruvo: {summary.left_out} `ruvo top` still counts every call; for more records, "
             "--trace-budget SIZE (or none)")
    removed = db.save_counts().since(before)
    if removed.removed_traces:
        from .traces import human_size

        _say(f"ruvo: to keep {where} under its cap of {human_size(max_db_size)}, {removed.removed_traces} older "
             f"trace(s) were removed" + (f" ({removed.removed_runs} earlier run(s) whole)" if removed.removed_runs
                                         else "") + "; set --max-db-size SIZE (or none)")
    return status


# What ruvo leaves out as library code: files whose path contains one of
# these (the LIBRARY_FINDERS of src/filters.cpp).
LIBRARY_PATHS = ("lib/python", "/site-packages/")


def _program_file(module: Optional[str], program: list[str]) -> Optional[str]:
    """The file of the module or script that ran, if it can be told."""
    if module is None:
        script = os.path.realpath(program[0])
        return os.path.join(script, "__main__.py") if os.path.isdir(script) else script
    from importlib.util import find_spec

    try:
        found = find_spec(module)
    except Exception:  # the module ran, so this is unlikely; the note does without
        return None
    return found.origin if found is not None else None


def _nothing_recorded(module: Optional[str], program: list[str]) -> str:
    """Why a run recorded nothing, and how to record it: most often the
    program is library code, which ruvo skips."""
    skipped = " or ".join(LIBRARY_PATHS)
    file = _program_file(module, program)
    if file is not None and any(text in file.replace(os.sep, "/") for text in LIBRARY_PATHS):
        name = module if module is not None else program[0]
        if module is not None:
            top = module.partition(".")[0]
            package = "." in module or os.path.basename(file) == "__init__.py"
            include = f"/{top}/" if package else f"/{top}.py"
        else:
            include = f"/{os.path.basename(file)}"
        return (f"ruvo: nothing was recorded: {name} is library code ({display_path(Path(file))}), and ruvo records "
                f"only your code, skipping files whose path contains {skipped}.\n"
                f"ruvo: to record it, give --include TEXT with part of its path (e.g. --include {include}), "
                "or add it to include in [tool.ruvo] of pyproject.toml")
    return ("ruvo: nothing was recorded: none of the program's calls ran in your code (ruvo skips files whose path "
            f"contains {skipped}, ruvo's own, and those --ignore or [tool.ruvo] ignore name); "
            "--include TEXT also records files whose path contains TEXT")


def _say(text: str) -> None:
    """A line of ruvo's on stderr. The program may have closed stderr (or
    its descriptor): then it goes nowhere, and the program's status stands."""
    from ..terminal import visible

    try:
        sys.stderr.write("\n".join(visible(line) for line in text.split("\n")) + "\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        # What could not be written stays buffered, and would fail the exit.
        try:
            sys.stderr = open(os.devnull, "w")
        except OSError:
            pass


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0]}" if text else type(error).__name__


def _build(profiler, source: str) -> bytes:
    """The trace document, or, when the recorder cannot build it (memory
    runs out), a small one that says so: the run is on record either way."""
    import gc

    try:
        return profiler.build_trace()
    except Exception as first:
        gc.collect()
        try:
            return profiler.build_trace()
        except Exception:
            pass
        error = first
    _say(f"ruvo: could not build the trace: {_one_line(error)}; saving a trace that says so")
    return _stand_in(profiler, source, f"The trace could not be built ({_one_line(error)}); "
                     "its records were lost. Run with a smaller --trace-budget, or with more memory.")


def _stand_in(profiler, source: str, message: str) -> bytes:
    import msgpack

    from .. import version
    from ..git import COMMIT_SHA

    now = time.time()
    thread = threading.current_thread()
    record = {"frame_id": "frm_" + profiler.trace_id[4:], "timestamp": now, "thread": thread.name,
              "thread_native_id": thread.native_id, "user_code_call_site": None, "type": "ruvo",
              "subtype": "left_out", "budget": None, "stored_bytes": 0, "values_omitted": 0, "frames_omitted": 0,
              "failures_unlogged": 0, "since": now, "complete_until": None, "message": message}
    return msgpack.packb({
        "command_line_args": list(sys.argv), "current_commit_sha": COMMIT_SHA, "frames": {},
        "frames_of_interest": [record], "main_thread_id": thread.native_id,
        "meta": {"version": version.__version__, "source": source, "use_frame_boundaries": True},
        "timestamp": now, "trace_id": profiler.trace_id,
    })


COMMAND = Command("run", define, execute, split=split_arguments)
