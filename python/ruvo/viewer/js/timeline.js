// The timeline: every thread's calls as a flame chart on one canvas, with
// its records above, zoomed and panned by mouse. The selection and search
// it draws belong to the page (`S`); a click hands a call to S.select.
(function (exports) {
  "use strict";

  var L = exports;

  exports.timeline = function (S, doc) {
    var D = S.D, STR = D.strings, threads = S.threads, search = S.search, frameColor = S.frameColor;
    var AXIS_H = 22, HEAD_H = 20, ROW_H = 17, GAP = 8, MIN_W = 2;
    var FONT = "11px system-ui, -apple-system, 'Segoe UI', sans-serif";
    var SEVERITY_COLOR = ["#5b6b8c", "#e08a00", "#d32f2f", "#2e9d48"];
    var HIT = "#ff8c1a", MISS = "#dde1e8", MISS_TEXT = "#9aa3b5";

    var canvas = doc.getElementById("flame"), ctx = canvas.getContext("2d"), tip = doc.getElementById("tip");
    var width = 0, height = 0, dpr = 1, scrollY = 0;
    var labelWidth = new Map();
    var pending = false;

    var placed = L.place(threads, D.end, { head: HEAD_H, row: ROW_H, gap: GAP });
    var totalHeight = placed.height;
    var full = { t0: placed.t0, t1: placed.t1 };
    var view = { t0: full.t0, t1: full.t1 };

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
      drawMarks(scale);
      drawSelection(scale);
      ctx.restore();
      drawAxis(scale);
    }

    function gridStep(scale) { return L.niceStep(110 / scale); }

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
      L.axisTicks(view.t0, view.t1, step).forEach(function (tick) {
        var x = Math.round((tick[0] - view.t0) * scale);
        ctx.fillRect(x, AXIS_H - 6, 1, 5);
        ctx.fillText(tick[1], x + 3, 9);
      });
    }

    // A row of calls, merging what is narrower than MIN_W pixels into one
    // block per pixel: a binary search skips everything else that starts in
    // that pixel, so the cost follows the canvas width, not the trace size.
    function drawRow(th, d, y, scale) {
      var row = th.rows[d], rs = row.start, re = row.end, idx = row.idx, n = idx.length;
      var t0 = view.t0, t1 = view.t1, hits = search.hit ? row.hits : null;
      var i = L.lowerBound(re, t0);
      while (i < n && rs[i] <= t1) {
        var x0 = (rs[i] - t0) * scale, x1 = (re[i] - t0) * scale;
        if (x1 - x0 >= MIN_W) {
          drawSpan(th, idx[i], x0, x1, y, hits ? hits[i + 1] - hits[i] > 0 : null);
          i++;
          continue;
        }
        var px = Math.floor(x0);
        var j = L.lowerBound(rs, t0 + (px + 1) / scale, i + 1);
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
      var label = L.label(S.spanName(th, i));
      var fullWidth = labelWidth.get(label);
      if (fullWidth === undefined) { fullWidth = ctx.measureText(label).width; labelWidth.set(label, fullWidth); }
      var avail = w - 6;
      if (fullWidth > avail) {
        var keep = Math.floor(label.length * avail / fullWidth) - 1;
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
      var lastX = -10, i = L.lowerBound(times, t0 - 4 / scale);
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

    // Calls a diff marked (S.marks: {th, i, kind}): outlined in the kind's colour.
    var MARK_COLOR = { only: "#d32f2f", changed: "#e08a00", moved: "#7b3fb8" };
    function drawMarks(scale) {
      if (!S.marks) return;
      ctx.lineWidth = 2;
      for (var k = 0; k < S.marks.length; k++) {
        var m = S.marks[k], th = m.th;
        if (th.end[m.i] < view.t0 || th.start[m.i] > view.t1) continue;
        var r = spanBox(th, m.i, scale);
        if (r.y + ROW_H < AXIS_H || r.y > height) continue;
        ctx.strokeStyle = MARK_COLOR[m.kind] || MARK_COLOR.changed;
        ctx.strokeRect(Math.max(r.x, -2), r.y, Math.max(Math.min(r.w, width + 4), 3), ROW_H - 1);
      }
    }

    function drawSelection(scale) {
      if (!S.selected || S.selected.kind !== "span") return;
      var r = spanBox(S.selected.th, S.selected.i, scale);
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
          for (var i = L.lowerBound(times, t - tol); i < th.evCount && times[i] <= t + tol; i++) {
            if (best < 0 || Math.abs(times[i] - t) < Math.abs(times[best] - t)) best = i;
          }
          return best < 0 ? null : { kind: "event", th: th, i: best };
        }
        var d = Math.floor((ly - HEAD_H) / ROW_H);
        if (d > th.maxDepth) return null;
        var row = th.rows[d], slack = 3 / scale;
        var j = L.lowerBound(row.end, t - slack);
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

    // A call stepped to: the zoom stays, the view pans only when the call
    // is not in it, and zooms out only when the call is wider than it.
    function follow(th, i) {
      var range = view.t1 - view.t0, dur = th.end[i] - th.start[i];
      if (dur > range * 0.9) {
        var pad = dur * 0.1;
        zoomTo(th.start[i] - pad, th.end[i] + pad);
      } else if (th.start[i] < view.t0 || th.end[i] > view.t1) {
        var mid = (th.start[i] + th.end[i]) / 2;
        zoomTo(mid - range / 2, mid + range / 2);
      }
      scrollIntoView(th.top + HEAD_H + th.depth[i] * ROW_H);
    }

    // A call with what surrounds it: the window of its caller (or its
    // caller's caller, for a call that fills its caller), so that the calls
    // before and after it stay in view.
    function showInContext(th, i, around) {
      var dur = th.end[i] - th.start[i], t0 = th.start[i] - dur, t1 = th.end[i] + dur;
      if (around >= 0) {
        t0 = Math.min(t0, th.start[around]);
        t1 = Math.max(t1, th.end[around]);
      }
      var pad = (t1 - t0) * 0.05;
      zoomTo(t0 - pad, t1 + pad);
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
        if (found) S.select(found, false);
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
        text = L.fmtDur(S.spanDuration(found.th, found.i)) + "  " + S.spanName(found.th, found.i) + "  " + S.spanPath(found.th, found.i);
      } else {
        text = STR[found.th.raw.events.label[found.i]];
      }
      tip.textContent = text;
      tip.hidden = false;
      tip.style.left = Math.min(p.x + 12, Math.max(0, width - tip.offsetWidth - 4)) + "px";
      tip.style.top = (p.y + 16) + "px";
    }

    doc.getElementById("reset").addEventListener("click", function () { zoomTo(full.t0, full.t1); scrollY = 0; });
    window.addEventListener("resize", function () { resize(); invalidate(); });
    // An event's record brought into view, at the zoom the timeline has.
    function showEvent(th, k) {
      var t = th.evTime[k], range = view.t1 - view.t0;
      if (t < view.t0 || t > view.t1) zoomTo(t - range / 2, t + range / 2);
      scrollIntoView(th.top);
    }

    function pixels(points) {
      var image = ctx.getImageData(0, 0, canvas.width, canvas.height), c = canvas.getBoundingClientRect();
      return points.map(function (p) {
        var at = 4 * (Math.floor((p[1] - c.top) * dpr) * canvas.width + Math.floor((p[0] - c.left) * dpr));
        return [image.data[at], image.data[at + 1], image.data[at + 2]];
      });
    }

    function spanRect(th, i) {
      var r = spanBox(th, i), c = canvas.getBoundingClientRect();
      return { x: r.x + c.left, y: r.y + c.top, w: r.w, h: r.h };
    }

    return {
      canvas: canvas, resize: resize, draw: draw, invalidate: invalidate, zoomTo: zoomTo,
      showSpan: showSpan, follow: follow, showInContext: showInContext, showEvent: showEvent, hitTest: hitTest, spanRect: spanRect, pixels: pixels,
      view: function () { return { t0: view.t0, t1: view.t1 }; },
    };
  };
})(ruvoViewer);
