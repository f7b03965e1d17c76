// Face enrolment: the picture is read and handed to the detector's face component,
// whose answer is printed for the operator.
#include "methods.hpp"
#include "module_state.hpp"
#include "names.hpp"

#include "../py/call.hpp"
#include "../py/log.hpp"

namespace engine {

py::Ref register_face(PyObject* self, PyObject* addr, PyObject* name)
{
    const Names& n = names();
    py::Ref picture = py::call_method(global(n.cv2).get(), n.imread, addr);
    if (picture.is_none())
        py::log(py::LogLevel::warning, "cannot read the picture %r; registering None", addr);
    py::Ref face_component = py::getattr(self, n.face_handle);
    py::Ref answer = py::call_method(face_component.get(), n.register_, picture.get(), name);
    print(answer.get());
    return py::none();
}

} // namespace engine
