// The panels beside the timeline: a call's or record's details, the call
// tree, the list of records, the search box and the trace's header.
(function (exports) {
  "use strict";

  var L = exports, el = exports.el, renderValue = exports.renderValue, renderLocals = exports.renderLocals;
  var glance = exports.glance, glanceLocals = exports.glanceLocals;

  exports.panels = function (S, T) {
    var D = S.D, STR = D.strings, threads = S.threads, search = S.search;
    function $(id) { return document.getElementById(id); }

    // --- details ------------------------------------------------------------------------

    var details = $("details");

    function fact(table, key, value) {
      var tr = el("tr");
      tr.appendChild(el("td", "key", key));
      var td = el("td");
      if (typeof value === "string") td.textContent = value; else td.appendChild(value);
      tr.appendChild(td);
      table.appendChild(tr);
    }

    function threadLabel(th) {
      return th.name + (th.nativeId !== null ? " (native id " + th.nativeId + ")" : "") + (th.isMain ? ", main thread" : "");
    }

    function spanLink(th, i) {
      var a = el("a", null, S.spanName(th, i));
      a.addEventListener("click", function () { select({ kind: "span", th: th, i: i }, true); });
      return a;
    }

    function parentOf(th, i) {
      var d = th.depth[i];
      for (var j = i - 1; j >= 0; j--) if (th.depth[j] === d - 1) return j;
      return -1;
    }

    // The caller whose window shows a call among its neighbours: its
    // caller, or further out while that caller is hardly longer than it.
    function contextOf(th, i) {
      var around = parentOf(th, i), dur = th.end[i] - th.start[i];
      while (around >= 0 && th.end[around] - th.start[around] < dur * 1.5) {
        var up = parentOf(th, around);
        if (up < 0) break;
        around = up;
      }
      return around;
    }

    function showSpanDetails(th, i, agg) {
      var flags = th.flags[i], returnPath = D.frameReturnPath[th.frame[i]];
      details.textContent = "";
      details.appendChild(el("h2", null, S.spanName(th, i)));
      details.appendChild(el("div", "where", S.spanPath(th, i)));
      var facts = el("table", "facts");
      fact(facts, "Thread", threadLabel(th));
      fact(facts, "Started", "+" + L.fmtDur(th.start[i]) + " into the trace");
      var dur = S.spanDuration(th, i);
      fact(facts, "Duration", dur === null ? "? (" + (flags & 1 ? "the call was not recorded: it began before recording" : "the return was not recorded") + "; about " + L.fmtDur(th.end[i] - th.start[i]) + " in the timeline)" : L.fmtDur(dur));
      if (returnPath >= 0) fact(facts, "Returned at", STR[returnPath]);
      var parent = parentOf(th, i);
      if (parent >= 0) fact(facts, "Called from", spanLink(th, parent));
      var node = th.agg && th.nodeOf ? nodeById(th, th.nodeOf[i]) : null;
      if (node) {
        var calls = el("span", null, node.count + " call" + (node.count === 1 ? "" : "s") + " from this caller path, " + L.fmtDur(node.total) + " in all, " + L.fmtDur(Math.max(node.own, 0)) + " own time" + (node.longest === i && node.count > 1 ? " (this one is the longest)" : "") + " ");
        if (node.count > 1) {
          var list = el("a", null, "list them");
          list.addEventListener("click", function () { revealNode(node); setCallsOpen(node, true); node.row.scrollIntoView({ block: "nearest" }); });
          calls.appendChild(list);
        }
        fact(facts, "All such calls", calls);
      }
      details.appendChild(facts);

      // Each part in a box of its own that scrolls and folds, so that a
      // large return value leaves the locals in sight.
      var args = S.values.at(th.callLocals[i]);
      section("args", "Arguments", th.callLocals[i] >= 0 ? renderLocals(args, "(no arguments)") : el("div", "note", "(call not recorded)"), th.callLocals[i] >= 0 ? glanceLocals(args, 120) : "");
      if (th.callArg[i] >= 0) section("arg", "Argument", valueBox(S.values.at(th.callArg[i])), glance(S.values.at(th.callArg[i]), 120));
      var ret = th.retValue[i] >= 0 ? S.values.at(th.retValue[i]) : null;
      section("ret", "Return value", th.retValue[i] >= 0 ? valueBox(ret) : el("div", "note", "(no return recorded)"), th.retValue[i] >= 0 ? glance(ret, 120) : "");
      var locals = th.retLocals[i] >= 0 ? S.values.at(th.retLocals[i]) : null;
      section("locals", "Locals at return", th.retLocals[i] >= 0 ? renderLocals(locals) : el("div", "note", "(no return recorded)"), th.retLocals[i] >= 0 ? glanceLocals(locals, 120) : "");
    }

    var folded = {}; // which parts the user folded, kept from call to call
    function section(key, title, body, summary) {
      var box = el("details", "part part-" + key);
      box.open = !folded[key];
      var head = el("summary");
      head.appendChild(el("span", "part-title", title));
      if (summary) head.appendChild(el("span", "glance", summary));
      box.appendChild(head);
      var inner = el("div", "part-body");
      inner.appendChild(body);
      box.appendChild(inner);
      box.addEventListener("toggle", function () { folded[key] = !box.open; });
      details.appendChild(box);
    }

    function valueBox(v) {
      var box = el("div", "value");
      box.appendChild(renderValue(v));
      return box;
    }

    function showEventDetails(th, k) {
      var ev = th.raw.events;
      details.textContent = "";
      details.appendChild(el("h2", "sev" + ev.severity[k], STR[ev.label[k]]));
      var facts = el("table", "facts");
      fact(facts, "Record", STR[ev.kind[k]]);
      fact(facts, "Thread", threadLabel(th));
      fact(facts, "At", "+" + L.fmtDur(th.evTime[k]) + " into the trace");
      if (ev.since[k] !== null) fact(facts, "Covers", "from +" + L.fmtDur(ev.since[k]) + " (" + L.fmtDur(th.evTime[k] - ev.since[k]) + ")");
      if (ev.parent[k] >= 0) fact(facts, "Inside", spanLink(th, ev.parent[k]));
      details.appendChild(facts);
      details.appendChild(el("h3", null, "Fields"));
      details.appendChild(renderLocals(S.values.at(th.evRecord[k])));
    }

    function select(found, reveal, agg) {
      S.selected = found;
      if (found.kind === "span") {
        showSpanDetails(found.th, found.i, agg);
        // How the timeline brings it into view: "follow" (stepping) keeps the
        // zoom, "context" shows its caller around it, true zooms to it.
        if (reveal === "follow") T.follow(found.th, found.i);
        else if (reveal === "context") T.showInContext(found.th, found.i, contextOf(found.th, found.i));
        else if (reveal) T.showSpan(found.th, found.i);
      } else {
        showEventDetails(found.th, found.i);
        if (reveal) T.showEvent(found.th, found.i);
      }
      markTreeSelection();
      T.invalidate();
    }

    // --- call tree ---------------------------------------------------------------------------

    var treeBox = $("tree"), MAX_CHILDREN = 300, rowBudget = 0, CALLS_PAGE = 100;
    var treeRows = []; // {node, th, row}
    var sortedChildren = L.sortedChildren;

    // The tree node a call belongs to, by its id: found from the root along
    // the call's callers (the tree is not indexed by id, to stay light).
    function nodeById(th, id) {
      if (!th.nodeIndex) {
        th.nodeIndex = new Array(th.aggNodes);
        var stack = [th.agg];
        while (stack.length) {
          var node = stack.pop();
          th.nodeIndex[node.id] = node;
          node.children.forEach(function (kid) { stack.push(kid); });
        }
      }
      return th.nodeIndex[id] || null;
    }

    // The row's calls, one line each: when, how long, the arguments and
    // what came back at a glance; a click selects that call.
    function setCallsOpen(node, open) {
      if (!node.calls) {
        if (!open) return;
        node.calls = el("div", "calls");
        node.row.parentNode.insertBefore(node.calls, node.row.nextSibling);
        node.callsShown = 0;
        moreCalls(node);
      }
      node.calls.hidden = !open;
      node.row.querySelector(".count").classList.toggle("open", open);
      if (open) markTreeSelection();
    }

    function moreCalls(node) {
      var th = node.th, calls = L.callsOfNode(th, node), from = node.callsShown, to = Math.min(calls.length, from + CALLS_PAGE);
      var more = node.calls.querySelector(".more");
      if (more) more.remove();
      for (var k = from; k < to; k++) node.calls.appendChild(callLine(th, node, calls[k]));
      node.callsShown = to;
      if (to < calls.length) {
        var rest = el("div", "row more", "… " + (calls.length - to) + " more calls: show " + Math.min(CALLS_PAGE, calls.length - to) + " more");
        rest.style.paddingLeft = (160 + node.level * 14) + "px";
        rest.addEventListener("click", function () { moreCalls(node); });
        node.calls.appendChild(rest);
      }
    }

    function callLine(th, node, i) {
      var line = el("div", "row call");
      line.dataset.call = i;
      line.appendChild(el("span", "num", L.fmtDur(S.spanDuration(th, i))));
      line.appendChild(el("span", "num at", "+" + L.fmtDur(th.start[i])));
      line.appendChild(el("span", "num count"));
      var text = el("span", "fn");
      text.style.paddingLeft = (22 + node.level * 14) + "px";
      text.appendChild(el("span", "args", "(" + (th.callLocals[i] >= 0 ? glanceLocals(S.values.at(th.callLocals[i]), 90) : "?") + ")"));
      if (th.retValue[i] >= 0) text.appendChild(el("span", "returned", " → " + glance(S.values.at(th.retValue[i]), 60)));
      line.appendChild(text);
      line.addEventListener("click", function () { select({ kind: "span", th: th, i: i }, true); });
      return line;
    }

    // The rows down to a node opened, so that it can be shown.
    function revealNode(node) {
      var chain = [];
      for (var p = node.parent; p && p.frame >= 0; p = p.parent) chain.push(p);
      for (var c = chain.length - 1; c >= 0; c--) if (!chain[c].expanded) setExpanded(chain[c], true);
    }

    function treeRow(th, node, level) {
      var row = el("div", "row");
      row.appendChild(el("span", "num", L.fmtDur(node.total)));
      row.appendChild(el("span", "num", L.fmtDur(Math.max(node.own, 0))));
      var count = el("span", "num count" + (node.count > 1 ? " has-calls" : ""), String(node.count));
      if (node.count > 1) {
        count.title = "List these " + node.count + " calls";
        count.addEventListener("click", function (e) { e.stopPropagation(); setCallsOpen(node, !(node.calls && !node.calls.hidden)); });
      }
      row.appendChild(count);
      var fn = el("span", "fn");
      fn.style.paddingLeft = (4 + level * 14) + "px";
      var toggle = el("span", "toggle", node.children.size ? "▸" : "");
      fn.appendChild(toggle);
      fn.appendChild(el("span", "name", STR[D.frameName[node.frame]]));
      row.appendChild(fn);
      row.appendChild(el("span", "path", STR[D.framePath[node.frame]]));
      node.row = row;
      node.level = level;
      node.th = th;
      treeRows.push(node);
      if (search.hit && search.hit[node.frame]) row.classList.add("match");
      if (S.marks) {
        if (!th.markedNodes) {
          th.markedNodes = new Map();
          S.marks.forEach(function (m) { if (m.th === th) th.markedNodes.set(th.nodeOf[m.i], m.kind); });
        }
        if (th.markedNodes.has(node.id)) row.classList.add("marked", "mark-" + th.markedNodes.get(node.id));
      }
      toggle.addEventListener("click", function (e) { e.stopPropagation(); setExpanded(node, !node.expanded); });
      row.addEventListener("click", function () {
        select({ kind: "span", th: th, i: node.longest }, true, node);
      });
      row.addEventListener("dblclick", function () { setExpanded(node, !node.expanded); });
      return row;
    }

    function appendNode(container, th, node, level) {
      container.appendChild(treeRow(th, node, level));
      node.box = el("div");
      node.box.hidden = true;
      node.boxEmpty = true;
      container.appendChild(node.box);
    }

    function setExpanded(node, open) {
      if (!node.children.size) return;
      node.expanded = open;
      node.row.querySelector(".toggle").textContent = open ? "▾" : "▸";
      if (open && node.boxEmpty) {
        node.boxEmpty = false;
        var kids = sortedChildren(node);
        for (var k = 0; k < kids.length && k < MAX_CHILDREN; k++) appendNode(node.box, node.th, kids[k], node.level + 1);
        if (kids.length > MAX_CHILDREN) node.box.appendChild(el("div", "row more", "… " + (kids.length - MAX_CHILDREN) + " more functions called here"));
      }
      node.box.hidden = !open;
    }

    function buildTree() {
      treeBox.textContent = "";
      var head = el("div", "row head");
      ["Total", "Own", "Calls"].forEach(function (t) { head.appendChild(el("span", "num" + (t === "Calls" ? " count" : ""), t)); });
      head.appendChild(el("span", "fn", "Function"));
      head.appendChild(el("span", "path", "Location"));
      treeBox.appendChild(head);
      rowBudget = 250;
      threads.forEach(function (th) {
        th.agg = L.aggregate(th, S.frameGroup);
        var row = el("div", "row thread");
        row.appendChild(el("span", "fn", threadLabel(th) + " — " + th.n + " call" + (th.n === 1 ? "" : "s") + ", " + th.evCount + " other record" + (th.evCount === 1 ? "" : "s")));
        treeBox.appendChild(row);
        var kids = sortedChildren(th.agg);
        for (var k = 0; k < kids.length && k < MAX_CHILDREN; k++) {
          appendNode(treeBox, th, kids[k], 0);
          openSome(kids[k], 0);
        }
      });
    }

    // Opens the first levels while they stay small, so a small trace shows
    // whole and a large one shows its top.
    function openSome(node, level) {
      if (level > 6 || rowBudget <= 0 || !node.children.size || node.children.size > 40) return;
      rowBudget -= Math.min(node.children.size, MAX_CHILDREN);
      setExpanded(node, true);
      sortedChildren(node).forEach(function (kid) { openSome(kid, level + 1); });
    }

    function markTreeSelection() {
      treeBox.querySelectorAll(".row.selected").forEach(function (row) { row.classList.remove("selected"); });
      if (!S.selected || S.selected.kind !== "span") return;
      var th = S.selected.th, i = S.selected.i, node = th.nodeOf ? nodeById(th, th.nodeOf[i]) : null;
      if (!node || !node.row) return;
      node.row.classList.add("selected");
      var line = node.calls && node.calls.querySelector('.call[data-call="' + i + '"]');
      if (line) line.classList.add("selected");
    }

    // --- records list ---------------------------------------------------------------------------

    var MAX_EVENT_ROWS = 5000;

    function buildEvents() {
      var box = $("events"), all = [];
      threads.forEach(function (th) { for (var k = 0; k < th.evCount; k++) all.push([th.evTime[k], th, k]); });
      all.sort(function (a, b) { return a[0] - b[0]; });
      var tab = document.querySelector('#tabs [data-tab="events"]');
      tab.textContent = "Records (" + all.length + ")";
      if (!all.length) { box.appendChild(el("p", "note", "No test, HTTP, log or other records in this trace.")); return; }
      all.slice(0, MAX_EVENT_ROWS).forEach(function (item) {
        var th = item[1], k = item[2], ev = th.raw.events;
        var row = el("div", "row ev");
        row.appendChild(el("span", "time", "+" + L.fmtDur(item[0])));
        row.appendChild(el("span", "thread-name", th.name));
        row.appendChild(el("span", "fn sev" + ev.severity[k], STR[ev.label[k]]));
        row.addEventListener("click", function () { select({ kind: "event", th: th, i: k }, true); });
        box.appendChild(row);
      });
      if (all.length > MAX_EVENT_ROWS) box.appendChild(el("div", "row more", "… " + (all.length - MAX_EVENT_ROWS) + " more records (see them in the timeline)"));
    }

    document.querySelectorAll("#tabs button").forEach(function (button) {
      button.addEventListener("click", function () {
        document.querySelectorAll("#tabs button").forEach(function (b) {
          b.classList.toggle("active", b === button);
          $(b.dataset.tab).hidden = b !== button;
        });
        if (S.onTab) S.onTab(button.dataset.tab);
      });
    });

    // --- search ---------------------------------------------------------------------------------

    function setSearch(text) {
      var q = text.trim().toLowerCase();
      search.q = q;
      search.ranked = null;
      if (!q) {
        search.hit = null;
        search.count = 0;
      } else {
        search.hit = L.matchFrames(D, q);
        search.count = L.countMatches(threads, search.hit);
      }
      $("search-count").textContent = q ? (search.count ? search.count + " call" + (search.count === 1 ? "" : "s") + " match" + (search.count === 1 ? "es" : "") : "no match") : "";
      revealMatches();
      T.invalidate();
    }

    function revealMatches() {
      var opened = 0;
      treeRows.forEach(function (node) { node.row.classList.toggle("match", !!(search.hit && search.hit[node.frame])); });
      if (!search.hit) return;
      threads.forEach(function (th) {
        var stack = th.agg ? sortedChildren(th.agg).slice(0, MAX_CHILDREN) : [];
        while (stack.length && opened < 50) {
          var node = stack.pop();
          if (search.hit[node.frame] && node.parent && node.parent.frame >= 0) {
            var chain = [], p = node.parent;
            while (p && p.frame >= 0) { chain.push(p); p = p.parent; }
            for (var c = chain.length - 1; c >= 0; c--) if (!chain[c].expanded) setExpanded(chain[c], true);
            opened++;
          }
          sortedChildren(node).slice(0, MAX_CHILDREN).forEach(function (kid) { stack.push(kid); });
        }
      });
      treeRows.forEach(function (node) { node.row.classList.toggle("match", !!search.hit[node.frame]); });
      var first = treeBox.querySelector(".row.match");
      if (first && first.scrollIntoView) first.scrollIntoView({ block: "nearest" });
    }

    // Enter: the matches in turn, the longest first and what ran while
    // importing last (see rankMatches), each shown with its caller around it.
    var isModule = null;
    function nextMatch(dir) {
      if (!search.hit || !search.count) return;
      if (!search.ranked) {
        if (!isModule) isModule = Uint8Array.from(D.frameName, function (name) { return /<module>$/.test(STR[name]) ? 1 : 0; });
        search.ranked = L.rankMatches(threads, search.hit, isModule);
        search.pos = -1;
      }
      var ranked = search.ranked, n = ranked.length;
      search.pos = ((search.pos + dir) % n + n) % n;
      var th = threads[ranked.thread[search.pos]];
      select({ kind: "span", th: th, i: ranked.i[search.pos] }, "context");
      $("search-count").textContent = (search.pos + 1) + " of " + n + " (longest first)";
    }

    var searchTimer = 0, searchInput = $("search");
    searchInput.addEventListener("input", function () {
      clearTimeout(searchTimer);
      searchTimer = setTimeout(function () { setSearch(searchInput.value); }, 120);
    });
    searchInput.addEventListener("keydown", function (e) {
      if (e.key === "Enter") { clearTimeout(searchTimer); if (searchInput.value.trim().toLowerCase() !== search.q) setSearch(searchInput.value); nextMatch(e.shiftKey ? -1 : 1); }
      if (e.key === "Escape") { searchInput.value = ""; setSearch(""); }
    });

    // --- header ---------------------------------------------------------------------------------

    function header() {
      $("trace-id").textContent = D.traceId;
      $("trace-source").textContent = D.source || "";
      var records = threads.reduce(function (s, th) { return s + th.records; }, 0);
      var info = [];
      if (D.started !== null) info.push(new Date(D.started * 1000).toLocaleString());
      info.push(records + " records", threads.length + " thread" + (threads.length === 1 ? "" : "s"), L.fmtDur(D.end) + " recorded");
      if (D.commit) info.push("commit " + D.commit.slice(0, 12));
      if (typeof D.recorderCost === "number") info.push("durations include about " + L.fmtDur(D.recorderCost * 1e9) + " of recorder cost per recorded call inside (ruvo top takes it out)");
      $("trace-info").textContent = info.join(" · ");
      if (D.leftOut.length) {
        var box = $("left-out");
        D.leftOut.forEach(function (rec) {
          box.appendChild(el("p", null, "⚠ " + (typeof rec.message === "string" ? rec.message : "Records were left out of this trace.")));
          var facts = [];
          if (typeof rec.budget === "number") facts.push("budget " + rec.budget + " bytes");
          if (typeof rec.stored_bytes === "number") facts.push(rec.stored_bytes + " bytes stored");
          if (typeof rec.values_omitted === "number") facts.push(rec.values_omitted + " values omitted");
          if (typeof rec.frames_omitted === "number") facts.push(rec.frames_omitted + " frame records omitted");
          if (typeof rec.since === "number" && D.origin !== null) facts.push("since +" + L.fmtDur((rec.since - D.origin) * 1e9));
          if (typeof rec.complete_until === "number" && D.origin !== null) facts.push("calls complete until +" + L.fmtDur((rec.complete_until - D.origin) * 1e9) + ", counted after that (see ruvo top)");
          if (facts.length) box.appendChild(el("p", "facts", facts.join(" · ")));
        });
        box.hidden = false;
      }
    }

    return { nextMatch: nextMatch, select: select, buildTree: buildTree, buildEvents: buildEvents, header: header, setSearch: setSearch, searchInput: searchInput };
  };
})(ruvoViewer);
