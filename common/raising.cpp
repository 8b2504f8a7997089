// The binder's error protocol: an exception set as the interpreter would set it, then thrown as
// nb::python_error for the native function boundary to hand back as the pending exception; and
// the one translation of a C++ exception into a Python error, which every boundary uses.
#include "binder.hpp"

#include <exception>
#include <new>

namespace quillon::bind {

namespace {

// `raise type(*args)`, as the interpreter executes it.
[[noreturn]] void raise_made(nb::handle type, PyObject *message) {
    if (PyExceptionClass_Check(type.ptr())) {
        PyErr_SetObject(type.ptr(), message);
        throw nb::python_error();
    }
    PyObject *exc = message ? PyObject_CallOneArg(type.ptr(), message) : PyObject_CallNoArgs(type.ptr());
    if (!exc) throw nb::python_error();
    if (!PyExceptionInstance_Check(exc)) {
        Py_DECREF(exc);
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    PyErr_SetObject((PyObject *) Py_TYPE(exc), exc);
    Py_DECREF(exc);
    throw nb::python_error();
}

}  // namespace

void raise(nb::handle type, const std::string &message) {
    nb::str text(message.c_str(), message.size());
    raise_made(type, text.ptr());
}

void raise(nb::handle type, nb::handle message) { raise_made(type, message.ptr()); }

void raise_no_args(nb::handle type) { raise_made(type, nullptr); }

void raise_from(nb::handle type, const std::string &message, nb::handle cause) {
    nb::object exc = type(nb::str(message.c_str(), message.size()));
    if (!PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(exc.ptr(), Py_NewRef(cause.ptr()));
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

nb::object thrown_exception(nb::handle type, nb::handle value, nb::handle traceback) {
    PyObject *tb = traceback.is_valid() && !traceback.is_none() ? traceback.ptr() : nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        throw nb::python_error();
    }
    PyObject *val = value.is_valid() && !value.is_none() ? value.ptr() : nullptr;
    if (PyExceptionInstance_Check(type.ptr())) {
        if (val) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            throw nb::python_error();
        }
        nb::object exc = nb::borrow(type);
        if (tb && PyException_SetTraceback(exc.ptr(), tb) < 0) raise_pending();
        return exc;
    }
    if (!PyExceptionClass_Check(type.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type.ptr())->tp_name);
        throw nb::python_error();
    }
    // The class with its value, made into an instance as the interpreter makes it; an error
    // while making it is what the generator receives instead.
    PyObject *t = Py_NewRef(type.ptr()), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
    PyErr_NormalizeException(&t, &v, &b);
    if (PyErr_Occurred()) {
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(b);
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
    }
    nb::object exc = nb::steal(v);
    Py_XDECREF(t);
    if (b && exc.is_valid()) PyException_SetTraceback(exc.ptr(), b);
    Py_XDECREF(b);
    if (!exc.is_valid() || !PyExceptionInstance_Check(exc.ptr())) raise_pending();
    return exc;
}

void raise_out_of_generator(nb::handle exc, bool started) {
    const bool runs_frame = started || Py_Version < 0x030C0000;
    if (runs_frame && PyObject_TypeCheck(exc.ptr(), (PyTypeObject *) PyExc_StopIteration)) {
        nb::object error = nb::steal(PyObject_CallOneArg(PyExc_RuntimeError, nb::str("generator raised StopIteration").ptr()));
        if (!error.is_valid()) raise_pending();
        PyException_SetCause(error.ptr(), Py_NewRef(exc.ptr()));
        PyException_SetContext(error.ptr(), Py_NewRef(exc.ptr()));
        PyErr_SetObject(PyExc_RuntimeError, error.ptr());
        throw nb::python_error();
    }
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    throw nb::python_error();
}

void raise_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "invalid argument type");
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        // Anything else is a fault of ours, not of the caller's arguments.
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

void translate_in_nanobind(const std::exception_ptr &exception, void *) {
    try {
        std::rethrow_exception(exception);
    } catch (...) {
        set_error_from_current_exception();
    }
}

}  // namespace quillon::bind
