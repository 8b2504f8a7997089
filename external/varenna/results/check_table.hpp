// The eight checks of a section, one row each. Everything else about them is derived from the
// rows: the SectionResult methods and their docs, the keys of extremes() and their order,
// OutputFileParser's per-section methods, and what a walk reads ahead for them. A check's
// result type and its method name stand nowhere else in the C++ sources.
//
// A new check is one row and its read function (declared above the rows, defined in
// checks.cpp). Element names it reads that are new join the name list; paths it runs below its
// result element join the lookups (and lookup_text()).
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::xml {
class Tree;
}

namespace quillon::varenna::checks {

namespace nb = nanobind;

// --- the element names the checks read -------------------------------------------------------

enum Name : uint8_t {
    ExtremeResults, SectionId, Fu, Fu1, Fu2, CheckValue, Result,
    Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds,
    Ted, Trdc, Trdmax, Trds, Trd,
    Ned, Medy, Medz, CheckValueShearAndTorsion, CheckValueShearTorsionAndBending,
    N, Qy, Qz, Mx, My, Mz, W, Wlim,
    CheckValueLongReinf, CheckValueShearReinf, Check, TypeCheck, Stress,
    ConcreteCheckResultBase, ResultType,
    NameCount
};
inline constexpr const char *kNames[NameCount] = {
    "ExtremeResults", "SectionId", "Fu", "Fu1", "Fu2", "CheckValue", "Result",
    "Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds",
    "Ted", "Trdc", "Trdmax", "Trds", "Trd",
    "Ned", "Medy", "Medz", "CheckValueShearAndTorsion", "CheckValueShearTorsionAndBending",
    "N", "Qy", "Qz", "Mx", "My", "Mz", "W", "Wlim",
    "CheckValueLongReinf", "CheckValueShearReinf", "Check", "TypeCheck", "Stress",
    "ConcreteCheckResultBase", "ResultType"};

// The names the values of an entry are read from, in the order of their keys.
inline constexpr Name kShear[] = {Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds, CheckValue};
inline constexpr Name kTorsion[] = {Ted, Trdc, Trdmax, Trds, Trd, CheckValue};
inline constexpr Name kInteraction[] = {Ned, Medy, Medz, Ved, Ted, CheckValue,
                                        CheckValueShearAndTorsion, CheckValueShearTorsionAndBending};
inline constexpr Name kCrackTerm[] = {N, My, Mz, W, Wlim, CheckValue};
inline constexpr Name kForces[] = {N, Qy, Qz, Mx, My, Mz};
inline constexpr std::string_view kStressChecks[] = {
    "Check_7_2_2_Concrete_fck", "Check_7_2_3_Concrete_fck", "Check_7_2_5_Tendons_fpk",
    "Check_7_2_5_ReinforcementBars_fyk", "Check_5_10_3_2_Tendons", "Check_5_10_2_1_1_Tendons"};
inline constexpr size_t kStressCheckCount = std::size(kStressChecks);
// The Check texts of the stress-limitation elements of each term, short and long.
inline constexpr std::string_view kStressTerms[] = {"StressLimitationShort", "StressLimitationLong"};

// A set of names, as bits.
using NameSet = uint64_t;
static_assert(NameCount <= 64);
template <class List>
constexpr NameSet names(const List &list) {
    NameSet bits = 0;
    for (Name n : list) bits |= NameSet(1) << n;
    return bits;
}
constexpr NameSet names(std::initializer_list<Name> list) { return names<std::initializer_list<Name>>(list); }

// --- the paths the checks run below their result elements ------------------------------------

// Each belongs to one check, whose row says how it runs.
enum Lookup : uint8_t {
    CrackShort, CrackLong,
    StressShort, StressLong,
    StressOfCheck,  // + i: the elements of kStressChecks[i]
    StressOfCheckLast = StressOfCheck + kStressCheckCount - 1,
    FatigueMax, FatigueMin, FatigueValue, FatigueMethod, FatigueResult,
    FatigueShear,
    ForceBelow,  // + i: kForces[i] at any depth
    ForceBelowLast = ForceBelow + std::size(kForces) - 1,
    LookupCount
};

inline std::string lookup_text(Lookup l) {
    const std::string base = "ConcreteCheckResultBase";
    if (l >= StressOfCheck && l <= StressOfCheckLast)
        return base + "[TypeCheck=\"" + std::string(kStressChecks[l - StressOfCheck]) + "\"]";
    if (l >= ForceBelow && l <= ForceBelowLast) return std::string(".//") + kNames[kForces[l - ForceBelow]];
    const std::string fatigue = base + "[Check=\"Fatigue\"]/";
    switch (l) {
        case CrackShort: return base + "[Check=\"CrackWidthShort\"]";
        case CrackLong: return base + "[Check=\"CrackWidthLong\"]";
        case StressShort: return base + "[Check=\"" + std::string(kStressTerms[0]) + "\"]";
        case StressLong: return base + "[Check=\"" + std::string(kStressTerms[1]) + "\"]";
        case FatigueMax: return fatigue + "InternalForceMax";
        case FatigueMin: return fatigue + "InternalForceMin";
        case FatigueValue: return fatigue + kNames[CheckValue];
        case FatigueMethod: return fatigue + "DecissionMethod";  // sic: as the program spells it
        case FatigueResult: return fatigue + kNames[Result];
        case FatigueShear: return base + "[Check=\"Shear\"]";
        default: throw std::logic_error("a lookup without a path");
    }
}

// The lookups first to last of one check.
struct Lookups {
    uint8_t begin = 0, end = 0;
    constexpr size_t size() const { return end - begin; }
    constexpr bool has(unsigned l) const { return l >= begin && l < end; }
};
constexpr Lookups lookups(Lookup first, Lookup last) { return Lookups{first, uint8_t(last + 1)}; }

// --- the rows --------------------------------------------------------------------------------

struct Reader;
struct TreeNames;

// The check's entry for one extreme, from its result element (which has children).
using Read = nb::object (*)(Reader &, uint32_t element);
// Every match of each of a check's `all` lookups below `element`, found in one pass over its
// children in a tree of strings: out[i] for lookup `all.begin + i`.
using Select = void (*)(const xml::Tree &, const TreeNames &, uint32_t element, std::vector<uint32_t> *out);

nb::object read_capacity(Reader &, uint32_t);
nb::object read_shear(Reader &, uint32_t);
nb::object read_torsion(Reader &, uint32_t);
nb::object read_interaction(Reader &, uint32_t);
nb::object read_crack_width(Reader &, uint32_t);
nb::object read_detailing(Reader &, uint32_t);
nb::object read_stress_limitation(Reader &, uint32_t);
nb::object read_fatigue(Reader &, uint32_t);
void select_stresses(const xml::Tree &, const TreeNames &, uint32_t, std::vector<uint32_t> *);

// OutputFileParser's `<method>_results(section_id)`, for the checks that have one.
struct WholeDocument {
    const char *annotation = nullptr;  // null: no such method
    const char *doc = nullptr;
};

struct CheckRow {
    // The result element of an extreme: the first match of
    // `.//*[ResultType="<type>"]/<tail>` below it.
    std::string_view type;
    const char *tail;
    // The SectionResult method (its key in extremes()), its docstring and return annotation.
    const char *method;
    const char *doc;
    const char *annotation;
    WholeDocument whole;
    // What `read` reads below the result element: the texts of these names as numbers (of
    // children of elements with our names); the first match of each `first` lookup; every
    // match of each `all` lookup and, below each such match, the first match of each
    // `first_below_all` lookup.
    NameSet numbers;
    Lookups first;
    Lookups all;
    Lookups first_below_all;
    Select select = nullptr;  // null: each `all` lookup runs its path
    Read read;
};

inline constexpr const char *kBelowBase = "CheckResults/ConcreteCheckResultBase";
inline constexpr const char *kBelowResults = "CheckResults";
inline constexpr const char *kEntries = "List[Optional[dict]]";

inline constexpr CheckRow kChecks[] = {
    {.type = "Capacity", .tail = kBelowBase, .method = "capacity",
     .doc = "Capacity results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .whole = {"List[Optional[Dict[str, Any]]]", "Capacity results of a section, one entry per extreme."},
     .numbers = names({CheckValue}) | names(kForces),
     .read = read_capacity},
    {.type = "Shear", .tail = kBelowBase, .method = "shear",
     .doc = "Shear results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .whole = {"List[Optional[Dict[str, Any]]]", "Shear results of a section, one entry per extreme."},
     .numbers = names(kShear),
     .read = read_shear},
    {.type = "Torsion", .tail = kBelowBase, .method = "torsion",
     .doc = "Torsion results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .numbers = names(kTorsion),
     .read = read_torsion},
    {.type = "Interaction", .tail = kBelowBase, .method = "interaction",
     .doc = "Interaction results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .numbers = names(kInteraction),
     .read = read_interaction},
    {.type = "CrackWidth", .tail = kBelowResults, .method = "crack_width",
     .doc = "Crack-width results (short and long term), one entry per extreme.",
     .annotation = kEntries,
     .whole = {"List[Optional[Dict[str, Optional[Dict[str, Any]]]]]",
               "Crack-width results of a section, one entry per extreme."},
     .numbers = names(kCrackTerm),
     .first = lookups(CrackShort, CrackLong),
     .read = read_crack_width},
    {.type = "Detailing", .tail = kBelowBase, .method = "detailing",
     .doc = "Detailing results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .whole = {"List[Optional[Dict[str, Optional[float]]]]",
               "Detailing results of a section, one entry per extreme."},
     .numbers = names({CheckValueLongReinf, CheckValueShearReinf, CheckValue}),
     .read = read_detailing},
    {.type = "StressLimitation", .tail = kBelowResults, .method = "stress_limitation",
     .doc = "Stress-limitation results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .whole = {"List[Optional[Dict[str, Optional[float]]]]",
               "Stress-limitation results of a section, one entry per extreme."},
     .numbers = names({Stress, CheckValue}),
     .all = lookups(StressShort, StressOfCheckLast),
     .select = select_stresses,
     .read = read_stress_limitation},
    {.type = "Fatigue", .tail = kBelowResults, .method = "fatigue",
     .doc = "Fatigue results, one entry per extreme (None where there is none).",
     .annotation = kEntries,
     .whole = {"List[Optional[dict]]", "Fatigue results of a section, one entry per extreme."},
     .numbers = names({CheckValue}) | names(kShear),
     .first = lookups(FatigueMax, FatigueResult),
     .all = lookups(FatigueShear, FatigueShear),
     .first_below_all = lookups(ForceBelow, ForceBelowLast),
     .read = read_fatigue},
};

