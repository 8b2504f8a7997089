import base64
import inspect
import io

import pytest

from quillon.core import File
from quillon.errors import ExecutionError
from quillon.external import external_program as ep
from quillon.external.varenna import varenna
from quillon.external.varenna.varenna import VarennaAnalysis

from scripted_worker import worker  # noqa: F401  (fixture)

XML = "<?xml version='1.0'?><OpenModel><a>ä</a></OpenModel>".encode("utf-8")
RESULT_XML = "<?xml version='1.0' encoding='utf-16'?><Results/>".encode("utf-16")
PROJECT = b"\x00\x01project\xff"


def b64(data):
    return base64.b64encode(data).decode("ascii")


# --- class surface -------------------------------------------------------------------------------

def test_class_is_a_host_job_listed_in_the_module():
    assert issubclass(VarennaAnalysis, ep.ExternalProgram)
    assert "VarennaAnalysis" in varenna.__all__
    assert VarennaAnalysis.__module__ == "quillon.external.varenna.varenna"
    assert "get_output_file()" in VarennaAnalysis.__doc__


def test_signatures():
    sig = inspect.signature(VarennaAnalysis)
    assert str(sig) == ("(input_file: 'Union[BytesIO, File]', *, return_result_xml: 'bool' = None,"
                        " return_rcs_file: 'bool' = None) -> None")
    for getter in (VarennaAnalysis.get_output_file, VarennaAnalysis.get_varenna_file):
        assert str(inspect.signature(getter)) == (
            "(self, *, as_file=False) -> 'Optional[Union[BytesIO, File]]'")
    assert "execute" not in VarennaAnalysis.__dict__


@pytest.mark.parametrize("call", [
    lambda f: VarennaAnalysis(f, True),
    lambda f: VarennaAnalysis(),
    lambda f: VarennaAnalysis(f).get_output_file(True),
])
def test_flags_are_keyword_only(call):
    with pytest.raises(TypeError):
        call(io.BytesIO(XML))


# --- construction --------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, version, result_xml, rcs_file", [
    ({}, 1, True, False),
    ({"return_rcs_file": None}, 1, True, False),
    ({"return_rcs_file": False}, 2, True, False),
    ({"return_rcs_file": 0}, 2, True, False),
    ({"return_rcs_file": True}, 2, True, True),
    ({"return_rcs_file": "yes"}, 2, True, "yes"),
    ({"return_result_xml": False}, 1, False, False),
    ({"return_result_xml": 0}, 1, 0, False),
    ({"return_result_xml": None}, 1, True, False),
])
def test_version_follows_naming_the_project_file_flag(kwargs, version, result_xml, rcs_file):
    source = io.BytesIO(XML)
    job = VarennaAnalysis(source, **kwargs)
    assert job._version == version
    assert job._integration_key == "varenna"
    assert job.input_file is source
    assert job._return_result_xml == result_xml and type(job._return_result_xml) is type(result_xml)
    assert job._return_rcs_file == rcs_file and type(job._return_rcs_file) is type(rcs_file)


# --- job content ---------------------------------------------------------------------------------

@pytest.mark.parametrize("make_input", [io.BytesIO, File.from_data], ids=["BytesIO", "File"])
@pytest.mark.parametrize("data", [XML, b""], ids=["xml", "empty"])
def test_job_content_carries_the_input_in_base64(make_input, data):
    job = VarennaAnalysis(make_input(data), return_result_xml=False, return_rcs_file=True)
    content = job._generate_job_content()
    assert isinstance(content, ep._JobContent)
    assert content._serialize() == {"body": b64(data), "return_result_xml": False,
                                    "return_rcs_file": True}


def test_job_content_leaves_the_caller_stream_where_it_was():
    source = io.BytesIO(XML)
    source.seek(5)
    body = VarennaAnalysis(source)._generate_job_content()._serialize()["body"]
    assert base64.b64decode(body) == XML and source.tell() == 5


@pytest.mark.parametrize("bad", [b"raw bytes", "text", None])
def test_input_that_is_neither_stream_nor_file_fails_when_content_is_built(bad):
    job = VarennaAnalysis(bad)  # nothing is checked at construction
    with pytest.raises(AttributeError, match="getvalue_binary"):
        job._generate_job_content()
    assert job.input_file is bad


def test_execute_sends_the_content_to_a_varenna_worker(worker):
    worker.answer({"body": b64(RESULT_XML)})
    job = VarennaAnalysis(File.from_data(XML), return_rcs_file=False)
    job.execute(timeout=10)
    (call,) = worker.calls
    assert call["integration"] == "varenna" and call["version"] == 2 and call["timeout"] == 10
    assert call["content"] == {"body": b64(XML), "return_result_xml": True,
                               "return_rcs_file": False}


# --- results -------------------------------------------------------------------------------------

