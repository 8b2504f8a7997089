// The outcome of a spreadsheet job: `execute` with its one fall-back to the old worker
// interface, turning the worker's answer into the success flag, the error text, the filled
// workbook and the output cells' results, and the getters over that state.
#include "base64.hpp"
#include "binder.hpp"
#include "excel_results.hpp"
#include "python_ops.hpp"

namespace nb = nanobind;
using namespace quillon::bind;
using namespace quillon::ops;

namespace quillon::excel {

namespace {

// The text form of a value, kept as a Python string so that any text survives unchanged.
nb::str text(nb::handle value) { return nb::borrow<nb::str>(ops::text_object_of(value)); }

bool result_available(nb::handle self) { return ops::truthy(self.attr("result_available")()); }

void fill_cells(nb::handle results, nb::handle cells) {
    if (results.is_none()) return;
    for (nb::handle result : results) {
        for (nb::handle cell : cells) {
            // Every matching cell gets the value: two output cells may name the same cell.
            if (ops::truthy(cell.attr("equals")(result))) cell.attr("result") = result["value"];
        }
    }
}

const char *const kOldWorkerWarning =
    "You are using an old worker, which should be replaced by a newer version.Contact QUILLON to "
    "get a new worker";
const char *const kNoResult = "[Excel] Execute first before trying to get results";

}  // namespace

void add_result_members(ClassBuilder &cls) {
    nb::object old_worker_error = ops::import_name("quillon.errors", "_OldExcelWorkerError");
    nb::object execution_error = ops::import_name("quillon.errors", "ExecutionError");
    nb::object spreadsheet_error = ops::import_name("quillon.errors", "SpreadsheetError");
    nb::object file_type = ops::import_name("quillon.core", "File");
    nb::object bytes_io = ops::import_name("io", "BytesIO");

    cls.method(
        "execute", {arg("self"), arg("timeout").def(nb::int_(30)).ann("int")},
        [cls_ref = cls.class_ref(), old_worker_error](Self self, Arg<"timeout"> timeout) {
            super(cls_ref, self).attr("execute")(nb::arg("timeout") = timeout);
            try {
                self.attr("_process_result")();
                return;
            } catch (nb::python_error &e) {
                if (!e.matches(old_worker_error)) throw;
            }
            // An old worker answered: tell the user once, resend the job in the form old
            // workers read, and read their answer the old way.
            nb::object warn = nb::module_::import_("warnings").attr("warn");
            warn(kOldWorkerWarning, nb::handle(PyExc_UserWarning));
            nb::object content = self.attr("_generate_job_content")(true).attr("_serialize")();
            self.attr("_job_content").attr("update")(content);
            super(cls_ref, self).attr("execute")(nb::arg("timeout") = timeout);
            self.attr("_process_result")(true);
        },
        "Run the job on a worker, waiting at most ``timeout`` seconds, and read its answer.",
        nb::none());

    cls.method(
        "result_available", {arg("self")},
        [](Self self) { return nb::bool_(!self.attr("_result_content").is_none()); },
        "Whether the worker has answered (the answer may still report a failure).",
        ann("bool"));

    cls.method(
        "_process_result",
        {arg("self"), arg("use_old_worker_interface").def(nb::bool_(false)).ann("bool")},
        [old_worker_error, bytes_io](Self self, Arg<"use_old_worker_interface"> old_interface) {
            if (!result_available(self)) raise(PyExc_RuntimeError, "[Excel] Run execute first");
            nb::object content = self.attr("_result_content");
            nb::object result;
            if (contains(content, "result_v2")) {
                result = content["result_v2"];
            } else if (!ops::truthy(old_interface)) {
                raise_no_args(old_worker_error);
            } else if (ops::truthy(self.attr("_typed_results"))) {
                raise(PyExc_ValueError,
                      "It is not possible to use  typed_results=True together with an old "
                      "worker. Contact QUILLON to get a new worker");
            } else {
                result = content["result"];
            }
            nb::object error_string = self.attr("_create_error_string")(content);
            self.attr("_error_string") = error_string;
            self.attr("_success") = content.attr("get")("success");
            if (self.attr("_success").is(Py_False))
                raise(PyExc_RuntimeError,
                      concat({nb::str("External Excel run failed: "), text(error_string)}));
            nb::object workbook = quillon::base64::decode_object(result["filled_template"]);
            self.attr("_filled_template") = bytes_io(workbook);
            nb::object get = result.attr("get");
            self.attr("_fill_output_cells")(nb::arg("named_cell_results") = get("named_cells"),
                                            nb::arg("direct_cell_results") = get("direct_cells"));
        },
        nullptr, nb::none());

    cls.staticmethod(
        "_create_error_string", {arg("result_content").ann("dict")},
        [](Arg<"result_content"> content) {
            nb::str empty("");
            nb::list parts;
            if (contains(content, "warning_message")) {
                nb::object warning = content["warning_message"];
                if (!equal(warning, empty)) {
                    parts.append(nb::str("Warning: "));
                    parts.append(text(warning));
                    parts.append(nb::str(" \n"));
                }
            }
            if (contains(content, "error_message")) {
                nb::object error = content["error_message"];
                if (!equal(error, empty)) {
                    parts.append(nb::str("Error: "));
                    parts.append(text(error));
                }
            }
            if (nb::len(parts) == 0) return nb::object(nb::str("unknown errors"));
            return nb::object(empty.attr("join")(parts));
        },
        nullptr, ann("str"));

    cls.method(
        "_fill_output_cells",
        {arg("self"), arg("named_cell_results").def_none().ann("List[dict]"),
         arg("direct_cell_results").def_none().ann("List[dict]")},
        [](Self self, Arg<"named_cell_results"> named_cell_results,
           Arg<"direct_cell_results"> direct_cell_results) {
            fill_cells(named_cell_results, self.attr("_named_output_cells"));
            fill_cells(direct_cell_results, self.attr("_direct_output_cells"));
        },
        nullptr, nb::none());

    cls.method(
        "get_named_cell_result", {arg("self"), arg("name").ann("str")},
        [](Self self, Arg<"name"> name) -> nb::object {
            if (!result_available(self)) raise(PyExc_RuntimeError, kNoResult);
            for (nb::handle cell : self.attr("_named_output_cells"))
                if (equal(cell.attr("name"), name)) return nb::object(cell.attr("result"));
            raise(PyExc_RuntimeError, concat({nb::str("[Excel] Cell with name "), text(name),
                                              nb::str(" could not be found in output")}));
        },
        "The value of the named output cell ``name``.", ann("Any"));

    cls.method(
        "get_direct_cell_result",
        {arg("self"), arg("sheet_name").ann("str"), arg("column").ann("str"),
         arg("row").ann("int")},
        [](Self self, Arg<"sheet_name"> sheet, Arg<"column"> column,
           Arg<"row"> row) -> nb::object {
            if (!result_available(self)) raise(PyExc_RuntimeError, kNoResult);
            for (nb::handle cell : self.attr("_direct_output_cells"))
                if (equal(cell.attr("sheet_name"), sheet) && equal(cell.attr("column"), column) &&
                    equal(cell.attr("row"), row))
                    return nb::object(cell.attr("result"));
            raise(PyExc_RuntimeError,
                  concat({nb::str("[Excel] Cell with signature ("), text(sheet), nb::str(", "),
                          text(column), nb::str(", "), text(row),
                          nb::str(") could not be found in output")}));
        },
        "The value of the direct output cell at ``sheet_name``, ``column`` and ``row``.",
        ann("Any"));

    cls.property(
        "filled_template",
        [spreadsheet_error](Self self) {
            nb::object stream = self.attr("_filled_template");
            if (stream.is_none())
                raise(spreadsheet_error,
                      "Execute calculation first before trying to get the filled template");
            return stream;
        },
        "The filled workbook as the stored stream (not a copy).", ann("BytesIO"));

    cls.method(
        "get_filled_template", {arg("self")},
        [file_type](Self self) {
            nb::object content = self.attr("filled_template").attr("getvalue")();
            return file_type.attr("from_data")(content);
        },
        "The filled workbook as a ``File``.", ann("File"));

    cls.property(
        "success", [](Self self) { return nb::object(self.attr("_success")); },
        "The worker's outcome flag; None when the answer had none.", ann("Optional[bool]"));

    cls.property(
        "error_message", [](Self self) { return nb::object(self.attr("_error_string")); },
        "The warning and error text of the answer.", ann("Optional[str]"));

    cls.method(
        "_handle_execution_error", {arg("self"), arg("message").ann("str")},
        [execution_error](Self, Arg<"message"> message) {
            // Failures the user can act on (a missing cell name, a broken macro) are reported
            // with the worker's own words; the rest is left to the base.
            for (const char *prefix : {"Filling named cell ", "Filling direct cell ",
                                       "Error running macro "})
                if (ops::truthy(message.attr("startswith")(prefix))) raise(execution_error, message);
        },
        nullptr, nb::none());
}

}  // namespace quillon::excel
