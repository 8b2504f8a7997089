#include "checks.hpp"

#include "binder.hpp"
#include "check_reader.hpp"
#include "parser_names.hpp"

#include <cmath>
#include <span>
#include <string_view>

namespace quillon::varenna::checks {

using bind::raise_no_args;
using bind::raise_pending;
using xml::TreePtr;

void set(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) raise_pending();
}

namespace {

const Keys &keys() { return parser_names().keys; }

template <size_t N>
nb::dict numbers_and_result(Reader &r, uint32_t e, const Shape &shape, const Name (&names)[N]) {
    const Keys &k = keys();
    nb::dict d = shape.make();
    const Reader::FirstChildren c = r.first_children(e);
    for (Name n : names) set(d, k.name[n], r.number(c[n]));
    set(d, k.name[Result], r.text(c[Result]));
    return d;
}

nb::object force_group(Reader &r, uint32_t g) {
    if (g == kNone || !r.t.has_children(g)) return nb::none();
    const Keys &k = keys();
    if (r.children_are(g, kForces)) {
        nb::dict d = k.forces.make();
        size_t i = 0;
        for (uint32_t c = r.t.nodes[g].first_child; c != kNone; c = r.t.nodes[c].next_sibling)
            set(d, k.name[kForces[i++]], r.number(c));
        return d;
    }
    nb::dict d;
    for (uint32_t c = r.t.nodes[g].first_child; c != kNone; c = r.t.nodes[c].next_sibling) {
        nb::object key = r.tag(c);
        nb::object value = r.number(c);
        set(d, key, value);
    }
    return d;
}

bool is_nan_word(std::string_view s) {
    return s.size() == 3 && (s[0] | 0x20) == 'n' && (s[1] | 0x20) == 'a' && (s[2] | 0x20) == 'n';
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
    for (size_t i = 0; i < std::size(kForces); ++i) {
        const uint32_t a = found ? found[i] : r.first(Lookup(ForceBelow + i), shear);
        if (forces == kNone) raise_missing("findtext");
        const uint32_t b = r.child(forces, kForces[i]);
        if (!same_found_text(r, a, b)) return false;
    }
    return true;
}

}  // namespace

// --- the checks' read functions, in the order of the table -----------------------------------

nb::object read_capacity(Reader &r, uint32_t e) {
    const Keys &k = keys();
    nb::dict d;
    const Reader::FirstChildren c = r.first_children(e);
    set(d, k.name[Fu], force_group(r, c[Fu]));
    set(d, k.name[Fu1], force_group(r, c[Fu1]));
    set(d, k.name[Fu2], force_group(r, c[Fu2]));
    set(d, k.name[CheckValue], r.number(c[CheckValue]));
    set(d, k.name[Result], r.text(c[Result]));
    return d;
}

nb::object read_shear(Reader &r, uint32_t e) { return numbers_and_result(r, e, keys().shear_values, kShear); }
nb::object read_torsion(Reader &r, uint32_t e) { return numbers_and_result(r, e, keys().torsion_values, kTorsion); }
nb::object read_interaction(Reader &r, uint32_t e) {
    return numbers_and_result(r, e, keys().interaction_values, kInteraction);
}

nb::object read_crack_width(Reader &r, uint32_t e) {
    const Keys &k = keys();
    const uint32_t short_e = r.first(CrackShort, e);
    const uint32_t long_e = r.first(CrackLong, e);
    // The term's Result is read after both terms' numbers, but always ends up last.
    auto term = [&](uint32_t el) -> nb::object {
        if (el == kNone) return nb::none();
        nb::dict d = k.crack_term.make();
        const Reader::FirstChildren c = r.first_children(el);
        for (Name n : kCrackTerm) set(d, k.name[n], r.number(c[n]));
        return d;
    };
    nb::object s = term(short_e);
    nb::object l = term(long_e);
    nb::dict d;
    set(d, k.short_term, s);
    set(d, k.long_term, l);
    if (short_e != kNone) set(s, k.name[Result], r.text(r.child(short_e, Result)));
    if (long_e != kNone) set(l, k.name[Result], r.text(r.child(long_e, Result)));
    return d;
}

nb::object read_detailing(Reader &r, uint32_t e) {
    const Keys &k = keys();
    const uint32_t lon = r.child(e, CheckValueLongReinf);
    const uint32_t shr = r.child(e, CheckValueShearReinf);
    nb::object lv = lon == kNone ? nb::none() : r.number(lon);
    nb::object sv = shr == kNone ? nb::none() : r.number(shr);
    nb::dict d = k.detailing.make();
    set(d, k.longitudinal, lv);
    set(d, k.shear, sv);
    set(d, k.name[CheckValue], r.number(r.child(e, CheckValue)));
    set(d, k.name[CheckValueLongReinf], lv);
    set(d, k.name[CheckValueShearReinf], sv);
    set(d, k.name[Result], r.text(r.child(e, Result)));
    return d;
}

