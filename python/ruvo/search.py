"""Searching recorded values: the query of ``ruvo find`` and
:meth:`ruvo.model.Trace.find`, what of a call is searched, and the match.

A call is searched through its *entries*: one per argument, local and the
return value that is a scalar (None, bool, int, float) or a string, plus
the strings inside its containers and objects, a few levels down.  The
store's index (:mod:`ruvo.db.index`) holds exactly these entries, so a
search of the database and a search of one trace in memory answer the same.

What is searched, and what not:

- ``name=value`` matches an argument or local (at the call or at the
  return) holding that value as recorded: numbers match numbers (``42``
  matches ``42`` and ``42.0``), ``True`` only a bool, ``None`` only None,
  and a string only a string: ``user_id=42`` does not match ``"42"``
  (``user_id="42"`` does).  Objects, containers and the markers of values
  cut or left out (``<3 more>``, a clipped string) equal no scalar.
  Strings are compared up to :data:`SHORT_STR` characters; a longer string
  equals nothing.
- ``return_value`` is the same test on what the call returned (or yielded).
- ``text`` is a case-sensitive substring of a string argument, local or
  return value, or of a string inside one (list, tuple, set and dict items,
  an object's attributes; :data:`NESTED_DEPTH` levels down, at most
  :data:`NESTED_STRINGS` strings per value), of the first
  :data:`SHORT_STR` characters of each (of the recorded prefix of a
  clipped one).
- ``function`` is a glob (:mod:`fnmatch`, case-sensitive) over the call's
  qualified name as recorded (``shop.cart.Cart.price``) or any dotted tail
  of it (``Cart.price``); a script's ``__main__`` is also spelled as its
  file's path (``shop/cart.py`` as ``shop.cart`` or ``cart``), so
  ``shop.*.price`` finds ``Cart.price`` of ``shop/cart.py`` run as a script.
"""

from __future__ import annotations

import ast
import fnmatch
import math
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, NamedTuple, Optional, Sequence

from .decode import Clipped, Object, Typed
from .model import MISSING

if TYPE_CHECKING:
    from .model import Call

__all__ = ["MISSING", "Entry", "Match", "Query", "QueryError", "call_entries", "function_matches", "matches",
           "parse_query", "parse_value", "record_entries", "search_calls"]

# Strings are indexed and compared up to this many characters.
SHORT_STR = 200
# How far into a value's containers strings are searched by text.
NESTED_DEPTH = 3
NESTED_STRINGS = 8
# The one-line text of a return value that is no scalar, as listed.
SHOWN_CHARS = 80

_INT64 = (-(2**63), 2**63 - 1)

# Entry kinds, as the index stores them.
NONE, BOOL, NUMBER, BIG_INT, STR, STR_PREFIX, NESTED_STR, OTHER = range(8)
TEXT_KINDS = (STR, STR_PREFIX, NESTED_STR)


class QueryError(ValueError):
    """A query that cannot be searched for (a value no entry can hold)."""


class Entry(NamedTuple):
    """One searchable value of a call: a name ("return" for the return
    value), its kind and the value as the index holds it."""

    name: str
    kind: int
    value: object


@dataclass(frozen=True)
class Match:
    """What matched in a call: the argument or local name ("return" for the
    return value) and its value (for a string, its searched part)."""

    name: str
    value: object


@dataclass(frozen=True)
class Query:
    """A search: every condition given must hold for a call to match.

    ``values`` maps argument or local names to the value they must hold
    (see the module's rules), ``return_value`` is :data:`MISSING` unless the
    return value is asked for, ``function`` a glob over the qualified name,
    ``text`` a substring of a recorded string."""

    values: dict[str, object] = field(default_factory=dict)
    return_value: object = MISSING
    function: Optional[str] = None
    text: Optional[str] = None

    def __post_init__(self) -> None:
        for name, value in self.values.items():
            key_of(value, name)
        if self.return_value is not MISSING:
            key_of(self.return_value, "the return value")
        if self.text is not None and not self.text:
            raise QueryError("--text needs some text to search for")

    @property
    def empty(self) -> bool:
        return not self.values and self.return_value is MISSING and self.function is None and self.text is None


def parse_value(text: str) -> object:
    """A value given on the command line: a Python literal when it reads as
    one (``42``, ``None``, ``'x'``, ``1.5``, ``True``), else the text itself."""
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError, TypeError):
        return text


_NAME = re.compile(r"[^\W\d]\w*\Z")


