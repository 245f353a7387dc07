"""Two traces aligned call by call, and where they part.

Each thread of one trace is paired with a thread of the other (the main
threads, then by name, then in order), and the call trees are aligned level
by level: the calls directly under two aligned calls are matched by function
(qualified name and file, not line, so that traces of different commits
align) with a shortest edit script, so that a call added, removed or moved
shows as a call only in one trace and the rest still lines up.  Aligned
calls then have their recorded values compared: arguments at the call,
return value and locals at the return, as recorded (a cut string or an
omitted item is a value like any other, and ``1`` is not ``True``).

Every difference carries its place in event order (the aligned walk numbers
a call when it begins and again when it ends), so that "first" means the one
that happened first: a helper that returned another value comes before the
caller whose locals then differ.
"""

from __future__ import annotations

import dataclasses
import difflib
import heapq
import math
from dataclasses import dataclass, field
from typing import Callable, Iterator, Optional, Sequence

from .model import Call, ThreadTree, Trace

__all__ = ["Difference", "TraceDiff", "diff_traces", "same_value"]

# Edits the exact alignment of one level may take before it gives way to an
# approximate one (its cost grows with the square of the edits).
MAX_EDITS = 1000
# A timing difference worth showing, at least: this much and this ratio.
TIME_FLOOR = 1e-3
TIME_RATIO = 1.5
# Timing differences kept, the largest first.
TIME_KEPT = 200


@dataclass(eq=False)
class Difference:
    """One place where the traces part.

    ``kind`` is "only_a" or "only_b" (a call, with ``count`` calls in all
    beneath and including it, found in one trace only), "value" (``name``,
    "return" or "argument x" or "local x", recorded as ``a_value`` in one
    and ``b_value`` in the other; an absent name is :data:`ABSENT`), or
    "time" (an aligned call whose duration changed by more than the floor).
    ``parents`` are the aligned calls around it, outermost first, as
    (call in A, call in B) pairs.
    """

    kind: str
    order: int
    thread: str
    a: Optional[Call]
    b: Optional[Call]
    parents: tuple = ()
    name: Optional[str] = None
    a_value: object = None
    b_value: object = None
    count: int = 1

    @property
    def call(self) -> Call:
        """The call the difference is about (A's when it has one)."""
        found = self.a if self.a is not None else self.b
        assert found is not None
        return found

    @property
    def delta(self) -> float:
        """For a timing difference, B's duration less A's, in seconds."""
        if self.a is None or self.b is None:
            return 0.0
        return (self.b.duration or 0.0) - (self.a.duration or 0.0)


class _Absent:
    def __repr__(self) -> str:
        return "<absent>"


ABSENT = _Absent()  # the value side of a name one of the calls did not record


@dataclass(eq=False)
class TraceDiff:
    """What :func:`diff_traces` found: the differences of structure (calls
    only in one trace) and of values, each in event order, and the timing
    differences, largest first."""

    a: Trace
    b: Trace
    structure: list[Difference] = field(default_factory=list)
    values: list[Difference] = field(default_factory=list)
    timing: list[Difference] = field(default_factory=list)
    aligned: int = 0  # calls found in both
    only_a: int = 0  # calls (with everything beneath them) found in A only
    only_b: int = 0
    approximate: bool = False  # a level had too many edits to align exactly
    roots: dict = field(default_factory=dict)  # (0 for A or 1 for B, thread name) -> the thread's roots

    @property
    def same(self) -> bool:
        """Whether the calls and their values are the same (times aside)."""
        return not self.structure and not self.values

    @property
    def first(self) -> Optional[Difference]:
        """The difference of calls or values that happened first."""
        candidates = [found for found in (self.structure[:1] + self.values[:1])]
        return min(candidates, key=lambda found: found.order) if candidates else None

    def summary(self) -> str:
        parts = [f"{self.aligned} call(s) aligned", f"{self.only_a} only in A", f"{self.only_b} only in B",
                 f"{len(self.values)} value(s) changed"]
        if self.timing:
            parts.append(f"{len(self.timing)} timing difference(s) over {_seconds(TIME_FLOOR)}")
        text = ", ".join(parts)
        if self.approximate:
            text += " (some long runs of calls were aligned approximately)"
        return text


