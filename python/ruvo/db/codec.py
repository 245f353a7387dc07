"""How documents are kept on disk: compressed with zstd.

Documents repeat themselves (paths, names and keys in every record), so they
compress well. Measured on the documents of a real suite (attrs, 1,386
traces, 86 MB): zstd at level 1 kept them 11.5 times smaller, compressing at
about 1,150 MB/s and decompressing at 1,300 MB/s; zlib at level 1 made them
9 times smaller at 300 and 600 MB/s, and at level 6 11 times at 150 MB/s.
zstd is better on all three counts, which pays for its one dependency
(the well-kept ``zstandard`` package).

Documents of one database repeat each other too (a suite's tests share
their helpers, paths and values), which a document compressed on its own
cannot use: once a database holds enough documents, a zstd dictionary is
trained on them and kept in the database (table ``codec_dictionaries``),
and later documents are compressed with it, which made attrs' documents 16
times smaller instead of 11, and faster to write and read.

A codec's name is stored with each row: "zstd", or "zstd:N" for dictionary
N. Rows written before compression have none and are read as they are.
"""

from __future__ import annotations

import io
import os
import queue
import sqlite3
import threading
import time
import weakref
from typing import BinaryIO, Callable, Iterable, Iterator, Optional, Protocol, TypeVar, Union

import zstandard

__all__ = ["CODEC", "CodecError", "Dictionaries", "compress", "decompress", "DecompressingReader"]

# The codec of documents compressed on their own.
CODEC = "zstd"
_LEVEL = 1

# A dictionary is trained on the first documents a process saves in a
# database that has none: this many (or this many bytes of them), each no
# larger than a sample may be, make one of this size.
DICTIONARY_SAMPLES = 200
SAMPLES_BYTES = 16 * 2**20
SAMPLE_MAX_BYTES = 256 * 1024
DICTIONARY_BYTES = 112 * 1024

DICTIONARY_TABLE = """
CREATE TABLE IF NOT EXISTS codec_dictionaries (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    made_at REAL NOT NULL,
    data BLOB NOT NULL
)"""

# Compressors are not for sharing between threads: one per thread (and
# dictionary).
_local = threading.local()
_T = TypeVar("_T")


class CodecError(ValueError):
    """A stored document that cannot be decompressed."""


def _thread_cached(kind: str, key: object, make: Callable[[], _T]) -> _T:
    """This thread's object of ``kind`` for ``key``, made once (a few are kept)."""
    cache = getattr(_local, kind, None)
    if cache is None:
        cache = {}
        setattr(_local, kind, cache)
    found = cache.get(key)
    if found is None:
        if len(cache) > 8:
            cache.clear()
        found = cache[key] = make()
    return found


def _compressor(key: object, dictionary: Optional[zstandard.ZstdCompressionDict]) -> zstandard.ZstdCompressor:
    return _thread_cached("compressors", key, lambda: zstandard.ZstdCompressor(level=_LEVEL, dict_data=dictionary))


def compress(document: bytes) -> bytes:
    """A document compressed on its own (codec "zstd")."""
    return _compressor(None, None).compress(document)


def dictionary_id(codec: str) -> Optional[int]:
    """None for plain zstd, the dictionary's id for "zstd:N"; raises for a
    codec this version does not know."""
    if codec == CODEC:
        return None
    name, _, number = codec.partition(":")
    if name == CODEC and number.isdigit():
        return int(number)
    raise CodecError(f"stored with the codec {codec!r}, which this version of ruvo does not know: upgrade ruvo")


# A database's dictionary for writing: its id, and the dictionary.
Current = Optional[tuple[int, zstandard.ZstdCompressionDict]]


# A stored form: bytes, or a view of a compressor's buffer.
Stored = Union[bytes, memoryview]

# Documents up to this size are compressed many to a call.
_MANY_BYTES = 256 * 1024


def compress_all_with(key: object, current: Current, documents: list[bytes]) -> list[tuple[Stored, str]]:
    """Documents compressed with a database's dictionary (``key`` names the
    database, for this thread's compressors), or on their own when it has
    none.  Small ones go in one call: a writer thread that let go of the
    interpreter lock for each small document would take it back from the
    program every time; a large one is worth letting go for.

    The compressed forms are views of zstd's own buffers, which tracemalloc
    does not see: a program that starts tracing its allocations while a
    writer thread is compressing (a test measuring its memory) would
    otherwise count a batch's compressed bytes as its own."""
    if current is None:
        compressor, codec = _compressor(None, None), CODEC
    else:
        number, dictionary = current
        compressor, codec = _compressor((key, number), dictionary), f"{CODEC}:{number}"
    # The many-to-a-call form refuses empty inputs, and some builds lack it.
    filled = [i for i, document in enumerate(documents) if document]
    out: list[Optional[Stored]] = [None] * len(documents)
    if filled and hasattr(compressor, "multi_compress_to_buffer"):
        segments = compressor.multi_compress_to_buffer([documents[i] for i in filled])
        for place, i in enumerate(filled):
            out[i] = memoryview(segments[place])  # type: ignore[arg-type]  # a buffer; its stub does not say so
    return [(compressor.compress(document) if stored is None else stored, codec)
            for document, stored in zip(documents, out)]


