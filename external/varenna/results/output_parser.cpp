// OutputFileParser: the whole result XML parsed at once into a native tree. Sections are
// indexed by identifier on first use, so lookups do not rescan the document; the ElementTree
// form of the document (`_root`) is built only when asked for.
#include "binder.hpp"
#include "check_table.hpp"
#include "python_ops.hpp"
#include "parser_names.hpp"
#include "parsers.hpp"
#include "section_holder.hpp"
#include "xml_etree.hpp"
#include "xml_tokenizer.hpp"
#include "xml_tree.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace quillon::varenna {

using namespace quillon::bind;
using xml::kNone;
using xml::Tree;
using xml::TreePtr;

namespace {


struct NativeDocument {
    TreePtr tree;
    nb::object etree;
    std::unordered_map<uint32_t, nb::object> section_etrees;

    // The section index, built on first use: the sections before the first malformed one
    // (every section when none is), and the first malformed one.
    bool indexed = false;
    std::vector<std::pair<nb::object, uint32_t>> sections;
    nb::dict first_by_id;
    uint32_t malformed = kNone;

    uint32_t section_tag() const { return tree->find_tag("SectionConcreteCheckResult"); }

    void build_index() {
        if (indexed) return;
        const uint32_t tag = section_tag();
        if (tag != kNone) {
            for (uint32_t c = tree->nodes[0].first_child; c != kNone; c = tree->nodes[c].next_sibling) {
                if (tree->nodes[c].tag != tag) continue;
                nb::object id;
                try {
                    id = section_identifier(*tree, c);
                } catch (nb::python_error &) {
                    malformed = c;
                    break;
                }
                sections.emplace_back(id, c);
                if (!first_by_id.contains(id)) first_by_id[id] = nb::int_(c);
            }
        }
        indexed = true;
    }

    // Raises the error the scan meets at the malformed section.
    [[noreturn]] void raise_malformed() {
        section_identifier(*tree, malformed);
        throw std::logic_error("section identifier error vanished");
    }

    std::vector<nb::object> identifiers() {
        build_index();
        if (malformed != kNone) raise_malformed();
        std::vector<nb::object> ids;
        for (auto &s : sections) ids.push_back(s.first);
        return ids;
    }

    // The first section, in document order, whose identifier equals `wanted`.
    uint32_t find(nb::handle wanted) {
        build_index();
        PyTypeObject *t = Py_TYPE(wanted.ptr());
        if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) {
            // Hashing agrees with equality for these, so the dictionary answers exactly.
            PyObject *v = PyDict_GetItemWithError(first_by_id.ptr(), wanted.ptr());
            if (v) return (uint32_t) PyLong_AsUnsignedLong(v);
            if (PyErr_Occurred()) raise_pending();
        } else {
            for (auto &s : sections) {
                const int eq = PyObject_RichCompareBool(s.first.ptr(), wanted.ptr(), Py_EQ);
                if (eq < 0) raise_pending();
                if (eq) return s.second;
            }
        }
        if (malformed != kNone) raise_malformed();
        raise_missing_section("section_id = ", wanted);
    }

    nb::object root_etree() {
        if (!etree.is_valid())
            etree = xml::to_etree(*tree, 0, [this](uint32_t node) -> nb::object {
                auto it = section_etrees.find(node);
                return it == section_etrees.end() ? nb::object() : it->second;
            });
        return etree;
    }

    nb::object section_etree(uint32_t node) {
        auto it = section_etrees.find(node);
        if (it != section_etrees.end()) return it->second;
        nb::object e;
        if (etree.is_valid()) {
            Py_ssize_t index = 0;
            for (uint32_t c = tree->nodes[0].first_child; c != node; c = tree->nodes[c].next_sibling) ++index;
            e = nb::steal(PySequence_GetItem(etree.ptr(), index));
            if (!e.is_valid()) raise_pending();
        } else {
            // With its tail: it is the document's own element, which the root shares later.
            e = xml::to_etree(*tree, node, {}, true);
        }
        section_etrees.emplace(node, e);
        return e;
    }
};


// The holder of our native document, held strongly: user code runs during a lookup (the
// caller's __eq__, a finaliser run by the collector) and may delete `_root` meanwhile.
struct DocumentRef {
    nb::object holder;
    NativeDocument *doc = nullptr;
    explicit operator bool() const { return doc != nullptr; }
    NativeDocument *operator->() const { return doc; }
};

// Our native document, when the object still reads its own and no part of it has been handed
// out as an ElementTree element: from then on user code may change those elements, and every
// query reads them instead.
DocumentRef native_document(nb::handle self) {
    if (!finds_original(self, parser_names().root)) return {};
    nb::dict d = instance_dict(self);
    PyObject *v = PyDict_GetItemWithError(d.ptr(), parser_names().root.name.ptr());
    if (!v) {
        if (PyErr_Occurred()) raise_pending();
        return {};
    }
    DocumentRef ref{nb::borrow(v)};
    if (!nb::isinstance<NativeDocument>(ref.holder)) return {};
    NativeDocument *doc = &nb::cast<NativeDocument &>(ref.holder);
    if (doc->etree.is_valid() || !doc->section_etrees.empty()) return {};
    ref.doc = doc;
    return ref;
}