def _seconds(value: float) -> str:
    from .render.labels import format_duration

    return format_duration(value)


def same_value(x: object, y: object) -> bool:
    """Whether two decoded values were recorded alike: of the same type,
    with the same items, NaN equal to itself."""
    if type(x) is not type(y):
        return False
    if x.__class__ in _PLAIN:
        return x == y
    if isinstance(x, float):
        assert isinstance(y, float)
        return x == y or (math.isnan(x) and math.isnan(y))
    if isinstance(x, dict):
        assert isinstance(y, dict)
        return x.keys() == y.keys() and all(same_value(value, y[key]) for key, value in x.items())
    if isinstance(x, (list, tuple)):
        assert isinstance(y, (list, tuple))
        return len(x) == len(y) and all(same_value(i, j) for i, j in zip(x, y))
    if dataclasses.is_dataclass(x) and not isinstance(x, type):
        return all(same_value(getattr(x, f.name), getattr(y, f.name)) for f in dataclasses.fields(x))
    try:
        return bool(x == y)
    except Exception:
        return x is y


# Types whose == is the whole comparison (float is not: NaN).
_PLAIN = frozenset({int, str, bool, type(None), bytes})


def _key(call: Call) -> tuple:
    return (call.name, call.file)


def align(xs: Sequence, ys: Sequence, key: Callable = _key) -> tuple[list[tuple[Optional[int], Optional[int]]], bool]:
    """The pairs of an alignment of two sequences by ``key``, in order:
    (i, j) for items matched, (i, None) and (None, j) for items of one side
    only; and whether it is approximate."""
    kx, ky = [key(x) for x in xs], [key(y) for y in ys]
    n, m = len(kx), len(ky)
    start = 0
    while start < n and start < m and kx[start] == ky[start]:
        start += 1
    end_x, end_y = n, m
    while end_x > start and end_y > start and kx[end_x - 1] == ky[end_y - 1]:
        end_x -= 1
        end_y -= 1
    pairs: list[tuple[Optional[int], Optional[int]]] = [(i, i) for i in range(start)]
    middle = _edit_script(kx[start:end_x], ky[start:end_y], MAX_EDITS)
    approximate = middle is None
    if middle is None:
        middle = _approximate(kx[start:end_x], ky[start:end_y])
    pairs.extend((None if i is None else i + start, None if j is None else j + start) for i, j in middle)
    pairs.extend((end_x + offset, end_y + offset) for offset in range(n - end_x))
    return pairs, approximate


def _edit_script(a: Sequence, b: Sequence, max_edits: int) -> Optional[list[tuple[Optional[int], Optional[int]]]]:
    """A shortest edit script (Myers' greedy algorithm) as pairs, or None
    when it takes more than ``max_edits`` edits."""
    n, m = len(a), len(b)
    if n == 0 or m == 0:
        return [(i, None) for i in range(n)] + [(None, j) for j in range(m)]
    offset = max_edits + 1
    v = [0] * (2 * offset + 1)
    trace: list[list[int]] = []
    for d in range(max_edits + 1):
        trace.append(v[offset - d - 1:offset + d + 2])
        for k in range(-d, d + 1, 2):
            if k == -d or (k != d and v[offset + k - 1] < v[offset + k + 1]):
                x = v[offset + k + 1]
            else:
                x = v[offset + k - 1] + 1
            y = x - k
            while x < n and y < m and a[x] == b[y]:
                x += 1
                y += 1
            v[offset + k] = x
            if x >= n and y >= m:
                return _backtrack(trace, n, m)
    return None


