"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const V = require("./load.js")("layout.js", "analysis.js");

const NO_EVENTS = { time: [], record: [], since: [], kind: [], label: [], severity: [], parent: [] };

// main calls work twice (the second returned elsewhere: another frame of
// the same function) and work calls leaf once; a second thread runs leaf.
function page() {
  return {
    strings: ["main", "app.py", "work", "leaf", "app.py:9"],
    frameName: [0, 2, 2, 3],
    framePath: [1, 1, 1, 1],
    end: 100,
    threads: [
      {
        name: "MainThread", nativeId: 1, isMain: true, records: 10,
        spans: {
          // starts as deltas from the previous call's start
          start: [0, 10, 5, 25], dur: [80, 20, 10, 30], depth: [0, 1, 2, 1], frame: [0, 1, 3, 2],
          flagged: [3, 2],
          callLocals: [0, 0, 1, 0], callArg: null, retValue: [0, -1, 0, 0], retLocals: [-1, 0, -1, 0],
        },
        events: Object.assign({}, NO_EVENTS, { time: [50], record: [0], since: [-7], kind: [0], label: [0], severity: [1], parent: [0] }),
      },
      {
        name: "worker", nativeId: 2, isMain: false, records: 2,
        spans: { start: [40], dur: [5], depth: [0], frame: [3], flagged: [], callLocals: [3], callArg: [0], retValue: [0], retLocals: [-1] },
        events: NO_EVENTS,
      },
    ],
  };
}

test("threads as rows of calls by depth, with times and value indexes", () => {
  const [main, worker] = V.prepareThreads(page());
  assert.deepEqual(Array.from(main.start), [0, 10, 15, 40]);
  assert.deepEqual(Array.from(main.end), [80, 30, 25, 70]);
  assert.equal(main.maxDepth, 2);
  assert.deepEqual(main.rows.map((row) => Array.from(row.idx)), [[0], [1, 3], [2]]);
  assert.deepEqual(Array.from(main.rows[1].start), [10, 40]);
  assert.deepEqual(Array.from(main.flags), [0, 0, 0, 2]);
  // 0 is the next new value; n > 0 the value n back; -1 none. The order is
  // per call its locals, argument, return value and locals at return.
  assert.deepEqual(Array.from(main.callLocals), [0, 2, 3, 5]);
  assert.deepEqual(Array.from(main.retValue), [1, -1, 4, 6]);
  assert.deepEqual(Array.from(main.retLocals), [-1, 3, -1, 7]);
  assert.deepEqual(Array.from(main.callArg), [-1, -1, -1, -1]);
  assert.deepEqual(Array.from(main.evRecord), [8]);
  // The count goes on across threads.
  assert.deepEqual([worker.callLocals[0], worker.callArg[0], worker.retValue[0]], [6, 9, 10]);
});

test("the call tree merges calls by caller path and function", () => {
  const D = page();
  const [main] = V.prepareThreads(D);
  const groups = V.frameGroups(D);
  assert.deepEqual(Array.from(groups), [0, 1, 1, 3]);
  const root = V.aggregate(main, groups);
  assert.equal(root.total, 80);
  assert.equal(root.children.size, 1);
  const mainNode = root.children.get(0);
  assert.deepEqual([mainNode.count, mainNode.total, mainNode.own], [1, 80, 30]);
  const work = mainNode.children.get(1);
  // Both calls of work, whichever frame returned: the longest is the second.
  assert.deepEqual([work.count, work.total, work.own, work.longest], [2, 50, 40, 3]);
  assert.deepEqual([...work.children.keys()], [3]);
  assert.equal(work.children.get(3).parent, work);
});

test("threads are stacked and the time span covers what was left out", () => {
  const threads = V.prepareThreads(page());
  const placed = V.place(threads, 100, { head: 20, row: 17, gap: 8 });
  assert.deepEqual(threads.map((th) => [th.top, th.height]), [[0, 79], [79, 45]]);
  assert.equal(placed.height, 124);
  // From the left-out records' start (-7) to the end, 1% on both sides.
  assert.ok(Math.abs(placed.t0 - -8.07) < 1e-9 && Math.abs(placed.t1 - 101.07) < 1e-9, JSON.stringify(placed));
});

