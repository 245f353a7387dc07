"""The trace viewer: one self-contained HTML page per trace (``ruvo view``).

:func:`build_page` is imported on first use, so that the command line can
register ``ruvo view`` without loading the page builder.
"""

__all__ = ["build_diff_page", "build_page", "merge_documents", "pack_value", "page_data"]


def __getattr__(name: str):
    if name in __all__:
        from . import page

        return getattr(page, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
