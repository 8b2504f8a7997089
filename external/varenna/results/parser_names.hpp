// What the result side keeps of the interpreter's objects, in one place, made as the module
// sets itself up (never on first use: a static made under the interpreter's lock can wait for
// a thread that waits for the lock): the host names, the classes as made and the originals
// their methods' fast paths look for, and the dictionary keys and shapes of the checks'
// entries.
#pragma once

#include "binder.hpp"
#include "check_table.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace quillon::varenna {

namespace nb = nanobind;
using bind::Original;

namespace checks {

// A dictionary whose keys, and their order, are always the same; the caller sets every key,
// in this order. From six keys on it is made by copying a template that maps them to None:
// the copy takes the template's key table as it stands, and each value set then replaces one
// instead of inserting it (and growing the table twice). A smaller one is cheaper to fill
// from empty.
class Shape {
public:
    Shape() = default;
    explicit Shape(const std::vector<nb::handle> &keys);
    nb::dict make() const {
        PyObject *d = PyDict_GET_SIZE(template_.ptr()) < kCopiedFrom ? PyDict_New() : PyDict_Copy(template_.ptr());
        if (!d) bind::raise_pending();
        return nb::steal<nb::dict>(d);
    }

private:
    static constexpr Py_ssize_t kCopiedFrom = 6;
    nb::object template_;
};

// The keys of the checks' entries, interned, and the shapes of the entries.
struct Keys {
    nb::object name[NameCount];                   // an element name as the key of its value
    nb::object check[kCheckCount];                // a check's method, as the key in extremes()
    nb::object stress_check[kStressCheckCount];
    nb::object short_term, long_term, longitudinal, shear, fatigue, decision_method, max, min;

    Shape shear_values, torsion_values, interaction_values;  // their numbers, then "Result"
    Shape forces, crack_term, detailing, stress_limitation, stress_summary, extremes;

    Keys();
};

}  // namespace checks

struct ParserNames {
    nb::object ParsingError;

    // OutputFileParser's and RcsOutputFileParser's originals.
    nb::object RcsOutputFileParser;
    Original section_class;  // RcsOutputFileParser.SectionResult
    Original root, section_element, element_to_dict;

    // SectionResult's originals.
    Original section_init, element, iter_extremes;
    Original checks[checks::kCheckCount];

    checks::Keys keys;
};

// Made by init_parsers, kept for the life of the process.
ParserNames &parser_names();
void make_parser_names();

}  // namespace quillon::varenna
