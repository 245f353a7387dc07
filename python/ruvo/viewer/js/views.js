// Two views of where the time went, each built when its tab is first
// opened: the per-function table (as `ruvo top`) and the aggregated flame
// graph (calls merged by their path of callers, as wide as their total).
(function (exports) {
  "use strict";

  var L = exports, el = exports.el;

  exports.views = function (S, P) {
    var D = S.D, STR = D.strings, threads = S.threads;
    function $(id) { return document.getElementById(id); }
    var MAX_ROWS = 500;

    // --- functions ---------------------------------------------------------------------------

    var table = null, sortKey = "own";
    var COLUMNS = [["own", "Own"], ["total", "Total"], ["calls", "Calls"], ["share", "Share"], ["name", "Function"]];

    function buildFunctions() {
      if (!table) {
        table = L.functionTable(threads, S.frameGroup, D.frameName.length);
        var own = table.reduce(function (sum, row) { return sum + row.own; }, 0);
        table.forEach(function (row) { row.share = own > 0 ? row.own / own : 0; row.name = STR[D.frameName[row.group]]; });
      }
      var box = $("functions");
      box.textContent = "";
      var rows = table.slice().sort(function (a, b) {
        if (sortKey === "name") return a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
        return b[sortKey] - a[sortKey] || b.total - a.total;
      });
      var head = el("div", "row head");
      COLUMNS.forEach(function (column) {
        var cell = el("span", column[0] === "name" ? "fn sortable" : "num sortable", column[1] + (column[0] === sortKey ? " ▾" : ""));
        cell.addEventListener("click", function () { sortKey = column[0]; buildFunctions(); });
        head.appendChild(cell);
      });
      head.appendChild(el("span", "path", "Location"));
      box.appendChild(head);
      rows.slice(0, MAX_ROWS).forEach(function (r) {
        var row = el("div", "row fn-row");
        row.appendChild(el("span", "num", L.fmtDur(r.own)));
        row.appendChild(el("span", "num", L.fmtDur(r.total)));
        row.appendChild(el("span", "num", String(r.calls)));
        row.appendChild(el("span", "num", (100 * r.share).toFixed(1) + "%"));
        row.appendChild(el("span", "fn name", r.name));
        row.appendChild(el("span", "path", STR[D.framePath[r.group]]));
        if (r.thread >= 0) {
          row.title = "Select its longest call";
          row.addEventListener("click", function () { P.select({ kind: "span", th: threads[r.thread], i: r.i }, true); });
        }
        box.appendChild(row);
      });
      if (rows.length > MAX_ROWS) box.appendChild(el("div", "row more", "… " + (rows.length - MAX_ROWS) + " more functions"));
      var note = "Total counts a recursive function's outermost calls once; own is total less the calls made from it. ";
      if (typeof D.recorderCost === "number") note += "Times include the recorder's cost (about " + L.fmtDur(D.recorderCost * 1e9) + " per call); ruvo top takes it out.";
      box.appendChild(el("p", "note", note));
    }

    // --- flame graph -------------------------------------------------------------------------

    var ROW_H = 17, FONT = "11px system-ui, -apple-system, 'Segoe UI', sans-serif";
    var canvas = $("flame-agg"), ctx = canvas.getContext("2d"), root = null, focus = null, trail = [], boxes = [], width = 0;

    function nameOf(node) { return node.frame >= 0 ? STR[D.frameName[node.frame]] : node.label; }

    function drawFlame() {
      if (!root) { root = focus = L.flameRoot(threads); }
      var pane = $("flamegraph"), dpr = window.devicePixelRatio || 1;
      width = Math.max(1, pane.clientWidth - 2);
      boxes = focus.total > 0 ? L.flameLayout(focus, width, 1) : [];
      var depth = boxes.reduce(function (m, b) { return Math.max(m, b.depth); }, 0);
      var height = (depth + 1) * ROW_H;
      canvas.style.width = width + "px";
      canvas.style.height = height + "px";
      canvas.width = Math.floor(width * dpr);
      canvas.height = Math.floor(height * dpr);
      ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
      ctx.font = FONT;
      ctx.textBaseline = "middle";
      boxes.forEach(function (b) {
        var y = b.depth * ROW_H;
        ctx.fillStyle = b.node.frame >= 0 ? S.frameColor[b.node.frame] : "#c9cfdc";
        ctx.fillRect(b.x, y, Math.max(b.w - 0.5, 1), ROW_H - 1);
        if (b.w < 30) return;
        var text = L.label(nameOf(b.node)), room = Math.floor((b.w - 6) / 6.2);
        if (text.length > room) text = text.slice(0, Math.max(room - 1, 0)) + "…";
        ctx.fillStyle = "#1d2433";
        ctx.fillText(text, b.x + 3, y + ROW_H / 2);
      });
      $("flamegraph").querySelector(".flame-note").textContent = "Calls merged by their path of callers; width is total time" +
        (trail.length ? " — showing " + nameOf(focus) + " (click its bar to go back out)" : " — click a bar to look into it");
    }

    function boxAt(x, y) {
      var depth = Math.floor(y / ROW_H);
      for (var k = 0; k < boxes.length; k++) {
        var b = boxes[k];
        if (b.depth === depth && x >= b.x && x < b.x + Math.max(b.w, 1)) return b;
      }
      return null;
    }

    function point(e) { var r = canvas.getBoundingClientRect(); return { x: e.clientX - r.left, y: e.clientY - r.top }; }

    canvas.addEventListener("click", function (e) {
      var p = point(e), b = boxAt(p.x, p.y);
      if (!b) return;
      if (b.node === focus) {
        if (trail.length) focus = trail.pop();
      } else {
        trail.push(focus);
        focus = b.node;
        if (b.node.longest >= 0 && b.thread) P.select({ kind: "span", th: b.thread, i: b.node.longest }, true);
      }
      drawFlame();
    });
    canvas.addEventListener("mousemove", function (e) {
      var p = point(e), b = boxAt(p.x, p.y);
      canvas.title = b ? nameOf(b.node) + "\n" + L.fmtDur(b.node.total) + " in " + b.node.count + " call" + (b.node.count === 1 ? "" : "s") +
        (b.node.frame >= 0 ? ", " + L.fmtDur(Math.max(b.node.own, 0)) + " own\n" + STR[D.framePath[b.node.frame]] : "") : "";
    });

    S.onTab = function (tab) {
      if (tab === "functions") buildFunctions();
      else if (tab === "flamegraph") drawFlame();
    };
    window.addEventListener("resize", function () { if (!$("flamegraph").hidden) drawFlame(); });

    return {
      functionRows: function () { if (!table) buildFunctions(); return table; },
      flameBoxes: function () { drawFlame(); return boxes.map(function (b) { return { name: nameOf(b.node), depth: b.depth, x: b.x, w: b.w, total: b.node.total }; }); },
      flameClick: function (x, y) { var r = canvas.getBoundingClientRect(); canvas.dispatchEvent(new MouseEvent("click", { clientX: r.left + x, clientY: r.top + y, bubbles: true })); },
    };
  };
})(ruvoViewer);
