// Native objects that behave as the generator of a generator function: nothing runs before the
// first request, a running one refuses to be entered again, an error ends it, send(), throw()
// and close() do what they do to a generator. The protocol is written here once; a generator
// type `G` derives from Generator<G> and supplies
//
//     nb::object resume();              run on to the next value and return it, or end: finish()
//                                       and stop()
//     nb::object receive(nb::handle);   what a non-None value sent into it does once it has
//                                       started (the default: resume(), the value ignored)
//     void finish();                    release what it holds; it is then done (may run twice)
//     static constexpr bool kDelegates  it hands out another iterator's items, as
//                                       `yield from` does (a thrown StopIteration ends it)
#pragma once

#include "binder.hpp"

#include <cstdint>

namespace quillon::bind {

template <class G>
struct Generator {
    enum class State : uint8_t { Fresh, Suspended, Done };
    State state = State::Fresh;
    bool running = false;

    [[noreturn]] static void stop() {
        PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }

    nb::object next() {
        refuse_if_running();
        if (state == State::Done) stop();
        return run([&] { return self().resume(); });
    }

    nb::object send(nb::handle value) {
        if (value.is_none()) return next();
        refuse_if_running();
        if (state == State::Fresh) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            raise_pending();
        }
        if (state == State::Done) stop();
        return run([&] { return self().receive(value); });
    }

    void throw_in(nb::handle type, nb::handle value, nb::handle traceback) {
        refuse_if_running();
        // Refused arguments leave the generator as it was, as they leave a generator.
        nb::object exc = thrown_exception(type, value, traceback);
        // An ended generator raises what was thrown as it is; a live one lets it out.
        if (state == State::Done) raise(nb::handle((PyObject *) Py_TYPE(exc.ptr())), exc);
        const bool started = state == State::Suspended;
        self().finish();
        // From 3.12 on, `yield from` takes a StopIteration thrown into it as the end of the
        // iteration it delegates to, and the generator then simply ends.
        if (G::kDelegates && started && Py_Version >= 0x030C0000 &&
            PyObject_TypeCheck(exc.ptr(), (PyTypeObject *) PyExc_StopIteration))
            stop();
        raise_out_of_generator(exc, started);
    }

    void close() {
        refuse_if_running();
        if (state != State::Done) self().finish();
    }

    nb::object receive(nb::handle) { return self().resume(); }

private:
    G &self() { return static_cast<G &>(*this); }

    void refuse_if_running() const {
        if (running) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            raise_pending();
        }
    }

    // Runs a step of the generator: it is running meanwhile, and an error (the end included)
    // ends it.
    template <class Step>
    nb::object run(Step &&step) {
        running = true;
        struct Unset {
            bool &flag;
            ~Unset() { flag = false; }
        } unset{running};
        try {
            return step();
        } catch (...) {
            try {
                self().finish();
            } catch (...) {
            }
            throw;
        }
    }
};

// The generator type's class: iteration, send, throw and close as a generator has them, with
// the collector's slots the type brings for what it holds.
template <class G>
nb::class_<G> generator_class(nb::handle scope, const char *name, const char *doc, PyType_Slot *slots) {
    return nb::class_<G>(scope, name, doc, nb::type_slots(slots))
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](G &g) { return g.next(); })
        .def("send", [](G &g, nb::handle value) { return g.send(value); }, nb::arg("value").none())
        .def("throw", [](G &g, nb::handle type, nb::handle value, nb::handle tb) { g.throw_in(type, value, tb); },
             nb::arg("typ"), nb::arg("val").none() = nb::none(), nb::arg("tb").none() = nb::none())
        .def("close", [](G &g) { g.close(); });
}

}  // namespace quillon::bind
