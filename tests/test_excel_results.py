import base64
import binascii
import inspect
import io
import warnings

import pytest

from quillon.core import File
from quillon.errors import ExecutionError, SpreadsheetError, _OldExcelWorkerError
from quillon.external import external_program as ep
from quillon.external.excel import Excel
from quillon.external.spreadsheet import (DirectOutputCell, NamedInputCell, NamedOutputCell)

from scripted_worker import worker  # noqa: F401  (fixture)

BOOK = b"filled workbook \x00\xff"
OLD_WARNING = ("You are using an old worker, which should be replaced by a newer version."
               "Contact QUILLON to get a new worker")
TYPED_OLD = ("It is not possible to use  typed_results=True together with an old worker. "
             "Contact QUILLON to get a new worker")


def b64(data):
    return base64.b64encode(data).decode("ascii")


def result(named=None, direct=None, book=BOOK):
    mapping = {"filled_template": b64(book)}
    if named is not None:
        mapping["named_cells"] = named
    if direct is not None:
        mapping["direct_cells"] = direct
    return mapping


def answered(content, **kwargs):
    """An Excel job whose base already holds ``content`` as the worker's answer."""
    job = Excel(io.BytesIO(b"template"), **kwargs)
    job._result_content = content
    return job


# --- error string ------------------------------------------------------------------------------

@pytest.mark.parametrize("content, text", [
    ({}, "unknown errors"),
    ({"warning_message": "", "error_message": ""}, "unknown errors"),
    ({"warning_message": "w"}, "Warning: w \n"),
    ({"error_message": "e"}, "Error: e"),
    ({"warning_message": "w", "error_message": "e"}, "Warning: w \nError: e"),
    ({"warning_message": None}, "Warning: None \n"),
    ({"error_message": 0}, "Error: 0"),
    ({"warning_message": "", "error_message": "e"}, "Error: e"),
])
def test_error_string(content, text):
    assert Excel._create_error_string(content) == text
    assert str(inspect.signature(Excel._create_error_string)) == (
        "(result_content: 'dict') -> 'str'")


# --- processing ----------------------------------------------------------------------------------

def test_processing_without_an_answer():
    job = Excel(io.BytesIO())
    assert job.result_available() is False
    with pytest.raises(RuntimeError, match=r"^\[Excel\] Run execute first$"):
        job._process_result()


def test_successful_answer_fills_state_and_cells():
    named, direct = NamedOutputCell("n"), DirectOutputCell("S", "B", 3)
    job = answered({"result_v2": result([{"name": "n", "value": 4.5}],
                                        [{"sheet": "S", "column": "B", "row": 3, "value": "x"}]),
                    "success": True},
                   named_output_cells=[named], direct_output_cells=[direct])
    job._process_result()
    assert job.success is True and job.error_message == "unknown errors"
    assert job.filled_template.getvalue() == BOOK
    assert (named.result, direct.result) == (4.5, "x")
    assert job.get_named_cell_result("n") == 4.5
    assert job.get_direct_cell_result("S", "B", 3) == "x"


def test_answer_without_success_is_processed_fully():
    cell = NamedOutputCell("n")
    job = answered({"result_v2": result([{"name": "n", "value": 1}])}, named_output_cells=[cell])
    job._process_result()
    assert job.success is None and cell.result == 1


@pytest.mark.parametrize("content, message", [
    ({"warning_message": "careful"}, "External Excel run failed: Warning: careful \n"),
    ({"error_message": "bad"}, "External Excel run failed: Error: bad"),
    ({}, "External Excel run failed: unknown errors"),
])
def test_failed_run_sets_flags_but_leaves_workbook_and_cells(content, message):
    cell = NamedOutputCell("n")
    cell.result = "before"
    job = answered({"result_v2": result([{"name": "n", "value": 1}]), "success": False, **content},
                   named_output_cells=[cell])
    with pytest.raises(RuntimeError) as info:
        job._process_result()
    assert str(info.value) == message
    assert job.success is False
    assert job.error_message == message[len("External Excel run failed: "):]
    assert job._filled_template is None and cell.result == "before"


def test_new_result_wins_over_old_one():
    cell = NamedOutputCell("n")
    job = answered({"result_v2": result([{"name": "n", "value": "new"}]),
                    "result": result([{"name": "n", "value": "old"}], book=b"old")},
                   named_output_cells=[cell])
    job._process_result()
    assert cell.result == "new" and job.filled_template.getvalue() == BOOK


