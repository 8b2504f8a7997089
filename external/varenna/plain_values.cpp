// The value json.loads(json.dumps(value, default=...)) gives back, built directly. Writing the
// text and parsing it again would only cost time: every rule of that round trip (keys become
// strings, tuples lists, subclasses their base values, escaped surrogate pairs one character)
// is applied here, with json's own errors in the same order.
#include "model.hpp"

#include <cmath>
#include <unordered_set>

namespace quillon::varenna {

using namespace bind;

namespace {

using json::Marker;
using json::RecursionGuard;

bool high_surrogate(Py_UCS4 c) { return c >= 0xd800 && c <= 0xdbff; }
bool low_surrogate(Py_UCS4 c) { return c >= 0xdc00 && c <= 0xdfff; }

// A plain str equal to what the JSON text of `s` parses back to: written with \u escapes, a
// high surrogate directly followed by a low one comes back as the single character they encode.
nb::object plain_string(PyObject *s) {
    if (PyUnicode_READY(s) < 0) raise_pending();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    bool pairs = false;
    if (kind != PyUnicode_1BYTE_KIND) {
        for (Py_ssize_t i = 0; i + 1 < n && !pairs; ++i)
            pairs = high_surrogate(PyUnicode_READ(kind, data, i)) &&
                    low_surrogate(PyUnicode_READ(kind, data, i + 1));
    }
    if (!pairs) {
        if (PyUnicode_CheckExact(s)) return nb::borrow(s);
        nb::object copy = nb::steal(PyUnicode_Substring(s, 0, n));  // a str subclass -> str
        if (!copy.is_valid()) raise_pending();
        return copy;
    }
    std::u32string joined;
    joined.reserve((size_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (high_surrogate(c) && i + 1 < n) {
            const Py_UCS4 d = PyUnicode_READ(kind, data, i + 1);
            if (low_surrogate(d)) {
                c = 0x10000 + (((c - 0xd800) << 10) | (d - 0xdc00));
                ++i;
            }
        }
        joined.push_back(c);
    }
    nb::object result = nb::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, joined.data(), (Py_ssize_t) joined.size()));
    if (!result.is_valid()) raise_pending();
    return result;
}

// int(repr(value)) with int's own repr: subclasses become int, and numbers beyond the
// interpreter's digit limit fail as json.dumps fails on them.
nb::object plain_int(PyObject *o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) raise_pending();
        if (PyLong_CheckExact(o)) return nb::borrow(o);
        return nb::steal(PyLong_FromLongLong(v));
    }
    nb::object text = nb::steal(PyLong_Type.tp_repr(o));
    if (!text.is_valid()) raise_pending();
    if (PyLong_CheckExact(o)) return nb::borrow(o);
    nb::object copy = nb::steal(PyLong_FromUnicodeObject(text.ptr(), 10));
    if (!copy.is_valid()) raise_pending();
    return copy;
}

nb::object plain_float(PyObject *o) {
    if (PyFloat_CheckExact(o)) return nb::borrow(o);
    return nb::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(o)));
}

// The text a key becomes in JSON, parsed back: always a str.
nb::object plain_key(PyObject *k) {
    if (PyUnicode_Check(k)) return plain_string(k);
    if (PyFloat_Check(k)) {
        const double v = PyFloat_AS_DOUBLE(k);
        if (!std::isfinite(v)) return nb::str(std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity"));
        nb::object text = nb::steal(PyFloat_Type.tp_repr(k));
        if (!text.is_valid()) raise_pending();
        return text;
    }
    if (k == Py_True) return nb::str("true");
    if (k == Py_False) return nb::str("false");
    if (k == Py_None) return nb::str("null");
    if (PyLong_Check(k)) {
        nb::object text = nb::steal(PyLong_Type.tp_repr(k));
        if (!text.is_valid()) raise_pending();
        return text;
    }
    raise(nb::handle(PyExc_TypeError),
          std::string("keys must be str, int, float, bool or None, not ") +
              std::string(Py_TYPE(k)->tp_name).substr(0, 100));
}

class Copier {
public:
    explicit Copier(const json::Fallback &fallback) : fallback_(fallback) {}

    nb::object value(PyObject *o) {
        if (o == Py_None || o == Py_True || o == Py_False) return nb::borrow(o);
        if (PyUnicode_Check(o)) return plain_string(o);
        if (PyLong_Check(o)) return plain_int(o);
        if (PyFloat_Check(o)) return plain_float(o);
        if (PyList_Check(o) || PyTuple_Check(o)) {
            RecursionGuard guard;
            return array(o);
        }
        if (PyDict_Check(o)) {
            RecursionGuard guard;
            return object(o);
        }
        Marker mark(markers_, o);
        nb::object substitute = fallback_(nb::handle(o));
        RecursionGuard guard;
        return value(substitute.ptr());
    }

private:
    nb::object array(PyObject *seq) {
        const bool is_list = PyList_Check(seq);
        auto size = [&] { return is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq); };
        nb::list result;
        if (size() == 0) return result;
        Marker mark(markers_, seq);
        for (Py_ssize_t i = 0; i < size(); ++i) {
            nb::object item =
                nb::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            nb::object copy = value(item.ptr());
            if (PyList_Append(result.ptr(), copy.ptr()) < 0) raise_pending();
        }
        return result;
    }

    void member(PyObject *result, PyObject *k, PyObject *v) {
        nb::object key = plain_key(k);
        nb::object copy = value(v);
        if (PyDict_SetItem(result, key.ptr(), copy.ptr()) < 0) raise_pending();
    }

    nb::object object(PyObject *dict) {
        nb::dict result;
        if (PyDict_GET_SIZE(dict) == 0) return result;
        Marker mark(markers_, dict);
        if (PyDict_CheckExact(dict)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(dict, &pos, &k, &v)) {
                nb::object key_ref = nb::borrow(k), value_ref = nb::borrow(v);
                member(result.ptr(), k, v);
            }
        } else {
            nb::object items = nb::steal(PyMapping_Items(dict));
            if (!items.is_valid()) raise_pending();
            const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
                if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
                    raise(nb::handle(PyExc_ValueError), "items must return 2-tuples");
                member(result.ptr(), PyTuple_GET_ITEM(item.ptr(), 0),
                       PyTuple_GET_ITEM(item.ptr(), 1));
            }
        }
        return result;
    }

    const json::Fallback &fallback_;
    std::unordered_set<PyObject *> markers_;
};

}  // namespace

nb::object plain_copy(nb::handle value, const json::Fallback &fallback) {
    return Copier(fallback).value(value.ptr());
}

}  // namespace quillon::varenna
