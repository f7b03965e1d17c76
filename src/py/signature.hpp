// Argument binding for the engine's methods, following the interpreter's rules and
// wording for a `def` with positional-or-keyword parameters, defaults, an optional
// `*args` and keyword-only parameters.
#pragma once

#include "ref.hpp"

#include <string>
#include <vector>

namespace py {

struct Parameter {
    const char* name;
    Ref default_value; // empty: required
};

struct Signature {
    std::string name;     // "load_cfg"
    std::string qualname; // "VisionEngin.load_cfg"
    std::vector<Parameter> positional;
    bool takes_varargs = false;
    std::vector<Parameter> keyword_only;
};

// The bound values, in parameter order: positional ones, then keyword-only ones.
struct BoundArguments {
    std::vector<PyObject*> values; // borrowed from the call or the signature's defaults
    Ref varargs;                   // the `*args` tuple, when the signature has one

    PyObject* operator[](std::size_t index) const { return values[index]; }
};

// Raises TypeError, with the interpreter's message, for a call the `def` would refuse.
BoundArguments bind(const Signature& signature, PyObject* args, PyObject* kwargs);

} // namespace py
