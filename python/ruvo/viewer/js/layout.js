// Layout: a trace's threads as typed arrays in rows by depth, the call
// tree's aggregation, search matches, and how times are written. Nothing
// here touches the page, so it is tested under Node.
(function (exports) {
  "use strict";

  function fmtDur(ns) {
    if (ns === null || ns === undefined) return "?";
    var us = ns / 1e3;
    if (us < 10) return us.toFixed(1) + " µs";
    if (us < 1000) return us.toFixed(0) + " µs";
    var ms = ns / 1e6;
    if (ms < 10) return ms.toFixed(2) + " ms";
    if (ms < 1000) return ms.toFixed(1) + " ms";
    return (ns / 1e9).toFixed(2) + " s";
  }

  var UNITS = [[1e9, "s"], [1e6, "ms"], [1e3, "µs"], [1, "ns"]];

  // The largest unit a magnitude reaches (ns below one).
  function unitFor(magnitude) {
    for (var k = 0; k < UNITS.length - 1; k++) if (magnitude >= UNITS[k][0]) return UNITS[k];
    return UNITS[UNITS.length - 1];
  }

  function decimalsFor(step, unit) {
    return Math.max(0, Math.ceil(-Math.log10(step / unit[0]) - 1e-9));
  }

  // A length of time in the unit of the tick step, with the decimals the step needs.
  function fmtAxis(ns, step) {
    var unit = unitFor(step);
    return (ns / unit[0]).toFixed(Math.min(6, decimalsFor(step, unit))) + " " + unit[1];
  }

  // The labels of the axis from t0 to t1, one per step: in the unit the
  // times reach, while a few decimals tell the ticks apart ("1.25 s");
  // zoomed in further than that, the first tick says where the window is
  // and the others how far past it they are ("1.262800 s", "+100 µs"), so
  // that no label reads "1262800 µs".
  function axisTicks(t0, t1, step) {
    var ticks = [], unit = unitFor(Math.max(Math.abs(t0), Math.abs(t1))), decimals = decimalsFor(step, unit);
    var first = Math.ceil(t0 / step) * step;
    for (var t = first, k = 0; t < t1; t = first + ++k * step) {
      var at = Math.abs(t) < step / 1e6 ? 0 : t;
      var text = decimals <= 3 || k === 0 ? (at / unit[0]).toFixed(Math.min(decimals, 9)) + " " + unit[1] : "+" + fmtAxis(k * step, step);
      ticks.push([t, text]);
    }
    return ticks;
  }

  function niceStep(raw) {
    var power = Math.pow(10, Math.floor(Math.log10(raw)));
    var f = raw / power;
    return (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * power;
  }

  function lowerBound(array, value, from, to) {
    var lo = from || 0, hi = to === undefined ? array.length : to;
    while (lo < hi) {
      var mid = (lo + hi) >>> 1;
      if (array[mid] < value) lo = mid + 1; else hi = mid;
    }
    return lo;
  }

  function prepareThread(raw, index, valueIndex) {
    var sp = raw.spans, n = sp.start.length;
    var start = new Float64Array(n), end = new Float64Array(n);
    var depth = new Int32Array(n), frame = new Int32Array(n);
    var t = 0, maxDepth = -1, i;
    for (i = 0; i < n; i++) {
      t += sp.start[i];
      start[i] = t;
      end[i] = t + sp.dur[i];
      depth[i] = sp.depth[i];
      frame[i] = sp.frame[i];
      if (depth[i] > maxDepth) maxDepth = depth[i];
    }
    // One row per depth; within a row calls do not overlap, so both their
    // starts and their ends are sorted and can be binary searched.
    var counts = new Int32Array(maxDepth + 1);
    for (i = 0; i < n; i++) counts[depth[i]]++;
    var rows = [];
    for (var d = 0; d <= maxDepth; d++) {
      rows.push({ idx: new Int32Array(counts[d]), start: new Float64Array(counts[d]), end: new Float64Array(counts[d]), hits: null });
    }
    var fill = new Int32Array(maxDepth + 1);
    for (i = 0; i < n; i++) {
      var row = rows[depth[i]], k = fill[depth[i]]++;
      row.idx[k] = i;
      row.start[k] = start[i];
      row.end[k] = end[i];
    }
    var flags = new Uint8Array(n);
    for (i = 0; i + 1 < sp.flagged.length; i += 2) flags[sp.flagged[i]] = sp.flagged[i + 1];
    // Value references count back from the next new value, in the order
    // the page data was written: per call its locals, argument, return
    // value and locals at return, then the thread's other records.
    var callLocals = new Int32Array(n), callArg = new Int32Array(n), retValue = new Int32Array(n), retLocals = new Int32Array(n);
    var ca = sp.callArg;
    for (i = 0; i < n; i++) {
      callLocals[i] = valueIndex(sp.callLocals[i]);
      callArg[i] = ca ? valueIndex(ca[i]) : -1;
      retValue[i] = valueIndex(sp.retValue[i]);
      retLocals[i] = valueIndex(sp.retLocals[i]);
    }
    var ev = raw.events, evRecord = new Int32Array(ev.time.length);
    for (i = 0; i < ev.time.length; i++) evRecord[i] = valueIndex(ev.record[i]);
    return {
      index: index, name: raw.name, nativeId: raw.nativeId, isMain: raw.isMain, records: raw.records,
      raw: raw, n: n, start: start, end: end, depth: depth, frame: frame, maxDepth: maxDepth, rows: rows, flags: flags,
      callLocals: callLocals, callArg: callArg, retValue: retValue, retLocals: retLocals, evRecord: evRecord,
      evTime: Float64Array.from(ev.time), evCount: ev.time.length,
      top: 0, height: 0, agg: null,
    };
  }


  // The page data's threads, ready to draw. Value references count back
  // from the next new value, across threads in the order they were written.
  function prepareThreads(D) {
    var nextValue = 0;
    function valueIndex(ref) {
      if (ref < 0) return -1;
      return ref === 0 ? nextValue++ : nextValue - ref;
    }
    return D.threads.map(function (raw, index) { return prepareThread(raw, index, valueIndex); });
  }

  // Frames differ by where they returned too; the call tree merges those.
  function frameGroups(D) {
    var n = D.frameName.length, group = new Int32Array(n), first = new Map();
    for (var g = 0; g < n; g++) {
      var key = D.frameName[g] + ":" + D.framePath[g];
      if (!first.has(key)) first.set(key, g);
      group[g] = first.get(key);
    }
    return group;
  }

  function colorFor(name) {
    var h = 2166136261;
    for (var i = 0; i < name.length; i++) { h ^= name.charCodeAt(i); h = Math.imul(h, 16777619); }
    h >>>= 0;
    return "hsl(" + (h % 360) + "," + (45 + (h >> 9) % 20) + "%," + (70 + (h >> 17) % 10) + "%)";
  }

  // "pkg.module.Class.method" -> "Class.method" for labels; the tip has it all.
  function label(name) {
    var parts = name.split(".");
    return parts.length > 2 ? parts.slice(-2).join(".") : name;
  }

  // Each thread's place from the top of the chart, and the time span the
  // chart covers: from the first thing recorded (or the trace's origin) to
  // its end, with a little room on both sides.
  function place(threads, end, sizes) {
    var y = 0;
    threads.forEach(function (th) {
      th.top = y;
      th.height = sizes.head + (th.maxDepth + 1) * sizes.row + sizes.gap;
      y += th.height;
    });
    var first = Infinity, last = end;
    threads.forEach(function (th) {
      if (th.n) first = Math.min(first, th.start[0]);
      if (th.evCount) first = Math.min(first, th.evTime[0]);
      var since = th.raw.events.since;
      for (var k = 0; k < since.length; k++) if (since[k] !== null) first = Math.min(first, since[k]);
    });
    if (!isFinite(first)) first = 0;
    first = Math.min(first, 0);
    if (last <= first) last = first + 1000;
    var pad = (last - first) * 0.01;
    return { height: y, t0: first - pad, t1: last + pad };
  }

  // Calls merged by their path from the thread's top: one node per
  // function per caller path, with counts, total and own time. Each call's
  // node id is kept in th.nodeOf, for the list of a node's calls.
  function aggregate(th, frameGroup) {
    var root = { id: 0, frame: -1, count: 0, total: 0, own: 0, children: new Map(), longest: -1, parent: null };
    var stack = [root], nodes = 1, nodeOf = th.nodeOf = new Int32Array(th.n);
    for (var i = 0; i < th.n; i++) {
      var d = th.depth[i], parent = stack[d] || root, group = frameGroup[th.frame[i]];
      var node = parent.children.get(group);
      if (!node) {
        node = { id: nodes++, frame: group, count: 0, total: 0, own: 0, children: new Map(), longest: -1, parent: parent };
        parent.children.set(group, node);
      }
      nodeOf[i] = node.id;
      var dur = th.end[i] - th.start[i];
      node.count++;
      node.total += dur;
      node.own += dur;
      if (parent !== root) parent.own -= dur;
      if (node.longest < 0 || dur > th.end[node.longest] - th.start[node.longest]) node.longest = i;
      stack[d + 1] = node;
      stack.length = d + 2;
    }
    th.aggNodes = nodes;
    root.total = th.n ? th.end.reduce(function (m, x) { return x > m ? x : m; }, 0) - th.start[0] : 0;
    return root;
  }

  // Which frames match a search (by name or path, ignoring case), and per
  // row of calls a prefix count of matches, so that whether a block of
  // merged calls holds one is a subtraction. Returns the number of calls
  // that match.
  function matchFrames(D, q) {
    var n = D.frameName.length, hit = new Uint8Array(n);
    for (var f = 0; f < n; f++) {
      if (D.strings[D.frameName[f]].toLowerCase().indexOf(q) >= 0 || D.strings[D.framePath[f]].toLowerCase().indexOf(q) >= 0) hit[f] = 1;
    }
    return hit;
  }

  function countMatches(threads, hit) {
    var count = 0;
    threads.forEach(function (th) {
      th.rows.forEach(function (row) {
        var hits = row.hits = new Int32Array(row.idx.length + 1);
        for (var k = 0; k < row.idx.length; k++) hits[k + 1] = hits[k] + hit[th.frame[row.idx[k]]];
        count += hits[row.idx.length];
      });
    });
    return count;
  }

  // --- stepping ------------------------------------------------------------------------------
  //
  // Calls in time order across threads: by start, then thread, then the
  // order within the thread (depth-first, so a caller before its callees).
  // A thread's calls are stored in that order already, so the next call
  // after (s, k, i) is, in each thread, one binary search away.

  // Calls of each function of a thread, in the thread's order: the calls
  // of group g are idx[offset[g] .. offset[g + 1]). One counting sort.
  function callsByGroup(th, frameGroup, groups) {
    var offset = new Int32Array(groups + 1), idx = new Int32Array(th.n), i;
    for (i = 0; i < th.n; i++) offset[frameGroup[th.frame[i]] + 1]++;
    for (var g = 0; g < groups; g++) offset[g + 1] += offset[g];
    var fill = offset.slice(0, groups);
    for (i = 0; i < th.n; i++) idx[fill[frameGroup[th.frame[i]]]++] = i;
    return { offset: offset, idx: idx };
  }

  // In positions lo..hi of a thread's candidates (all its calls when `idx`
  // is null), the first whose key is past `cur` (dir 1) or the last before
  // it (dir -1), or -1.
  function stepInThread(th, idx, lo, hi, cur, dir) {
    var start = th.start;
    function at(p) { return idx ? idx[p] : p; }
    // before(p): candidate p comes before (or is) the current call.
    function before(p) {
      var j = at(p), s = start[j];
      if (s !== cur.s) return s < cur.s;
      return th.index !== cur.k ? th.index < cur.k : j <= cur.i;
    }
    var a = lo, b = hi;
    while (a < b) { var mid = (a + b) >>> 1; if (before(mid)) a = mid + 1; else b = mid; }
    // a: the first candidate after the current call; before it, the rest.
    if (dir > 0) return a < hi ? at(a) : -1;
    var p = a - 1;
    if (p >= lo && at(p) === cur.i && th.index === cur.k) p--;
    return p >= lo ? at(p) : -1;
  }

  // The next (dir 1) or previous (dir -1) call from `from` ({thread, i},
  // or null for the first or last call of all), across threads; when
  // `byGroup` is given (per thread, callsByGroup's answer) only calls of
  // the group `group`. Returns {thread, i} or null.
  function step(threads, from, dir, byGroup, group) {
    var cur = from ? { s: threads[from.thread].start[from.i], k: from.thread, i: from.i }
      : { s: dir > 0 ? -Infinity : Infinity, k: dir > 0 ? -1 : threads.length, i: -1 };
    var best = null, bestStart = 0;
    for (var k = 0; k < threads.length; k++) {
      var th = threads[k], idx = null, lo = 0, hi = th.n;
      if (byGroup) { idx = byGroup[k].idx; lo = byGroup[k].offset[group]; hi = byGroup[k].offset[group + 1]; }
      var j = stepInThread(th, idx, lo, hi, cur, dir);
      if (j < 0) continue;
      // Threads are visited in order, so on equal starts the first (next) or last (previous) one found wins.
      if (!best || (dir > 0 ? th.start[j] < bestStart : th.start[j] >= bestStart)) { best = { thread: k, i: j }; bestStart = th.start[j]; }
    }
    return best;
  }

  exports.fmtDur = fmtDur;
  exports.fmtAxis = fmtAxis;
  exports.axisTicks = axisTicks;
  exports.callsByGroup = callsByGroup;
  exports.step = step;
  exports.niceStep = niceStep;
  exports.lowerBound = lowerBound;
  exports.prepareThreads = prepareThreads;
  exports.frameGroups = frameGroups;
  exports.colorFor = colorFor;
  exports.label = label;
  exports.place = place;
  exports.aggregate = aggregate;
  exports.matchFrames = matchFrames;
  exports.countMatches = countMatches;
})(ruvoViewer);
