"""Small programs that each record one or more traces; run as
`agree_corpus.py PROGRAM BACKEND`, prints the traces as JSON with ids,
times and addresses masked, so that two backends' output can be compared."""

import asyncio
import json
import re
import sys
import threading

import msgpack

from ruvo import Profiler

BACKEND = sys.argv[2]
MADE = []


def profiler(**options):
    p = Profiler(backend=BACKEND, builtin_plugins=False, trace_budget=None, db_path="unused", **options)
    MADE.append(p)
    return p


def leaf(n):
    return n + 1


def squares(n):
    for i in range(n):
        yield i * i


def delegate(n):
    yield from squares(n)
    return "done"


def generators():
    with_profile = profiler()
    with_profile.start()
    total = sum(delegate(3))
    g = squares(5)
    next(g)
    g.close()
    with_profile.stop()
    return total


async def fetch(n):
    await asyncio.sleep(0)
    return leaf(n)


async def gather_all():
    return await asyncio.gather(fetch(1), fetch(2))


def asyncio_program():
    p = profiler()
    p.start()
    asyncio.run(gather_all())
    p.stop()


def threads():
    p = profiler(threading=True)
    p.start()
    workers = [threading.Thread(target=leaf, args=(i,), name=f"worker-{i}") for i in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    leaf(9)
    p.stop()


def fails(n):
    if n == 0:
        raise ValueError("zero")
    return fails(n - 1)


def catcher():
    try:
        fails(2)
    except ValueError:
        return "caught"


def thrown_into():
    g = squares(3)
    next(g)
    try:
        g.throw(KeyError("k"))
    except KeyError:
        pass


def exceptions():
    p = profiler()
    p.start()
    catcher()
    thrown_into()
    p.stop()


def pause_resume():
    p = profiler()
    p.start()
    leaf(1)
    p.pause()
    leaf(2)
    p.resume()
    leaf(3)
    p.stop()


def nested():
    outer = profiler(threading=True)
    inner = profiler()
    outer.start()
    leaf(1)
    inner.start()
    leaf(2)
    worker = threading.Thread(target=leaf, args=(3,), name="late")
    worker.start()
    worker.join()
    inner.stop()
    leaf(4)
    outer.stop()


def restored_profile_function():
    p = profiler()
    p.start()
    old = sys.getprofile()
    sys.setprofile(None)
    leaf(1)
    sys.setprofile(old)
    leaf(2)
    p.stop()


def decorated():
    p = profiler()

    @p
    def fact(n):
        return 1 if n <= 1 else n * fact(n - 1)

    p.save = lambda: p.trace_id  # kept in memory: its trace is built below
    fact(3)


def callbacks():
    p = profiler()
    p.start()
    sorted([3, 1, 2], key=leaf)
    list(map(leaf, [1, 2]))
    [leaf(i) for i in range(2)]
    p.stop()


def own_profile_function():
    import profile

    p = profiler()
    p.start()
    profile.Profile().runcall(leaf, 1)
    seen = []
    sys.setprofile(lambda frame, event, arg: seen.append(event))
    leaf(2)
    sys.setprofile(None)
    leaf(len(seen))
    p.stop()


def stopped_while_a_thread_runs():
    p = profiler(threading=True)
    started, stopped = threading.Event(), threading.Event()

    def worker():
        leaf(1)
        started.set()
        stopped.wait(10)
        leaf(2)

    p.start()
    thread = threading.Thread(target=worker, name="worker")
    thread.start()
    started.wait(10)
    p.stop()
    stopped.set()
    thread.join()


def a_profiler_per_thread():
    both_started = threading.Barrier(2)

    def worker(n):
        p = profiler()
        p.start()
        both_started.wait(10)
        leaf(n)
        leaf(n + 10)
        p.stop()

    workers = [threading.Thread(target=worker, args=(i,), name=f"own-{i}") for i in (1, 2)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    MADE.sort(key=lambda p: p.rust_profiler is not None and _first_n(p))


def _first_n(p):
    # The worker's n, read from its own records, orders the two traces.
    frames = msgpack.unpackb(p.rust_profiler.build_trace(), raw=False, strict_map_key=False)
    p.kept = frames
    return min((r["locals"] or {}).get("n", 99) for r in frames["frames_of_interest"] if r["type"] == "frame")


PROGRAMS = {f.__name__: f for f in (a_profiler_per_thread, generators, asyncio_program, threads, exceptions, pause_resume, nested,
                                    restored_profile_function, decorated, callbacks, own_profile_function,
                                    stopped_while_a_thread_runs)}

ADDRESS = re.compile(r"0x[0-9a-f]+")


def masked(document):
    ids = {}

    def mask_id(value):
        if value is None:
            return None
        return ids.setdefault(value, f"#{len(ids)}")

    def mask(value):
        if isinstance(value, str):
            return ADDRESS.sub("0x?", value)
        if isinstance(value, list):
            return [mask(v) for v in value]
        if isinstance(value, dict):
            return {k: mask(v) for k, v in value.items()}
        if isinstance(value, msgpack.ExtType):
            return [value.code, ADDRESS.sub("0x?", value.data.decode("utf-8", "replace"))]
        return value

    def records(rs):
        out = []
        for r in rs:
            if r.get("type") != "frame":
                continue
            site = r.get("user_code_call_site")
            out.append({
                "event": r["event"], "qualname": r["qualname"], "path": r["path"].rsplit("/", 1)[-1],
                "thread": r["thread"],
                "frame_id": mask_id(r["frame_id"]), "arg": mask(r["arg"]), "locals": mask(r["locals"]),
                "call_site": None if site is None else [mask_id(site["call_frame_id"]), site.get("line_number")],
            })
        return out

    threads = {records(rs)[0]["thread"] if records(rs) else "?": records(rs) for rs in document["frames"].values()}
    return {"main": records(document["frames_of_interest"]), "threads": dict(sorted(threads.items()))}


def main():
    PROGRAMS[sys.argv[1]]()
    out = []
    for p in MADE:
        if p.rust_profiler is not None:
            document = getattr(p, "kept", None) or msgpack.unpackb(p.rust_profiler.build_trace(), raw=False,
                                                                   strict_map_key=False)
            out.append(masked(document))
    json.dump(out, sys.stdout, indent=1, sort_keys=True, default=repr)


if __name__ == "__main__":
    main()
