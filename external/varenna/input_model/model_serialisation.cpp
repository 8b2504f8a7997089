// Serialisation of the store and input-XML generation: the store becomes plain JSON values,
// is sent gzip-compressed and Base64-encoded to the add-on service that fills the program's
// input template, and the XML comes back the same way.
#include "model.hpp"
#include "python_ops.hpp"

#include "base64.hpp"
#include "gzip.hpp"

#include <iterator>
#include <vector>

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

// The store as _serialize reads it, in its order: each list's entries with the names of their
// classes, then the project data and the code settings.
struct StoreContent {
    struct Entry {
        nb::object class_name, object;
    };
    std::vector<Entry> lists[std::size(serialised_lists)];
    nb::object project_data, code_settings;
};

StoreContent read_store(nb::handle self) {
    StoreContent content;
    for (size_t i = 0; i < std::size(serialised_lists); ++i) {
        nb::object list = self.attr(serialised_lists[i][1]);
        nb::object iterator = nb::steal(PyObject_GetIter(list.ptr()));
        if (!iterator.is_valid()) raise_pending();
        while (PyObject *raw = PyIter_Next(iterator.ptr())) {
            nb::object item = nb::steal(raw);
            nb::object class_name = nb::handle((PyObject *) Py_TYPE(raw)).attr("__name__");
            content.lists[i].push_back({std::move(class_name), std::move(item)});
        }
        if (PyErr_Occurred()) raise_pending();
    }
    content.project_data = self.attr("_project_data");
    content.code_settings = self.attr("_code_settings");
    return content;
}

// The nine-key mapping of pairs that the encoder is given.
nb::dict as_mapping(const StoreContent &content) {
    nb::dict model;
    for (size_t i = 0; i < std::size(serialised_lists); ++i) {
        nb::list pairs;
        for (const auto &entry : content.lists[i])
            pairs.append(nb::make_tuple(entry.class_name, entry.object));
        model[serialised_lists[i][0]] = pairs;
    }
    model["project_data"] = content.project_data;
    model["code_settings"] = content.code_settings;
    return model;
}

// The module's _EnumEncoder, whatever it is at the time of the call.
nb::object module_encoder() {
    nb::object encoder = nb::steal(PyObject_GetAttrString(names().module.ptr(), "_EnumEncoder"));
    if (!encoder.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        raise(nb::handle(PyExc_NameError), "name '_EnumEncoder' is not defined");
    }
    return encoder;
}

// Whether `encoder` is _EnumEncoder as built, over the standard encoder as imported: then the
// encoding is what Substitutes gives, without the text and the parse in between. Once it (or
// the standard encoder under it) has been replaced or patched, the round trip is made for
// real, so that the replacement has its say.
bool encodes_as_built(nb::handle encoder) {
    const ModelNames &n = names();
    auto unchanged = [&](nb::handle cls, const char *method, nb::handle original) {
        return finds_original(cls, nb::str(method), original);
    };
    return encoder.is(n.EnumEncoder) && unchanged(encoder, "default", n.EnumEncoder_default) &&
           unchanged(encoder, "__init__", n.json_init) &&
           unchanged(encoder, "encode", n.json_encode) &&
           unchanged(encoder, "iterencode", n.json_iterencode) &&
           unchanged(n.JSONEncoder, "default", n.json_default);
}

nb::object attribute(nb::handle o, nb::handle name) {
    PyObject *result = PyObject_GetAttr(o.ptr(), name.ptr());
    if (!result) raise_pending();
    return nb::steal(result);
}

bool is_enum_member(nb::handle o) {
    const int is_enum = PyObject_IsInstance(o.ptr(), names().Enum.ptr());
    if (is_enum < 0) raise_pending();
    return is_enum;
}

nb::object own_serialisation(nb::handle o) {
    PyObject *result = PyObject_CallMethodNoArgs(o.ptr(), names().s_serialize.ptr());
    if (!result) raise_pending();
    return nb::steal(result);
}

// What _EnumEncoder.default gives for a value plain JSON cannot write: an enum member's value,
// else whatever the object's own _serialize() returns.
nb::object encoded(nb::handle o) {
    return is_enum_member(o) ? attribute(o, names().s_value) : own_serialisation(o);
}

// What the namespaces of a class and its bases hold under `name`, in MRO order, without
// running anything (inspect.getattr_static for a class); unset when none has it.
nb::object class_attribute(PyTypeObject *type, nb::handle name) {
    nb::object mro = nb::borrow(type->tp_mro);
    if (!mro.is_valid()) return {};
    for (nb::handle base : mro) {
#if PY_VERSION_HEX >= 0x030C0000
        nb::object dict = nb::steal(PyType_GetDict((PyTypeObject *) base.ptr()));
#else
        nb::object dict = nb::borrow(((PyTypeObject *) base.ptr())->tp_dict);
#endif
        if (!dict.is_valid()) continue;
        PyObject *found = PyDict_GetItemWithError(dict.ptr(), name.ptr());
        if (found) return nb::borrow(found);
        if (PyErr_Occurred()) raise_pending();
    }
    return {};
}

