#!/usr/bin/env python3
"""How the trace viewer copes with a big trace: page size, time to first
paint and redraw times in headless Chromium.

    python benchmarks/viewer.py                # 500,000 calls: a 1,000,000-record trace
    python benchmarks/viewer.py --calls 5000   # a quick run

Records a real program under ``ruvo run --lightweight-repr`` (a loop calling
a small function ``--calls`` times, so twice as many records), writes its
page with ``ruvo view``, then opens the page in ``chromium --headless`` with a
script appended that times redraws (each followed by reading the canvas
back, which makes it really raster) and the first value shown. Uses the ``ruvo``
importable by this interpreter and the ``chromium`` on PATH.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PROGRAM = '''
def small(i):
    return i + 1


def main(calls):
    total = 0
    for _ in range(calls):
        total = small(total)
    return total


main({calls})
'''

# Appended to the page: measures, then writes the figures into the DOM for
# --dump-dom to carry out.
PROBE = """<script>
(function () {
  var out = {firstPaintMs: window.ruvo.firstPaintMs, readyMs: performance.now()};
  try {
    var R = window.ruvo, th = R.threads[0], canvas = document.getElementById("flame");
    function frame() { R.draw(); R.pixels([[1, 1]]); }
    function timed(n, step) {
      var t = performance.now();
      for (var k = 0; k < n; k++) { step(k); frame(); }
      return (performance.now() - t) / n;
    }
    var whole = R.view();
    out.drawWholeMs = timed(20, function () {});
    var span = (whole.t1 - whole.t0);
    out.panWholeMs = timed(40, function (k) { R.zoomTo(whole.t0 + k * span / 200, whole.t1 + k * span / 200); });
    var mid = th.start[th.n >> 1];
    out.panZoomedMs = timed(40, function (k) { R.zoomTo(mid + k * 5e4, mid + 2e6 + k * 5e4); });
    out.panDeepMs = timed(40, function (k) { R.zoomTo(mid + k * 1e3, mid + 5e4 + k * 1e3); });
    var i = th.n >> 1, r = R.spanRect(0, i), t = performance.now();
    var opts = {bubbles: true, clientX: r.x + Math.max(r.w, 1) / 2, clientY: r.y + r.h / 2, button: 0};
    canvas.dispatchEvent(new MouseEvent("mousedown", opts));
    canvas.dispatchEvent(new MouseEvent("mouseup", opts));
    out.firstValueMs = performance.now() - t;
    out.details = document.getElementById("details").innerText.slice(0, 200);
    out.searchMs = (function () {
      var t0 = performance.now(); out.matches = R.search("small"); return performance.now() - t0;
    })();
    out.spans = th.n;
  } catch (e) {
    out.error = String(e && e.stack || e);
  }
  var pre = document.createElement("pre");
  pre.id = "ruvo-bench";
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
})();
</script>
"""


def run(cmd: list, cwd: Path, env: dict) -> float:
    started = time.perf_counter()
    completed = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    if completed.returncode != 0:
        sys.exit(f"failed: {' '.join(map(str, cmd))}\n{completed.stdout}\n{completed.stderr}")
    return time.perf_counter() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=500_000, help="calls of the small function (default 500000)")
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    parser.add_argument("--out", type=Path, help="also write the figures to this JSON file")
    options = parser.parse_args()

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    with tempfile.TemporaryDirectory(prefix="ruvo-viewer-bench-") as tmp:
        work = Path(tmp)
        (work / "loop.py").write_text(PROGRAM.format(calls=options.calls))
        record_s = run([sys.executable, "-m", "ruvo", "run", "--lightweight-repr", "loop.py"], work, env)
        page = work / "page.html"
        view_s = run([sys.executable, "-m", "ruvo", "view", "-o", str(page)], work, env)
        text = page.read_text(encoding="utf-8")
        sizes = {name: len(body.encode()) for name, body in
                 re.findall(r'<script[^>]* id="(ruvo-[a-z]+)">(.*?)</script>', text, re.S)}
        probed = work / "probed.html"
        probed.write_text(text.replace("</body>", PROBE + "</body>"), encoding="utf-8")
        started = time.perf_counter()
        completed = subprocess.run(
            [options.chromium, "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1400,900",
             "--dump-dom", probed.as_uri()],
            capture_output=True, text=True, timeout=600)
        browser_s = time.perf_counter() - started
        found = re.search(r'<pre id="ruvo-bench">(.*?)</pre>', completed.stdout, re.S)
        if not found:
            sys.exit(f"no figures from chromium:\n{completed.stderr[-2000:]}")
        import html

        figures = json.loads(html.unescape(found.group(1)))
    if "error" in figures:
        sys.exit(f"the probe failed: {figures['error']}")
    result = {
        "calls": options.calls,
        "records": 2 * options.calls + 4,
        "page_bytes": len(text.encode()),
        "data_bytes": sizes.get("ruvo-data"),
        "values_bytes": sizes.get("ruvo-values"),
        "record_s": round(record_s, 2),
        "ruvo_view_s": round(view_s, 2),
        "chromium_run_s": round(browser_s, 2),
        **{key: round(value, 1) if isinstance(value, float) else value for key, value in figures.items()},
    }
    width = max(map(len, result))
    for key, value in result.items():
        print(f"{key:<{width}}  {value}")
    if options.out:
        options.out.write_text(json.dumps(result, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
