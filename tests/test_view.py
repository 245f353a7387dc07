"""Call trees rebuilt from trace records, and the text of `ruvo show`."""

from __future__ import annotations

import pytest

from _documents import MAIN, WORKER, T0, call, document, frame_id, plugin, ret, shop_document
from ruvo.serialize import Clipped, Omitted, Opaque, Repr
from ruvo.model import Event, build_threads
from ruvo.render.labels import format_duration, format_locals, format_value
from ruvo.render.text import render_trace


def shape(nodes) -> list:
    """Names (plugin types in brackets) with children, for comparing trees."""
    out = []
    for node in nodes:
        if isinstance(node, Event):
            out.append(f"[{node.type}]")
        else:
            out.append((node.name, shape(node.children)) if node.children else node.name)
    return out


class TestBuildingTrees:
    def test_calls_nest_by_event_order_and_pair_by_frame_id(self):
        main, worker = build_threads(shop_document())
        assert (main.name, main.native_id, main.is_main, main.records) == ("MainThread", MAIN, True, 13)
        assert (worker.name, worker.native_id, worker.is_main, worker.records) == ("restocker", WORKER, False, 4)
        assert shape(main.roots) == [
            (
                "app.main",
                [
                    "app.Catalog.load",
                    "[log]",
                    ("app.pricing.price", ["app.pricing.round_money"]),
                    "app.items",
                    "app.items",
                ],
            )
        ]
        assert shape(worker.roots) == [("app.restock_worker", ["app.Inventory.restock"])]
        load = main.roots[0].children[0]
        assert load.duration == pytest.approx(100e-6, abs=1e-6)
        assert load.ret["arg"] == [1, 2, 3]
        assert load.path == "app/catalog.py:5"

    def test_other_threads_follow_the_main_thread_by_first_record(self):
        early, late = frame_id(), frame_id()
        doc = document(
            [call(frame_id(), "main", "m.py:1", 0.5)],
            frames={
                300: [call(late, "late", "l.py:1", 0.3, thread="late", native=300)],
                400: [call(early, "early", "e.py:1", 0.1, thread="early", native=400)],
            },
        )
        assert [tree.name for tree in build_threads(doc)] == ["MainThread", "early", "late"]

    def test_without_main_thread_records_the_recording_thread_leads(self):
        # A request profiled on a server thread: the process's main thread
        # recorded nothing, and is not claimed by another thread.
        doc = document(
            [call(frame_id(), "handler", "h.py:1", 0.5, thread="server", native=300)],
            frames={400: [call(frame_id(), "side", "s.py:1", 0.1, thread="side", native=400)]},
        )
        trees = build_threads(doc)
        assert [(tree.name, tree.is_main) for tree in trees] == [("server", False), ("side", False)]
        assert thread_sections(render_trace(doc))[:2] == ["", "thread server (1 record, native id 300)"]

    def test_records_of_several_threads_in_one_list_are_separated(self):
        a, b = frame_id(), frame_id()
        doc = document(
            [
                call(a, "a", "a.py:1", 0.1),
                call(b, "b", "b.py:1", 0.2, thread="other", native=7),
                ret(a, "a", "a.py:2", 0.3),
                ret(b, "b", "b.py:2", 0.4, thread="other", native=7),
            ]
        )
        trees = build_threads(doc)
        assert [(tree.name, shape(tree.roots)) for tree in trees] == [("MainThread", ["a"]), ("other", ["b"])]
        assert all(tree.roots[0].ret is not None for tree in trees)

    def test_calls_without_returns_end_with_the_thread(self):
        outer, inner = frame_id(), frame_id()
        doc = document(
            [
                call(outer, "outer", "o.py:1", 0.1),
                call(inner, "inner", "i.py:1", 0.2),
                plugin("log", 0.7, level="INFO", levelno=20, logger="x", message="last", path="i.py:3"),
            ]
        )
        (tree,) = build_threads(doc)
        node = tree.roots[0]
        assert shape(tree.roots) == [("outer", [("inner", ["[log]"])])]
        assert node.ret is None and node.duration is None
        assert node.end == node.children[0].end == T0 + 0.7

    def test_a_return_closes_the_calls_left_open_inside_it(self):
        outer, inner, after = frame_id(), frame_id(), frame_id()
        doc = document(
            [
                call(outer, "outer", "o.py:1", 0.1),
                call(inner, "inner", "i.py:1", 0.2),
                ret(outer, "outer", "o.py:5", 0.4),
                call(after, "after", "a.py:1", 0.5),
                ret(after, "after", "a.py:2", 0.6),
            ]
        )
        (tree,) = build_threads(doc)
        assert shape(tree.roots) == [("outer", ["inner"]), "after"]
        inner_node = tree.roots[0].children[0]
        assert inner_node.ret is None and inner_node.end == T0 + 0.4
        assert tree.roots[0].duration == pytest.approx(0.3)

    def test_a_return_without_its_call_encloses_what_ran_before_it(self):
        # Recording began inside `started_earlier`: its return has no call,
        # and everything recorded before that return ran inside it.
        a, b = frame_id(), frame_id()
        doc = document(
            [
                call(a, "a", "a.py:1", 0.1),
                ret(a, "a", "a.py:2", 0.2),
                ret(None, "started_earlier", "s.py:9", 0.3),
                call(b, "b", "b.py:1", 0.4),
                ret(b, "b", "b.py:2", 0.5),
            ]
        )
        (tree,) = build_threads(doc)
        assert shape(tree.roots) == [("started_earlier", ["a"]), "b"]
        orphan = tree.roots[0]
        assert orphan.call is None and orphan.duration is None
        assert (orphan.start, orphan.end) == (T0 + 0.1, T0 + 0.3)
        assert orphan.path == "s.py:9"

    def test_a_return_with_an_unknown_frame_id_inside_a_call(self):
        outer = frame_id()
        doc = document(
            [
                call(outer, "outer", "o.py:1", 0.1),
                ret("frm_not_seen", "lost", "l.py:3", 0.2),
                ret(outer, "outer", "o.py:2", 0.3),
            ]
        )
        (tree,) = build_threads(doc)
        assert shape(tree.roots) == [("outer", ["lost"])]
        assert tree.roots[0].children[0].start == T0 + 0.1

    def test_times_never_go_backwards_within_a_thread(self):
        a, b = frame_id(), frame_id()
        doc = document(
            [call(a, "a", "a.py:1", 0.5), call(b, "b", "b.py:1", 0.2), ret(b, "b", "b.py:2", 0.3), ret(a, "a", "a.py:2", 0.6)]
        )
        (tree,) = build_threads(doc)
        a_node = tree.roots[0]
        b_node = a_node.children[0]
        assert (a_node.start, b_node.start, b_node.end, a_node.end) == (T0 + 0.5, T0 + 0.5, T0 + 0.5, T0 + 0.6)

    def test_nodes_without_names_fall_back_to_co_name(self):
        a = frame_id()
        doc = document([call(a, None, "a.py:1", 0.1, co_name="<lambda>"), ret(a, None, "a.py:1", 0.2, co_name="<lambda>")])
        assert build_threads(doc)[0].roots[0].name == "<lambda>"

    def test_an_empty_document_has_no_threads(self):
        assert build_threads(document([])) == []


