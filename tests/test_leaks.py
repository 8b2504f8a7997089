"""Repeating an operation does not make the process grow.

Each public road (model building, input-XML generation, both result parsers, the analysis and
spreadsheet jobs, the script job) runs in rounds. After warm-up rounds that fill every cache,
a leak shows as growth in every later round: of the objects the collector tracks, of the
interpreter's allocated blocks (refcount leaks of untracked objects) or of the resident set
(native memory). Noise does not grow in every round, so a case fails only when all measured
rounds grew beyond the tolerance.

Error paths are included: a reference dropped on the way out of a failing call is the classic
leak of native code.
"""
import base64
import gc
import importlib
import io
import os
import subprocess
import sys
import warnings

import pytest

from quillon.core import File
from quillon.external import external_program as ep

WARM_UP_ROUNDS = 3
MEASURED_ROUNDS = 3
MIB = 1024 * 1024


def need(module_name, *names):
    """The module, or a skip naming what is not built yet."""
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        pytest.skip(f"{module_name} cannot be imported: {exc}")
    missing = [name for name in names if not hasattr(module, name)]
    if missing:
        pytest.skip(f"{module_name} has no {', '.join(missing)} yet")
    return module


def under_address_sanitizer():
    # Its quarantine keeps freed memory resident on purpose; RSS says nothing then.
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot():
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks(), resident_bytes()


def assert_no_growth(operation, per_round, *, objects=None, blocks=None, rss=MIB,
                     warm_up=WARM_UP_ROUNDS):
    """Fail when every measured round of ``per_round`` calls grew beyond the tolerances
    (defaults: a quarter of a tracked object and one block per call, 1 MiB per round).

    A reference leaked on every call costs at least one block per call; the interpreter's own
    caches (filled by new dictionary keys, float formatting and the like) grow by less and stop.
    """
    objects = per_round // 4 + 10 if objects is None else objects
    blocks = per_round + 20 if blocks is None else blocks
    check_rss = not under_address_sanitizer()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(warm_up):
            for _ in range(per_round):
                operation()
        before = snapshot()
        growth = []
        for _ in range(MEASURED_ROUNDS):
            for _ in range(per_round):
                operation()
            after = snapshot()
            growth.append(tuple(a - b for a, b in zip(after, before)))
            before = after
    report = ", ".join(f"round {i + 1}: {o:+d} objects, {b:+d} blocks, {r / 1024:+.0f} KiB"
                       for i, (o, b, r) in enumerate(growth))
    print(f"\n{per_round} calls per round; {report}")  # shown with pytest -s
    assert not all(o > objects for o, _, _ in growth), f"tracked objects grow: {report}"
    assert not all(b > blocks for _, b, _ in growth), f"allocated blocks grow: {report}"
    if check_rss:
        assert not all(r > rss for _, _, r in growth), f"resident memory grows: {report}"


def swallow(error_type, call, *args, **kwargs):
    """Run a call that must fail with ``error_type``; keep nothing of the failure."""
    try:
        call(*args, **kwargs)
    except error_type:
        return
    raise AssertionError(f"{call!r} did not raise {error_type.__name__}")


@pytest.fixture
def workers():
    """Register scripted workers by integration; the previous ones are put back afterwards."""
    previous = {}
    transport = ep.set_transport(None)

    def register(integration, worker):
        previous.setdefault(integration, ep.register_worker(integration, worker))

    yield register
    for integration, worker in previous.items():
        ep.register_worker(integration, worker)
    ep.set_transport(transport)


def b64(data):
    return base64.b64encode(data).decode("ascii")


# --- input models ---------------------------------------------------------------------------

