// RcsOutputFileParser: walks the result XML section by section, reading the stream in chunks
// and keeping only the section elements (each in a tree of its own, emptied when the walk
// moves on), so memory stays bounded by one section whatever the size of the file.
#include "binder.hpp"
#include "native_generator.hpp"
#include "python_ops.hpp"
#include "read_ahead.hpp"
#include "parser_names.hpp"
#include "parsers.hpp"
#include "section_holder.hpp"
#include "xml_etree.hpp"
#include "xml_tokenizer.hpp"
#include "xml_tree.hpp"

#include <memory>
#include <optional>

namespace quillon::varenna {

using namespace quillon::bind;

namespace {

constexpr const char *kSectionTag = "SectionConcreteCheckResult";
// Large enough that the per-call costs vanish and that a walk in one of several threads
// rarely waits for the interpreter's lock: it takes the lock back twice for every piece (once
// when the stream's read returns, once when the scan ends), and each time may wait for another
// walk's checks. Small enough to keep few sections queued: a walk holds about twice this.
constexpr Py_ssize_t kChunkSize = 2 * 1024 * 1024;


// The generator returned by section_results(). It behaves as a generator function would:
// nothing happens before the first request, resuming it empties the section handed out last,
// an error ends it, and close() (or dropping it) ends it without emptying anything.
struct SectionWalk : Generator<SectionWalk> {
    static constexpr bool kDelegates = false;
    nb::object parser;
    std::unique_ptr<xml::TreeBuilder> builder;
    std::unique_ptr<xml::Tokenizer> tokenizer;
    std::unique_ptr<checks::SectionsReadAhead> read_ahead;
    nb::object source;
    bool close_source = false;  // the walk opened `source` itself
    bool at_end = false;
    std::optional<nb::python_error> pending;  // a parse error, raised after the sections before it
    nb::object current;                       // the holder of the section handed out last

    explicit SectionWalk(nb::object p) : parser(std::move(p)) {}
    SectionWalk(SectionWalk &&) = default;
    ~SectionWalk() {
        if (close_source && source.is_valid() && Py_IsInitialized()) {
            PyObject *r = PyObject_CallMethod(source.ptr(), "close", nullptr);
            if (!r) PyErr_WriteUnraisable(source.ptr());
            Py_XDECREF(r);
        }
    }

    void finish() {
        state = State::Done;
        tokenizer.reset();
        builder.reset();
        current = nb::object();
        pending.reset();
        if (close_source) {
            close_source = false;
            nb::object s = std::move(source);
            s.attr("close")();
        }
        source = nb::object();
    }

    void begin() {
        parser.attr("_file").attr("seek")(0);
        nb::object file = parser.attr("_file");
        if (nb::hasattr(file, "read")) {
            source = file;
        } else {
            source = nb::module_::import_("builtins").attr("open")(file, "rb");
            close_source = true;
        }
        builder = std::make_unique<xml::TreeBuilder>(kSectionTag);
        read_ahead = std::make_unique<checks::SectionsReadAhead>();
        builder->watcher = read_ahead.get();
        tokenizer = std::make_unique<xml::Tokenizer>(*builder);
        state = State::Suspended;
    }

    nb::object hand_out(xml::ElementRef ref) {
        nb::object id = section_identifier(*ref.tree, ref.node);
        nb::object cls;
        const bool native = makes_native_sections(parser, cls);
        nb::object holder = wrap_native_section(ref.tree, ref.node);
        nb::object section = native ? cls(id, holder) : cls(id, native_section_etree(holder));
        current = holder;
        return section;
    }

    nb::object resume() {
        if (state == State::Fresh) {
            begin();
        } else if (current.is_valid()) {
            nb::object holder = std::move(current);
            clear_native_section(holder);
        }
        while (true) {
            if (builder->has_finished()) return hand_out(builder->pop_finished());
            if (pending) {
                nb::python_error e = std::move(*pending);
                pending.reset();
                throw e;
            }
            if (at_end) {
                parser.attr("_reset_file")();
                finish();
                stop();
            }
            nb::object data = source.attr("read")(kChunkSize);
            const int truthy = PyObject_IsTrue(data.ptr());
            if (truthy < 0) raise_pending();
            if (!truthy) {
                tokenizer->close();
                if (tokenizer->wants_restart()) source.attr("seek")(0);
                else at_end = true;
                continue;
            }
            try {
                tokenizer->feed(data);
            } catch (nb::python_error &e) {
                // Like the standard incremental parser: a syntax error is reported after
                // the elements that came before it.
                if (!e.matches(PyExc_SyntaxError)) throw;
                pending.emplace(std::move(e));
            }
            // The fast scanner gave up: expat reads the document again from its start.
            if (tokenizer->wants_restart()) source.attr("seek")(0);
        }
    }
};

// A walk can sit in a reference cycle (a stream that keeps its own walk, say): let the
// collector see what it holds.
int walk_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    SectionWalk *w = nb::inst_ptr<SectionWalk>(self);
    Py_VISIT(w->parser.ptr());
    Py_VISIT(w->source.ptr());
    Py_VISIT(w->current.ptr());
    if (w->pending) Py_VISIT(w->pending->value().ptr());
    return 0;
}

int walk_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    SectionWalk *w = nb::inst_ptr<SectionWalk>(self);
    w->close_source = false;
    w->state = SectionWalk::State::Done;
    // Moved out first, released after: a finaliser run by a release finds the walk ended.
    nb::object parser = std::move(w->parser), source = std::move(w->source),
               current = std::move(w->current);
    std::optional<nb::python_error> pending = std::move(w->pending);
    w->pending.reset();
    return 0;
}

