#include "json.hpp"

#include "binder.hpp"
#include "python_ops.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
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
        const auto written = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, written.ptr);
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

// The texts of the floats met last, by their bits: a model repeats the same few values
// (diameters, coordinates, defaults) over and over, and repr() of a float is costly.
class FloatTexts {
public:
    void append(std::string &out, double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        Slot &slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits)];
        if (slot.size && slot.bits == bits) {
            out.append(slot.text, slot.size);
            return;
        }
        const size_t start = out.size();
        append_float(out, v);
        const size_t size = out.size() - start;
        if (size < sizeof slot.text) {
            slot.bits = bits;
            slot.size = (unsigned char) size;
            std::memcpy(slot.text, out.data() + start, size);
        }
    }

private:
    static constexpr int slot_bits = 10;
    struct Slot {
        uint64_t bits = 0;
        unsigned char size = 0;  // 0: empty
        char text[31];           // repr() of a double takes at most 24
    };
    std::array<Slot, 1 << slot_bits> slots_{};
};

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
            Nesting guard;
            array(o);
        } else if (PyDict_Check(o)) {
            Nesting guard;
            object(o);
        } else {
            Marker mark(markers_, o);
            nb::object substitute = fallback_ ? fallback_(nb::handle(o)) : default_(o);
            Nesting guard;
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

// With `merge_keys`, the text is that of the value json.loads makes of the text: members of
// one object whose keys come out the same (1 and "1", or a character beyond the basic plane
// and its surrogate pair) become one, in the first one's place with the last one's value.
// Only keys that are not plain str, or not all Latin-1, can meet so; objects with none are
// left as they are written.
struct TextSink {
    explicit TextSink(std::string &text, bool merge = false) : out(text), merge_keys(merge) {}

    std::string &out;
    const bool merge_keys;

    void constant(PyObject *o) { out += o == Py_None ? "null" : o == Py_True ? "true" : "false"; }
    void string(PyObject *o) { write_string(out, o); }
    void integer(PyObject *o) { append_int(out, o); }
    void real(PyObject *o) {
        if (!floats_) floats_ = std::make_unique<FloatTexts>();
        floats_->append(out, PyFloat_AS_DOUBLE(o));
    }
    void empty_array() { out += "[]"; }
    void begin_array() { out.push_back('['); }
    void item(bool first) {
        if (!first) out += ", ";
    }
    void end_array() { out.push_back(']'); }
    void empty_object() { out += "{}"; }
    void begin_object() {
        out.push_back('{');
        if (merge_keys) open_object();
    }
    void string_key(bool first, PyObject *k) {
        if (!first) out += ", ";
        if (merge_keys)
            add_member(!PyUnicode_CheckExact(k) || PyUnicode_KIND(k) != PyUnicode_1BYTE_KIND);
        write_string(out, k);
        out += ": ";
    }
    void text_key(bool first, const std::string &text) {
        if (!first) out += ", ";
        if (merge_keys) add_member(true);
        out.push_back('"');
        out += text;  // digits, letters, signs and dots need no escaping
        out += "\": ";
    }
    void end_object() {
        if (merge_keys) close_object();
        out.push_back('}');
    }

private:
    std::unique_ptr<FloatTexts> floats_;  // made at the first float

    // Where each member of an open object starts in `out`, and whether a key has been met that
    // may come out like another. The frames are kept for reuse, `depth` of them in use.
    struct Frame {
        std::vector<size_t> members;
        bool may_repeat = false;
    };
    std::vector<Frame> frames_;
    size_t depth_ = 0;

    void open_object() {
        if (depth_ == frames_.size()) frames_.emplace_back();
        Frame &f = frames_[depth_++];
        f.members.clear();
        f.may_repeat = false;
    }
    void add_member(bool may_repeat) {
        Frame &f = frames_[depth_ - 1];
        f.members.push_back(out.size());
        f.may_repeat |= may_repeat;
    }
    void close_object() {
        Frame &f = frames_[--depth_];
        if (f.may_repeat) merge(f.members);
    }

    // Rewrites the members starting at `starts` (each `"key": value`, ", " between them, the
    // last one running to the end of `out`) with each key once.
    void merge(const std::vector<size_t> &starts) {
        struct Member {
            std::string_view key, value;
        };
        std::vector<Member> merged;
        std::unordered_map<std::string_view, size_t> place;  // key -> index in merged
        const std::string_view all(out);
        for (size_t i = 0; i < starts.size(); ++i) {
            const size_t end = i + 1 < starts.size() ? starts[i + 1] - 2 : out.size();
            const std::string_view member = all.substr(starts[i], end - starts[i]);
            const size_t colon = key_end(member);
            const Member m{member.substr(0, colon), member.substr(colon + 2)};
            auto [at, added] = place.try_emplace(m.key, merged.size());
            if (added) merged.push_back(m);
            else merged[at->second].value = m.value;
        }
        if (merged.size() == starts.size()) return;
        std::string text;
        for (const Member &m : merged) {
            if (!text.empty()) text += ", ";
            text.append(m.key).append(": ").append(m.value);
        }
        out.replace(starts.front(), out.size() - starts.front(), text);
    }

    // The length of the quoted key at the start of `member`.
    static size_t key_end(std::string_view member) {
        size_t i = 1;
        while (member[i] != '"') i += member[i] == '\\' ? 2 : 1;
        return i + 1;
    }
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

Nesting::Nesting() {
    if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
}
Nesting::~Nesting() { Py_LeaveRecursiveCall(); }

struct TextWriter::Walker {
    Walker(std::string &text, Fallback f)
        : fallback(std::move(f)), sink(text, true), walk(sink, fallback) {}
    Fallback fallback;
    TextSink sink;
    Walk<TextSink> walk;
};

TextWriter::TextWriter(Fallback fallback)
    : walker_(std::make_unique<Walker>(text_, std::move(fallback))) {}
TextWriter::~TextWriter() = default;

void TextWriter::value(nb::handle value) { walker_->walk.value(value.ptr()); }

void write(std::string &out, nb::handle value, const Fallback &fallback) {
    TextSink sink(out);
    Walk<TextSink>(sink, fallback).value(value.ptr());
}

nb::object plain_copy(nb::handle value, const Fallback &fallback) {
    PlainSink sink;
    Walk<PlainSink>(sink, fallback).value(value.ptr());
    return sink.result();
}

}  // namespace quillon::json