def _backtrack(trace: list[list[int]], n: int, m: int) -> list[tuple[Optional[int], Optional[int]]]:
    pairs: list[tuple[Optional[int], Optional[int]]] = []
    x, y = n, m
    for d in range(len(trace) - 1, -1, -1):
        v = trace[d]  # entries for k = -d-1 .. d+1

        def at(k: int, v=v, d=d) -> int:
            return v[k + d + 1]

        k = x - y
        previous = k + 1 if k == -d or (k != d and at(k - 1) < at(k + 1)) else k - 1
        px = at(previous)
        py = px - previous
        while x > px and y > py:
            x, y = x - 1, y - 1
            pairs.append((x, y))
        if d > 0:
            if x == px:
                pairs.append((None, py))
            else:
                pairs.append((px, None))
        x, y = px, py
    pairs.reverse()
    return pairs


def _approximate(a: Sequence, b: Sequence) -> list[tuple[Optional[int], Optional[int]]]:
    """A good alignment when an exact one costs too much."""
    pairs: list[tuple[Optional[int], Optional[int]]] = []
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            pairs.extend(zip(range(i1, i2), range(j1, j2)))
        else:
            pairs.extend((i, None) for i in range(i1, i2))
            pairs.extend((None, j) for j in range(j1, j2))
    return pairs


def _calls_beneath(call: Call) -> int:
    count, stack = 1, list(call.children)
    while stack:
        node = stack.pop()
        if isinstance(node, Call):
            count += 1
            stack.extend(node.children)
    return count


def _pair_threads(xs: list[ThreadTree],
                  ys: list[ThreadTree]) -> list[tuple[Optional[ThreadTree], Optional[ThreadTree]]]:
    """Threads paired: the first of each (the main thread, or the one that
    served the request), then the rest by name, then in order."""
    pairs: list[tuple[Optional[ThreadTree], Optional[ThreadTree]]] = []
    left, right = list(xs), list(ys)
    if left and right:
        pairs.append((left.pop(0), right.pop(0)))
    unmatched = []
    for tree in left:
        match = next((other for other in right if other.name == tree.name), None)
        if match is not None:
            right.remove(match)
            pairs.append((tree, match))
        else:
            unmatched.append(tree)
    for tree in unmatched:
        pairs.append((tree, right.pop(0) if right else None))
    pairs.extend((None, tree) for tree in right)
    return pairs


def _recorded(call: Call, which: str) -> Optional[dict]:
    record = call.call if which == "call" else call.ret
    values = record.get("locals") if record is not None else None
    return values if isinstance(values, dict) else None


