"""The trace viewer page: its data, the ``ruvo view`` command, and the page
itself in headless Chromium, on traces of real programs."""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from _cli import child_env, ruvo, saved_trace_id, write
from ruvo import db, serialize
from ruvo.model import Call, build_threads
from ruvo.viewer import build_diff_page, build_page, page_data, pack_value

REPO = Path(__file__).resolve().parent.parent
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
NODE = shutil.which("node")


# --- traces of real programs ------------------------------------------------------


def browser_env() -> dict:
    """The environment for the browser: without the sanitizer runtime that a
    sanitizer run preloads into the interpreter and its children."""
    return {key: value for key, value in os.environ.items()
            if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


@pytest.fixture(scope="module")
def shop(tmp_path_factory):
    project = tmp_path_factory.mktemp("shop")
    shutil.copytree(REPO / "examples", project / "examples")
    result = ruvo(project, "run", "--threading", "examples/shop_app.py")
    assert result.returncode == 0, result.stderr
    return project, db.load_trace(project / ".ruvo" / "ruvo.sqlite3", saved_trace_id(result))


VALUES_PROGRAM = """
    import threading

    class Node:
        def __repr__(self):
            return "<Node>"

    def markers(text, many, loop, deep, big, raw, node):
        return len(text)

    def worker(n):
        return n * 2

    loop = []
    loop.append(loop)
    deep = []
    inner = deep
    for _ in range(1100):
        inner.append([])
        inner = inner[0]
    markers("x" * 70000, list(range(1500)), loop, deep, 3 ** 100, b"\\x00ab'", Node())
    threads = [threading.Thread(target=worker, args=(n,), name=f"worker-{n}") for n in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
"""


@pytest.fixture(scope="module")
def threaded(tmp_path_factory):
    project = tmp_path_factory.mktemp("threaded")
    write(project / "values.py", VALUES_PROGRAM)
    result = ruvo(project, "run", "--threading", "values.py")
    assert result.returncode == 0, result.stderr
    return db.load_trace(project / ".ruvo" / "ruvo.sqlite3", saved_trace_id(result))


@pytest.fixture(scope="module")
def suite(tmp_path_factory):
    """pytest --ruvo on the sample suite: (project, stdout)."""
    project = tmp_path_factory.mktemp("suite")
    for source in (REPO / "tests" / "samples" / "pytest_suite").iterdir():
        if source.suffix == ".py":
            shutil.copy(source, project / source.name)
    completed = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "ruvo.pytest_plugin", "--ruvo", "-q", "-p", "no:cacheprovider",
         "test_shop.py"],
        cwd=project, capture_output=True, text=True, timeout=300, env=child_env())
    if "already registered" in completed.stdout + completed.stderr:  # an installed ruvo brings the plugin itself
        completed = subprocess.run(
            [sys.executable, "-m", "pytest", "--ruvo", "-q", "-p", "no:cacheprovider", "test_shop.py"],
            cwd=project, capture_output=True, text=True, timeout=300, env=child_env())
    assert completed.returncode == 1, completed.stdout + completed.stderr
    return project, completed.stdout


def suite_trace(project: Path, name: str) -> dict:
    database = project / ".ruvo" / "ruvo.sqlite3"
    return db.load_trace(database, db.latest_trace_id_of_test(database, f"test_shop.py::{name}"))


# --- the page's data -----------------------------------------------------------------


def test_values_are_written_back_in_the_serialisers_encoding(threaded):
    originals = [
        "x" * 70000,                         # CLIPPED
        list(range(1500)),                   # OMITTED
        3**100,                              # BIGINT
        2**62,                               # a plain 64-bit int
        {(1, 2): b"\x00raw", 1.0: None},     # array key, bin, float key
        object(),                            # REPR
        "\ud800",                            # escaped surrogate
    ]
    loop: list = []
    loop.append(loop)                        # RECURSION
    deep: list = []
    inner = deep
    for _ in range(1100):                    # TOO_DEEP, and deeper than msgpack's C packer goes
        inner.append([])
        inner = inner[0]
    originals += [loop, deep]
    for original in originals:
        encoded = serialize.dump_msgpack(original)
        assert pack_value(serialize.loads(encoded)) == encoded
    light = serialize.dump_msgpack_lightweight_repr(object())  # OPAQUE
    assert pack_value(serialize.loads(light)) == light
    for marker, code in ((serialize.Dropped(), 8), (serialize.Failed(), 9)):
        assert pack_value(marker) == bytes([0xC7, 0, code])


