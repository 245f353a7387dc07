"""A trace as text, the output of ``ruvo show``: a header, then each
thread's call tree drawn with guides.
"""

from __future__ import annotations

import ast
import functools
import marshal
import struct
import tempfile
import time
import tokenize
from typing import IO, Any, Callable, Iterable, Iterator, Optional

from ..model import Call, Event, TreeBuilder, build_threads, descendants, number
from ..summary import summarize
from ..terminal import visible
from .labels import describe_event, format_duration, format_locals, format_value

__all__ = ["render_trace", "render_trees", "write_trees", "ThreadSpools"]


class _Style:
    def __init__(self, color: bool) -> None:
        self.color = color

    def _wrap(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.color else text

    def dim(self, text: str) -> str:
        return self._wrap("2", text)

    def bold(self, text: str) -> str:
        return self._wrap("1", text)

    def event(self, record: dict, text: str) -> str:
        kind = record.get("type")
        if kind == "log":
            levelno = record.get("levelno")
            levelno = levelno if isinstance(levelno, int) else 0
            return self._wrap("31" if levelno >= 40 else "33" if levelno >= 30 else "36", text)
        if kind == "end_test":
            return self._wrap("32" if record.get("outcome") == "passed" else "31", text)
        return self._wrap("36", text)


_UNICODE_GUIDES = ("├─ ", "└─ ", "│  ", "   ")
_ASCII_GUIDES = ("|- ", "`- ", "|  ", "   ")


def _local_time(timestamp: object) -> str:
    value = number(timestamp)
    if value is None:
        return "?"
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(value))
    except (OverflowError, OSError, ValueError):
        return "?"


def render_trace(
    document: dict,
    *,
    depth: Optional[int] = None,
    values: bool = False,
    threads: Optional[Iterable[str]] = None,
    color: bool = False,
    ascii_only: bool = False,
) -> str:
    """The text of ``ruvo show``: a header, then each thread's call tree.

    ``depth`` limits the nesting shown (1: top-level entries only);
    ``values`` adds arguments, return values and locals; ``threads`` keeps
    the threads whose name or native id is listed.
    """
    all_trees = build_threads(document)
    summary = summarize(document)
    if summary is None:
        raise ValueError("not a trace document")
    trees = all_trees
    if threads is not None:
        wanted = set(threads)
        trees = [tree for tree in all_trees if tree.name in wanted or str(tree.native_id) in wanted]
    return render_trees(document, trees, records=summary.records, threads=summary.threads,
                        any_threads=bool(all_trees), depth=depth, values=values, color=color, ascii_only=ascii_only)


def render_trees(
    fields: dict,
    trees: list,
    *,
    records: int,
    threads: int,
    any_threads: bool = True,
    depth: Optional[int] = None,
    values: bool = False,
    color: bool = False,
    ascii_only: bool = False,
    note: Optional[str] = None,
) -> str:
    """``ruvo show``'s text for call trees already built (perhaps from a
    streamed document, see :func:`ruvo.model.stream_threads`): ``fields``
    are the document's entries besides the records, ``records`` and
    ``threads`` its counts; ``note`` holds lines added under the header."""
    pieces: list[str] = []
    write_trees(pieces.append, fields, trees, records=records, threads=threads, any_threads=any_threads, depth=depth,
                values=values, color=color, ascii_only=ascii_only, note=note)
    return "".join(pieces)


