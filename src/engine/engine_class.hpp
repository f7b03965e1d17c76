// The `VisionEngin` class, made as Python code would make it.
#pragma once

#include "../py/ref.hpp"

namespace engine {
py::Ref make_engine_class(PyObject* module_name);
}
