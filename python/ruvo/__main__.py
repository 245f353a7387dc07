"""The ``ruvo`` command: run a program under the profiler, list saved traces,
show one as a call tree, export one for other tools.

The ``run`` driver lives here because ruvo's own modules, this one included,
are never recorded: what it does while the profiler is on stays out of the
trace.  Viewing and exporting live in :mod:`ruvo.view` and :mod:`ruvo.export`.
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

from .version import __version__

EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A problem worth one line on stderr and exit status 2."""


# --- arguments ------------------------------------------------------------------

# Options of `run` that take a value: the splitter below must know them to
# find where the program's own arguments begin.
_RUN_VALUE_OPTIONS = {"--db", "--include", "--ignore", "--source"}


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ruvo",
        description="Record every call and return of your Python code, then look at it.",
        epilog="Traces go to .ruvo/ruvo.sqlite3 in the current directory unless [tool.ruvo] db "
        "in pyproject.toml or --db says otherwise. `ruvo COMMAND --help` tells more.",
    )
    parser.add_argument("--version", action="version", version=f"ruvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

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
    _add_db_option(run)
    run.add_argument("--include", action="append", default=[], metavar="TEXT",
                     help="also record files whose path contains TEXT, e.g. site-packages code (repeatable)")
    run.add_argument("--ignore", action="append", default=[], metavar="TEXT",
                     help="do not record files whose path contains TEXT (repeatable)")
    run.add_argument("--threading", action=argparse.BooleanOptionalAction, default=None,
                     help="also record threads the program starts")
    run.add_argument("--lightweight-repr", action=argparse.BooleanOptionalAction, default=None,
                     help="record values by type name only, for lower overhead")
    run.add_argument("--source", metavar="NAME", help='label of the trace (default: "run SCRIPT")')

    traces = commands.add_parser("traces", help="list saved traces, newest first",
                                 description="List the traces in the database, newest first.")
    _add_db_option(traces)
    traces.add_argument("--limit", type=_positive_int, metavar="N", help="show at most N traces")

    show = commands.add_parser(
        "show",
        help="show a trace as a call tree",
        description="Print the call tree of each thread of a trace (the latest by default): each call "
        "with its duration, qualified name and file:line, and plugin records (tests, HTTP, logs) in place.",
    )
    show.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="trace id, or a unique prefix (default: latest)")
    _add_db_option(show)
    show.add_argument("--depth", type=_positive_int, metavar="N", help="show N levels of calls at most")
    show.add_argument("--values", action="store_true", help="also show arguments, return values and locals")
    show.add_argument("--thread", action="append", metavar="NAME",
                      help="show only this thread (name or native id; repeatable)")
    show.add_argument("--test", metavar="NODEID", help="show the latest trace of this pytest node id")

    export = commands.add_parser(
        "export",
        help="export a trace for Perfetto, chrome://tracing or speedscope",
        description="Write a trace (the latest by default) as Chrome Trace Event JSON (Perfetto, "
        "chrome://tracing), speedscope's evented format, or the plain decoded document as JSON.",
    )
    export.add_argument("trace_id", nargs="?", metavar="TRACE_ID", help="trace id, or a unique prefix (default: latest)")
    export.add_argument("--format", "-f", choices=("chrome", "speedscope", "json"), default="chrome",
                        help="output format (default: chrome)")
    export.add_argument("-o", "--output", metavar="FILE",
                        help="file to write, - for stdout (default: TRACE_ID.FORMAT.json)")
    _add_db_option(export)

    from .viewer import command as view_command

    view_command.add_parser(commands, _add_db_option)
    return parser


def _add_db_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", metavar="PATH",
                        help="trace database (default: [tool.ruvo] db, else .ruvo/ruvo.sqlite3)")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _split_run_arguments(args: Sequence[str]) -> tuple[list[str], list[str]]:
    """ruvo's options, and the program with its arguments.

    Like python itself, everything from the script name (or after ``-m
    MODULE``) on belongs to the program, options included.
    """
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            return list(args[:i]), list(args[i + 1 :])
        if arg == "-m":
            return list(args[: i + 2]), list(args[i + 2 :])
        if arg.startswith("-m") and not arg.startswith("--"):
            return list(args[: i + 1]), list(args[i + 1 :])
        if arg in _RUN_VALUE_OPTIONS:
            i += 2
            continue
        if arg.startswith("-") and arg != "-":
            i += 1
            continue
        return list(args[:i]), list(args[i:])
    return list(args), []


# --- shared helpers ---------------------------------------------------------------


def _settings():
    from .config import SettingsError, load_settings

    try:
        return load_settings(Path.cwd())
    except SettingsError as error:
        raise CommandError(str(error)) from None


def _db_path(option: Optional[str]) -> Path:
    if option:
        return Path(option)
    settings = _settings()
    if settings.db_path is not None:
        return settings.db_path
    return Path.cwd() / ".ruvo" / "ruvo.sqlite3"