class _Lines:
    """The texts of a tree's entries, without the guides of the levels above."""

    def __init__(self, *, values: bool, color: bool, ascii_only: bool) -> None:
        self.style = _Style(color)
        self.values = values
        self.ascii_only = ascii_only
        self.tee, self.last_tee, self.pipe, self.space = _ASCII_GUIDES if ascii_only else _UNICODE_GUIDES
        self.arrow = "->" if ascii_only else "→"

    def call(self, node: Call) -> str:
        style = self.style
        call, ret = node.call, node.ret
        if not style.color and call is not None and ret is not None:
            # The common line, made without the style's calls or the node's
            # properties: one per call shown.
            start, end = call.get("timestamp"), ret.get("timestamp")
            duration = max(end - start, 0.0) if isinstance(start, (int, float)) and isinstance(end, (int, float)) \
                else None
            return f"{format_duration(duration)}  {visible(call.get('qualname') or call.get('co_name') or '?')}  " \
                   f"{visible(call.get('path') or '?')}"
        label = f"{format_duration(node.duration)}  {style.bold(visible(node.name))}  {style.dim(visible(node.path))}"
        if node.call is None:
            label += style.dim("  (call not recorded)")
        elif node.ret is None:
            label += style.dim("  (no return recorded)")
        return label

    def event(self, record: dict) -> str:
        return self.style.event(record, visible(describe_event(record, self.ascii_only)))

    def arguments(self, node: Call) -> tuple:
        """The lines under a call's own: its arguments, and its closure's values."""
        if not self.values or node.call is None:
            return ()
        dim = self.style.dim
        at_call = node.call.get("locals")
        parameters = parameters_of(node.path) if isinstance(at_call, dict) else None
        if parameters is None or not isinstance(at_call, dict):
            return (dim(f"  args: {visible(format_locals(at_call))}"),)
        # A closure's free variables are locals at call too; they are not arguments.
        arguments = {name: value for name, value in at_call.items() if name in parameters}
        others = {name: value for name, value in at_call.items() if name not in parameters}
        if others:
            return (dim(f"  args: {visible(format_locals(arguments))}"),
                    dim(f"  closure: {visible(format_locals(others))}"))
        return (dim(f"  args: {visible(format_locals(arguments))}"),)

    def returned(self, node: Call) -> Optional[str]:
        """The line closing a call's entries: what it returned, and its locals then."""
        if not self.values or node.ret is None:
            return None
        returned = visible(format_value(node.ret.get("arg"), 80))
        return self.style.dim(f"  {self.arrow} {returned}   locals: {visible(format_locals(node.ret.get('locals')))}")

    def more(self, hidden: int) -> str:
        return self.last_tee + self.style.dim(f"… {hidden} more entr{'y' if hidden == 1 else 'ies'}")


# Lines are written this many at a time: a few hundred kB, not the whole text.
_BATCH = 4096


def write_trees(
    write: Callable[[str], object],
    fields: dict,
    trees: list,
    *,
    records: int,
    threads: int,
    any_threads: bool = True,
    depth: Optional[int] = None,
    values: bool = False,
    color: bool = False,
    ascii_only: bool = False,
    note: Optional[str] = None,
) -> None:
    """:func:`render_trees`, handed to ``write`` a piece at a time.  A tree's
    roots are its nodes, or the lines a :class:`ThreadSpools` builder wrote
    of them while the records were read."""
    lines = _Lines(values=values, color=color, ascii_only=ascii_only)
    style = lines.style
    document = fields
    meta = document.get("meta")
    if not isinstance(meta, dict):
        meta = {}
    batch = [
        style.bold(visible(f"trace {document.get('trace_id')}")),
        visible(f"source: {meta.get('source')}  started: {_local_time(document.get('timestamp'))}"
                f"  records: {records}  threads: {threads}"),
    ]

    def flush() -> None:
        if batch:
            text = "\n".join(batch) + "\n"
            write(text.replace("…", "...").replace("µ", "u") if ascii_only else text)
            batch.clear()

    commit = document.get("current_commit_sha")
    if commit:
        batch.append(visible(f"commit: {commit}"))
    if note:
        batch.extend(visible(line) for line in note.split("\n"))
    for tree in trees:
        batch.append("")
        role = "main thread" if tree.is_main else "thread"
        ident = f", native id {tree.native_id}" if tree.native_id is not None else ""
        plural = "s" if tree.records != 1 else ""
        batch.append(style.bold(f"{role} {visible(tree.name)}") + style.dim(f" ({tree.records} record{plural}{ident})"))
        if not tree.roots:
            batch.append(style.dim("(no records)"))
        if isinstance(tree.roots, _ThreadLines):
            flush()
            for text in tree.roots.texts(tree.hidden, depth, lines):
                write(text.replace("…", "...").replace("µ", "u") if ascii_only else text)
            continue
        for line in _tree_lines(tree, depth, lines):
            batch.append(line)
            if len(batch) >= _BATCH:
                flush()
    if not trees:
        batch.append("")
        batch.append("(no records)" if not any_threads else "(no such thread)")
    flush()


