"""`ruvo find`, `Trace.find` and the value index the store keeps."""

from __future__ import annotations

import random
import sqlite3
import string

import msgpack
import pytest

from _cli import ruvo, saved_trace_id, write
from _documents import call, document, plugin, ret
from ruvo import db, model
from ruvo.cli import main
from ruvo.db import index
from ruvo.decode import EXT_CLIPPED, EXT_OBJECT, EXT_OMITTED
from ruvo.search import MISSING, Query, QueryError, parse_query


def ext(code, payload):
    return msgpack.ExtType(code, msgpack.packb(payload))


def shop_records():
    """Calls holding what a search must tell apart: 42 and "42", True and
    1, None and an object, a clipped string, strings inside containers."""
    return [
        call("f1", "shop.cart.Cart.price", "shop/cart.py:10", 0.1, locals={"user_id": 42, "sku": "abc"}),
        ret("f1", "shop.cart.Cart.price", "shop/cart.py:14", 0.2, value=None,
            locals={"user_id": 42, "sku": "abc", "note": "SELECT * FROM t"}),
        call("f2", "shop.cart.Cart.price", "shop/cart.py:10", 0.3, locals={"user_id": "42", "sku": {"q": ["SELECT x"]}}),
        ret("f2", "shop.cart.Cart.price", "shop/cart.py:14", 0.4, value=42.0, locals={"user_id": "42"}),
        call("f3", "__main__.load", "tools/load.py:3", 0.5, locals={"flag": True, "n": 1}),
        ret("f3", "__main__.load", "tools/load.py:9", 0.6, value=ext(EXT_OBJECT, ["app.Row", {"id": 42}]),
            locals={"flag": True, "n": 1, "big": ext(EXT_CLIPPED, ["SELECT " + "y" * 300, 9000]),
                    "rest": [1, ext(EXT_OMITTED, 7)]}),
        plugin("log", 0.7, message="SELECT in a log record is no call's"),
        call("f4", "__main__.<module>", "tools/load.py:0", 0.8, locals={"n": 1}),
    ]


QUERIES = [
    (Query({"user_id": 42}), ["f1"]),
    (Query({"user_id": "42"}), ["f2"]),
    (Query({"user_id": 42.0}), ["f1"]),
    (Query({"flag": 1}), []),
    (Query({"flag": True}), ["f3"]),
    (Query({"n": 1}), ["f3", "f4"]),
    (Query(return_value=None), ["f1"]),  # an object returned is not None
    (Query(return_value=42), ["f2"]),
    (Query(function="shop.*.price"), ["f1", "f2"]),
    (Query(function="Cart.price", return_value=None), ["f1"]),
    (Query(function="tools.load.load"), ["f3"]),  # a script's __main__ by its file
    (Query(function="load.<module>"), ["f4"]),
    (Query(function="*.Cart"), []),
    (Query(text="SELECT"), ["f1", "f2", "f3"]),  # inside a dict's list; a clipped string's start
    (Query(text="select"), []),
    (Query(text="y" * 250), []),  # past the searched start of a string
    (Query({"sku": "abc"}, text="SELECT"), ["f1"]),
    (Query({"rest": 7}), []),
]


def frame_ids(calls):
    return [c.record["frame_id"] for c in calls]


def test_trace_find_and_the_index_answer_the_same(tmp_path):
    path = tmp_path / "t.sqlite3"
    doc = document(shop_records(), trace_id="trc_SHOP")
    db.save_trace_in_sqlite(path, "trc_SHOP", timeout=5, msgpack=msgpack.packb(doc))
    trace = model.trace_of(db.load_trace(path, "trc_SHOP"))
    by_call = {(c.name, c.path, c.start): c.record["frame_id"] for c in trace.calls()}
    for query, expected in QUERIES:
        found = trace.find(function=query.function, text=query.text, return_value=query.return_value,
                           **query.values)
        assert frame_ids(found) == expected, query
        hits = index.find(path, query).hits
        assert sorted(hit.qualname + hit.path for hit in hits) == sorted(c.name + c.path for c in found), query
    assert frame_ids(trace.find("price")) == ["f1", "f2"] and frame_ids(trace.find("Cart.price", user_id="42")) == ["f2"]
    assert trace.find("rice") == [] and len(by_call) == 4
    # What matched, as recorded: the long string by its searched start.
    (hit,) = [h for h in index.find(path, Query(text="yyy")).hits]
    assert [(e.name, e.value) for e in hit.entries] == [("big", "SELECT " + "y" * 193)]