def test_columns_follow_the_call_trees(shop):
    _, document = shop
    data, values = page_data(document)
    trees = build_threads(document)
    assert [thread["name"] for thread in data["threads"]] == [tree.name for tree in trees] == ["MainThread", "restocker"]
    strings = data["strings"]
    for thread, tree in zip(data["threads"], trees):
        calls = [(depth, node) for depth, node in tree.walk() if isinstance(node, Call)]
        spans = thread["spans"]
        assert len(spans["start"]) == len(calls) and thread["records"] == tree.records
        assert [strings[data["frameName"][f]] for f in spans["frame"]] == [node.name for _, node in calls]
        assert [strings[data["framePath"][f]] for f in spans["frame"]] == [node.path for _, node in calls]
        assert spans["depth"] == [depth for depth, _ in calls]
        assert min(spans["start"][1:]) >= 0  # deltas: starts never go back
        assert all(duration >= 0 for duration in spans["dur"])
    # Times count from the first record.
    assert data["threads"][0]["spans"]["start"][0] == 0
    log = [strings[label] for label in data["threads"][0]["events"]["label"]]
    assert log == ["WARNING shop.inventory: low stock for MUG-01: 2 left"]
    assert data["threads"][0]["events"]["severity"] == [1]
    assert re.fullmatch(r"[A-Za-z0-9+/]*=*", values)


def test_page_is_self_contained_and_data_cannot_close_its_script(shop):
    _, document = shop
    document = dict(document, meta={"source": "</script><script>alert(1)</script>"})
    page = build_page(document)
    assert page.count("<script") == 3 and page.count("</script>") == 3
    assert not re.search(r"""(src|href)\s*=|@import|url\(|https?://""", page)
    assert "<title>ruvo " + document["trace_id"] + " — &lt;/script&gt;" in page
    assert "__RUVO_" not in page


def test_documents_of_one_trace_are_merged(shop):
    _, document = shop
    main = document["frames_of_interest"]
    first = dict(document, frames_of_interest=main[:40], frames={})
    second = dict(document, frames_of_interest=main[40:], frames=document["frames"])
    assert page_data(first)[0] != page_data(document)[0]
    assert build_page([first, second]) == build_page(document)


# --- the page in Chromium ---------------------------------------------------------------

PROBE_HELPERS = """
  var R = window.ruvo, canvas = document.getElementById("flame");
  function findSpan(name) {
    for (var t = 0; t < R.threads.length; t++) {
      var th = R.threads[t];
      for (var i = 0; i < th.n; i++) if (R.data.strings[R.data.frameName[th.frame[i]]] === name) return [t, i];
    }
    throw new Error("no call of " + name);
  }
  function click(x, y) {
    var opts = {bubbles: true, clientX: x, clientY: y, button: 0};
    canvas.dispatchEvent(new MouseEvent("mousedown", opts));
    canvas.dispatchEvent(new MouseEvent("mouseup", opts));
  }
  function clickSpan(name) {
    var at = findSpan(name), th = R.threads[at[0]], i = at[1];
    R.zoomTo(th.start[i] - 1000, th.end[i] + 1000);
    var r = R.spanRect(at[0], i);
    click(r.x + r.w / 2, r.y + r.h / 2);
    return R.selected();
  }
  function texts(selector) {
    return Array.prototype.map.call(document.querySelectorAll(selector), function (e) { return e.textContent; });
  }
  function details() { return document.getElementById("details").innerText; }
"""


