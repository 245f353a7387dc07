"""One measurement in a fresh process; run by run.py with the benchmark's venv.

    child.py MODE --workload W --config C --size N [--warmup N] [--records N]

Modes:
  time       warm up unprofiled, then time ``run(N)`` between the profiler's
             start and stop; ruvo's build_trace() is timed separately.
  count      warm up, then count the Python calls of ``run(N)`` with a
             counting profile function (the divisor of the callgrind figures).
  first      the one-time cost of ruvo's first recorded event in a process
             (lazy imports): time one recorded call with nothing primed.
  build      record about --records records of the app workload with ruvo,
             then time build_trace() and a plain copy of as many bytes, and
             report peak memory growth while recording.

Prints one line ``RESULT {json}`` on stdout. Valgrind runs this same script
in ``time`` mode; its instruction totals cover the whole process.
"""

import argparse
import functools
import importlib
import json
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WORKLOAD_DIR = os.path.join(HERE, "workloads")
sys.path.insert(0, HERE)

CONFIGS = ("none", "floor", "ruvo", "ruvo-light", "ruvo-monitoring", "cprofile", "yappi", "viztracer", "viztracer-args")
# ruvo's configurations, each with the backend it records through.
RUVO_CONFIGS = {"ruvo": "profile", "ruvo-light": "profile", "ruvo-monitoring": "monitoring"}


def trivial():
    return None


def prime_ruvo(tmpdir, backend="profile"):
    """Pay ruvo's one-time costs (its first recorded event imports the
    serialiser, msgpack, inspect and the plugins) with a throwaway profiler,
    so that timed runs measure the cost per event; mode ``first`` reports it."""
    from ruvo import Profiler

    profiler = Profiler(db_path=os.path.join(tmpdir, "prime.sqlite3"), backend=backend)
    profiler.start()
    trivial()
    profiler.stop()
    profiler.build_trace()


def constant_value(value):
    """What the serialisers are replaced with in the native workload: one nil."""
    return b"\xc0"


def use_constant_values():
    """Constant values leave only the native module's own share of a recorded
    event (plus one trivial Python call per value). Done before ruvo records
    anything, in case it ever keeps the functions it found."""
    import ruvo.serialize

    ruvo.serialize.dump_msgpack = constant_value
    ruvo.serialize.dump_msgpack_lightweight_repr = constant_value


class Session:
    """Start and stop one profiler configuration; finish() does the post-work."""

    def __init__(self, config, tmpdir, native=False):
        self.config = config
        self.native = native
        self.tmpdir = tmpdir
        self.profiler = None
        if config == "floor":
            from ruvo import _ruvo

            self._ruvo = _ruvo
        if config in RUVO_CONFIGS:
            from ruvo import Profiler

            # No budget: these workloads measure what recording every call
            # costs (benchmarks/runaway.py measures a trace past its budget).
            self.profiler = Profiler(db_path=os.path.join(tmpdir, "ruvo.sqlite3"),
                                     lightweight_repr=config == "ruvo-light", trace_budget=None,
                                     backend=RUVO_CONFIGS[config])
        elif config == "cprofile":
            import cProfile

            self.profiler = cProfile.Profile()
        elif config == "yappi":
            import yappi

            yappi.set_clock_type("wall")
            self.profiler = yappi
        elif config in ("viztracer", "viztracer-args"):
            from viztracer import VizTracer

            extra = {"log_func_args": True, "log_func_retval": True} if config == "viztracer-args" else {}
            self.profiler = VizTracer(verbose=0, output_file=os.path.join(tmpdir, "viztracer.json"), **extra)
        elif config not in ("none", "floor"):
            raise SystemExit(f"unknown config {config!r}")
        # Start and stop are the profilers' own functions (C, or library code
        # that ruvo skips), so no frame of this file is recorded.
        self.start, self.stop = self._controls()

    def _controls(self):
        config, profiler = self.config, self.profiler
        detach = functools.partial(sys.setprofile, None)
        if config == "none":
            return detach, detach
        if config == "floor":
            return self._ruvo.register_noop_profiler, detach
        if config == "cprofile":
            return profiler.enable, profiler.disable
        return profiler.start, profiler.stop

    def finish(self, result):
        """ruvo's build_trace(), timed and checked; nothing for the others."""
        if self.config not in RUVO_CONFIGS:
            return
        started = time.perf_counter()
        document = self.profiler.build_trace()
        result["post_seconds"] = time.perf_counter() - started
        result["document_bytes"] = len(document)
        result["records"], first = count_records(document)
        if self.native:
            # The replacement must have reached the hook, or this measures
            # the app workload again.
            result["constant_values"] = first is not None and first["arg"] is None and first["locals"] is None


