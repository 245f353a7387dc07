"""Makes ruvo's pure-Python modules importable by the tests that cover them.

Those modules never need the native extension, so when the package itself
cannot be imported (``ruvo/__init__.py`` loads ``ruvo._ruvo``, which may not be
built), ``ruvo`` is registered as a bare package over ``python/ruvo`` whose
submodules import from the source tree without running ``__init__``.
"""

from __future__ import annotations

import importlib
import importlib.util
import sys
import types
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent / "python"
PACKAGE_DIR = SOURCE_ROOT / "ruvo"


def _install() -> None:
    if "ruvo" in sys.modules:
        return
    if importlib.util.find_spec("ruvo") is None:
        sys.path.insert(0, str(SOURCE_ROOT))
    try:
        importlib.import_module("ruvo")
        return
    except ImportError:
        pass
    package = types.ModuleType("ruvo")
    package.__path__ = [str(PACKAGE_DIR)]
    package.__file__ = str(PACKAGE_DIR / "__init__.py")
    package.__package__ = "ruvo"
    sys.modules["ruvo"] = package


_install()