def browse(tmp_path: Path, page: str, probe: str, *, later: str = "") -> dict:
    """Open the page in headless Chromium with a probe script appended; the
    probe fills ``out``, which comes back through the DOM.  ``later`` runs
    once the page and its frames have loaded, and what they were sent has
    arrived.  Also fails on anything the page wrote to the console."""
    if CHROMIUM is None:
        pytest.skip("chromium is not installed")
    finish = ("function finish() { var pre = document.createElement('pre'); pre.id = 'probe-out';"
              " pre.textContent = JSON.stringify(out); document.body.appendChild(pre); }")
    if later:
        # out.then, when the probe sets it, runs once what the probe sent has arrived.
        tail = ("function guarded(step, next) { try { step(); } catch (e) { out.error = String(e && e.stack || e); } next(); }"
                "window.addEventListener('load', function () { setTimeout(function () { guarded(function () {" + later +
                "}, function () { var then = out.then; delete out.then;"
                " if (then) setTimeout(function () { guarded(then, finish); }, 200); else finish(); }); }, 200); });")
    else:
        tail = "finish();"
    script = ("<script>(function () { var out = {}; " + finish + " try {" + (PROBE_HELPERS if not later else "") + probe +
              "} catch (e) { out.error = String(e && e.stack || e); }" + tail + " })();</script>")
    path = tmp_path / "page.html"
    path.write_text(page.replace("</body>", script + "</body>"), encoding="utf-8")
    completed = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1280,800",
         f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=0", "--virtual-time-budget=10000", "--dump-dom", path.as_uri()],
        capture_output=True, text=True, timeout=120, env=browser_env())
    found = re.search(r'<pre id="probe-out">(.*?)</pre>', completed.stdout, re.S)
    assert found, completed.stderr[-3000:]
    console = [line for line in completed.stderr.splitlines() if ":CONSOLE" in line]
    assert console == []
    out = json.loads(html.unescape(found.group(1)))
    assert "error" not in out, out["error"]
    return out


def test_shop_page_lists_frames_shows_values_and_highlights_search(shop, tmp_path):
    _, document = shop
    out = browse(tmp_path, build_page(document), """
      out.firstPaint = document.documentElement.getAttribute("data-first-paint-ms");
      out.threads = texts(".row.thread");
      out.tree = texts("#tree .row .name");
      out.selected = clickSpan("__main__.take_order");
      out.details = details();
      out.count = R.search("pricing");
      out.matchRows = texts("#tree .row.match .name");
      var hit = findSpan("shop.pricing.price"), r = R.spanRect(hit[0], hit[1]);
      var miss = findSpan("__main__.take_order"), m = R.spanRect(miss[0], miss[1]);
      out.pixels = R.pixels([[r.x + 2, r.y + 4], [m.x + 2, m.y + 4]]);
      out.records = texts("#events .row .fn");
    """)
    assert float(out["firstPaint"]) > 0
    assert [row.split(" — ")[0] for row in out["threads"]] == [
        f"MainThread (native id {document['main_thread_id']}), main thread",
        f"restocker (native id {next(iter(document['frames']))})"]
    for name in ("__main__.<module>", "__main__.main", "__main__.take_order", "shop.pricing.price",
                 "shop.models.Order.subtotal", "shop.inventory.restock_worker", "shop.inventory.Inventory.restock"):
        assert name in out["tree"]
    assert out["selected"]["kind"] == "span"
    lines = out["details"].splitlines()
    assert lines[:2] == ["__main__.take_order", "examples/shop_app.py:32"]
    assert "Returned at\texamples/shop_app.py:45" in lines
    assert "customer\t'ada'" in lines and "code\t'welcome10'" in lines
    # Objects two deep: the order, its lines, and each line's product by type.
    product = "‹shop.models.Product of 4 items, nested too deep›"
    assert lines[lines.index("RETURN VALUE") + 1] == (
        f"(Order(number=1, customer='ada', lines=[OrderLine(product={product}, quantity=2), "
        f"OrderLine(product={product}, quantity=3)]), Decimal('31.97'))")
    # Every call of the pricing module matches: price, discount_rate, round_money.
    assert out["count"] == sum(1 for tree in build_threads(document) for _, node in tree.walk()
                               if isinstance(node, Call) and "pricing" in node.name + node.path)
    assert out["matchRows"] and all("pricing" in name for name in out["matchRows"])
    assert out["pixels"] == [[255, 140, 26], [221, 225, 232]]  # a match, and a call that is not one
    assert out["records"] == ["WARNING shop.inventory: low stock for MUG-01: 2 left"]


