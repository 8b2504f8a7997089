"""The spreadsheet road on one machine: Excel jobs answered by the local "excel" worker."""

import io

import pytest

openpyxl = pytest.importorskip("openpyxl")
pytest.importorskip("formulas")

from openpyxl.workbook.defined_name import DefinedName  # noqa: E402

from quillon.core import File  # noqa: E402
from quillon.errors import ExecutionError  # noqa: E402
from quillon.external import _local_excel_worker as local  # noqa: E402
from quillon.external import external_program as ep  # noqa: E402
from quillon.external.excel import Excel, Macro  # noqa: E402
from quillon.external.spreadsheet import (DirectInputCell, DirectOutputCell,  # noqa: E402
                                          NamedInputCell, NamedOutputCell)


def make_workbook():
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Sheet1"
    sheet["A1"] = 2
    sheet["B1"] = "=A1*3+1"
    sheet["B2"] = '=IF(A1>5,"big","small")'
    sheet["B3"] = "=A1>1"
    sheet["D1"] = "=DATE(1998,2,23)+A1"
    sheet["D1"].number_format = "yyyy-mm-dd"
    other = book.create_sheet("Data sheet")
    other["C5"] = "=Sheet1!B1+1"
    book.defined_names["x"] = DefinedName("x", attr_text="Sheet1!$A$1")
    book.defined_names["y"] = DefinedName("y", attr_text="Sheet1!$B$1")
    stream = io.BytesIO()
    book.save(stream)
    return stream.getvalue()


@pytest.fixture(scope="module")
def workbook():
    return make_workbook()


@pytest.fixture
def use_worker():
    """Plug a local worker in for the test, restoring whatever was there."""
    previous_transport = ep.set_transport(None)
    previous = ep.get_worker("excel")

    def use(worker=local.run_excel_job):
        ep.register_worker("excel", worker)
        return worker

    yield use
    ep.register_worker("excel", previous)
    ep.set_transport(previous_transport)


def outputs():
    return ([NamedOutputCell("y")],
            [DirectOutputCell("Sheet1", "B", 2), DirectOutputCell("Sheet1", "B", 3),
             DirectOutputCell("Data sheet", "C", 5)])


def test_registry_imports_the_local_worker_on_first_use():
    assert ep._LOCAL_WORKER_MODULES["excel"] == "quillon.external._local_excel_worker"
    assert callable(local.run_excel_job) and "cannot" in local.__doc__


def test_new_worker_recalculates_with_typed_values(use_worker, workbook):
    use_worker()
    named, direct = outputs()
    date = DirectOutputCell("Sheet1", "D", 1)
    job = Excel(File.from_data(workbook), named_input_cells=[NamedInputCell("x", 6)],
                named_output_cells=named, direct_output_cells=direct + [date],
                extension=".xlsx")
    job.execute(timeout=60)
    assert job.success is True and job.error_message == "unknown errors"
    assert job.get_named_cell_result("y") == 19
    assert [c.result for c in direct] == ["big", True, 20]
    assert date.result == "1998-03-01T00:00:00Z"
    filled = openpyxl.load_workbook(job.filled_template)
    assert filled["Sheet1"]["A1"].value == 6 and filled["Sheet1"]["B1"].value == "=A1*3+1"


def test_version_one_job_gets_text_values(use_worker, workbook):
    use_worker()
    named, direct = outputs()
    job = Excel(io.BytesIO(workbook), direct_input_cells=[DirectInputCell("Sheet1", "A", 1, 1.5)],
                named_output_cells=named, direct_output_cells=direct)
    job.execute(timeout=60)
    assert job.get_named_cell_result("y") == "5.5"
    assert job.get_direct_cell_result("Sheet1", "B", 3) == "TRUE"
    assert job.get_direct_cell_result("Data sheet", "C", 5) == "6.5"


def test_old_worker_answers_after_the_fallback(use_worker, workbook, monkeypatch):
    use_worker()
    monkeypatch.setattr(local, "OLD_WORKER", True)
    named, _ = outputs()
    job = Excel(io.BytesIO(workbook), named_input_cells=[NamedInputCell("x", 4)],
                named_output_cells=named)
    with pytest.warns(UserWarning, match="old worker"):
        job.execute(timeout=60)
    assert job.get_named_cell_result("y") == "13"


