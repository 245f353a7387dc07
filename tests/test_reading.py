"""ruvo.load: a stored trace as call trees with values."""

import threading

import ruvo


def price(item, qty):
    return item["cost"] * qty


def total(items):
    return sum(price(item, 2) for item in items)


def worker():
    price({"cost": 5}, 1)


def test_load_gives_calls_with_their_values(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with ruvo.Profiler(threading=True, builtin_plugins=False, source="reading") as p:
        total([{"cost": 3}, {"cost": 4}])
        thread = threading.Thread(target=worker, name="side")
        thread.start()
        thread.join()

    trace = ruvo.load()  # the latest trace of .ruvo/ruvo.sqlite3 here
    assert (trace.trace_id, trace.source) == (p.trace_id, "reading")
    assert trace.main is not None and trace.main.is_main
    (outer,) = trace.find("total")
    assert outer.arguments == {"items": [{"cost": 3}, {"cost": 4}]}
    assert outer.return_value == 14
    assert (outer.file.rsplit("/", 1)[-1], outer.line) == ("test_reading.py", total.__code__.co_firstlineno)
    genexpr = outer.calls  # the generator expression, resumed once per item and at its end
    prices = [call for node in genexpr for call in node.calls]
    assert [(c.arguments, c.return_value) for c in prices] == [
        ({"item": {"cost": 3}, "qty": 2}, 6), ({"item": {"cost": 4}, "qty": 2}, 8)]
    assert all(c.duration is not None and 0 <= c.duration <= outer.duration for c in prices)
    assert [c.arguments for c in trace.find("price")] == [
        {"item": {"cost": 3}, "qty": 2}, {"item": {"cost": 4}, "qty": 2}, {"item": {"cost": 5}, "qty": 1}]
    side = [tree for tree in trace.threads if tree.name == "side"]
    assert [node.name.rsplit(".", 1)[-1] for _, node in side[0].walk()] == ["worker", "price"]
    assert ruvo.load(p.trace_id, db_path=tmp_path / ".ruvo" / "ruvo.sqlite3").trace_id == p.trace_id
