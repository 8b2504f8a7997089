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
//                [](Self self, Arg<"command"> command) { self.attr("command") = command; });
//     cls.method("serialize", {arg("self")}, [](Self self) { ... }, nullptr, ann("dict"));
//     nb::object Macro = cls.finish();
//
// A body names each parameter it receives (`Arg<"command">`), in the order of the parameter
// list; the binder compares the two when it builds the function, so a body can never read one
// parameter's value under another's name. At call time the values are handed over by position.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
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

namespace detail {
template <typename T> struct take;
}

// The bound arguments, in parameter order; defaults already applied (a `**` parameter's slot
// holds the dict it collected). Bodies read them by name; only the binder hands them out by
// position, to the body argument each one belongs to.
class Args {
public:
    nb::handle self() const { return values_[0]; }
    // Every bound value after self, in parameter order: for bodies that pass them all on.
    nb::tuple after_self() const;

    Args(PyObject *const *values, size_t count) : values_(values), count_(count) {}

private:
    template <typename T> friend struct detail::take;
    nb::handle at(size_t i) const { return values_[i]; }

    PyObject *const *values_;
    size_t count_;
};

using Impl = std::function<nb::object(Args &)>;

// A parameter name as a template argument: `Arg<"cs">`.
template <size_t N>
struct Name {
    char text[N]{};
    constexpr Name(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

// The argument bound to the parameter called `N`: a handle, valid for the call.
template <Name N>
struct Arg : nb::handle {
    static constexpr const char *name = N.text;
    explicit Arg(nb::handle value) : nb::handle(value) {}
};
using Self = Arg<"self">;

// A run of consecutive parameters that several bodies share, taken as one value and read by
// name: with `using Head = Group<Self, Arg<"name">>`, a body `[](Head head, Arg<"x"> x)` reads
// `head.get<"name">()`.
template <typename... A>
struct Group : std::tuple<A...> {
    explicit Group(A... args) : std::tuple<A...>(args...) {}
    template <Name N>
    nb::handle get() const { return std::get<Arg<N>>(*this); }
};

namespace detail {

template <typename T> struct is_arg : std::false_type {};
template <Name N> struct is_arg<Arg<N>> : std::true_type {};
template <typename... A> struct is_arg<Group<A...>> : std::bool_constant<(is_arg<A>::value && ...)> {};

// How many parameters a body argument stands for, and their names.
template <typename T> struct width : std::integral_constant<size_t, 1> {};
template <typename... A> struct width<Group<A...>> : std::integral_constant<size_t, sizeof...(A)> {};
template <typename T> struct names_of {
    static void add(std::vector<const char *> &names) { names.push_back(T::name); }
};
template <typename... A> struct names_of<Group<A...>> {
    static void add(std::vector<const char *> &names) { (names.push_back(A::name), ...); }
};

// The body argument of type T, from the bound values starting at `at`.
template <typename T> struct take {
    static T from(Args &a, size_t at) { return T(a.at(at)); }
};
template <typename... A> struct take<Group<A...>> {
    static Group<A...> from(Args &a, size_t at) {
        return from(a, at, std::index_sequence_for<A...>());
    }
    template <size_t... J>
    static Group<A...> from(Args &a, size_t at, std::index_sequence<J...>) {
        return Group<A...>(A(a.at(at + J))...);
    }
};

// Where each body argument's values start.
template <typename... P>
constexpr std::array<size_t, sizeof...(P)> offsets_of() {
    std::array<size_t, sizeof...(P)> offsets{};
    size_t at = 0, i = 0;
    ((offsets[i++] = at, at += width<P>::value), ...);
    return offsets;
}

template <typename F> struct parameters_of : parameters_of<decltype(&F::operator())> {};
template <typename C, typename R, typename... A>
struct parameters_of<R (C::*)(A...) const> { using type = std::tuple<std::decay_t<A>...>; };
template <typename C, typename R, typename... A>
struct parameters_of<R (C::*)(A...)> { using type = std::tuple<std::decay_t<A>...>; };
template <typename R, typename... A>
struct parameters_of<R (*)(A...)> { using type = std::tuple<std::decay_t<A>...>; };

template <typename R> nb::object result_of(R &&value) { return nb::object(std::forward<R>(value)); }

}  // namespace detail

// What a function does when called: a body taking named arguments (`Arg<"name">`, checked
// against the parameter list when the function is built), or one taking `Args &`. A body may
// return void for None.
struct Body {
    Impl impl;
    std::vector<const char *> names;  // the body's parameter names; empty for an `Args &` body
    bool by_name = false;

    Body() = default;
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Body>>>
    Body(F f) {
        if constexpr (std::is_invocable_v<F &, Args &>) {
            impl = [f = std::move(f)](Args &a) -> nb::object {
                if constexpr (std::is_void_v<std::invoke_result_t<F &, Args &>>) {
                    f(a);
                    return nb::none();
                } else {
                    return detail::result_of(f(a));
                }
            };
        } else {
            bind_by_name(std::move(f), (typename detail::parameters_of<std::decay_t<F>>::type *) nullptr);
        }
    }

private:
    template <typename F, typename... A>
    void bind_by_name(F f, std::tuple<A...> *) {
        static_assert((detail::is_arg<A>::value && ...),
                      "a body takes Args & or only named arguments (Arg<\"name\">, Group<...>)");
        by_name = true;
        (detail::names_of<A>::add(names), ...);
        impl = [f = std::move(f)](Args &a) -> nb::object {
            return call<const F, A...>(f, a, std::index_sequence_for<A...>());
        };
    }
    template <typename F, typename... A, size_t... I>
    static nb::object call(F &f, Args &a, std::index_sequence<I...>) {
        static constexpr auto at = detail::offsets_of<A...>();
        if constexpr (std::is_void_v<decltype(f(detail::take<A>::from(a, at[I])...))>) {
            f(detail::take<A>::from(a, at[I])...);
            return nb::none();
        } else {
            return detail::result_of(f(detail::take<A>::from(a, at[I])...));
        }
    }
};

struct FunctionSpec {
    std::string name;
    std::string qualname;
    std::string module;
    nb::object globals;  // unset: the namespace of the module named `module`
    std::string doc;  // empty: no docstring (None)
    std::vector<Param> params;
    nb::object return_annotation;  // unset: none
    Body impl;
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

    ClassBuilder &method(const char *name, std::vector<Param> params, Body body,
                         const char *doc = nullptr, nb::handle return_annotation = {});
    ClassBuilder &classmethod(const char *name, std::vector<Param> params, Body body,
                              const char *doc = nullptr, nb::handle return_annotation = {});
    ClassBuilder &staticmethod(const char *name, std::vector<Param> params, Body body,
                               const char *doc = nullptr, nb::handle return_annotation = {});
    // Abstract members (`abc.abstractmethod`); the class needs `abc.ABC` among its bases.
    ClassBuilder &abstract_method(const char *name, std::vector<Param> params, Body body,
                                  const char *doc = nullptr, nb::handle return_annotation = {});
    // Read-only property; the getter receives self only.
    ClassBuilder &property(const char *name, Body getter, const char *doc = nullptr,
                           nb::handle return_annotation = {});
    ClassBuilder &abstract_property(const char *name, Body getter, const char *doc = nullptr,
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
    nb::object function(const char *name, std::vector<Param> params, Body body, const char *doc,
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

// A class attribute as the class made it (a function, a class method, a property, a nested
// class or any value), with its name interned: what a native fast path stands in for.
struct Original {
    nb::object name;
    nb::object value;
    Original() = default;
    Original(nb::handle name, nb::handle value) : name(nb::borrow(name)), value(nb::borrow(value)) {}
    // What `cls`'s own dict holds under `attribute`.
    Original(nb::handle cls, const char *attribute);
};

// Whether normal attribute lookup of the original's name on `obj` finds the original. It does
// not when the attribute was replaced on the class or a base (unittest.mock.patch.object), set
// on the instance, or overridden in a subclass. This is the one check behind every native fast
// path that stands in for calling a method through the object, made once at the entry of the
// call that takes the fast path: when the answer is no, the call goes through the object, so
// the user's version is the one that runs. `found`, when given, receives what the lookup found
// (for an original that is not a data descriptor), for the call through the object to use.
bool finds_original(nb::handle obj, const Original &original, nb::object *found = nullptr);
bool finds_original(nb::handle obj, nb::handle name, nb::handle original);

// Raising Python exceptions from C++: sets the error and throws nb::python_error, which the
// native function boundary turns back into the pending exception. As `raise type(message)`:
// a `type` that is no exception class, or whose call gives no exception, is the interpreter's
// TypeError.
[[noreturn]] void raise(nb::handle type, const std::string &message);
[[noreturn]] void raise(nb::handle type, nb::handle message);
[[noreturn]] void raise_no_args(nb::handle type);
// `raise type(message) from cause`
[[noreturn]] void raise_from(nb::handle type, const std::string &message, nb::handle cause);
// The exception that `generator.throw(type, value, traceback)` raises inside a generator.
// Arguments a generator refuses raise the interpreter's TypeError here, at once, before the
// generator is touched (it goes on as if nothing had been thrown).
nb::object thrown_exception(nb::handle type, nb::handle value, nb::handle traceback);
// Raises `exc` as it leaves a generator that did not catch it: a StopIteration becomes the
// RuntimeError "generator raised StopIteration", caused by it. `started` says whether the
// generator has run: from 3.12 on, a throw into one that has not comes back out as it is,
// without running its frame.
[[noreturn]] void raise_out_of_generator(nb::handle exc, bool started);
// Re-raise whatever exception is pending (after a failed C API call).
[[noreturn]] void raise_pending();

// The one translation of a C++ exception into a Python error, for every place where C++ hands
// control back to the interpreter: called inside a `catch (...)` handler, it sets the pending
// Python error for the exception being handled. A Python error carried by nb::python_error
// comes back as it was; nanobind's builtin exceptions become their Python types; anything else
// is a fault of ours and becomes SystemError.
void set_error_from_current_exception() noexcept;
// The same translation as a link of nanobind's translator chain, so that nanobind's own
// functions (the methods of the holder types) translate as ours do; module start-up registers it.
void translate_in_nanobind(const std::exception_ptr &exception, void *payload);

// The module definition (multi-phase initialisation) whose execution makes the module nanobind's
// and then runs `setup`; an error raised while the module sets itself up (a missing host module
// or name, say) reaches the importer as it is. For QUILLON_MODULE.
PyObject *module_definition(const char *name, void (*setup)(nb::module_));

// The instance dict of `self` (created when missing).
nb::dict instance_dict(nb::handle self);

// Sets `from <from_module> import <name>, ...` on `module`: the names its annotations refer
// to, which typing.get_type_hints looks up in the module's namespace as it would in a Python
// module's. A missing module or name makes the import of `module` fail.
void import_into(nb::handle module, const char *from_module,
                 std::initializer_list<const char *> names);
// Sets `import <module_name> as <alias>` on `module`.
void import_module_as(nb::handle module, const char *module_name, const char *alias);

}  // namespace quillon::bind

// Module entry point, in place of NB_MODULE: the same module, but an error of the set-up
// reaches the importer as it is, where NB_MODULE chains it to an ImportError of its own.
#define QUILLON_MODULE(name, variable)                                          \
    static void quillon_##name##_setup(nanobind::module_);                      \
    PyMODINIT_FUNC PyInit_##name(void) {                                        \
        return ::quillon::bind::module_definition(#name, quillon_##name##_setup); \
    }                                                                           \
    void quillon_##name##_setup(nanobind::module_ variable)