def test_old_answer_is_refused_first_and_read_in_old_mode():
    cell = NamedOutputCell("n")
    job = answered({"result": result([{"name": "n", "value": "3"}]), "success": True},
                   named_output_cells=[cell])
    with pytest.raises(_OldExcelWorkerError) as info:
        job._process_result()
    assert info.value.args == ()
    assert job._error_string is None  # refused before anything was set
    job._process_result(True)
    assert cell.result == "3"


def test_old_answer_with_typed_results():
    job = answered({"result": result(), "success": True}, typed_results=True)
    with pytest.raises(ValueError) as info:
        job._process_result(True)
    assert str(info.value) == TYPED_OLD


@pytest.mark.parametrize("mapping, error", [
    ({"named_cells": [{"name": "n", "value": 1}]}, KeyError),
    ({"filled_template": "A"}, binascii.Error),
    ({"filled_template": "Zm9vY", "named_cells": [{"name": "n", "value": 1}]}, binascii.Error),
])
def test_broken_workbook_leaves_workbook_and_cells_untouched(mapping, error):
    cell = NamedOutputCell("n")
    job = answered({"result_v2": mapping, "success": True}, named_output_cells=[cell])
    with pytest.raises(error):
        job._process_result()
    assert job._filled_template is None and cell.result is None
    assert job.success is True  # set before the workbook was read


def test_base64_is_decoded_like_the_standard_decoder():
    # Characters outside the alphabet are skipped, as the non-validating decoder does.
    job = answered({"result_v2": {"filled_template": "Zm9v\nYmFy"}})
    job._process_result()
    assert job.filled_template.getvalue() == b"foobar"


def test_every_matching_cell_gets_the_value_and_others_keep_theirs():
    first, second, other = NamedOutputCell("n"), NamedOutputCell("n"), NamedOutputCell("z")
    other.result = "kept"
    d1, d2 = DirectOutputCell("S", "A", 1), DirectOutputCell("S", "A", 2)
    job = Excel(io.BytesIO(), named_output_cells=[first, second, other],
                direct_output_cells=[d1, d2])
    job._fill_output_cells(named_cell_results=[{"name": "n", "value": 1},
                                               {"name": "unknown", "value": 9},
                                               {"name": "n", "value": 2}],
                           direct_cell_results=[{"sheet": "S", "column": "A", "row": 2,
                                                 "value": "d"}])
    assert (first.result, second.result, other.result) == (2, 2, "kept")
    assert (d1.result, d2.result) == (None, "d")
    job._fill_output_cells()  # nothing given: nothing changes
    assert first.result == 2


def test_matching_result_without_value_is_a_key_error():
    job = Excel(io.BytesIO(), named_output_cells=[NamedOutputCell("n")])
    with pytest.raises(KeyError):
        job._fill_output_cells([{"name": "n"}])
    job._fill_output_cells([{"name": "other"}])  # not matching: never read


# --- getters -------------------------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda job: job.get_named_cell_result("n"),
    lambda job: job.get_direct_cell_result("S", "A", 1),
])
def test_cell_getters_before_an_answer(call):
    job = Excel(io.BytesIO(), named_output_cells=[NamedOutputCell("n")],
                direct_output_cells=[DirectOutputCell("S", "A", 1)])
    with pytest.raises(RuntimeError) as info:
        call(job)
    assert str(info.value) == "[Excel] Execute first before trying to get results"


def test_cell_getters_search_only_output_cells_in_order():
    n1, n2 = NamedOutputCell("n"), NamedOutputCell("n")
    n1.result, n2.result = "first", "second"
    d = DirectOutputCell("S", "A", 1)
    d.result = 7
    job = answered({}, named_input_cells=[NamedInputCell("in", 1)], named_output_cells=[n1, n2],
                   direct_output_cells=[d])
    assert job.get_named_cell_result("n") == "first"
    assert job.get_direct_cell_result("S", "A", 1) == 7
    assert job.get_direct_cell_result("S", "A", 1.0) == 7  # plain equality
    with pytest.raises(RuntimeError) as info:
        job.get_named_cell_result("in")
    assert str(info.value) == "[Excel] Cell with name in could not be found in output"
    with pytest.raises(RuntimeError) as info:
        job.get_direct_cell_result("S", "A", "1")
    assert str(info.value) == "[Excel] Cell with signature (S, A, 1) could not be found in output"


def test_getter_signatures():
    assert str(inspect.signature(Excel.get_named_cell_result)) == "(self, name: 'str') -> 'Any'"
    assert str(inspect.signature(Excel.get_direct_cell_result)) == (
        "(self, sheet_name: 'str', column: 'str', row: 'int') -> 'Any'")
    assert str(inspect.signature(Excel.execute)) == "(self, timeout: 'int' = 30) -> None"
    with pytest.raises(TypeError):
        answered({}).get_named_cell_result("a", "b")


