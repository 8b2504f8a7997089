"""Runs scripts for the structural-analysis program on a worker."""

from quillon.external.python import PythonAnalysis

__all__ = ["StrandAnalysis"]


class StrandAnalysis(PythonAnalysis):
    """Runs a Python script that drives the structural-analysis program on a worker.

    Constructor, ``execute(timeout=...)`` and ``get_output_file(name)`` are the base's.
    """

    _integration: str = "strand"