class TestFormatting:
    @pytest.mark.parametrize(
        "seconds, text",
        [
            (None, "?"),
            (0.0, "0.0 µs"),
            (2.5e-6, "2.5 µs"),
            (42e-6, "42 µs"),
            (999e-6, "999 µs"),
            (1.5e-3, "1.50 ms"),
            (25.04e-3, "25.0 ms"),
            (0.75, "750.0 ms"),
            (3.256, "3.26 s"),
        ],
    )
    def test_durations(self, seconds, text):
        assert format_duration(seconds) == text

    def test_values_are_compact_and_bounded(self):
        assert format_value(Repr("shop.Order", "<Order #1>")) == "<Order #1>"
        assert format_value(Repr("str", "x" * 5, 9000)) == "xxxxx…"
        assert format_value(Opaque("shop.Order")) == "<shop.Order>"
        assert format_value({"a": [1, "two"], 3: None}) == "{'a': [1, 'two'], 3: None}"
        assert format_value([1, 2, Omitted(998)]) == "[1, 2, <998 more>]"
        assert format_value(Clipped("abc", 70000)) == "'abc'… (70000 chars)"
        assert format_value("line\nbreak") == "'line\\nbreak'"
        long = format_value(list(range(100)), limit=30)
        assert len(long) == 30 and long.endswith("…") and long.startswith("[0, 1, 2")


    def test_locals_leave_out_namespace_dunders(self):
        assert format_locals({"__name__": "app", "__doc__": None, "order": Repr("app.Order", "<Order #2>"), "n": 3}) == (
            "order=<Order #2>, n=3"
        )
        assert format_locals({"__module__": "app", "__qualname__": "Cart"}) == "(none)"
        assert format_locals({}) == "(none)"
        assert format_locals({"a": 1, Omitted(7): None}) == "a=1, <7 more>"
        assert format_locals({f"v{i}": "x" * 50 for i in range(10)}, limit=100).endswith("…")


