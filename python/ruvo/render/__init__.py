"""Renderers of decoded trace documents, one module per output, all drawing
from the call trees of :mod:`ruvo.model`.

``text`` is what ``ruvo show`` prints; the others are the file formats of
``ruvo export``, listed in :data:`EXPORTERS`.  A new output is a new module
here and, if ``ruvo export`` should write it, one more entry in the table.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import partial
from typing import IO, Callable

__all__ = ["Exporter", "EXPORTERS", "FORMATS", "export"]


@dataclass(frozen=True)
class Exporter:
    convert: Callable[[dict], object]  # the decoded document to the file's data
    write: Callable[[object, IO[str]], None]  # that data to an open text file
    extension: str  # of the file written by default: TRACE_ID.EXTENSION
    hint: str  # what to do with the file, told once it is written


FORMATS = ("chrome", "speedscope", "json")


_exporters: dict[str, Exporter] = {}


def _the_exporters() -> dict[str, Exporter]:
    # The renderers are imported when first asked for: `ruvo.render.top`,
    # which every profiled process imports, needs none of them.
    if not _exporters:
        from .chrome import to_chrome
        from .json import to_json, write_json
        from .speedscope import to_speedscope

        _exporters.update({
            "chrome": Exporter(to_chrome, write_json, "chrome.json",
                               "open it in https://ui.perfetto.dev or chrome://tracing"),
            "speedscope": Exporter(to_speedscope, write_json, "speedscope.json", "open it in https://www.speedscope.app"),
            "json": Exporter(to_json, partial(write_json, indent=1), "json", "the decoded trace document"),
        })
    return _exporters


def __getattr__(name: str) -> dict[str, Exporter]:
    if name == "EXPORTERS":  # {format: Exporter}, in the order of FORMATS
        return _the_exporters()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def export(document: dict, format: str) -> object:
    """The data of the export of a decoded trace document in ``format``."""
    try:
        exporter = _the_exporters()[format]
    except KeyError:
        raise ValueError(f"unknown export format {format!r}; choose from {', '.join(FORMATS)}") from None
    return exporter.convert(document)
