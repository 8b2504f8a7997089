#include "extractions.hpp"

#include "binder.hpp"
#include "check_reader.hpp"
#include "interned.hpp"

#include <cmath>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string_view>

namespace quillon::varenna::checks {

using bind::raise_no_args;
using bind::raise_pending;
using xml::TreePtr;

void set(nb::handle d, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key, value.ptr()) < 0) raise_pending();
}

namespace {

// A dictionary whose keys, and their order, are always the same; the caller sets every key,
// in this order. From six keys on it is made by copying a template that maps them to None:
// the copy takes the template's key table as it stands, and each value set then replaces one
// instead of inserting it (and growing the table twice). A smaller one is cheaper to fill
// from empty.
class Shape {
public:
    Shape(std::initializer_list<PyObject *> keys) : Shape(keys.begin(), keys.size()) {}
    explicit Shape(const std::vector<PyObject *> &keys) : Shape(keys.data(), keys.size()) {}
    Shape(const Name *names, size_t count, PyObject *last) {
        std::vector<PyObject *> keys;
        for (size_t i = 0; i < count; ++i) keys.push_back(name_key(names[i]));
        keys.push_back(last);
        init(keys.data(), keys.size());
    }
    nb::dict make() const {
        PyObject *d = PyDict_GET_SIZE(template_) < kCopiedFrom ? PyDict_New() : PyDict_Copy(template_);
        if (!d) raise_pending();
        return nb::steal<nb::dict>(d);
    }

private:
    static constexpr Py_ssize_t kCopiedFrom = 6;
    Shape(PyObject *const *keys, size_t count) { init(keys, count); }
    void init(PyObject *const *keys, size_t count) {
        nb::dict d;
        for (size_t i = 0; i < count; ++i) set(d, keys[i], nb::none());
        template_ = d.release().ptr();
    }
    PyObject *template_;  // kept for the life of the process, as the keys are
};

nb::dict numbers_and_result(Reader &r, uint32_t e, const Shape &shape, const Name *names,
                            size_t count) {
    nb::dict d = shape.make();
    const Reader::FirstChildren c = r.first_children(e);
    for (size_t i = 0; i < count; ++i) set(d, name_key(names[i]), r.number(c[names[i]]));
    set(d, KEY("Result"), r.text(c[Result]));
    return d;
}

// One shape for each list of names.
template <const auto &names>
nb::dict numbers_and_result(Reader &r, uint32_t e) {
    static const Shape shape(names, std::size(names), KEY("Result"));
    return numbers_and_result(r, e, shape, names, std::size(names));
}

// Whether the children of `g` are the six forces, each once and in their order (as the files
// the program writes have them).
bool usual_forces(const Reader &r, uint32_t g) {
    if (!r.pure) return false;
    size_t i = 0;
    for (uint32_t c = r.t.nodes[g].first_child; c != kNone; c = r.t.nodes[c].next_sibling, ++i)
        if (i == std::size(kForces) || r.t.nodes[c].tag != r.ids[kForces[i]]) return false;
    return i == std::size(kForces);
}

nb::object force_group(Reader &r, uint32_t g) {
    if (g == kNone || !r.t.has_children(g)) return nb::none();
    static const Shape forces_shape = [] {
        std::vector<PyObject *> keys;
        for (Name f : kForces) keys.push_back(name_key(f));
        return Shape(keys);
    }();
    if (usual_forces(r, g)) {
        nb::dict d = forces_shape.make();
        size_t i = 0;
        for (uint32_t c = r.t.nodes[g].first_child; c != kNone; c = r.t.nodes[c].next_sibling)
            set(d, name_key(kForces[i++]), r.number(c));
        return d;
    }
    nb::dict d;
    for (uint32_t c = r.t.nodes[g].first_child; c != kNone; c = r.t.nodes[c].next_sibling) {
        nb::object key = r.tag(c);
        nb::object value = r.number(c);
        if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) raise_pending();
    }
    return d;
}

