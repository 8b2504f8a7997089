#include "json.hpp"

#include "binder.hpp"
#include "python_ops.hpp"

#include <cmath>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quillon::json {

namespace {

// ---------------------------------------------------------------------------------------------
// The pieces of text both back ends share

// int.__repr__ of the value, whatever subclass it belongs to (and its digit limit).
void append_int(std::string &out, PyObject *o) {
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
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) bind::raise_pending();
    out.append(data, (size_t) size);
}

// float.__repr__ of the value; non-finite values as JavaScript's names for them.
void append_float(std::string &out, double v) {
    if (!std::isfinite(v)) {
        out += std::isnan(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity");
        return;
    }
    char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) bind::raise_pending();
    out += text;
    PyMem_Free(text);
}

// The text a key that is not a string becomes, or json's TypeError.
std::string key_text(PyObject *k) {
    std::string text;
    if (PyFloat_Check(k)) append_float(text, PyFloat_AS_DOUBLE(k));
    else if (k == Py_True) text = "true";
    else if (k == Py_False) text = "false";
    else if (k == Py_None) text = "null";
    else if (PyLong_Check(k)) append_int(text, k);
    else
        bind::raise(nb::handle(PyExc_TypeError),
                    std::string("keys must be str, int, float, bool or None, not ") +
                        std::string(Py_TYPE(k)->tp_name).substr(0, 100));
    return text;
}

// ---------------------------------------------------------------------------------------------
// The walk

// Py_EnterRecursiveCall/Py_LeaveRecursiveCall as a scope: nesting beyond the interpreter's
// recursion limit becomes its RecursionError instead of exhausting the C stack.
struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// Marks a container as being walked, for json's circular-reference check; unmarks on exit.
class Marker {
public:
    Marker(std::unordered_set<PyObject *> &markers, PyObject *o) : markers_(markers), o_(o) {
        if (!markers_.insert(o).second)
            bind::raise(nb::handle(PyExc_ValueError), "Circular reference detected");
    }
    ~Marker() { markers_.erase(o_); }
    Marker(const Marker &) = delete;
    Marker &operator=(const Marker &) = delete;

private:
    std::unordered_set<PyObject *> &markers_;
    PyObject *o_;
};

// Visits `value` as json's encoder does and tells the back end what it meets, in text order:
// scalars, arrays (begin, each item, end) and objects (begin, each key then its value, end).
template <typename Sink>
class Walk {
public:
    Walk(Sink &sink, const Fallback &fallback) : sink_(sink), fallback_(fallback) {}

    void value(PyObject *o) {
        if (o == Py_None || o == Py_True || o == Py_False) {
            sink_.constant(o);
        } else if (PyUnicode_Check(o)) {
            sink_.string(o);
        } else if (PyLong_Check(o)) {
            sink_.integer(o);
        } else if (PyFloat_Check(o)) {
            sink_.real(o);
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
                    "Object of type " + ops::text_of(name) + " is not JSON serializable");
    }

    void array(PyObject *seq) {
        // json reads a list or tuple itself, and a subclass through its own iteration, once,
        // before anything else (PySequence_Fast).
        nb::object items = nb::borrow(seq);
        if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) {
            items = nb::steal(PySequence_List(seq));
            if (!items.is_valid()) bind::raise_pending();
        }
        PyObject *s = items.ptr();
        // A list may change length while a fallback runs; read it afresh at every step.
        const bool is_list = PyList_Check(s);
        auto size = [&] { return is_list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s); };
        if (size() == 0) {
            sink_.empty_array();
            return;
        }
        Marker mark(markers_, seq);
        sink_.begin_array();
        for (Py_ssize_t i = 0; i < size(); ++i) {
            sink_.item(i == 0);
            nb::object item = nb::borrow(is_list ? PyList_GET_ITEM(s, i) : PyTuple_GET_ITEM(s, i));
            value(item.ptr());
        }
        sink_.end_array();
    }

    void member(bool first, PyObject *k, PyObject *v) {
        if (PyUnicode_Check(k)) sink_.string_key(first, k);
        else sink_.text_key(first, key_text(k));
        value(v);
    }

    void object(PyObject *dict) {
        if (PyDict_GET_SIZE(dict) == 0) {
            sink_.empty_object();
            return;
        }
        Marker mark(markers_, dict);
        sink_.begin_object();
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
        sink_.end_object();
    }

    Sink &sink_;
    const Fallback &fallback_;
    std::unordered_set<PyObject *> markers_;
};

// ---------------------------------------------------------------------------------------------
// Back end: the text

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
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.push_back('"');
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: write_chars(out, PyUnicode_1BYTE_DATA(s), n); break;
        case PyUnicode_2BYTE_KIND: write_chars(out, PyUnicode_2BYTE_DATA(s), n); break;
        default: write_chars(out, PyUnicode_4BYTE_DATA(s), n); break;
    }
    out.push_back('"');
}

