"""The host SDK stand-in: transport, local workers, add-on service and object vocabulary."""

import base64
import gzip
import io
import json
import threading
import xml.etree.ElementTree as ET

import pytest

from quillon.core import File, _post_on_addon_endpoint, register_addon_service
from quillon.errors import ExecutionError, InternalError
from quillon.external import external_program as ep
from quillon.external.external_program import ExternalProgram, WorkerFailure, _JobContent
from quillon.external.python import PythonAnalysis, register_installed_script
from quillon.external.spreadsheet import DirectOutputCell, NamedInputCell, NamedOutputCell
from quillon.external.varenna import objects as vo


class _Job(ExternalProgram):
    def __init__(self, integration="scripted", version=1, content=None):
        super().__init__(integration, version=version)
        self.content = content or {"body": "aGk="}
        self.generated = 0
        self.hook_messages = []

    def _generate_job_content(self):
        self.generated += 1
        return _JobContent(self.content)

    def _handle_execution_error(self, message):
        self.hook_messages.append(message)
        if message == "translate me":
            raise ExecutionError("translated")


@pytest.fixture
def worker():
    """A scripted worker for the integration "scripted"; ``answers`` is what it replies."""
    calls = []
    answers = []

    def scripted(content, *, integration, version):
        calls.append((content, integration, version))
        answer = answers.pop(0) if answers else {"body": base64.b64encode(b"out").decode()}
        if isinstance(answer, Exception):
            raise answer
        return answer

    previous = ep.register_worker("scripted", scripted)
    yield calls, answers
    ep.register_worker("scripted", previous)


def test_execute_sends_content_keeps_answer_and_reuses_updated_content(worker):
    calls, answers = worker
    job = _Job(version=2)
    assert job._result_content is None and job._get_result("body") is None
    job.execute(timeout=5)
    assert calls[0] == ({"body": "aGk="}, "scripted", 2)
    assert job._get_result("body").getvalue() == b"out"
    assert job._get_result("body", as_file=True).getvalue_binary() == b"out"
    assert job._get_result("missing") is None
    # The fall-back road: merge into the kept content, run again, the update is what is sent.
    job._job_content.update({"extra": True})
    job.execute(timeout=5)
    assert calls[1][0] == {"body": "aGk=", "extra": True}
    assert job.generated == 1


@pytest.mark.parametrize("message, raised", [
    ("plain failure", "plain failure"),   # hook returns: the base raises ExecutionError itself
    ("translate me", "translated"),       # hook raises its own error
])
def test_worker_failure_goes_through_hook(worker, message, raised):
    _, answers = worker
    answers.append(WorkerFailure(message))
    job = _Job()
    with pytest.raises(ExecutionError, match=raised):
        job.execute(timeout=5)
    assert job.hook_messages == [message]
    assert job._result_content is None


def test_transport_errors_missing_worker_timeout_and_bad_timeout():
    with pytest.raises(ExecutionError, match="No worker is available for integration 'nowhere'"):
        _Job("nowhere").execute(timeout=5)
    release = threading.Event()
    previous = ep.register_worker("slow", lambda content, **_: release.wait(10) and {})
    try:
        with pytest.raises(ExecutionError, match="did not finish within 0.2 seconds"):
            _Job("slow").execute(timeout=0.2)
    finally:
        release.set()
        ep.register_worker("slow", previous)
    with pytest.raises(ValueError, match="timeout"):
        _Job("nowhere").execute(timeout=0)


def test_custom_transport_is_used_and_restored():
    seen = []

    def transport(content, *, integration, version, timeout):
        seen.append((integration, version, timeout))
        return {"ok": 1}

    previous = ep.set_transport(transport)
    try:
        job = _Job("anything", version=2)
        job.execute(timeout=3)
        assert seen == [("anything", 2, 3.0)] and job._result_content == {"ok": 1}
    finally:
        assert ep.set_transport(previous) is transport
    assert ep.get_transport() is previous


_SCRIPT = """
import pathlib, sys
text = pathlib.Path("in.txt").read_text()
if text == "fail":
    sys.exit("script refused its input")
pathlib.Path("out.txt").write_text(text.upper())
"""


@pytest.mark.parametrize("integration", ["python", "strand"])
def test_python_worker_runs_script_and_returns_outputs(integration):
    cls = type("Job", (PythonAnalysis,), {"_integration": integration})
    job = cls(script=File.from_data(_SCRIPT), files=[("in.txt", File.from_data("abc"))],
              output_filenames=["out.txt"])
    assert job.get_output_file("out.txt") is None
    job.execute(timeout=60)
    assert job.get_output_file("out.txt").getvalue() == b"ABC"
    assert job.get_output_file("out.txt", as_file=True).getvalue() == "ABC"


@pytest.mark.parametrize("files, outputs, message", [
    ([("in.txt", File.from_data("fail"))], ["out.txt"], "script refused its input"),
    ([("in.txt", File.from_data("ok"))], ["other.txt"], "did not write the output file 'other.txt'"),
])
def test_python_worker_failures_carry_stderr(files, outputs, message):
    job = PythonAnalysis(script=File.from_data(_SCRIPT), files=files, output_filenames=outputs)
    with pytest.raises(ExecutionError, match=message):
        job.execute(timeout=60)