nb::object capacity_entry(Reader &r, uint32_t e) {
    nb::dict d;
    const Reader::FirstChildren c = r.first_children(e);
    set(d, KEY("Fu"), force_group(r, c[Fu]));
    set(d, KEY("Fu1"), force_group(r, c[Fu1]));
    set(d, KEY("Fu2"), force_group(r, c[Fu2]));
    set(d, KEY("CheckValue"), r.number(c[CheckValue]));
    set(d, KEY("Result"), r.text(c[Result]));
    return d;
}

nb::object shear_entry(Reader &r, uint32_t e) { return numbers_and_result<kShear>(r, e); }
nb::object torsion_entry(Reader &r, uint32_t e) { return numbers_and_result<kTorsion>(r, e); }
nb::object interaction_entry(Reader &r, uint32_t e) { return numbers_and_result<kInteraction>(r, e); }

nb::object crack_width_entry(Reader &r, uint32_t e) {
    const uint32_t short_e = r.first(paths().crack_short, e);
    const uint32_t long_e = r.first(paths().crack_long, e);
    // The term's Result is read after both terms' numbers, but always ends up last.
    static const Shape term_shape(kCrackTerm, std::size(kCrackTerm), KEY("Result"));
    auto term = [&](uint32_t el) -> nb::object {
        if (el == kNone) return nb::none();
        nb::dict d = term_shape.make();
        const Reader::FirstChildren c = r.first_children(el);
        for (Name n : kCrackTerm) set(d, name_key(n), r.number(c[n]));
        return d;
    };
    nb::object s = term(short_e);
    nb::object l = term(long_e);
    nb::dict d;
    set(d, KEY("short"), s);
    set(d, KEY("long"), l);
    if (short_e != kNone) set(nb::borrow<nb::dict>(s), KEY("Result"), r.text(r.child(short_e, Result)));
    if (long_e != kNone) set(nb::borrow<nb::dict>(l), KEY("Result"), r.text(r.child(long_e, Result)));
    return d;
}

nb::object detailing_entry(Reader &r, uint32_t e) {
    const uint32_t lon = r.child(e, CheckValueLongReinf);
    const uint32_t shr = r.child(e, CheckValueShearReinf);
    nb::object lv = lon == kNone ? nb::none() : r.number(lon);
    nb::object sv = shr == kNone ? nb::none() : r.number(shr);
    static const Shape shape{KEY("longitudinal"), KEY("shear"), KEY("CheckValue"),
                             KEY("CheckValueLongReinf"), KEY("CheckValueShearReinf"), KEY("Result")};
    nb::dict d = shape.make();
    set(d, KEY("longitudinal"), lv);
    set(d, KEY("shear"), sv);
    set(d, KEY("CheckValue"), r.number(r.child(e, CheckValue)));
    set(d, KEY("CheckValueLongReinf"), lv);
    set(d, KEY("CheckValueShearReinf"), sv);
    set(d, KEY("Result"), r.text(r.child(e, Result)));
    return d;
}

PyObject *stress_check_key(size_t i) {
    static PyObject *keys[std::size(kStressChecks)] = {};
    if (!keys[i]) keys[i] = PyUnicode_InternFromString(kStressChecks[i].data());
    return keys[i];
}

bool is_nan_word(std::string_view s) {
    return s.size() == 3 && (s[0] | 0x20) == 'n' && (s[1] | 0x20) == 'a' && (s[2] | 0x20) == 'n';
}

// The elements the stress-limitation paths select below `e` (see StressSelections). In a tree
// of strings only, all found in one pass over the children, or read ahead; otherwise each
// path runs where the entry reads its matches, so anything a lookup raises comes in the same
// order.
struct StressSelection {
    Reader &r;
    uint32_t e;
    const ReadAhead::Stress *ahead = nullptr;