test("search matches names and paths without case, counted per call", () => {
  const D = page();
  const threads = V.prepareThreads(D);
  assert.deepEqual(Array.from(V.matchFrames(D, "lea")), [0, 0, 0, 1]);
  assert.equal(V.countMatches(threads, V.matchFrames(D, "lea")), 2);
  assert.deepEqual(Array.from(threads[0].rows[2].hits), [0, 1]);
  assert.equal(V.countMatches(threads, V.matchFrames(D, "app.py")), 5);
  assert.equal(V.countMatches(threads, V.matchFrames(D, "nothing")), 0);
});

test("durations and axis labels", () => {
  assert.deepEqual([V.fmtDur(null), V.fmtDur(1500), V.fmtDur(250000), V.fmtDur(2.5e6), V.fmtDur(3.2e9)],
    ["?", "1.5 µs", "250 µs", "2.50 ms", "3.20 s"]);
  assert.equal(V.fmtAxis(1262800000, 1e8), "1263 ms");
  assert.equal(V.fmtAxis(1250000000, 5e7), "1250 ms");
  assert.equal(V.fmtAxis(1262800000, 1e9), "1 s");
  assert.equal(V.fmtAxis(1500, 500), "1500 ns");
  assert.equal(V.fmtAxis(2500, 1000), "3 µs");
  assert.deepEqual([V.niceStep(0.7), V.niceStep(130), V.niceStep(4000)], [1, 200, 5000]);
  assert.equal(V.lowerBound([1, 3, 3, 5], 3), 1);
  assert.equal(V.lowerBound([1, 3, 3, 5], 6), 4);
});

test("stepping goes through the calls of all threads in time order", () => {
  const D = page();
  const threads = V.prepareThreads(D);
  const order = [];
  for (let at = V.step(threads, null, 1); at; at = V.step(threads, at, 1)) order.push([at.thread, at.i]);
  // The worker's call starts with the main thread's last one: thread order breaks the tie.
  assert.deepEqual(order, [[0, 0], [0, 1], [0, 2], [0, 3], [1, 0]]);
  const back = [];
  for (let at = V.step(threads, null, -1); at; at = V.step(threads, at, -1)) back.push([at.thread, at.i]);
  assert.deepEqual(back, order.slice().reverse());

  // The same function: work (frames 1 and 2, one group) and leaf.
  const groups = V.frameGroups(D);
  const byGroup = threads.map((th) => V.callsByGroup(th, groups, D.frameName.length));
  assert.deepEqual(Array.from(byGroup[0].offset), [0, 1, 3, 3, 4]);
  assert.deepEqual(Array.from(byGroup[0].idx), [0, 1, 3, 2]);
  assert.deepEqual(V.step(threads, { thread: 0, i: 1 }, 1, byGroup, 1), { thread: 0, i: 3 });
  assert.equal(V.step(threads, { thread: 0, i: 3 }, 1, byGroup, 1), null);
  assert.deepEqual(V.step(threads, { thread: 0, i: 3 }, -1, byGroup, 1), { thread: 0, i: 1 });
  assert.deepEqual(V.step(threads, { thread: 0, i: 2 }, 1, byGroup, 3), { thread: 1, i: 0 });
  assert.deepEqual(V.step(threads, { thread: 1, i: 0 }, -1, byGroup, 3), { thread: 0, i: 2 });
  assert.equal(V.step(threads, { thread: 0, i: 0 }, -1, byGroup, 0), null);
});

test("axis labels take the unit the times reach, and count from the first tick when zoomed in", () => {
  assert.deepEqual(V.axisTicks(1262750000, 1263100000, 1e5).map((t) => t[1]), ["1.2628 s", "+100 µs", "+200 µs"]);
  assert.deepEqual(V.axisTicks(-5e7, 2.6e9, 5e8).map((t) => t[1]), ["0.0 s", "0.5 s", "1.0 s", "1.5 s", "2.0 s", "2.5 s"]);
  assert.deepEqual(V.axisTicks(0, 5e7, 1e7).map((t) => t[1]), ["0 ms", "10 ms", "20 ms", "30 ms", "40 ms"]);
  assert.deepEqual(V.axisTicks(1.25e6, 1.254e6, 1e3).map((t) => t[1]), ["1.250 ms", "1.251 ms", "1.252 ms", "1.253 ms"]);
  assert.deepEqual(V.axisTicks(1.2e6, 1.2004e6, 200).map((t) => t[1]), ["1.2000 ms", "+200 ns"]);
});

