// The page's start: the data of its two blocks, the timeline and the
// panels wired together, and `window.ruvo` for scripts and tests.
(function (exports) {
  "use strict";

  var L = exports;
  var D = JSON.parse(document.getElementById("ruvo-data").textContent);
  var STR = D.strings;

  // The values block is base64 and can be large: decoded on first use.
  function valueBytes() {
    var text = atob(document.getElementById("ruvo-values").textContent.trim());
    var bytes = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes;
  }

  var threads = L.prepareThreads(D);
  var frameColor = [];
  for (var f = 0; f < D.frameName.length; f++) frameColor.push(L.colorFor(STR[D.frameName[f]]));

  // What the timeline and the panels share.
  var S = {
    D: D,
    threads: threads,
    values: new L.ValueStore(valueBytes, D.codes),
    frameGroup: L.frameGroups(D),
    frameColor: frameColor,
    selected: null, // {kind: "span"|"event", th, i}
    // On one side of a diff page: the calls the diff marked.
    marks: D.marks ? D.marks.map(function (m) { return { th: threads[m.thread], i: m.call, kind: m.kind }; }) : null,
    search: { q: "", hit: null, count: 0 },
    spanName: function (th, i) { return STR[D.frameName[th.frame[i]]]; },
    spanPath: function (th, i) { return STR[D.framePath[th.frame[i]]]; },
    spanDuration: function (th, i) { return th.flags[i] ? null : th.end[i] - th.start[i]; },
    select: null,
  };
  var T = L.timeline(S, document);
  var P = L.panels(S, T);
  S.select = P.select;

  P.header();
  T.resize();
  T.draw();
  var firstPaint = performance.now();
  document.documentElement.setAttribute("data-first-paint-ms", firstPaint.toFixed(1));
  P.buildTree();
  P.buildEvents();
  var V = L.views(S, P);
  if (window.ResizeObserver) new ResizeObserver(function () { T.resize(); T.draw(); }).observe(T.canvas.parentNode);

  // Stepping through the calls in time order, the value panel following.
  var byGroup = null;
  function current() {
    var sel = S.selected;
    if (!sel) return null;
    if (sel.kind === "span") return { thread: sel.th.index, i: sel.i };
    var parent = sel.th.raw.events.parent[sel.i];
    return parent >= 0 ? { thread: sel.th.index, i: parent } : null;
  }
  function stepTo(dir, sameFunction) {
    var from = current(), next;
    if (sameFunction) {
      if (!from) return null;
      if (!byGroup) byGroup = threads.map(function (th) { return L.callsByGroup(th, S.frameGroup, D.frameName.length); });
      next = L.step(threads, from, dir, byGroup, S.frameGroup[threads[from.thread].frame[from.i]]);
    } else {
      next = L.step(threads, from, dir);
    }
    if (next) P.select({ kind: "span", th: threads[next.thread], i: next.i }, "follow");
    return next;
  }
  document.getElementById("step-prev").addEventListener("click", function () { stepTo(-1, false); });
  document.getElementById("step-next").addEventListener("click", function () { stepTo(1, false); });
  document.getElementById("step-same").addEventListener("click", function () { stepTo(1, true); });
  document.addEventListener("keydown", function (e) {
    var target = e.target, tag = target && target.tagName;
    if (tag === "INPUT" || tag === "TEXTAREA" || e.ctrlKey || e.metaKey || e.altKey) return;
    var key = e.key;
    if (key === "ArrowRight" || key === "n") stepTo(1, false);
    else if (key === "ArrowLeft" || key === "p") stepTo(-1, false);
    else if (key === "f") stepTo(1, true);
    else if (key === "F") stepTo(-1, true);
    else return;
    e.preventDefault();
  });

  // In a diff page, the page around selects what its list of differences names.
  if (D.marks) {
    window.addEventListener("message", function (e) {
      var at = e.data && e.data.ruvoSelect;
      if (at && threads[at[0]] && at[1] >= 0 && at[1] < threads[at[0]].n) P.select({ kind: "span", th: threads[at[0]], i: at[1] }, "context");
    });
  }

  // For scripts and tests: the state, and the actions the page's controls take.
  var R = window.ruvo = {
    data: D,
    threads: threads,
    firstPaintMs: firstPaint,
    view: T.view,
    zoomTo: function (t0, t1) { T.zoomTo(t0, t1); T.draw(); },
    draw: T.draw,
    search: function (text) { P.searchInput.value = text; P.setSearch(text); T.draw(); return S.search.count; },
    spanRect: function (threadIndex, i) { return T.spanRect(threads[threadIndex], i); },
    hitTest: T.hitTest,
    // Steps as the buttons and keys take them: dir 1 or -1; the call
    // stepped to ({thread, i}) or null at either end.
    step: function (dir, sameFunction) { var next = stepTo(dir, !!sameFunction); T.draw(); return next; },
    select: function (threadIndex, i) { P.select({ kind: "span", th: threads[threadIndex], i: i }, true); T.draw(); },
    // Enter (1) or Shift+Enter (-1) in the search box.
    nextMatch: function (dir) { P.nextMatch(dir || 1); T.draw(); return R.selected(); },
    tab: function (name) { document.querySelector('#tabs [data-tab="' + name + '"]').click(); },
    functionRows: V.functionRows,
    flameBoxes: V.flameBoxes,
    flameClick: V.flameClick,
    selected: function () { return S.selected && { kind: S.selected.kind, thread: S.selected.th.index, i: S.selected.i }; },
    // Colours at points of the window ([[x, y], ...], as spanRect gives),
    // read back in one go.
    pixels: T.pixels,
  };
})(ruvoViewer);
