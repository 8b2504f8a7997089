"""The modules' distribution installed where its users work: beside a host SDK that is not ours.

A fresh environment gets a foreign host (distribution ``quillon``, tests/foreign_host.py), then
the modules' wheel. The wheel must bring the three modules and their types and nothing else,
leave every host file as it was, run a small road against that host by plain import, and take
exactly its own files away again when uninstalled.

Slow (it makes an environment and, unless given one, builds the wheel): run with
``pytest -m slow tests/test_coexistence.py``. ``QUILLON_DIST`` names the wheel (or sdist) to
test; tools/build-dists passes each interpreter's.
"""
import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

from foreign_host import VERSION, host_wheel

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.slow

# What the modules' distribution may install, besides its own metadata.
MODULE_FILES = ("quillon/external/varenna/varenna.", "quillon/external/excel.",
                "quillon/external/strand.")
TYPE_FILES = {"quillon-stubs/py.typed", "quillon-stubs/external/varenna/varenna.pyi",
              "quillon-stubs/external/excel.pyi", "quillon-stubs/external/strand.pyi"}

ROAD = r'''
import base64, gzip, io, json, sys
from pathlib import Path

import quillon.core
from quillon.external.varenna import objects
from quillon.external.varenna.varenna import (Model, OutputFileParser, RcsOutputFileParser,
                                              RectSection, VarennaAnalysis)
from quillon.external.excel import Excel, Macro
from quillon.external.spreadsheet import DirectInputCell, DirectOutputCell
from quillon.external.strand import StrandAnalysis
import quillon.external.excel, quillon.external.strand, quillon.external.varenna.varenna as varenna

site = Path(sys.argv[1])
for module in (varenna, quillon.external.excel, quillon.external.strand, quillon.core, objects):
    assert Path(module.__file__).is_relative_to(site), module.__file__
assert quillon.core.__doc__ == "Files and the add-on service of a foreign host."

# A model, serialised and sent to the host's service.
model = Model()
concrete = model.create_concrete_material(objects.ConcreteMaterial.C30_37)
steel = model.create_reinforcement_material(objects.ReinforcementMaterial.B_500B)
for _ in range(2):
    beam = model.create_beam(RectSection(0.3, 0.6), concrete)
    beam.create_bar((0.0, -0.25), 0.02, steel)
    beam.create_extreme(fundamental=objects.LoadingULS(My=1.5e5))
serialized = model._serialize()
assert [pair[0] for pair in serialized["check_section_list"]] == ["StandardCheckSection"] * 2
assert json.dumps(serialized["mat_concrete_list"][0][1]["args"][1]) == '"C30/37"'
assert model.generate_xml_input().getvalue() == b"<Input sections='2'/>"

# A job's content, and the other two modules' jobs.
content = VarennaAnalysis(input_file=io.BytesIO(b"<Input/>"))._generate_job_content()._serialize()
assert base64.b64decode(content["body"]) == b"<Input/>", content
excel = Excel(io.BytesIO(b"book"), direct_input_cells=[DirectInputCell("S", "A", 1, 2)],
              direct_output_cells=[DirectOutputCell("S", "B", 1)], macros=[Macro("Run")])
assert excel._generate_job_content()._serialize()
assert StrandAnalysis(script=quillon.core.File.from_data("pass"))._integration == "strand"

# A result document, parsed both ways.
xml = """<?xml version="1.0" encoding="utf-16"?>
<Results><SectionConcreteCheckResult><SectionId>7</SectionId><ExtremeResults><Extreme><Check>
<ResultType>Capacity</ResultType><CheckResults><ConcreteCheckResultBase>
<Fu><N>-1</N><My>2</My></Fu><CheckValue>0.5</CheckValue><Result>OK</Result>
</ConcreteCheckResultBase></CheckResults></Check></Extreme></ExtremeResults>
</SectionConcreteCheckResult></Results>""".encode("utf-16")
walked = [(s.id_, [e["capacity"] for e in s.extremes()])
          for s in RcsOutputFileParser(io.BytesIO(xml)).section_results()]
assert walked[0][0] == 7 and walked[0][1][0]["CheckValue"] == 0.5, walked
whole = OutputFileParser(io.BytesIO(xml))
assert whole.section_ids == [7] and whole.capacity_results(7)[0]["Result"] == "OK"
print("road ok")
'''


def run(*command, **kwargs):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          timeout=1800, **kwargs)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done.stdout


def isolated_env():
    """The environment without anything that would put this checkout on the import path."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}


def modules_dist(tmp_path):
    given = os.environ.get("QUILLON_DIST")
    if given:
        return Path(given).resolve()
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", tmp_path / "wheel", ROOT)
    return next((tmp_path / "wheel").glob("quillon_integrations-*.whl"))


def snapshot(site):
    """Every file of the host as installed, with its hash."""
    files = [p for top in ("quillon", f"quillon-{VERSION}.dist-info")
             for p in (site / top).rglob("*") if p.is_file() and "__pycache__" not in p.parts]
    return {p.relative_to(site).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in files}


def test_modules_install_beside_a_foreign_host_and_leave_it_alone(tmp_path):
    dist = modules_dist(tmp_path)
    env_dir = tmp_path / "env"
    run(sys.executable, "-m", "venv", env_dir)
    python = env_dir / "bin" / "python"
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip())
    pip = [python, "-m", "pip", "--disable-pip-version-check", "--no-input"]
    env = isolated_env()

    run(*pip, "install", "-q", "--no-index", host_wheel(tmp_path), env=env)
    host = snapshot(site)
    assert "quillon/core.py" in host and not (site / "quillon" / "py.typed").exists()

    installed = run(*pip, "install", "--no-deps", dist, env=env)
    assert "Uninstalling" not in installed and "uninstalled" not in installed, installed
    after = snapshot(site)
    assert {path: after.get(path) for path in host} == host, "installing the modules changed a host file"
    listed = run(*pip, "list", "--format=freeze", env=env).split()
    assert f"quillon=={VERSION}" in listed and any(
        line.startswith("quillon-integrations==") for line in listed), listed

    # The distribution's own files: the three modules and their types, nothing else.
    record = next(site.glob("quillon_integrations-*.dist-info")) / "RECORD"
    paths = {line.split(",")[0] for line in record.read_text().splitlines()}
    own = {p for p in paths if ".dist-info/" not in p}
    modules = {p for p in own if p.startswith(MODULE_FILES) and p.endswith(".so")}
    assert len(modules) == 3 and own == modules | TYPE_FILES, sorted(own)

    # Plain import from the environment, from a folder that is not this checkout.
    assert "road ok" in run(python, "-c", ROAD, site, cwd=tmp_path, env=env)

    run(*pip, "uninstall", "-y", "quillon-integrations", env=env)
    assert not any((site / p).exists() for p in own), "a module file outlived the uninstall"
    assert snapshot(site) == host, "uninstalling the modules changed a host file"
    check = ("import quillon.core, quillon.external.varenna.objects\n"
             "try:\n    import quillon.external.varenna.varenna\n"
             "except ModuleNotFoundError:\n    print('host ok')\n")
    assert "host ok" in run(python, "-c", check, cwd=tmp_path, env=env)
