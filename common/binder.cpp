// Parameter lists and the small binding helpers. The function type is in native_function.cpp,
// the error protocol in raising.cpp, the class builder in class_builder.cpp.
#include "binder.hpp"
#include "python_ops.hpp"

namespace quillon::bind {

// ---------------------------------------------------------------------------------------------
// Parameters

Param &Param::def(nb::handle value) {
    default_value = nb::borrow(value);
    return *this;
}
Param &Param::def_none() { return def(Py_None); }
Param &Param::ann(const char *text) {
    annotation = nb::str(text);
    return *this;
}
Param &Param::ann(nb::handle object) {
    annotation = nb::borrow(object);
    return *this;
}

Param arg(const char *name) { return Param{name, Kind::Positional, {}, {}}; }
Param kwonly(const char *name) { return Param{name, Kind::KeywordOnly, {}, {}}; }
Param kwargs(const char *name) { return Param{name, Kind::VarKeyword, {}, {}}; }
nb::object ann(const char *text) { return nb::str(text); }

nb::dict instance_dict(nb::handle self) {
    PyObject *d = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!d) raise_pending();
    return nb::steal<nb::dict>(d);
}

Original::Original(nb::handle cls, const char *attribute)
    : name(nb::steal(PyUnicode_InternFromString(attribute))) {
    if (!name.is_valid()) raise_pending();
    value = cls.attr("__dict__")[name];
}

bool finds_original(nb::handle obj, const Original &original, nb::object *found) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    PyObject *name = original.name.ptr();
    if (Py_TYPE(original.value.ptr())->tp_descr_set) {
        // A data descriptor (a property) takes precedence over the instance dict, so the class
        // answers alone; a class that hooks attribute access answers for itself.
        if (type->tp_getattro != PyObject_GenericGetAttr) return false;
        PyObject *on_type = PyObject_GetAttr((PyObject *) type, name);
        if (!on_type) raise_pending();
        Py_DECREF(on_type);
        return on_type == original.value.ptr();
    }
    PyObject *function = original.value.ptr();
    PyObject *expected_self = obj.ptr();
    nb::object inner;
    if (PyObject_TypeCheck(function, &PyClassMethod_Type)) {
        inner = nb::steal(PyObject_GetAttrString(function, "__func__"));
        if (!inner.is_valid()) raise_pending();
        function = inner.ptr();
        if (!PyType_Check(obj.ptr())) expected_self = (PyObject *) type;
    }
    nb::object looked_up = nb::steal(PyObject_GetAttr(obj.ptr(), name));
    if (!looked_up.is_valid()) raise_pending();
    const bool same = looked_up.ptr() == function ||  // a plain function (or value) looked up on a class
                      (PyMethod_Check(looked_up.ptr()) && PyMethod_GET_FUNCTION(looked_up.ptr()) == function &&
                       PyMethod_GET_SELF(looked_up.ptr()) == expected_self);
    if (found) *found = std::move(looked_up);
    return same;
}

bool finds_original(nb::handle obj, nb::handle name, nb::handle original) {
    return finds_original(obj, Original(name, original));
}

nb::object super(const std::shared_ptr<nb::object> &cls, nb::handle self) {
    return nb::borrow(reinterpret_cast<PyObject *>(&PySuper_Type))(*cls, self);
}

void import_into(nb::handle module, const char *from_module,
                 std::initializer_list<const char *> names) {
    for (const char *name : names) module.attr(name) = ops::import_name(from_module, name);
}

void import_module_as(nb::handle module, const char *module_name, const char *alias) {
    module.attr(alias) = nb::module_::import_(module_name);
}

}  // namespace quillon::bind
