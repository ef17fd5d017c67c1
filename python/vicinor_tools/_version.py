"""The package's version: the one place it is written (pyproject.toml reads
it from here when the wheel is built)."""

__version__ = "0.1.0"
