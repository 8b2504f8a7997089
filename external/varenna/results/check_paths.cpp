#include "check_paths.hpp"

namespace quillon::varenna::checks {

PyObject *name_key(Name n) {
    static PyObject *keys[NameCount] = {};
    if (!keys[n]) keys[n] = PyUnicode_InternFromString(kNames[n]);
    return keys[n];
}

const Paths &paths() {
    static const Paths *p = new Paths();  // kept for the life of the process
    return *p;
}

}  // namespace quillon::varenna::checks
