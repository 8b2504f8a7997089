// RcsOutputFileParser.SectionResult: one section of the result XML and its eight per-check
// extractions. Sections made by our parsers are read natively; a section built with an
// ElementTree element is copied into a native tree on each call, so it is read as it is then.
#include "binder.hpp"
#include "check_reader.hpp"
#include "extractions.hpp"
#include "extreme_iteration.hpp"
#include "interned.hpp"
#include "parser_names.hpp"
#include "parsers.hpp"
#include "section_holder.hpp"
#include "xml_etree.hpp"

#include <memory>
#include <vector>

namespace quillon::varenna {

using namespace quillon::bind;
using checks::kOperationCount;
using checks::Operation;
using checks::kOperations;
using checks::operation_key;
using checks::ReaderCache;
using checks::run;
using checks::set;
using xml::ElementRef;
using xml::kNone;
using xml::Tree;
using xml::TreePtr;

namespace {

bool finds(nb::handle self, PyObject *key, nb::handle original) {
    return finds_original(self, nb::handle(key), nb::handle(original));
}

// The section element as a native tree and node: our own, or a copy of the ElementTree
// element as it is now.
ElementRef section_of(nb::handle self) {
    nb::object raw;
    if (finds(self, KEY("_element"), parser_names().element_property)) {
        nb::dict d = instance_dict(self);
        PyObject *v = PyDict_GetItemWithError(d.ptr(), KEY("_element"));
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

std::vector<ElementRef> extremes_of(nb::handle self) {
    if (finds(self, KEY("_iter_extreme_results"), parser_names().iter_extremes)) {
        ElementRef s = section_of(self);
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

nb::object operation_method(Self self, size_t index) {
    const std::vector<ElementRef> extremes = extremes_of(self);
    TreeLocks locks(extremes);
    return run(index, extremes);
}

nb::object extremes_method(Self self) {
    bool all_ours = true;
    for (size_t k = 0; k < kOperationCount && all_ours; ++k)
        all_ours = finds(self, operation_key(k), parser_names().operations[k]);
    std::vector<nb::list> lists;
    if (all_ours) {
        if (finds(self, KEY("_iter_extreme_results"), parser_names().iter_extremes)) {
            const std::vector<ElementRef> extremes = extremes_of(self);
            TreeLocks locks(extremes);
            ReaderCache readers;
            for (size_t k = 0; k < kOperationCount; ++k) lists.push_back(run(k, extremes, readers, true));
        } else {
            // An overridden extreme iteration is asked once per check, as each check asks it.
            for (size_t k = 0; k < kOperationCount; ++k) {
                const std::vector<ElementRef> extremes = extremes_of(self);
                TreeLocks locks(extremes);
                lists.push_back(run(k, extremes));
            }
        }
        return checks::combine(lists);
    }
    // Some extraction is overridden: call each through the object and zip what they return.
    std::vector<nb::object> results;
    for (const Operation &op : kOperations) results.push_back(self.attr(op.name)());
    nb::object zipped = nb::module_::import_("builtins").attr("zip");
    nb::object rows = zipped(results[0], results[1], results[2], results[3], results[4],
                             results[5], results[6], results[7]);
    nb::list out;
    for (nb::handle row : rows) {
        nb::dict d;
        for (size_t k = 0; k < kOperationCount; ++k)
            set(d, operation_key(k), nb::borrow<nb::tuple>(row)[k]);
        out.append(d);
    }
    return out;
}


}  // namespace

nb::handle section_result_class() { return parser_names().SectionResult; }

nb::object new_native_section_result(nb::handle id, nb::handle holder) {
    nb::handle cls(parser_names().SectionResult);
    if (!finds_original(cls, nb::handle(KEY("__init__")), nb::handle(parser_names().section_init))) return {};
    return cls(id, holder);
}

nb::object section_identifier(const Tree &tree, uint32_t section) {
    const uint32_t id = tree.child(section, tree.find_tag("SectionId"));
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
    const std::string q = cls.qualname();
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

    static const char *const docs[] = {
        "Capacity results, one entry per extreme (None where there is none).",
        "Shear results, one entry per extreme (None where there is none).",
        "Torsion results, one entry per extreme (None where there is none).",
        "Interaction results, one entry per extreme (None where there is none).",
        "Crack-width results (short and long term), one entry per extreme.",
        "Detailing results, one entry per extreme (None where there is none).",
        "Stress-limitation results, one entry per extreme (None where there is none).",
        "Fatigue results, one entry per extreme (None where there is none).",
    };
    for (size_t k = 0; k < kOperationCount; ++k)
        cls.method(kOperations[k].name, {arg("self")},
                   [k](Self self) { return operation_method(self, k); }, docs[k],
                   ann("List[Optional[dict]]"));
    cls.method("extremes", {arg("self")}, extremes_method,
               "All check results combined per extreme: a list of dictionaries with the keys "
               "capacity, shear, torsion, interaction, crack_width, detailing, "
               "stress_limitation and fatigue.",
               ann("List[dict]"));

    nb::object result = cls.finish();
    ParserNames &names = parser_names();
    names.SectionResult = result;
    nb::object dict = result.attr("__dict__");
    names.section_init = dict["__init__"];
    names.element_property = dict["_element"];
    names.iter_extremes = dict["_iter_extreme_results"];
    for (size_t k = 0; k < kOperationCount; ++k)
        names.operations[k] = dict[kOperations[k].name];
    return result;
}

}  // namespace quillon::varenna