nb::object read_stress_limitation(Reader &r, uint32_t e) {
    const Keys &k = keys();
    nb::dict d = k.stress_limitation.make();
    const std::span<const uint32_t> shorts = r.all(StressShort, e);
    const std::span<const uint32_t> longs = r.all(StressLong, e);
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
    auto usual = [&](std::span<const uint32_t> elements) {
        if (!r.pure) return false;
        size_t n = 0;
        for (uint32_t el : elements) {
            const uint32_t type_check = r.child(el, TypeCheck);
            if (type_check == kNone || r.child(el, Stress) == kNone) continue;
            if (n == kStressCheckCount || !r.text_is(type_check, kStressChecks[n])) return false;
            ++n;
        }
        return n == kStressCheckCount;
    };
    auto summary = [&](std::span<const uint32_t> elements) -> nb::object {
        const bool usual_keys = usual(elements);
        nb::dict s = usual_keys ? k.stress_summary.make() : nb::dict();
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
                set(s, k.stress_check[n++], value);
                continue;
            }
            set(s, r.text(type_check), value);
        }
        return PyDict_GET_SIZE(s.ptr()) ? nb::object(s) : nb::none();
    };
    set(d, k.short_term, summary(shorts));
    set(d, k.long_term, summary(longs));
    for (size_t i = 0; i < kStressCheckCount; ++i) {
        nb::handle name = k.stress_check[i];
        nb::object entry = nb::none();
        for (uint32_t el : r.all(Lookup(StressOfCheck + i), e)) {
            const uint32_t check = r.child(el, Check);
            if (check == kNone) raise_missing("text");
            nb::handle term;
            if (r.text_is(check, kStressTerms[0])) term = k.short_term;
            else if (r.text_is(check, kStressTerms[1])) term = k.long_term;
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
            set(values, k.name[Stress], stress_value);
            set(values, k.name[CheckValue], r.number(r.child(el, CheckValue)));
            set(values, k.name[Result], r.text(r.child(el, Result)));
            set(entry, term, values);
        }
    }
    return d;
}

nb::object read_fatigue(Reader &r, uint32_t e) {
    const Keys &k = keys();
    nb::dict d;
    set(d, k.fatigue, nb::none());  // its entry comes later, but its key first
    nb::dict shear;
    set(d, k.shear, shear);
    const uint32_t fmax = r.first(FatigueMax, e);
    const uint32_t fmin = r.first(FatigueMin, e);
    nb::dict fat;
    set(fat, k.name[CheckValue], r.number(r.first(FatigueValue, e)));
    set(fat, k.decision_method, r.text(r.first(FatigueMethod, e)));
    set(fat, k.name[Result], r.text(r.first(FatigueResult, e)));
    set(d, k.fatigue, fat);
    for (uint32_t sh : r.all(FatigueShear, e)) {
        uint32_t found[std::size(kForces)];
        if (r.pure)
            for (size_t i = 0; i < std::size(kForces); ++i) found[i] = r.first(Lookup(ForceBelow + i), sh);
        const uint32_t *shear_forces = r.pure ? found : nullptr;
        if (forces_match(r, sh, fmax, shear_forces))
            set(shear, k.max, numbers_and_result(r, sh, k.shear_values, kShear));
        if (forces_match(r, sh, fmin, shear_forces))
            set(shear, k.min, numbers_and_result(r, sh, k.shear_values, kShear));
    }
    return d;
}

// --- running them ----------------------------------------------------------------------------

ReaderCache::ReaderCache() = default;
ReaderCache::~ReaderCache() = default;

Reader &ReaderCache::of(const Tree &tree) {
    if (!reader || &reader->t != &tree) reader = std::make_unique<Reader>(tree);
    return *reader;
}

// One entry per extreme element, None when the result element is absent or has no children.
nb::list run(size_t k, const std::vector<ElementRef> &extremes, ReaderCache &readers,
             bool all_checks) {
    nb::list out;
    for (const ElementRef &x : extremes) {
        Reader &reader = readers.of(*x.tree);
        const uint32_t element = reader.check_element(k, x.node, all_checks);
        if (element == kNone || !x.tree->has_children(element)) {
            out.append(nb::none());
        } else {
            reader.check = k;
            out.append(kChecks[k].read(reader, element));
        }
    }
    return out;
}

nb::list run(size_t k, const std::vector<ElementRef> &extremes) {
    ReaderCache readers;
    return run(k, extremes, readers, false);
}

std::vector<ElementRef> extremes_of_section(const TreePtr &tree, uint32_t section) {
    std::vector<ElementRef> out;
    const uint32_t er = tree->child(section, tree->find_tag(kNames[ExtremeResults]));
    if (er == kNone) return out;
    for (uint32_t c = tree->nodes[er].first_child; c != kNone; c = tree->nodes[c].next_sibling)
        out.push_back(ElementRef{tree, c});
    return out;
}

nb::list combine(const std::vector<nb::list> &lists) {
    const Keys &k = keys();
    nb::list out;
    size_t count = (size_t) -1;
    for (const nb::list &l : lists) count = std::min(count, (size_t) PyList_GET_SIZE(l.ptr()));
    for (size_t i = 0; i < count; ++i) {
        nb::dict d = k.extremes.make();
        for (size_t c = 0; c < kCheckCount; ++c)
            set(d, k.check[c], nb::handle(PyList_GET_ITEM(lists[c].ptr(), (Py_ssize_t) i)));
        out.append(d);
    }
    return out;
}

}  // namespace quillon::varenna::checks
