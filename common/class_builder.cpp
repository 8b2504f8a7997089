// ClassBuilder: real Python classes, made by the metaclass of their bases, whose methods are
// native functions.
#include "binder.hpp"

namespace quillon::bind {

// ---------------------------------------------------------------------------------------------
// Classes

ClassBuilder::ClassBuilder(nb::handle module, const char *name,
                           std::initializer_list<nb::handle> bases, const char *doc,
                           const char *outer_qualname)
    : ClassBuilder(module, name,
                   [&] {
                       std::vector<nb::object> v;
                       for (nb::handle b : bases) v.push_back(nb::borrow(b));
                       return v;
                   }(),
                   doc, outer_qualname) {}

ClassBuilder::ClassBuilder(nb::handle module, const char *name, std::vector<nb::object> bases,
                           const char *doc, const char *outer_qualname)
    : module_(module), name_(name), nested_(outer_qualname && *outer_qualname) {
    module_name_ = nb::cast<std::string>(module.attr("__name__"));
    qualname_ = nested_ ? std::string(outer_qualname) + "." + name : std::string(name);
    nb::list b;
    for (auto &base : bases) b.append(base);
    bases_ = nb::tuple(b);
    namespace_["__module__"] = nb::str(module_name_.c_str());
    namespace_["__qualname__"] = nb::str(qualname_.c_str());
    namespace_["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
}

nb::object ClassBuilder::function(const char *name, std::vector<Param> params, Body body,
                                  const char *doc, nb::handle return_annotation) {
    FunctionSpec fn;
    fn.name = name;
    fn.qualname = qualname_ + "." + name;
    fn.module = module_name_;
    fn.globals = module_.attr("__dict__");
    fn.doc = doc ? doc : "";
    fn.params = std::move(params);
    fn.return_annotation = nb::borrow(return_annotation);
    fn.impl = std::move(body);
    return make_function(std::move(fn));
}

ClassBuilder &ClassBuilder::method(const char *name, std::vector<Param> params, Body body,
                                   const char *doc, nb::handle return_annotation) {
    namespace_[name] = function(name, std::move(params), std::move(body), doc, return_annotation);
    return *this;
}

ClassBuilder &ClassBuilder::classmethod(const char *name, std::vector<Param> params, Body body,
                                        const char *doc, nb::handle return_annotation) {
    nb::object f = function(name, std::move(params), std::move(body), doc, return_annotation);
    namespace_[name] = nb::handle((PyObject *) &PyClassMethod_Type)(f);
    return *this;
}

ClassBuilder &ClassBuilder::staticmethod(const char *name, std::vector<Param> params, Body body,
                                         const char *doc, nb::handle return_annotation) {
    nb::object f = function(name, std::move(params), std::move(body), doc, return_annotation);
    namespace_[name] = nb::handle((PyObject *) &PyStaticMethod_Type)(f);
    return *this;
}

ClassBuilder &ClassBuilder::abstract_method(const char *name, std::vector<Param> params, Body body,
                                            const char *doc, nb::handle return_annotation) {
    nb::object f = function(name, std::move(params), std::move(body), doc, return_annotation);
    namespace_[name] = nb::module_::import_("abc").attr("abstractmethod")(f);
    return *this;
}

ClassBuilder &ClassBuilder::property(const char *name, Body getter, const char *doc,
                                     nb::handle return_annotation) {
    nb::object f = function(name, {arg("self")}, std::move(getter), doc, return_annotation);
    namespace_[name] = nb::handle((PyObject *) &PyProperty_Type)(
        f, nb::none(), nb::none(), doc ? nb::object(nb::str(doc)) : nb::none());
    return *this;
}

ClassBuilder &ClassBuilder::abstract_property(const char *name, Body getter, const char *doc,
                                              nb::handle return_annotation) {
    nb::object f = function(name, {arg("self")}, std::move(getter), doc, return_annotation);
    f = nb::module_::import_("abc").attr("abstractmethod")(f);
    namespace_[name] = nb::handle((PyObject *) &PyProperty_Type)(
        f, nb::none(), nb::none(), doc ? nb::object(nb::str(doc)) : nb::none());
    return *this;
}

ClassBuilder &ClassBuilder::stored_attribute(const char *name,
                                             std::function<nb::object(nb::handle)> on_read,
                                             const char *doc) {
    nb::object key = nb::steal(PyUnicode_InternFromString(name));
    if (!key.is_valid()) raise_pending();
    auto missing = [key](nb::handle self) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                     Py_TYPE(self.ptr())->tp_name, key.ptr());
        raise_pending();
    };
    nb::object getter = function(
        name, {arg("self")},
        [key, missing, on_read = std::move(on_read)](Self self) -> nb::object {
            nb::dict d = instance_dict(self);
            PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());
            if (!v) {
                if (!PyErr_Occurred()) missing(self);
                raise_pending();
            }
            // Held across on_read: building what it stands for allocates, the collector may
            // run a finaliser that deletes the attribute, and the dict's reference goes.
            nb::object held = nb::borrow(v);
            return on_read(held);
        },
        doc, {});
    nb::object setter = function(
        name, {arg("self"), arg("value")},
        [key](Self self, Arg<"value"> value) {
            nb::dict d = instance_dict(self);
            if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) raise_pending();
        },
        nullptr, {});
    nb::object deleter = function(
        name, {arg("self")},
        [key, missing](Self self) {
            nb::dict d = instance_dict(self);
            if (PyDict_DelItem(d.ptr(), key.ptr()) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_pending();
                PyErr_Clear();
                missing(self);
            }
        },
        nullptr, {});
    namespace_[name] = nb::handle((PyObject *) &PyProperty_Type)(
        getter, setter, deleter, doc ? nb::object(nb::str(doc)) : nb::none());
    return *this;
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

nb::object ClassBuilder::finish() {
    // The most derived metaclass of the bases makes the class, as a class statement would.
    PyTypeObject *meta = &PyType_Type;
    for (nb::handle base : bases_) {
        PyTypeObject *t = Py_TYPE(base.ptr());
        if (PyType_IsSubtype(t, meta)) meta = t;
        else if (!PyType_IsSubtype(meta, t)) {
            PyErr_SetString(PyExc_TypeError,
                            "metaclass conflict: the metaclass of a derived class must be a "
                            "(non-strict) subclass of the metaclasses of all its bases");
            raise_pending();
        }
    }
    nb::object cls = nb::handle((PyObject *) meta)(nb::str(name_.c_str()), bases_, namespace_);
    if (!nested_) module_.attr(name_.c_str()) = cls;
    *class_ref_ = cls;
    return cls;
}

}  // namespace quillon::bind
