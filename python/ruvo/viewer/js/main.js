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
  if (window.ResizeObserver) new ResizeObserver(function () { T.resize(); T.draw(); }).observe(T.canvas.parentNode);

  // For scripts and tests: the state, and the actions the page's controls take.
  window.ruvo = {
    data: D,
    threads: threads,
    firstPaintMs: firstPaint,
    view: T.view,
    zoomTo: function (t0, t1) { T.zoomTo(t0, t1); T.draw(); },
    draw: T.draw,
    search: function (text) { P.searchInput.value = text; P.setSearch(text); T.draw(); return S.search.count; },
    spanRect: function (threadIndex, i) { return T.spanRect(threads[threadIndex], i); },
    hitTest: T.hitTest,
    selected: function () { return S.selected && { kind: S.selected.kind, thread: S.selected.th.index, i: S.selected.i }; },
    // Colours at points of the window ([[x, y], ...], as spanRect gives),
    // read back in one go.
    pixels: T.pixels,
  };
})(ruvoViewer);