def test_installed_script_by_key_and_unknown_key():
    previous = register_installed_script("upper", File.from_data(_SCRIPT))
    try:
        job = PythonAnalysis(script_key="upper", files=[("in.txt", File.from_data("x"))],
                             output_filenames=["out.txt"])
        job.execute(timeout=60)
        assert job.get_output_file("out.txt").getvalue() == b"X"
    finally:
        register_installed_script("upper", previous)
    with pytest.raises(ExecutionError, match="No script is installed under the key 'nope'"):
        PythonAnalysis(script_key="nope").execute(timeout=60)


@pytest.mark.parametrize("name", ["../escape.txt", "/abs.txt", ""])
def test_python_job_refuses_file_names_outside_its_folder(name):
    with pytest.raises(ValueError):
        PythonAnalysis(script="pass", files=[(name, b"x")])


def _model_request(model):
    packed = gzip.compress(json.dumps(model).encode("utf-8"), compresslevel=9)
    return {"input": base64.b64encode(packed).decode("ascii")}


_EMPTY_MODEL = {key: [] for key in (
    "mat_concrete_list", "mat_reinforcement_list", "cross_section_list",
    "reinforced_cross_section_list", "check_member_list", "check_section_list", "attribute_list")}
_EMPTY_MODEL.update(project_data={"name": "P\u00e9"}, code_settings={"code": "EN"})


def test_template_service_renders_the_model_as_xml():
    model = dict(_EMPTY_MODEL, check_member_list=[["CheckMember1D", {"id": 1, "name": "M 1"}]],
                 cross_section_list=[["CrossSectionParameter",
                                      {"id": 1, "parameters": {"Width": 0.5}, "x": None}]])
    answer = _post_on_addon_endpoint("fillvarennatemplate/v3/jobs/", _model_request(model),
                                     timeout=60)
    root = ET.fromstring(gzip.decompress(base64.b64decode(answer["input_file"])))
    assert root.findtext("check_member_list/CheckMember1D/name") == "M 1"
    assert root.findtext("cross_section_list/CrossSectionParameter/parameters/Width") == "0.5"
    assert root.find("cross_section_list/CrossSectionParameter/x").get("nil") == "true"
    assert root.findtext("project_data/name") == "P\u00e9"


@pytest.mark.parametrize("payload", [
    {},
    {"input": "***not base64***"},
    {"input": base64.b64encode(b"not gzip").decode()},
    {"input": base64.b64encode(gzip.compress(b"{not json")).decode()},
    _model_request({"mat_concrete_list": []}),
    _model_request(dict(_EMPTY_MODEL, attribute_list=[["OnlyName"]])),
])
def test_template_service_refuses_unreadable_requests(payload):
    with pytest.raises(InternalError, match="Bad request"):
        _post_on_addon_endpoint("fillvarennatemplate/v3/jobs/", payload, timeout=60)


def test_addon_registry_swaps_services_and_reports_unknown_paths():
    with pytest.raises(InternalError, match="No add-on service"):
        _post_on_addon_endpoint("unknown/", {}, timeout=60)
    previous = register_addon_service("echo/", lambda payload: {"got": payload})
    try:
        assert _post_on_addon_endpoint("echo/", {"a": (1, 2)}) == {"got": {"a": [1, 2]}}
    finally:
        register_addon_service("echo/", previous)


def test_file_value_round_trips_bytes_and_text():
    assert File.from_data("\u00e9").getvalue_binary() == "\u00e9".encode("utf-8")
    with File.from_data(b"abc").open_binary() as stream:
        stream.seek(1)
        assert stream.read() == b"bc"
    with pytest.raises(TypeError):
        File.from_data(3)


def test_cells_serialise_and_match_their_results():
    assert NamedInputCell("x", True).serialize(False) == {"name": "x", "value": True}
    assert NamedInputCell("x", True).serialize(True) == {"name": "x", "value": "TRUE"}
    cell = DirectOutputCell("Sheet1", "B", 3)
    assert cell.equals({"sheet": "Sheet1", "column": "B", "row": 3, "value": 1})
    assert not cell.equals({"sheet": "Sheet1", "column": "B", "row": "3", "value": 1})
    assert NamedOutputCell("y").equals({"name": "y", "value": 2})


# --- object vocabulary ------------------------------------------------------------------------

@pytest.fixture
def steel():
    return vo.MatReinforcementEc2(
        3, "B 500B", 2e11, 8.3e10, 0.2, 7850, 0.6, 1e-5, 45, False, 1, vo.ThermalState(),
        vo.BarSurface.RIBBED, 5e8, 1.08, 0.005, 5.4e8, vo.ReinfClass.B, vo.ReinfType.BARS,
        vo.ReinfFabrication.HOT_ROLLED, vo.ReinfDiagramType.BILINEAR_INCLINED)


