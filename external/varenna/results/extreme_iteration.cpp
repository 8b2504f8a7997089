#include "extreme_iteration.hpp"

#include "binder.hpp"

namespace quillon::varenna {

using namespace quillon::bind;

namespace {

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
        const bool delegating = children.is_valid();
        finish();
        // From 3.12 on, `yield from` takes a StopIteration thrown into it as the end of the
        // iteration it delegates to, and the generator then simply ends.
        if (delegating && Py_Version >= 0x030C0000 &&
            PyObject_TypeCheck(exc.ptr(), (PyTypeObject *) PyExc_StopIteration)) {
            PyErr_SetNone(PyExc_StopIteration);
            throw nb::python_error();
        }
        raise_out_of_generator(exc, delegating);
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

}  // namespace

void register_extreme_iteration(nb::module_ &m) {
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
}

nb::object new_extreme_iteration(nb::handle section) {
    return nb::cast(ExtremeIteration{nb::borrow(section)}, nb::rv_policy::move);
}

}  // namespace quillon::varenna