// The raw-results form of a node, built without recursion.
nb::object node_to_dict(const Tree &t, uint32_t node) {
    std::vector<nb::object> tags(t.tags.size());
    auto tag = [&](uint32_t n) -> nb::object {
        const uint32_t id = t.nodes[n].tag;
        if (!tags[id].is_valid()) tags[id] = t.tag_object(n);
        return tags[id];
    };
    auto make = [&](uint32_t n, nb::object &children) -> nb::dict {
        nb::dict d;
        if (t.has_children(n)) {
            children = nb::list();
            if (PyDict_SetItem(d.ptr(), tag(n).ptr(), children.ptr()) < 0) raise_pending();
        } else {
            if (PyDict_SetItem(d.ptr(), tag(n).ptr(), t.text_object(t.nodes[n].text).ptr()) < 0)
                raise_pending();
        }
        return d;
    };
    nb::object children;
    nb::dict root = make(node, children);
    std::vector<std::pair<uint32_t, nb::object>> stack;  // (next child, its parent's list)
    if (children.is_valid()) stack.emplace_back(t.nodes[node].first_child, children);
    while (!stack.empty()) {
        auto &top = stack.back();
        const uint32_t c = top.first;
        if (c == kNone) {
            stack.pop_back();
            continue;
        }
        top.first = t.nodes[c].next_sibling;
        nb::object grandchildren;
        nb::dict d = make(c, grandchildren);
        if (PyList_Append(top.second.ptr(), d.ptr()) < 0) raise_pending();
        if (grandchildren.is_valid()) stack.emplace_back(t.nodes[c].first_child, grandchildren);
    }
    return root;
}

nb::object element_to_dict_method(Arg<"cls"> cls, Arg<"e"> e) {
    if (PyType_Check(cls.ptr()) && finds_original(cls, parser_names().element_to_dict)) {
        TreePtr copy = xml::from_etree(e);
        return node_to_dict(*copy, 0);
    }
    // A subclass converts the children with its own version.
    if (Py_EnterRecursiveCall(" while converting an element")) raise_pending();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    nb::object convert = cls.attr("_element_to_dict");
    nb::list children;
    for (nb::handle child : e) children.append(convert(child));
    nb::dict d;
    nb::object tag = e.attr("tag");
    if (PyList_GET_SIZE(children.ptr()) > 0) d[tag] = children;
    else d[tag] = e.attr("text");
    return d;
}

// The per-section lists of the checks that have one: check `k` of the section, through a
// section object made as the class makes it. Whether the section can be made natively is
// decided here, at the entry; the check, called through the section, decides for itself
// whether it stays native.
nb::object per_section(Self self, Arg<"section_id"> section_id, size_t k) {
    const ParserNames &n = parser_names();
    nb::object section_class;
    if (makes_native_sections(n.RcsOutputFileParser, section_class) && finds_original(self, n.section_element))
        if (DocumentRef doc = native_document(self)) {
            const uint32_t node = doc->find(section_id);
            nb::object section = section_class(section_id, wrap_native_section(doc->tree, node));
            return section.attr(n.keys.check[k])();
        }
    nb::object element = self.attr("_section_element")(section_id);
    return section_class(section_id, element).attr(n.keys.check[k])();
}

// For a root that holds ElementTree elements (handed out or replaced by the user): whether a
// child is a section element, and its identifier, int() of its SectionId text.
// The document can sit in a reference cycle (an attribute of an element that holds the
// parser, say): let the collector see what it holds.
int document_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    NativeDocument *d = nb::inst_ptr<NativeDocument>(self);
    Py_VISIT(d->etree.ptr());
    for (auto &entry : d->section_etrees) Py_VISIT(entry.second.ptr());
    for (auto &entry : d->sections) Py_VISIT(entry.first.ptr());
    Py_VISIT(d->first_by_id.ptr());
    return 0;
}

int document_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    NativeDocument *d = nb::inst_ptr<NativeDocument>(self);
    // Moved out first, released after: a finaliser run by a release sees a consistent holder.
    nb::object etree = std::move(d->etree);
    auto section_etrees = std::move(d->section_etrees);
    auto sections = std::move(d->sections);
    nb::object first_by_id = std::move(d->first_by_id);
    d->section_etrees.clear();
    d->sections.clear();
    d->first_by_id = nb::dict();
    d->indexed = false;
    d->malformed = kNone;
    return 0;
}

PyType_Slot document_slots[] = {
    {Py_tp_traverse, (void *) document_traverse},
    {Py_tp_clear, (void *) document_clear},
    {0, nullptr},
};

bool is_section_element(nb::handle child) {
    return nb::str("SectionConcreteCheckResult").equal(child.attr("tag"));
}

