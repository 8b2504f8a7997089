// Builds real Python classes whose methods are C++.
//
// Every public method of the three modules is a `native_function`: a small callable type of
// our own that binds arguments the way compiled Python modules do (the exact TypeError texts
// users see), binds to instances through `__get__` like a Python function, and exposes
// `__signature__`, so `help()` and `inspect.signature()` show the real parameters, defaults
// and annotations (including enum defaults, which text signatures cannot hold), and
// `__annotations__` with `__globals__`, so `typing.get_type_hints()` resolves them.
//
// Instance state lives in ordinary instance attributes; classes are made by the metaclass of
// their bases (`type`, `abc.ABCMeta`, ...), so they are subclassable like any Python class.
//
// Example:
//
//     ClassBuilder cls(m, "Macro", {}, "A workbook macro.");
//     cls.method("__init__", {arg("self"), arg("command").ann("str")},
//                [](Args &a) { a.self().attr("command") = a[1]; return nb::none(); });
//     cls.method("serialize", {arg("self")}, [](Args &a) { ... }, nullptr, ann("dict"));
//     nb::object Macro = cls.finish();
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace quillon::bind {

namespace nb = nanobind;

enum class Kind : unsigned char {
    Positional,   // positional-or-keyword
    KeywordOnly,  // after a bare `*`
    VarKeyword,   // `**name`: collects the keywords no other parameter takes
};

struct Param {
    std::string name;
    Kind kind = Kind::Positional;
    nb::object default_value;  // unset: the parameter is required
    nb::object annotation;     // unset: no annotation

    // Default value (evaluated once, when the function is built).
    Param &def(nb::handle value);
    Param &def_none();
    // Annotation: a string annotation ("str", "Dict[str, Any]") or an object (a class).
    Param &ann(const char *text);
    Param &ann(nb::handle object);
};

Param arg(const char *name);     // positional-or-keyword
Param kwonly(const char *name);  // keyword-only
Param kwargs(const char *name);  // **name

// A string annotation, for return annotations.
nb::object ann(const char *text);

// The bound arguments, in parameter order; defaults already applied.
class Args {
public:
    nb::handle operator[](size_t i) const { return values_[i]; }
    nb::handle self() const { return values_[0]; }
    size_t size() const { return count_; }
    // The mapping collected by a `**` parameter (a new dict on each call; an empty one for
    // functions without such a parameter).
    nb::dict kwargs() const { return kwargs_.is_valid() ? nb::borrow<nb::dict>(kwargs_) : nb::dict(); }
    // Whether the caller supplied parameter i (by position or keyword).
    bool given(size_t i) const { return given_[i]; }
    // The function being called (for its name in messages).
    nb::handle function() const { return function_; }

    Args(nb::handle function, PyObject *const *values, const bool *given, size_t count,
         nb::object kwargs)
        : function_(function), values_(values), given_(given), count_(count),
          kwargs_(std::move(kwargs)) {}

private:
    nb::handle function_;
    PyObject *const *values_;
    const bool *given_;
    size_t count_;
    nb::object kwargs_;
};

using Impl = std::function<nb::object(Args &)>;

struct FunctionSpec {
    std::string name;
    std::string qualname;
    std::string module;
    nb::object globals;  // unset: the namespace of the module named `module`
    std::string doc;  // empty: no docstring (None)
    std::vector<Param> params;
    nb::object return_annotation;  // unset: none
    Impl impl;
};

// A new native function object.
nb::object make_function(FunctionSpec fn);

class ClassBuilder {
public:
    // `outer_qualname` non-empty makes a nested class ("Outer.Name"); it is then not set on
    // the module, the caller stores the result on the outer class with `attr`.
    ClassBuilder(nb::handle module, const char *name, std::initializer_list<nb::handle> bases = {},
                 const char *doc = nullptr, const char *outer_qualname = nullptr);
    ClassBuilder(nb::handle module, const char *name, std::vector<nb::object> bases,
                 const char *doc = nullptr, const char *outer_qualname = nullptr);

    const std::string &qualname() const { return qualname_; }

    // The class being built, for its methods' `super()` calls; empty until finish() has run.
    // Methods capture the pointer and read it when they are called.
    std::shared_ptr<nb::object> class_ref() const { return class_ref_; }

    ClassBuilder &method(const char *name, std::vector<Param> params, Impl impl,
                         const char *doc = nullptr, nb::handle return_annotation = {});
    ClassBuilder &classmethod(const char *name, std::vector<Param> params, Impl impl,
                              const char *doc = nullptr, nb::handle return_annotation = {});
    ClassBuilder &staticmethod(const char *name, std::vector<Param> params, Impl impl,
                               const char *doc = nullptr, nb::handle return_annotation = {});
    // Abstract members (`abc.abstractmethod`); the class needs `abc.ABC` among its bases.
    ClassBuilder &abstract_method(const char *name, std::vector<Param> params, Impl impl,
                                  const char *doc = nullptr, nb::handle return_annotation = {});
    // Read-only property; the getter receives Args with self only.
    ClassBuilder &property(const char *name, Impl getter, const char *doc = nullptr,
                           nb::handle return_annotation = {});
    ClassBuilder &abstract_property(const char *name, Impl getter, const char *doc = nullptr,
                                    nb::handle return_annotation = {});
    // An attribute that reads like a plain instance attribute: its value lives in the instance
    // dict under its own name (set and deleted as such), and `on_read` turns what is stored into
    // what readers get, so a native holder can become the Python object it stands for on demand.
    ClassBuilder &stored_attribute(const char *name, std::function<nb::object(nb::handle)> on_read,
                                   const char *doc = nullptr);
    // Any class attribute (a value, a nested class, ...).
    ClassBuilder &attr(const char *name, nb::handle value);

    // Creates the class (through the metaclass of its bases) and, unless nested, sets it on
    // the module. Returns the class.
    nb::object finish();

private:
    nb::object function(const char *name, std::vector<Param> params, Impl impl, const char *doc,
                        nb::handle return_annotation);

    nb::handle module_;
    std::string module_name_;
    std::string name_;
    std::string qualname_;
    bool nested_;
    nb::tuple bases_;
    nb::dict namespace_;
    std::shared_ptr<nb::object> class_ref_ = std::make_shared<nb::object>();
};

// `super(cls, self)`: the next class after `cls` in the MRO of `self`, so that calls to a base
// class's methods honour multiple inheritance and a patched base alike.
nb::object super(const std::shared_ptr<nb::object> &cls, nb::handle self);

// Raising Python exceptions from C++: sets the error and throws nb::python_error, which the
// native function boundary turns back into the pending exception.
[[noreturn]] void raise(nb::handle type, const std::string &message);
[[noreturn]] void raise(nb::handle type, nb::handle message);
[[noreturn]] void raise_no_args(nb::handle type);
// `raise type(message) from cause`
[[noreturn]] void raise_from(nb::handle type, const std::string &message, nb::handle cause);
// Re-raise whatever exception is pending (after a failed C API call).
[[noreturn]] void raise_pending();

// The instance dict of `self` (created when missing).
nb::dict instance_dict(nb::handle self);

// `bool(value)`, with the interpreter's errors.
bool truthy(nb::handle value);

// The text form of a value: the string itself, else str(value).
std::string text_of(nb::handle value);

// Sets `from <from_module> import <name>, ...` on `module`: the names its annotations refer
// to, which typing.get_type_hints looks up in the module's namespace as it would in a Python
// module's. A missing module or name makes the import of `module` fail.
void import_into(nb::handle module, const char *from_module,
                 std::initializer_list<const char *> names);
// Sets `import <module_name> as <alias>` on `module`.
void import_module_as(nb::handle module, const char *module_name, const char *alias);

// Imports `module` and returns its attribute `name`; a missing module or name propagates
// as the interpreter's ImportError/AttributeError.
nb::object import_name(const char *module, const char *name);

}  // namespace quillon::bind