def test_markers_and_threads_shown_as_what_they_mean(threaded, tmp_path):
    out = browse(tmp_path, build_page(threaded), """
      out.lanes = R.threads.map(function (th) { return th.name; });
      clickSpan("__main__.markers");
      out.details = details();
      clickSpan("__main__.worker");
      out.worker = details();
    """)
    assert out["lanes"][0] == "MainThread" and sorted(out["lanes"][1:]) == ["worker-0", "worker-1", "worker-2"]
    lines = out["details"].splitlines()
    arguments = lines[lines.index("ARGUMENTS") + 1:lines.index("RETURN VALUE")]
    values = dict(line.split("\t", 1) for line in arguments)
    assert values["text"].startswith("'xxxx") and values["text"].endswith("x'… clipped, 70000 chars in all")
    assert values["many"].endswith(", 99, … 1400 more items not recorded]")
    assert values["loop"] == "[‹recursive list›]"
    assert "‹list of 1 item, nested too deep›" in values["deep"]
    assert values["big"] == f"{3**100} (big int, 48 digits)"
    assert values["raw"] == "b'\\x00ab\\''"
    assert values["node"] == "Node()"
    assert lines[lines.index("RETURN VALUE") + 1] == "70000"
    assert "Thread\tworker-" in out["worker"] and "n\t" in out["worker"]


def time_order(data: dict) -> list:
    """(thread, call) of every call of the page's data, by start time, then thread, then depth-first order."""
    keys = []
    for k, thread in enumerate(data["threads"]):
        start = 0
        for i, delta in enumerate(thread["spans"]["start"]):
            start += delta
            keys.append((start, k, i))
    return [[k, i] for _, k, i in sorted(keys)]


def test_stepping_follows_time_order_and_the_same_function(shop, tmp_path):
    _, document = shop
    data, _ = page_data(document)
    strings, frame_name = data["strings"], data["frameName"]
    # A window every call of price fits in (a loaded machine makes them slow).
    widest = max(duration for thread in data["threads"] for duration, frame in
                 zip(thread["spans"]["dur"], thread["spans"]["frame"]) if strings[frame_name[frame]] == "shop.pricing.price")
    window = max(1_000_000, 2 * widest)
    out = browse(tmp_path, build_page(document), f"var WINDOW = {window};" + """
      var names = function (at) { return R.data.strings[R.data.frameName[R.threads[at.thread].frame[at.i]]]; };
      out.order = []; out.headings = []; out.inView = [];
      var width = canvas.getBoundingClientRect().width;
      for (var at = R.step(1); at; at = R.step(1)) {
        out.order.push([at.thread, at.i]);
        out.headings.push(document.querySelector("#details h2").textContent === names(at));
        var r = R.spanRect(at.thread, at.i);
        out.inView.push(r.x + r.w > 0 && r.x < width);
      }
      out.atEnd = R.selected();
      out.back = [];
      for (var k = 0; k < 3; k++) { var b = R.step(-1); out.back.push([b.thread, b.i]); }
      // Stepping keeps the zoom while the calls fit: the window stays as it was.
      var price = findSpan("shop.pricing.price");
      R.select(price[0], price[1]);
      var th = R.threads[price[0]];
      R.zoomTo(th.start[price[1]] - WINDOW / 2, th.start[price[1]] + WINDOW / 2);
      out.same = [price];
      for (var s = R.step(1, true); s; s = R.step(1, true)) out.same.push([s.thread, s.i]);
      var v = R.view();
      out.range = v.t1 - v.t0;
      out.lastPrice = document.querySelector("#details h2").textContent;
      document.dispatchEvent(new KeyboardEvent("keydown", {key: "F", bubbles: true}));
      out.keyBack = R.selected();
      document.dispatchEvent(new KeyboardEvent("keydown", {key: "ArrowRight", bubbles: true}));
      out.keyNext = R.selected();
    """)
    order = time_order(data)
    assert out["order"] == order and all(out["headings"]) and all(out["inView"])
    assert out["atEnd"] == {"kind": "span", "thread": order[-1][0], "i": order[-1][1]}
    assert out["back"] == [order[-2], order[-3], order[-4]]

    def name(at: list) -> str:
        return strings[frame_name[data["threads"][at[0]]["spans"]["frame"][at[1]]]]

    prices = [at for at in order if name(at) == "shop.pricing.price"]
    assert len(prices) > 1 and out["same"] == prices
    assert out["lastPrice"] == "shop.pricing.price" and round(out["range"]) == window
    assert [out["keyBack"]["thread"], out["keyBack"]["i"]] == prices[-2]
    after = order[order.index(prices[-2]) + 1]
    assert [out["keyNext"]["thread"], out["keyNext"]["i"]] == after


