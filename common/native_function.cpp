// The native function type: the one place that knows the interpreter's calling convention
// (binding positional and keyword arguments to the parameter list, with the interpreter's
// TypeError texts), binding to instances, and the signature and annotations it shows. Raw
// PyObject pointers and manual reference counts stay here, where the type's slots require them.
#include "binder.hpp"
#include "python_ops.hpp"

#include <structmember.h>

#include <array>
#include <memory>
#include <stdexcept>

namespace quillon::bind {


namespace {

struct FunctionData {
    std::vector<Param> params;
    std::vector<nb::object> names;  // interned parameter names, for fast keyword matching
    nb::object return_annotation;
    Impl impl;
    Py_ssize_t n_positional = 0;   // positional-or-keyword parameters (self included)
    Py_ssize_t n_required = 0;     // leading positional parameters without a default
    Py_ssize_t varkw = -1;         // index of the ** parameter, -1 when there is none
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *dict;
    PyObject *signature;  // built on first request
    PyObject *annotations;  // built on first request; replaceable like a function's
    PyObject *globals;      // the defining module's namespace, where annotations resolve
    FunctionData *data;
};

PyTypeObject *function_type = nullptr;

// Error texts of compiled modules; `self` counts as a positional argument.
void raise_arg_count(NativeFunction *f, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const bool exact = min == max;
    const bool too_few = given < min;
    const Py_ssize_t expected = too_few ? min : max;
    const char *how = exact ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 PyUnicode_AsUTF8(f->name), how, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const FunctionData &d, PyObject *key) {
    const Py_ssize_t n = (Py_ssize_t) d.names.size();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (i != d.varkw && d.names[i].ptr() == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i == d.varkw) continue;
        int eq = PyUnicode_Compare(d.names[i].ptr(), key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

PyObject *call_impl(NativeFunction *f, Args &args) {
    try {
        nb::object result = f->data->impl(args);
        if (!result.is_valid()) Py_RETURN_NONE;
        return result.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
    }
    return nullptr;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    auto *f = (NativeFunction *) callable;
    const FunctionData &d = *f->data;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nparams = (Py_ssize_t) d.params.size();

    if (nargs > d.n_positional) {
        raise_arg_count(f, d.n_required, d.n_positional, nargs);
        return nullptr;
    }

    std::array<PyObject *, 32> small_values{};
    std::array<bool, 32> small_given{};
    std::unique_ptr<PyObject *[]> big_values;
    std::unique_ptr<bool[]> big_given;
    PyObject **values = small_values.data();
    bool *given = small_given.data();
    if (nparams > 32) {
        big_values.reset(new PyObject *[nparams]());
        big_given.reset(new bool[nparams]());
        values = big_values.get();
        given = big_given.get();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = args[i];
        given[i] = true;
    }

    // Only functions with a `**` parameter pay for the dict that collects free keywords.
    nb::object collected;
    if (d.varkw >= 0) {
        collected = nb::steal(PyDict_New());
        if (!collected.is_valid()) return nullptr;
    }
    PyObject *unexpected = nullptr, *repeated = nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, j);
            PyObject *value = args[nargs + j];
            Py_ssize_t i = find_param(d, key);
            if (i >= 0) {
                if (given[i]) {
                    if (!repeated) repeated = key;
                } else {
                    values[i] = value;
                    given[i] = true;
                }
            } else if (d.varkw >= 0) {
                if (PyDict_SetItem(collected.ptr(), key, value) < 0) return nullptr;
            } else if (!unexpected) {
                unexpected = key;
            }
        }
    }