def test_filled_template_and_flags():
    job = Excel(io.BytesIO())
    assert job.success is None and job.error_message is None
    for read in (lambda: job.filled_template, job.get_filled_template):
        with pytest.raises(SpreadsheetError) as info:
            read()
        assert str(info.value) == (
            "Execute calculation first before trying to get the filled template")
    stream = io.BytesIO(BOOK)
    stream.seek(3)
    job._filled_template = stream
    assert job.filled_template is stream and stream.tell() == 3
    file = job.get_filled_template()
    assert isinstance(file, File) and file.getvalue_binary() == BOOK
    with pytest.raises(AttributeError):
        job.success = True  # read-only


# --- worker errors -------------------------------------------------------------------------------

@pytest.mark.parametrize("message, translated", [
    ("Filling named cell x failed", True),
    ("Filling direct cell Sheet1!A1 failed", True),
    ("Error running macro Go", True),
    ("Error running macro", False),  # no blank after the prefix
    ("filling named cell x", False),
    (" Error running macro Go", False),
    ("Something else", False),
])
def test_worker_error_hook(worker, message, translated):
    job = Excel(io.BytesIO())
    if translated:
        with pytest.raises(ExecutionError) as info:
            job._handle_execution_error(message)
        assert info.value.args == (message,)
    else:
        assert job._handle_execution_error(message) is None
    worker.answer(ep.WorkerFailure(message))
    with pytest.raises(ExecutionError) as info:
        job.execute()
    assert info.value.args == (message,)
    assert len(worker.calls) == 1


# --- execute -------------------------------------------------------------------------------------

def test_execute_passes_the_default_timeout(worker):
    worker.answer({"result_v2": result(), "success": True})
    assert Excel(io.BytesIO()).execute() is None
    assert worker.calls[0]["timeout"] == 30


def test_old_worker_fallback(worker):
    cell = NamedOutputCell("out")
    worker.answer({"result": result(), "success": True},
                  {"result": result([{"name": "out", "value": "12"}]), "success": True})
    job = Excel(io.BytesIO(b"wb"), named_input_cells=[NamedInputCell("in", 3)],
                named_output_cells=[cell])
    with pytest.warns(UserWarning) as record:
        job.execute(timeout=9)
    assert [str(w.message) for w in record] == [OLD_WARNING]
    first, second = worker.calls
    assert first["content"]["input"]["named_cells"] == [{"name": "in", "value": 3}]
    assert second["content"]["input"]["named_cells"] == [{"name": "in", "value": "3"}]
    assert second["timeout"] == 9
    assert cell.result == "12" and job.success is True
    assert job._job_content["input"]["named_cells"] == [{"name": "in", "value": "3"}]


def test_old_worker_with_typed_results_ends_in_value_error(worker):
    worker.answer({"result": result()}, {"result": result()})
    job = Excel(io.BytesIO(), typed_results=True)
    with pytest.warns(UserWarning), pytest.raises(ValueError) as info:
        job.execute()
    assert str(info.value) == TYPED_OLD
    assert len(worker.calls) == 2


def test_fallback_runs_at_most_once(worker):
    class AlwaysOld(Excel):
        def _process_result(self, use_old_worker_interface=False):
            raise _OldExcelWorkerError()

    worker.answer({"result": result()}, {"result": result()})
    with pytest.warns(UserWarning), pytest.raises(_OldExcelWorkerError):
        AlwaysOld(io.BytesIO()).execute()
    assert len(worker.calls) == 2


@pytest.mark.parametrize("answer, error", [
    ({"result_v2": result(), "success": False}, RuntimeError),
    ({"result_v2": {}}, KeyError),
    (ExecutionError("no worker"), ExecutionError),
])
def test_other_errors_propagate_without_retry(worker, answer, error):
    worker.answer(answer)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(error):
            Excel(io.BytesIO()).execute()
    assert len(worker.calls) == 1


def test_execute_uses_the_object_methods(worker):
    seen = []

    class Traced(Excel):
        def _process_result(self, use_old_worker_interface=False):
            seen.append(("process", use_old_worker_interface))
            if not use_old_worker_interface:
                raise _OldExcelWorkerError()

        def _generate_job_content(self, use_old_worker_interface=False):
            seen.append(("content", use_old_worker_interface))
            return super()._generate_job_content(use_old_worker_interface)

    worker.answer({"result": result()}, {"result": result()})
    with pytest.warns(UserWarning):
        Traced(io.BytesIO()).execute()
    assert seen == [("content", False), ("process", False), ("content", True), ("process", True)]