def test_tree_rows_list_their_calls_and_the_tabs_count_functions(shop, tmp_path):
    _, document = shop
    out = browse(tmp_path, build_page(document), """
      var row = Array.prototype.find.call(document.querySelectorAll("#tree .row"), function (r) {
        var name = r.querySelector(".name");
        return name && name.textContent === "shop.pricing.price";
      });
      row.querySelector(".count").click();
      out.lines = texts("#tree .calls .row.call");
      document.querySelectorAll("#tree .calls .row.call")[1].click();
      out.picked = R.selected();
      out.details = details();
      out.marked = texts("#tree .row.call.selected");
      out.matches = R.search("pricing.price");
      out.visits = [R.nextMatch(1), R.nextMatch(1)];
      out.count = document.getElementById("search-count").textContent;
      R.tab("functions");
      out.functions = R.functionRows().map(function (r) { return [r.name + " " + R.data.strings[R.data.framePath[r.group]], r.calls]; });
      out.tableRows = document.querySelectorAll("#functions .fn-row").length;
      R.tab("flamegraph");
      out.flame = R.flameBoxes().filter(function (b) { return b.depth <= 1; }).sort(function (a, b) { return a.depth - b.depth || a.x - b.x; });
    """)
    trees = build_threads(document)
    main = trees[0]
    calls = [(index, node) for index, (_, node) in enumerate(
        (depth, node) for depth, node in main.walk() if isinstance(node, Call)) if node.name == "shop.pricing.price"]
    assert len(calls) == len(out["lines"]) > 1
    for line, (_, node) in zip(out["lines"], calls):
        customer = node.call["locals"]["order"].attributes["customer"]  # type: ignore[index]
        assert re.match(r"[\d.]+ [µm]?s\+[\d.]+ [µm]?s\(order=Order\(number=\d, customer='%s'" % customer, line), line
    assert out["picked"] == {"kind": "span", "thread": 0, "i": calls[1][0]}
    assert out["marked"] == [out["lines"][1]] and "customer='brian'" in out["details"]
    longest = sorted(calls, key=lambda item: -item[1].duration)
    assert [visit["i"] for visit in out["visits"]] == [longest[0][0], longest[1][0]]
    assert out["count"] == f"2 of {out['matches']} (longest first)"
    counted: dict = {}
    for tree in trees:
        for _, node in tree.walk():
            if isinstance(node, Call):
                key = f"{node.name} {node.path}"
                counted[key] = counted.get(key, 0) + 1
    assert dict(out["functions"]) == counted and out["tableRows"] == len(counted)
    assert [(box["name"], box["depth"]) for box in out["flame"]] == [("all threads", 0), ("MainThread", 1), ("restocker", 1)]
    assert out["flame"][0]["total"] == out["flame"][1]["total"] + out["flame"][2]["total"]


def test_diff_page_shows_both_traces_with_the_marked_calls(shop, threaded, tmp_path):
    _, document = shop
    data, _ = page_data(document)
    marks = [{"side": "a", "thread": 0, "call": 3, "kind": "changed"},
             {"side": "b", "thread": 1, "call": 0, "kind": "only"},
             {"side": "both", "thread": 0, "call": 1, "kind": "moved"},
             {"side": "b", "thread": 9, "call": 0, "kind": "only"},
             {"side": "a", "thread": 0, "call": 2, "kind": "renamed"}]
    page = build_diff_page(document, threaded, marks)
    assert not re.search(r"""(src|href)\s*=|@import|url\(|https?://""", page)
    out = browse(tmp_path, page, "", later="""
      var D = window.ruvoDiff, a = D.frames.a.contentWindow, b = D.frames.b.contentWindow;
      out.items = Array.prototype.map.call(document.querySelectorAll("#diffs .item"), function (e) { return e.innerText.split("\\n").join(" "); });
      out.notes = Array.prototype.map.call(document.querySelectorAll("#diffs .note"), function (e) { return e.textContent; });
      out.summary = document.getElementById("summary").textContent;
      out.marksA = a.ruvo.data.marks;
      out.markedRows = a.document.querySelectorAll("#tree .row.marked").length;
      D.pick(0);
      D.pick(1);
      out.then = function () {
        out.selectedA = a.ruvo.selected();
        out.selectedB = b.ruvo.selected();
        out.headingB = b.document.querySelector("#details h2").textContent;
      };
    """)
    assert out["selectedA"] == {"kind": "span", "thread": 0, "i": 3}
    assert out["selectedB"] == {"kind": "span", "thread": 1, "i": 0} and out["headingB"] == "__main__.worker"
    assert out["marksA"] == [{"thread": 0, "call": 3, "kind": "changed"}, {"thread": 0, "call": 1, "kind": "moved"}]
    assert out["markedRows"] == 2
    strings = data["strings"]
    name = strings[data["frameName"][data["threads"][0]["spans"]["frame"][3]]]
    assert out["items"][0].split()[:3] == ["changed", "A", name]
    assert [item.split()[:2] for item in out["items"]] == [["changed", "A"], ["only", "B"], ["moved", "A"], ["moved", "B"]]
    assert out["summary"] == "1 changed · 1 only · 2 moved"
    assert out["notes"] == ["2 marks named no recorded call and are left out."]


