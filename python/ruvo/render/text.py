"""A trace as text, the output of ``ruvo show``: a header, then each
thread's call tree drawn with guides.
"""

from __future__ import annotations

import ast
import functools
import time
import tokenize
from typing import Iterable, Optional

from ..model import Call, Event, Node, build_threads, descendants, number
from ..summary import summarize
from .labels import describe_event, format_duration, format_locals, format_value

__all__ = ["render_trace", "render_trees"]


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
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(value))


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
    ``threads`` its counts; ``note`` is a line added under the header."""
    style = _Style(color)
    tee, last_tee, pipe, space = _ASCII_GUIDES if ascii_only else _UNICODE_GUIDES
    arrow = "->" if ascii_only else "→"
    document = fields
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    lines = [
        style.bold(f"trace {document.get('trace_id')}"),
        f"source: {meta.get('source')}  started: {_local_time(document.get('timestamp'))}"
        f"  records: {records}  threads: {threads}",
    ]
    commit = document.get("current_commit_sha")
    if commit:
        lines.append(f"commit: {commit}")
    if note:
        lines.append(note)

    def call_line(node: Call) -> str:
        label = f"{format_duration(node.duration)}  {style.bold(node.name)}  {style.dim(node.path)}"
        if node.call is None:
            label += style.dim("  (call not recorded)")
        elif node.ret is None:
            label += style.dim("  (no return recorded)")
        return label

    for tree in trees:
        lines.append("")
        role = "main thread" if tree.is_main else "thread"
        ident = f", native id {tree.native_id}" if tree.native_id is not None else ""
        lines.append(style.bold(f"{role} {tree.name}") + style.dim(f" ({tree.records} record{'s' if tree.records != 1 else ''}{ident})"))
        if not tree.roots:
            lines.append(style.dim("(no records)"))
        # Iterative, since user code may nest deeper than this interpreter's
        # recursion limit allows us to.
        work: list[tuple] = [("more", tree.hidden, "", True)] if tree.hidden else []
        work += [
            ("node", node, "", index == len(tree.roots) - 1 and not tree.hidden, 1)
            for index, node in reversed(list(enumerate(tree.roots)))
        ]
        while work:
            item = work.pop()
            if item[0] == "more":
                _, hidden, inner, _alone = item
                lines.append(inner + last_tee + style.dim(f"… {hidden} more entr{'y' if hidden == 1 else 'ies'}"))
                continue
            if item[0] == "return":
                _, node, inner = item
                returned = format_value(node.ret.get("arg"), 80)
                lines.append(inner + style.dim(f"  {arrow} {returned}   locals: {format_locals(node.ret.get('locals'))}"))
                continue
            _, node, prefix, is_last, level = item
            guide = last_tee if is_last else tee
            inner = prefix + (space if is_last else pipe)
            if isinstance(node, Event):
                lines.append(prefix + guide + style.event(node.record, describe_event(node.record, ascii_only)))
                continue
            lines.append(prefix + guide + call_line(node))
            if values and node.call is not None:
                at_call = node.call.get("locals")
                parameters = parameters_of(node.path) if isinstance(at_call, dict) else None
                if parameters is None:
                    lines.append(inner + style.dim(f"  args: {format_locals(at_call)}"))
                else:
                    # A closure's free variables are locals at call too; they are not arguments.
                    arguments = {name: value for name, value in at_call.items() if name in parameters}
                    lines.append(inner + style.dim(f"  args: {format_locals(arguments)}"))
                    others = {name: value for name, value in at_call.items() if name not in parameters}
                    if others:
                        lines.append(inner + style.dim(f"  closure: {format_locals(others)}"))
            if values and node.ret is not None:
                work.append(("return", node, inner))
            children = node.children
            if (children or node.hidden) and depth is not None and level >= depth:
                hidden = node.hidden + sum(1 + getattr(child, "hidden", 0) for child in descendants(node))
                lines.append(inner + last_tee + style.dim(f"… {hidden} more entr{'y' if hidden == 1 else 'ies'}"))
                continue
            if node.hidden:
                # Entries the filters left out, after the ones they kept.
                work.append(("more", node.hidden, inner, not children))
            for index in range(len(children) - 1, -1, -1):
                work.append(("node", children[index], inner, index == len(children) - 1 and not node.hidden, level + 1))
    if not trees:
        lines.append("")
        lines.append("(no records)" if not any_threads else "(no such thread)")
    text = "\n".join(lines) + "\n"
    if ascii_only:
        text = text.replace("…", "...").replace("µ", "u")
    return text


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
            first = node.decorator_list[0].lineno if getattr(node, "decorator_list", None) else node.lineno
            if int(line) in (first, node.lineno):
                args = node.args
                names = [a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs)]
                names += [a.arg for a in (args.vararg, args.kwarg) if a is not None]
                return frozenset(names)
    return None
