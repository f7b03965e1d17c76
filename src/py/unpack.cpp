// Two-value unpacking, as `a, b = value` does it.
#include "call.hpp"

namespace py {

namespace {

Ref next_of(PyObject* iterator)
{
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred())
        throw PyErrOccurred();
    return item;
}

[[noreturn]] void not_enough(int got)
{
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    throw PyErrOccurred();
}

} // namespace

std::pair<Ref, Ref> unpack2(PyObject* value)
{
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2)
        return {Ref::incref(PyTuple_GET_ITEM(value, 0)), Ref::incref(PyTuple_GET_ITEM(value, 1))};

    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        throw PyErrOccurred();
    }
    Ref first = next_of(iterator.get());
    if (!first)
        not_enough(0);
    Ref second = next_of(iterator.get());
    if (!second)
        not_enough(1);
    if (next_of(iterator.get()))
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(first), std::move(second)};
}

} // namespace py
