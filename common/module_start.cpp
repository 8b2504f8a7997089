// Module start-up: each module's definition, the one place where the interpreter enters a
// module's set-up. Nothing here copies nanobind's internals: the module is made with the
// interpreter's own multi-phase initialisation and handed to nanobind::register_module, the
// public way to make a module created by other means a nanobind module.
#include "binder.hpp"

namespace quillon::bind {

namespace {

// One module per shared library: each module links the common code statically.
void (*module_setup)(nb::module_) = nullptr;

// nanobind anchors its state's lifetime to a module it did not make through a capsule in the
// module's namespace, where dir() and help() would show it among the module's names. The anchor
// leaves the namespace and is kept alive for the rest of the process instead, as is everything
// else a module keeps of the interpreter.
constexpr const char *kAnchorName = "__nanobind_internals__";

int execute_module(PyObject *module) {
    if (!nb::register_module(module)) return -1;
    PyObject *namespace_ = PyModule_GetDict(module);
    if (PyObject *anchor = PyDict_GetItemString(namespace_, kAnchorName)) {
        Py_INCREF(anchor);  // never released
        if (PyDict_DelItemString(namespace_, kAnchorName) < 0) return -1;
    }
    try {
        nb::register_exception_translator(translate_in_nanobind);
        module_setup(nb::borrow<nb::module_>(module));
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void *) execute_module},
#if PY_VERSION_HEX >= 0x030C0000
    // What a module keeps of the interpreter lives in process-wide state made at import.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT};

}  // namespace

PyObject *module_definition(const char *name, void (*setup)(nb::module_)) {
    module_setup = setup;
    module_def.m_name = name;
    module_def.m_slots = module_slots;
    return PyModuleDef_Init(&module_def);
}

}  // namespace quillon::bind
