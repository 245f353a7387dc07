"""Stored trace documents read record by record.

A trace of a million records decodes into gigabytes of dicts; the views
that need little of it (``ruvo show``, ``ruvo top``) read the encoded
document a record at a time instead, and build only the trees they draw.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Iterator, Optional

try:
    from . import _skim
except ImportError:  # a build without the native reader decodes records in full
    _skim = None  # type: ignore[assignment]

if TYPE_CHECKING:
    from .model import Call, TreeBuilder

__all__ = ["SKIMMED_FIELDS", "StreamedTrace", "iter_records", "stream_threads"]

class _Deferred(tuple):
    """An extension value (code, data) left undecoded."""

    __slots__ = ()


def _defer(code: int, data: bytes, _new=tuple.__new__) -> _Deferred:
    return _new(_Deferred, (code, data))


def _undefer(value: object) -> object:
    """``value`` with the extension values :func:`_defer` left decoded."""
    from .decode import _ext_hook

    if isinstance(value, _Deferred):
        return _ext_hook(*value)
    if isinstance(value, dict):
        return {_undefer(key): _undefer(item) for key, item in value.items()}
    if isinstance(value, tuple):
        return tuple(_undefer(item) for item in value)
    return value


def iter_records(streams, fields: dict, lists: Optional[list] = None, *,
                 values: bool = True, check: bool = True) -> Iterator[tuple[object, dict]]:
    """Each record of the encoded documents read from ``streams`` (binary
    files, in save order), with the key of its list (None for
    ``frames_of_interest``, else the thread key of ``frames``).  Every other
    entry of the first document lands in ``fields`` as it is read (most come
    after the records), and each list's key and length in ``lists``.

    Without ``values`` the arguments, return values and locals of calls are
    left to the reader's discretion: their extension values (objects written
    by repr) stay undecoded, which saves decoding each one.  Plugin records
    are decoded in full either way.

    With ``check``, a record the views could not draw raises
    :class:`ruvo.checks.DocumentDamaged` saying which one and why (without
    it, records that are not maps are passed over)."""
    import msgpack

    from .checks import check_record
    from .decode import _ext_hook


    def keep(record: object, position: int, thread: object) -> bool:
        if check:
            _check(check_record(record), position, thread)
            return True
        return isinstance(record, dict)

    if not values and _skim is not None:
        for index, stream in enumerate(streams):
            yield from _Skimmed(stream, keep if not check else None).records(index, fields, lists)
        return
    for index, stream in enumerate(streams):
        unpacker = msgpack.Unpacker(stream, raw=False, strict_map_key=False, ext_hook=_ext_hook if values else _defer,
                                    unicode_errors="replace", use_list=False, max_buffer_size=2**31 - 1)
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames_of_interest" or key == "frames":
                # The main thread's one list, or a map of the other threads' lists.
                main = key == "frames_of_interest"
                for _ in range(1 if main else unpacker.read_map_header()):
                    thread = None if main else (_thread_key(unpacker.unpack()) if check else unpacker.unpack())
                    length = unpacker.read_array_header()
                    if lists is not None:
                        lists.append((thread, length))
                    for position in range(length):
                        record = unpacker.unpack()
                        if keep(record, position, thread):
                            yield thread, record if values or record.get("type") == "frame" else _undefer(record)
            elif index == 0:
                fields[key] = unpacker.unpack() if values else _undefer(unpacker.unpack())
            else:
                unpacker.skip()


def _thread_key(key: object) -> object:
    if key.__class__ is not int or key < 0:
        from .checks import DocumentDamaged

        raise DocumentDamaged(f"a thread of its frames entry is keyed by {key!r}, not a thread id")
    return key


def _check(problem: Optional[str], index: int, thread: object) -> None:
    if problem is not None:
        from .checks import DocumentDamaged

        where = "the main thread's" if thread is None else f"thread {thread!r}'s"
        raise DocumentDamaged(f"record {index + 1} of {where} records: {problem}")


# What the views that skip values read of a frame record.
SKIMMED_FIELDS = ("type", "event", "frame_id", "timestamp", "qualname", "co_name", "path", "thread",
                  "thread_native_id")


class _Skimmed:
    """An encoded document read a chunk at a time by the native reader: frame
    records come as dicts of :data:`SKIMMED_FIELDS` only, the others decoded
    in full, as :func:`iter_records` gives them without values."""

    CHUNK = 1 << 20
    BATCH = 4096

    def __init__(self, stream, keep=None) -> None:
        import msgpack

        from .decode import _ext_hook

        self.stream = stream
        self.keep = keep  # in place of the checks, what to pass on
        self.buffer = b""
        self.pos = 0
        self.base = 0  # the document's offset of buffer[0], for error messages
        self.unpackb = functools.partial(msgpack.unpackb, raw=False, strict_map_key=False, ext_hook=_ext_hook,
                                         unicode_errors="replace", use_list=False)

    def _more(self) -> None:
        # Reading at least what is held makes a record larger than a chunk
        # cost linear time to gather.
        data = self.stream.read(max(self.CHUNK, len(self.buffer) - self.pos))
        if not data:
            raise ValueError(f"the document ends inside a value, at byte {self.base + len(self.buffer)}")
        self.base += self.pos
        self.buffer = self.buffer[self.pos:] + data
        self.pos = 0

    def _call(self, function, *args):
        try:
            return function(self.buffer, self.pos, *args)
        except ValueError as error:
            if len(error.args) == 2 and isinstance(error.args[1], int):
                raise ValueError(f"{error.args[0]} at byte {self.base + error.args[1]}") from None
            raise

    def _header(self, kind: str) -> int:
        while True:
            found = self._call(_skim.header)
            if found is not None:
                break
            self._more()
        if found[0] != kind:
            raise ValueError(f"expected a MessagePack {kind} at byte {self.base + self.pos}")
        self.pos = found[2]
        return found[1]

    def _end(self) -> int:
        while True:
            end = self._call(_skim.skip)
            if end >= 0:
                return end
            self._more()

    def _value(self) -> object:
        end = self._end()
        value = self.unpackb(self.buffer[self.pos:end])
        self.pos = end
        return value

    def _records(self, key: object, length: int) -> Iterator[tuple[object, dict]]:
        from .checks import check_record

        unpackb = self.unpackb
        index = 0
        while length:
            batch, self.pos = self._call(_skim.skim, min(length, self.BATCH), SKIMMED_FIELDS)
            if not batch:
                self._more()
                continue
            length -= len(batch)
            for record in batch:
                if record.__class__ is bytes:
                    record = unpackb(record)
                if self.keep is not None:
                    if not self.keep(record, index, key):
                        continue
                else:
                    problem = check_record(record)
                    if problem is not None:
                        _check(problem, index, key)
                index += 1
                yield key, record

    def records(self, index: int, fields: dict, lists: Optional[list]) -> Iterator[tuple[object, dict]]:
        for _ in range(self._header("map")):
            key = self._value()
            if key == "frames_of_interest" or key == "frames":
                main = key == "frames_of_interest"
                for _ in range(1 if main else self._header("map")):
                    thread = None if main else (self._value() if self.keep is not None else _thread_key(self._value()))
                    length = self._header("array")
                    if lists is not None:
                        lists.append((thread, length))
                    yield from self._records(thread, length)
            elif index == 0:
                fields[key] = self._value()
            else:
                self.pos = self._end()


@dataclass(eq=False)
class StreamedTrace:
    fields: dict  # the document's entries other than the records
    trees: list  # ThreadTree of each thread read, ordered as build_threads orders them
    records: int  # of every thread, read or not
    threads: int
    names: set  # the name and the native id (as text) of every thread, read or not
    tally: Optional[dict] = None  # the "tally" record, when a thread read holds it


def _no_record(record: dict) -> None:
    raise AssertionError("no thread has taken a record yet")


def stream_threads(streams, *, depth: Optional[int] = None, keep: Optional[Callable[[Call, bool, bool], bool]] = None,
                   values: bool = True,
                   wanted: Optional[Callable[[str, Optional[int]], bool]] = None,
                   builder: Optional[Callable[..., TreeBuilder]] = None) -> StreamedTrace:
    """The call trees of encoded documents read record by record, holding
    only what ``depth`` and ``keep`` let through (see
    :class:`ruvo.model.TreeBuilder`).  ``wanted(name, native_id)`` picks the
    threads to build; without ``values`` calls keep no arguments, return
    values or locals.  ``builder(first, depth=, keep=, values=)`` makes each
    thread's builder (a TreeBuilder by default); its ``finish()`` gives the
    thread's roots."""
    # Imported here: ruvo.model, which these trees are made of, offers this
    # module's names too.
    from .model import TreeBuilder, finish_threads, number, thread_key

    if builder is None:
        builder = TreeBuilder
    fields: dict = {}
    builders: dict[object, tuple[TreeBuilder, dict]] = {}
    skipped: dict[object, int] = {}
    lists: list = []
    first_foi = None
    names: set = set()
    # Records come in runs of one thread: those skip the lookups below.
    last_native = None
    last_add: Callable[[dict], None] = _no_record
    for list_key, record in iter_records(streams, fields, lists, values=values):
        native = record.get("thread_native_id")
        if native is not None and native == last_native and (first_foi is not None or list_key is not None):
            last_add(record)
            continue
        if list_key is None and first_foi is None:
            first_foi = native
        key = thread_key(list_key, record)
        entry = builders.get(key)
        if entry is None:
            names.update((str(record.get("thread")), str(native)))
            if key in skipped:
                skipped[key] += 1
                continue
            if wanted is not None and not wanted(str(record.get("thread")), native):
                skipped[key] = 1
                continue
            first = number(record.get("timestamp"))
            entry = builders[key] = (builder(first if first is not None else 0.0, depth=depth, keep=keep,
                                             values=values),
                                     record)
        entry[0].add(record)
        if native is not None:
            last_native, last_add = native, entry[0].add
    trees = finish_threads(builders.values(), fields.get("main_thread_id"), first_foi)
    # Counted as ruvo.summary counts them, so that the numbers agree.
    main = sum(length for key, length in lists if key is None)
    threads = len({key for key, _ in lists if key is not None}) + (1 if main else 0)
    tally = next((thread.tally for thread, _ in builders.values() if thread.tally is not None), None)
    return StreamedTrace(fields, trees, sum(length for _, length in lists), threads, names, tally)
