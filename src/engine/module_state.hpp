// What the module keeps for its whole life: its namespace, for the names that hosts
// and tests may rebind (`main.cv2`, `main.ObjectDetect`...), and the built-ins it
// fetched once at import, with the standard queue class.
#pragma once

#include "../py/ref.hpp"

namespace engine {

struct ModuleState {
    py::Ref module_dict;
    py::Ref builtins_dict;
    py::Ref print;
    py::Ref exit;
    py::Ref enumerate;
    py::Ref queue_class; // the standard library's queue.Queue, whatever `queue` is bound to later
};

ModuleState& module_state();

// The value bound to `name` in the module namespace, else among the built-ins, else
// NameError, like a global name in a Python function; looked up at every use.
py::Ref global(PyObject* name);

// print(value) through the built-in fetched at import.
void print(PyObject* value);

} // namespace engine