def parse_query(argv: Sequence[str]) -> Query:
    """A query from ``ruvo find``'s arguments: ``NAME=VALUE`` pairs,
    ``--return V``, ``--function GLOB`` and ``--text S`` (each also as
    ``--option=value``).  Raises :class:`QueryError` for anything else."""
    values: dict[str, object] = {}
    options: dict[str, str] = {}
    items = list(argv)
    i = 0
    while i < len(items):
        item = items[i]
        i += 1
        if item.startswith("--"):
            option, equals, value = item[2:].partition("=")
            if option not in ("return", "function", "text"):
                raise QueryError(f"unknown option --{option}")
            if not equals:
                if i == len(items):
                    raise QueryError(f"--{option} needs a value")
                value = items[i]
                i += 1
            if option in options:
                raise QueryError(f"--{option} given twice")
            options[option] = value
            continue
        name, equals, value = item.partition("=")
        if not equals or not _NAME.match(name):
            raise QueryError(f"{item!r} is not NAME=VALUE")
        if name in values:
            raise QueryError(f"{name} given twice")
        values[name] = parse_value(value)
    return Query(values, parse_value(options["return"]) if "return" in options else MISSING,
                 options.get("function"), options.get("text"))


def key_of(value: Any, what: str = "a value") -> tuple[int, object]:
    """The kind and indexed form of a value searched for."""
    if value is None:
        return NONE, None
    if value.__class__ is bool:
        return BOOL, int(value)
    if value.__class__ is int:
        return (NUMBER, value) if _INT64[0] <= value <= _INT64[1] else (BIG_INT, str(value))
    if value.__class__ is float:
        if math.isnan(value):
            raise QueryError(f"{what}: nan equals nothing, not even a recorded nan")
        return NUMBER, value
    if value.__class__ is str:
        if len(value) > SHORT_STR:
            raise QueryError(f"{what}: strings are compared up to {SHORT_STR} characters; search a part with --text")
        return STR, value
    raise QueryError(f"{what}: only None, True/False, numbers and strings can be searched for, not "
                     f"{type(value).__name__} ({value!r:.40})")


# --- what of a call is searched ----------------------------------------------------


def _scalar(value: Any) -> Optional[tuple[int, object]]:
    """The kind and indexed form of a recorded value that is a scalar or a
    string (a long one by its start); None for anything else."""
    cls = value.__class__
    if value is None:
        return NONE, None
    if cls is bool:
        return BOOL, int(value)
    if cls is int:
        return (NUMBER, value) if _INT64[0] <= value <= _INT64[1] else (BIG_INT, str(value))
    if cls is float:
        return None if math.isnan(value) else (NUMBER, value)
    if cls is str:
        return (STR, value) if len(value) <= SHORT_STR else (STR_PREFIX, value[:SHORT_STR])
    if cls is Clipped and value.prefix.__class__ is str:
        return STR_PREFIX, value.prefix[:SHORT_STR]
    return None


def _nested_strings(value: Any) -> Iterator[str]:
    """The strings inside a container or object, breadth first, bounded."""
    level = [value]
    found = 0
    for _ in range(NESTED_DEPTH):
        inner: list = []
        for item in level:
            cls = item.__class__
            if cls is dict:
                children: Iterable = item.values()
            elif cls is Object:
                children = item.attributes.values()
            elif cls is Typed:
                children = (item.value,)
            elif isinstance(item, (list, tuple, set, frozenset)):
                children = item
            else:
                continue
            for child in children:
                ccls = child.__class__
                if ccls is str or (ccls is Clipped and child.prefix.__class__ is str):
                    yield (child if ccls is str else child.prefix)[:SHORT_STR]
                    found += 1
                    if found >= NESTED_STRINGS:
                        return
                elif ccls is not int and ccls is not float and child is not None and ccls is not bool:
                    inner.append(child)
        if not inner:
            return
        level = inner


def _shown(value: object) -> str:
    try:
        text = repr(value)
    except Exception:
        text = f"<{type(value).__name__}>"
    return text if len(text) <= SHOWN_CHARS else text[: SHOWN_CHARS - 1] + "…"


# The strings inside a value, as record_entries finds them.
NestedStrings = Callable[[Any], Iterable[str]]


def _value_entries(name: str, value: object, out: list, seen: set,
                   nested_strings: NestedStrings = _nested_strings) -> None:
    scalar = _scalar(value)
    if scalar is not None:
        entry = Entry(name, *scalar)
        if entry not in seen:
            seen.add(entry)
            out.append(entry)
        return
    for text in nested_strings(value):
        entry = Entry(name, NESTED_STR, text)
        if entry not in seen:
            seen.add(entry)
            out.append(entry)