def build_model(varenna, objects):
    model = varenna.Model()
    concrete = model.create_concrete_material(objects.ConcreteMaterial.C30_37)
    steel = model.create_reinforcement_material(objects.ReinforcementMaterial.B_500B, fyk=550)
    beam = model.create_beam(varenna.RectSection(0.3, 0.5), concrete, name="S 1")
    for y, z in ((-0.1, -0.2), (0.1, -0.2), (0.1, 0.2), (-0.1, 0.2)):
        beam.create_bar((y, z), 0.016, steel)
    beam.create_bar_layer(origin=(-0.1, 0.0), diameter=0.012, material=steel, number_of_bars=3,
                          delta_y=0.2)
    beam.create_stirrup([(-0.12, -0.22), (0.12, -0.22), (0.12, 0.22), (-0.12, 0.22)], 0.008,
                        steel, 0.2, shear_check=True)
    forces = objects.ResultOfInternalForces(N=-100000, My=210000)
    beam.create_extreme(frequent=objects.LoadingSLS(forces),
                        fundamental=objects.LoadingULS(forces))
    shape = varenna.GeneralShape([(0, 0), (0.4, 0), (0.4, 0.4), (0, 0.4)],
                                 openings=[[(0.1, 0.1), (0.2, 0.1), (0.2, 0.2)]])
    column = model.create_compression_member(shape, concrete, design_member_name="C")
    column.create_extreme(description="E", fundamental=objects.LoadingULS(forces))
    model.create_one_way_slab(varenna.RectSection(1.0, 0.2), concrete)
    assert len(beam.bars) == 7 and len(column.extremes) == 1
    return model


def build_open_model(varenna, objects):
    model = varenna.OpenModel(project_data=objects.ProjectData())
    concrete = model.create_matconcrete_ec2(objects.ConcreteMaterial.C25_30, fck_28=27)
    steel = model.create_matreinforcement_ec2(objects.ReinforcementMaterial.B_400A, epsuk=30)
    section = model.create_cross_section_parameter(objects.CrossSectionType.RECT, concrete,
                                                   Width=0.4, Height=0.6)
    component = model.create_cross_section_component("polygon")
    component.create_component([(0, 0), (1, 0), (0, 1)], concrete)
    rcs = model.create_reinforced_cross_section(section)
    rcs.create_bar((0.0, 0.0), 0.02, steel)
    member = model.create_check_member1d()
    check_section = model.add_check_section(member, rcs)
    check_section.create_extreme()
    model.add_member_data_ec2(member, objects.MemberType.BEAM, objects.TwoWaySlabType.SLAB)
    return model


def test_building_models_does_not_leak():
    varenna = need("quillon.external.varenna.varenna", "Model", "OpenModel", "RectSection",
                   "GeneralShape")
    objects = importlib.import_module("quillon.external.varenna.objects")

    def operation():
        build_model(varenna, objects)._serialize()
        build_open_model(varenna, objects)._serialize()
        # Failing creators leave the store as it was; their error path must not leak either.
        model = varenna.OpenModel()
        swallow(KeyError, model.create_matconcrete_ec2, "no such grade")
        swallow(TypeError, model.add_member_data_ec2, 1, 2, 3, 4)
        swallow(AttributeError, model.create_reinforced_cross_section, object())
        swallow(TypeError, varenna.Model().create_beam, varenna.RectSection(1, 1), None, None)

    # The interpreter's caches take a few hundred models to fill up.
    assert_no_growth(operation, per_round=40, warm_up=10)


def test_generating_input_xml_does_not_leak():
    varenna = need("quillon.external.varenna.varenna", "Model", "OpenModel")
    objects = importlib.import_module("quillon.external.varenna.objects")
    model = build_model(varenna, objects)
    broken = varenna.OpenModel()
    broken._attribute_list.append(object())  # nothing the encoder can write

    def operation():
        assert model.generate_xml_input().getvalue().startswith(b"<?xml")
        assert isinstance(model.generate_xml_input(as_file=True), File)
        swallow(AttributeError, broken.generate_xml_input)

    assert_no_growth(operation, per_round=20)


# --- result parsers -------------------------------------------------------------------------

def element(tag, *children, text=None):
    inner = "".join(children) if children else ("" if text is None else str(text))
    return f"<{tag}>{inner}</{tag}>"


def values(**numbers):
    return [element(k, text=v) for k, v in numbers.items()]


def result_type(name, *bases):
    return element("ResultOfType", element("ResultType", text=name),
                   element("CheckResults", *bases))


def base(*children):
    return element("ConcreteCheckResultBase", *children)


FORCES = values(N=-100.5, Qy=0, Qz=12.5, Mx=0, My=210.25, Mz=-3)
SHEAR = values(Ved=10, Vrd=20, Vrdc=15, Vrdmax=40, Vrdr=18, Vrds=22, CheckValue=0.5)


