"""The package version: the one place it is written down."""

__version__ = "0.1.0"
