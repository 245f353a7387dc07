"""Recording a value runs none of the program's code: programs whose reprs,
properties and dunders have effects behave exactly as they do unrecorded,
under both backends, and their objects are still recorded by their state."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import ruvo
from ruvo import serialize
from ruvo.db import load_trace

BACKENDS = ["profile"] + (["monitoring"] if sys.version_info >= (3, 12) else [])

# Each program prints what it observed; recorded or not, the same lines.
PROGRAMS = {
    "lazy cache": """
        class Lazy:
            def __init__(self, text):
                self.text = text
                self._parsed = None
            def __repr__(self):
                self._parsed = self.text.split()   # parses and caches
                return f"Lazy({self._parsed})"
            def check(self):
                return self._parsed is None
        def use(lazy):
            return lazy.check()
        print("still lazy:", use(Lazy("a b")))
    """,
    "drained iterator": """
        import itertools
        class Loop:
            def __init__(self, items):
                self._it = iter(items)
            @property
            def length(self):
                self._items = list(self._it)        # drains what the caller was to use
                return len(self._items)
            def __repr__(self):
                return f"Loop({self.length})"
            def __len__(self):
                return self.length
        def group(loop):
            return [(k, list(g)) for k, g in itertools.groupby(loop._it)]
        print(group(Loop("aab")))
    """,
    "async property": """
        import warnings
        warnings.simplefilter("error")
        class Model:
            @property
            async def related(self):
                return 1
            def __getattr__(self, name):
                raise AttributeError(name)
            def __repr__(self):
                return f"Model({self.related})"    # a coroutine never awaited
        def show(model):
            return type(model).__name__
        print(show(Model()))
    """,
    "counted queries": """
        QUERIES = []
        class QuerySet:
            def __init__(self, table):
                self.table = table
                self._rows = None
            def _fetch(self):
                QUERIES.append(self.table)
                self._rows = [1, 2]
                return self._rows
            def __repr__(self):
                return repr(self._fetch())
            def __len__(self):
                return len(self._fetch())
            def __iter__(self):
                return iter(self._fetch())
            def __bool__(self):
                return bool(self._fetch())
        def first(qs):
            return next(iter(qs))
        print(first(QuerySet("users")), QUERIES)
    """,
    "attribute-logging proxy": """
        SEEN = []
        class Proxy:
            def __init__(self, target):
                object.__setattr__(self, "_target", target)
            def __getattribute__(self, name):
                SEEN.append(name)
                return getattr(object.__getattribute__(self, "_target"), name)
            def __eq__(self, other):
                SEEN.append("__eq__")
                return False
            __hash__ = None
        def touch(proxy):
            return proxy.real
        print(touch(Proxy(3)), SEEN)
    """,
}


def run_program(source: str, tmp_path, backend: str | None) -> tuple[str, dict | None]:
    """stdout of the program, and its trace when recorded with ``backend``."""
    script = tmp_path / "program.py"
    db = tmp_path / "t.sqlite3"
    body = textwrap.dedent(source)
    if backend is not None:
        body = (f"import ruvo\np = ruvo.Profiler(db_path={str(db)!r}, backend={backend!r}, trace_id='trc_fx')\n"
                "p.start()\n" + body + "p.stop()\np.save()\n")
    script.write_text(body)
    env = {**os.environ, "PYTHONPATH": str(Path(ruvo.__file__).parent.parent)}
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120,
                            cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout, load_trace(db, "trc_fx") if backend is not None else None


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("name", list(PROGRAMS))
def test_recorded_programs_behave_as_unrecorded(name, backend, tmp_path):
    plain, _ = run_program(PROGRAMS[name], tmp_path, None)
    recorded, trace = run_program(PROGRAMS[name], tmp_path, backend)
    assert recorded == plain
    # The function given the object has it by its state, not dropped.
    (call,) = [r for r in trace["frames_of_interest"]
               if r.get("event") == "call" and r["co_name"] in ("use", "group", "show", "first", "touch")]
    (argument,) = call["locals"].values()
    assert isinstance(argument, serialize.Object), argument
    assert argument.type_name.startswith("__main__.")


LOCKED = """
    import threading
    class Counter:
        def __init__(self):
            self._lock = threading.Lock(); self.n = 0
        def __repr__(self):
            with self._lock:
                return f"Counter({self.n})"
        def bump(self):
            with self._lock:
                self.n += 1
                self._notify()
        def _notify(self):
            return self.n
    c = Counter()
    for i in range(3):
        c.bump()
    print("done", c.n)
"""


@pytest.mark.parametrize("backend", BACKENDS)
def test_a_repr_taking_the_callers_lock_does_not_hang(backend, tmp_path):
    out, trace = run_program(LOCKED, tmp_path, backend)
    assert out == "done 3\n"
    notify = [r for r in trace["frames_of_interest"] if r.get("co_name") == "_notify" and r["event"] == "call"]
    assert [r["locals"]["self"].attributes["n"] for r in notify] == [1, 2, 3]


def test_values_of_common_kinds(tmp_path):
    import collections
    import dataclasses
    import enum

    class Meta(type):
        def __instancecheck__(cls, other):
            raise AssertionError("ran")

        def __getattribute__(cls, name):
            raise AssertionError("ran")

    class Hostile(metaclass=Meta):
        def __init__(self):
            self.kept = 1

    class Slotted:
        __slots__ = ("a", "b")

        def __init__(self):
            self.a = 1

    @dataclasses.dataclass
    class Account:
        owner: str
        balance: int

    class Color(enum.Enum):
        RED = 1

    Point = collections.namedtuple("Point", "x y")
    values = [Hostile(), Slotted(), Account("ann", 40), Color.RED, Point(1, 2), ValueError("bad"), {1, 2}, ("a", 3.0)]
    decoded = serialize.loads(serialize.dump_msgpack(values))
    assert [repr(value) for value in decoded] == [
        "Hostile(kept=1)", "Slotted(a=1)", "Account(owner='ann', balance=40)", "Color.RED", "Point(1, 2)",
        "ValueError(args=('bad',))", "{1, 2}", "('a', 3.0)"]