def test_second_execute_overwrites_the_outcome(worker):
    cell = NamedOutputCell("n")
    worker.answer({"result_v2": result([{"name": "n", "value": 1}]), "success": True,
                   "error_message": "e1"},
                  {"result_v2": result([{"name": "n", "value": 2}], book=b"two")})
    job = Excel(io.BytesIO(), named_output_cells=[cell])
    job.execute()
    job.execute()
    assert cell.result == 2 and job.success is None and job.error_message == "unknown errors"
    assert job.filled_template.getvalue() == b"two"


def test_fallback_warns_before_resending_the_kept_content_updated_in_place(worker):
    class Renamed(Excel):
        # The old-interface content lacks one key: a merge keeps it, a replacement would not.
        def _generate_job_content(self, use_old_worker_interface=False):
            content = super()._generate_job_content(use_old_worker_interface)
            if use_old_worker_interface:
                content = ep._JobContent({k: v for k, v in content._serialize().items()
                                          if k != "macros"})
            return content

    sent = []
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")

        def transport(content, **kwargs):
            sent.append((content, len(record)))
            return worker(content, **kwargs)

        ep.set_transport(transport)
        worker.answer({"result": result()}, {"result": result(), "success": True})
        job = Renamed(io.BytesIO(b"wb"), named_input_cells=[NamedInputCell("in", True)])
        job.execute(timeout=4)
    assert [(w.category, str(w.message)) for w in record] == [(UserWarning, OLD_WARNING)]
    assert record[0].filename == __file__  # points at the caller of execute
    (first, warned_before_first), (second, warned_before_second) = sent
    assert (warned_before_first, warned_before_second) == (0, 1)
    assert first is second is job._job_content  # one mapping, updated in place
    assert job._job_content["macros"] == []
    assert job._job_content["input"]["named_cells"] == [{"name": "in", "value": "TRUE"}]
    assert [c["timeout"] for c in worker.calls] == [4, 4]


@pytest.mark.parametrize("second, error, text", [
    (ep.WorkerFailure("Filling named cell in failed"), ExecutionError,
     "Filling named cell in failed"),
    (ep.WorkerFailure("worker crashed"), ExecutionError, "worker crashed"),
    ({"result": result(), "success": False, "error_message": "e"}, RuntimeError,
     "External Excel run failed: Error: e"),
    ({"result": {}}, KeyError, "'filled_template'"),
    ({"result_v2": result(), "success": True}, None, None),  # a new worker answered after all
])
def test_errors_of_the_second_run_propagate(worker, second, error, text):
    worker.answer({"result": result()}, second)
    job = Excel(io.BytesIO())
    with pytest.warns(UserWarning):
        if error is None:
            job.execute()
        else:
            with pytest.raises(error) as info:
                job.execute()
            assert str(info.value) == text
    assert len(worker.calls) == 2


def test_old_answer_with_typed_results_sets_nothing():
    job = answered({"result": result(), "success": True, "error_message": "e"},
                   typed_results=True)
    with pytest.raises(ValueError):
        job._process_result(True)
    assert job._error_string is job._success is job._filled_template is None


def test_answer_stays_available_after_failed_processing():
    cell = NamedOutputCell("n")
    cell.result = "before"
    direct = DirectOutputCell("S", "A", 1)
    job = answered({"result_v2": result([{"name": "n", "value": 1}]), "success": False},
                   named_output_cells=[cell], direct_output_cells=[direct])
    with pytest.raises(RuntimeError):
        job._process_result()
    assert job.result_available() is True
    assert job.get_named_cell_result("n") == "before"
    assert job.get_direct_cell_result("S", "A", 1) is None
    with pytest.raises(SpreadsheetError):
        job.get_filled_template()


@pytest.mark.parametrize("member, signature", [
    ("_process_result", "(self, use_old_worker_interface: 'bool' = False) -> None"),
    ("_fill_output_cells", "(self, named_cell_results: 'List[dict]' = None, "
                           "direct_cell_results: 'List[dict]' = None) -> None"),
    ("_handle_execution_error", "(self, message: 'str') -> None"),
    ("result_available", "(self) -> 'bool'"),
    ("get_filled_template", "(self) -> 'File'"),
    ("filled_template", "(self) -> 'BytesIO'"),
    ("success", "(self) -> 'Optional[bool]'"),
    ("error_message", "(self) -> 'Optional[str]'"),
])
def test_outcome_members_are_annotated(member, signature):
    attribute = inspect.getattr_static(Excel, member)
    function = attribute.fget if isinstance(attribute, property) else attribute
    assert str(inspect.signature(function)) == signature