@pytest.mark.parametrize("n, dy, dz, expected", [
    (2, 0.3, None, [[0.1, 0.2], [0.4, 0.2]]),
    (3, None, -0.4, [[0.1, 0.2], [0.1, 0.0], [0.1, -0.2]]),
    (5, 0.4, 0.4, [[0.1 + 0.1 * i, 0.2 + 0.1 * i] for i in range(5)]),
])
def test_bar_layer_spreads_bars_evenly(steel, n, dy, dz, expected):
    rcs = vo.ReinforcedCrossSection(1, "R1", vo._ReferenceElement(1, "CrossSection"))
    rcs.create_bar_layer(origin=(0.1, 0.2), diameter=0.02, material=steel, number_of_bars=n,
                         delta_y=dy, delta_z=dz)
    assert [bar.coordinates for bar in rcs.bars] == [pytest.approx(p) for p in expected]
    assert {bar.material for bar in rcs.bars} == {vo._ReferenceElement(3, "MatReinforcement")}


@pytest.mark.parametrize("n", [0, 1, -2])
def test_bar_layer_needs_two_bars_and_adds_nothing_otherwise(steel, n):
    rcs = vo.ReinforcedCrossSection(1, "R1", vo._ReferenceElement(1, "CrossSection"))
    with pytest.raises(ValueError, match="minimum of 2"):
        rcs.create_bar_layer(origin=(0, 0), diameter=0.02, material=steel, number_of_bars=n)
    assert rcs.bars == []


def test_stirrup_defaults_and_extreme_names(steel):
    rcs = vo.ReinforcedCrossSection(1, "R1", vo._ReferenceElement(1, "CrossSection"))
    stirrup = rcs.create_stirrup([(0, 0), (1, 0), ((1, 1), (1.2, 0.5))], 0.008, steel, 0.2)
    assert (stirrup.shear_check, stirrup.torsion_check, stirrup.mandrel_diameter_factor,
            stirrup.anchorage_length) == (False, False, 1.0, 0.0)
    assert stirrup.points[2] == {"point": [1.0, 1.0], "arc_point": [1.2, 0.5]}
    section = vo.StandardCheckSection(4, "S4", vo._ReferenceElement(1, "CheckMember"),
                                      vo._ReferenceElement(1, "ReinforcedCrossSection"))
    section.create_extreme()
    section.create_extreme(description="mine")
    section.create_extreme()
    assert [e.description for e in section.extremes] == ["S4 - E 1", "mine", "S4 - E 3"]
    with pytest.raises(TypeError):
        section.create_extreme(frequent=vo.LoadingULS(vo.ResultOfInternalForces()))


@pytest.mark.parametrize("outline, closed", [
    ([(0, 0), (1, 0), (1, 1)], [[0, 0], [1, 0], [1, 1], [0, 0]]),
    ([(0, 0), (1, 0), (1, 1), (0, 0)], [[0, 0], [1, 0], [1, 1], [0, 0]]),  # already closed
])
def test_component_closes_its_polygons(outline, closed):
    concrete = vo.CheckMember1D(7, "stands in for a material: only id is read")
    section = vo.CrossSectionComponent(1, "")
    part = section.create_component(outline, concrete, openings=[outline])
    assert part.outline == closed and part.openings == [closed]
    assert part.material == vo._ReferenceElement(7, "MatConcrete")
    assert outline[0] == (0, 0) and len(outline) in (3, 4)  # caller's list untouched


@pytest.mark.parametrize("outline, openings", [
    ([(0, 0), (1, 0)], None),
    ([(0, 0), (1, 0), (0, 0)], None),
    ([(0, 0), (1, 0), (1, 1)], [[(0.1, 0.1), (0.2, 0.1)]]),
    ([(0, 0), (1, 0), ("a", 1)], None),
])
def test_component_refuses_degenerate_polygons(outline, openings):
    section = vo.CrossSectionComponent(1, "")
    with pytest.raises(ValueError):
        section.create_component(outline, vo.CheckMember1D(1, ""), openings=openings)
    assert section.components == []


def test_material_tables_and_member_data_defaults():
    assert vo._MATERIAL_PROPERTIES[vo.ConcreteMaterial.C30_37] == {"fck": 30}
    assert vo._MATERIAL_PROPERTIES[vo.ReinforcementMaterial.B_500A] == {
        "fyk": 500, "ftk_by_fyk": 1.05, "epsuk": 25}
    assert vo._MATERIAL_NAMES[vo.ReinforcementMaterial.B_400C] == {"name": "B 400C"}
    data = vo.ConcreteMemberDataEc2(vo._ReferenceElement(1, "CheckMember"), vo.MemberType.BEAM,
                                    vo.TwoWaySlabType.SLAB, None, None, None, None, None)
    assert (data.coeff_kx_for_wmax, data.creep_coefficient, data.relative_humidity) == (1.0, None, 65.0)
    assert data.calculation_setup.crack_width and data.exposure_class_data.no_corrosion