def thread_sections(text: str) -> list[str]:
    """The lines after the two header lines."""
    return text.splitlines()[2:]


class TestRendering:
    def test_tree_with_durations_names_paths_and_plugin_lines(self):
        text = render_trace(shop_document())
        header = text.splitlines()[:2]
        assert header[0] == "trace trc_TEST"
        assert header[1].startswith("source: tests  started: ")
        assert header[1].endswith("  records: 17  threads: 2")
        assert thread_sections(text) == [
            "",
            "main thread MainThread (13 records, native id 100)",
            "└─ 1.50 s  app.main  app.py:10",
            "   ├─ 100 µs  app.Catalog.load  app/catalog.py:5",
            "   ├─ WARNING app.stock: low stock",
            "   ├─ 2.50 ms  app.pricing.price  app/pricing.py:20",
            "   │  └─ 10 µs  app.pricing.round_money  app/pricing.py:30",
            "   ├─ 40 µs  app.items  app.py:40",
            "   └─ 60 µs  app.items  app.py:41",
            "",
            "thread restocker (4 records, native id 200)",
            "└─ 200 µs  app.restock_worker  app.py:60",
            "   └─ 50 µs  app.Inventory.restock  app.py:70",
        ]

    def test_depth_limit_counts_what_it_hides(self):
        lines = thread_sections(render_trace(shop_document(), depth=1))
        assert lines[1:4] == [
            "main thread MainThread (13 records, native id 100)",
            "└─ 1.50 s  app.main  app.py:10",
            "   └─ … 6 more entries",
        ]
        assert lines[-1] == "   └─ … 1 more entry"

    def test_values_show_arguments_return_values_and_locals(self):
        lines = thread_sections(render_trace(shop_document(), depth=2, values=True, threads=["MainThread"]))
        assert lines[2:8] == [
            "└─ 1.50 s  app.main  app.py:10",
            "     args: (none)",
            "   ├─ 100 µs  app.Catalog.load  app/catalog.py:5",
            "   │    args: self='cat', n=3",
            "   │    → [1, 2, 3]   locals: self='cat', n=3",
            "   ├─ WARNING app.stock: low stock",
        ]
        assert lines[-1] == "     → 0   locals: (none)"

    def test_thread_filter_by_name_or_native_id(self):
        by_name = thread_sections(render_trace(shop_document(), threads=["restocker"]))
        by_id = thread_sections(render_trace(shop_document(), threads=[str(WORKER)]))
        assert by_name == by_id == [
            "",
            "thread restocker (4 records, native id 200)",
            "└─ 200 µs  app.restock_worker  app.py:60",
            "   └─ 50 µs  app.Inventory.restock  app.py:70",
        ]

    def test_ascii_output(self):
        lines = thread_sections(render_trace(shop_document(), ascii_only=True, depth=2))
        assert lines[2:5] == [
            "`- 1.50 s  app.main  app.py:10",
            "   |- 100 us  app.Catalog.load  app/catalog.py:5",
            "   |- WARNING app.stock: low stock",
        ]
        assert all(line.isascii() for line in lines)

    def test_colour_only_when_asked(self):
        assert "\x1b[" not in render_trace(shop_document())
        coloured = render_trace(shop_document(), color=True)
        assert "\x1b[1mapp.main\x1b[0m" in coloured
        assert "\x1b[33mWARNING app.stock: low stock\x1b[0m" in coloured

    def test_unpaired_entries_are_marked(self):
        outer, inner = frame_id(), frame_id()
        doc = document([ret(None, "early", "e.py:4", 0.1), call(outer, "outer", "o.py:1", 0.2), call(inner, "inner", "i.py:1", 0.3)])
        assert thread_sections(render_trace(doc))[2:] == [
            "├─ ?  early  e.py:4  (call not recorded)",
            "└─ ?  outer  o.py:1  (no return recorded)",
            "   └─ ?  inner  i.py:1  (no return recorded)",
        ]

    def test_plugin_records(self):
        a = frame_id()
        doc = document(
            [
                plugin("start_test", 0.1, nodeid="tests/test_shop.py::test_order"),
                call(a, "shop.fetch", "shop.py:3", 0.2),
                plugin("http_request", 0.3, method="GET", url="http://127.0.0.1:8000/stock"),
                plugin("http_response", 0.4, method="GET", url="http://127.0.0.1:8000/stock", status=404, reason="Not Found"),
                plugin("log", 0.45, level="ERROR", levelno=40, logger="shop", message="missing", path="shop.py:5"),
                ret(a, "shop.fetch", "shop.py:6", 0.5),
                plugin("request", 0.55, method="POST", path="/orders", status=201, duration_ms=12.25),
                plugin("request", 0.56, method="GET", path="/boom", status=None, duration_ms=1.0),
                plugin("metric", 0.57, subtype="gauge", value=3, unit="items"),
                plugin("end_test", 0.6, nodeid="tests/test_shop.py::test_order", outcome="failed"),
            ]
        )
        assert thread_sections(render_trace(doc))[2:] == [
            "├─ ▶ test tests/test_shop.py::test_order",
            "├─ 300.0 ms  shop.fetch  shop.py:3",
            "│  ├─ HTTP GET http://127.0.0.1:8000/stock",
            "│  ├─ HTTP GET http://127.0.0.1:8000/stock → 404 Not Found",
            "│  └─ ERROR shop: missing",
            "├─ request POST /orders → 201 in 12.2 ms",
            "├─ request GET /boom → no response in 1.0 ms",
            "├─ metric/gauge: value=3, unit='items'",
            "└─ ■ test tests/test_shop.py::test_order: failed",
        ]

    def test_deep_recursion_renders(self):
        ids = [frame_id() for _ in range(3000)]
        records = [call(fid, "rec", "r.py:1", i * 1e-3) for i, fid in enumerate(ids)]
        records += [ret(fid, "rec", "r.py:2", 10 + i * 1e-3) for i, fid in enumerate(reversed(ids))]
        lines = thread_sections(render_trace(document(records)))
        assert len(lines) == 2 + 3000
        assert lines[-1].endswith("└─ 7.00 s  rec  r.py:1")

    def test_empty_trace(self):
        assert thread_sections(render_trace(document([]))) == ["", "(no records)"]
