"""Two traces aligned call by call: `ruvo.diff`, `Trace.diff`, `ruvo diff`
and the failed-test lines of `pytest --ruvo`."""

from __future__ import annotations

import itertools
import math
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ruvo import diff as diffing
from ruvo.decode import Clipped
from ruvo.model import trace_of

from _cli import child_env, ruvo, write
from _documents import MAIN, T0, document, frame_id

# A call as (qualname, arguments, return value, children); a list of them
# is a thread's roots.  Each record is 1 ms after the one before.


def _records(calls, clock, thread="MainThread", native=MAIN):
    # A stack, not recursion: some tests nest deeper than Python's limit.
    pending = [("calls", list(calls))]
    while pending:
        kind, item = pending.pop()
        if kind == "return":
            yield {**item, "timestamp": T0 + next(clock)}
            continue
        if not item:
            continue
        (name, arguments, value, children), rest = item[0], item[1:]
        common = {"path": f"app.py:{len(name)}", "co_name": name.rpartition(".")[2], "qualname": name,
                  "frame_id": frame_id(), "type": "frame", "thread": thread, "thread_native_id": native,
                  "user_code_call_site": None}
        yield {**common, "event": "call", "arg": None, "locals": dict(arguments), "timestamp": T0 + next(clock)}
        pending.append(("calls", rest))
        pending.append(("return", {**common, "event": "return", "arg": value, "locals": dict(arguments)}))
        pending.append(("calls", list(children)))


def trace(calls, *, workers=(), step=1e-3):
    clock = (i * step for i in itertools.count())
    frames = {}
    for index, (name, worker_calls) in enumerate(workers):
        frames[name] = list(_records(worker_calls, clock, name, MAIN + 1 + index))
    return trace_of(document(list(_records(calls, clock)), frames=frames))


def leaf(name, value=None, **arguments):
    return (name, arguments, value, [])


def kinds(result):
    return [(found.kind, found.call.name) + ((found.name, found.a_value, found.b_value) if found.kind == "value"
                                             else (found.count,)) for found in diffing.iter_all(result)]


def _lcs(a, b):
    table = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            table[i + 1][j + 1] = table[i][j] + 1 if x == y else max(table[i][j + 1], table[i + 1][j])
    return table[-1][-1]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from("abcd"), max_size=14), st.lists(st.sampled_from("abcd"), max_size=14),
       st.sampled_from([diffing.MAX_EDITS, 2]))
def test_alignment_keeps_order_and_matches_as_many_as_can_be(a, b, max_edits):
    original = diffing.MAX_EDITS
    diffing.MAX_EDITS = max_edits
    try:
        pairs, approximate = diffing.align(a, b, key=lambda item: item)
    finally:
        diffing.MAX_EDITS = original
    assert [i for i, _ in pairs if i is not None] == list(range(len(a)))
    assert [j for _, j in pairs if j is not None] == list(range(len(b)))
    matched = [(i, j) for i, j in pairs if i is not None and j is not None]
    assert all(a[i] == b[j] for i, j in matched)
    if not approximate:
        assert len(matched) == _lcs(a, b)


def test_reordered_added_and_removed_calls_leave_the_rest_aligned():
    a = trace([("main", {}, None, [leaf("load"), leaf("check"), ("price", {}, 3, [leaf("round")]), leaf("log")])])
    b = trace([("main", {}, None, [leaf("check"), leaf("load"), ("price", {}, 3, [leaf("round")]), leaf("audit"),
                                   ("audit2", {}, None, [leaf("write"), leaf("write")])])])
    result = a.diff(b)
    # A moved call is one removed and one added; "check" stays aligned.
    assert kinds(result) == [("only_a", "load", 1), ("only_b", "load", 1), ("only_a", "log", 1),
                             ("only_b", "audit", 1), ("only_b", "audit2", 3)]
    assert (result.aligned, result.only_a, result.only_b) == (4, 2, 5)
    assert not result.values and not result.same
    assert result.summary().startswith("4 call(s) aligned, 2 only in A, 5 only in B, 0 value(s) changed")
    assert a.diff(a).same and a.diff(a).summary().startswith("6 call(s) aligned, 0 only in A, 0 only in B")