def _tree_lines(tree, depth: Optional[int], lines: _Lines) -> Iterator[str]:
    """The lines of a built tree's nodes, depth-first."""
    tee, last_tee, pipe, space = lines.tee, lines.last_tee, lines.pipe, lines.space
    # Iterative, since user code may nest deeper than this interpreter's
    # recursion limit allows us to.
    work: list[tuple] = [("more", tree.hidden, "")] if tree.hidden else []
    work += [
        ("node", node, "", index == len(tree.roots) - 1 and not tree.hidden, 1)
        for index, node in reversed(list(enumerate(tree.roots)))
    ]
    while work:
        item = work.pop()
        if item[0] == "more":
            _, hidden, inner = item
            yield inner + lines.more(hidden)
            continue
        if item[0] == "return":
            _, text, inner = item
            yield inner + text
            continue
        _, node, prefix, is_last, level = item
        guide = last_tee if is_last else tee
        inner = prefix + (space if is_last else pipe)
        if isinstance(node, Event):
            yield prefix + guide + lines.event(node.record)
            continue
        yield prefix + guide + lines.call(node)
        for text in lines.arguments(node):
            yield inner + text
        returned = lines.returned(node)
        if returned is not None:
            work.append(("return", returned, inner))
        children = node.children
        if (children or node.hidden) and depth is not None and level >= depth:
            hidden = node.hidden + sum(1 + getattr(child, "hidden", 0) for child in descendants(node))
            yield inner + lines.more(hidden)
            continue
        if node.hidden:
            # Entries the filters left out, after the ones they kept.
            work.append(("more", node.hidden, inner))
        for index in range(len(children) - 1, -1, -1):
            work.append(("node", children[index], inner, index == len(children) - 1 and not node.hidden, level + 1))


@functools.lru_cache(maxsize=16)
def _syntax_tree(file: str) -> Optional[ast.AST]:
    try:
        with tokenize.open(file) as source:
            return ast.parse(source.read(), file)
    except (OSError, SyntaxError, ValueError, UnicodeError):
        return None


@functools.lru_cache(maxsize=1024)
def parameters_of(path: str) -> Optional[frozenset]:
    """The parameter names of the function defined at ``file:line`` (the
    line a code object starts on: its first decorator's, if any), read from
    the source; None when the source or a function there cannot be found."""
    file, _, line = path.rpartition(":")
    if not file or not line.isdigit():
        return None
    tree = _syntax_tree(file)
    if tree is None:
        return None
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            decorators = getattr(node, "decorator_list", None)
            first = decorators[0].lineno if decorators else node.lineno
            if int(line) in (first, node.lineno):
                args = node.args
                names = [a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs)]
                names += [a.arg for a in (args.vararg, args.kwarg) if a is not None]
                return frozenset(names)
    return None


# --- threads drawn while their records are read ---------------------------------
# A call's line needs its return (its duration), yet comes before the lines
# of the calls it made; which guide it takes waits on its next sibling; the
# filters may still drop it with all it holds.  So each thread's entries are
# written as they close, children before their parent, to a spool that can
# be cut back; the lines are drawn by reading that spool backwards, and put
# back in order by a second spool.  Memory holds the open calls and a few
# chunks, however many lines the trace makes.

_CHUNK = 256 * 1024
_TRAILER = struct.Struct("<I")


class _Store:
    """One temporary file holding the full chunks of every spool."""

    def __init__(self) -> None:
        self.file: Optional[IO[bytes]] = None
        self.size = 0

    def put(self, data: bytes) -> int:
        if self.file is None:
            self.file = tempfile.TemporaryFile(prefix="ruvo-show-")
        self.file.seek(self.size)
        self.file.write(data)
        offset, self.size = self.size, self.size + len(data)
        return offset

    def get(self, offset: int, size: int) -> bytes:
        assert self.file is not None
        self.file.seek(offset)
        return self.file.read(size)

    def close(self) -> None:
        if self.file is not None:
            self.file.close()
            self.file = None