def load_dictionary(data: bytes) -> zstandard.ZstdCompressionDict:
    return zstandard.ZstdCompressionDict(data)


def train(samples: list[bytes]) -> Optional[zstandard.ZstdCompressionDict]:
    """A dictionary learnt from these documents, or None when they are too
    few or too alike to learn from (documents stay compressed on their own)."""
    try:
        return zstandard.train_dictionary(DICTIONARY_BYTES, list[bytes | bytearray | memoryview](samples))
    except zstandard.ZstdError:
        return None


def sample_enough(count: int, total: int) -> bool:
    """Whether this many documents (each no larger than SAMPLE_MAX_BYTES),
    of these many bytes in all, are enough to train a dictionary on."""
    return count >= DICTIONARY_SAMPLES or total >= SAMPLES_BYTES


# A dictionary by its id, read from the database when a row needs it.
DictionaryLookup = Callable[[int], bytes]


def _decompressor(codec: str, lookup: Optional[DictionaryLookup], *, own: bool = False) -> zstandard.ZstdDecompressor:
    """A decompressor for ``codec``: this thread's shared one, or with
    ``own`` one for the caller alone (a streaming reader keeps its state in
    it, and inflates on another thread)."""
    number = dictionary_id(codec)
    if number is None:
        data = None
    elif lookup is None:
        raise CodecError(f"its dictionary {number} is not at hand")
    else:
        data = lookup(number)
    if own:
        return zstandard.ZstdDecompressor(dict_data=None if data is None else zstandard.ZstdCompressionDict(data))
    # Loading a dictionary costs more than decompressing a small document
    # with it, and a suite's documents are small: one decompressor per
    # dictionary (by its bytes, as two databases may number theirs alike).
    return _thread_cached("decompressors", data, lambda: zstandard.ZstdDecompressor(
        dict_data=None if data is None else zstandard.ZstdCompressionDict(data)))


def decompress(data: bytes, codec: Optional[str], lookup: Optional[DictionaryLookup] = None) -> bytes:
    """A stored document as it was saved (``codec`` None: stored as it is)."""
    if codec is None:
        return data
    try:
        return _decompressor(codec, lookup).decompress(data)
    except zstandard.ZstdError as error:
        raise CodecError(str(error)) from None


def open_decompressed(data: bytes, codec: Optional[str], lookup: Optional[DictionaryLookup] = None) -> BinaryIO:
    """A stored document as a file that decompresses as it is read (on the
    caller's thread): for reading only the start of a large one."""
    if codec is None:
        return io.BytesIO(data)
    try:
        return _decompressor(codec, lookup).stream_reader(data)
    except zstandard.ZstdError as error:
        raise CodecError(str(error)) from None


def lookup_in(connection: sqlite3.Connection) -> DictionaryLookup:
    """Dictionaries read from this connection's database, each once."""
    found: dict[int, bytes] = {}

    def lookup(number: int) -> bytes:
        if number not in found:
            row = None
            if connection.execute("SELECT 1 FROM sqlite_master WHERE name = 'codec_dictionaries'").fetchone():
                row = connection.execute("SELECT data FROM codec_dictionaries WHERE id = ?", (number,)).fetchone()
            if row is None:
                raise CodecError(f"its dictionary {number} is missing from the database")
            found[number] = bytes(row[0])
        return found[number]

    return lookup


