// RcsOutputFileParser.SectionResult: one section of the result XML and the eight per-check
// extractions. Sections made by our parsers are read natively; a section built with an
// ElementTree element is copied into a native tree on each call, so it is read as it is then.
#include "binder.hpp"
#include "parsers.hpp"
#include "xml_etree.hpp"
#include "xml_path.hpp"

#include <nanobind/stl/shared_ptr.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon::varenna {

using namespace quillon::bind;
using xml::BoundPath;
using xml::ElementRef;
using xml::kNone;
using xml::Path;
using xml::Span;
using xml::Tree;
using xml::TreePtr;

namespace {

// Interned key strings, one object per text for the life of the process.
#define KEY(text)                                                      \
    ([]() -> PyObject * {                                              \
        static PyObject *k = PyUnicode_InternFromString(text);         \
        return k;                                                      \
    }())

// ---------------------------------------------------------------------------------------------
// Element names

enum Name : unsigned {
    ExtremeResults, SectionId, Fu, Fu1, Fu2, CheckValue, Result,
    Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds,
    Ted, Trdc, Trdmax, Trds, Trd,
    Ned, Medy, Medz, CheckValueShearAndTorsion, CheckValueShearTorsionAndBending,
    N, Qy, Qz, Mx, My, Mz, W, Wlim,
    CheckValueLongReinf, CheckValueShearReinf, Check, TypeCheck, Stress,
    NameCount
};
const char *const kNames[NameCount] = {
    "ExtremeResults", "SectionId", "Fu", "Fu1", "Fu2", "CheckValue", "Result",
    "Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds",
    "Ted", "Trdc", "Trdmax", "Trds", "Trd",
    "Ned", "Medy", "Medz", "CheckValueShearAndTorsion", "CheckValueShearTorsionAndBending",
    "N", "Qy", "Qz", "Mx", "My", "Mz", "W", "Wlim",
    "CheckValueLongReinf", "CheckValueShearReinf", "Check", "TypeCheck", "Stress"};

PyObject *name_key(Name n) {
    static PyObject *keys[NameCount] = {};
    if (!keys[n]) keys[n] = PyUnicode_InternFromString(kNames[n]);
    return keys[n];
}

const Name kShear[] = {Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds, CheckValue};
const Name kTorsion[] = {Ted, Trdc, Trdmax, Trds, Trd, CheckValue};
const Name kInteraction[] = {Ned, Medy, Medz, Ved, Ted, CheckValue, CheckValueShearAndTorsion,
                             CheckValueShearTorsionAndBending};
const Name kCrackTerm[] = {N, My, Mz, W, Wlim, CheckValue};
const Name kForces[] = {N, Qy, Qz, Mx, My, Mz};
const char *const kStressChecks[] = {
    "Check_7_2_2_Concrete_fck", "Check_7_2_3_Concrete_fck", "Check_7_2_5_Tendons_fpk",
    "Check_7_2_5_ReinforcementBars_fyk", "Check_5_10_3_2_Tendons", "Check_5_10_2_1_1_Tendons"};

// The result element of each check below an extreme: the first match of
// ".//*[ResultType=<type>]/<tail>", in the order of the checks' methods.
constexpr size_t kChecks = 8;
const char *const kCheckTypes[kChecks] = {"Capacity", "Shear", "Torsion", "Interaction",
                                          "CrackWidth", "Detailing", "StressLimitation", "Fatigue"};
const char *const kCheckTails[kChecks] = {
    "CheckResults/ConcreteCheckResultBase", "CheckResults/ConcreteCheckResultBase",
    "CheckResults/ConcreteCheckResultBase", "CheckResults/ConcreteCheckResultBase",
    "CheckResults", "CheckResults/ConcreteCheckResultBase", "CheckResults", "CheckResults"};

struct Paths {
    std::vector<Path> checks;
    std::vector<Path> check_tails;
    Path crack_short{"ConcreteCheckResultBase[Check=\"CrackWidthShort\"]"};
    Path crack_long{"ConcreteCheckResultBase[Check=\"CrackWidthLong\"]"};
    Path stress_short{"ConcreteCheckResultBase[Check=\"StressLimitationShort\"]"};
    Path stress_long{"ConcreteCheckResultBase[Check=\"StressLimitationLong\"]"};
    std::vector<Path> stress_checks;
    Path fatigue_max{"ConcreteCheckResultBase[Check=\"Fatigue\"]/InternalForceMax"};
    Path fatigue_min{"ConcreteCheckResultBase[Check=\"Fatigue\"]/InternalForceMin"};
    Path fatigue_value{"ConcreteCheckResultBase[Check=\"Fatigue\"]/CheckValue"};
    Path fatigue_method{"ConcreteCheckResultBase[Check=\"Fatigue\"]/DecissionMethod"};
    Path fatigue_result{"ConcreteCheckResultBase[Check=\"Fatigue\"]/Result"};
    Path fatigue_shear{"ConcreteCheckResultBase[Check=\"Shear\"]"};
    std::vector<Path> any_depth_forces;
    Paths() {
        for (size_t k = 0; k < kChecks; ++k) {
            checks.emplace_back(std::string(".//*[ResultType=\"") + kCheckTypes[k] + "\"]/" + kCheckTails[k]);
            check_tails.emplace_back(kCheckTails[k]);
        }
        for (const char *name : kStressChecks)
            stress_checks.emplace_back(std::string("ConcreteCheckResultBase[TypeCheck=\"") + name + "\"]");
        for (Name f : kForces) any_depth_forces.emplace_back(std::string(".//") + kNames[f]);
    }
};

const Paths &paths() {
    static const Paths *p = new Paths();  // kept for the life of the process
    return *p;
}

// ---------------------------------------------------------------------------------------------
// The interpreter's behaviour for the values read

// Reading `.text` of a missing element: the interpreter's own AttributeError.
[[noreturn]] void raise_missing(const char *attribute) {
    PyObject *r = PyObject_GetAttrString(Py_None, attribute);
    Py_XDECREF(r);
    raise_pending();
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// float() of plain decimal ASCII text; false for anything else (the interpreter decides).
bool plain_float(std::string_view s, double &out) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    if (b == e) return false;
    const char *p = s.data() + b, *end = s.data() + e;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Starting with a digit or a point rules out a second sign and the words (inf, nan) that
    // from_chars would take; what it then takes in full is digits with at most one point and
    // an optional exponent, which float() reads the same way. Anything else (underscores,
    // out of range values) goes to the interpreter.
    if (p == end || !(is_digit(*p) || *p == '.')) return false;
    double v;
    auto r = std::from_chars(p, end, v);
    if (r.ec != std::errc() || r.ptr != end) return false;
    out = negative ? -v : v;
    return true;
}

struct Reader {
    const Tree &t;
    uint32_t ids[NameCount];
    std::vector<nb::object> tag_cache;