    StressSelection(Reader &reader, uint32_t element) : r(reader), e(element) {
        StressSelections &own = r.selections;
        if (!r.pure) {
            for (std::vector<uint32_t> &s : own) s.clear();
            own[0] = r.path(paths().stress_short).all(e);
            own[1] = r.path(paths().stress_long).all(e);
            return;
        }
        if (r.ahead && (ahead = r.ahead->stress(e))) return;
        select_stresses(r.t, r, e, own);
    }
    std::span<const uint32_t> operator[](size_t i) const {
        if (ahead) return r.ahead->range(ahead->bounds[i], ahead->bounds[i + 1]);
        return r.selections[i];
    }
    std::span<const uint32_t> check(size_t i) {
        if (!r.pure) r.selections[2 + i] = r.path(paths().stress_checks[i]).all(e);
        return (*this)[2 + i];
    }
};

nb::object stress_limitation_entry(Reader &r, uint32_t e) {
    static const Shape shape = [] {
        std::vector<PyObject *> keys{KEY("short"), KEY("long")};
        for (size_t i = 0; i < std::size(kStressChecks); ++i) keys.push_back(stress_check_key(i));
        return Shape(keys);
    }();
    nb::dict d = shape.make();
    StressSelection selection(r, e);
    const std::span<const uint32_t> shorts = selection[0];
    const std::span<const uint32_t> longs = selection[1];
    // The stresses the summaries read, read again by the per-check entries: in a tree of
    // strings the same text gives the same number.
    std::vector<std::pair<uint32_t, nb::object>> &stresses = r.stresses;
    stresses.clear();
    auto stress_number = [&](uint32_t stress) -> nb::object {
        if (r.pure)
            for (const auto &[node, value] : stresses)
                if (node == stress) return value;
        nb::object value = r.number(stress);
        if (r.pure) stresses.emplace_back(stress, value);
        return value;
    };
    // A summary of the six checks, each once and in their order (as the files the program
    // writes have them), takes the shape of that dictionary; the tree must then be of strings,
    // so that looking ahead at the checks runs nothing.
    static const Shape usual_shape = [] {
        std::vector<PyObject *> keys;
        for (size_t i = 0; i < std::size(kStressChecks); ++i) keys.push_back(stress_check_key(i));
        return Shape(keys);
    }();
    auto usual = [&](std::span<const uint32_t> elements) {
        if (!r.pure) return false;
        size_t n = 0;
        for (uint32_t el : elements) {
            const uint32_t type_check = r.child(el, TypeCheck);
            if (type_check == kNone || r.child(el, Stress) == kNone) continue;
            if (n == std::size(kStressChecks) || !r.text_is(type_check, kStressChecks[n])) return false;
            ++n;
        }
        return n == std::size(kStressChecks);
    };
    auto summary = [&](std::span<const uint32_t> elements) -> nb::object {
        const bool usual_keys = usual(elements);
        nb::dict s = usual_keys ? usual_shape.make() : nb::dict();
        size_t n = 0;
        for (uint32_t el : elements) {
            const uint32_t type_check = r.child(el, TypeCheck);
            const uint32_t stress = r.child(el, Stress);
            if (type_check == kNone || stress == kNone) continue;
            nb::object value;
            if (r.text_is_empty(stress)) {
                value = nb::none();  // an empty stress reads as "nan"
            } else {
                value = stress_number(stress);
                if (std::isnan(PyFloat_AS_DOUBLE(value.ptr()))) value = nb::none();
            }
            if (usual_keys) {
                set(s, stress_check_key(n++), value);
                continue;
            }
            nb::object key = r.text(type_check);
            if (PyDict_SetItem(s.ptr(), key.ptr(), value.ptr()) < 0) raise_pending();
        }
        return PyDict_GET_SIZE(s.ptr()) ? nb::object(s) : nb::none();
    };
    set(d, KEY("short"), summary(shorts));
    set(d, KEY("long"), summary(longs));
    for (size_t i = 0; i < std::size(kStressChecks); ++i) {
        PyObject *name = stress_check_key(i);
        nb::object entry = nb::none();
        for (uint32_t el : selection.check(i)) {
            const uint32_t check = r.child(el, Check);
            if (check == kNone) raise_missing("text");
            PyObject *term;
            if (r.text_is(check, "StressLimitationShort")) term = KEY("short");
            else if (r.text_is(check, "StressLimitationLong")) term = KEY("long");
            else raise_no_args(PyExc_NotImplementedError);
            if (entry.is_none()) {
                entry = nb::dict();
                set(d, name, entry);
            }
            const uint32_t stress = r.child(el, Stress);
            if (stress == kNone) raise_missing("text");
            const xml::Text st = xml::text_of(r.t, r.t.nodes[stress].text);
            nb::object stress_value;
            if (r.text_is_empty(stress)) {
                stress_value = nb::none();  // no stress given: like the term summaries
            } else if (st.is_object()) {
                nb::object text = r.text(stress);
                nb::object lowered = text.attr("lower")();
                if (nb::str("nan").equal(lowered)) stress_value = nb::none();
                else stress_value = r.number(stress);
            } else {
                stress_value = is_nan_word(st.chars) ? nb::none() : stress_number(stress);
            }
            nb::dict values;
            set(values, KEY("Stress"), stress_value);
            set(values, KEY("CheckValue"), r.number(r.child(el, CheckValue)));
            set(values, KEY("Result"), r.text(r.child(el, Result)));
            nb::dict entry_dict = nb::borrow<nb::dict>(entry);
            set(entry_dict, term, values);
        }
    }
    return d;
}

