"""Runs scripts for the structural-analysis program on a worker."""

from quillon.external.python import PythonAnalysis

__all__ = ["StrandAnalysis"]


class StrandAnalysis(PythonAnalysis):
    """Run a Python script that drives the structural-analysis program on a worker.

    The script must block until the structural-analysis program has finished: when the
    program is started from a command prompt, the script waits for the executable to end.

    By default the script travels with the job from the application to the worker. For
    security reasons a worker can instead be configured to run only the scripts listed in
    its own configuration file; the job then selects one of them with ``script_key``.

    Example::

        script = File.from_data(script_text)
        files = [("model.txt", File.from_data(model_text))]
        analysis = StrandAnalysis(script=script, files=files, output_filenames=["results.txt"])
        analysis.execute(timeout=60)  # seconds
        results = analysis.get_output_file("results.txt")

    :raises quillon.errors.ExecutionError: generic error; its message tells more.
    """

    _integration: str = 'strand'
