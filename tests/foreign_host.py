"""A host SDK that is not the stand-in in contracts/: written from the names the modules import
and the calls they make, in as few lines as will do, with no type information (no py.typed, no
stubs). The modules must load and run against it exactly as against the stand-in.

``write_host(folder)`` lays out its package ``quillon`` in ``folder``; ``host_wheel(folder)``
packs it as the wheel of distribution ``quillon`` 99.0.0, as an SDK is installed.
"""
import base64
import csv
import hashlib
import io
import zipfile
from pathlib import Path

VERSION = "99.0.0"

_ENUMS = {
    "ConcreteMaterial": ["C30_37=C30/37", "C40_50=C40/50"],
    "ReinforcementMaterial": ["B_500B=B 500B"],
    "CrossSectionType": ["RECT", "GENERAL"],
    "MemberType": ["BEAM", "COLUMN", "BEAM_SLAB"],
    "TwoWaySlabType": ["SLAB"],
    "BarSurface": ["RIBBED"],
    "ReinfClass": ["B"],
    "ReinfType": ["BARS"],
    "ReinfDiagramType": ["BILINEAR_INCLINED"],
    "ReinfFabrication": ["HOT_ROLLED"],
    "ConcDiagramType": ["PARABOLIC"],
    "ConcAggregateType": ["QUARTZITE"],
    "ConcCementClass": ["R"],
}

_PLAIN_OBJECTS = [
    "CheckMember", "CheckMember1D", "MatConcrete", "MatConcreteEc2", "MatReinforcement",
    "MatReinforcementEc2", "CrossSection", "CrossSectionParameter", "ReinforcedBar", "Stirrup",
    "CheckSectionExtreme", "ConcreteMemberDataEc2", "ExposureClassesDataEc2",
    "CalculationSetup", "ThermalState", "ConcDependentParams", "LoadingSLS", "LoadingULS",
    "FatigueLoading", "ProjectData", "CodeSettings",
]

_OBJECTS = '''"""Section-check vocabulary of a foreign host: every object one generic record."""
import enum


class _OpenObject:
    def __init__(self, *args, **fields):
        self.id = args[0] if args and type(args[0]) is int else None
        self.args = list(args)
        self.fields = fields

    def _serialize(self):
        return {"kind": type(self).__name__, "args": self.args, **self.fields}


class _ReferenceElement(_OpenObject):
    pass


class ReinforcedCrossSection(_OpenObject):
    def __init__(self, *args):
        super().__init__(*args)
        self.bars, self.stirrups = [], []

    def create_bar(self, coordinates, diameter, material):
        self.bars.append(ReinforcedBar(coordinates, diameter, material))
        return self.bars[-1]

    def create_bar_layer(self, **layer):
        self.bars.append(ReinforcedBar(**layer))
        return [self.bars[-1]]

    def create_stirrup(self, *args):
        self.stirrups.append(Stirrup(*args))
        return self.stirrups[-1]

    def _serialize(self):
        return {**super()._serialize(), "bars": self.bars, "stirrups": self.stirrups}


class CheckSection(_OpenObject):
    def __init__(self, *args):
        super().__init__(*args)
        self.extremes = []

    def create_extreme(self, **loads):
        self.extremes.append(CheckSectionExtreme(**loads))
        return self.extremes[-1]

    def _serialize(self):
        return {**super()._serialize(), "extremes": self.extremes}


class StandardCheckSection(CheckSection):
    pass


class CrossSectionComponent(_OpenObject):
    def create_component(self, outline, material, openings=None):
        self.fields.setdefault("components", []).append([outline, material, openings])

'''


def _objects_source():
    lines = [_OBJECTS]
    for name in _PLAIN_OBJECTS:
        lines.append(f"class {name}(_OpenObject):\n    pass\n\n")
    for name, members in _ENUMS.items():
        body = "".join(f"    {m.split('=')[0]} = {m.split('=')[-1]!r}\n" for m in members)
        lines.append(f"class {name}(enum.Enum):\n{body}\n")
    lines.append(
        "_MATERIAL_NAMES = {m: {'name': m.value} for m in [*ConcreteMaterial, "
        "*ReinforcementMaterial]}\n"
        "_MATERIAL_PROPERTIES = {m: {'fck': 30.0, 'fyk': 500.0, 'ftk_by_fyk': 1.08, "
        "'epsuk': 50.0} for m in [*ConcreteMaterial, *ReinforcementMaterial]}\n")
    return "".join(lines)


