// Module-wide state and the lookup of module-level names at each use.
#include "module_state.hpp"

#include "../py/call.hpp"

namespace engine {

ModuleState& module_state()
{
    // Never destroyed: its references must outlive every thread that may still run
    // engine code while the interpreter shuts down.
    static ModuleState* state = new ModuleState();
    return *state;
}

py::Ref global(PyObject* name)
{
    ModuleState& state = module_state();
    PyObject* found = PyDict_GetItemWithError(state.module_dict.get(), name);
    if (found == nullptr && !PyErr_Occurred())
        found = PyDict_GetItemWithError(state.builtins_dict.get(), name);
    if (found == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::PyErrOccurred();
    }
    return py::Ref::incref(found);
}

void print(PyObject* value) { py::call(module_state().print.get(), value); }

} // namespace engine
