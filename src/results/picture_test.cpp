// Analysis of one picture file into "./pic_result/".
#include "result_handling.hpp"

#include "../engine/methods.hpp"
#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../py/log.hpp"

namespace results {

py::Ref test_pic(PyObject* self, PyObject* addr, PyObject* bev)
{
    const engine::Names& n = engine::names();
    py::Ref selection = bev == Py_None ? py::getattr(self, n.bev) : py::Ref::incref(bev);
    py::Ref cfg = py::call_method(self, n.load_cfg, selection.get());
    py::Ref save_path = py::text("./pic_result/");
    ensure_result_dir(save_path.get());

    py::Ref im = py::call_method(engine::global(n.cv2).get(), n.imread, addr);
    if (im.is_none())
        py::log(py::LogLevel::warning, "cannot read the picture %r; analysing None", addr);
    handle_result(self, im.get(), cfg.get(), save_path.get(), nullptr);
    return py::none();
}

} // namespace results
