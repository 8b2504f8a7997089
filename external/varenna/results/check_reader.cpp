#include "check_reader.hpp"

namespace quillon::varenna::checks {

void raise_missing(const char *attribute) {
    PyObject *r = PyObject_GetAttrString(Py_None, attribute);
    Py_XDECREF(r);
    bind::raise_pending();
}

}  // namespace quillon::varenna::checks
