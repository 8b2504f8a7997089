#include "json_writer.hpp"

#include "binder.hpp"

#include <cmath>
#include <unordered_set>

namespace quillon::json {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";


void escape_unit(std::string &out, unsigned c) {
    const char buf[6] = {'\\', 'u', hex_digits[(c >> 12) & 15], hex_digits[(c >> 8) & 15],
                         hex_digits[(c >> 4) & 15], hex_digits[c & 15]};
    out.append(buf, 6);
}

template <typename Char>
void write_chars(std::string &out, const Char *s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = s[i];
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            // Copy the longest run of plain characters in one go.
            Py_ssize_t j = i + 1;
            while (j < n && s[j] >= ' ' && s[j] <= '~' && s[j] != '\\' && s[j] != '"') ++j;
            if constexpr (sizeof(Char) == 1) {
                out.append((const char *) s + i, (size_t) (j - i));
            } else {
                for (Py_ssize_t k = i; k < j; ++k) out.push_back((char) s[k]);
            }
            i = j - 1;
            continue;
        }
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c >= 0x10000) {
                    const Py_UCS4 v = c - 0x10000;
                    escape_unit(out, 0xd800 | ((v >> 10) & 0x3ff));
                    escape_unit(out, 0xdc00 | (v & 0x3ff));
                } else {
                    escape_unit(out, c);
                }
        }
    }
}

void write_string(std::string &out, PyObject *s) {
    if (PyUnicode_READY(s) < 0) bind::raise_pending();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.push_back('"');
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: write_chars(out, PyUnicode_1BYTE_DATA(s), n); break;
        case PyUnicode_2BYTE_KIND: write_chars(out, PyUnicode_2BYTE_DATA(s), n); break;
        default: write_chars(out, PyUnicode_4BYTE_DATA(s), n); break;
    }
    out.push_back('"');
}

void append_text(std::string &out, PyObject *text) {
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) bind::raise_pending();
    out.append(data, (size_t) size);
}

// int.__repr__ of the value, whatever subclass it belongs to (and its digit limit).
void write_int(std::string &out, PyObject *o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) bind::raise_pending();
        char buf[24];
        const int len = snprintf(buf, sizeof buf, "%lld", v);
        out.append(buf, (size_t) len);
        return;
    }
    nb::object text = nb::steal(PyLong_Type.tp_repr(o));
    if (!text.is_valid()) bind::raise_pending();
    append_text(out, text.ptr());
}

// float.__repr__ of the value; non-finite values as JavaScript's names for them.
void write_float(std::string &out, double v) {
    if (!std::isfinite(v)) {
        out += std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity");
        return;
    }
    char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) bind::raise_pending();
    out += text;
    PyMem_Free(text);
}

class Writer {
public:
    Writer(std::string &out, const Fallback &fallback) : out_(out), fallback_(fallback) {}

    void value(PyObject *o) {
        if (o == Py_None) {
            out_ += "null";
        } else if (o == Py_True) {
            out_ += "true";
        } else if (o == Py_False) {
            out_ += "false";
        } else if (PyUnicode_Check(o)) {
            write_string(out_, o);
        } else if (PyLong_Check(o)) {
            write_int(out_, o);
        } else if (PyFloat_Check(o)) {
            write_float(out_, PyFloat_AS_DOUBLE(o));
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            RecursionGuard guard;
            array(o);
        } else if (PyDict_Check(o)) {
            RecursionGuard guard;
            object(o);
        } else {
            Marker mark(markers_, o);
            nb::object substitute = fallback_ ? fallback_(nb::handle(o)) : default_(o);
            RecursionGuard guard;
            value(substitute.ptr());
        }
    }

private:
    static nb::object default_(PyObject *o) {
        nb::object name = nb::handle((PyObject *) Py_TYPE(o)).attr("__name__");
        bind::raise(nb::handle(PyExc_TypeError),
                    "Object of type " + bind::text_of(name) + " is not JSON serializable");
    }

    void array(PyObject *seq) {
        // A list may change length while a fallback runs; read it afresh at every step.
        const bool is_list = PyList_Check(seq);
        auto size = [&] { return is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq); };
        if (size() == 0) {
            out_ += "[]";
            return;
        }
        Marker mark(markers_, seq);
        out_.push_back('[');
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (i) out_ += ", ";
            nb::object item =
                nb::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            value(item.ptr());
        }
        out_.push_back(']');
    }

    void key(PyObject *k) {
        if (PyUnicode_Check(k)) {
            write_string(out_, k);
            return;
        }
        std::string text;
        if (PyFloat_Check(k)) write_float(text, PyFloat_AS_DOUBLE(k));
        else if (k == Py_True) text = "true";
        else if (k == Py_False) text = "false";
        else if (k == Py_None) text = "null";
        else if (PyLong_Check(k)) write_int(text, k);
        else
            bind::raise(nb::handle(PyExc_TypeError),
                        std::string("keys must be str, int, float, bool or None, not ") +
                            std::string(Py_TYPE(k)->tp_name).substr(0, 100));
        out_.push_back('"');
        out_ += text;  // digits, letters, signs and dots need no escaping
        out_.push_back('"');
    }

    void member(bool first, PyObject *k, PyObject *v) {
        if (!first) out_ += ", ";
        key(k);
        out_ += ": ";
        value(v);
    }

    void object(PyObject *dict) {
        if (PyDict_GET_SIZE(dict) == 0) {
            out_ += "{}";
            return;
        }
        Marker mark(markers_, dict);
        out_.push_back('{');
        if (PyDict_CheckExact(dict)) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            bool first = true;
            while (PyDict_Next(dict, &pos, &k, &v)) {
                // Held while a fallback may run and change the dict.
                nb::object key_ref = nb::borrow(k), value_ref = nb::borrow(v);
                member(first, k, v);
                first = false;
            }
        } else {
            // A dict subclass is read through its own items(), as json does.
            nb::object items = nb::steal(PyMapping_Items(dict));
            if (!items.is_valid()) bind::raise_pending();
            const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
                if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
                    bind::raise(nb::handle(PyExc_ValueError), "items must return 2-tuples");
                member(i == 0, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
            }
        }
        out_.push_back('}');
    }

    std::string &out_;
    const Fallback &fallback_;
    std::unordered_set<PyObject *> markers_;
};

}  // namespace

void write(std::string &out, nb::handle value, const Fallback &fallback) {
    Writer(out, fallback).value(value.ptr());
}

Marker::Marker(std::unordered_set<PyObject *> &markers, PyObject *o) : markers_(markers), o_(o) {
    if (!markers_.insert(o).second)
        bind::raise(nb::handle(PyExc_ValueError), "Circular reference detected");
}

}  // namespace quillon::json
