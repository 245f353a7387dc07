// The ruvo trace viewer: a flame chart per thread on one canvas, a call tree,
// the records of plugins, and the values of any call. Everything it shows is
// in the two JSON blocks of this page; nothing is fetched.
(function () {
  "use strict";

  var D = JSON.parse(document.getElementById("ruvo-data").textContent);
  // The value format's extension codes, by name, as the recorder defines them.
  var X = D.codes;
  var STR = D.strings;

  // --- values: the serialiser's MessagePack, decoded on first use ----------------

  var BLOB = null, offsets = [0];
  var utf8 = new TextDecoder("utf-8");

  function blob() {
    if (BLOB === null) {
      var text = atob(document.getElementById("ruvo-values").textContent.trim());
      BLOB = new Uint8Array(text.length);
      for (var i = 0; i < text.length; i++) BLOB[i] = text.charCodeAt(i);
    }
    return BLOB;
  }

  function valueAt(index) {
    if (index === null || index === undefined || index < 0) return undefined;
    var bytes = blob();
    while (offsets.length <= index && offsets[offsets.length - 1] < bytes.length) {
      var skipper = new Reader(bytes, offsets[offsets.length - 1]);
      skipper.skip();
      offsets.push(skipper.p);
    }
    if (index >= offsets.length || offsets[index] >= bytes.length) return ["E"];
    try {
      return new Reader(bytes, offsets[index]).read();
    } catch (e) {
      return ["E"];
    }
  }

  function Reader(bytes, at) {
    this.b = bytes;
    this.p = at || 0;
    this.dv = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  }

  // Lengths of what follows a type byte: [bytes of the length field, items
  // per counted unit], for the skipper.
  Reader.prototype.head = function () {
    var b = this.b, dv = this.dv, t = b[this.p++], n;
    if (t <= 0x7f) return ["int", t];
    if (t >= 0xe0) return ["int", t - 256];
    if (t <= 0x8f) return ["map", t & 0x0f];
    if (t <= 0x9f) return ["array", t & 0x0f];
    if (t <= 0xbf) return ["str", t & 0x1f];
    switch (t) {
      case 0xc0: return ["nil"];
      case 0xc2: return ["bool", false];
      case 0xc3: return ["bool", true];
      case 0xc4: n = b[this.p]; this.p += 1; return ["bin", n];
      case 0xc5: n = dv.getUint16(this.p); this.p += 2; return ["bin", n];
      case 0xc6: n = dv.getUint32(this.p); this.p += 4; return ["bin", n];
      case 0xc7: n = b[this.p]; this.p += 1; return ["ext", n];
      case 0xc8: n = dv.getUint16(this.p); this.p += 2; return ["ext", n];
      case 0xc9: n = dv.getUint32(this.p); this.p += 4; return ["ext", n];
      case 0xca: n = dv.getFloat32(this.p); this.p += 4; return ["float", n];
      case 0xcb: n = dv.getFloat64(this.p); this.p += 8; return ["float", n];
      case 0xcc: n = b[this.p]; this.p += 1; return ["int", n];
      case 0xcd: n = dv.getUint16(this.p); this.p += 2; return ["int", n];
      case 0xce: n = dv.getUint32(this.p); this.p += 4; return ["int", n];
      case 0xcf: n = dv.getBigUint64(this.p); this.p += 8; return ["int", n];
      case 0xd0: n = dv.getInt8(this.p); this.p += 1; return ["int", n];
      case 0xd1: n = dv.getInt16(this.p); this.p += 2; return ["int", n];
      case 0xd2: n = dv.getInt32(this.p); this.p += 4; return ["int", n];
      case 0xd3: n = dv.getBigInt64(this.p); this.p += 8; return ["int", n];
      case 0xd4: return ["ext", 1];
      case 0xd5: return ["ext", 2];
      case 0xd6: return ["ext", 4];
      case 0xd7: return ["ext", 8];
      case 0xd8: return ["ext", 16];
      case 0xd9: n = b[this.p]; this.p += 1; return ["str", n];
      case 0xda: n = dv.getUint16(this.p); this.p += 2; return ["str", n];
      case 0xdb: n = dv.getUint32(this.p); this.p += 4; return ["str", n];
      case 0xdc: n = dv.getUint16(this.p); this.p += 2; return ["array", n];
      case 0xdd: n = dv.getUint32(this.p); this.p += 4; return ["array", n];
      case 0xde: n = dv.getUint16(this.p); this.p += 2; return ["map", n];
      case 0xdf: n = dv.getUint32(this.p); this.p += 4; return ["map", n];
    }
    throw new Error("not MessagePack: byte " + t);
  };

  Reader.prototype.skip = function () {
    var left = 1;
    while (left > 0) {
      left--;
      var h = this.head();
      if (h[0] === "str" || h[0] === "bin") this.p += h[1];
      else if (h[0] === "ext") this.p += 1 + h[1];
      else if (h[0] === "array") left += h[1];
      else if (h[0] === "map") left += 2 * h[1];
      if (this.p > this.b.length) throw new Error("truncated value");
    }
  };

  // Values as the viewer shows them: JSON scalars, and tagged arrays for the
  // rest (see renderValue).
  Reader.prototype.read = function () {
    var h = this.head(), n = h[1], out, i;
    switch (h[0]) {
      case "nil": return null;
      case "bool": return n;
      case "int":
        if (typeof n === "bigint") return n >= -9007199254740991n && n <= 9007199254740991n ? Number(n) : ["I", n.toString(), 0];
        return n;
      case "float": return Number.isInteger(n) || !isFinite(n) ? ["F", pyFloatText(n)] : n;
      case "str": out = utf8.decode(this.b.subarray(this.p, this.p + n)); this.p += n; return out;
      case "bin": out = ["B", pyBytes(this.b.subarray(this.p, this.p + n))]; this.p += n; return out;
      case "array":
        out = ["L"];
        for (i = 0; i < n; i++) out.push(this.read());
        return out;
      case "map":
        out = ["M"];
        for (i = 0; i < n; i++) { out.push(this.read()); out.push(this.read()); }
        return out;
      case "ext":
        var code = this.dv.getInt8(this.p), data = this.b.subarray(this.p + 1, this.p + 1 + n);
        this.p += 1 + n;
        return readExt(code, data);
    }
    throw new Error("unreadable value");
  };

  function readExt(code, data) {
    var p = null;
    try {
      if (code !== 2 && code !== -1 && data.length) p = new Reader(data).read();
    } catch (e) {
      p = undefined;
    }
    function isStr(x) { return typeof x === "string"; }
    function isInt(x) { return typeof x === "number" && Number.isInteger(x); }
    function isPair(x) { return Array.isArray(x) && x[0] === "L" && x.length === 3 && isStr(x[1]); }
    switch (code) {
      case X.REPR: // [type, text] or [type, text, original length]
        if (Array.isArray(p) && p[0] === "L" && isStr(p[1]) && isStr(p[2]) && (p.length === 3 || (p.length === 4 && isInt(p[3])))) return ["R"].concat(p.slice(1));
        break;
      case X.BIGINT: // its digits
        return ["I", utf8.decode(data), 1];
      case X.OPAQUE: if (isStr(p)) return ["O", p]; break;
      case X.RECURSION: if (isStr(p)) return ["C", p]; break;
      case X.OMITTED: if (isInt(p)) return ["N", p]; break;
      case X.CLIPPED: if (Array.isArray(p) && p[0] === "L" && p.length === 3 && (isStr(p[1]) || (Array.isArray(p[1]) && p[1][0] === "B")) && isInt(p[2])) return ["K", p[1], p[2]]; break;
      case X.TOO_DEEP: if (Array.isArray(p) && p[0] === "L" && p.length === 3 && isStr(p[1]) && isInt(p[2])) return ["D", p[1], p[2]]; break;
      case X.DROPPED: if (!data.length) return ["X"]; break;
      case X.FAILED: if (!data.length) return ["E"]; break;
      case X.BUDGET: if (!data.length) return ["G"]; break;
      case X.OBJECT: if (isPair(p) && Array.isArray(p[2]) && p[2][0] === "M") return ["J", p[1], p[2]]; break;
      case X.TYPED: if (isPair(p)) return ["Y", p[1], p[2]]; break;
      case X.NAMED: if (isPair(p) && isStr(p[2])) return ["Q", p[1], p[2]]; break;
      case X.ENUM: if (isPair(p) && isStr(p[2])) return ["U", p[1], p[2]]; break;
      case -1: return ["R", "msgpack.Timestamp", timestampText(data)];
    }
    var hex = "";
    for (var i = 0; i < data.length; i++) hex += (data[i] < 16 ? "0" : "") + data[i].toString(16);
    return ["T", code, hex];
  }

  function timestampText(data) {
    var dv = new DataView(data.buffer, data.byteOffset, data.byteLength), seconds, nanos = 0;
    if (data.length === 4) seconds = dv.getUint32(0);
    else if (data.length === 8) { var hi = dv.getUint32(0), lo = dv.getUint32(4); nanos = hi >>> 2; seconds = (hi & 3) * 4294967296 + lo; }
    else if (data.length === 12) { nanos = dv.getUint32(0); seconds = Number(dv.getBigInt64(4)); }
    else return "Timestamp(?)";
    return "Timestamp(seconds=" + seconds + ", nanoseconds=" + nanos + ")";
  }

  function pyFloatText(x) {
    if (isNaN(x)) return "nan";
    if (!isFinite(x)) return x > 0 ? "inf" : "-inf";
    if (Math.abs(x) < 1e16) return (Object.is(x, -0) ? "-" : "") + x.toFixed(1);
    return x.toExponential().replace(/e([+-])(\d)$/, "e$10$2");
  }

  function pyBytes(bytes) {
    var out = "b'";
    for (var i = 0; i < bytes.length; i++) {
      var c = bytes[i];
      if (c === 0x5c) out += "\\\\";
      else if (c === 0x27) out += "\\'";
      else if (c === 0x0a) out += "\\n";
      else if (c === 0x0d) out += "\\r";
      else if (c === 0x09) out += "\\t";
      else if (c >= 0x20 && c < 0x7f) out += String.fromCharCode(c);
      else out += "\\x" + (c < 16 ? "0" : "") + c.toString(16);
    }
    return out + "'";
  }

  function $(id) { return document.getElementById(id); }
  function el(tag, cls, text) {
    var node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined && text !== null) node.textContent = text;
    return node;
  }

  // --- time -------------------------------------------------------------------

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

  // --- threads as typed arrays ---------------------------------------------------

  function lowerBound(array, value, from, to) {
    var lo = from || 0, hi = to === undefined ? array.length : to;
    while (lo < hi) {
      var mid = (lo + hi) >>> 1;
      if (array[mid] < value) lo = mid + 1; else hi = mid;
    }
    return lo;
  }

  function prepareThread(raw, index) {
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

  var nextValue = 0;
  function valueIndex(ref) {
    if (ref < 0) return -1;
    return ref === 0 ? nextValue++ : nextValue - ref;
  }

  var threads = D.threads.map(prepareThread);
  var nFrames = D.frameName.length;
  // Frames differ by where they returned too; the call tree merges those.
  var frameGroup = new Int32Array(nFrames), groupOf = new Map();
  for (var g = 0; g < nFrames; g++) {
    var key = D.frameName[g] + ":" + D.framePath[g];
    if (!groupOf.has(key)) groupOf.set(key, g);
    frameGroup[g] = groupOf.get(key);
  }
  var frameColor = [];
  for (var f = 0; f < nFrames; f++) frameColor.push(colorFor(STR[D.frameName[f]]));

  function colorFor(name) {
    var h = 2166136261;
    for (var i = 0; i < name.length; i++) { h ^= name.charCodeAt(i); h = Math.imul(h, 16777619); }
    h >>>= 0;
    return "hsl(" + (h % 360) + "," + (45 + (h >> 9) % 20) + "%," + (70 + (h >> 17) % 10) + "%)";
  }

  function spanName(th, i) { return STR[D.frameName[th.frame[i]]]; }
  function spanPath(th, i) { return STR[D.framePath[th.frame[i]]]; }
  function spanDuration(th, i) { return th.flags[i] ? null : th.end[i] - th.start[i]; }
  function shortName(name) {
    // "pkg.module.Class.method" -> "Class.method" for labels; the tip has it all.
    var parts = name.split(".");
    return parts.length > 2 ? parts.slice(-2).join(".") : name;
  }

  // --- timeline ------------------------------------------------------------------

  var AXIS_H = 22, HEAD_H = 20, ROW_H = 17, GAP = 8, MIN_W = 2;
  var FONT = "11px system-ui, -apple-system, 'Segoe UI', sans-serif";
  var SEVERITY_COLOR = ["#5b6b8c", "#e08a00", "#d32f2f", "#2e9d48"];
  var HIT = "#ff8c1a", MISS = "#dde1e8", MISS_TEXT = "#9aa3b5";

  var canvas = $("flame"), ctx = canvas.getContext("2d"), tip = $("tip");
  var width = 0, height = 0, dpr = 1, scrollY = 0, totalHeight = 0;
  var full = { t0: 0, t1: 1 };
  var view = { t0: 0, t1: 1 };
  var selected = null; // {kind: "span"|"event", th, i}
  var search = { q: "", hit: null, count: 0 };
  var labelWidth = new Map();
  var pending = false;

  (function layout() {
    var y = 0;
    threads.forEach(function (th) {
      th.top = y;
      th.height = HEAD_H + (th.maxDepth + 1) * ROW_H + GAP;
      y += th.height;
    });
    totalHeight = y;
    var first = Infinity, last = D.end;
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
    full = { t0: first - pad, t1: last + pad };
    view = { t0: full.t0, t1: full.t1 };
  })();

  function resize() {
    var box = canvas.parentNode.getBoundingClientRect();
    dpr = window.devicePixelRatio || 1;
    width = Math.max(1, Math.floor(box.width));
    height = Math.max(1, Math.floor(box.height));
    canvas.width = Math.floor(width * dpr);
    canvas.height = Math.floor(height * dpr);
    clampScroll();
  }

  function clampScroll() {
    scrollY = Math.max(0, Math.min(scrollY, totalHeight - (height - AXIS_H) + 4));
    if (scrollY < 0) scrollY = 0;
  }

  function invalidate() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(function () { pending = false; draw(); });
  }

  function draw() {
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, width, height);
    ctx.font = FONT;
    ctx.textBaseline = "middle";
    var scale = width / (view.t1 - view.t0);
    drawGrid(scale);
    ctx.save();
    ctx.beginPath();
    ctx.rect(0, AXIS_H, width, height - AXIS_H);
    ctx.clip();
    for (var k = 0; k < threads.length; k++) {
      var th = threads[k], y0 = AXIS_H + th.top - scrollY;
      if (y0 > height || y0 + th.height < AXIS_H) continue;
      for (var d = 0; d <= th.maxDepth; d++) {
        var y = y0 + HEAD_H + d * ROW_H;
        if (y + ROW_H < AXIS_H) continue;
        if (y > height) break;
        drawRow(th, d, y, scale);
      }
      drawHead(th, y0, scale);
    }
    drawSelection(scale);
    ctx.restore();
    drawAxis(scale);
  }

  function gridStep(scale) { return niceStep(110 / scale); }

  function drawGrid(scale) {
    var step = gridStep(scale);
    ctx.fillStyle = "#eef0f5";
    for (var t = Math.ceil(view.t0 / step) * step; t < view.t1; t += step) {
      ctx.fillRect(Math.round((t - view.t0) * scale), AXIS_H, 1, height - AXIS_H);
    }
  }

  function drawAxis(scale) {
    var step = gridStep(scale);
    ctx.fillStyle = "#f7f8fb";
    ctx.fillRect(0, 0, width, AXIS_H);
    ctx.fillStyle = "#c9cfdc";
    ctx.fillRect(0, AXIS_H - 1, width, 1);
    ctx.fillStyle = "#4a556e";
    ctx.textBaseline = "middle";
    for (var t = Math.ceil(view.t0 / step) * step; t < view.t1; t += step) {
      var x = Math.round((t - view.t0) * scale);
      ctx.fillRect(x, AXIS_H - 6, 1, 5);
      ctx.fillText(fmtAxis(Math.abs(t) < step / 1e6 ? 0 : t, step), x + 3, 9);
    }
  }

  // A row of calls, merging what is narrower than MIN_W pixels into one
  // block per pixel: a binary search skips everything else that starts in
  // that pixel, so the cost follows the canvas width, not the trace size.
  function drawRow(th, d, y, scale) {
    var row = th.rows[d], rs = row.start, re = row.end, idx = row.idx, n = idx.length;
    var t0 = view.t0, t1 = view.t1, hits = search.hit ? row.hits : null;
    var i = lowerBound(re, t0);
    while (i < n && rs[i] <= t1) {
      var x0 = (rs[i] - t0) * scale, x1 = (re[i] - t0) * scale;
      if (x1 - x0 >= MIN_W) {
        drawSpan(th, idx[i], x0, x1, y, hits ? hits[i + 1] - hits[i] > 0 : null);
        i++;
        continue;
      }
      var px = Math.floor(x0);
      var j = lowerBound(rs, t0 + (px + 1) / scale, i + 1);
      // Only the last call starting in this pixel can be wide: draw it on its own.
      if (j - 1 > i && (re[j - 1] - rs[j - 1]) * scale >= MIN_W) j--;
      var hit = hits ? hits[j] - hits[i] > 0 : null;
      ctx.fillStyle = hit === null ? frameColor[th.frame[idx[i]]] : hit ? HIT : MISS;
      ctx.fillRect(px, y, Math.max(1, Math.ceil((re[j - 1] - t0) * scale) - px), ROW_H - 1);
      i = j;
    }
  }

  function drawSpan(th, i, x0, x1, y, hit) {
    var left = Math.max(x0, -2), right = Math.min(x1, width + 2);
    ctx.fillStyle = hit === null ? frameColor[th.frame[i]] : hit ? HIT : MISS;
    ctx.fillRect(left, y, Math.max(right - left - 0.5, 1), ROW_H - 1);
    if (th.flags[i]) {
      // Call or return not recorded: a dashed right edge says the end is a guess.
      ctx.fillStyle = "rgba(0,0,0,.35)";
      for (var yy = y; yy < y + ROW_H - 1; yy += 4) ctx.fillRect(right - 2, yy, 2, 2);
    }
    var w = right - left;
    if (w < 24) return;
    var label = shortName(spanName(th, i));
    var full = labelWidth.get(label);
    if (full === undefined) { full = ctx.measureText(label).width; labelWidth.set(label, full); }
    var avail = w - 6;
    if (full > avail) {
      var keep = Math.floor(label.length * avail / full) - 1;
      if (keep < 2) return;
      label = label.slice(0, keep) + "…";
    }
    ctx.fillStyle = hit === false ? MISS_TEXT : "#1d2433";
    ctx.fillText(label, left + 3, y + ROW_H / 2);
  }

  function drawHead(th, y0, scale) {
    var ev = th.raw.events, times = th.evTime, t0 = view.t0, t1 = view.t1;
    ctx.fillStyle = "#f1f3f8";
    ctx.fillRect(0, y0, width, HEAD_H - 2);
    // Records left out by the size budget: a band over the time they cover.
    for (var k = 0; k < th.evCount; k++) {
      if (ev.since[k] === null) continue;
      var a = Math.max((ev.since[k] - t0) * scale, 0), b = Math.min((times[k] - t0) * scale, width);
      if (b < 0 || a > width) continue;
      ctx.fillStyle = "rgba(224,138,0,.18)";
      ctx.fillRect(a, y0, Math.max(b - a, 2), th.height - GAP);
    }
    var lastX = -10, i = lowerBound(times, t0 - 4 / scale);
    for (; i < th.evCount && times[i] <= t1 + 4 / scale; i++) {
      var x = Math.round((times[i] - t0) * scale);
      if (x === lastX) continue; // one marker per pixel
      lastX = x;
      var kind = STR[ev.kind[i]];
      ctx.fillStyle = SEVERITY_COLOR[ev.severity[i]] || SEVERITY_COLOR[0];
      if (kind === "start_test" || kind === "end_test") {
        ctx.fillRect(x - 1, y0 + 2, 3, HEAD_H - 6);
        ctx.globalAlpha = 0.35;
        ctx.fillRect(x, y0 + HEAD_H - 2, 1, th.height - HEAD_H - GAP + 2);
        ctx.globalAlpha = 1;
      } else {
        ctx.beginPath();
        ctx.moveTo(x - 5, y0 + 3);
        ctx.lineTo(x + 5, y0 + 3);
        ctx.lineTo(x, y0 + HEAD_H - 5);
        ctx.closePath();
        ctx.fill();
      }
    }
    var label = th.name + (th.isMain ? " (main thread)" : "") + " · " + th.records + " records";
    var w = ctx.measureText(label).width;
    ctx.fillStyle = "rgba(241,243,248,.88)";
    ctx.fillRect(0, y0, w + 10, HEAD_H - 2);
    ctx.fillStyle = "#1d2433";
    ctx.fillText(label, 5, y0 + (HEAD_H - 2) / 2);
  }

  function drawSelection(scale) {
    if (!selected || selected.kind !== "span") return;
    var r = spanBox(selected.th, selected.i, scale);
    ctx.strokeStyle = "#1d2433";
    ctx.lineWidth = 2;
    ctx.strokeRect(r.x - 1, r.y - 1, Math.max(r.w, 2) + 2, ROW_H + 1);
  }

  function spanBox(th, i, scale) {
    scale = scale || width / (view.t1 - view.t0);
    var x0 = (th.start[i] - view.t0) * scale, x1 = (th.end[i] - view.t0) * scale;
    return { x: x0, y: AXIS_H + th.top - scrollY + HEAD_H + th.depth[i] * ROW_H, w: x1 - x0, h: ROW_H - 1 };
  }

  // What is under a point of the canvas: a call, a plugin record, or nothing.
  function hitTest(x, y) {
    if (y < AXIS_H) return null;
    var yy = y - AXIS_H + scrollY, scale = width / (view.t1 - view.t0), t = view.t0 + x / scale;
    for (var k = 0; k < threads.length; k++) {
      var th = threads[k];
      if (yy < th.top || yy >= th.top + th.height) continue;
      var ly = yy - th.top;
      if (ly < HEAD_H) {
        var times = th.evTime, tol = 5 / scale, best = -1;
        for (var i = lowerBound(times, t - tol); i < th.evCount && times[i] <= t + tol; i++) {
          if (best < 0 || Math.abs(times[i] - t) < Math.abs(times[best] - t)) best = i;
        }
        return best < 0 ? null : { kind: "event", th: th, i: best };
      }
      var d = Math.floor((ly - HEAD_H) / ROW_H);
      if (d > th.maxDepth) return null;
      var row = th.rows[d], slack = 3 / scale;
      var j = lowerBound(row.end, t - slack);
      var found = -1;
      for (var m = j; m < row.idx.length && row.start[m] <= t + slack; m++) {
        if (row.start[m] <= t && t <= row.end[m]) { found = m; break; }
        if (found < 0) found = m;
      }
      return found < 0 ? null : { kind: "span", th: th, i: row.idx[found] };
    }
    return null;
  }

  function zoomTo(t0, t1) {
    var min = 200;
    if (t1 - t0 < min) { var mid = (t0 + t1) / 2; t0 = mid - min / 2; t1 = mid + min / 2; }
    view = { t0: t0, t1: t1 };
    invalidate();
  }

  function showSpan(th, i) {
    var dur = th.end[i] - th.start[i], pad = Math.max(dur * 0.25, 2000);
    var t0 = th.start[i] - pad, t1 = th.end[i] + pad;
    // Keep the current zoom when the call already fits comfortably.
    if (th.start[i] < view.t0 || th.end[i] > view.t1 || dur * 20 < view.t1 - view.t0) zoomTo(t0, t1);
    scrollIntoView(th.top + HEAD_H + th.depth[i] * ROW_H);
  }

  function scrollIntoView(y) {
    var visible = height - AXIS_H;
    if (y < scrollY || y + ROW_H > scrollY + visible) { scrollY = y - visible / 3; clampScroll(); }
    invalidate();
  }

  var drag = null;
  canvas.addEventListener("mousedown", function (e) {
    if (e.button !== 0) return;
    drag = { x: e.clientX, y: e.clientY, view: { t0: view.t0, t1: view.t1 }, scrollY: scrollY, moved: false };
    canvas.classList.add("dragging");
    e.preventDefault();
  });
  window.addEventListener("mousemove", function (e) {
    if (drag) {
      var dx = e.clientX - drag.x, dy = e.clientY - drag.y;
      if (Math.abs(dx) + Math.abs(dy) > 3) drag.moved = true;
      if (drag.moved) {
        var per = (drag.view.t1 - drag.view.t0) / width;
        view = { t0: drag.view.t0 - dx * per, t1: drag.view.t1 - dx * per };
        scrollY = drag.scrollY - dy;
        clampScroll();
        invalidate();
      }
      tip.hidden = true;
      return;
    }
    if (e.target === canvas) hover(e); else tip.hidden = true;
  });
  window.addEventListener("mouseup", function (e) {
    if (!drag) return;
    var wasClick = !drag.moved;
    drag = null;
    canvas.classList.remove("dragging");
    if (wasClick && e.target === canvas) {
      var p = canvasPoint(e), found = hitTest(p.x, p.y);
      if (found) select(found, false);
    }
  });
  canvas.addEventListener("dblclick", function (e) {
    var p = canvasPoint(e), found = hitTest(p.x, p.y);
    if (found && found.kind === "span") {
      var th = found.th, i = found.i, pad = (th.end[i] - th.start[i]) * 0.05;
      zoomTo(th.start[i] - pad, th.end[i] + pad);
    }
  });
  canvas.addEventListener("wheel", function (e) {
    e.preventDefault();
    var unit = e.deltaMode === 1 ? 30 : e.deltaMode === 2 ? height : 1;
    var dx = e.deltaX * unit, dy = e.deltaY * unit;
    if (e.shiftKey && !dx) { dx = dy; dy = 0; }
    var range = view.t1 - view.t0;
    if (dx) { var shift = dx * range / width; view = { t0: view.t0 + shift, t1: view.t1 + shift }; }
    if (dy) {
      var p = canvasPoint(e), at = view.t0 + p.x / width * range;
      var factor = Math.exp(dy * 0.0015);
      var next = Math.min(Math.max(range * factor, 200), (full.t1 - full.t0) * 4);
      var ratio = next / range;
      view = { t0: at - (at - view.t0) * ratio, t1: at + (view.t1 - at) * ratio };
    }
    invalidate();
  }, { passive: false });
  canvas.addEventListener("mouseleave", function () { tip.hidden = true; });

  function canvasPoint(e) {
    var r = canvas.getBoundingClientRect();
    return { x: e.clientX - r.left, y: e.clientY - r.top };
  }

  function hover(e) {
    var p = canvasPoint(e), found = hitTest(p.x, p.y);
    if (!found) { tip.hidden = true; return; }
    var text;
    if (found.kind === "span") {
      text = fmtDur(spanDuration(found.th, found.i)) + "  " + spanName(found.th, found.i) + "  " + spanPath(found.th, found.i);
    } else {
      text = STR[found.th.raw.events.label[found.i]];
    }
    tip.textContent = text;
    tip.hidden = false;
    tip.style.left = Math.min(p.x + 12, Math.max(0, width - tip.offsetWidth - 4)) + "px";
    tip.style.top = (p.y + 16) + "px";
  }

  $("reset").addEventListener("click", function () { zoomTo(full.t0, full.t1); scrollY = 0; });
  window.addEventListener("resize", function () { resize(); invalidate(); });

  // --- values --------------------------------------------------------------------

  function pyStr(s) {
    var q = s.indexOf("'") >= 0 && s.indexOf('"') < 0 ? '"' : "'";
    var body = s.replace(/[\\\n\r\t\x00-\x1f\x7f]/g, function (c) {
      if (c === "\\") return "\\\\";
      if (c === "\n") return "\\n";
      if (c === "\r") return "\\r";
      if (c === "\t") return "\\t";
      return "\\x" + ("0" + c.charCodeAt(0).toString(16)).slice(-2);
    });
    if (q === "'") body = body.replace(/'/g, "\\'");
    return q + body + q;
  }

  function pyFloat(x) {
    return String(x).replace(/e([+-])(\d)$/, "e$10$2");
  }

  function span(cls, text, title) {
    var node = el("span", cls, text);
    if (title) node.title = title;
    return node;
  }

  // The serialiser keeps 1000 items of a container: show them all.
  var MAX_ITEMS_SHOWN = 1000;

  // A value as the program had it; the serialiser's markers say in words
  // what was recorded instead of the value.
  function renderValue(v, depth) {
    depth = depth || 0;
    if (v === null) return span("v-kw", "None");
    if (v === true) return span("v-kw", "True");
    if (v === false) return span("v-kw", "False");
    if (typeof v === "number") return span("v-num", Number.isInteger(v) ? String(v) : pyFloat(v));
    if (typeof v === "string") return span("v-str", pyStr(v));
    if (!Array.isArray(v)) return span("v-bad", String(v));
    var tag = v[0], box, i;
    switch (tag) {
      case "L":
        box = el("span");
        box.appendChild(document.createTextNode("["));
        var last = v.length - 1, marker = Array.isArray(v[last]) && v[last][0] === "N";
        var shown = Math.min(last - (marker ? 1 : 0), MAX_ITEMS_SHOWN);
        for (i = 1; i <= shown; i++) {
          if (i > 1) box.appendChild(document.createTextNode(", "));
          box.appendChild(renderValue(v[i], depth + 1));
        }
        var hidden = last - (marker ? 1 : 0) - shown;
        if (hidden > 0) box.appendChild(span("v-badge", ", … " + hidden + " more not shown here"));
        if (marker) {
          if (shown) box.appendChild(document.createTextNode(", "));
          box.appendChild(renderValue(v[last], depth + 1));
        }
        box.appendChild(document.createTextNode("]"));
        return box;
      case "M":
        box = el("span");
        box.appendChild(document.createTextNode("{"));
        for (i = 1; i + 1 < v.length && i <= 2 * MAX_ITEMS_SHOWN; i += 2) {
          if (i > 1) box.appendChild(document.createTextNode(", "));
          if (Array.isArray(v[i]) && v[i][0] === "N" && v[i + 1] === null) { box.appendChild(renderValue(v[i], depth + 1)); continue; }
          box.appendChild(renderValue(v[i], depth + 1));
          box.appendChild(document.createTextNode(": "));
          box.appendChild(renderValue(v[i + 1], depth + 1));
        }
        if ((v.length - 1) / 2 > MAX_ITEMS_SHOWN) box.appendChild(span("v-badge", ", … " + ((v.length - 1) / 2 - MAX_ITEMS_SHOWN) + " more not shown here"));
        box.appendChild(document.createTextNode("}"));
        return box;
      case "R":
        box = el("span");
        box.appendChild(span("v-repr", v[2], "repr() of a " + v[1] + " object"));
        if (v.length > 3) {
          box.appendChild(span("v-mark", "… cut at " + v[2].length + " of " + v[3] + " chars", "the repr() was longer than the recorder keeps"));
        }
        return box;
      case "O": return span("v-mark", "‹" + v[1] + " object›", "recorded by its type alone (lightweight values: no repr() was taken)");
      case "C": return span("v-mark", "‹recursive " + v[1] + "›", "this container contains itself; it was already written further out");
      case "N": return span("v-mark", "… " + v[1] + " more item" + (v[1] === 1 ? "" : "s") + " not recorded", "the container had more items than the recorder keeps");
      case "K":
        box = el("span");
        box.appendChild(renderValue(v[1], depth + 1));
        var bytes = Array.isArray(v[1]) && v[1][0] === "B";
        box.appendChild(span("v-mark", "… clipped, " + v[2] + (bytes ? " bytes" : " chars") + " in all", "only the start of this " + (bytes ? "bytes" : "str") + " was recorded"));
        return box;
      case "D": return span("v-mark", "‹" + v[1] + " of " + v[2] + " item" + (v[2] === 1 ? "" : "s") + ", nested too deep›", "nested deeper than the recorder follows");
      case "J":
        box = el("span");
        box.appendChild(span("v-type", shortName(v[1]), "an object of " + v[1] + ": its attributes, read without running its code"));
        box.appendChild(document.createTextNode("("));
        for (i = 1; i + 1 < v[2].length; i += 2) {
          if (i > 1) box.appendChild(document.createTextNode(", "));
          var name = v[2][i];
          if (Array.isArray(name) && name[0] === "N") { box.appendChild(renderValue(name, depth + 1)); continue; }
          box.appendChild(document.createTextNode((typeof name === "string" ? name : JSON.stringify(name)) + "="));
          box.appendChild(renderValue(v[2][i + 1], depth + 1));
        }
        box.appendChild(document.createTextNode(")"));
        return box;
      case "Y":
        box = el("span");
        if (Array.isArray(v[2]) && v[2][0] === "L") {
          if (v[1] === "tuple") return renderSequence(v[2], depth, "(", v[2].length === 2 ? ",)" : ")");
          if (v[1] === "set") return renderSequence(v[2], depth, "{", "}");
          if (v[1] === "frozenset") return renderSequence(v[2], depth, "frozenset({", "})");
        }
        var inner = renderValue(v[2], depth + 1);
        box.appendChild(span("v-type", shortName(v[1]), "a " + v[1]));
        box.appendChild(document.createTextNode("("));
        box.appendChild(inner);
        box.appendChild(document.createTextNode(")"));
        return box;
      case "Q": return span("v-mark", "‹" + v[1] + " " + v[2] + "›", "recorded by name");
      case "U": return span("v-repr", shortName(v[1]) + "." + v[2], "a member of the enum " + v[1]);
      case "G": return span("v-mark", "‹left out: trace budget›", "left out because the trace reached its budget");
      case "X": return span("v-mark", "‹dropped: size limit›", "left out because this call's values reached the recorder's size limit");
      case "E": return span("v-bad", "‹serialisation failed›", "the recorder could not write this value");
      case "I":
        box = el("span");
        box.appendChild(span("v-num", v[1]));
        if (v[2]) box.appendChild(span("v-badge", " (big int, " + v[1].replace("-", "").length + " digits)"));
        return box;
      case "F": return span("v-num", v[1]);
      case "B": return span("v-str", v[1]);
      case "T": return span("v-mark", "‹msgpack extension " + v[1] + ": " + v[2] + "›");
    }
    return span("v-bad", JSON.stringify(v));
  }

  function shortName(name) { return name.indexOf("<") < 0 ? name.slice(name.lastIndexOf(".") + 1) : name; }

  // A tuple's or set's items between its own brackets.
  function renderSequence(list, depth, open, close) {
    var box = el("span");
    box.appendChild(document.createTextNode(open));
    for (var i = 1; i < list.length; i++) {
      if (i > 1) box.appendChild(document.createTextNode(", "));
      box.appendChild(renderValue(list[i], depth + 1));
    }
    box.appendChild(document.createTextNode(close));
    return box;
  }

  function isDunder(key) { return typeof key === "string" && key.length > 4 && key.slice(0, 2) === "__" && key.slice(-2) === "__"; }

  // A map of names (locals, a record's fields) as a table, one name a row.
  function renderLocals(v, empty) {
    if (!Array.isArray(v) || v[0] !== "M") {
      var single = el("div", "value");
      single.appendChild(renderValue(v));
      return single;
    }
    var table = el("table"), hidden = 0, shown = 0;
    for (var i = 1; i + 1 < v.length; i += 2) {
      var key = v[i];
      if (isDunder(key)) { hidden++; continue; }
      var tr = el("tr"), value = el("td", "value");
      if (Array.isArray(key) && key[0] === "N") {
        value.appendChild(renderValue(key));
        tr.appendChild(el("td", "key"));
      } else {
        tr.appendChild(el("td", "key", typeof key === "string" ? key : ""));
        if (typeof key !== "string") tr.firstChild.appendChild(renderValue(key));
        value.appendChild(renderValue(v[i + 1]));
      }
      tr.appendChild(value);
      table.appendChild(tr);
      shown++;
    }
    var box = el("div");
    if (shown) box.appendChild(table); else box.appendChild(el("div", "note", empty || "(none)"));
    if (hidden) box.appendChild(el("div", "note", "+ " + hidden + " module attribute" + (hidden === 1 ? "" : "s") + " (__name__, __doc__…) not shown"));
    return box;
  }

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
    var a = el("a", null, spanName(th, i));
    a.addEventListener("click", function () { select({ kind: "span", th: th, i: i }, true); });
    return a;
  }

  function parentOf(th, i) {
    var d = th.depth[i];
    for (var j = i - 1; j >= 0; j--) if (th.depth[j] === d - 1) return j;
    return -1;
  }

  function showSpanDetails(th, i, agg) {
    var flags = th.flags[i], returnPath = D.frameReturnPath[th.frame[i]];
    details.textContent = "";
    details.appendChild(el("h2", null, spanName(th, i)));
    details.appendChild(el("div", "where", spanPath(th, i)));
    var facts = el("table", "facts");
    fact(facts, "Thread", threadLabel(th));
    fact(facts, "Started", "+" + fmtDur(th.start[i]) + " into the trace");
    var dur = spanDuration(th, i);
    fact(facts, "Duration", dur === null ? "? (" + (flags & 1 ? "the call was not recorded: it began before recording" : "the return was not recorded") + "; about " + fmtDur(th.end[i] - th.start[i]) + " in the timeline)" : fmtDur(dur));
    if (returnPath >= 0) fact(facts, "Returned at", STR[returnPath]);
    var parent = parentOf(th, i);
    if (parent >= 0) fact(facts, "Called from", spanLink(th, parent));
    if (agg) fact(facts, "All such calls", agg.count + " call" + (agg.count === 1 ? "" : "s") + " here, " + fmtDur(agg.total) + " in all, " + fmtDur(Math.max(agg.own, 0)) + " own time (this one is the longest)");
    details.appendChild(facts);

    if (th.callArg[i] >= 0) {
      details.appendChild(el("h3", null, "Argument"));
      var arg = el("div", "value");
      arg.appendChild(renderValue(valueAt(th.callArg[i])));
      details.appendChild(arg);
    }
    details.appendChild(el("h3", null, "Return value"));
    if (th.retValue[i] >= 0) {
      var ret = el("div", "value ret-value");
      ret.appendChild(renderValue(valueAt(th.retValue[i])));
      details.appendChild(ret);
    } else {
      details.appendChild(el("div", "note", "(no return recorded)"));
    }
    details.appendChild(el("h3", null, "Locals at call (the arguments)"));
    details.appendChild(th.callLocals[i] >= 0 ? renderLocals(valueAt(th.callLocals[i]), "(no arguments)") : el("div", "note", "(call not recorded)"));
    details.appendChild(el("h3", null, "Locals at return"));
    details.appendChild(th.retLocals[i] >= 0 ? renderLocals(valueAt(th.retLocals[i])) : el("div", "note", "(no return recorded)"));
  }

  function showEventDetails(th, k) {
    var ev = th.raw.events;
    details.textContent = "";
    details.appendChild(el("h2", "sev" + ev.severity[k], STR[ev.label[k]]));
    var facts = el("table", "facts");
    fact(facts, "Record", STR[ev.kind[k]]);
    fact(facts, "Thread", threadLabel(th));
    fact(facts, "At", "+" + fmtDur(th.evTime[k]) + " into the trace");
    if (ev.since[k] !== null) fact(facts, "Covers", "from +" + fmtDur(ev.since[k]) + " (" + fmtDur(th.evTime[k] - ev.since[k]) + ")");
    if (ev.parent[k] >= 0) fact(facts, "Inside", spanLink(th, ev.parent[k]));
    details.appendChild(facts);
    details.appendChild(el("h3", null, "Fields"));
    details.appendChild(renderLocals(valueAt(th.evRecord[k])));
  }

  function select(found, reveal, agg) {
    selected = found;
    if (found.kind === "span") {
      showSpanDetails(found.th, found.i, agg);
      if (reveal) showSpan(found.th, found.i);
    } else {
      showEventDetails(found.th, found.i);
      if (reveal) {
        var t = found.th.evTime[found.i], range = view.t1 - view.t0;
        if (t < view.t0 || t > view.t1) zoomTo(t - range / 2, t + range / 2);
        scrollIntoView(found.th.top);
      }
    }
    markTreeSelection();
    invalidate();
  }

  // --- call tree ---------------------------------------------------------------------------

  // Calls merged by their path from the thread's top: one node per
  // function per caller path, with counts, total and own time.
  function aggregate(th) {
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

  var treeBox = $("tree"), MAX_CHILDREN = 300, rowBudget = 0;
  var treeRows = []; // {node, th, row}

  function sortedChildren(node) {
    if (!node.sorted) node.sorted = Array.from(node.children.values()).sort(function (a, b) { return b.total - a.total; });
    return node.sorted;
  }

  function treeRow(th, node, level) {
    var row = el("div", "row");
    row.appendChild(el("span", "num", fmtDur(node.total)));
    row.appendChild(el("span", "num", fmtDur(Math.max(node.own, 0))));
    row.appendChild(el("span", "num count", String(node.count)));
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
      th.agg = aggregate(th);
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
    var current = treeBox.querySelector(".row.selected");
    if (current) current.classList.remove("selected");
    if (!selected || selected.kind !== "span") return;
    for (var k = 0; k < treeRows.length; k++) {
      var node = treeRows[k];
      if (node.th === selected.th && node.longest === selected.i) { node.row.classList.add("selected"); break; }
    }
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
      row.appendChild(el("span", "time", "+" + fmtDur(item[0])));
      row.appendChild(el("span", "thread-name", th.name));
      row.appendChild(el("span", "fn sev" + ev.severity[k], STR[ev.label[k]]));
      row.addEventListener("click", function () { select({ kind: "event", th: th, i: k }, true); });
      box.appendChild(row);
    });
    if (all.length > MAX_EVENT_ROWS) box.appendChild(el("div", "row more", "… " + (all.length - MAX_EVENT_ROWS) + " more records (see them in the timeline)"));
  }

  document.querySelectorAll("#tabs button").forEach(function (button) {
    button.addEventListener("click", function () {
      document.querySelectorAll("#tabs button").forEach(function (b) { b.classList.toggle("active", b === button); });
      $("tree").hidden = button.dataset.tab !== "tree";
      $("events").hidden = button.dataset.tab !== "events";
    });
  });

  // --- search ---------------------------------------------------------------------------------

  function setSearch(text) {
    var q = text.trim().toLowerCase();
    search.q = q;
    if (!q) {
      search.hit = null;
      search.count = 0;
    } else {
      var hit = new Uint8Array(nFrames);
      for (var f = 0; f < nFrames; f++) {
        if (STR[D.frameName[f]].toLowerCase().indexOf(q) >= 0 || STR[D.framePath[f]].toLowerCase().indexOf(q) >= 0) hit[f] = 1;
      }
      search.hit = hit;
      var count = 0;
      threads.forEach(function (th) {
        th.rows.forEach(function (row) {
          // Prefix counts: whether a merged block holds a match is one subtraction.
          var hits = row.hits = new Int32Array(row.idx.length + 1);
          for (var k = 0; k < row.idx.length; k++) hits[k + 1] = hits[k] + hit[th.frame[row.idx[k]]];
          count += hits[row.idx.length];
        });
      });
      search.count = count;
    }
    $("search-count").textContent = q ? (search.count ? search.count + " call" + (search.count === 1 ? "" : "s") + " match" + (search.count === 1 ? "es" : "") : "no match") : "";
    revealMatches();
    invalidate();
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

  // Enter: the next matching call after the selected one, in time order per thread.
  function nextMatch() {
    if (!search.hit || !search.count) return;
    var startThread = selected && selected.kind === "span" ? selected.th.index : 0;
    var startSpan = selected && selected.kind === "span" ? selected.i + 1 : 0;
    for (var step = 0; step <= threads.length; step++) {
      var th = threads[(startThread + step) % threads.length];
      for (var i = step === 0 ? startSpan : 0; i < th.n; i++) {
        if (search.hit[th.frame[i]]) { select({ kind: "span", th: th, i: i }, true); return; }
      }
    }
  }

  var searchTimer = 0, searchInput = $("search");
  searchInput.addEventListener("input", function () {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(function () { setSearch(searchInput.value); }, 120);
  });
  searchInput.addEventListener("keydown", function (e) {
    if (e.key === "Enter") { clearTimeout(searchTimer); if (searchInput.value.trim().toLowerCase() !== search.q) setSearch(searchInput.value); nextMatch(); }
    if (e.key === "Escape") { searchInput.value = ""; setSearch(""); }
  });

  // --- header ---------------------------------------------------------------------------------

  function header() {
    $("trace-id").textContent = D.traceId;
    $("trace-source").textContent = D.source || "";
    var records = threads.reduce(function (s, th) { return s + th.records; }, 0);
    var info = [];
    if (D.started !== null) info.push(new Date(D.started * 1000).toLocaleString());
    info.push(records + " records", threads.length + " thread" + (threads.length === 1 ? "" : "s"), fmtDur(D.end) + " recorded");
    if (D.commit) info.push("commit " + D.commit.slice(0, 12));
    if (typeof D.recorderCost === "number") info.push("durations include about " + fmtDur(D.recorderCost * 1e9) + " of recorder cost per recorded call inside (ruvo top takes it out)");
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
        if (typeof rec.since === "number" && D.origin !== null) facts.push("since +" + fmtDur((rec.since - D.origin) * 1e9));
        if (typeof rec.complete_until === "number" && D.origin !== null) facts.push("calls complete until +" + fmtDur((rec.complete_until - D.origin) * 1e9) + ", counted after that (see ruvo top)");
        if (facts.length) box.appendChild(el("p", "facts", facts.join(" · ")));
      });
      box.hidden = false;
    }
  }

  // --- start --------------------------------------------------------------------------------------

  header();
  resize();
  draw();
  var firstPaint = performance.now();
  document.documentElement.setAttribute("data-first-paint-ms", firstPaint.toFixed(1));
  buildTree();
  buildEvents();
  if (window.ResizeObserver) new ResizeObserver(function () { resize(); draw(); }).observe(canvas.parentNode);

  // For scripts and tests: the state, and the actions the page's controls take.
  window.ruvo = {
    data: D,
    threads: threads,
    firstPaintMs: firstPaint,
    view: function () { return { t0: view.t0, t1: view.t1 }; },
    zoomTo: function (t0, t1) { zoomTo(t0, t1); draw(); },
    draw: draw,
    search: function (text) { searchInput.value = text; setSearch(text); draw(); return search.count; },
    spanRect: function (threadIndex, i) {
      var r = spanBox(threads[threadIndex], i), c = canvas.getBoundingClientRect();
      return { x: r.x + c.left, y: r.y + c.top, w: r.w, h: r.h };
    },
    hitTest: function (x, y) { return hitTest(x, y); },
    selected: function () { return selected && { kind: selected.kind, thread: selected.th.index, i: selected.i }; },
    // Colours at points of the window ([[x, y], ...], as spanRect gives),
    // read back in one go.
    pixels: function (points) {
      var image = ctx.getImageData(0, 0, canvas.width, canvas.height), c = canvas.getBoundingClientRect();
      return points.map(function (p) {
        var at = 4 * (Math.floor((p[1] - c.top) * dpr) * canvas.width + Math.floor((p[0] - c.left) * dpr));
        return [image.data[at], image.data[at + 1], image.data[at + 2]];
      });
    },
  };
})();
