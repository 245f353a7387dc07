"""What ``ruvo show`` reads of the traced program's source: the parameters
of a function, which tell its arguments from a closure's values, and
where its classes start, which tells a class body from a function.
"""

from __future__ import annotations

import ast
import functools
import tokenize
from typing import Optional


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


@functools.lru_cache(maxsize=256)
def _class_lines(file: str) -> frozenset:
    """The lines a class statement of ``file`` starts on (its first
    decorator's and its own)."""
    tree = _syntax_tree(file)
    if tree is None:
        return frozenset()
    lines = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            lines.add(node.lineno)
            if node.decorator_list:
                lines.add(node.decorator_list[0].lineno)
    return frozenset(lines)


@functools.lru_cache(maxsize=4096)
def is_class_body(path: str) -> bool:
    """Whether the code starting at ``file:line`` is a class statement's
    body, read from the source (False when the source cannot be found)."""
    file, _, line = path.rpartition(":")
    if not file or not line.isdigit():
        return False
    return int(line) in _class_lines(file)
