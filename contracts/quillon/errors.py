"""Error types of the host SDK.

Each is built with one message string. ``_OldExcelWorkerError`` is raised without arguments
when a spreadsheet answer comes from a worker that only speaks the old interface.
"""

__all__ = ["ExecutionError", "ParsingError", "InternalError", "SpreadsheetError"]


class ExecutionError(Exception):
    """A job could not be run, or the worker reported that it failed."""


class ParsingError(Exception):
    """A document returned by a worker could not be read."""


class InternalError(Exception):
    """A platform service (for example an add-on service) failed."""


class SpreadsheetError(Exception):
    """A spreadsheet job result was asked for before it existed."""


class _OldExcelWorkerError(Exception):
    """The answer came from a spreadsheet worker that only knows the old interface."""