def extreme(i):
    return element(
        "SectionExtremeResult",
        result_type("Capacity", base(element("Fu", *FORCES), element("Fu1", *FORCES), "<Fu2/>",
                                     *values(CheckValue=0.1 * i, Result="OK"))),
        result_type("Shear", base(*SHEAR, element("Result", text="OK"))),
        result_type("Torsion", base(*values(Ted=1, Trdc=2, Trdmax=3, Trds=4, Trd=5,
                                            CheckValue=0.2, Result="OK"))),
        result_type("Interaction", base(*values(
            Ned=1, Medy=2, Medz=3, Ved=4, Ted=5, CheckValue=0.3, CheckValueShearAndTorsion=0.4,
            CheckValueShearTorsionAndBending=0.5, Result="OK"))),
        result_type("CrackWidth", base(*values(Check="CrackWidthShort", N=1, My=2, Mz=3,
                                               W=0.1, Wlim=0.3, CheckValue=0.33, Result="OK"))),
        result_type("Detailing", base(*values(CheckValueLongReinf=0.7, CheckValue=0.7,
                                              Result="OK"))),
        result_type("StressLimitation",
                    base(*values(Check="StressLimitationShort",
                                 TypeCheck="Check_7_2_2_Concrete_fck", Stress="NaN",
                                 CheckValue=0.1, Result="OK")),
                    base(*values(Check="StressLimitationLong",
                                 TypeCheck="Check_7_2_5_ReinforcementBars_fyk", Stress=300,
                                 CheckValue=0.6, Result="OK"))),
        result_type("Fatigue",
                    base(element("Check", text="Fatigue"), element("InternalForceMax", *FORCES),
                         element("InternalForceMin", *FORCES),
                         *values(CheckValue=0.4, DecissionMethod="Damage", Result="OK")),
                    base(element("Check", text="Shear"), element("Forces", *FORCES), *SHEAR,
                         element("Result", text="OK"))),
    )


def result_xml(sections=8, extremes=2):
    body = "".join(
        element("SectionConcreteCheckResult", element("SectionId", text=s),
                element("ExtremeResults", *(extreme(i) for i in range(extremes))))
        for s in range(1, sections + 1))
    text = '<?xml version="1.0" encoding="utf-16"?>' + element("ConcreteCheckResults", body)
    return text.encode("utf-16")


RESULT_XML = result_xml()


def test_streaming_parser_does_not_leak():
    varenna = need("quillon.external.varenna.varenna", "RcsOutputFileParser")
    errors = importlib.import_module("quillon.errors")
    stream = io.BytesIO(RESULT_XML)

    def operation():
        parser = varenna.RcsOutputFileParser(stream)
        count = 0
        for section in parser.section_results():
            count += len(section.extremes())
        assert count == 16
        assert len(parser.section_result(5).fatigue()) == 2
        swallow(errors.ParsingError, parser.section_result, 99)
        broken = varenna.RcsOutputFileParser(io.BytesIO(b"<a><b></a>"))
        swallow(SyntaxError, list, broken.section_results())  # the XML module's ParseError

    assert_no_growth(operation, per_round=20)


def test_whole_document_parser_does_not_leak():
    varenna = need("quillon.external.varenna.varenna", "OutputFileParser")
    errors = importlib.import_module("quillon.errors")

    def operation():
        parser = varenna.OutputFileParser(io.BytesIO(RESULT_XML))
        for section_id in parser.section_ids[:4]:
            parser.capacity_results(section_id)
            parser.shear_results(section_id)
            parser.crack_width_results(section_id)
            parser.detailing_results(section_id)
            parser.stress_limitation_results(section_id)
            parser.fatigue_results(section_id)
        assert "ConcreteCheckResults" in parser.raw_results()
        swallow(errors.ParsingError, parser.capacity_results, 99)
        swallow(errors.ParsingError, varenna.OutputFileParser, io.BytesIO(b"<a><b></a>"))

    assert_no_growth(operation, per_round=20)


# --- jobs -----------------------------------------------------------------------------------