PyType_Slot walk_slots[] = {
    {Py_tp_traverse, (void *) walk_traverse},
    {Py_tp_clear, (void *) walk_clear},
    {0, nullptr},
};

nb::object section_result_method(Self self, Arg<"id_"> wanted) {
    nb::object walk = self.attr("section_results")();
    for (nb::handle section : walk) {
        nb::object id = section.attr("id_");
        // `id_ == wanted` as the interpreter evaluates it: no shortcut for identical objects.
        nb::object outcome = nb::steal(PyObject_RichCompare(id.ptr(), wanted.ptr(), Py_EQ));
        if (!outcome.is_valid()) raise_pending();
        const int equal = PyObject_IsTrue(outcome.ptr());
        if (equal < 0) raise_pending();
        if (equal) {
            nb::object found = nb::borrow(section);
            self.attr("_reset_file")();
            return found;
        }
    }
    raise_missing_section("", wanted);
}

}  // namespace

void raise_missing_section(const char *before, nb::handle id) {
    nb::object text = ops::text_object_of(id);
    nb::object head = nb::str((std::string("section with id '") + before).c_str());
    nb::object tail = nb::str("' is not available in the result file.");
    nb::object message = nb::steal(PyUnicode_Concat(head.ptr(), text.ptr()));
    if (message.is_valid()) message = nb::steal(PyUnicode_Concat(message.ptr(), tail.ptr()));
    if (!message.is_valid()) raise_pending();
    raise(parser_names().ParsingError, message);
}

void init_parsers(nb::module_ &m) {
    // What the parsers keep of the interpreter, made now rather than on first use; the checks'
    // paths too, so that a path the path subset refuses fails the import.
    make_parser_names();
    checks::paths();
    parser_names().ParsingError = ops::import_name("quillon.errors", "ParsingError");
    xml::load_tokenizer();
    xml::load_etree();

    generator_class<SectionWalk>(m, "_SectionWalk", "The generator of RcsOutputFileParser.section_results().",
                                 walk_slots);

    nb::object section_result = make_section_result_class(m, "RcsOutputFileParser");

    ClassBuilder cls(m, "RcsOutputFileParser", {},
                     "Streaming parser of the section-check result file.\n\n"
                     "Reads the result XML incrementally and hands out one section at a time; "
                     "the content of a section is released when the next one is requested, so "
                     "read the results inside the loop. Prefer it over OutputFileParser for very "
                     "large result files.\n\n"
                     "    with result_file.open_binary() as stream:\n"
                     "        parser = RcsOutputFileParser(stream)\n"
                     "        for section in parser.section_results():\n"
                     "            print(section.id_, section.capacity())\n");
    cls.attr("SectionResult", section_result);
    cls.method("__init__", {arg("self"), arg("xml_file").ann("BinaryIO")}, [](Self self, Arg<"xml_file"> xml_file) {
        nb::object pos = xml_file.attr("tell")();
        self.attr("_pos") = pos;
        self.attr("_file") = xml_file;
    });
    cls.method("section_results", {arg("self")},
               [](Self self) -> nb::object { return nb::cast(SectionWalk(nb::borrow(self)), nb::rv_policy::move); },
               "Yields the sections of the result file in document order.",
               ann("Iterator['RcsOutputFileParser.SectionResult']"));
    cls.method("section_result", {arg("self"), arg("id_").ann("int")}, section_result_method,
               "The section with the given identifier.",
               ann("'RcsOutputFileParser.SectionResult'"));
    cls.method("_reset_file", {arg("self")},
               [](Self self) { self.attr("_file").attr("seek")(self.attr("_pos")); },
               "Puts the stream back where it was when the parser was created.", nb::none());
    nb::object parser = cls.finish();
    parser_names().section_class = Original(parser, "SectionResult");

    init_output_parser(m, parser);
}

}  // namespace quillon::varenna
