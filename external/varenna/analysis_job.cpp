// VarennaAnalysis: runs the section-check program on a worker. Transport, waiting and result
// storage are the host base class's; this class only supplies the two hooks the base calls
// during `execute` and two getters over the base's `_get_result`.
#include "base64.hpp"
#include "binder.hpp"
#include "python_ops.hpp"

namespace nb = nanobind;
using namespace quillon::bind;

namespace quillon::varenna {

namespace {

static const char *const kDoc = R"doc(Run the section-check program on a worker.

The input is the program's input XML (for example the one made by
``OpenModel.generate_xml_input``), as a ``BytesIO`` or a host ``File``. The job is run with
the inherited ``execute(timeout=...)``; afterwards ``get_output_file()`` returns the result
XML (UTF-16 encoded) and, when ``return_rcs_file`` is set, ``get_varenna_file()`` returns the
program's own project file.

Example::

    input_file = File.from_data(input_xml)
    analysis = VarennaAnalysis(input_file=input_file)
    analysis.execute(timeout=10)  # seconds
    result_xml = analysis.get_output_file()

:param input_file: the input XML.
:param return_result_xml: request the result XML (default True).
:param return_rcs_file: request the project file (default False).
:raises quillon.errors.ExecutionError: the worker reported a failure; its message tells more.
)doc";

}  // namespace

void init_analysis_job(nb::module_ &m) {
    nb::object base = ops::import_name("quillon.external.external_program", "ExternalProgram");
    nb::object job_content = ops::import_name("quillon.external.external_program", "_JobContent");
    nb::object execution_error = ops::import_name("quillon.errors", "ExecutionError");
    nb::object bytes_io = ops::import_name("io", "BytesIO");

    ClassBuilder cls(m, "VarennaAnalysis", {base}, kDoc);

    // Worker message -> (error type, user-facing text). Matched exactly: the worker's texts are
    // fixed, and anything else is left to the base's generic handling.
    // The class carries no attributes of its own; a subclass or an instance may still bring
    // its own table under the name `exception_map`, which is then the one consulted.
    nb::dict exception_map;
    exception_map["Quillon Roro link not found"] = nb::make_tuple(
        execution_error, "Quillon Roro Link not found, please check worker installation on server");
    exception_map["Missing input"] =
        nb::make_tuple(execution_error, "Input is missing, please check input file");
    exception_map["Failed creating model"] = nb::make_tuple(
        execution_error, "Roro model cannot be generated, please check correctness of input file");

    cls.method(
        "__init__",
        {arg("self"), arg("input_file").ann("Union[BytesIO, File]"),
         kwonly("return_result_xml").def_none().ann("bool"),
         kwonly("return_rcs_file").def_none().ann("bool")},
        [cls_ref = cls.class_ref()](Self self, Arg<"input_file"> input_file,
                                    Arg<"return_result_xml"> result_xml,
                                    Arg<"return_rcs_file"> rcs_file) {
            // The worker decides by the version whether to convert the input into a project
            // file, so naming the flag at all (even as False) selects version 2.
            const int version = rcs_file.is_none() ? 1 : 2;
            super(cls_ref, self).attr("__init__")("varenna", nb::arg("version") = version);
            self.attr("input_file") = input_file;
            self.attr("_return_result_xml") =
                result_xml.is_none() ? nb::object(nb::bool_(true)) : nb::borrow(result_xml);
            self.attr("_return_rcs_file") =
                ops::truthy(rcs_file) ? nb::borrow(rcs_file) : nb::object(nb::bool_(false));
        },
        nullptr, nb::none());

    cls.method(
        "_generate_job_content", {arg("self")},
        [job_content, bytes_io](Self self) {
            nb::object data = ops::stream_or_file_bytes(self.attr("input_file"), bytes_io);
            return job_content(nb::arg("body") = quillon::base64::encode_object(data),
                               nb::arg("return_result_xml") = self.attr("_return_result_xml"),
                               nb::arg("return_rcs_file") = self.attr("_return_rcs_file"));
        },
        nullptr, ann("_JobContent"));

    cls.method(
        "_handle_execution_error", {arg("self"), arg("message").ann("str")},
        [exception_map](Self self, Arg<"message"> message) {
            nb::object table = nb::steal(PyObject_GetAttrString(self.ptr(), "exception_map"));
            if (!table.is_valid()) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
                PyErr_Clear();
                table = exception_map;
            }
            nb::object entry = table.attr("get")(message);
            if (entry.is_none()) return;
            nb::object error_type = entry[0];
            if (!error_type.is_none()) raise(error_type, nb::object(entry[1]));
        },
        nullptr, nb::none());

    cls.method(
        "get_output_file", {arg("self"), kwonly("as_file").def(nb::bool_(false))},
        [](Self self, Arg<"as_file"> as_file) {
            if (!ops::truthy(self.attr("_return_result_xml")))
                raise(PyExc_ValueError,
                      "The result file is not available when 'return_result_xml' = False");
            return self.attr("_get_result")("body", nb::arg("as_file") = as_file);
        },
        "The result XML, as a ``BytesIO`` or, with ``as_file``, as a ``File``.",
        ann("Optional[Union[BytesIO, File]]"));

    cls.method(
        "get_varenna_file", {arg("self"), kwonly("as_file").def(nb::bool_(false))},
        [](Self self, Arg<"as_file"> as_file) {
            if (!ops::truthy(self.attr("_return_rcs_file")))
                raise(PyExc_ValueError,
                      "The rcs file is not available when 'return_rcs_file' = False");
            return self.attr("_get_result")("varenna_body", nb::arg("as_file") = as_file);
        },
        "The program's project file, as a ``BytesIO`` or, with ``as_file``, as a ``File``.",
        ann("Optional[Union[BytesIO, File]]"));

    cls.finish();
}

}  // namespace quillon::varenna
