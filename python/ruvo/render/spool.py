"""Threads drawn while their records are read, for ``ruvo show``.

A call's line needs its return (its duration), yet comes before the lines
of the calls it made; which guide it takes waits on its next sibling; the
filters may still drop it with all it holds.  So each thread's entries are
written as they close, children before their parent, to a spool that can
be cut back; the lines are drawn by reading that spool backwards, and put
back in order by a second spool.  Memory holds the open calls and a few
chunks, however many lines the trace makes.
"""

from __future__ import annotations

import marshal
import struct
import tempfile
from typing import IO, Any, Callable, Iterator, Optional

from ..model import Call, TreeBuilder
from .lines import BATCH, Lines

__all__ = ["ThreadLines", "ThreadSpools"]

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


class ThreadLines:
    """A thread's entries spooled as they closed, each as (line, lines under
    it, line of its return or None, entries hidden in it, entries below it,
    hidden entries below it, where its entries begin in the spool), or as
    its line alone when there is nothing more."""

    def __init__(self, spool: _Spool) -> None:
        self.spool = spool

    def __bool__(self) -> bool:
        return self.spool.size > 0

    def texts(self, hidden: int, depth: Optional[int], lines: Lines) -> Iterator[str]:
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
            if len(last_first) >= BATCH:
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

    def __init__(self, first: float, *, depth: Optional[int], keep, spool: _Spool, lines: Lines) -> None:
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
        if self.keep is None or self.keep(node, calls, parent is self.root):
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
        return ThreadLines(self.spool), last


class ThreadSpools:
    """Builders for :func:`ruvo.stream.stream_threads` that draw each
    thread's lines as its records are read, keeping them in a temporary
    file; their trees go to :func:`ruvo.render.text.write_trees` with the
    same options, within this context."""

    def __init__(self) -> None:
        self._store = _Store()

    def __enter__(self) -> "ThreadSpools":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._store.close()

    def builder(self, *, values: bool = False, color: bool = False,
                ascii_only: bool = False) -> Callable[..., TreeBuilder]:
        lines = Lines(values=values, color=color, ascii_only=ascii_only)

        def build(first: float, *, depth: Optional[int] = None, keep=None, values: bool = True) -> TreeBuilder:
            return _SpooledThread(first, depth=depth, keep=keep, spool=_Spool(self._store), lines=lines)

        return build