def count_records(document):
    """Number of records in the document's main-thread list, and the first one."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(document), 1 << 20))
    unpacker.feed(document)
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames_of_interest":
            count = unpacker.read_array_header()
            return count, unpacker.unpack() if count else None
        unpacker.skip()
    raise ValueError("no frames_of_interest in the trace document")


def load(workload):
    # The native workload is the app workload; only the serialisers differ.
    return importlib.import_module("workloads." + ("app" if workload == "native" else workload))


def mode_time(args, tmpdir):
    module = load(args.workload)
    if args.warmup:
        module.run(args.warmup)
    if args.config in RUVO_CONFIGS:
        if args.workload == "native":
            use_constant_values()
        prime_ruvo(tmpdir, RUVO_CONFIGS[args.config])
    session = Session(args.config, tmpdir, native=args.workload == "native")
    run = module.run
    perf_counter = time.perf_counter
    # A C function nothing else here calls: callgrind_top.py zeroes its
    # counters on entering it, so setup and priming drop out.
    sys.getswitchinterval()
    session.start()
    started = perf_counter()
    run(args.size)
    seconds = perf_counter() - started
    session.stop()
    result = {"seconds": seconds}
    if not args.no_build:
        session.finish(result)
    return result


def mode_first(args, tmpdir):
    module = load(args.workload)
    module.run(args.warmup)
    session = Session(args.config, tmpdir)
    session.start()
    started = time.perf_counter()
    module.run(0)
    seconds = time.perf_counter() - started
    session.stop()
    again = Session(args.config, tmpdir)
    again.start()
    started = time.perf_counter()
    module.run(0)
    second = time.perf_counter() - started
    again.stop()
    return {"seconds": seconds, "second_seconds": second}


def mode_count(args, tmpdir):
    module = load(args.workload)
    if args.warmup:
        module.run(args.warmup)
    counts = {"calls": 0, "user_calls": 0}
    prefix = WORKLOAD_DIR + os.sep

    def counter(frame, event, arg):
        if event == "call":
            counts["calls"] += 1
            if frame.f_code.co_filename.startswith(prefix):
                counts["user_calls"] += 1

    sys.setprofile(counter)
    module.run(args.size)
    sys.setprofile(None)
    return counts


def memory_status():
    """VmRSS and VmHWM of this process, in bytes."""
    values = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) * 1024
    return values


def reset_peak():
    """Make VmHWM restart from the current RSS (Linux 4.0+); False if it can't."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def fresh_large_allocations():
    """Pin glibc's mmap threshold, so that the document and each copy are all
    fresh mappings: otherwise a copy made after a large free reuses memory
    already faulted in, which build_trace()'s first allocation never does."""
    try:
        import ctypes

        return ctypes.CDLL(None).mallopt(-3, 1 << 20) == 1  # M_MMAP_THRESHOLD
    except (OSError, AttributeError):
        return False


def mode_build(args, tmpdir):
    import gc

    from workloads import app

    app.run(max(1, args.warmup))
    # Units of the app workload needed for about --records records: two per
    # call, calls per unit counted here on the same code.
    calls = {"n": 0}

    def counter(frame, event, arg):
        if event == "call":
            calls["n"] += 1

    sys.setprofile(counter)
    app.run(10)
    sys.setprofile(None)
    units = max(1, round(args.records / (2 * calls["n"] / 10)))

    session = Session("ruvo-light" if args.config == "ruvo-light" else "ruvo", tmpdir)
    gc.collect()
    before = memory_status()
    peak_reset = reset_peak()
    session.start()
    started = time.perf_counter()
    app.run(units)
    record_seconds = time.perf_counter() - started
    session.stop()
    after = memory_status()
    peak = after["VmHWM"] if peak_reset else after["VmRSS"]

    fresh = fresh_large_allocations()
    started = time.perf_counter()
    document = session.profiler.build_trace()
    build_seconds = time.perf_counter() - started
    size = len(document)
    records, _ = count_records(document)
    del document

    # The same number of bytes copied into a new bytes object, as build_trace
    # does: a fresh allocation of the same size, then one memcpy.
    source = b"\x01" * size
    copies = []
    for _ in range(3):
        started = time.perf_counter()
        copy = bytes(memoryview(source))
        copies.append(time.perf_counter() - started)
        del copy
    copies.sort()
    return {
        "units": units,
        "records": records,
        "document_bytes": size,
        "record_seconds": record_seconds,
        "build_seconds": build_seconds,
        "copy_seconds": copies[1],
        "rss_before": before["VmRSS"],
        "rss_after": after["VmRSS"],
        "peak_after": peak,
        "peak_is_hwm": peak_reset,
        "fresh_allocations": fresh,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("time", "first", "count", "build"))
    parser.add_argument("--workload", default="app", choices=("library", "app", "mixed", "native"))
    parser.add_argument("--config", default="none", choices=CONFIGS)
    parser.add_argument("--size", type=int, default=None)
    parser.add_argument("--warmup", type=int, default=None)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--no-build", action="store_true",
                        help="time mode: skip build_trace() (instruction counts leave it out)")
    args = parser.parse_args()
    if args.size is None:
        args.size = load(args.workload).SIZE
    if args.warmup is None:
        args.warmup = max(1, args.size // 10)
    with tempfile.TemporaryDirectory(prefix="ruvo-bench-") as tmpdir:
        handler = {"time": mode_time, "first": mode_first, "count": mode_count, "build": mode_build}[args.mode]
        result = handler(args, tmpdir)
    sys.stdout.write("RESULT " + json.dumps(result) + "\n")


if __name__ == "__main__":
    main()
