import base64
import inspect
import io

import pytest

from quillon.core import File
from quillon.external import excel
from quillon.external import external_program as ep
from quillon.external.excel import Excel, Macro
from quillon.external.spreadsheet import (DirectInputCell, DirectOutputCell, NamedInputCell,
                                          NamedOutputCell)

from scripted_worker import worker  # noqa: F401  (fixture)

WORKBOOK = b"PK\x03\x04 not really a workbook \xff"
LISTS = ("_named_input_cells", "_named_output_cells", "_direct_input_cells",
         "_direct_output_cells", "_macros")


class RecordingCell:
    """A cell that records how it was serialized."""

    def __init__(self, tag):
        self.tag = tag
        self.calls = []

    def serialize(self, *args):
        self.calls.append(args)
        return {"tag": self.tag, "args": list(args)}


def test_module_surface():
    assert tuple(excel.__all__) == ("Excel", "Macro")
    assert issubclass(Excel, ep.ExternalProgram)
    assert Excel.__module__ == Macro.__module__ == "quillon.external.excel"
    assert "get_direct_cell_result('Sheet1', 'B', 3)" in Excel.__doc__


# --- Macro ---------------------------------------------------------------------------------------

def test_macro_stores_its_command_and_serializes_to_a_name():
    macro = Macro("RunAll")
    assert macro.command == "RunAll"
    assert macro.serialize() == {"name": "RunAll"}
    assert macro.serialize() is not macro.serialize()
    assert str(inspect.signature(Macro)) == "(command: 'str') -> None"
    assert str(inspect.signature(Macro.serialize)) == "(self) -> 'dict'"
    with pytest.raises(TypeError):
        Macro()


# --- construction --------------------------------------------------------------------------------

def test_signature_has_every_parameter_with_its_default():
    assert str(inspect.signature(Excel)) == (
        "(template: 'Union[BytesIO, File]', named_input_cells: 'List[NamedInputCell]' = None, "
        "direct_input_cells: 'List[DirectInputCell]' = None, macros: 'List[Macro]' = None, "
        "named_output_cells: 'List[NamedOutputCell]' = None, "
        "direct_output_cells: 'List[DirectOutputCell]' = None, extension: 'str' = '.xlsm', "
        "typed_results: 'bool' = False) -> None")


def test_defaults():
    template = io.BytesIO(WORKBOOK)
    job = Excel(template)
    assert all(getattr(job, name) == [] for name in LISTS)
    assert job.template is template
    assert job._extension == ".xlsm" and job._typed_results is False
    assert job._success is job._error_string is job._filled_template is None
    assert job._version == 1 and job._integration_key == "excel"


def test_lists_are_stored_by_reference_and_never_shared():
    given = [[NamedInputCell("a", 1)], [DirectInputCell("S", "A", 1, 2)], [Macro("m")],
             [NamedOutputCell("b")], [DirectOutputCell("S", "B", 2)]]
    job = Excel(io.BytesIO(), *given, ".xlsx", True)  # every parameter positionally
    assert job._named_input_cells is given[0] and job._direct_input_cells is given[1]
    assert job._macros is given[2] and job._named_output_cells is given[3]
    assert job._direct_output_cells is given[4]
    assert job._extension == ".xlsx" and job._typed_results is True

    first, second = Excel(io.BytesIO()), Excel(io.BytesIO())
    lists = [getattr(j, name) for j in (first, second) for name in LISTS]
    assert len({id(x) for x in lists}) == len(lists)


@pytest.mark.parametrize("extension, typed, version", [
    (".xlsm", False, 1),
    (".xlsm", 0, 1),
    (".xlsm", None, 1),
    (".xlsx", False, 2),
    (".XLSM", False, 2),
    ("xlsm", False, 2),
    (".xlsm", True, 2),
    (".xlsm", 1, 2),
    (".xlsx", True, 2),
])
def test_version_rule(extension, typed, version):
    job = Excel(io.BytesIO(), extension=extension, typed_results=typed)
    assert job._version == version
    assert job._typed_results is typed  # stored as passed