def synthetic(records: list, **extra) -> dict:
    return {"trace_id": "trc_SYNTHETIC", "meta": {"source": "made by hand"}, "timestamp": 100.0,
            "main_thread_id": 1, "frames_of_interest": records, "frames": {}, **extra}


def frame(event: str, frame_id: str, t: float, **fields) -> dict:
    return {"type": "frame", "event": event, "frame_id": frame_id, "timestamp": t, "thread": "MainThread",
            "thread_native_id": 1, "qualname": "app.work", "co_name": "work", "path": "app.py:3",
            "arg": None, "locals": {}, **fields}


def test_left_out_records_dropped_and_failed_values(tmp_path):
    left_out = {"type": "ruvo", "subtype": "left_out", "frame_id": None, "timestamp": 100.5, "thread": "MainThread",
                "thread_native_id": 1, "user_code_call_site": None, "budget": 1000000, "stored_bytes": 999000,
                "values_omitted": 12, "frames_omitted": 34, "since": 100.2,
                "message": "The trace reached its size budget: 34 calls after +0.2 s were left out."}
    document = synthetic([
        frame("call", "f1", 100.0, locals={"a": serialize.Dropped(), "b": serialize.Failed(), "c": 1.0, "d": -0.0}),
        frame("return", "f1", 100.1, arg=float("nan"), path="app.py:9"),
        left_out,
        frame("return", "f0", 100.6, qualname="app.started_before", path="app.py:20"),
    ])
    out = browse(tmp_path, build_page(document), """
      out.banner = document.getElementById("left-out").innerText;
      out.tree = texts("#tree .row .name");
      clickSpan("app.work");
      out.work = details();
      var ev = document.querySelector("#events .row");
      ev.click();
      out.record = details();
      clickSpan("app.started_before");
      out.before = details();
    """)
    assert [line for line in out["banner"].splitlines() if line] == [
        "⚠ " + left_out["message"],
        "budget 1000000 bytes · 999000 bytes stored · 12 values omitted · 34 frame records omitted · since +200.0 ms"]
    assert out["tree"] == ["app.started_before", "app.work"]
    work = out["work"].splitlines()
    assert "a\t‹dropped: size limit›" in work and "b\t‹serialisation failed›" in work
    assert "c\t1.0" in work and "d\t-0.0" in work
    assert work[work.index("RETURN VALUE") + 1] == "nan"
    record = out["record"].splitlines()
    assert record[0] == left_out["message"]
    assert "Record\truvo/left_out" in record and "Covers\tfrom +200.0 ms (300.0 ms)" in record
    assert "message\t'" + left_out["message"] + "'" in record
    assert any(line.startswith("Duration\t? (the call was not recorded") for line in out["before"].splitlines())


def test_failed_test_page_places_test_and_http_records(suite, tmp_path):
    project, _ = suite
    out = browse(tmp_path, build_page(suite_trace(project, "test_fails")), """
      out.records = texts("#events .row .fn");
      out.classes = Array.prototype.map.call(document.querySelectorAll("#events .row .fn"), function (e) { return e.className; });
      out.tree = texts("#tree .row .name");
    """)
    assert out["records"] == ["▶ test test_shop.py::test_fails", "■ test test_shop.py::test_fails: failed"]
    assert out["classes"] == ["fn sev0", "fn sev2"]
    assert out["tree"] == ["test_shop.test_fails", "shop.price"]
    (tmp_path / "fetch").mkdir()
    out = browse(tmp_path / "fetch", build_page(suite_trace(project, "test_fetch")), """
      out.records = texts("#events .row .fn");
    """)
    assert out["records"][0] == "▶ test test_shop.py::test_fetch"
    assert any(re.fullmatch(r"HTTP GET http://127\.0\.0\.1:\d+/items\?page=2 → 200 OK", text) for text in out["records"])
    assert out["records"][-1] == "■ test test_shop.py::test_fetch: passed"