// --- derived from the rows -------------------------------------------------------------------

inline constexpr size_t kCheckCount = std::size(kChecks);

inline constexpr std::array<std::string_view, kCheckCount> kCheckTypes = [] {
    std::array<std::string_view, kCheckCount> types{};
    for (size_t k = 0; k < kCheckCount; ++k) types[k] = kChecks[k].type;
    return types;
}();

// The names any check reads as numbers.
inline constexpr NameSet kNumberNames = [] {
    NameSet bits = 0;
    for (const CheckRow &c : kChecks) bits |= c.numbers;
    return bits;
}();

// The most `all` lookups of one check.
inline constexpr size_t kMostAll = [] {
    size_t most = 0;
    for (const CheckRow &c : kChecks) most = c.all.size() > most ? c.all.size() : most;
    return most;
}();

static_assert([] {
    // Every lookup belongs to one check, once; lookups below the matches of `all` lookups come
    // with some.
    unsigned seen[LookupCount] = {};
    for (const CheckRow &c : kChecks) {
        for (const Lookups &ls : {c.first, c.all, c.first_below_all})
            for (unsigned l = ls.begin; l < ls.end; ++l) ++seen[l];
        if (c.first_below_all.size() && !c.all.size()) return false;
    }
    for (unsigned n : seen)
        if (n != 1) return false;
    return true;
}(), "every lookup belongs to exactly one check");

}  // namespace quillon::varenna::checks
