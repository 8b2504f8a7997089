#include "extreme_iteration.hpp"

#include "binder.hpp"
#include "native_generator.hpp"

namespace quillon::varenna {

using namespace quillon::bind;

namespace {

// Like a generator function that delegates to the element's iteration: the section's element
// is looked at only when the first extreme is asked for, and the element's own iteration is
// followed from then on.
struct ExtremeIteration : Generator<ExtremeIteration> {
    static constexpr bool kDelegates = true;
    nb::object section;  // released once the section's element has been read
    nb::object children;

    explicit ExtremeIteration(nb::object s) : section(std::move(s)) {}

    void finish() {
        state = State::Done;
        nb::object s = std::move(section);
        nb::object c = std::move(children);
    }

    nb::object resume() {
        if (state == State::Fresh) {
            nb::object s = std::move(section);
            nb::object extremes = s.attr("_element").attr("find")("ExtremeResults");
            if (extremes.is_none()) stop();
            children = nb::iter(extremes);
            state = State::Suspended;
        }
        PyObject *item = PyIter_Next(children.ptr());
        if (item) return nb::steal(item);
        if (PyErr_Occurred()) raise_pending();
        stop();
    }

    // Delegation hands a sent value to the element's iterator, which takes none.
    nb::object receive(nb::handle) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'send'", Py_TYPE(children.ptr())->tp_name);
        raise_pending();
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

}  // namespace

void register_extreme_iteration(nb::module_ &m) {
    generator_class<ExtremeIteration>(m, "_ExtremeIteration",
                                      "The generator of SectionResult._iter_extreme_results().",
                                      iteration_slots);
}

nb::object new_extreme_iteration(nb::handle section) {
    return nb::cast(ExtremeIteration(nb::borrow(section)), nb::rv_policy::move);
}

}  // namespace quillon::varenna