def test_first_difference_is_the_one_that_happened_first():
    # The helper's return value changed; its callers' locals changed after it.
    def run(rate):
        return trace([("test_total", {}, None, [("checkout", {"user": 42}, {"amount": 100 - rate}, [
            leaf("discount", rate, total=100)])])])

    result = run(10).diff(run(20))
    assert kinds(result) == [("value", "discount", "return", 10, 20),
                             ("value", "checkout", "return", {"amount": 90}, {"amount": 80})]
    assert result.first is result.values[0]
    assert [(a.name, b.name) for a, b in result.first.parents] == [("test_total", "test_total"),
                                                                   ("checkout", "checkout")]


def test_values_are_compared_as_recorded():
    def run(**values):
        return trace([("f", values, None, [])])

    nan = math.nan
    assert run(x=nan, y=[1, (2, 3)], z={"k": None}).diff(run(x=nan, y=[1, (2, 3)], z={"k": None})).same
    changes = kinds(run(a=1, b="ab", c=1.0, d=[1]).diff(run(a=True, b=Clipped("ab", 900), c=1, e=[1])))
    assert changes == [("value", "f", "argument a", 1, True),
                       ("value", "f", "argument b", "ab", Clipped("ab", 900)),
                       ("value", "f", "argument c", 1.0, 1),
                       ("value", "f", "argument d", [1], diffing.ABSENT),
                       ("value", "f", "argument e", diffing.ABSENT, [1])]


def test_deep_recursion_threads_and_generators():
    def nest(depth, bottom):
        node = leaf("walk", bottom)
        for _ in range(depth):
            node = ("walk", {}, None, [node])
        return [node]

    # Deeper than Python's recursion limit: the walk must not recurse.
    deep = trace(nest(3000, 1)).diff(trace(nest(3000, 2)))
    assert kinds(deep) == [("value", "walk", "return", 1, 2)] and len(deep.first.parents) == 3000

    def run(second_yield, extra_worker):
        workers = [("worker-1", [leaf("fetch", 5)])]
        if extra_worker:
            workers.append(("worker-2", [leaf("fetch", 5)]))
        # A generator resumed three times shows as three calls of it.
        return trace([("main", {}, None, [leaf("numbers", 1), leaf("numbers", second_yield), leaf("numbers")])],
                     workers=workers)

    result = run(2, False).diff(run(3, True))
    assert kinds(result) == [("value", "numbers", "return", 2, 3), ("only_b", "fetch", 1)]
    assert [found.thread for found in diffing.iter_all(result)] == ["MainThread", "worker-2"]


def test_timing_changes_above_the_floor():
    fast = trace([("main", {}, None, [leaf("query"), leaf("render")])], step=1e-3)
    slow = trace([("main", {}, None, [leaf("query"), leaf("render")])], step=3e-3)
    result = fast.diff(slow)
    assert result.same
    assert result.timing[0].call.name == "main"
    assert sorted(found.call.name for found in result.timing[1:]) == ["query", "render"]
    assert result.timing[0].delta == pytest.approx(10e-3)
    assert diffing.diff_traces(fast, slow, time_floor=1.0).timing == []


SHOP = """
    RATE = 0.10

    def discount(total):
        return round(total * RATE, 2)

    def price(items):
        total = sum(items)
        cut = discount(total)
        return total - cut

    def checkout(items, user_id):
        amount = price(items)
        return {"user_id": user_id, "amount": amount}
"""

TEST = """
    from shop import checkout

    def test_checkout():
        receipt = checkout([10, 20, 30], user_id=42)
        assert receipt["amount"] == 54
"""


def _pytest(cwd):
    from test_pytest_plugin import installed_entry_points

    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--ruvo",
         *([] if installed_entry_points() else ["-p", "ruvo.pytest_plugin"])],
        cwd=cwd, env=child_env(), capture_output=True, text=True, timeout=120)