class _Spool:
    """An append-only byte stream that can be cut back: its last bytes in
    memory, the rest in chunks in the store."""

    def __init__(self, store: _Store) -> None:
        self.store = store
        self.chunks: list[int] = []  # offsets in the store
        self.tail = bytearray()
        self.size = 0

    def write(self, data: bytes) -> None:
        tail = self.tail
        tail += data
        self.size += len(data)
        while len(tail) >= _CHUNK:
            self.chunks.append(self.store.put(bytes(tail[:_CHUNK])))
            del tail[:_CHUNK]

    def truncate(self, size: int) -> None:
        if size >= self.size:
            return
        self.size = size
        flushed = len(self.chunks) * _CHUNK
        if size >= flushed:
            del self.tail[size - flushed:]
            return
        index, keep = divmod(size, _CHUNK)
        self.tail = bytearray(self.store.get(self.chunks[index], keep))
        del self.chunks[index:]

    def read(self, start: int, end: int) -> bytes:
        parts = []
        flushed = len(self.chunks) * _CHUNK
        while start < end and start < flushed:
            index, offset = divmod(start, _CHUNK)
            size = min(_CHUNK - offset, end - start)
            parts.append(self.store.get(self.chunks[index] + offset, size))
            start += size
        if start < end:
            parts.append(bytes(self.tail[start - flushed:end - flushed]))
        return b"".join(parts)

    def append(self, item: object, _dumps=marshal.dumps, _pack=_TRAILER.pack) -> None:
        """One marshalled item, read back by :meth:`backwards`."""
        data = _dumps(item)
        tail = self.tail
        tail += data
        tail += _pack(len(data))
        self.size += len(data) + _TRAILER.size
        if len(tail) >= _CHUNK:
            self.write(b"")

    def backwards(self) -> "_BackwardReader":
        return _BackwardReader(self)


class _BackwardReader:
    """The items of a spool, last first; ``pos`` may be moved back to skip some."""

    def __init__(self, spool: _Spool) -> None:
        self.spool = spool
        self.pos = spool.size
        self.window = b""
        self.start = self.pos  # of the window in the spool

    def _load(self, start: int) -> None:
        start = max(0, start)
        self.window = self.spool.read(start, self.pos)
        self.start = start

    def item(self) -> object:
        pos = self.pos
        if pos - _TRAILER.size < self.start:
            self._load(pos - _CHUNK)
        (size,) = _TRAILER.unpack_from(self.window, pos - _TRAILER.size - self.start)
        begin = pos - _TRAILER.size - size
        if begin < self.start:
            self._load(begin - _CHUNK)
        self.pos = begin
        return marshal.loads(memoryview(self.window)[begin - self.start:pos - _TRAILER.size - self.start])