    for (Py_ssize_t i = 0; i < d.n_positional; ++i) {
        if (!given[i] && !d.params[i].default_value.is_valid()) {
            raise_arg_count(f, d.n_required, d.n_positional, i);
            return nullptr;
        }
    }
    if (repeated) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     PyUnicode_AsUTF8(f->name), repeated);
        return nullptr;
    }
    if (unexpected) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     PyUnicode_AsUTF8(f->name), unexpected);
        return nullptr;
    }
    for (Py_ssize_t i = d.n_positional; i < nparams; ++i) {
        if (i == d.varkw) {
            values[i] = collected.ptr();
            given[i] = PyDict_GET_SIZE(collected.ptr()) > 0;
            continue;
        }
        if (!given[i]) {
            if (!d.params[i].default_value.is_valid()) {
                PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U",
                             PyUnicode_AsUTF8(f->name), d.names[i].ptr());
                return nullptr;
            }
        }
    }
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!given[i] && i != d.varkw) values[i] = d.params[i].default_value.ptr();

    Args bound(values, (size_t) nparams);
    return call_impl(f, bound);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    auto *f = (NativeFunction *) self;
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = (NativeFunction *) self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    if (f->data) {
        for (const Param &p : f->data->params) {
            Py_VISIT(p.default_value.ptr());
            Py_VISIT(p.annotation.ptr());
        }
        Py_VISIT(f->data->return_annotation.ptr());
    }
    return 0;
}