def test_parse_query():
    assert parse_query(["user_id=42", "name=bob", "x='42'", "--return", "None", "--function=shop.*", "--text",
                        "a b"]) == Query({"user_id": 42, "name": "bob", "x": "42"}, None, "shop.*", "a b")
    assert parse_query(["f=1.5", "t=True", "s=[1"]) == Query({"f": 1.5, "t": True, "s": "[1"})
    assert parse_query(["--text", "x"]).return_value is MISSING
    for argv, message in ((["42"], "'42' is not NAME=VALUE"), (["1x=2"], "'1x=2' is not NAME=VALUE"),
                          (["a=1", "a=2"], "a given twice"), (["--return"], "--return needs a value"),
                          (["--depth", "2"], "unknown option --depth"), (["a=[1, 2]"], "a: only None"),
                          ([f"a='{'x' * 201}'"], "a: strings are compared up to 200 characters")):
        with pytest.raises(QueryError) as raised:
            parse_query(argv)
        assert str(raised.value).startswith(message), argv
    with pytest.raises(QueryError, match="nan equals nothing"):
        Query(return_value=float("nan"))


def test_the_index_goes_with_its_documents_and_is_bounded(tmp_path, monkeypatch):
    path = tmp_path / "t.sqlite3"

    def save(trace_id, records):
        db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=msgpack.packb(document(records, trace_id=trace_id)))

    def count(table):
        with sqlite3.connect(path) as connection:
            return connection.execute(f"SELECT COUNT(*) FROM {table}").fetchone()[0]

    db.begin_run(path, "run", key="one")
    save("trc_1", shop_records())
    db.begin_run(path, "run", key="two")
    save("trc_2", [call("g", "m.only", "m.py:1", 0.1, locals={"k": 5}), ret("g", "m.only", "m.py:2", 0.2, value=5)])
    assert (count("value_index_documents"), count("value_functions")) == (2, 4)
    db.prune(path, keep_runs=1)
    # The first run's entries and functions went with its document.
    assert (count("value_index_documents"), count("value_index"), count("value_functions")) == (1, 2, 1)
    assert [hit.trace_id for hit in index.find(path, Query({"k": 5})).hits] == ["trc_2"]
    db.end_run(path)

    # Past its entries, a document is indexed in part, and says so.
    monkeypatch.setattr(index, "MAX_ENTRIES", 4)
    save("trc_cut", shop_records())
    found = index.find(path, Query(text="SELECT"))
    assert (found.traces, found.cut, found.cut_reasons) == (2, 1, [index.CUT_ENTRIES])
    assert [hit.trace_id for hit in found.hits] == ["trc_cut"]  # f1 fits, f2 does not
    monkeypatch.setattr(index, "SHARE", 0.0)
    save("trc_full", shop_records())
    with sqlite3.connect(path) as connection:
        assert connection.execute("SELECT entries, cut FROM value_index_documents WHERE document_id = "
                                  "(SELECT MAX(id) FROM trace_documents)").fetchone() == (0, index.CUT_FULL)


def test_a_schema_5_database_is_scanned_then_upgraded_and_reindexed(tmp_path, capsys):
    path = tmp_path / "t.sqlite3"
    old = msgpack.packb(document(shop_records(), trace_id="trc_OLD"))
    db.save_trace_in_sqlite(path, "trc_OLD", timeout=5, msgpack=old)
    with sqlite3.connect(path) as connection:  # as ruvo stored it before it indexed values
        connection.executescript("DROP TABLE value_index; DROP TABLE value_index_documents; "
                                 "DROP TABLE value_functions; PRAGMA user_version = 5;")
    assert main(["find", "user_id=42", "--db", str(path)]) == 0
    out, err = capsys.readouterr()
    assert out == "trc_OLD  shop.cart.Cart.price shop/cart.py:10  user_id = 42\n"
    assert err == ("ruvo: 1 hit in 1 trace of " + str(path) + "; 1 trace saved before ruvo indexed values searched "
                   "in full (ruvo find --reindex indexes them)\n")
    db.save_trace_in_sqlite(path, "trc_NEW", timeout=5, msgpack=msgpack.packb(document(shop_records(),
                                                                                        trace_id="trc_NEW")))
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone() == (db.SCHEMA_VERSION,) == (6,)
    found = index.find(path, Query({"user_id": 42}))
    assert [hit.trace_id for hit in found.hits] == ["trc_NEW", "trc_OLD"] and found.scanned == 1
    assert main(["find", "user_id=42", "--reindex", "--db", str(path)]) == 0
    assert capsys.readouterr().err.splitlines() == [
        "ruvo: indexed 1 document saved before ruvo indexed values", f"ruvo: 2 hits in 2 traces of {path}"]
    assert index.find(path, Query({"user_id": 42})).scanned == 0


