// Owned references to Python objects. Business code holds every new reference in a
// `Ref`, so a reference is dropped exactly once, also when an exception unwinds.
// Borrowed references stay plain `PyObject*` parameters.
#pragma once

#include <Python.h>

namespace py {

// True once the interpreter has begun to finalise (after the exit hooks). A thread it
// ends then is unwound without the GIL and must not touch reference counts; every
// other holder of a reference holds the GIL when dropping it.
inline bool interpreter_finalising() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref()
    {
        if (p_ != nullptr && !interpreter_finalising())
            Py_DECREF(p_);
    }

    // Takes over a new reference (the usual result of the C API).
    static Ref steal(PyObject* p) noexcept
    {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Takes a reference of its own to a borrowed object.
    static Ref incref(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference back to the caller (usually the interpreter).
    PyObject* release() noexcept
    {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    Ref share() const noexcept { return incref(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    PyObject* p_ = nullptr;
};

inline Ref none() noexcept { return Ref::incref(Py_None); }

} // namespace py