    explicit Reader(const Tree &tree) : t(tree), tag_cache(tree.tags.size()) {
        for (unsigned i = 0; i < NameCount; ++i) ids[i] = t.find_tag(kNames[i]);
        name_of.assign(t.tags.size(), NameCount);
        for (unsigned i = 0; i < NameCount; ++i)
            if (ids[i] != kNone) name_of[ids[i]] = (uint8_t) i;
        pure = t.foreign.empty();
        for (const xml::Tag &tag : t.tags) pure = pure && !tag.is_foreign();
    }
    // Only strings in the tree (always so in a parsed one): looking through it runs no user
    // code and cannot fail, so the order of the lookups is free.
    bool pure = false;

    uint32_t child(uint32_t node, Name n) const { return t.child(node, ids[n]); }

    // The first child of an element with each of our names, as child() finds it, for an
    // element read for many names: one pass over its children instead of one per name.
    struct FirstChildren {
        uint32_t of[NameCount];
        uint32_t operator[](Name n) const { return of[n]; }
    };
    FirstChildren first_children(uint32_t node) const {
        FirstChildren f;
        std::fill(std::begin(f.of), std::end(f.of), kNone);
        for (uint32_t c = t.nodes[node].first_child; c != kNone; c = t.nodes[c].next_sibling) {
            const uint8_t n = name_of[t.nodes[c].tag];
            if (n != NameCount && f.of[n] == kNone) f.of[n] = c;
        }
        return f;
    }
    std::vector<uint8_t> name_of;  // tag id -> our name (NameCount: none)

