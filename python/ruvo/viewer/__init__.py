"""The trace viewer: one self-contained HTML page per trace (``ruvo view``)."""

from .page import build_page, encode_value, merge_documents, page_data

__all__ = ["build_page", "encode_value", "merge_documents", "page_data"]
