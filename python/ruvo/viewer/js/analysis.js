// Analysis of the laid-out threads: the per-function table (as `ruvo top`
// counts), the aggregated flame graph, the order search matches are
// visited in, and the calls behind each node of the call tree. Nothing
// here touches the page; each pass is linear in the calls (or sorts once).
(function (exports) {
  "use strict";

  // Per function (frame group): calls, total time (call to return, counted
  // once when it recurses), own time (total less the calls made from it),
  // and its longest call. A call whose call or return was not recorded
  // counts as a call without time, as in `ruvo top`. Rows with calls only,
  // unsorted.
  function functionTable(threads, frameGroup, groups) {
    var calls = new Float64Array(groups), total = new Float64Array(groups), own = new Float64Array(groups);
    var longest = new Float64Array(groups).fill(-1), longestThread = new Int32Array(groups), longestCall = new Int32Array(groups);
    threads.forEach(function (th, k) {
      var running = new Int32Array(groups), stack = new Int32Array(th.maxDepth + 1), open = 0;
      for (var i = 0; i < th.n; i++) {
        var d = th.depth[i], g = frameGroup[th.frame[i]];
        while (open > d) running[frameGroup[th.frame[stack[--open]]]]--;
        var timed = !th.flags[i], dur = timed ? th.end[i] - th.start[i] : 0;
        calls[g]++;
        own[g] += dur;
        if (d > 0 && !th.flags[stack[d - 1]]) own[frameGroup[th.frame[stack[d - 1]]]] -= dur;
        if (running[g] === 0) total[g] += dur;
        if (timed && dur > longest[g]) { longest[g] = dur; longestThread[g] = k; longestCall[g] = i; }
        running[g]++;
        stack[d] = i;
        open = d + 1;
      }
    });
    var rows = [];
    for (var g = 0; g < groups; g++) {
      if (!calls[g]) continue;
      rows.push({ group: g, calls: calls[g], total: total[g], own: Math.max(own[g], 0),
        thread: longest[g] < 0 ? -1 : longestThread[g], i: longest[g] < 0 ? -1 : longestCall[g] });
    }
    return rows;
  }

  function sortedChildren(node) {
    if (!node.sorted) node.sorted = Array.from(node.children.values()).sort(function (a, b) { return b.total - a.total; });
    return node.sorted;
  }

  // The flame graph's root: the threads' call trees (aggregate's roots)
  // under one node, each thread a node of its own when there are several.
  function flameRoot(threads) {
    function sum(children) { var t = 0; children.forEach(function (c) { t += c.total; }); return t; }
    var tops = threads.filter(function (th) { return th.agg && th.agg.children.size; }).map(function (th) {
      return { frame: -1, label: th.name, total: sum(th.agg.children), count: 1, children: th.agg.children, thread: th };
    });
    if (tops.length === 1) return tops[0];
    var children = new Map();
    tops.forEach(function (top, k) { children.set("thread" + k, top); });
    return { frame: -1, label: "all threads", total: sum(children), count: 1, children: children, thread: null };
  }

  // Boxes of the flame graph from `root` across `width` pixels (with the
  // thread each belongs to): a node per box, as wide as its total time, its callees on the row below from its
  // left edge, widest first. What is narrower than minWidth is left out, so
  // the boxes are no more than the rows times the width, whatever the trace.
  function flameLayout(root, width, minWidth) {
    var boxes = [], scale = root.total > 0 ? width / root.total : 0;
    var stack = [[root, 0, 0, root.thread || null]];
    while (stack.length) {
      var item = stack.pop(), node = item[0], depth = item[1], x = item[2], w = node.total * scale;
      var thread = node.thread || item[3];
      boxes.push({ node: node, depth: depth, x: x, w: w, thread: thread });
      var kids = sortedChildren(node), cx = x;
      for (var k = 0; k < kids.length; k++) {
        var kw = kids[k].total * scale;
        if (kw < minWidth) break; // widest first: the rest are narrower still
        stack.push([kids[k], depth + 1, cx, thread]);
        cx += kw;
      }
    }
    return boxes;
  }

  // Matching calls in the order Enter visits them: calls made while
  // importing (inside a module body run from another call, and module
  // bodies themselves) last, and otherwise the longest first, ties in time
  // order. `isModule[frame]` says a frame is a module body.
  function rankMatches(threads, hit, isModule) {
    var m = 0;
    threads.forEach(function (th) { for (var i = 0; i < th.n; i++) m += hit[th.frame[i]]; });
    var mThread = new Int32Array(m), mCall = new Int32Array(m), mLate = new Uint8Array(m), mDur = new Float64Array(m), mStart = new Float64Array(m);
    var at = 0;
    threads.forEach(function (th, k) {
      var importing = new Uint8Array(th.maxDepth + 2);
      for (var i = 0; i < th.n; i++) {
        var d = th.depth[i];
        importing[d + 1] = importing[d] || (d > 0 && isModule[th.frame[i]]) ? 1 : 0;
        if (!hit[th.frame[i]]) continue;
        mThread[at] = k;
        mCall[at] = i;
        mLate[at] = importing[d + 1];
        mDur[at] = th.end[i] - th.start[i];
        mStart[at] = th.start[i];
        at++;
      }
    });
    var order = new Int32Array(m);
    for (var j = 0; j < m; j++) order[j] = j;
    order.sort(function (a, b) {
      return mLate[a] - mLate[b] || mDur[b] - mDur[a] || mStart[a] - mStart[b] || a - b;
    });
    var thread = new Int32Array(m), call = new Int32Array(m);
    for (j = 0; j < m; j++) { thread[j] = mThread[order[j]]; call[j] = mCall[order[j]]; }
    return { thread: thread, i: call, length: m };
  }

  // The calls behind each node of a thread's call tree (see aggregate),
  // in time order: those of node id are idx[offset[id] .. offset[id + 1]).
  function nodeCalls(th) {
    if (th.nodeCalls) return th.nodeCalls;
    var nodes = th.aggNodes, offset = new Int32Array(nodes + 1), idx = new Int32Array(th.n), i;
    for (i = 0; i < th.n; i++) offset[th.nodeOf[i] + 1]++;
    for (var k = 0; k < nodes; k++) offset[k + 1] += offset[k];
    var fill = offset.slice(0, nodes);
    for (i = 0; i < th.n; i++) idx[fill[th.nodeOf[i]]++] = i;
    th.nodeCalls = { offset: offset, idx: idx };
    return th.nodeCalls;
  }

  function callsOfNode(th, node) {
    var c = nodeCalls(th);
    return c.idx.subarray(c.offset[node.id], c.offset[node.id + 1]);
  }

  exports.functionTable = functionTable;
  exports.sortedChildren = sortedChildren;
  exports.flameRoot = flameRoot;
  exports.flameLayout = flameLayout;
  exports.rankMatches = rankMatches;
  exports.callsOfNode = callsOfNode;
})(ruvoViewer);