def record_entries(call: Optional[dict], ret: Optional[dict],
                   nested_strings: NestedStrings = _nested_strings) -> list[Entry]:
    """The entries of a call from its call and return records (either may
    be missing): its arguments, then its locals at the return that were not
    there alike at the call, then the return value, always last (an object
    or a missing return by its one-line text, which nothing matches).
    ``nested_strings`` may remember what it found in an object seen before."""
    out: list[Entry] = []
    seen: set = set()
    for record in (call, ret):
        values = record.get("locals") if record is not None else None
        if isinstance(values, dict):
            for name, value in values.items():
                if name.__class__ is str:
                    _value_entries(name, value, out, seen, nested_strings)
    if ret is None:
        out.append(Entry("return", OTHER, "?"))
        return out
    value = ret.get("arg")
    before = len(out)
    _value_entries("return", value, out, seen, nested_strings)
    if _scalar(value) is None:
        # The return's own line, which lists a call found by function alone.
        out.insert(before, Entry("return", OTHER, _shown(value)))
    return out


def call_entries(call: "Call") -> list[Entry]:
    return record_entries(call.call, call.ret)


def shown_value(kind: int, value: object) -> str:
    """An entry's value as ``ruvo find`` lists it (one line before
    :func:`ruvo.terminal.visible`)."""
    if kind == OTHER:
        return str(value)
    if kind == NONE:
        return "None"
    if kind == BOOL:
        return repr(bool(value))
    if kind == BIG_INT:
        return str(value)
    if kind in (STR_PREFIX, NESTED_STR):
        text = repr(value) + ("…" if kind == STR_PREFIX else "")
        return text if kind == STR_PREFIX else f"… {text} …"
    return repr(value)


# --- the match -----------------------------------------------------------------------


def _names_of(qualname: str, path: str) -> list[str]:
    names = [qualname]
    if qualname.startswith("__main__."):
        file = path.rpartition(":")[0] or path
        if file.endswith(".py"):
            parts = [part for part in file[:-3].replace("\\", "/").split("/") if part]
            if parts and parts[-1] == "__init__":
                parts.pop()
            bare = qualname[len("__main__."):]
            names += [".".join([*parts[i:], bare]) for i in range(len(parts))]
    return names


def function_matches(glob: str, qualname: str, path: str) -> bool:
    """Whether ``glob`` matches the call's qualified name or a dotted tail
    of it (see the module's rules)."""
    for name in _names_of(qualname, path):
        parts = name.split(".")
        for i in range(len(parts)):
            if fnmatch.fnmatchcase(".".join(parts[i:]), glob):
                return True
    return False


def conditions(query: Query) -> list[tuple[str, tuple[int, object]]]:
    """Each value asked for: the entry name that must hold it, and its kind
    and indexed form."""
    found = [(name, key_of(value)) for name, value in query.values.items()]
    if query.return_value is not MISSING:
        found.append(("return", key_of(query.return_value)))
    return found


def entries_match(entries: Sequence[Entry], query: Query) -> Optional[list[Entry]]:
    """The entries of a call that match (None: the call does not match;
    the function is not looked at here): for each value asked for, the
    first that holds it, then every string holding the text.  A query of
    the function alone matches with the return value's entry."""
    found: list[Entry] = []
    for name, key in conditions(query):
        hit = next((entry for entry in entries if entry.name == name and _same(entry, key)), None)
        if hit is None:
            return None
        found.append(hit)
    if query.text is not None:
        text = query.text
        hits = [entry for entry in entries if entry.kind in TEXT_KINDS and text in entry.value]  # type: ignore[operator]
        if not hits:
            return None
        found += hits
    if not found:
        ret = next((entry for entry in entries if entry.name == "return"), None)
        if ret is not None:
            found.append(ret)
    return found


def _same(entry: Entry, key: tuple[int, object]) -> bool:
    kind, value = key
    if entry.kind != kind:
        return False
    return kind == NONE or entry.value == value


def matches(call: "Call", query: Query) -> Optional[list[Match]]:
    """What of ``call`` matches ``query``, or None when it does not."""
    if query.function is not None and not function_matches(query.function, call.name, call.path):
        return None
    found = entries_match(call_entries(call), query)
    return None if found is None else [Match(entry.name, entry.value) for entry in found]


def search_calls(calls: Iterable["Call"], query: Query, name: Optional[str] = None) -> list["Call"]:
    """The calls that match ``query`` (and, given ``name``, whose qualified
    name is ``name`` or ends in ``.name``), in order."""
    found = []
    for call in calls:
        if name is not None and call.name != name and not call.name.endswith("." + name):
            continue
        if query.empty or matches(call, query) is not None:
            found.append(call)
    return found