_CORE = '''"""Files and the add-on service of a foreign host."""
import base64
import gzip
import json


class File:
    def __init__(self, data):
        self._data = data

    @classmethod
    def from_data(cls, data):
        return cls(data.encode() if isinstance(data, str) else bytes(data))

    def getvalue_binary(self):
        return self._data


def _post_on_addon_endpoint(path, payload, timeout=None):
    model = json.loads(gzip.decompress(base64.b64decode(payload["input"])))
    xml = "<Input sections='%d'/>" % len(model["check_section_list"])
    return {"input_file": base64.b64encode(gzip.compress(xml.encode())).decode()}
'''

_ERRORS = "".join(f"class {name}(Exception):\n    pass\n\n\n" for name in (
    "ExecutionError", "ParsingError", "InternalError", "SpreadsheetError",
    "_OldExcelWorkerError"))

_EXTERNAL_PROGRAM = '''"""Jobs of a foreign host; nothing is sent anywhere."""


class _JobContent:
    def __init__(self, mapping=None, **fields):
        self._fields = {**(mapping or {}), **fields}

    def _serialize(self):
        return dict(self._fields)


class ExternalProgram:
    def __init__(self, key, version=1):
        self._key, self._version = key, version
        self._job_content = self._result_content = None

    def execute(self, timeout=None):
        self._job_content = self._generate_job_content()._serialize()

    def _get_result(self, key, as_file=False):
        return None
'''

_PYTHON = '''from quillon.external.external_program import ExternalProgram, _JobContent


class PythonAnalysis(ExternalProgram):
    _integration = "python"

    def __init__(self, script=None, files=None, output_filenames=None, script_key=None):
        super().__init__(type(self)._integration)
        self.script, self.files, self.output_filenames = script, files, output_filenames
'''

_SPREADSHEET = '''class _Cell:
    def __init__(self, *address):
        self.address, self.result = address, None

    def serialize(self, use_old_worker_interface=False):
        return {"address": list(self.address)}

    def equals(self, cell_result):
        return cell_result.get("address") == list(self.address)


class NamedInputCell(_Cell):
    pass


class DirectInputCell(_Cell):
    pass


class NamedOutputCell(_Cell):
    pass


class DirectOutputCell(_Cell):
    pass
'''

FILES = {
    "quillon/__init__.py": '"""A host SDK that is not the stand-in."""\n',
    "quillon/core.py": _CORE,
    "quillon/errors.py": _ERRORS,
    "quillon/external/__init__.py": "",
    "quillon/external/external_program.py": _EXTERNAL_PROGRAM,
    "quillon/external/python.py": _PYTHON,
    "quillon/external/spreadsheet.py": _SPREADSHEET,
    "quillon/external/varenna/__init__.py": "",
}


def host_files():
    """The host package's files, path -> text."""
    return {**FILES, "quillon/external/varenna/objects.py": _objects_source()}


def write_host(folder):
    """Writes the package ``quillon`` into ``folder`` (a site-packages, say)."""
    for relative, text in host_files().items():
        path = Path(folder, relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def host_wheel(folder):
    """The host as the wheel of distribution ``quillon`` in ``folder``; returns its path."""
    info = f"quillon-{VERSION}.dist-info"
    files = {path: text.encode() for path, text in host_files().items()}
    files[f"{info}/METADATA"] = f"Metadata-Version: 2.1\nName: quillon\nVersion: {VERSION}\n".encode()
    files[f"{info}/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\n"
                              b"Tag: py3-none-any\n")
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        writer.writerow([path, f"sha256={digest}", len(data)])
    writer.writerow([f"{info}/RECORD", "", ""])
    files[f"{info}/RECORD"] = record.getvalue().encode()
    wheel = Path(folder, f"quillon-{VERSION}-py3-none-any.whl")
    with zipfile.ZipFile(wheel, "w") as archive:
        for path, data in files.items():
            archive.writestr(path, data)
    return wheel