int function_clear(PyObject *self) {
    auto *f = (NativeFunction *) self;
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    if (f->data) {
        for (Param &p : f->data->params) {
            p.default_value.reset();
            p.annotation.reset();
        }
        f->data->return_annotation.reset();
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    auto *f = (NativeFunction *) self;
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete f->data;
    f->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_get_signature(PyObject *self, void *) {
    auto *f = (NativeFunction *) self;
    if (f->signature) return Py_NewRef(f->signature);
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object empty = parameter.attr("empty");
        nb::list params;
        for (const Param &p : f->data->params) {
            const char *kind = p.kind == Kind::Positional    ? "POSITIONAL_OR_KEYWORD"
                               : p.kind == Kind::KeywordOnly ? "KEYWORD_ONLY"
                                                             : "VAR_KEYWORD";
            params.append(parameter(
                nb::str(p.name.c_str()), parameter.attr(kind),
                nb::arg("default") = p.default_value.is_valid() ? p.default_value : empty,
                nb::arg("annotation") = p.annotation.is_valid() ? p.annotation : empty));
        }
        nb::object ret = f->data->return_annotation.is_valid()
                             ? f->data->return_annotation
                             : inspect.attr("Signature").attr("empty");
        nb::object sig = inspect.attr("Signature")(params, nb::arg("return_annotation") = ret);
        f->signature = sig.release().ptr();
        return Py_NewRef(f->signature);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject *function_get_text_signature(PyObject *, void *) { Py_RETURN_NONE; }

// `__annotations__` as a function compiled with postponed evaluation has it: the annotated
// parameters and "return", strings left as written, so that typing.get_type_hints and
// inspect.get_annotations evaluate them in `__globals__`.
PyObject *function_get_annotations(PyObject *self, void *) {
    auto *f = (NativeFunction *) self;
    if (f->annotations) return Py_NewRef(f->annotations);
    try {
        nb::dict annotations;
        if (f->data) {
            for (const Param &p : f->data->params)
                if (p.annotation.is_valid()) annotations[p.name.c_str()] = p.annotation;
            if (f->data->return_annotation.is_valid())
                annotations["return"] = f->data->return_annotation;
        }
        f->annotations = annotations.release().ptr();
        return Py_NewRef(f->annotations);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Assigning a dict replaces the annotations; deleting them (or assigning None) leaves an
// empty dict, as for a Python function.
int function_set_annotations(PyObject *self, PyObject *value, void *) {
    auto *f = (NativeFunction *) self;
    if (value == nullptr || value == Py_None) {
        PyObject *empty = PyDict_New();
        if (!empty) return -1;
        Py_XSETREF(f->annotations, empty);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_NewRef(value));
    return 0;
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(NativeFunction, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *get_function_type() {
    if (function_type) return function_type;
    PyType_Slot slots[] = {
        {Py_tp_call, (void *) PyVectorcall_Call},
        {Py_tp_descr_get, (void *) function_descr_get},
        {Py_tp_repr, (void *) function_repr},
        {Py_tp_traverse, (void *) function_traverse},
        {Py_tp_clear, (void *) function_clear},
        {Py_tp_dealloc, (void *) function_dealloc},
        {Py_tp_members, (void *) function_members},
        {Py_tp_getset, (void *) function_getset},
        {0, nullptr},
    };
    PyType_Spec type_spec = {
        "native_function", sizeof(NativeFunction), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
        slots};
    PyObject *type = PyType_FromSpec(&type_spec);
    if (!type) raise_pending();
    function_type = (PyTypeObject *) type;  // kept for the life of the process
    return function_type;
}

}  // namespace

nb::object make_function(FunctionSpec fn) {
    PyTypeObject *type = get_function_type();
    auto data = std::make_unique<FunctionData>();
    data->params = std::move(fn.params);
    data->return_annotation = std::move(fn.return_annotation);
    data->impl = std::move(fn.impl.impl);
    if (fn.impl.by_name) {
        // The body names its arguments; they must be the parameters, in their order.
        bool same = fn.impl.names.size() == data->params.size();
        for (size_t i = 0; same && i < data->params.size(); ++i)
            same = data->params[i].name == fn.impl.names[i];
        if (!same) {
            std::string body_names;
            for (const char *name : fn.impl.names) body_names += std::string(" ") + name;
            throw std::logic_error(fn.qualname + ": the body's arguments (" + body_names +
                                   " ) are not the parameters in their order");
        }
    }
    bool optional_seen = false;
    for (size_t i = 0; i < data->params.size(); ++i) {
        const Param &p = data->params[i];
        PyObject *name = PyUnicode_InternFromString(p.name.c_str());
        if (!name) raise_pending();
        data->names.push_back(nb::steal(name));
        switch (p.kind) {
            case Kind::Positional:
                if (data->n_positional != (Py_ssize_t) i)
                    throw std::logic_error("positional parameter after keyword-only: " + p.name);
                ++data->n_positional;
                if (p.default_value.is_valid()) optional_seen = true;
                else if (optional_seen)
                    throw std::logic_error("required parameter after optional: " + p.name);
                else ++data->n_required;
                break;
            case Kind::KeywordOnly: break;
            case Kind::VarKeyword:
                if (i + 1 != data->params.size())
                    throw std::logic_error("** parameter must come last: " + p.name);
                data->varkw = (Py_ssize_t) i;
                break;
        }
    }

    // The namespace of the module that defines the function, as a Python function's globals
    // are: the module is in sys.modules while it sets itself up.
    nb::object globals = fn.globals.is_valid() ? fn.globals : nb::object();
    if (!globals.is_valid()) {
        nb::object module = nb::steal(PyImport_GetModule(nb::str(fn.module.c_str()).ptr()));
        if (!module.is_valid() && PyErr_Occurred()) raise_pending();
        globals = module.is_valid() ? module.attr("__dict__") : nb::object(nb::dict());
    }

    auto *f = PyObject_GC_New(NativeFunction, type);
    if (!f) raise_pending();
    f->vectorcall = function_vectorcall;
    f->name = PyUnicode_FromString(fn.name.c_str());
    f->qualname = PyUnicode_FromString(fn.qualname.c_str());
    f->module = PyUnicode_FromString(fn.module.c_str());
    f->doc = fn.doc.empty() ? Py_NewRef(Py_None) : PyUnicode_FromString(fn.doc.c_str());
    f->dict = nullptr;
    f->signature = nullptr;
    f->annotations = nullptr;
    f->globals = globals.release().ptr();
    f->data = data.release();
    nb::object result = nb::steal((PyObject *) f);
    if (!f->name || !f->qualname || !f->module || !f->doc) raise_pending();
    PyObject_GC_Track((PyObject *) f);
    return result;
}

nb::tuple Args::after_self() const {
    PyObject *t = PyTuple_New(count_ ? (Py_ssize_t) count_ - 1 : 0);
    if (!t) raise_pending();
    for (size_t i = 1; i < count_; ++i)
        PyTuple_SET_ITEM(t, (Py_ssize_t) i - 1, Py_NewRef(values_[i]));
    return nb::steal<nb::tuple>(t);
}

}  // namespace quillon::bind