class _Walker:
    def __init__(self, result: TraceDiff, time_floor: float, time_ratio: float) -> None:
        self.result = result
        self.order = 0
        self.time_floor = time_floor
        self.time_ratio = time_ratio
        self._timing: list[tuple[float, int, Difference]] = []

    def thread(self, name: str, xs: list, ys: list) -> None:
        # A stack of levels being walked, not recursion: traces of deep
        # recursion are deeper than Python's own limit.
        stack: list = [(self._level(xs, ys), None, None, ())]
        while stack:
            pairs, owner_a, owner_b, parents = stack[-1]
            item = next(pairs, None)
            if item is None:
                stack.pop()
                if owner_a is not None:
                    self.order += 1
                    self._compare_end(name, owner_a, owner_b, parents[:-1])
                continue
            a, b = item
            self.order += 1
            if a is None or b is None:
                lone = a if a is not None else b
                count = _calls_beneath(lone)
                if a is not None:
                    self.result.only_a += count
                else:
                    self.result.only_b += count
                self.result.structure.append(Difference("only_a" if a is not None else "only_b", self.order,
                                                        name, a, b, parents, count=count))
                continue
            self.result.aligned += 1
            self._compare_values(name, a, b, parents, "call", "argument")
            if not a.children and not b.children:
                # Most calls make none: their end comes at once.
                self.order += 1
                self._compare_end(name, a, b, parents)
                continue
            stack.append((self._level(a.children, b.children), a, b, parents + ((a, b),)))

    def _level(self, xs: list, ys: list) -> Iterator[tuple[Optional[Call], Optional[Call]]]:
        xs = [node for node in xs if isinstance(node, Call)]
        ys = [node for node in ys if isinstance(node, Call)]
        pairs, approximate = align(xs, ys)
        self.result.approximate |= approximate
        return ((None if i is None else xs[i], None if j is None else ys[j]) for i, j in pairs)

    def _compare_end(self, name: str, a: Call, b: Call, parents: tuple) -> None:
        if a.ret is not None and b.ret is not None:
            x, y = a.ret.get("arg"), b.ret.get("arg")
            if not same_value(x, y):
                self.result.values.append(Difference("value", self.order, name, a, b, parents, "return", x, y))
        self._compare_values(name, a, b, parents, "return", "local")
        da, db = a.duration, b.duration
        if da is not None and db is not None:
            change = abs(db - da)
            if change >= self.time_floor and max(da, db) >= self.time_ratio * min(da, db):
                found = Difference("time", self.order, name, a, b, parents)
                heapq.heappush(self._timing, (change, -self.order, found))
                if len(self._timing) > TIME_KEPT:
                    heapq.heappop(self._timing)

    def _compare_values(self, name: str, a: Call, b: Call, parents: tuple, which: str, label: str) -> None:
        x, y = _recorded(a, which), _recorded(b, which)
        if x is None or y is None:
            return  # values left out on one side: nothing to compare
        before_x = (_recorded(a, "call") or {}) if which == "return" else None
        before_y = (_recorded(b, "call") or {}) if which == "return" else None
        plain = _PLAIN
        for key in list(x) + [key for key in y if key not in x]:
            vx, vy = x.get(key, ABSENT), y.get(key, ABSENT)
            if vx.__class__ is vy.__class__ and vx.__class__ in plain and vx == vy:
                continue  # the common case, made short
            if before_x is not None and before_y is not None and same_value(before_x.get(key, ABSENT), vx) \
                    and same_value(before_y.get(key, ABSENT), vy):
                continue  # unchanged since the call on both sides: reported there if it differs
            if not same_value(vx, vy):
                self.result.values.append(Difference("value", self.order, name, a, b, parents,
                                                     f"{label} {key}", vx, vy))

    def finish(self) -> None:
        self.result.timing = [found for _, _, found in sorted(self._timing, key=lambda t: (-t[0], -t[1]))]


def diff_traces(a: Trace, b: Trace, *, time_floor: float = TIME_FLOOR, time_ratio: float = TIME_RATIO) -> TraceDiff:
    """Aligns trace ``a`` with trace ``b`` and lists where they differ."""
    result = TraceDiff(a, b)
    walker = _Walker(result, time_floor, time_ratio)
    for tree_a, tree_b in _pair_threads(a.threads, b.threads):
        name = (tree_a or tree_b).name  # type: ignore[union-attr]
        for side, tree in ((0, tree_a), (1, tree_b)):
            if tree is not None:
                result.roots[(side, name)] = tree.roots
        walker.thread(name, tree_a.roots if tree_a else [], tree_b.roots if tree_b else [])
    walker.finish()
    return result


def neighbours(result: TraceDiff, found: Difference) -> tuple[Optional[Call], Optional[Call]]:
    """The calls just before and after the one a difference is about, on
    its side, under the same parent."""
    side = 0 if found.a is not None else 1
    call = found.call
    if found.parents:
        siblings = found.parents[-1][side].calls
    else:
        siblings = [node for node in result.roots.get((side, found.thread), []) if isinstance(node, Call)]
    for index, sibling in enumerate(siblings):
        if sibling is call:
            return (siblings[index - 1] if index else None,
                    siblings[index + 1] if index + 1 < len(siblings) else None)
    return None, None


def iter_all(result: TraceDiff) -> Iterator[Difference]:
    """Differences of calls and values together, in event order."""
    return iter(heapq.merge(result.structure, result.values, key=lambda found: found.order))