class Dictionaries:
    """The writing side for one database in this process: the dictionary
    its documents are compressed with, trained when there is none."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._current: dict[str, Current] = {}
        self._samples: dict[str, list[bytes]] = {}

    def compress(self, connection: sqlite3.Connection, path: str | os.PathLike,
                 documents: Iterable[bytes]) -> Iterator[tuple[Stored, Optional[str]]]:
        """Inside the caller's write transaction: the stored form of each
        document and its codec (None: stored as it is, when compressing
        does not make it smaller), in order.  A run of small documents is
        compressed together; a large one alone, when it is reached, so that
        only one large document is held compressed at a time."""
        group: list[bytes] = []
        for document in documents:
            if len(document) <= _MANY_BYTES:
                group.append(document)
                continue
            yield from self._compress_group(connection, path, group)
            group = []
            yield from self._compress_group(connection, path, [document])
        yield from self._compress_group(connection, path, group)

    def _compress_group(self, connection: sqlite3.Connection, path: str | os.PathLike,
                        documents: list[bytes]) -> list[tuple[Stored, Optional[str]]]:
        if not documents:
            return []
        key = os.path.abspath(path)
        # Each document's dictionary: one may be trained part way through.
        plans: list[Current] = []
        with self._lock:
            if key not in self._current:
                self._current[key] = self._newest(connection)
            for document in documents:
                current = self._current[key]
                if current is None and len(document) <= SAMPLE_MAX_BYTES:
                    samples = self._samples.setdefault(key, [])
                    samples.append(document)
                    if sample_enough(len(samples), sum(map(len, samples))):
                        current = self._current[key] = self._train(connection, samples)
                        del self._samples[key]
                plans.append(current)
        out: list[tuple[Stored, Optional[str]]] = []
        start = 0
        while start < len(documents):
            end = start + 1
            while end < len(documents) and plans[end] is plans[start]:
                end += 1
            for document, (stored, codec) in zip(documents[start:end],
                                                 compress_all_with(key, plans[start], documents[start:end])):
                out.append((document, None) if len(stored) >= len(document) else (stored, codec))
            start = end
        return out

    def forget(self, path: str | os.PathLike) -> None:
        """The database was replaced or removed: its dictionary goes with it."""
        with self._lock:
            self._current.pop(os.path.abspath(path), None)

    @staticmethod
    def _newest(connection: sqlite3.Connection) -> Current:
        if not connection.execute("SELECT 1 FROM sqlite_master WHERE name = 'codec_dictionaries'").fetchone():
            return None
        row = connection.execute("SELECT id, data FROM codec_dictionaries ORDER BY id DESC LIMIT 1").fetchone()
        return None if row is None else (int(row[0]), zstandard.ZstdCompressionDict(bytes(row[1])))

    @staticmethod
    def _train(connection: sqlite3.Connection,
               samples: list[bytes]) -> Current:
        dictionary = train(samples)
        if dictionary is None:
            return None
        connection.execute(DICTIONARY_TABLE)
        cursor = connection.execute("INSERT INTO codec_dictionaries (made_at, data) VALUES (?, ?)",
                                    (time.time(), dictionary.as_bytes()))
        return int(cursor.lastrowid or 0), dictionary


class _Readable(Protocol):
    def read(self, size: int = -1) -> bytes: ...


# What the reader gives its decompressing thread at the end, or to stop.
_END, _STOP = object(), object()


def _inflate(inputs: queue.SimpleQueue, outputs: queue.SimpleQueue,
             decompressor: "zstandard.ZstdDecompressionObj") -> None:
    """One output for each input: the piece a compressed chunk makes (maybe
    empty), an error, or at the end None."""
    while True:
        chunk = inputs.get()
        if chunk is _STOP:
            return
        try:
            if chunk is _END:
                outputs.put(None if decompressor.eof else CodecError("the stored document ends early"))
                return
            outputs.put(decompressor.decompress(chunk))
        except zstandard.ZstdError as error:
            outputs.put(CodecError(f"the stored document does not decompress ({error})"))
            return


class DecompressingReader:
    """A stored document read a piece at a time, decompressed as it goes:
    the views stream large traces without holding them whole. Compressed
    chunks are read on the caller's thread (the database's connection
    belongs to it) and decompressed a few chunks ahead of the reader on a
    thread of their own (zstd lets go of the interpreter lock), so that the
    reader seldom waits for them."""

    _CHUNK = 1 << 15
    _AHEAD = 8

    def __init__(self, raw: _Readable, codec: str, lookup: Optional[DictionaryLookup] = None) -> None:
        self._raw = raw
        try:
            self._decompressor = _decompressor(codec, lookup, own=True).decompressobj()
        except zstandard.ZstdError as error:
            raise CodecError(str(error)) from None
        self._inputs: Optional[queue.SimpleQueue] = None
        self._outputs: queue.SimpleQueue = queue.SimpleQueue()
        self._in_flight = 0
        self._raw_done = False
        self._pending = b""
        self._offset = 0
        self._done = False

    def _next_piece(self) -> Optional[bytes]:
        if self._inputs is None:
            inputs = self._inputs = queue.SimpleQueue()
            # A reader dropped half way stops its thread.
            weakref.finalize(self, inputs.put, _STOP)
            threading.Thread(target=_inflate, args=(inputs, self._outputs, self._decompressor),
                             name="ruvo-inflate", daemon=True).start()
        while True:
            while self._in_flight < self._AHEAD and not self._raw_done:
                chunk = self._raw.read(self._CHUNK)
                if not chunk:
                    self._raw_done = True
                self._inputs.put(chunk if chunk else _END)
                self._in_flight += 1
            item = self._outputs.get()
            self._in_flight -= 1
            if isinstance(item, CodecError):
                self._done = True
                raise item
            if item is None:
                self._done = True
                return None
            if item:
                return item

    def read(self, size: int = -1) -> bytes:
        # What is decompressed and not yet read is kept with an offset, so
        # that many small reads cost no copying of the rest.
        if 0 <= size <= len(self._pending) - self._offset:
            start = self._offset
            self._offset += size
            return self._pending[start : self._offset]
        out = [self._pending[self._offset :]]
        have = len(out[0])
        while (size < 0 or have < size) and not self._done:
            piece = self._next_piece()
            if piece is None:
                break
            out.append(piece)
            have += len(piece)
        data = b"".join(out)
        if 0 <= size < len(data):
            self._pending, self._offset = data, size
            return data[:size]
        self._pending, self._offset = b"", 0
        return data
