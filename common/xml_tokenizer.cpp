#include "xml_tokenizer.hpp"

#include "utf16_check.hpp"
#include "xml_scanner.hpp"

#include <expat.h>
// pyexpat.h needs expat.h first.
#include <pyexpat.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace quillon::xml {

namespace {

// What the tokenizer keeps of the interpreter, made at import (load_tokenizer): the expat C API
// capsule, which lives as long as the pyexpat module (the interpreter keeps it for the rest of
// the process), and the ParseError class. Never released.
struct XmlNames {
    const PyExpat_CAPI *expat = nullptr;
    PyObject *parse_error = nullptr;
};
XmlNames xml_names;

// Sets ParseError as the standard parser does: "<message>: line L, column C", with `code`
// and `position` attributes. Leaves the error pending.
void set_parse_error(int code, XML_Size line, XML_Size column, const char *message) {
    const PyExpat_CAPI *api = xml_names.expat;
    PyObject *text = PyUnicode_FromFormat("%s: line %zd, column %zd",
                                          message ? message : api->ErrorString((XML_Error) code),
                                          (Py_ssize_t) line, (Py_ssize_t) column);
    if (!text) return;
    PyObject *type = parse_error_type().ptr();
    PyObject *error = PyObject_CallOneArg(type, text);
    Py_DECREF(text);
    if (!error) return;
    PyObject *code_obj = PyLong_FromLong(code);
    PyObject *position = Py_BuildValue("(nn)", (Py_ssize_t) line, (Py_ssize_t) column);
    if (!code_obj || !position || PyObject_SetAttrString(error, "code", code_obj) < 0 ||
        PyObject_SetAttrString(error, "position", position) < 0) {
        Py_XDECREF(code_obj);
        Py_XDECREF(position);
        Py_DECREF(error);
        return;
    }
    Py_DECREF(code_obj);
    Py_DECREF(position);
    PyErr_SetObject(type, error);
    Py_DECREF(error);
}

// -1: not decided yet (the environment is read on first use).
std::atomic<int> g_scanner_enabled{-1};

}  // namespace

bool scanner_enabled() {
    int enabled = g_scanner_enabled.load(std::memory_order_relaxed);
    if (enabled < 0) {
        const char *setting = std::getenv("QUILLON_XML_SCANNER");
        enabled = !(setting && std::strcmp(setting, "0") == 0);
        g_scanner_enabled.store(enabled, std::memory_order_relaxed);
    }
    return enabled != 0;
}

void set_scanner_enabled(bool enabled) { g_scanner_enabled.store(enabled ? 1 : 0, std::memory_order_relaxed); }

void load_tokenizer() {
    if (xml_names.parse_error) return;
    auto *capi = (const PyExpat_CAPI *) PyCapsule_Import(PyExpat_CAPSULE_NAME, 0);
    if (!capi) throw nb::python_error();
    if (std::strcmp(capi->magic, PyExpat_CAPI_MAGIC) != 0 ||
        (size_t) capi->size < sizeof(PyExpat_CAPI) || capi->MAJOR_VERSION != XML_MAJOR_VERSION) {
        PyErr_SetString(PyExc_ImportError, "pyexpat version is incompatible");
        throw nb::python_error();
    }
    nb::object type = nb::module_::import_("xml.etree.ElementTree").attr("ParseError");
    xml_names.expat = capi;
    xml_names.parse_error = type.release().ptr();
}

nb::handle parse_error_type() { return xml_names.parse_error; }

struct Tokenizer::State {
    const PyExpat_CAPI *api;
    XML_Parser parser = nullptr;
    TokenSink *sink;
    Utf16Check utf16;
    // Like the standard parser, a handler that failed stops the document there: every later
    // callback of the same parse call does nothing, and its exception is carried out of
    // expat's C frames (which it must not cross) and thrown again once the parse call returns.
    bool failed = false;
    std::exception_ptr pending;

