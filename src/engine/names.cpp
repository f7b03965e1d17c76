// Interning of the engine's names.
#include "names.hpp"

#include "../py/errors.hpp"

namespace engine {

namespace {
Names interned;
}

const Names& names() { return interned; }

void intern_names()
{
#define ENGINE_NAME_INTERN(name)                                                                     \
    if (interned.name == nullptr)                                                                    \
        interned.name = py::require(PyUnicode_InternFromString(#name));
    ENGINE_NAMES(ENGINE_NAME_INTERN)
#undef ENGINE_NAME_INTERN
    if (interned.register_ == nullptr)
        interned.register_ = py::require(PyUnicode_InternFromString("register"));
}

} // namespace engine