def test_old_worker_flag_with_typed_results(use_worker, workbook):
    use_worker(local.LocalExcelWorker(old_interface=True))
    job = Excel(io.BytesIO(workbook), typed_results=True)
    with pytest.warns(UserWarning), pytest.raises(ValueError, match="typed_results=True"):
        job.execute(timeout=60)


def test_python_macros_run_in_order_and_others_fail(use_worker, workbook):
    order = []

    def double(book):
        order.append("double")
        book["Sheet1"]["A1"].value *= 2

    def add_one(book):
        order.append("add_one")
        book["Sheet1"]["A1"].value += 1

    use_worker(local.LocalExcelWorker(macros={"Double": double, "AddOne": add_one}))
    named, _ = outputs()
    job = Excel(io.BytesIO(workbook), named_input_cells=[NamedInputCell("x", 3)],
                macros=[Macro("AddOne"), Macro("Double")], named_output_cells=named,
                extension=".xlsx")
    job.execute(timeout=60)
    assert order == ["add_one", "double"] and job.get_named_cell_result("y") == 25

    job = Excel(io.BytesIO(workbook), macros=[Macro("AddOne"), Macro("Recalc")])
    with pytest.raises(ExecutionError) as info:
        job.execute(timeout=60)
    assert info.value.args == ("Error running macro Recalc",)


@pytest.mark.parametrize("cells, prefix", [
    ({"named_input_cells": [NamedInputCell("nope", 1)]}, "Filling named cell nope"),
    ({"direct_input_cells": [DirectInputCell("Nope", "A", 1, 1)]}, "Filling direct cell Nope!A1"),
])
def test_cells_that_cannot_be_filled_fail_with_the_worker_message(use_worker, workbook, cells,
                                                                  prefix):
    use_worker()
    with pytest.raises(ExecutionError) as info:
        Excel(io.BytesIO(workbook), **cells).execute(timeout=60)
    assert str(info.value).startswith(prefix)


def test_unreadable_workbook_is_reported_by_the_base(use_worker):
    use_worker()
    with pytest.raises(ExecutionError, match="Opening the workbook failed"):
        Excel(io.BytesIO(b"not a workbook")).execute(timeout=60)


@pytest.mark.parametrize("cells", [
    {"named_output_cells": [NamedOutputCell("y")]},
    {"named_input_cells": [NamedInputCell("nope", 1)]},
    {"macros": [Macro("Unknown")]},
], ids=["answered", "filling-failed", "macro-failed"])
def test_macro_workbook_leaves_nothing_open_for_the_collector(use_worker, workbook, monkeypatch,
                                                              cells):
    import gc
    import sys

    use_worker()
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    job = Excel(io.BytesIO(workbook), **cells)  # ".xlsm": the macro part is kept
    gc.disable()  # whatever the job left behind is collected below, all at once
    try:
        job.execute(timeout=60)
    except ExecutionError:
        pass
    finally:
        del job
        gc.enable()
        gc.collect()
    assert [str(u.exc_value) for u in unraisable] == []


def test_recalculation_is_quiet_and_leaves_stderr_alone(use_worker, workbook, monkeypatch,
                                                        capfd):
    import sys

    import formulas

    seen = []
    calculate = formulas.ExcelModel.calculate

    def spying(model, *args, **kwargs):
        seen.append(sys.stderr)  # other threads keep writing here meanwhile
        return calculate(model, *args, **kwargs)

    monkeypatch.setattr(formulas.ExcelModel, "calculate", spying)
    use_worker()
    stderr = sys.stderr
    job = Excel(io.BytesIO(workbook), named_output_cells=[NamedOutputCell("y")],
                extension=".xlsx")
    job.execute(timeout=60)
    assert job.get_named_cell_result("y") == 7
    assert seen == [stderr] and sys.stderr is stderr
    assert capfd.readouterr().err == ""