    // The path with its tags looked up in this tree once, however many extremes it runs on.
    const BoundPath &path(const Path &p) {
        auto it = bound.find(&p);
        if (it == bound.end()) it = bound.emplace(&p, BoundPath(p, t)).first;
        return it->second;
    }
    std::unordered_map<const Path *, BoundPath> bound;

    // The result element of check `k` below `extreme`, as paths().checks[k] finds it. When
    // all checks are wanted, in a pure tree, the elements of all of them are found in one walk
    // over the extreme instead of one walk per check.
    uint32_t check_element(size_t k, uint32_t extreme, bool all_checks) {
        if (!pure || !all_checks) return path(paths().checks[k]).first(extreme);
        auto it = check_elements.find(extreme);
        if (it == check_elements.end()) it = check_elements.emplace(extreme, find_checks(extreme)).first;
        return it->second[k];
    }
    std::unordered_map<uint32_t, std::array<uint32_t, kChecks>> check_elements;

    // For each check, the first descendant with a ResultType child of the check's type
    // (only the first such child counts) whose tail path matches, and that match.
    std::array<uint32_t, kChecks> find_checks(uint32_t extreme) {
        std::array<uint32_t, kChecks> found;
        found.fill(kNone);
        const uint32_t result_type = t.find_tag("ResultType");
        if (result_type == kNone) return found;
        size_t missing = kChecks;
        for (uint32_t d = xml::next_in_subtree(t, extreme, extreme); d != kNone && missing;
             d = xml::next_in_subtree(t, d, extreme)) {
            bool tried[kChecks] = {};
            for (uint32_t c = t.nodes[d].first_child; c != kNone; c = t.nodes[c].next_sibling) {
                if (t.nodes[c].tag != result_type) continue;
                for (size_t k = 0; k < kChecks; ++k) {
                    if (found[k] != kNone || tried[k] || !xml::complete_text_equals(t, c, kCheckTypes[k]))
                        continue;
                    tried[k] = true;
                    found[k] = path(paths().check_tails[k]).first(d);
                    if (found[k] != kNone) --missing;
                }
            }
        }
        return found;
    }

    // float(element.text)
    nb::object number(uint32_t node) const {
        if (node == kNone) raise_missing("text");
        const Span s = t.nodes[node].text;
        if (s.is_none() || s.is_foreign()) {
            PyObject *r = PyNumber_Float(s.is_none() ? Py_None : t.foreign[s.length].ptr());
            if (!r) raise_pending();
            return nb::steal(r);
        }
        double v;
        if (plain_float(t.view(s), v)) return nb::steal(PyFloat_FromDouble(v));
        nb::object text = t.text_object(s);
        PyObject *r = PyFloat_FromString(text.ptr());
        if (!r) raise_pending();
        return nb::steal(r);
    }
    // element.text
    nb::object text(uint32_t node) const {
        if (node == kNone) raise_missing("text");
        return t.text_object(t.nodes[node].text);
    }
    nb::object tag(uint32_t node) {
        const uint32_t id = t.nodes[node].tag;
        if (!tag_cache[id].is_valid()) tag_cache[id] = t.tag_object(node);
        return tag_cache[id];
    }
    // `not element.text`: no text, an empty one, or (in a tree user code filled) a falsy object.
    bool text_is_empty(uint32_t node) const {
        const Span s = t.nodes[node].text;
        if (s.is_none()) return true;
        if (!s.is_foreign()) return s.length == 0;
        const int truthy = PyObject_IsTrue(t.foreign[s.length].ptr());
        if (truthy < 0) raise_pending();
        return !truthy;
    }
    // element.text equals `value` (a missing text is None, which equals no string).
    bool text_is(uint32_t node, std::string_view value) const {
        const Span s = t.nodes[node].text;
        if (s.is_none()) return false;
        if (s.is_foreign()) {
            nb::str v(value.data(), value.size());
            const int eq = PyObject_RichCompareBool(t.foreign[s.length].ptr(), v.ptr(), Py_EQ);
            if (eq < 0) raise_pending();
            return eq;
        }
        return t.view(s) == value;
    }
};

void set(nb::handle d, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key, value.ptr()) < 0) raise_pending();
}

