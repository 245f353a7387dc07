"""os.fork() while other threads are profiled: the child must be able to go
on profiling, build and save traces, and exit."""

import os
import sys
import threading
import time
import warnings

import msgpack

import ruvo.plugins
from ruvo import _ruvo
from threaded_host import ThreadedHost

warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running

ruvo.plugins.load_plugin_data = lambda config: [{
    "co_names": ["busy"], "path_fragment": "fork_while_profiling.py", "call_type": "c", "return_type": "r",
    "process": lambda frame, event, arg, context: time.sleep(0) or {},
}]


def busy(n):
    return n


def spin(stop):
    while not stop.is_set():
        for n in range(100):
            busy(n)




def main():
    sys.setswitchinterval(1e-5)
    host = ThreadedHost("trc_parent", "fork")
    _ruvo.register_profiler(host)
    stop = threading.Event()
    spinners = [threading.Thread(target=spin, args=(stop,)) for _ in range(4)]
    for thread in spinners:
        thread.start()
    children = []
    for _ in range(5):
        time.sleep(0.02)
        pid = os.fork()
        if pid == 0:
            # The child: the inherited profiler still works, into a trace of
            # its own (none of the parent's records), and a new one too.
            for n in range(50):
                busy(n)
            document = host.rust_profiler.build_trace()
            inherited = msgpack.unpackb(document, strict_map_key=False)
            child = ThreadedHost("trc_parent", "fork")
            _ruvo.register_profiler(child)
            busy(1)
            _ruvo.register_noop_profiler()
            mine = msgpack.unpackb(child.rust_profiler.build_trace(), strict_map_key=False)
            own = [r["co_name"] for r in inherited["frames_of_interest"] if r["type"] == "frame"]
            ok = inherited["trace_id"] == host.trace_id != "trc_parent" and own == ["busy"] * 100 and \
                inherited["frames"] == {} and \
                [r["co_name"] for r in mine["frames_of_interest"] if r["type"] == "frame"] == ["busy", "busy"]
            os._exit(0 if ok else 1)
        children.append(pid)
    stop.set()
    for thread in spinners:
        thread.join()
    _ruvo.register_noop_profiler()
    deadline = time.time() + 60
    statuses = []
    for pid in children:
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                statuses.append(os.waitstatus_to_exitcode(status))
                break
            if time.time() > deadline:
                os.kill(pid, 9)
                statuses.append("hung")
                break
            time.sleep(0.01)
    print(statuses)
    sys.exit(0 if statuses == [0] * len(children) else 1)


main()