    // Fresh until the first piece decides: the scanner for bytes (unless turned off), expat
    // for text and for whatever the scanner gave up on.
    enum class Mode { Fresh, Scan, Expat } mode = Mode::Fresh;
    std::unique_ptr<Scanner> scanner;
    bool restart = false;   // waiting for the document again from its first byte
    size_t suppress = 0;    // start and end events expat must not report a second time

    // The scanner's verdict is not expat's to second-guess, but its error is: expat parses the
    // document again, silent up to where the scanner stopped. The scanner reports a text only
    // with the tag after it, so "up to the n-th tag event" is exactly what it reported.
    void give_up() {
        suppress = scanner->events();
        scanner.reset();
        mode = Mode::Expat;
        restart = true;
    }

    bool scan(const char *data, size_t length, bool final) {
        if (!sink->runs_without_gil()) return final ? scanner->close() : scanner->feed(data, length);
        nb::gil_scoped_release unlocked;
        return final ? scanner->close() : scanner->feed(data, length);
    }

    void fail_with_current_exception() {
        failed = true;
        pending = std::current_exception();
    }

    // Whether a start or end tag goes to the sink: those the scanner reported already, before
    // it handed the document over, are not reported again, and nothing is after a failure.
    bool reports_tag() {
        if (suppress) {
            --suppress;
            return false;
        }
        return !failed;
    }

    static void XMLCALL on_start(void *user, const XML_Char *name, const XML_Char **atts) {
        auto *s = (State *) user;
        if (!s->reports_tag()) return;
        try {
            s->sink->start(name, atts);
        } catch (...) {
            s->fail_with_current_exception();
        }
    }
    static void XMLCALL on_end(void *user, const XML_Char *) {
        auto *s = (State *) user;
        if (!s->reports_tag()) return;
        try {
            s->sink->end();
        } catch (...) {
            s->fail_with_current_exception();
        }
    }
    static void XMLCALL on_text(void *user, const XML_Char *data, int length) {
        auto *s = (State *) user;
        if (s->suppress || s->failed) return;
        try {
            s->sink->text(data, length);
        } catch (...) {
            s->fail_with_current_exception();
        }
    }
    // Whatever expat does not report elsewhere. The standard parser only cares about
    // references to entities it does not know (undeclared in a document with an external
    // subset, or external ones, which are never fetched): they are an "undefined entity" error.
    static void XMLCALL on_default(void *user, const XML_Char *data, int length) {
        auto *s = (State *) user;
        if (length < 2 || data[0] != '&') return;
        if (s->failed || PyErr_Occurred()) return;
        char message[128] = "undefined entity ";
        std::strncat(message, data, length < 100 ? length : 100);
        set_parse_error(XML_ERROR_UNDEFINED_ENTITY, s->api->GetErrorLineNumber(s->parser),
                        s->api->GetErrorColumnNumber(s->parser), message);
        s->failed = true;
        s->pending = std::make_exception_ptr(nb::python_error());
    }
    static void XMLCALL on_ignored(void *, const XML_Char *) {}
    static void XMLCALL on_ignored_pi(void *, const XML_Char *, const XML_Char *) {}
    static void XMLCALL on_doctype(void *, const XML_Char *, const XML_Char *, const XML_Char *,
                                   int) {}

    void parse(const char *data, int length, bool final) {
        const int ok = api->Parse(parser, data, length, final);
        if (pending) std::rethrow_exception(std::exchange(pending, nullptr));
        if (PyErr_Occurred()) throw nb::python_error();
        if (!ok) {
            set_parse_error(api->GetErrorCode(parser), api->GetErrorLineNumber(parser),
                            api->GetErrorColumnNumber(parser), nullptr);
            throw nb::python_error();
        }
    }
};

