// Serialisation of the store and input-XML generation: the store becomes plain JSON values,
// is sent gzip-compressed and Base64-encoded to the add-on service that fills the program's
// input template, and the XML comes back the same way.
#include "model.hpp"
#include "python_ops.hpp"

#include "base64.hpp"
#include "gzip.hpp"

namespace quillon::varenna {

using namespace bind;

namespace {

const char *const serialised_lists[][2] = {
    {"mat_concrete_list", "_mat_concrete_list"},
    {"mat_reinforcement_list", "_mat_reinforcement_list"},
    {"cross_section_list", "_cross_section_list"},
    {"reinforced_cross_section_list", "_reinforced_cross_section_list"},
    {"check_member_list", "_check_member_list"},
    {"check_section_list", "_check_section_list"},
    {"attribute_list", "_attribute_list"},
};

constexpr const char *endpoint = "fillvarennatemplate/v3/jobs/";

// The substitute the encoder writes for a value plain JSON cannot write: an enum member's
// value, else whatever the object's own _serialize() returns.
nb::object encoded(nb::handle o) {
    const int is_enum = PyObject_IsInstance(o.ptr(), names().Enum.ptr());
    if (is_enum < 0) raise_pending();
    if (is_enum) return o.attr("value");
    return o.attr("_serialize")();
}

nb::object serialize(Self self) {
    nb::dict model;
    for (const auto &entry : serialised_lists) {
        nb::object list = self.attr(entry[1]);
        nb::list pairs;
        nb::object iterator = nb::steal(PyObject_GetIter(list.ptr()));
        if (!iterator.is_valid()) raise_pending();
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object item = nb::steal(raw);
            nb::object class_name = nb::handle((PyObject *) Py_TYPE(raw)).attr("__name__");
            pairs.append(nb::make_tuple(class_name, item));
        }
        if (PyErr_Occurred()) raise_pending();
        model[entry[0]] = pairs;
    }
    model["project_data"] = self.attr("_project_data");
    model["code_settings"] = self.attr("_code_settings");

    // The encoding is the module's _EnumEncoder, whatever it is at the time of the call. As
    // built it gives exactly what json::plain_copy gives without the text in between; once it (or
    // the standard encoder under it) has been replaced or patched, the round trip is made
    // for real, so that the replacement has its say.
    const ModelNames &n = names();
    nb::object encoder = nb::steal(PyObject_GetAttrString(n.module.ptr(), "_EnumEncoder"));
    if (!encoder.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        raise(nb::handle(PyExc_NameError), "name '_EnumEncoder' is not defined");
    }
    auto unchanged = [&](nb::handle cls, const char *method, nb::handle original) {
        return finds_original(cls, nb::str(method), original);
    };
    if (encoder.is(n.EnumEncoder) && unchanged(encoder, "default", n.EnumEncoder_default) &&
        unchanged(encoder, "__init__", n.json_init) && unchanged(encoder, "encode", n.json_encode) &&
        unchanged(encoder, "iterencode", n.json_iterencode) &&
        unchanged(n.JSONEncoder, "default", n.json_default))
        return json::plain_copy(model, encoded);
    nb::object text = n.json_module.attr("dumps")(model, nb::arg("cls") = encoder);
    return n.json_module.attr("loads")(text);
}

nb::object generate_xml_input(Self self, Arg<"as_file"> as_file) {
    const ModelNames &n = names();
    nb::object serialized_model_ = self.attr("_serialize")();

    std::string serialized_model_bytes_string;
    serialized_model_bytes_string.reserve(1 << 16);
    json::write(serialized_model_bytes_string, serialized_model_);  // ASCII, so also UTF-8

    const std::string packed = gzip::compress(serialized_model_bytes_string, 9);
    serialized_model_bytes_string = std::string();
    const std::string serialized_model = base64::encode(packed);

    nb::dict body;
    body["input"] = nb::str(serialized_model.data(), serialized_model.size());

    nb::object post = n.core.attr("_post_on_addon_endpoint");
    nb::object result;
    try {
        result = post(nb::str(endpoint), body, nb::arg("timeout") = 60);
    } catch (nb::python_error &e) {
        if (!e.matches(n.InternalError)) throw;
        nb::object cause = nb::borrow(e.value());
        raise_from(n.Exception, "Input file could not be generated, please check your model",
                   cause);
    }

    nb::object input_file_string_compressed = result[nb::str("input_file")];
    nb::bytes compressed = base64::decode_object(input_file_string_compressed);
    const std::string input_file =
        gzip::decompress(std::string_view(compressed.c_str(), compressed.size()));
    nb::bytes data(input_file.data(), input_file.size());

    if (ops::truthy(as_file)) return n.core.attr("File").attr("from_data")(data);
    return n.BytesIO(data);
}

}  // namespace

void add_serialisation_members(ClassBuilder &model) {
    model.method("_serialize", {arg("self")}, serialize, nullptr,
                 ann("Dict[str, Tuple[str, dict]]"));
    model.method("generate_xml_input", {arg("self"), kwonly("as_file").def(Py_False).ann("bool")},
                 generate_xml_input,
                 "Generate the input XML of the section-check program from this model.\n\n"
                 "The model is sent to the platform's template service, which returns the "
                 "input XML.\n\n"
                 ":param as_file: return the XML as a File instead of a BytesIO\n"
                 ":return: the input XML (a BytesIO at position 0, or a File)",
                 ann("Union[BytesIO, File]"));
}

void init_enum_encoder(nb::module_ &m) {
    ClassBuilder encoder(m, "_EnumEncoder", {names().JSONEncoder}, " To auto-serialize Enum type. ");
    encoder.method(
        "default", {arg("self"), arg("o").ann("Any")},
        [](Self self, Arg<"o"> o) -> nb::object {
            // The standard encoder has its say first; only its TypeError means "not plain JSON".
            try {
                nb::object super_ = nb::borrow((PyObject *) &PySuper_Type);
                return super_(names().EnumEncoder, self).attr("default")(o);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_TypeError)) throw;
            }
            return encoded(o);
        },
        nullptr, ann("Any"));
    encoder.finish();
}

}  // namespace quillon::varenna
