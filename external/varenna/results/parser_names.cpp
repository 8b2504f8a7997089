#include "parser_names.hpp"

#include <string>

namespace quillon::varenna {

namespace checks {

namespace {

nb::object interned(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) bind::raise_pending();
    return nb::steal(s);
}

}  // namespace

Shape::Shape(const std::vector<nb::handle> &keys) {
    nb::dict d;
    for (nb::handle key : keys)
        if (PyDict_SetItem(d.ptr(), key.ptr(), Py_None) < 0) bind::raise_pending();
    template_ = std::move(d);
}

Keys::Keys() {
    for (size_t i = 0; i < NameCount; ++i) name[i] = interned(kNames[i]);
    for (size_t k = 0; k < kCheckCount; ++k) check[k] = interned(kChecks[k].method);
    for (size_t i = 0; i < kStressCheckCount; ++i) stress_check[i] = interned(std::string(kStressChecks[i]).c_str());
    short_term = interned("short");
    long_term = interned("long");
    longitudinal = interned("longitudinal");
    shear = interned("shear");
    fatigue = interned("fatigue");
    decision_method = interned("DecisionMethod");
    max = interned("max");
    min = interned("min");

    auto values_then_result = [&](const auto &names) {
        std::vector<nb::handle> keys;
        for (Name n : names) keys.push_back(name[n]);
        keys.push_back(name[Result]);
        return Shape(keys);
    };
    shear_values = values_then_result(kShear);
    torsion_values = values_then_result(kTorsion);
    interaction_values = values_then_result(kInteraction);
    crack_term = values_then_result(kCrackTerm);
    std::vector<nb::handle> force_keys;
    for (Name n : kForces) force_keys.push_back(name[n]);
    forces = Shape(force_keys);
    detailing = Shape({longitudinal, shear, name[CheckValue], name[CheckValueLongReinf],
                       name[CheckValueShearReinf], name[Result]});
    std::vector<nb::handle> stress_keys(std::begin(stress_check), std::end(stress_check));
    stress_summary = Shape(stress_keys);
    stress_keys.insert(stress_keys.begin(), {short_term, long_term});
    stress_limitation = Shape(stress_keys);
    extremes = Shape(std::vector<nb::handle>(std::begin(check), std::end(check)));
}

}  // namespace checks

namespace {
ParserNames *names = nullptr;
}

ParserNames &parser_names() { return *names; }

void make_parser_names() {
    if (!names) names = new ParserNames();  // never freed: the module's functions use it to the end
}

}  // namespace quillon::varenna