# --- commands ------------------------------------------------------------------------------


def test_failed_tests_name_their_trace_in_the_summary(suite):
    project, stdout = suite
    trace_id = db.latest_trace_id_of_test(project / ".ruvo" / "ruvo.sqlite3", "test_shop.py::test_fails")
    lines = [line for line in stdout.splitlines() if line.startswith("ruvo: failed")]
    assert lines == [f"ruvo: failed test_shop.py::test_fails: trace {trace_id}; "
                     "look at it with: ruvo view --test test_shop.py::test_fails"]


def test_view_command(suite, tmp_path):
    project, _ = suite
    database = project / ".ruvo" / "ruvo.sqlite3"
    latest = db.latest_trace_id(database)
    result = ruvo(project, "view")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f".ruvo/{latest}.html\n"
    assert f'"traceId":"{latest}"' in (project / ".ruvo" / f"{latest}.html").read_text()

    failed = db.latest_trace_id_of_test(database, "test_shop.py::test_fails")
    result = ruvo(project, "view", "--test", "test_shop.py::test_fails", "-o", str(tmp_path / "out" / "f.html"))
    assert result.returncode == 0 and result.stdout == f"{tmp_path / 'out' / 'f.html'}\n"
    assert f'"traceId":"{failed}"' in (tmp_path / "out" / "f.html").read_text()

    shown = ruvo(project, "show", "--test", "test_shop.py::test_fails")
    assert shown.returncode == 0 and shown.stdout.startswith(f"trace {failed}\n")

    recorder = write(tmp_path / "browser.py", f"""
        import sys
        open({str(tmp_path / 'opened')!r}, "w").write(sys.argv[1])
    """)
    env = child_env(BROWSER=f"{sys.executable} {recorder} %s")
    opened = subprocess.run([sys.executable, "-m", "ruvo", "view", latest[:-3], "--open"], cwd=project, env=env,
                            capture_output=True, text=True, timeout=120)
    assert opened.returncode == 0, opened.stderr
    assert (tmp_path / "opened").read_text() == (project / ".ruvo" / f"{latest}.html").resolve().as_uri()

    for args, message in (
        (("view", latest, "--test", "x"), "ruvo: error: give a trace id or --test, not both\n"),
        (("view", "--test", "test_shop.py::nope"), f"ruvo: error: no trace of test test_shop.py::nope in {database}\n"),
        (("show", "--test", "nope"), f"ruvo: error: no trace of test nope in {database}\n"),
        (("view", "-o", str(tmp_path / "browser.py" / "x.html")), None),
    ):
        result = ruvo(project, *args)
        assert result.returncode == 2 and result.stdout == ""
        if message is not None:
            assert result.stderr == message
        else:
            assert result.stderr.startswith(f"ruvo: error: cannot write {tmp_path / 'browser.py' / 'x.html'}: ")


def test_viewer_modules_under_node():
    """The page-independent modules (decoding, layout) have unit tests of
    their own in tests/js, run with Node's test runner."""
    if NODE is None:
        pytest.skip("node is not installed")
    completed = subprocess.run([NODE, "--test", str(REPO / "tests" / "js")], capture_output=True, text=True,
                               timeout=120, env=browser_env())
    assert completed.returncode == 0, completed.stdout[-4000:] + completed.stderr[-2000:]
    assert re.search(r"^# fail 0$", completed.stdout, re.M) and not re.search(r"^# pass 0$", completed.stdout, re.M)


def test_assets_are_installed_with_the_package():
    from importlib import resources

    files = resources.files("ruvo.viewer")
    from ruvo.viewer.page import SCRIPTS

    for name in ("template.html", "diff.html", "viewer.css", *("js/" + script for script in SCRIPTS)):
        assert files.joinpath(name).is_file(), name
    assert os.path.basename(str(files)) == "viewer"
