// Interned key strings, one object per text for the life of the process.
#pragma once

#include <Python.h>

#define KEY(text)                                                      \
    ([]() -> PyObject * {                                              \
        static PyObject *k = PyUnicode_InternFromString(text);         \
        return k;                                                      \
    }())