nb::dict numbers_and_result(Reader &r, uint32_t e, const Name *names, size_t count) {
    nb::dict d;
    const Reader::FirstChildren c = r.first_children(e);
    for (size_t i = 0; i < count; ++i) set(d, name_key(names[i]), r.number(c[names[i]]));
    set(d, KEY("Result"), r.text(c[Result]));
    return d;
}

// ---------------------------------------------------------------------------------------------
// The eight entries

nb::object force_group(Reader &r, uint32_t g) {
    if (g == kNone || !r.t.has_children(g)) return nb::none();
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

nb::object shear_entry(Reader &r, uint32_t e) { return numbers_and_result(r, e, kShear, std::size(kShear)); }
nb::object torsion_entry(Reader &r, uint32_t e) { return numbers_and_result(r, e, kTorsion, std::size(kTorsion)); }
nb::object interaction_entry(Reader &r, uint32_t e) {
    return numbers_and_result(r, e, kInteraction, std::size(kInteraction));
}

nb::object crack_width_entry(Reader &r, uint32_t e) {
    const uint32_t short_e = r.path(paths().crack_short).first(e);
    const uint32_t long_e = r.path(paths().crack_long).first(e);
    auto term = [&](uint32_t el) -> nb::object {
        if (el == kNone) return nb::none();
        nb::dict d;
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
    nb::dict d;
    set(d, KEY("longitudinal"), lv);
    set(d, KEY("shear"), sv);
    set(d, KEY("CheckValue"), r.number(r.child(e, CheckValue)));
    set(d, KEY("CheckValueLongReinf"), lv);
    set(d, KEY("CheckValueShearReinf"), sv);
    set(d, KEY("Result"), r.text(r.child(e, Result)));
    return d;
}

bool is_nan_word(std::string_view s) {
    return s.size() == 3 && (s[0] | 0x20) == 'n' && (s[1] | 0x20) == 'a' && (s[2] | 0x20) == 'n';
}

nb::object stress_limitation_entry(Reader &r, uint32_t e) {
    const Paths &p = paths();
    nb::dict d;
    const std::vector<uint32_t> shorts = r.path(p.stress_short).all(e);
    const std::vector<uint32_t> longs = r.path(p.stress_long).all(e);
    auto summary = [&](const std::vector<uint32_t> &elements) -> nb::object {
        nb::dict s;
        for (uint32_t el : elements) {
            const uint32_t type_check = r.child(el, TypeCheck);
            const uint32_t stress = r.child(el, Stress);
            if (type_check == kNone || stress == kNone) continue;
            nb::object value;
            if (r.text_is_empty(stress)) {
                value = nb::none();  // an empty stress reads as "nan"
            } else {
                value = r.number(stress);
                if (std::isnan(PyFloat_AS_DOUBLE(value.ptr()))) value = nb::none();
            }
            nb::object key = r.text(type_check);
            if (PyDict_SetItem(s.ptr(), key.ptr(), value.ptr()) < 0) raise_pending();
        }
        return PyDict_GET_SIZE(s.ptr()) ? nb::object(s) : nb::none();
    };
    set(d, KEY("short"), summary(shorts));
    set(d, KEY("long"), summary(longs));
    for (size_t i = 0; i < std::size(kStressChecks); ++i) {
        static PyObject *names[std::size(kStressChecks)] = {};
        if (!names[i]) names[i] = PyUnicode_InternFromString(kStressChecks[i]);
        PyObject *name = names[i];
        set(d, name, nb::none());
        nb::object entry = nb::none();
        for (uint32_t el : r.path(p.stress_checks[i]).all(e)) {
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
            const Span st = r.t.nodes[stress].text;
            nb::object stress_value;
            if (r.text_is_empty(stress)) {
                stress_value = nb::none();  // no stress given: like the term summaries
            } else if (st.is_foreign()) {
                nb::object text = r.text(stress);
                nb::object lowered = text.attr("lower")();
                if (nb::str("nan").equal(lowered)) stress_value = nb::none();
                else stress_value = r.number(stress);
            } else {
                stress_value = is_nan_word(r.t.view(st)) ? nb::none() : r.number(stress);
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
    const Span sa = r.t.nodes[a].text, sb = r.t.nodes[b].text;
    if (sa.is_foreign() || sb.is_foreign()) {
        nb::object va = sa.is_none() ? nb::object(nb::str("")) : r.text(a);
        nb::object vb = sb.is_none() ? nb::object(nb::str("")) : r.text(b);
        nb::object outcome = nb::steal(PyObject_RichCompare(va.ptr(), vb.ptr(), Py_EQ));
        if (!outcome.is_valid()) raise_pending();
        const int eq = PyObject_IsTrue(outcome.ptr());
        if (eq < 0) raise_pending();
        return eq;
    }
    return r.t.view(sa) == r.t.view(sb);
}

bool forces_match(Reader &r, uint32_t shear, uint32_t forces) {
    const Paths &p = paths();
    for (size_t i = 0; i < std::size(kForces); ++i) {
        const uint32_t a = r.path(p.any_depth_forces[i]).first(shear);
        if (forces == kNone) raise_missing("findtext");
        const uint32_t b = r.child(forces, kForces[i]);
        if (!same_found_text(r, a, b)) return false;
    }
    return true;
}

nb::object fatigue_entry(Reader &r, uint32_t e) {
    const Paths &p = paths();
    nb::dict d;
    set(d, KEY("fatigue"), nb::dict());
    nb::dict shear;
    set(d, KEY("shear"), shear);
    const uint32_t fmax = r.path(p.fatigue_max).first(e);
    const uint32_t fmin = r.path(p.fatigue_min).first(e);
    nb::dict fat;
    set(fat, KEY("CheckValue"), r.number(r.path(p.fatigue_value).first(e)));
    set(fat, KEY("DecisionMethod"), r.text(r.path(p.fatigue_method).first(e)));
    set(fat, KEY("Result"), r.text(r.path(p.fatigue_result).first(e)));
    set(d, KEY("fatigue"), fat);
    for (uint32_t sh : r.path(p.fatigue_shear).all(e)) {
        if (forces_match(r, sh, fmax)) set(shear, KEY("max"), numbers_and_result(r, sh, kShear, std::size(kShear)));
        if (forces_match(r, sh, fmin)) set(shear, KEY("min"), numbers_and_result(r, sh, kShear, std::size(kShear)));
    }
    return d;
}

// In the order of kCheckTypes.
struct Operation {
    const char *name;
    nb::object (*entry)(Reader &, uint32_t);
};

const Operation kOperations[] = {
    {"capacity", capacity_entry},
    {"shear", shear_entry},
    {"torsion", torsion_entry},
    {"interaction", interaction_entry},
    {"crack_width", crack_width_entry},
    {"detailing", detailing_entry},
    {"stress_limitation", stress_limitation_entry},
    {"fatigue", fatigue_entry},
};
constexpr size_t kOperationCount = std::size(kOperations);
static_assert(kOperationCount == kChecks);

size_t operation(const char *name) {
    for (size_t k = 0; k < kOperationCount; ++k)
        if (std::string_view(kOperations[k].name) == name) return k;
    throw std::logic_error("unknown extraction");
}

// The Reader of the tree read last: the checks of one section share it, and with it the
// lookups of their tags and paths.
struct ReaderCache {
    std::unique_ptr<Reader> reader;
    Reader &of(const Tree &tree) {
        if (!reader || &reader->t != &tree) reader = std::make_unique<Reader>(tree);
        return *reader;
    }
};

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
    for (size_t i = 0; i < count; ++i) {
        nb::dict d;
        for (size_t k = 0; k < kOperationCount; ++k)
            set(d, operation_key(k), nb::handle(PyList_GET_ITEM(lists[k].ptr(), (Py_ssize_t) i)));
        out.append(d);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The class

PyObject *g_section_class = nullptr;       // kept for the life of the process
PyObject *g_init = nullptr;
PyObject *g_element_property = nullptr;
PyObject *g_iter_extremes = nullptr;
PyObject *g_operations[kOperationCount] = {};

bool finds(nb::handle self, PyObject *key, PyObject *original) {
    return finds_original(self, nb::handle(key), nb::handle(original));
}

// The section element as a native tree and node: our own, or a copy of the ElementTree
// element as it is now.
ElementRef section_of(nb::handle self) {
    nb::object raw;
    if (finds(self, KEY("_element"), g_element_property)) {
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
    if (finds(self, KEY("_iter_extreme_results"), g_iter_extremes)) {
        ElementRef s = section_of(self);
        return extremes_of_section(s.tree, s.node);
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

// Like a generator function that delegates to the element's iteration: the section's element
// is looked at only when the first extreme is asked for, and the element's own iteration is
// followed from then on; send, throw and close behave as a generator's.
struct ExtremeIteration {
    nb::object section;  // released once the section's element has been read
    nb::object children;
    bool done = false;
    bool running = false;

    void check_not_running() const {
        if (running) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            raise_pending();
        }
    }

    void finish() {
        done = true;
        nb::object s = std::move(section);
        nb::object c = std::move(children);
    }

    nb::object next() {
        check_not_running();
        running = true;
        struct Unset {
            bool &flag;
            ~Unset() { flag = false; }
        } unset{running};
        if (!done && !children.is_valid()) {
            nb::object s = std::move(section);
            try {
                nb::object extremes = s.attr("_element").attr("find")("ExtremeResults");
                if (extremes.is_none()) done = true;
                else children = nb::iter(extremes);
            } catch (...) {
                done = true;
                throw;
            }
        }
        if (!done) {
            PyObject *item = PyIter_Next(children.ptr());
            if (item) return nb::steal(item);
            finish();
            if (PyErr_Occurred()) raise_pending();
        }
        PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }

    nb::object send(nb::handle value) {
        if (value.is_none()) return next();
        check_not_running();
        if (!done && !children.is_valid()) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            raise_pending();
        }
        if (done) {
            PyErr_SetNone(PyExc_StopIteration);
            throw nb::python_error();
        }
        // Delegation hands a sent value to the element's iterator, which takes none.
        nb::object c = children;
        finish();
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'send'", Py_TYPE(c.ptr())->tp_name);
        raise_pending();
    }

    void throw_in(nb::handle type, nb::handle value, nb::handle traceback) {
        check_not_running();
        nb::object exc = thrown_exception(type, value, traceback);
        // An ended generator raises what was thrown as it is; a live one lets it out.
        if (done) raise(nb::handle((PyObject *) Py_TYPE(exc.ptr())), exc);
        finish();
        raise_out_of_generator(exc);
    }

    void close() {
        check_not_running();
        finish();
    }
};

int iteration_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    ExtremeIteration *it = nb::inst_ptr<ExtremeIteration>(self);
    Py_VISIT(it->section.ptr());
    Py_VISIT(it->children.ptr());
    return 0;
}

int iteration_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<ExtremeIteration>(self)->finish();
    return 0;
}

PyType_Slot iteration_slots[] = {
    {Py_tp_traverse, (void *) iteration_traverse},
    {Py_tp_clear, (void *) iteration_clear},
    {0, nullptr},
};

int section_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    NativeSection *ns = nb::inst_ptr<NativeSection>(self);
    Py_VISIT(ns->etree.ptr());
    return 0;
}

int section_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    nb::object etree = std::move(nb::inst_ptr<NativeSection>(self)->etree);
    return 0;
}

PyType_Slot section_slots[] = {
    {Py_tp_traverse, (void *) section_traverse},
    {Py_tp_clear, (void *) section_clear},
    {0, nullptr},
};

nb::object operation_method(Self self, size_t index) {
    const std::vector<ElementRef> extremes = extremes_of(self);
    TreeLocks locks(extremes);
    return run(index, extremes);
}

nb::object extremes_method(Self self) {
    bool all_ours = true;
    for (size_t k = 0; k < kOperationCount && all_ours; ++k)
        all_ours = finds(self, operation_key(k), g_operations[k]);
    std::vector<nb::list> lists;
    if (all_ours) {
        if (finds(self, KEY("_iter_extreme_results"), g_iter_extremes)) {
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
        return combine(lists);
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

// ---------------------------------------------------------------------------------------------

bool is_native_section(nb::handle obj) { return nb::isinstance<NativeSection>(obj); }

nb::object wrap_native_section(const TreePtr &tree, uint32_t node) {
    return nb::cast(NativeSection{tree, node, {}}, nb::rv_policy::move);
}

nb::object native_section_etree(nb::handle holder) {
    NativeSection &ns = nb::cast<NativeSection &>(holder);
    if (!ns.etree.is_valid()) ns.etree = xml::to_etree(*ns.tree, ns.node);
    return ns.etree;
}

void clear_native_section(nb::handle holder) {
    NativeSection &ns = nb::cast<NativeSection &>(holder);
    xml::clear_when_unread(*ns.tree, ns.node);
    if (ns.etree.is_valid()) {
        nb::object etree = ns.etree;
        etree.attr("clear")();
    }
}

nb::handle section_result_class() { return g_section_class; }

nb::object new_native_section_result(nb::handle id, nb::handle holder) {
    nb::handle cls(g_section_class);
    if (!finds_original(cls, nb::handle(KEY("__init__")), nb::handle(g_init))) return {};
    return cls(id, holder);
}

nb::object extract_native(const char *name, const TreePtr &tree, uint32_t section) {
    const std::vector<ElementRef> extremes = extremes_of_section(tree, section);
    TreeLocks locks(extremes);
    return run(operation(name), extremes);
}

nb::object section_identifier(const Tree &tree, uint32_t section) {
    const uint32_t id = tree.child(section, tree.find_tag("SectionId"));
    if (id == kNone) raise_missing("text");
    nb::object text = tree.text_object(tree.nodes[id].text);
    PyObject *r = PyNumber_Long(text.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

nb::object make_section_result_class(nb::module_ &m, const char *outer_qualname) {
    // For the differential tests of the path subset: the matches of `path` below an
    // ElementTree element, found natively, as the elements themselves.
    FunctionSpec select;
    select.name = "_xml_select";
    select.qualname = "_xml_select";
    select.module = nb::cast<std::string>(m.attr("__name__"));
    select.params = {arg("element"), arg("path"), arg("first")};
    select.impl = [](Arg<"element"> element, Arg<"path"> path_text, Arg<"first"> first) -> nb::object {
        Path path = [&] {
            try {
                return Path(nb::cast<std::string>(path_text));
            } catch (std::invalid_argument &) {
                raise(PyExc_ValueError, "unsupported path");
            }
        }();
        TreePtr tree = xml::from_etree(element);
        nb::list preorder = nb::list(element.attr("iter")());
        nb::list out;
        if (nb::cast<bool>(first)) {
            const uint32_t n = path.first(*tree, 0);
            return n == kNone ? nb::none() : nb::object(preorder[n]);
        }
        for (uint32_t n : path.all(*tree, 0)) out.append(preorder[n]);
        return out;
    };
    m.attr("_xml_select") = make_function(std::move(select));

    nb::class_<NativeSection>(m, "_NativeSection",
                              "A section element of a natively parsed result document.",
                              nb::type_slots(section_slots))
        .def("__reduce_ex__", [](nb::handle self, nb::handle) { return xml::reduce_to(native_section_etree(self)); })
        .def("__deepcopy__", [](nb::handle self, nb::handle memo) {
            return nb::module_::import_("copy").attr("deepcopy")(native_section_etree(self), memo);
        });
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

    nb::class_<ExtremeIteration>(m, "_ExtremeIteration",
                                 "The generator of SectionResult._iter_extreme_results().",
                                 nb::type_slots(iteration_slots))
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](ExtremeIteration &it) { return it.next(); })
        .def("send", [](ExtremeIteration &it, nb::handle value) { return it.send(value); },
             nb::arg("value").none())
        .def("throw", [](ExtremeIteration &it, nb::handle type, nb::handle value, nb::handle tb) {
            it.throw_in(type, value, tb);
        }, nb::arg("typ"), nb::arg("val").none() = nb::none(), nb::arg("tb").none() = nb::none())
        .def("close", [](ExtremeIteration &it) { it.close(); });
    cls.method("_iter_extreme_results", {arg("self")},
               [](Self self) -> nb::object {
                   return nb::cast(ExtremeIteration{nb::borrow(self)}, nb::rv_policy::move);
               },
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
    g_section_class = result.inc_ref().ptr();
    nb::object dict = result.attr("__dict__");
    g_init = nb::object(dict["__init__"]).release().ptr();
    g_element_property = nb::object(dict["_element"]).release().ptr();
    g_iter_extremes = nb::object(dict["_iter_extreme_results"]).release().ptr();
    for (size_t k = 0; k < kOperationCount; ++k)
        g_operations[k] = nb::object(dict[kOperations[k].name]).release().ptr();
    return result;
}

}  // namespace quillon::varenna
