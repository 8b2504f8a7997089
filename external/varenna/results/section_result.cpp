// RcsOutputFileParser.SectionResult: one section of the result XML and its checks. Sections
// made by our parsers are read natively; a section built with an ElementTree element is copied
// into a native tree on each call, so it is read as it is then.
#include "binder.hpp"
#include "check_reader.hpp"
#include "checks.hpp"
#include "extreme_iteration.hpp"
#include "parser_names.hpp"
#include "parsers.hpp"
#include "section_holder.hpp"
#include "xml_etree.hpp"

#include <memory>
#include <string>
#include <vector>

namespace quillon::varenna {

using namespace quillon::bind;
using checks::kCheckCount;
using checks::kChecks;
using checks::ReaderCache;
using checks::run;
using checks::set;
using xml::ElementRef;
using xml::kNone;
using xml::Tree;
using xml::TreePtr;

namespace {

// How a call reads the section, decided at its entry: its extremes natively unless
// `_iter_extreme_results` is no longer the class's own, and then its element from the instance
// dict unless `_element` is no longer the class's own.
struct SectionRoute {
    bool native_extremes = false;
    bool native_element = false;
};

SectionRoute route_of(Self self) {
    const ParserNames &n = parser_names();
    SectionRoute route;
    route.native_extremes = finds_original(self, n.iter_extremes);
    route.native_element = route.native_extremes && finds_original(self, n.element);
    return route;
}

// The section element as a native tree and node: our own, or a copy of the ElementTree
// element as it is now.
ElementRef section_of(Self self, const SectionRoute &route) {
    nb::object raw;
    if (route.native_element) {
        nb::dict d = instance_dict(self);
        PyObject *v = PyDict_GetItemWithError(d.ptr(), parser_names().element.name.ptr());
        if (!v && PyErr_Occurred()) raise_pending();
        if (v) raw = nb::borrow(v);
    }
    if (!raw.is_valid()) raw = self.attr("_element");
    if (nb::isinstance<NativeSection>(raw)) {
        NativeSection &ns = nb::cast<NativeSection &>(raw);
        if (!ns.etree.is_valid()) return ElementRef{ns.tree, ns.node};
        raw = ns.etree;
    }
    return ElementRef{xml::from_etree(raw), 0};
}

std::vector<ElementRef> extremes_of(Self self, const SectionRoute &route) {
    if (route.native_extremes) {
        ElementRef s = section_of(self, route);
        return checks::extremes_of_section(s.tree, s.node);
    }
    std::vector<ElementRef> out;
    nb::object it = self.attr("_iter_extreme_results")();
    for (nb::handle e : it) out.push_back(ElementRef{xml::from_etree(e), 0});
    return out;
}

// The trees of the extremes, locked for as long as they are read.
struct TreeLocks {
    std::vector<std::unique_ptr<xml::ReadLock>> locks;
    std::vector<TreePtr> trees;
    explicit TreeLocks(const std::vector<ElementRef> &extremes) {
        for (const ElementRef &x : extremes) {
            if (!trees.empty() && trees.back() == x.tree) continue;
            trees.push_back(x.tree);
            locks.push_back(std::make_unique<xml::ReadLock>(*x.tree));
        }
    }
    ~TreeLocks() {
        while (!locks.empty()) locks.pop_back();  // before the trees they lock
    }
};

nb::object check_method(Self self, size_t k) {
    const std::vector<ElementRef> extremes = extremes_of(self, route_of(self));
    TreeLocks locks(extremes);
    return run(k, extremes);
}

nb::object extremes_method(Self self) {
    const ParserNames &n = parser_names();
    bool checks_native = true;
    for (size_t k = 0; k < kCheckCount && checks_native; ++k) checks_native = finds_original(self, n.checks[k]);
    if (!checks_native) {
        // Some check is overridden: call each through the object and zip what they return.
        nb::tuple results = nb::steal<nb::tuple>(PyTuple_New(kCheckCount));
        if (!results.is_valid()) raise_pending();
        for (size_t k = 0; k < kCheckCount; ++k)
            PyTuple_SET_ITEM(results.ptr(), k, self.attr(n.keys.check[k])().release().ptr());
        nb::object zipped = nb::module_::import_("builtins").attr("zip");
        nb::object rows = nb::steal(PyObject_Call(zipped.ptr(), results.ptr(), nullptr));
        if (!rows.is_valid()) raise_pending();
        nb::list out;
        for (nb::handle row : rows) {
            nb::dict d;
            for (size_t k = 0; k < kCheckCount; ++k) set(d, n.keys.check[k], nb::borrow<nb::tuple>(row)[k]);
            out.append(d);
        }
        return out;
    }
    const SectionRoute route = route_of(self);
    std::vector<nb::list> lists;
    if (route.native_extremes) {
        const std::vector<ElementRef> extremes = extremes_of(self, route);
        TreeLocks locks(extremes);
        ReaderCache readers;
        for (size_t k = 0; k < kCheckCount; ++k) lists.push_back(run(k, extremes, readers, true));
    } else {
        // An overridden extreme iteration is asked once per check, as each check asks it.
        for (size_t k = 0; k < kCheckCount; ++k) {
            const std::vector<ElementRef> extremes = extremes_of(self, route);
            TreeLocks locks(extremes);
            lists.push_back(run(k, extremes));
        }
    }
    return checks::combine(lists);
}

// "All check results combined per extreme: a list of dictionaries with the keys a, b, ... and z."
std::string extremes_doc() {
    std::string doc = "All check results combined per extreme: a list of dictionaries with the keys ";
    for (size_t k = 0; k < kCheckCount; ++k) {
        if (k) doc += k + 1 == kCheckCount ? " and " : ", ";
        doc += kChecks[k].method;
    }
    return doc + ".";
}

}  // namespace

nb::object section_identifier(const Tree &tree, uint32_t section) {
    const uint32_t id = tree.child(section, tree.find_tag(checks::kNames[checks::SectionId]));
    if (id == kNone) checks::raise_missing("text");
    nb::object text = tree.text_object(tree.nodes[id].text);
    PyObject *r = PyNumber_Long(text.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

nb::object make_section_result_class(nb::module_ &m, const char *outer_qualname) {
    register_section_holder(m);
    register_extreme_iteration(m);
    ClassBuilder cls(m, "SectionResult", {},
                     "The results of one section of the result file.\n\n"
                     "Not to be instantiated by users: obtain it from "
                     "RcsOutputFileParser.section_results() or section_result().",
                     outer_qualname);
    cls.method("__init__", {arg("self"), arg("id_").ann("int"), arg("element").ann("ET.Element")},
               [](Self self, Arg<"id_"> id, Arg<"element"> element) {
                   self.attr("_id") = id;
                   self.attr("_element") = element;
               });
    cls.property("id_", [](Self self) { return self.attr("_id"); }, "The section identifier.",
                 ann("int"));

    // `_element`: the section element. A native section becomes an ElementTree element the
    // first time it is asked for.
    cls.stored_attribute(
        "_element",
        [](nb::handle v) -> nb::object {
            if (is_native_section(v)) return native_section_etree(v);
            return nb::borrow(v);
        },
        "The section element (an ElementTree element).");

    cls.method("_iter_extreme_results", {arg("self")},
               [](Self self) { return new_extreme_iteration(self); },
               "The extreme elements of the section, in document order.",
               ann("Iterator[ET.Element]"));

    for (size_t k = 0; k < kCheckCount; ++k)
        cls.method(kChecks[k].method, {arg("self")}, [k](Self self) { return check_method(self, k); },
                   kChecks[k].doc, ann(kChecks[k].annotation));
    cls.method("extremes", {arg("self")}, extremes_method, extremes_doc().c_str(), ann("List[dict]"));

    nb::object result = cls.finish();
    ParserNames &names = parser_names();
    names.section_init = Original(result, "__init__");
    names.element = Original(result, "_element");
    names.iter_extremes = Original(result, "_iter_extreme_results");
    for (size_t k = 0; k < kCheckCount; ++k) names.checks[k] = Original(result, kChecks[k].method);
    return result;
}

// Whether `cls`, what `owner.SectionResult` finds, is the class as made with its own __init__:
// a section made by our parsers can then be made with a native element.
bool makes_native_sections(nb::handle owner, nb::object &cls) {
    const ParserNames &n = parser_names();
    return finds_original(owner, n.section_class, &cls) && finds_original(cls, n.section_init);
}

}  // namespace quillon::varenna