Tokenizer::Tokenizer(TokenSink &sink) : state_(new State) {
    State &s = *state_;
    s.api = xml_names.expat;
    s.sink = &sink;
    s.parser = s.api->ParserCreate_MM(nullptr, nullptr, "}");
    if (!s.parser) throw std::bad_alloc();
    // Salt from the system's entropy; without it expat salts the parser itself.
    if (unsigned long salt; s.api->SetHashSalt &&
                            getrandom(&salt, sizeof salt, GRND_NONBLOCK) == (ssize_t) sizeof salt)
        s.api->SetHashSalt(s.parser, salt);
    s.api->SetUserData(s.parser, &s);
    s.api->SetElementHandler(s.parser, &State::on_start, &State::on_end);
    s.api->SetDefaultHandlerExpand(s.parser, &State::on_default);
    s.api->SetCharacterDataHandler(s.parser, &State::on_text);
    s.api->SetCommentHandler(s.parser, &State::on_ignored);
    s.api->SetProcessingInstructionHandler(s.parser, &State::on_ignored_pi);
    s.api->SetStartDoctypeDeclHandler(s.parser, &State::on_doctype);
    s.api->SetUnknownEncodingHandler(s.parser, s.api->DefaultUnknownEncodingHandler, nullptr);
}

Tokenizer::~Tokenizer() {
    if (state_ && state_->parser) state_->api->ParserFree(state_->parser);
}

namespace {
// expat copies whatever it is given into a buffer of its own; handing it a large document in
// slices keeps that copy small. The result does not depend on where the slices end.
constexpr size_t kSlice = 256 * 1024;
}  // namespace

void Tokenizer::feed(nb::handle data) {
    State &s = *state_;
    if (PyUnicode_Check(data.ptr())) {
        if (s.mode == State::Mode::Scan) {
            // Text after bytes: only expat takes both.
            s.give_up();
            return;
        }
        s.restart = false;
        s.mode = State::Mode::Expat;
        Py_ssize_t length;
        const char *utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &length);
        if (!utf8) throw nb::python_error();
        if (length > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "size does not fit in an int");
            throw nb::python_error();
        }
        (void) s.api->SetEncoding(s.parser, "utf-8");
        s.utf16.not_utf16();
        feed_bytes(utf8, (size_t) length);
        return;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw nb::python_error();
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    feed_bytes((const char *) view.buf, (size_t) view.len);
}

void Tokenizer::feed_bytes(const char *data, size_t length) {
    if (length > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "size does not fit in an int");
        throw nb::python_error();
    }
    State &s = *state_;
    s.restart = false;
    if (s.mode == State::Mode::Fresh) {
        s.mode = scanner_enabled() ? State::Mode::Scan : State::Mode::Expat;
        if (s.mode == State::Mode::Scan) s.scanner = std::make_unique<Scanner>(*s.sink);
    }
    if (s.mode == State::Mode::Scan) {
        if (!s.scan(data, length, false)) s.give_up();
        return;
    }
    // Everything expat reads passes the UTF-16 check first: expat itself would take an
    // unpaired high surrogate as half of a pair.
    if (length == 0) s.parse(data, 0, false);
    const Utf16Check::Pieces p = s.utf16.feed(data, length);
    for (size_t at = 0; at < p.first_length; at += kSlice)
        s.parse(p.first + at, (int) std::min(kSlice, p.first_length - at), false);
    if (p.second_length) s.parse(p.second, (int) p.second_length, false);
}

void Tokenizer::close() {
    State &s = *state_;
    if (s.restart) return;
    if (s.mode == State::Mode::Scan) {
        if (!s.scan(nullptr, 0, true)) s.give_up();
        return;
    }
    s.mode = State::Mode::Expat;
    const Utf16Check::Pieces p = s.utf16.finish();
    if (p.first_length) s.parse(p.first, (int) p.first_length, false);
    s.parse("", 0, true);
}

bool Tokenizer::wants_restart() const { return state_->restart; }

}  // namespace quillon::xml
