// Construction of an engine: the detector is built once and kept with its face
// component, the default behaviour selection and the list of videos analysed.
#include "methods.hpp"
#include "module_state.hpp"
#include "names.hpp"

#include "../py/call.hpp"
#include "../py/log.hpp"

namespace engine {

namespace {

void build(PyObject* self, PyObject* args, PyObject* test, PyObject* cuda, PyObject* activate, PyObject* cache)
{
    const Names& n = names();
    py::Ref detector_class = global(n.ObjectDetect);
    py::Ref keywords = py::own(PyDict_New());
    py::require(PyDict_SetItem(keywords.get(), n.test, test));
    py::require(PyDict_SetItem(keywords.get(), n.cuda, cuda));
    py::require(PyDict_SetItem(keywords.get(), n.activate, activate));
    py::require(PyDict_SetItem(keywords.get(), n.cache, cache));
    py::setattr(self, n.predict, py::call_with(detector_class.get(), args, keywords.get()).get());

    py::Ref detector = py::getattr(self, n.predict);
    py::setattr(self, n.face_handle, py::getattr(detector.get(), n.face_handle).get());
    py::setattr(self, n.bev, py::call_method(global(n.devBehavior).get(), n.keys).get());
    py::setattr(self, n.adds, py::own(PyList_New(0)).get());
}

} // namespace

py::Ref construct(PyObject* self, PyObject* args, PyObject* test, PyObject* cuda, PyObject* activate,
                  PyObject* cache)
{
    try {
        build(self, args, test, cuda, activate, cache);
    } catch (const py::PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        py::CaughtError cause;
        try {
            print(py::text("init failed").get());
            py::log_error_with_cause("init failed: %r", cause.value(), cause.type(), cause.value(),
                                     cause.traceback());
            // A host that ends here must see a failure, not a clean exit.
            py::call(module_state().exit.get(), py::integer(1).get());
        } catch (const py::PyErrOccurred&) {
            cause.become_context_of_current();
            throw;
        }
    }
    return py::none();
}

} // namespace engine
