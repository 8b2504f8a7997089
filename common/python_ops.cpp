#include "python_ops.hpp"

#include "binder.hpp"

namespace quillon::ops {

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