class _ThreadLines:
    """A thread's entries spooled as they closed, each as (line, lines under
    it, line of its return or None, entries hidden in it, entries below it,
    hidden entries below it, where its entries begin in the spool), or as
    its line alone when there is nothing more."""

    def __init__(self, spool: _Spool) -> None:
        self.spool = spool

    def __bool__(self) -> bool:
        return self.spool.size > 0

    def texts(self, hidden: int, depth: Optional[int], lines: _Lines) -> Iterator[str]:
        """The thread's lines in order, a batch per text; ``hidden``: the
        top-level entries left out."""
        tee, last_tee, pipe, space = lines.tee, lines.last_tee, lines.pipe, lines.space
        reader = self.spool.backwards()
        ordered = _Spool(self.spool.store)  # batches of lines, last batch first
        last_first: list[str] = []
        # Per open level: where its entries begin, its guide, its depth, whether
        # an entry after the one read next was seen, its hidden count, and
        # its own lines, last first, to put out once its entries are read.
        levels: list[list[Any]] = [[0, "", 0, False, hidden, ()]]
        if hidden:
            last_first.append(lines.more(hidden))
        while levels:
            if len(last_first) >= _BATCH:
                last_first.reverse()
                ordered.append("\n".join(last_first) + "\n")
                last_first.clear()
            level = levels[-1]
            if reader.pos <= level[0]:
                last_first.extend(level[5])
                levels.pop()
                continue
            item: Any = reader.item()
            is_last = not level[3] and not level[4]
            level[3] = True
            prefix = level[1]
            if item.__class__ is str:  # an entry with one line and nothing below
                last_first.append(prefix + (last_tee if is_last else tee) + item)
                continue
            line, under, returned, own_hidden, below, hidden_below, begin = item
            inner = prefix + (space if is_last else pipe)
            head = [inner + text for text in reversed(under)]
            head.append(prefix + (last_tee if is_last else tee) + line)
            if returned is not None:
                last_first.append(inner + returned)
            if (below or own_hidden) and depth is not None and level[2] + 1 >= depth:
                last_first.append(inner + lines.more(own_hidden + below + hidden_below))
                reader.pos = begin
                last_first.extend(head)
            else:
                if own_hidden:
                    last_first.append(inner + lines.more(own_hidden))
                if reader.pos > begin:
                    levels.append([begin, inner, level[2] + 1, False, own_hidden, head])
                else:
                    last_first.extend(head)
        if last_first:
            last_first.reverse()
            yield "\n".join(last_first) + "\n"
        batches = ordered.backwards()
        while batches.pos > 0:
            batch = batches.item()
            assert isinstance(batch, str)
            yield batch


class _SpooledThread(TreeBuilder):
    """A thread's builder that writes each kept entry to a spool as it
    closes, holding none of them."""

    def __init__(self, first: float, *, depth: Optional[int], keep, spool: _Spool, lines: _Lines) -> None:
        # Records are held only while their call is open: no need to slim them.
        super().__init__(first, depth=depth, keep=keep, values=True)
        self.spool = spool
        self.lines = lines
        # Per kept open call (and the root), by id: where its entries begin in
        # the spool, how many lie below it, their hidden entries, and whether
        # one is a call.
        self._marks: dict[int, list] = {id(self.root): [0, 0, 0, False]}

    def _event(self, parent: Call, record: dict, now: float) -> None:
        self.spool.append(self.lines.event(record))
        self._marks[id(parent)][1] += 1

    def _open(self, parent: Call, node: Call) -> None:
        self._marks[id(node)] = [self.spool.size, 0, 0, False]

    def _adopt(self, parent: Call, node: Call) -> None:
        mark = self._marks[id(parent)]
        self._marks[id(node)] = mark[:]
        mark[1:] = [0, 0, False]
        node.hidden, parent.hidden = parent.hidden, 0

    def _judge(self, node: Call, parent: Call) -> None:
        begin, below, hidden_below, calls = self._marks.pop(id(node))
        mark = self._marks[id(parent)]
        if self.keep is None or self.keep(node, calls):
            lines = self.lines
            if lines.values or below or node.hidden:
                self.spool.append((lines.call(node), lines.arguments(node), lines.returned(node), node.hidden, below,
                                   hidden_below, begin))
            else:
                self.spool.append(lines.call(node))
            mark[1] += 1 + below
            mark[2] += node.hidden + hidden_below
            mark[3] = True
        else:
            self.spool.truncate(begin)
            parent.hidden += 1 + node.hidden + below

    def finish(self) -> tuple:
        _, last = super().finish()
        return _ThreadLines(self.spool), last


class ThreadSpools:
    """Builders for :func:`ruvo.model.stream_threads` that draw each thread's
    lines as its records are read, keeping them in a temporary file; their
    trees go to :func:`write_trees` with the same options, within this
    context."""

    def __init__(self) -> None:
        self._store = _Store()

    def __enter__(self) -> "ThreadSpools":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._store.close()

    def builder(self, *, values: bool = False, color: bool = False,
                ascii_only: bool = False) -> Callable[..., TreeBuilder]:
        lines = _Lines(values=values, color=color, ascii_only=ascii_only)

        def build(first: float, *, depth: Optional[int] = None, keep=None, values: bool = True) -> TreeBuilder:
            return _SpooledThread(first, depth=depth, keep=keep, spool=_Spool(self._store), lines=lines)

        return build