def test_analysis_job_does_not_leak(workers):
    varenna = need("quillon.external.varenna.varenna", "VarennaAnalysis")
    errors = importlib.import_module("quillon.errors")
    answer = {"body": b64(RESULT_XML), "varenna_body": b64(b"project" * 1000)}

    def worker(content, *, integration, version):
        if not content["body"]:
            raise ep.WorkerFailure("Missing input")
        return answer

    workers("varenna", worker)
    input_xml = b"<input/>" * 2000

    def operation():
        job = varenna.VarennaAnalysis(io.BytesIO(input_xml), return_rcs_file=True)
        job.execute(timeout=10)
        assert job.get_output_file().getvalue() == RESULT_XML
        assert job.get_varenna_file(as_file=True).getvalue_binary().startswith(b"project")
        failing = varenna.VarennaAnalysis(File.from_data(b""))
        swallow(errors.ExecutionError, failing.execute, timeout=10)
        swallow(ValueError, failing.get_varenna_file)

    assert_no_growth(operation, per_round=30)


def test_spreadsheet_job_does_not_leak(workers):
    excel = need("quillon.external.excel", "Excel", "Macro")
    cells = importlib.import_module("quillon.external.spreadsheet")
    errors = importlib.import_module("quillon.errors")
    workbook = b"PK\x03\x04" + bytes(range(256)) * 64

    def answer(content, old):
        result = {"filled_template": content["template"],
                  "named_cells": [{"name": "y", "value": "42"}],
                  "direct_cells": [{"sheet": "Sheet1", "column": "B", "row": 3, "value": 7}]}
        return {"result" if old else "result_v2": result, "success": True,
                "warning_message": "", "error_message": ""}

    def worker(content, *, integration, version):
        macros = [m["name"] for m in content["macros"]]
        if "fail" in macros:
            raise ep.WorkerFailure("Error running macro fail")
        return answer(content, old="old" in macros)

    workers("excel", worker)

    def run(*macros, **options):
        job = excel.Excel(io.BytesIO(workbook),
                          named_input_cells=[cells.NamedInputCell("x", 3)],
                          direct_input_cells=[cells.DirectInputCell("Sheet1", "A", 1, 2.5)],
                          macros=[excel.Macro(m) for m in macros],
                          named_output_cells=[cells.NamedOutputCell("y")],
                          direct_output_cells=[cells.DirectOutputCell("Sheet1", "B", 3)],
                          **options)
        job.execute(timeout=10)
        return job

    def operation():
        job = run("main", extension=".xlsx")
        assert job.get_named_cell_result("y") == "42"
        assert job.get_direct_cell_result("Sheet1", "B", 3) == 7
        assert job.get_filled_template().getvalue_binary() == workbook
        assert job.success is True and job.error_message == "unknown errors"
        swallow(RuntimeError, job.get_named_cell_result, "nowhere")
        run("old")  # an old worker: warning, second run in the old interface
        swallow(ValueError, run, "old", typed_results=True)
        swallow(errors.ExecutionError, run, "fail")
        swallow(errors.SpreadsheetError, lambda: excel.Excel(io.BytesIO(b"")).filled_template)

    assert_no_growth(operation, per_round=20)


def test_script_job_does_not_leak():
    strand = need("quillon.external.strand", "StrandAnalysis")
    script = File.from_data("from pathlib import Path\nPath('out.txt').write_text('ok')\n")

    def operation():
        job = strand.StrandAnalysis(script=script, output_filenames=["out.txt"])
        job.execute(timeout=60)
        assert job.get_output_file("out.txt").getvalue() == b"ok"

    # A process per run: few runs, so only a gross leak can show.
    assert_no_growth(operation, per_round=1, objects=100, blocks=400, rss=4 * MIB, warm_up=1)


def test_objects_alive_at_exit_are_not_reported_as_leaks():
    # Users keep parsers and sections in module globals; the interpreter tears those down
    # after the extension's own state, which must not be reported as a leak.
    need("quillon.external.varenna.varenna", "RcsOutputFileParser", "OutputFileParser")
    script = f"""
import io
from quillon.external.varenna.varenna import OutputFileParser, RcsOutputFileParser
data = {RESULT_XML!r}
parser = RcsOutputFileParser(io.BytesIO(data))
section = parser.section_result(3)
walk = parser.section_results()
first = next(walk)
whole = OutputFileParser(io.BytesIO(data))
"""
    run = subprocess.run([sys.executable, "-"], input=script, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert "leaked" not in run.stderr, run.stderr
