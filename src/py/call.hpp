// Calls, attribute access and the few Python idioms the engine needs, each one
// behaving (and failing) as the equivalent line of Python would.
#pragma once

#include "errors.hpp"

#include <utility>

namespace py {

inline Ref getattr(PyObject* object, PyObject* name) { return own(PyObject_GetAttr(object, name)); }

inline void setattr(PyObject* object, PyObject* name, PyObject* value)
{
    require(PyObject_SetAttr(object, name, value));
}

// callable(*args): positional arguments only.
template <class... Args>
Ref call(PyObject* callable, Args... args)
{
    return own(PyObject_CallFunctionObjArgs(callable, static_cast<PyObject*>(args)..., nullptr));
}

// object.name(*args): the attribute is read, then called.
template <class... Args>
Ref call_method(PyObject* object, PyObject* name, Args... args)
{
    return own(PyObject_CallMethodObjArgs(object, name, static_cast<PyObject*>(args)..., nullptr));
}

inline Ref call_with(PyObject* callable, PyObject* args, PyObject* kwargs)
{
    return own(PyObject_Call(callable, args, kwargs));
}

template <class... Args>
Ref tuple(Args... items)
{
    return own(PyTuple_Pack(sizeof...(Args), static_cast<PyObject*>(items)...));
}

inline Ref text(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref integer(long long value) { return own(PyLong_FromLongLong(value)); }
inline Ref floating(double value) { return own(PyFloat_FromDouble(value)); }
inline Ref str(PyObject* object) { return own(PyObject_Str(object)); }
inline Ref add(PyObject* left, PyObject* right) { return own(PyNumber_Add(left, right)); }
inline Ref to_int(PyObject* object) { return own(PyNumber_Long(object)); }
inline Ref item(PyObject* container, PyObject* key) { return own(PyObject_GetItem(container, key)); }

inline bool truthy(PyObject* object) { return require(PyObject_IsTrue(object)) == 1; }

inline bool equal(PyObject* left, PyObject* right)
{
    return require(PyObject_RichCompareBool(left, right, Py_EQ)) == 1;
}

// `for x in iterable:` as a C++ loop: `Iteration it(obj); while (Ref x = it.next()) ...`
class Iteration {
public:
    explicit Iteration(PyObject* iterable) : iterator_(own(PyObject_GetIter(iterable))) {}
    // The next item, or an empty Ref at the end; a failing iterator throws.
    Ref next()
    {
        Ref item = Ref::steal(PyIter_Next(iterator_.get()));
        if (!item && PyErr_Occurred())
            throw PyErrOccurred();
        return item;
    }

private:
    Ref iterator_;
};

// `a, b = value`, with the interpreter's own messages when the count differs.
std::pair<Ref, Ref> unpack2(PyObject* value);

} // namespace py