def _display_path(path: Path) -> str:
    try:
        return str(Path(path).resolve().relative_to(Path.cwd().resolve()))
    except ValueError:
        return str(path)


def _resolve_trace_id(db_path: Path, trace_id: Optional[str]) -> Optional[str]:
    """The full id for an exact id or a unique prefix (None: the latest)."""
    from . import db

    if trace_id is None:
        return None
    ids = {row.trace_id for row in db.list_traces(db_path)}
    if trace_id in ids:
        return trace_id
    matches = sorted(found for found in ids if found.startswith(trace_id))
    if len(matches) == 1:
        return matches[0]
    if matches:
        raise CommandError(f"trace id prefix {trace_id!r} matches {len(matches)} traces; give more of it")
    raise CommandError(f"no trace {trace_id} in {_display_path(db_path)}")


def _load(db_path: Path, trace_id: Optional[str], test: Optional[str] = None) -> dict:
    from . import db

    try:
        if test is not None:
            if trace_id is not None:
                raise CommandError("give a trace id or --test, not both")
            trace_id = db.latest_trace_id_of_test(db_path, test)
        return db.load_trace(db_path, _resolve_trace_id(db_path, trace_id))
    except LookupError as error:
        raise CommandError(str(error.args[0]) if error.args else str(error)) from None
    except ValueError as error:
        raise CommandError(str(error)) from None


def _human_size(size: Optional[int]) -> str:
    if size is None:
        return "?"
    value = float(size)
    for unit in ("B", "KiB", "MiB"):
        if value < 1024 or unit == "MiB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"


# --- run -----------------------------------------------------------------------------


def _count_records(document: bytes) -> tuple[int, int]:
    """(records, threads) of an encoded trace document, read without decoding values."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(document), 1))
    unpacker.feed(document)
    records = threads = 0
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            count = unpacker.read_array_header()
            for _ in range(count):
                unpacker.skip()
            records += count
            threads += 1 if count else 0
        elif key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()
                count = unpacker.read_array_header()
                for _ in range(count):
                    unpacker.skip()
                records += count
                threads += 1
        else:
            unpacker.skip()
    return records, threads


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


def _exit_status(code: object) -> int:
    """The process status python gives for SystemExit(code)."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        sys.stderr.write(f"{code}\n")
    except Exception:
        pass
    return 1


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


def _run_program(module: Optional[str], program: list[str]) -> int:
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
            status = _exit_status(error.code)
        except KeyboardInterrupt as error:
            _print_exception(error)
            status = EXIT_INTERRUPTED
        except ImportError as error:
            if module is not None and _raised_by_runpy(error):
                sys.stderr.write(f"ruvo: {error}\n")
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


def _command_run(options: argparse.Namespace, program: list[str]) -> int:
    module = options.module
    if module is None and not program:
        raise CommandError("nothing to run: give a script (ruvo run script.py) or a module (ruvo run -m module)")
    if module is None and not os.path.exists(program[0]):
        raise CommandError(f"can't open file {os.path.abspath(program[0])!r}: no such file")
    settings = _settings()
    db_path = Path(options.db) if options.db else settings.db_path
    source = options.source or (f"run -m {module}" if module is not None else f"run {program[0]}")

    from . import db
    from .profiler import Profiler

    profiler = Profiler(
        db_path=db_path,
        include=[*settings.include, *options.include],
        ignore=[*settings.ignore, *options.ignore],
        threading=settings.threading if options.threading is None else options.threading,
        lightweight_repr=settings.lightweight_repr if options.lightweight_repr is None else options.lightweight_repr,
        source=source,
    )
    started = time.perf_counter()
    try:
        profiler.start()
    except Exception as error:
        profiler.stop()
        raise CommandError(f"could not start the profiler: {type(error).__name__}: {error}") from None
    try:
        status = _run_program(module, program)
    finally:
        profiler.stop()
    wall = time.perf_counter() - started
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass

    document = profiler.build_trace()
    records, threads = _count_records(document)
    where = _display_path(profiler.db_path)
    try:
        db.save_trace_in_sqlite(
            profiler.db_path, profiler.trace_id, timeout=profiler.config["sqlite_busy_timeout"], msgpack=document
        )
    except db.TraceNotSaved as error:
        sys.stderr.write(f"ruvo: {error}\n")
        return status
    sys.stderr.write(
        f"ruvo: saved trace {profiler.trace_id} to {where}\n"
        f"ruvo: {records} records, {threads} thread{'s' if threads != 1 else ''}, {wall:.3f} s wall time"
        f" (see it with: ruvo show {profiler.trace_id})\n"
    )
    return status


# --- traces, show, export ------------------------------------------------------------