def test_imported_documents_are_indexed(tmp_path):
    path = tmp_path / "t.sqlite3"
    spilled = tmp_path / "trc_SPILT-1.msgpack"
    spilled.write_bytes(msgpack.packb(document(shop_records(), trace_id="trc_SPILT")))
    db.import_spilled(path, spilled, timeout=5)
    with sqlite3.connect(path) as connection:
        assert connection.execute("SELECT calls, cut FROM value_index_documents").fetchall() == [(4, None)]


def test_ruvo_find_on_a_recorded_program(tmp_path):
    write(tmp_path / "shop" / "cart.py", """
        class Cart:
            def price(self, user_id, sku):
                note = "SELECT price FROM items\\x1b[2J"
                return None if user_id == 42 else 1.5

        if __name__ == "__main__":
            cart = Cart()
            cart.price(42, "abc")
            cart.price("42", ["x", "SELECT y"])
        """)
    trace_id = saved_trace_id(ruvo(tmp_path, "run", "shop/cart.py"))
    price = f"{trace_id}  __main__.Cart.price shop/cart.py:2"
    note = r"note = 'SELECT price FROM items\x1b[2J'"
    for args, status, lines in (
        (["user_id=42"], 0, [f"{price}  user_id = 42"]),
        (["user_id='42'", "--return", "1.5"], 0, [f"{price}  user_id = '42', return = 1.5"]),
        (["--return", "None", "--function", "shop.*.price"], 0, [f"{price}  return = None"]),
        (["--text", "SELECT"], 0, [f"{price}  {note}", f"{price}  sku = … 'SELECT y' …, {note}"]),
        (["--text", "SELECT", "--limit", "1"], 0, [f"{price}  {note}"]),
        (["user_id=7"], 1, []),
        (["--function", "nothing.*"], 1, []),
    ):
        result = ruvo(tmp_path, "find", *args)
        assert (result.returncode, result.stdout.splitlines()) == (status, lines), (args, result.stderr)
    assert ruvo(tmp_path, "find", "--text", "SELECT", "--limit", "1").stderr == \
        "ruvo: 2 hits in 1 trace of .ruvo/ruvo.sqlite3; 1 not listed (--limit)\n"
    assert ruvo(tmp_path, "find", "user_id=7", "--test", "t.py::none").stderr == \
        "ruvo: 0 hits in 0 traces of .ruvo/ruvo.sqlite3\n"
    for args, message in ((["x=[1]"], "x: only None"), ([], "give something to find"),
                          (["a=1", "--db", "missing.sqlite3"], "no trace database at missing.sqlite3")):
        result = ruvo(tmp_path, "find", *args)
        assert result.returncode == 2 and result.stderr.startswith("ruvo: error: " + message), result.stderr


def test_a_traces_entries_weigh_at_most_half_what_it_weighs_stored():
    records = []
    for number in range(2000):
        fid = f"frm_{number:026d}"
        records += [call(fid, "shop.f", "shop.py:1", number, locals={"n": number}),
                    ret(fid, "shop.f", "shop.py:1", number + 0.5, value=number, locals={"n": number})]
    encoded = msgpack.packb(document(records))
    whole = index.index_document(encoded)
    assert (len(whole.rows), whole.cut) == (4000, None)
    light = index.index_document(encoded, stored_bytes=100 * 2 * index.ENTRY_BYTES)
    # Stops at the floor (a small trace keeps its entries), saying why.
    assert len(light.rows) == index.MIN_ENTRIES and light.cut == index.CUT_WEIGHT
    heavy = index.index_document(encoded, stored_bytes=1000 * 2 * index.ENTRY_BYTES)
    assert len(heavy.rows) == 1000 and heavy.cut == index.CUT_WEIGHT
    assert index.index_document(encoded, room=10, stored_bytes=10**9).cut == index.CUT_FULL


