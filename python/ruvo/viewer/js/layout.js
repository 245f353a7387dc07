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

  // An axis label: in the unit of the tick step, with as many decimals as the step needs.
  function fmtAxis(ns, step) {
    var units = [[1e9, "s"], [1e6, "ms"], [1e3, "µs"], [1, "ns"]];
    for (var k = 0; k < units.length; k++) {
      var unit = units[k];
      if (step >= unit[0] || k === units.length - 1) {
        var value = ns / unit[0];
        var decimals = Math.max(0, Math.min(6, -Math.floor(Math.log10(step / unit[0]) + 1e-9)));
        return value.toFixed(decimals) + " " + unit[1];
      }
    }
    return String(ns);
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
  // function per caller path, with counts, total and own time.
  function aggregate(th, frameGroup) {
    var root = { frame: -1, count: 0, total: 0, own: 0, children: new Map(), longest: -1, parent: null };
    var stack = [root];
    for (var i = 0; i < th.n; i++) {
      var d = th.depth[i], parent = stack[d] || root, group = frameGroup[th.frame[i]];
      var node = parent.children.get(group);
      if (!node) {
        node = { frame: group, count: 0, total: 0, own: 0, children: new Map(), longest: -1, parent: parent };
        parent.children.set(group, node);
      }
      var dur = th.end[i] - th.start[i];
      node.count++;
      node.total += dur;
      node.own += dur;
      if (parent !== root) parent.own -= dur;
      if (node.longest < 0 || dur > th.end[node.longest] - th.start[node.longest]) node.longest = i;
      stack[d + 1] = node;
      stack.length = d + 2;
    }
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

  exports.fmtDur = fmtDur;
  exports.fmtAxis = fmtAxis;
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