// Compares element.findtext(...) of two lookups: None when the element is absent, "" for one
// without text, its text (whatever user code put there) otherwise.
bool same_found_text(Reader &r, uint32_t a, uint32_t b) {
    if (a == kNone || b == kNone) return a == b;
    const xml::Text ta = xml::text_of(r.t, r.t.nodes[a].text), tb = xml::text_of(r.t, r.t.nodes[b].text);
    if (ta.is_object() || tb.is_object()) {
        nb::object va = ta.is_none() ? nb::object(nb::str("")) : r.text(a);
        nb::object vb = tb.is_none() ? nb::object(nb::str("")) : r.text(b);
        nb::object outcome = nb::steal(PyObject_RichCompare(va.ptr(), vb.ptr(), Py_EQ));
        if (!outcome.is_valid()) raise_pending();
        const int eq = PyObject_IsTrue(outcome.ptr());
        if (eq < 0) raise_pending();
        return eq;
    }
    return ta.chars == tb.chars;
}

// `found`: the forces below the shear element as found before (in a tree of strings, where
// looking them up again would find the same), or null.
bool forces_match(Reader &r, uint32_t shear, uint32_t forces, const uint32_t *found) {
    const Paths &p = paths();
    for (size_t i = 0; i < std::size(kForces); ++i) {
        const uint32_t a = found ? found[i] : r.first(p.any_depth_forces[i], shear);
        if (forces == kNone) raise_missing("findtext");
        const uint32_t b = r.child(forces, kForces[i]);
        if (!same_found_text(r, a, b)) return false;
    }
    return true;
}

