// The element names the checks read and the paths that find their results below an extreme.
#pragma once

#include "xml_path.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::varenna::checks {

namespace nb = nanobind;
using xml::Path;

enum Name : unsigned {
    ExtremeResults, SectionId, Fu, Fu1, Fu2, CheckValue, Result,
    Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds,
    Ted, Trdc, Trdmax, Trds, Trd,
    Ned, Medy, Medz, CheckValueShearAndTorsion, CheckValueShearTorsionAndBending,
    N, Qy, Qz, Mx, My, Mz, W, Wlim,
    CheckValueLongReinf, CheckValueShearReinf, Check, TypeCheck, Stress,
    ConcreteCheckResultBase, ResultType,
    NameCount
};
inline const char *const kNames[NameCount] = {
    "ExtremeResults", "SectionId", "Fu", "Fu1", "Fu2", "CheckValue", "Result",
    "Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds",
    "Ted", "Trdc", "Trdmax", "Trds", "Trd",
    "Ned", "Medy", "Medz", "CheckValueShearAndTorsion", "CheckValueShearTorsionAndBending",
    "N", "Qy", "Qz", "Mx", "My", "Mz", "W", "Wlim",
    "CheckValueLongReinf", "CheckValueShearReinf", "Check", "TypeCheck", "Stress",
    "ConcreteCheckResultBase", "ResultType"};

// The name as an interned Python string (the dictionary key it becomes).
PyObject *name_key(Name n);

inline const Name kShear[] = {Ved, Vrd, Vrdc, Vrdmax, Vrdr, Vrds, CheckValue};
inline const Name kTorsion[] = {Ted, Trdc, Trdmax, Trds, Trd, CheckValue};
inline const Name kInteraction[] = {Ned, Medy, Medz, Ved, Ted, CheckValue, CheckValueShearAndTorsion,
                             CheckValueShearTorsionAndBending};
inline const Name kCrackTerm[] = {N, My, Mz, W, Wlim, CheckValue};
inline const Name kForces[] = {N, Qy, Qz, Mx, My, Mz};
inline constexpr std::string_view kStressChecks[] = {
    "Check_7_2_2_Concrete_fck", "Check_7_2_3_Concrete_fck", "Check_7_2_5_Tendons_fpk",
    "Check_7_2_5_ReinforcementBars_fyk", "Check_5_10_3_2_Tendons", "Check_5_10_2_1_1_Tendons"};

// The elements the stress-limitation paths select below a check's result element: [0] the
// short-term ones, [1] the long-term ones, [2 + i] those of kStressChecks[i].
inline constexpr size_t kStressSelections = 2 + std::size(kStressChecks);
using StressSelections = std::array<std::vector<uint32_t>, kStressSelections>;

// The result element of each check below an extreme: the first match of
// ".//*[ResultType=<type>]/<tail>", in the order of the checks' methods.
inline constexpr size_t kChecks = 8;
inline constexpr std::string_view kCheckTypes[kChecks] = {"Capacity", "Shear", "Torsion", "Interaction",
                                          "CrackWidth", "Detailing", "StressLimitation", "Fatigue"};
inline constexpr size_t kCrackWidthCheck = 4, kStressLimitationCheck = 6, kFatigueCheck = 7;
static_assert(kCheckTypes[kCrackWidthCheck] == "CrackWidth" &&
              kCheckTypes[kStressLimitationCheck] == "StressLimitation" && kCheckTypes[kFatigueCheck] == "Fatigue");
inline const char *const kCheckTails[kChecks] = {
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
            checks.emplace_back(std::string(".//*[ResultType=\"") + std::string(kCheckTypes[k]) + "\"]/" + kCheckTails[k]);
            check_tails.emplace_back(kCheckTails[k]);
        }
        for (std::string_view name : kStressChecks)
            stress_checks.emplace_back(std::string("ConcreteCheckResultBase[TypeCheck=\"") + std::string(name) + "\"]");
        for (Name f : kForces) any_depth_forces.emplace_back(std::string(".//") + kNames[f]);
    }
};

const Paths &paths();

}  // namespace quillon::varenna::checks