// Module entry point. Like NB_MODULE, except that an error raised while the module sets itself
// up (a missing host module or name, say) reaches the importer as it is, not wrapped.
#define QUILLON_MODULE(name, variable)                                         \
    static void quillon_##name##_exec_impl(nanobind::module_);                 \
    static int quillon_##name##_exec(PyObject *m) {                            \
        nanobind::detail::internals =                                          \
            NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                         \
        if (!nanobind::detail::internals)                                      \
            return -1;                                                         \
        try {                                                                  \
            quillon_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m)); \
            return 0;                                                          \
        } catch (nanobind::python_error &e) {                                  \
            e.restore();                                                       \
        } catch (const std::exception &e) {                                   \
            PyErr_SetString(PyExc_ImportError, e.what());                      \
        }                                                                      \
        return -1;                                                             \
    }                                                                          \
    static PyObject *quillon_##name##_def = nullptr;                           \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);       \
    extern "C" PyObject *PyInit_##name(void) {                                 \
        nanobind::detail::init_singletons();                                   \
        if (!nanobind::detail::nb_backend_init(#name))                         \
            return nullptr;                                                    \
        if (!quillon_##name##_def)                                             \
            quillon_##name##_def = NB_CALL(module_new)(                        \
                #name, nullptr, (void *) quillon_##name##_exec,                \
                NB_ABI_MINOR_TAG);                                             \
        return quillon_##name##_def;                                           \
    }                                                                          \
    void quillon_##name##_exec_impl(nanobind::module_ variable)