test("the function table counts as ruvo top: recursion once in total, own less callees, untimed calls without time", () => {
  const D = page();
  const threads = V.prepareThreads(D);
  const rows = V.functionTable(threads, V.frameGroups(D), D.frameName.length);
  const byGroup = Object.fromEntries(rows.map((r) => [r.group, [r.calls, r.total, r.own, r.thread, r.i]]));
  // work's second call has no return: a call, without time, so main keeps its 30 in own time.
  assert.deepEqual(byGroup, { 0: [1, 80, 60, 0, 0], 1: [2, 20, 10, 0, 1], 3: [2, 15, 15, 0, 2] });

  const R = {
    strings: ["f", "g", "r.py"], frameName: [0, 1], framePath: [2, 2], end: 100,
    threads: [{
      name: "MainThread", nativeId: 1, isMain: true, records: 6,
      spans: { start: [0, 10, 10], dur: [100, 50, 10], depth: [0, 1, 2], frame: [0, 0, 1], flagged: [],
        callLocals: [0, 0, 0], callArg: null, retValue: [0, 0, 0], retLocals: [0, 0, 0] },
      events: NO_EVENTS,
    }],
  };
  const rec = V.functionTable(V.prepareThreads(R), V.frameGroups(R), 2);
  assert.deepEqual(rec.map((r) => [r.group, r.calls, r.total, r.own]), [[0, 2, 100, 90], [1, 1, 10, 10]]);
});

test("the flame graph merges calls by caller path, as wide as their total, the narrow left out", () => {
  const D = page();
  const threads = V.prepareThreads(D);
  const groups = V.frameGroups(D);
  threads.forEach((th) => { th.agg = V.aggregate(th, groups); });
  const root = V.flameRoot(threads);
  assert.equal(root.total, 85);
  const name = (b) => (b.node.frame >= 0 ? D.strings[D.frameName[b.node.frame]] : b.node.label);
  const shape = (boxes) => boxes.map((b) => [name(b), b.depth, b.x, b.w, b.thread && b.thread.name]).sort();
  assert.deepEqual(shape(V.flameLayout(root, 850, 1)), [
    ["MainThread", 1, 0, 800, "MainThread"], ["all threads", 0, 0, 850, null], ["leaf", 2, 800, 50, "worker"],
    ["leaf", 4, 0, 100, "MainThread"], ["main", 2, 0, 800, "MainThread"], ["work", 3, 0, 500, "MainThread"],
    ["worker", 1, 800, 50, "worker"]]);
  assert.deepEqual(shape(V.flameLayout(root, 850, 60)).map((b) => b[0]), ["MainThread", "all threads", "leaf", "main", "work"]);
  // A tree node's calls, in time order: both calls of work.
  const work = threads[0].agg.children.get(0).children.get(1);
  assert.deepEqual(Array.from(V.callsOfNode(threads[0], work)), [1, 3]);
  assert.deepEqual(Array.from(V.callsOfNode(threads[1], threads[1].agg.children.get(3))), [0]);
});

test("search matches are visited longest first, what ran while importing last", () => {
  const D = page();
  const threads = V.prepareThreads(D);
  const hit = Uint8Array.from([0, 1, 1, 1]);
  const pairs = (r) => Array.from(r.thread, (t, k) => [t, r.i[k]]);
  assert.deepEqual(pairs(V.rankMatches(threads, hit, new Uint8Array(4))), [[0, 3], [0, 1], [0, 2], [1, 0]]);
  // work's first call (frame 1) as a module body run from main: it and the leaf it called go last.
  assert.deepEqual(pairs(V.rankMatches(threads, hit, Uint8Array.from([0, 1, 0, 0]))), [[0, 3], [1, 0], [0, 1], [0, 2]]);
  // A module body at the top is the program itself, not an import.
  assert.deepEqual(pairs(V.rankMatches(threads, Uint8Array.from([1, 0, 0, 1]), Uint8Array.from([1, 0, 0, 0]))), [[0, 0], [0, 2], [1, 0]]);
});