// encoded() for one whole encoding. A member's value is read from its `_value_`, without the
// Python frames of Enum's `value` property, when its class finds that property and the
// property is as imported (it returns `_value_` then); what each class finds is looked up once
// per encoding, the value itself every time.
class Substitutes {
public:
    nb::object operator()(nb::handle o) {
        if (!is_enum_member(o)) return own_serialisation(o);
        const bool direct = reads_value_directly(Py_TYPE(o.ptr()));
        return attribute(o, direct ? names().s_value_ : names().s_value);
    }

private:
    bool reads_value_directly(PyTypeObject *type) {
        for (const auto &known : classes_)
            if (known.first.ptr() == (PyObject *) type) return known.second;
        const bool direct = property_as_imported() &&
                            type->tp_getattro == PyObject_GenericGetAttr &&
                            class_attribute(type, names().s_value).is(names().Enum_value);
        classes_.emplace_back(nb::borrow((PyObject *) type), direct);
        return direct;
    }

    // Enum's `value` property still returns what its function returns, ahead of the
    // instance's own attributes, and that function is still `return self._value_`.
    bool property_as_imported() {
        if (!property_checked_) {
            const ModelNames &n = names();
            property_checked_ = true;
            if (n.Enum_value.is_valid() && Py_TYPE(n.Enum_value.ptr())->tp_descr_set &&
                finds_original(n.Enum_value, nb::str("__get__"), n.enum_property_get)) {
                nb::object fget = n.Enum_value.attr("fget");
                property_as_imported_ = fget.is(n.Enum_value_fget) &&
                                        PyFunction_GET_CODE(fget.ptr()) == n.Enum_value_code.ptr();
            }
        }
        return property_as_imported_;
    }

    std::vector<std::pair<nb::object, bool>> classes_;  // a few enum classes: a list will do
    bool property_checked_ = false, property_as_imported_ = false;
};

// The JSON text of what _serialize() returns, made straight from the store and handed to
// `packer` in pieces: neither the plain copy of the model nor its whole text is ever held.
// It is the text json writes for that copy, byte for byte: the mapping, lists and pairs that
// _serialize would encode are written here by hand, each entered as the one level of nesting
// json counts for it, and everything in them by the same walk.
void write_model(const StoreContent &content, gzip::Compressor &packer) {
    constexpr size_t piece = 1 << 16;
    Substitutes substitutes;
    json::TextWriter writer([&](nb::handle o) { return substitutes(o); });
    std::string &text = writer.text();

    json::Nesting mapping;
    writer.raw("{");
    for (size_t i = 0; i < std::size(serialised_lists); ++i) {
        writer.raw(i ? ", \"" : "\"");
        writer.raw(serialised_lists[i][0]);
        writer.raw("\": ");
        json::Nesting list;
        const auto &entries = content.lists[i];
        if (entries.empty()) {
            writer.raw("[]");
            continue;
        }
        writer.raw("[");
        for (size_t k = 0; k < entries.size(); ++k) {
            json::Nesting pair;
            writer.raw(k ? ", [" : "[");
            writer.value(entries[k].class_name);
            writer.raw(", ");
            writer.value(entries[k].object);
            writer.raw("]");
            if (text.size() >= piece) {
                packer.feed(text);
                text.clear();
            }
        }
        writer.raw("]");
    }
    writer.raw(", \"project_data\": ");
    writer.value(content.project_data);
    writer.raw(", \"code_settings\": ");
    writer.value(content.code_settings);
    writer.raw("}");
    packer.feed(text);
    text.clear();
}

// What _serialize returns for `content`, encoded with `encoder`.
nb::object plain_value(const StoreContent &content, nb::handle encoder) {
    nb::dict model = as_mapping(content);
    if (encodes_as_built(encoder)) {
        Substitutes substitutes;
        return json::plain_copy(model, [&](nb::handle o) { return substitutes(o); });
    }
    const ModelNames &n = names();
    nb::object text = n.json_module.attr("dumps")(model, nb::arg("cls") = encoder);
    return n.json_module.attr("loads")(text);
}

nb::object serialize(Self self) {
    const StoreContent content = read_store(self);
    return plain_value(content, module_encoder());
}

nb::object generate_xml_input(Self self, Arg<"as_file"> as_file) {
    const ModelNames &n = names();
    nb::dict body;
    {
        // serialized_model_bytes_string, the JSON text (ASCII, so also UTF-8), goes into the
        // compressor as it is made.
        gzip::Compressor packer(9);
        nb::object serialized_model_;
        if (finds_original(self, n.s_serialize, n.Model_serialize)) {
            // What _serialize does, with the store read once; the plain copy it returns is
            // not made when the encoding is the module's own.
            const StoreContent content = read_store(self);
            nb::object encoder = module_encoder();
            if (encodes_as_built(encoder)) write_model(content, packer);
            else serialized_model_ = plain_value(content, encoder);
        } else {
            serialized_model_ = self.attr("_serialize")();
        }
        if (serialized_model_.is_valid()) {
            std::string serialized_model_bytes_string;
            json::write(serialized_model_bytes_string, serialized_model_);
            packer.feed(serialized_model_bytes_string);
        }
        nb::str serialized_model = base64::encode_text(packer.finish());
        body["input"] = serialized_model;
    }

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