nb::object element_section_id(nb::handle section) {
    nb::object text = section.attr("find")("SectionId").attr("text");
    nb::object id = nb::steal(PyNumber_Long(text.ptr()));
    if (!id.is_valid()) raise_pending();
    return id;
}

}  // namespace

void init_output_parser(nb::module_ &m, nb::handle rcs_parser_class) {
    ParserNames &names = parser_names();
    names.RcsOutputFileParser = nb::borrow(rcs_parser_class);

    nb::class_<NativeDocument>(m, "_NativeDocument", "A natively parsed result document.",
                               nb::type_slots(document_slots))
        .def("__reduce_ex__", [](nb::handle self, nb::handle) { return xml::reduce_to(nb::cast<NativeDocument &>(self).root_etree()); })
        .def("__deepcopy__", [](nb::handle self, nb::handle memo) {
            return nb::module_::import_("copy").attr("deepcopy")(nb::cast<NativeDocument &>(self).root_etree(), memo);
        });

    ClassBuilder cls(m, "OutputFileParser", {},
                     "Parser of the section-check result file that reads the whole document at "
                     "once.\n\n"
                     "The whole document stays in memory; for very large result files use "
                     "RcsOutputFileParser instead.");
    cls.method("__init__", {arg("self"), arg("xml_file").ann("StringIO")}, [](Self self, Arg<"xml_file"> xml_file) {
        nb::object value = xml_file.attr("getvalue")();
        xml::TreeBuilder builder;
        Py_ssize_t size = PyObject_Length(value.ptr());
        if (size < 0) PyErr_Clear();
        else builder.expect_document_size((size_t) size);
        try {
            xml::Tokenizer tokenizer(builder);
            tokenizer.feed(value);
            tokenizer.close();
            if (tokenizer.wants_restart()) {  // the fast scanner gave up: expat takes it all
                tokenizer.feed(value);
                tokenizer.close();
            }
        } catch (nb::python_error &e) {
            if (!e.matches(xml::parse_error_type())) throw;
            nb::object cause = nb::borrow(e.value());
            raise_from(parser_names().ParsingError, "Provided 'xml_file' is not a valid XML file.", cause);
        }
        value = nb::object();
        NativeDocument doc;
        doc.tree = builder.pop_finished().tree;
        nb::dict d = instance_dict(self);
        d[parser_names().root.name] = nb::cast(std::move(doc), nb::rv_policy::move);
        return nb::none();
    });

    cls.stored_attribute(
        "_root",
        [](nb::handle v) -> nb::object {
            if (nb::isinstance<NativeDocument>(v))
                return nb::cast<NativeDocument &>(v).root_etree();
            return nb::borrow(v);
        },
        "The root element of the document (an ElementTree element).");

    cls.property("section_ids",
                 [](Self self) -> nb::object {
                     nb::list out;
                     if (DocumentRef doc = native_document(self)) {
                         for (nb::object &id : doc->identifiers()) out.append(id);
                         return out;
                     }
                     nb::object root = self.attr("_root");
                     for (nb::handle child : root)
                         if (is_section_element(child)) out.append(element_section_id(child));
                     return out;
                 },
                 "The identifiers of all sections, in document order.", ann("List[int]"));

    cls.method("raw_results", {arg("self")},
               [](Self self) -> nb::object {
                   nb::object convert;
                   if (finds_original(self, parser_names().element_to_dict, &convert))
                       if (DocumentRef doc = native_document(self)) return node_to_dict(*doc->tree, 0);
                   return convert(self.attr("_root"));
               },
               "The whole document as nested dictionaries and lists.", ann("dict"));

    cls.classmethod("_element_to_dict", {arg("cls"), arg("e").ann("ET.Element")},
                    element_to_dict_method,
                    "The raw-results form of an element: {tag: [children...]} or {tag: text}.",
                    ann("dict"));

    cls.method("_section_element", {arg("self"), arg("section_id").ann("int")},
               [](Self self, Arg<"section_id"> wanted) -> nb::object {
                   if (DocumentRef doc = native_document(self)) {
                       const uint32_t node = doc->find(wanted);
                       return doc->section_etree(node);
                   }
                   nb::object root = self.attr("_root");
                   for (nb::handle child : root)
                       if (is_section_element(child) && element_section_id(child).equal(wanted))
                           return nb::borrow(child);
                   raise_missing_section("section_id = ", wanted);
               },
               "The section element with the given identifier.", ann("ET.Element"));

    for (size_t k = 0; k < checks::kCheckCount; ++k) {
        const checks::CheckRow &check = checks::kChecks[k];
        if (!check.whole.annotation) continue;
        cls.method((std::string(check.method) + "_results").c_str(), {arg("self"), arg("section_id").ann("int")},
                   [k](Self self, Arg<"section_id"> section_id) { return per_section(self, section_id, k); },
                   check.whole.doc, ann(check.whole.annotation));
    }

    nb::object result = cls.finish();
    names.root = Original(result, "_root");
    names.section_element = Original(result, "_section_element");
    names.element_to_dict = Original(result, "_element_to_dict");
}

}  // namespace quillon::varenna
