// Behaviour selection: the chosen rows of `devBehavior` (the rows themselves, never
// copies) go into the shared `cfg`, which every detector call receives.
#include "methods.hpp"
#include "module_state.hpp"
#include "names.hpp"

#include "../py/call.hpp"

namespace engine {

py::Ref load_cfg(PyObject* self, PyObject* bev_list)
{
    const Names& n = names();
    py::Ref selection = py::own(PyList_New(0));
    py::Iteration keys(bev_list);
    while (py::Ref key = keys.next()) {
        py::Ref row = py::item(global(n.devBehavior).get(), key.get());
        py::require(PyList_Append(selection.get(), row.get()));
    }

    py::Ref cfg = global(n.cfg);
    py::require(PyObject_SetItem(cfg.get(), n.devBehavior, selection.get()));
    // "devId" counts the videos this engine has analysed.
    Py_ssize_t videos = PyObject_Size(py::getattr(self, n.adds).get());
    if (videos < 0)
        throw py::PyErrOccurred();
    py::require(PyObject_SetItem(cfg.get(), n.devId, py::str(py::integer(videos).get()).get()));
    return cfg;
}

} // namespace engine
