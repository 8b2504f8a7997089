#include "python_ops.hpp"

#include "binder.hpp"

namespace quillon::ops {

bool truthy(nb::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) bind::raise_pending();
    return r != 0;
}

bool equal(nb::handle a, nb::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) bind::raise_pending();
    return truthy(nb::steal(r));
}

bool contains(nb::handle container, const char *key) {
    const int r = PySequence_Contains(container.ptr(), nb::str(key).ptr());
    if (r < 0) bind::raise_pending();
    return r == 1;
}

nb::object text_object_of(nb::handle value) {
    // PyUnicode_FromObject gives a str subclass's own characters, never its __str__.
    PyObject *text = PyUnicode_Check(value.ptr()) ? PyUnicode_FromObject(value.ptr()) : PyObject_Str(value.ptr());
    if (!text) bind::raise_pending();
    return nb::steal(text);
}

std::string text_of(nb::handle value) {
    nb::object text = text_object_of(value);
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) bind::raise_pending();
    return std::string(utf8, (size_t) size);
}

nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle p : parts) items.append(p);
    return nb::borrow<nb::str>(nb::str("").attr("join")(items));
}

nb::object import_name(const char *module, const char *name) {
    nb::object m = nb::module_::import_(module);
    PyObject *value = PyObject_GetAttrString(m.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) bind::raise_pending();
    PyErr_Clear();
    // The text and attributes of the ImportError that `from module import name` raises.
    nb::object path = nb::steal(PyModule_GetFilenameObject(m.ptr()));
    if (!path.is_valid()) PyErr_Clear();
    nb::object module_name = nb::str(module);
    nb::object attribute = nb::str(name);
    nb::object message = nb::steal(
        path.is_valid()
            ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", attribute.ptr(), module_name.ptr(), path.ptr())
            : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", attribute.ptr(), module_name.ptr()));
    if (!message.is_valid()) bind::raise_pending();
    PyErr_SetImportError(message.ptr(), module_name.ptr(), path.is_valid() ? path.ptr() : nullptr);
    bind::raise_pending();
}

nb::object stream_or_file_bytes(nb::handle input, nb::handle bytes_io) {
    return nb::isinstance(input, bytes_io) ? input.attr("getvalue")()
                                           : input.attr("getvalue_binary")();
}

nb::tuple unpack(nb::handle value, Py_ssize_t count) {
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        // Decided from the type's slots alone: a lookup here would run with the error pending
        // and could wipe it.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        bind::raise_pending();
    }
    nb::object items = nb::steal(PyTuple_New(count));
    if (!items.is_valid()) bind::raise_pending();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %zd, got %zd)", count, i);
            bind::raise_pending();
        }
        PyTuple_SET_ITEM(items.ptr(), i, item);
    }
    nb::object extra = nb::steal(PyIter_Next(iterator.ptr()));
    if (extra.is_valid())
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
    if (PyErr_Occurred()) bind::raise_pending();
    return nb::borrow<nb::tuple>(items);
}

namespace {

// How the interpreter names a callable in call errors: "module.qualname()" or "qualname()".
nb::object function_text(nb::handle function) {
    nb::object qualname = nb::steal(PyObject_GetAttrString(function.ptr(), "__qualname__"));
    if (!qualname.is_valid()) {
        PyErr_Clear();
        return nb::str(function);
    }
    nb::object module = nb::steal(PyObject_GetAttrString(function.ptr(), "__module__"));
    if (!module.is_valid()) PyErr_Clear();
    if (module.is_valid() && !module.is_none() && !nb::str("builtins").equal(module))
        return nb::steal(PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr()));
    return nb::steal(PyUnicode_FromFormat("%S()", qualname.ptr()));
}

}  // namespace

nb::object call_with_mapping(nb::handle function, nb::handle args, nb::handle mapping) {
    nb::object kwargs = nb::steal(PyDict_New());
    if (!kwargs.is_valid()) bind::raise_pending();
    if (PyDict_Merge(kwargs.ptr(), mapping.ptr(), 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) && !PyDict_Check(mapping.ptr())) {
            PyErr_Clear();
            nb::object text = function_text(function);
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                         text.ptr(), Py_TYPE(mapping.ptr())->tp_name);
        }
        bind::raise_pending();
    }
    nb::object positional = nb::steal(PySequence_Tuple(args.ptr()));
    if (!positional.is_valid()) bind::raise_pending();
    PyObject *result = PyObject_Call(function.ptr(), positional.ptr(), kwargs.ptr());
    if (!result) bind::raise_pending();
    return nb::steal(result);
}

}  // namespace quillon::ops
