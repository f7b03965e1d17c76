// A Python error is a C++ exception between the C API and the one `noexcept`
// boundary of each Python-facing function, where it becomes the interpreter's again.
#pragma once

#include "ref.hpp"

#include <cxxabi.h>
#include <exception>
#include <new>

namespace py {

// Thrown while the interpreter's error indicator is set.
struct PyErrOccurred : std::exception {
    const char* what() const noexcept override { return "a Python exception is set"; }
};

inline PyObject* require(PyObject* result)
{
    if (result == nullptr)
        throw PyErrOccurred();
    return result;
}

inline int require(int rc)
{
    if (rc == -1)
        throw PyErrOccurred();
    return rc;
}

// A new reference from the C API, or an exception when it failed.
inline Ref own(PyObject* result) { return Ref::steal(require(result)); }

[[noreturn]] inline void raise(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    throw PyErrOccurred();
}

[[noreturn]] inline void rethrow() { throw PyErrOccurred(); }

// The exception being handled, taken out of the error indicator and put back
// (or dropped) when it goes out of scope unless restored explicitly.
class CaughtError {
public:
    CaughtError()
    {
        PyErr_Fetch(&type_, &value_, &traceback_);
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_ && value_)
            PyException_SetTraceback(value_, traceback_);
    }
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;
    ~CaughtError()
    {
        if (interpreter_finalising())
            return;
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    PyObject* type() const noexcept { return type_; }
    PyObject* value() const noexcept { return value_; }
    PyObject* traceback() const noexcept { return traceback_; }
    bool matches(PyObject* exc_type) const noexcept
    {
        return type_ && PyErr_GivenExceptionMatches(type_, exc_type);
    }
    // Sets the error indicator again and throws, as a bare `raise` would.
    [[noreturn]] void reraise() noexcept(false)
    {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        throw PyErrOccurred();
    }
    // Makes this error the context of the error now set, as an `except` block does.
    void become_context_of_current() const noexcept;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The one place where C++ exceptions turn back into Python errors. None passes it,
// except the forced unwinding with which the interpreter ends a thread that is still
// running at shutdown: that one must go on through the interpreter's own frames.
template <class Body>
PyObject* boundary(Body&& body)
{
    try {
        return body().release();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const PyErrOccurred&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
        return nullptr;
    }
}

} // namespace py