# --- job content ---------------------------------------------------------------------------------

def test_empty_job_content():
    content = Excel(File.from_data(WORKBOOK))._generate_job_content()
    assert isinstance(content, ep._JobContent)
    data = content._serialize()
    assert list(data) == ["template", "input", "macros", "output",
                          "command_execution_timeout_seconds", "extension"]
    assert data == {"template": base64.b64encode(WORKBOOK).decode("ascii"),
                    "input": {"named_cells": [], "direct_cells": []}, "macros": [],
                    "output": {"named_cells": [], "direct_cells": []},
                    "command_execution_timeout_seconds": 10, "extension": ".xlsm"}
    assert type(data["command_execution_timeout_seconds"]) is int


@pytest.mark.parametrize("flag", [False, True])
def test_input_cells_get_the_interface_flag_and_output_cells_nothing(flag):
    named_in, direct_in = RecordingCell("ni"), RecordingCell("di")
    named_out, direct_out = RecordingCell("no"), RecordingCell("do")
    job = Excel(io.BytesIO(WORKBOOK), [named_in], [direct_in], None, [named_out], [direct_out],
                ".xlsx")
    data = job._generate_job_content(flag)._serialize()
    assert data["input"] == {"named_cells": [{"tag": "ni", "args": [flag]}],
                             "direct_cells": [{"tag": "di", "args": [flag]}]}
    assert data["output"] == {"named_cells": [{"tag": "no", "args": []}],
                              "direct_cells": [{"tag": "do", "args": []}]}
    assert data["extension"] == ".xlsx"
    assert job._generate_job_content()._serialize()["input"]["named_cells"][0]["args"] == [False]


def test_host_cells_and_macros_keep_their_order():
    job = Excel(io.BytesIO(WORKBOOK),
                named_input_cells=[NamedInputCell("b", 2), NamedInputCell("a", True)],
                macros=[Macro("Second"), Macro("First"), Macro("Second")])
    new = job._generate_job_content()._serialize()
    old = job._generate_job_content(True)._serialize()
    assert [m["name"] for m in new["macros"]] == ["Second", "First", "Second"]
    assert new["input"]["named_cells"] == [{"name": "b", "value": 2}, {"name": "a", "value": True}]
    assert old["input"]["named_cells"] == [{"name": "b", "value": "2"},
                                           {"name": "a", "value": "TRUE"}]


def test_content_is_built_fresh_each_time():
    cells = [NamedInputCell("a", 1)]
    job = Excel(io.BytesIO(WORKBOOK), named_input_cells=cells)
    first = job._generate_job_content()
    cells.append(NamedInputCell("b", 2))
    second = job._generate_job_content()
    assert first is not second
    assert len(first._serialize()["input"]["named_cells"]) == 1
    assert len(second._serialize()["input"]["named_cells"]) == 2


@pytest.mark.parametrize("kwargs, missing", [
    ({"template": b"bytes"}, "getvalue_binary"),
    ({"template": io.BytesIO(), "macros": ["not a macro"]}, "serialize"),
    ({"template": io.BytesIO(), "named_output_cells": [object()]}, "serialize"),
])
def test_objects_without_the_needed_method_fail_when_content_is_built(kwargs, missing):
    job = Excel(**kwargs)  # nothing validated here
    with pytest.raises(AttributeError, match=missing):
        job._generate_job_content()


def test_base_builds_the_content_with_the_new_interface(worker):
    worker.answer({"result_v2": {"filled_template": ""}, "success": True})
    job = Excel(io.BytesIO(WORKBOOK), named_input_cells=[NamedInputCell("a", 1.5)],
                typed_results=True)
    job.execute(timeout=7)
    (call,) = worker.calls
    assert call["integration"] == "excel" and call["version"] == 2 and call["timeout"] == 7
    assert call["content"]["input"]["named_cells"] == [{"name": "a", "value": 1.5}]