def _command_traces(options: argparse.Namespace) -> int:
    from . import db

    db_path = _db_path(options.db)
    try:
        rows = db.list_traces(db_path)
    except LookupError as error:
        if not db_path.is_file():
            raise CommandError(f"{error}; record a trace with: ruvo run script.py") from None
        rows = []  # a database file that holds no trace yet
    # A trace may be saved in several documents: one line per trace.
    traces: dict[str, dict] = {}
    for row in rows:
        entry = traces.get(row.trace_id)
        if entry is None:
            traces[row.trace_id] = {
                "saved_at": row.saved_at,
                "source": row.test_nodeid or row.source or "?",
                "records": row.records,
                "size": row.size,
            }
        else:
            entry["records"] = None if entry["records"] is None or row.records is None else entry["records"] + row.records
            entry["size"] += row.size
    if not traces:
        print(f"No traces in {_display_path(db_path)} yet. Record one with: ruvo run script.py")
        return 0
    items = list(traces.items())[: options.limit] if options.limit else list(traces.items())
    table = [("TRACE ID", "SAVED", "SOURCE", "RECORDS", "SIZE")]
    for trace_id, entry in items:
        source = entry["source"]
        if len(source) > 60:
            source = source[:59] + "…"
        table.append(
            (
                trace_id,
                time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(entry["saved_at"])),
                source,
                "?" if entry["records"] is None else str(entry["records"]),
                _human_size(entry["size"]),
            )
        )
    widths = [max(len(row[i]) for row in table) for i in range(5)]
    for row in table:
        print(
            f"{row[0]:<{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]:<{widths[2]}}"
            f"  {row[3]:>{widths[3]}}  {row[4]:>{widths[4]}}".rstrip()
        )
    if len(items) < len(traces):
        print(f"({len(traces) - len(items)} older trace{'s' if len(traces) - len(items) != 1 else ''} not shown)")
    return 0


def _stdout_can_encode(text: str) -> bool:
    try:
        text.encode(sys.stdout.encoding or "ascii")
        return True
    except (UnicodeError, LookupError):
        return False


def _command_show(options: argparse.Namespace) -> int:
    from .view import build_threads, render_trace

    document = _load(_db_path(options.db), options.trace_id, options.test)
    if options.thread:
        known = build_threads(document)
        names = {tree.name for tree in known} | {str(tree.native_id) for tree in known}
        missing = [name for name in options.thread if name not in names]
        if missing:
            available = ", ".join(tree.name for tree in known) or "none"
            raise CommandError(f"no thread {missing[0]!r} in trace {document.get('trace_id')} (threads: {available})")
    color = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
    text = render_trace(
        document,
        depth=options.depth,
        values=options.values,
        threads=options.thread,
        color=color,
        ascii_only=not _stdout_can_encode("├─│└…µ→▶■"),
    )
    sys.stdout.write(text)
    return 0


_EXTENSIONS = {"chrome": "chrome.json", "speedscope": "speedscope.json", "json": "json"}
_OPEN_HINTS = {
    "chrome": "open it in https://ui.perfetto.dev or chrome://tracing",
    "speedscope": "open it in https://www.speedscope.app",
    "json": "the decoded trace document",
}


def _command_export(options: argparse.Namespace) -> int:
    from .export import export, write_json

    document = _load(_db_path(options.db), options.trace_id)
    data = export(document, options.format)
    indent = 1 if options.format == "json" else None
    if options.output == "-":
        write_json(data, sys.stdout, indent=indent)
        return 0
    output = Path(options.output or f"{document.get('trace_id')}.{_EXTENSIONS[options.format]}")
    try:
        with open(output, "w", encoding="utf-8") as file:
            write_json(data, file, indent=indent)
    except OSError as error:
        raise CommandError(f"cannot write {output}: {error.strerror or error}") from None
    sys.stderr.write(f"ruvo: wrote {options.format} export of {document.get('trace_id')} to {output} "
                     f"({_OPEN_HINTS[options.format]})\n")
    return 0


# --- entry point -------------------------------------------------------------------------


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``ruvo`` command line; returns the exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    parser = _build_parser()
    program: list[str] = []
    if args and args[0] == "run":
        ruvo_args, program = _split_run_arguments(args[1:])
        args = ["run", *ruvo_args]
    try:
        options = parser.parse_args(args)
    except SystemExit as error:
        return _exit_status(error.code)
    try:
        if options.command == "run":
            return _command_run(options, program)
        if options.command == "traces":
            return _command_traces(options)
        if options.command == "show":
            return _command_show(options)
        if options.command == "view":
            from .viewer import command as view_command

            return view_command.run(options, db_path=_db_path(options.db), load=_load, error=CommandError)
        return _command_export(options)
    except CommandError as error:
        sys.stderr.write(f"ruvo: error: {error}\n")
        return EXIT_ERROR
    except BrokenPipeError:
        # `ruvo show | head`: the reader left; say nothing more.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 0


if __name__ == "__main__":
    sys.exit(main())