struct TextSink {
    std::string &out;

    void constant(PyObject *o) { out += o == Py_None ? "null" : o == Py_True ? "true" : "false"; }
    void string(PyObject *o) { write_string(out, o); }
    void integer(PyObject *o) { append_int(out, o); }
    void real(PyObject *o) { append_float(out, PyFloat_AS_DOUBLE(o)); }
    void empty_array() { out += "[]"; }
    void begin_array() { out.push_back('['); }
    void item(bool first) {
        if (!first) out += ", ";
    }
    void end_array() { out.push_back(']'); }
    void empty_object() { out += "{}"; }
    void begin_object() { out.push_back('{'); }
    void string_key(bool first, PyObject *k) {
        if (!first) out += ", ";
        write_string(out, k);
        out += ": ";
    }
    void text_key(bool first, const std::string &text) {
        if (!first) out += ", ";
        out.push_back('"');
        out += text;  // digits, letters, signs and dots need no escaping
        out += "\": ";
    }
    void end_object() { out.push_back('}'); }
};

// ---------------------------------------------------------------------------------------------
// Back end: the plain values

bool high_surrogate(Py_UCS4 c) { return c >= 0xd800 && c <= 0xdbff; }
bool low_surrogate(Py_UCS4 c) { return c >= 0xdc00 && c <= 0xdfff; }

// A plain str equal to what the JSON text of `s` parses back to: written with \u escapes, a
// high surrogate directly followed by a low one comes back as the single character they encode.
nb::object plain_string(PyObject *s) {
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
        if (!copy.is_valid()) bind::raise_pending();
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
    if (!result.is_valid()) bind::raise_pending();
    return result;
}

// int(repr(value)) with int's own repr: subclasses become int, and numbers beyond the
// interpreter's digit limit fail as json.dumps fails on them.
nb::object plain_int(PyObject *o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
        if (v == -1 && PyErr_Occurred()) bind::raise_pending();
        if (PyLong_CheckExact(o)) return nb::borrow(o);
        return nb::steal(PyLong_FromLongLong(v));
    }
    nb::object text = nb::steal(PyLong_Type.tp_repr(o));
    if (!text.is_valid()) bind::raise_pending();
    if (PyLong_CheckExact(o)) return nb::borrow(o);
    nb::object copy = nb::steal(PyLong_FromUnicodeObject(text.ptr(), 10));
    if (!copy.is_valid()) bind::raise_pending();
    return copy;
}

nb::object plain_float(PyObject *o) {
    if (PyFloat_CheckExact(o)) return nb::borrow(o);
    return nb::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(o)));
}

// Builds the values bottom-up: each finished value goes into the innermost open container
// (under the key read last, for an object), or becomes the result.
class PlainSink {
public:
    nb::object result() { return std::move(result_); }

    void constant(PyObject *o) { put(nb::borrow(o)); }
    void string(PyObject *o) { put(plain_string(o)); }
    void integer(PyObject *o) { put(plain_int(o)); }
    void real(PyObject *o) { put(plain_float(o)); }
    void empty_array() { put(nb::list()); }
    void begin_array() { open_.push_back({nb::list(), {}}); }
    void item(bool) {}
    void end_array() { close(); }
    void empty_object() { put(nb::dict()); }
    void begin_object() { open_.push_back({nb::dict(), {}}); }
    void string_key(bool, PyObject *k) { open_.back().key = plain_string(k); }
    void text_key(bool, const std::string &text) {
        open_.back().key = nb::str(text.data(), text.size());
    }
    void end_object() { close(); }

private:
    struct Open {
        nb::object container;
        nb::object key;  // set between an object's key and its value
    };

    void put(nb::object value) {
        if (open_.empty()) {
            result_ = std::move(value);
            return;
        }
        Open &top = open_.back();
        if (top.key.is_valid()) {
            if (PyDict_SetItem(top.container.ptr(), top.key.ptr(), value.ptr()) < 0)
                bind::raise_pending();
            top.key.reset();
        } else if (PyList_Append(top.container.ptr(), value.ptr()) < 0) {
            bind::raise_pending();
        }
    }

    void close() {
        nb::object done = std::move(open_.back().container);
        open_.pop_back();
        put(std::move(done));
    }

    std::vector<Open> open_;
    nb::object result_;
};

}  // namespace

void write(std::string &out, nb::handle value, const Fallback &fallback) {
    TextSink sink{out};
    Walk<TextSink>(sink, fallback).value(value.ptr());
}

nb::object plain_copy(nb::handle value, const Fallback &fallback) {
    PlainSink sink;
    Walk<PlainSink>(sink, fallback).value(value.ptr());
    return sink.result();
}

}  // namespace quillon::json