def test_a_failing_test_against_its_last_pass(tmp_path):
    write(tmp_path / "shop.py", SHOP)
    write(tmp_path / "test_shop.py", TEST)
    assert _pytest(tmp_path).returncode == 0
    write(tmp_path / "shop.py", SHOP.replace("RATE = 0.10", "RATE = 0.20"))
    failed = _pytest(tmp_path)
    assert failed.returncode == 1
    lines = failed.stdout.splitlines()
    at = next(index for index, line in enumerate(lines) if line.startswith("ruvo: failed test_shop.py::test_checkout"))
    assert lines[at + 1:at + 3] == [
        "  surfaced in: shop.checkout(items=[10, 20, 30], user_id=42) -> {'user_id': 42, 'amount': 48.0}  shop.py:11",
        "  compare with its latest pass: ruvo diff --test test_shop.py::test_checkout"]

    # The session's writer indexed its traces once the tests were done.
    found = ruvo(tmp_path, "find", "--return", "12.0", "--function", "shop.discount")
    assert found.stdout.split("  ", 1)[1] == "shop.discount shop.py:3  return = 12.0\n"
    assert found.stderr == f"ruvo: 1 hit in 2 traces of {Path('.ruvo') / 'ruvo.sqlite3'}\n"

    shown = ruvo(tmp_path, "diff", "--test", "test_shop.py::test_checkout")
    assert shown.returncode == 0, shown.stderr
    out = shown.stdout.splitlines()
    assert out[0] == "test_shop.py::test_checkout: latest passing against latest failing"
    assert out[1].endswith("(test_shop.py::test_checkout, passed)") and out[2].endswith("(test_shop.py::test_checkout, failed)")
    assert out[4:7] == ["value changed: shop.discount shop.py:3", "  return: 6.0  ->  12.0",
                        "  in thread MainThread, under test_shop.test_checkout > shop.checkout > shop.price"]
    # (A loaded machine may add a timing difference to the summary.)
    assert out[-2].startswith("4 call(s) aligned, 0 only in A, 0 only in B, 11 value(s) changed")
    assert out[-1] == "(--all lists every difference)"
    everything = ruvo(tmp_path, "diff", "--test", "test_shop.py::test_checkout", "--all").stdout
    assert everything.count("value changed:") == 11 and "  local cut: 6.0  ->  12.0" in everything

    import ruvo as api

    a_id, b_id = (line.split()[1] for line in out[1:3])
    db = tmp_path / ".ruvo" / "ruvo.sqlite3"
    change = api.load(a_id, db_path=db).diff(api.load(b_id, db_path=db))
    assert (change.first.call.name, change.first.name, change.first.a_value, change.first.b_value) == \
        ("shop.discount", "return", 6.0, 12.0)

    from ruvo.cli.diff import diff_marks

    marks, left = diff_marks(change)
    assert left == 0 and marks[:2] == [
        {"side": "a", "thread": 0, "call": 3, "kind": "changed", "label": "return: 6.0 -> 12.0"},
        {"side": "b", "thread": 0, "call": 3, "kind": "changed", "label": "return: 6.0 -> 12.0"}]
    page = ruvo(tmp_path, "diff", a_id, b_id, "--html", "diff.html")
    assert page.stdout.splitlines()[-1] == "wrote diff.html"
    assert '"label":"return: 6.0 -> 12.0"' in (tmp_path / "diff.html").read_text()

    runs = ruvo(tmp_path, "diff", "--run", "1", "--run", "2")
    assert runs.returncode == 0 and "value changed: shop.discount shop.py:3" in runs.stdout
    assert runs.stdout.splitlines()[-1] == "1 trace pair(s) compared, 1 differ"

    for args, message in [
        (("diff", a_id), "give two trace ids (A and B), --test NODEID, or --run R1 --run R2"),
        (("diff", "--run", "1"), "give --run twice (the two runs to compare), or not at all"),
        (("diff", "--test", "test_shop.py::test_other"), "no passing trace of test test_shop.py::test_other in "),
    ]:
        refused = ruvo(tmp_path, *args)
        assert refused.returncode == 2 and refused.stderr.startswith(f"ruvo: error: {message}"), refused.stderr
