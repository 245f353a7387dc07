"""Exits while profiled daemon threads are busy inside the hook.

usage: daemon_at_exit.py [--plugin]

Each daemon thread records calls whose values have a Python __repr__ (and,
with --plugin, runs a plugin's Python callable), so that at exit it is likely
to be running Python code from inside the profile hook.
"""

import sys
import threading
import time

from threaded_host import ThreadedHost

from ruvo import _ruvo


class Thing:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"Thing({self.n})"


def work(n):
    return Thing(n)


def loop():
    n = 0
    while True:
        work(n)
        n += 1


host = ThreadedHost("trc_01J0000000000000000000000A", "exit")
host.config = {"threading": True, "filters": {"include_frames": [], "ignore_frames": []}}
if "--plugin" in sys.argv:
    host.config["plugins"] = [{
        "co_names": ["work"], "path_fragment": "", "call_type": "work", "return_type": "work",
        "process": lambda frame, event, arg, context: {"n": frame.f_locals["n"]},
    }]
_ruvo.register_profiler(host)
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.03)
