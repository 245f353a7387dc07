"""Many profiled threads, plugins that force thread switches, and documents
built from another thread meanwhile. Prints what it saw as JSON."""

import json
import sys
import threading
import time

import msgpack

import ruvo.plugins
from ruvo import _ruvo
from threaded_host import ThreadedHost

THREADS = int(sys.argv[1])
CALLS = int(sys.argv[2])


def switch(frame, event, arg, context):
    time.sleep(0)  # gives the interpreter lock away while the plugin runs
    with context["lock"]:
        context["seen"] += 1
    return True


def process(frame, event, arg, context):
    time.sleep(0)
    return {"n": frame.f_locals["n"]}


ruvo.plugins.load_plugin_data = lambda config: [{
    "co_names": ["work"], "path_fragment": "thread_storm.py", "call_type": "work_call", "return_type": "work_return",
    "call": switch, "process": process, "build_context": lambda config: {"lock": threading.Lock(), "seen": 0},
}]


def work(n):
    return n + 1


def worker(barrier):
    barrier.wait()
    for n in range(CALLS):
        work(n)




def main():
    sys.setswitchinterval(1e-5)
    host = ThreadedHost("trc_storm", "storm")
    _ruvo.register_profiler(host)
    _ruvo.register_noop_profiler()  # only the workers are profiled
    profiler = host.rust_profiler
    documents = []
    done = threading.Event()

    def builder():
        while not done.is_set():
            documents.append(profiler.build_trace())
            time.sleep(0.001)

    barrier = threading.Barrier(THREADS)
    workers = [threading.Thread(target=worker, args=(barrier,), name=f"w{i}") for i in range(THREADS)]
    building = threading.Thread(target=builder)
    building.start()
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    done.set()
    building.join()
    documents.append(profiler.build_trace())
    threading.setprofile(None)

    per_thread = {}
    for document in documents:
        trace = msgpack.unpackb(document, strict_map_key=False)
        assert trace["frames_of_interest"] == [], "threads with native ids go to frames"
        for native_id, records in trace["frames"].items():
            per_thread.setdefault(str(native_id), []).extend(records)
    summary = {}
    for native_id, records in per_thread.items():
        work_frames = [r for r in records if r.get("co_name") == "work"]
        plugin_records = [r for r in records if r["type"] in ("work_call", "work_return")]
        calls = {r["frame_id"]: r for r in work_frames if r["event"] == "call"}
        returns = [r for r in work_frames if r["event"] == "return"]
        summary[native_id] = {
            "threads": sorted({r["thread"] for r in work_frames}),
            "calls": len(calls),
            "returns": len(returns),
            "paired": sum(1 for r in returns if r["frame_id"] in calls),
            "plugin_records": len(plugin_records),
            "plugin_ns": sorted(r["n"] for r in plugin_records if r["type"] == "work_call"),
            "frame_ids": len({r["frame_id"] for r in records}),
            "records": len(records),
            "functions": sorted({r["co_name"] for r in records if r["type"] == "frame"}),
        }
    print(json.dumps({"documents": len(documents), "threads": summary}))


main()
