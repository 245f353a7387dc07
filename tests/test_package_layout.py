"""Every Python file of the package is one of ruvo's own, never recorded."""

from __future__ import annotations

from pathlib import Path

import pytest

import ruvo
native = pytest.importorskip("ruvo._ruvo_testing", reason="built with -C cmake.define.RUVO_TESTING=ON only")

PACKAGE = Path(ruvo.__file__).parent
FILES = sorted(path.relative_to(PACKAGE).as_posix() for path in PACKAGE.rglob("*.py"))



def test_layout_is_known():
    assert {"__init__.py", "__main__.py", "cli/__init__.py", "cli/run.py", "render/text.py", "serialize.py"} <= set(FILES)


@pytest.mark.parametrize("name", FILES)
def test_file_is_never_recorded(name):
    # A source checkout: outside site-packages, only the table keeps the file out.
    assert native.decide(f"/home/u/src/ruvo/python/ruvo/{name}", [], []) == "skip"
