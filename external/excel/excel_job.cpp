// Excel: defines a spreadsheet job (workbook, input cells, macros, output cells) and builds the
// content the worker receives. Running it and reading the answer live in excel_results.cpp.
#include "base64.hpp"
#include "binder.hpp"
#include "excel_results.hpp"
#include "python_ops.hpp"

namespace nb = nanobind;
using namespace quillon::bind;
using namespace quillon::ops;

namespace quillon::excel {

namespace {

static const char *const kDoc = R"doc(Run a spreadsheet workbook, possibly with macros, on a worker.

The worker fills in the input cells, runs the macros in list order, evaluates the workbook and
returns the requested output cells and the filled workbook.

Example::

    excel = Excel(template, named_input_cells=[NamedInputCell('x', x)],
                  direct_output_cells=[DirectOutputCell('Sheet1', 'B', 3)], extension='.xlsx')
    excel.execute(timeout=10)  # seconds
    value = excel.get_direct_cell_result('Sheet1', 'B', 3)

:param template: the workbook, as a ``BytesIO`` or a host ``File``.
:param named_input_cells: values for cells addressed by defined name.
:param direct_input_cells: values for cells addressed by sheet, column and row.
:param macros: macros to run, in order.
:param named_output_cells: cells, by defined name, whose values to bring back.
:param direct_output_cells: cells, by sheet, column and row, whose values to bring back.
:param extension: ".xlsm" or ".xlsx".
:param typed_results: bring back values typed after the cells instead of as text.
:raises quillon.errors.ExecutionError: the job failed; its message tells more.
)doc";

// The caller's list itself (the caller keeps the output cells that processing fills), or a new
// one per object.
nb::object list_or_new(nb::handle value) {
    return value.is_none() ? nb::object(nb::list()) : nb::borrow(value);
}

nb::list serialize_each(nb::handle items, nb::handle flag = {}) {
    nb::list out;
    for (nb::handle item : items)
        out.append(flag.is_valid() ? item.attr("serialize")(flag) : item.attr("serialize")());
    return out;
}

}  // namespace

void init_excel(nb::module_ &m) {
    nb::object base = ops::import_name("quillon.external.external_program", "ExternalProgram");
    nb::object job_content = ops::import_name("quillon.external.external_program", "_JobContent");
    nb::object bytes_io = ops::import_name("io", "BytesIO");

    ClassBuilder cls(m, "Excel", {base}, kDoc);

    cls.method(
        "__init__",
        {arg("self"), arg("template").ann("Union[BytesIO, File]"),
         arg("named_input_cells").def_none().ann("List[NamedInputCell]"),
         arg("direct_input_cells").def_none().ann("List[DirectInputCell]"),
         arg("macros").def_none().ann("List[Macro]"),
         arg("named_output_cells").def_none().ann("List[NamedOutputCell]"),
         arg("direct_output_cells").def_none().ann("List[DirectOutputCell]"),
         arg("extension").def(nb::str(".xlsm")).ann("str"),
         arg("typed_results").def(nb::bool_(false)).ann("bool")},
        [cls_ref = cls.class_ref()](
            Self self, Arg<"template"> workbook, Arg<"named_input_cells"> named_input_cells,
            Arg<"direct_input_cells"> direct_input_cells, Arg<"macros"> macros,
            Arg<"named_output_cells"> named_output_cells,
            Arg<"direct_output_cells"> direct_output_cells, Arg<"extension"> extension,
            Arg<"typed_results"> typed_results) {
            self.attr("_named_input_cells") = list_or_new(named_input_cells);
            self.attr("_named_output_cells") = list_or_new(named_output_cells);
            self.attr("_direct_input_cells") = list_or_new(direct_input_cells);
            self.attr("_direct_output_cells") = list_or_new(direct_output_cells);
            self.attr("_macros") = list_or_new(macros);
            self.attr("template") = workbook;
            self.attr("_extension") = extension;
            self.attr("_success") = nb::none();
            self.attr("_error_string") = nb::none();
            self.attr("_filled_template") = nb::none();
            self.attr("_typed_results") = typed_results;
            // Old workers only know macro workbooks with text results; anything else needs a
            // worker of the second version.
            int differs = PyObject_RichCompareBool(extension.ptr(), nb::str(".xlsm").ptr(), Py_NE);
            if (differs < 0) raise_pending();
            const int version = differs || ops::truthy(typed_results) ? 2 : 1;
            super(cls_ref, self).attr("__init__")("excel", nb::arg("version") = version);
        },
        nullptr, nb::none());

    cls.method(
        "_generate_job_content",
        {arg("self"), arg("use_old_worker_interface").def(nb::bool_(false)).ann("bool")},
        [job_content, bytes_io](Self self, Arg<"use_old_worker_interface"> old_interface) {
            nb::object data = stream_or_file_bytes(self.attr("template"), bytes_io);
            nb::str encoded = quillon::base64::encode_object(data);

            nb::dict input;
            input["named_cells"] = serialize_each(self.attr("_named_input_cells"), old_interface);
            input["direct_cells"] = serialize_each(self.attr("_direct_input_cells"), old_interface);
            nb::dict output;
            output["named_cells"] = serialize_each(self.attr("_named_output_cells"));
            output["direct_cells"] = serialize_each(self.attr("_direct_output_cells"));
            nb::list macros = serialize_each(self.attr("_macros"));

            nb::dict content;
            content["template"] = encoded;
            content["input"] = input;
            content["macros"] = macros;
            content["output"] = output;
            content["command_execution_timeout_seconds"] = 10;
            content["extension"] = self.attr("_extension");
            return job_content(content);
        },
        nullptr, ann("_JobContent"));

    add_result_members(cls);
    cls.finish();
}

}  // namespace quillon::excel