def test_getters_return_the_worker_files(worker):
    worker.answer({"body": b64(RESULT_XML), "varenna_body": b64(PROJECT)})
    job = VarennaAnalysis(io.BytesIO(XML), return_rcs_file=True)
    job.execute(timeout=10)
    output = job.get_output_file()
    assert isinstance(output, io.BytesIO) and output.getvalue() == RESULT_XML
    assert job.get_output_file(as_file=True).getvalue_binary() == RESULT_XML
    assert job.get_varenna_file().getvalue() == PROJECT
    assert isinstance(job.get_varenna_file(as_file=True), File)


@pytest.mark.parametrize("kwargs, getter, message", [
    ({}, "get_varenna_file", "The rcs file is not available when 'return_rcs_file' = False"),
    ({"return_rcs_file": False}, "get_varenna_file",
     "The rcs file is not available when 'return_rcs_file' = False"),
    ({"return_result_xml": False}, "get_output_file",
     "The result file is not available when 'return_result_xml' = False"),
    ({"return_result_xml": ""}, "get_output_file",
     "The result file is not available when 'return_result_xml' = False"),
])
def test_getter_of_a_file_not_requested_raises_before_looking(kwargs, getter, message):
    job = VarennaAnalysis(io.BytesIO(XML), **kwargs)
    job._get_result = lambda *a, **k: pytest.fail("no result may be looked at")
    with pytest.raises(ValueError) as info:
        getattr(job, getter)(as_file=True)
    assert str(info.value) == message


def test_getters_go_through_the_object_result_lookup():
    class Recording(VarennaAnalysis):
        def _get_result(self, *args, **kwargs):
            return (args, kwargs)

    job = Recording(io.BytesIO(XML), return_rcs_file=1)
    assert job.get_output_file() == (("body",), {"as_file": False})
    assert job.get_varenna_file(as_file=1) == (("varenna_body",), {"as_file": 1})


def test_getters_before_execute_leave_it_to_the_base():
    assert VarennaAnalysis(io.BytesIO(XML)).get_output_file() is None


# --- worker errors -------------------------------------------------------------------------------

ROWS = {
    "Quillon Roro link not found":
        "Quillon Roro Link not found, please check worker installation on server",
    "Missing input": "Input is missing, please check input file",
    "Failed creating model":
        "Roro model cannot be generated, please check correctness of input file",
}


def test_worker_error_table_has_exactly_the_three_rows_and_is_no_class_attribute():
    assert "exception_map" not in vars(VarennaAnalysis)
    job = VarennaAnalysis(io.BytesIO(XML))
    for message, text in ROWS.items():
        with pytest.raises(ExecutionError) as info:
            job._handle_execution_error(message)
        assert info.value.args == (text,)
    assert job._handle_execution_error("Missing input ") is None


@pytest.mark.parametrize("entry, error", [
    ((str, "text"), TypeError),            # calls to something that is no exception
    ((5, "text"), TypeError),              # not callable
    ((KeyError, "text"), KeyError),
    ((None, "text"), None),
])
def test_a_subclass_table_raises_as_raise_would(entry, error):
    class Mine(VarennaAnalysis):
        exception_map = {"boom": entry}
    job = Mine(io.BytesIO(XML))
    if error is None:
        assert job._handle_execution_error("boom") is None
        return
    with pytest.raises(error) as info:
        job._handle_execution_error("boom")
    assert not isinstance(info.value, SystemError)


@pytest.mark.parametrize("message, text", ROWS.items())
def test_known_worker_messages_are_translated(worker, message, text):
    worker.answer(ep.WorkerFailure(message))
    with pytest.raises(ExecutionError) as info:
        VarennaAnalysis(io.BytesIO(XML)).execute(timeout=5)
    assert info.value.args == (text,)


@pytest.mark.parametrize("message", [
    "Missing input ", "missing input", "Quillon Roro Link not found", "Failed", "", "Other"])
def test_other_messages_match_no_row(worker, message):
    job = VarennaAnalysis(io.BytesIO(XML))
    assert job._handle_execution_error(message) is None
    worker.answer(ep.WorkerFailure(message))
    with pytest.raises(ExecutionError) as info:
        job.execute(timeout=5)
    assert info.value.args == (message,)  # the base's own report


def test_without_a_configured_worker_execute_fails_clearly():
    previous = ep.unregister_worker("varenna")
    try:
        with pytest.raises(ExecutionError, match="varenna"):
            VarennaAnalysis(io.BytesIO(XML)).execute(timeout=5)
    finally:
        if previous is not None:
            ep.register_worker("varenna", previous)


def test_second_execute_runs_the_same_job_again(worker):
    worker.answer({"body": b64(b"first")}, {"body": b64(b"second")})
    job = VarennaAnalysis(File.from_data(XML), return_rcs_file=True)
    job.execute(timeout=5)
    assert job.get_output_file().getvalue() == b"first"
    job.execute(timeout=5)
    assert job.get_output_file().getvalue() == b"second"
    first, second = worker.calls
    assert first["content"] == second["content"] == {
        "body": b64(XML), "return_result_xml": True, "return_rcs_file": True}
    assert first["version"] == second["version"] == 2