def test_a_large_stored_trace_is_decompressed_only_as_far_as_its_entries_go():
    from ruvo.db import codec

    noise = random.Random(7)
    records = []
    for number in range(3000):
        fid = f"frm_{number:026d}"
        blob = "".join(noise.choices(string.ascii_letters, k=200))
        records += [call(fid, "shop.f", "shop.py:1", number, locals={"n": number, "blob": blob}),
                    ret(fid, "shop.f", "shop.py:1", number + 0.5, value=number, locals={"n": number, "blob": blob})]
    encoded = msgpack.packb(document(records))
    stored = codec.compress(encoded)
    assert len(stored) > index._STREAM_FROM
    whole = index.index_document(encoded, stored_bytes=len(stored))
    assert whole.cut == index.CUT_WEIGHT and 0 < len(whole.rows) < 3 * 3000
    streamed = index.index_as_stored(stored, codec.CODEC, None, index.MAX_ENTRIES)
    assert (streamed.rows, streamed.functions, streamed.cut) == (whole.rows, whole.functions, whole.cut)
    # Past where the entries ran out, the stored form is never decompressed.
    damaged = stored[:-20_000] + bytes(20_000)
    assert index.index_as_stored(damaged, codec.CODEC, None, index.MAX_ENTRIES).rows == whole.rows
    assert index.index_as_stored(stored[:1000] + bytes(len(stored) - 1000), codec.CODEC, None,
                                 index.MAX_ENTRIES).cut == index.CUT_UNREADABLE


def test_a_dict_keyed_by_namedtuples_and_objects_is_shown_and_indexed(tmp_path):
    # Their keys decode as markers holding lists and dicts, which must hash.
    write(tmp_path / "keyed.py", """
        from collections import namedtuple

        Point = namedtuple("Point", "x y")

        class Key:
            def __init__(self, name):
                self.name = name

        def lookup(table, where):
            return table[where]

        if __name__ == "__main__":
            lookup({Point(1, 2): "home", Key("k"): "other"}, Point(1, 2))
        """)
    trace_id = saved_trace_id(ruvo(tmp_path, "run", "keyed.py"))
    shown = ruvo(tmp_path, "show", "--values")
    assert shown.returncode == 0, shown.stderr
    assert "args: table={Point(1, 2): 'home', Key(name='k'): 'other'}, where=Point(1, 2)" in shown.stdout
    found = ruvo(tmp_path, "find", "--return", "'home'")
    assert (found.stdout, found.stderr) == (f"{trace_id}  __main__.lookup keyed.py:9  return = 'home'\n",
                                            "ruvo: 1 hit in 1 trace of .ruvo/ruvo.sqlite3\n")


def test_an_object_recorded_again_and_again_is_indexed_as_it_was_each_time(tmp_path):
    # The index remembers decoded objects and their strings within a document.
    path = tmp_path / "t.sqlite3"
    records = []
    for number, state in enumerate(["alpha"] * 3 + ["beta"] * 3 + ["alpha"]):
        cart = ext(EXT_OBJECT, ["shop.Cart", {"items": {"owner": state}, "n": number % 2}])
        records += [call(f"f{number}", "shop.Cart.add", "shop.py:1", number, locals={"self": cart}),
                    ret(f"f{number}", "shop.Cart.add", "shop.py:2", number + 0.5, value=None, locals={"self": cart})]
    db.save_trace_in_sqlite(path, "trc_CART", timeout=5, msgpack=msgpack.packb(document(records, trace_id="trc_CART")))
    trace = model.trace_of(db.load_trace(path, "trc_CART"))
    for text, expected in (("alpha", ["f0", "f1", "f2", "f6"]), ("beta", ["f3", "f4", "f5"])):
        assert frame_ids(trace.find(text=text)) == expected
        assert len(index.find(path, Query(text=text)).hits) == len(expected)
