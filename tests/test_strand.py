import inspect

import pytest

from quillon.core import File
from quillon.errors import ExecutionError
from quillon.external.python import PythonAnalysis
import quillon.external.strand as strand
from quillon.external.strand import StrandAnalysis


def test_module_exports_only_the_job_class():
    assert strand.__all__ == ["StrandAnalysis"]


def test_integration_key_is_a_class_attribute_shared_by_every_object():
    assert StrandAnalysis.__dict__["_integration"] == "strand"
    a = StrandAnalysis(script=File.from_data("pass"), output_filenames=[])
    b = StrandAnalysis(script=File.from_data("pass"), output_filenames=[])
    assert a._integration == b._integration == "strand"


def test_the_class_adds_nothing_but_the_integration_key():
    own = {k for k in StrandAnalysis.__dict__ if not k.startswith("__")}
    assert own == {"_integration"}
    assert issubclass(StrandAnalysis, PythonAnalysis)
    assert StrandAnalysis.__module__ == "quillon.external.strand"
    assert "block until" in StrandAnalysis.__doc__
    # Constructor and methods are the base's own.
    assert StrandAnalysis.__init__ is PythonAnalysis.__init__
    assert inspect.signature(StrandAnalysis) == inspect.signature(PythonAnalysis)


SCRIPT = """
from pathlib import Path
n = int(Path("input.txt").read_text())
Path("output.txt").write_text(str(n * n))
"""


def test_script_runs_on_the_local_worker_and_returns_its_output_file():
    job = StrandAnalysis(script=File.from_data(SCRIPT),
                         files=[("input.txt", File.from_data("12"))],
                         output_filenames=["output.txt"])
    job.execute(timeout=60)
    assert job.get_output_file("output.txt").getvalue() == b"144"
    assert job.get_output_file("output.txt", as_file=True).getvalue_binary() == b"144"


@pytest.mark.parametrize("script, outputs, expected", [
    ("raise SystemExit('model did not converge')", [], "model did not converge"),
    ("pass", ["missing.txt"], "missing.txt"),
])
def test_failures_surface_as_execution_errors(script, outputs, expected):
    job = StrandAnalysis(script=File.from_data(script), output_filenames=outputs)
    with pytest.raises(ExecutionError, match=expected):
        job.execute(timeout=60)


def test_a_subclass_can_route_to_another_integration():
    class Other(StrandAnalysis):
        _integration = "nowhere"

    with pytest.raises(ExecutionError, match="nowhere"):
        Other(script=File.from_data("pass")).execute(timeout=5)
