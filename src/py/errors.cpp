// Exception chaining for errors raised while another one is being handled.
#include "errors.hpp"

namespace py {

void CaughtError::become_context_of_current() const noexcept
{
    if (!value_ || !PyErr_Occurred())
        return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && value != value_) {
        Py_INCREF(value_);
        PyException_SetContext(value, value_);
    }
    PyErr_Restore(type, value, traceback);
}

} // namespace py
