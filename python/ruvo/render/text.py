"""A trace as text, the output of ``ruvo show``: a header, then each
thread's call tree drawn with guides.
"""

from __future__ import annotations

import time
from typing import Any, Callable, Iterable, Iterator, Optional

from ..model import Event, build_threads, descendants, number
from ..summary import summarize
from ..terminal import visible
from .lines import BATCH, Lines
from .spool import ThreadLines, ThreadSpools

__all__ = ["render_trace", "render_trees", "write_trees", "ThreadSpools"]


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


def render_trees(fields: dict, trees: list, **options: Any) -> str:
    """:func:`write_trees`' text as one string."""
    pieces: list[str] = []
    write_trees(pieces.append, fields, trees, **options)
    return "".join(pieces)


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
    """``ruvo show``'s text for call trees already built (perhaps from a
    streamed document, see :func:`ruvo.stream.stream_threads`), handed to
    ``write`` a piece at a time: ``fields`` are the document's entries
    besides the records, ``records`` and ``threads`` its counts; ``note``
    holds lines added under the header.  A tree's roots are its nodes, or
    the lines a :class:`ThreadSpools` builder wrote of them while the
    records were read."""
    lines = Lines(values=values, color=color, ascii_only=ascii_only)
    style = lines.style
    document = fields
    meta = document.get("meta")
    if not isinstance(meta, dict):
        meta = {}

    def out(text: str) -> None:
        write(text.replace("…", "...").replace("µ", "u") if ascii_only else text)

    head = [
        style.bold(visible(f"trace {document.get('trace_id')}")),
        visible(f"source: {meta.get('source')}  started: {_local_time(document.get('timestamp'))}"
                f"  records: {records}  threads: {threads}"),
    ]
    commit = document.get("current_commit_sha")
    if commit:
        head.append(visible(f"commit: {commit}"))
    if note:
        head.extend(visible(line) for line in note.split("\n"))
    for tree in trees:
        head.append("")
        role = "main thread" if tree.is_main else "thread"
        ident = f", native id {tree.native_id}" if tree.native_id is not None else ""
        plural = "s" if tree.records != 1 else ""
        head.append(style.bold(f"{role} {visible(tree.name)}") + style.dim(f" ({tree.records} record{plural}{ident})"))
        if not tree.roots:
            head.append(style.dim("(no records)"))
        out("\n".join(head) + "\n")
        head = []
        for text in _tree_texts(tree, depth, lines):
            out(text)
    if not trees:
        head.append("")
        head.append("(no records)" if not any_threads else "(no such thread)")
    if head:
        out("\n".join(head) + "\n")


def _tree_texts(tree, depth: Optional[int], lines: Lines) -> Iterator[str]:
    """A tree's lines in order, a batch of them per text."""
    if isinstance(tree.roots, ThreadLines):
        yield from tree.roots.texts(tree.hidden, depth, lines)
        return
    batch = []
    for line in _tree_lines(tree, depth, lines):
        batch.append(line)
        if len(batch) >= BATCH:
            yield "\n".join(batch) + "\n"
            batch.clear()
    if batch:
        yield "\n".join(batch) + "\n"


def _tree_lines(tree, depth: Optional[int], lines: Lines) -> Iterator[str]:
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