nb::object fatigue_entry(Reader &r, uint32_t e) {
    const Paths &p = paths();
    nb::dict d;
    set(d, KEY("fatigue"), nb::none());  // its entry comes later, but its key first
    nb::dict shear;
    set(d, KEY("shear"), shear);
    const uint32_t fmax = r.first(p.fatigue_max, e);
    const uint32_t fmin = r.first(p.fatigue_min, e);
    nb::dict fat;
    set(fat, KEY("CheckValue"), r.number(r.first(p.fatigue_value, e)));
    set(fat, KEY("DecisionMethod"), r.text(r.first(p.fatigue_method, e)));
    set(fat, KEY("Result"), r.text(r.first(p.fatigue_result, e)));
    set(d, KEY("fatigue"), fat);
    for (uint32_t sh : r.all(p.fatigue_shear, e)) {
        uint32_t found[std::size(kForces)];
        if (r.pure)
            for (size_t i = 0; i < std::size(kForces); ++i) found[i] = r.first(p.any_depth_forces[i], sh);
        const uint32_t *shear_forces = r.pure ? found : nullptr;
        if (forces_match(r, sh, fmax, shear_forces)) set(shear, KEY("max"), numbers_and_result<kShear>(r, sh));
        if (forces_match(r, sh, fmin, shear_forces)) set(shear, KEY("min"), numbers_and_result<kShear>(r, sh));
    }
    return d;
}

}  // namespace

// In the order of kCheckTypes.
const Operation kOperations[kOperationCount] = {
    {"capacity", capacity_entry},
    {"shear", shear_entry},
    {"torsion", torsion_entry},
    {"interaction", interaction_entry},
    {"crack_width", crack_width_entry},
    {"detailing", detailing_entry},
    {"stress_limitation", stress_limitation_entry},
    {"fatigue", fatigue_entry},
};
static_assert(kOperationCount == kChecks);

size_t operation(const char *name) {
    for (size_t k = 0; k < kOperationCount; ++k)
        if (std::string_view(kOperations[k].name) == name) return k;
    throw std::logic_error("unknown extraction");
}

ReaderCache::ReaderCache() = default;
ReaderCache::~ReaderCache() = default;

Reader &ReaderCache::of(const Tree &tree) {
    if (!reader || &reader->t != &tree) reader = std::make_unique<Reader>(tree);
    return *reader;
}

// The common skeleton: one entry per extreme element, None when the result element is absent
// or has no children.
nb::list run(size_t k, const std::vector<ElementRef> &extremes, ReaderCache &readers,
             bool all_checks) {
    nb::list out;
    for (const ElementRef &x : extremes) {
        Reader &reader = readers.of(*x.tree);
        const uint32_t element = reader.check_element(k, x.node, all_checks);
        if (element == kNone || !x.tree->has_children(element)) out.append(nb::none());
        else out.append(kOperations[k].entry(reader, element));
    }
    return out;
}

nb::list run(size_t k, const std::vector<ElementRef> &extremes) {
    ReaderCache readers;
    return run(k, extremes, readers, false);
}

std::vector<ElementRef> extremes_of_section(const TreePtr &tree, uint32_t section) {
    std::vector<ElementRef> out;
    const uint32_t er = tree->child(section, tree->find_tag("ExtremeResults"));
    if (er == kNone) return out;
    for (uint32_t c = tree->nodes[er].first_child; c != kNone; c = tree->nodes[c].next_sibling)
        out.push_back(ElementRef{tree, c});
    return out;
}

PyObject *operation_key(size_t k) {
    static PyObject *keys[kOperationCount] = {};
    if (!keys[k]) keys[k] = PyUnicode_InternFromString(kOperations[k].name);
    return keys[k];
}

nb::list combine(const std::vector<nb::list> &lists) {
    nb::list out;
    size_t count = (size_t) -1;
    for (const nb::list &l : lists) count = std::min(count, (size_t) PyList_GET_SIZE(l.ptr()));
    static const Shape shape{operation_key(0), operation_key(1), operation_key(2), operation_key(3),
                             operation_key(4), operation_key(5), operation_key(6), operation_key(7)};
    for (size_t i = 0; i < count; ++i) {
        nb::dict d = shape.make();
        for (size_t k = 0; k < kOperationCount; ++k)
            set(d, operation_key(k), nb::handle(PyList_GET_ITEM(lists[k].ptr(), (Py_ssize_t) i)));
        out.append(d);
    }
    return out;
}

}  // namespace quillon::varenna::checks
