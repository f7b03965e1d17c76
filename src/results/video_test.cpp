// Analysis of a video file (or anything `cv2.VideoCapture` opens) into
// "./video_result/": every frame is read, every `t`-th one analysed, and its pictures
// carry the frame's 1-based ordinal.
#include "result_handling.hpp"

#include "../engine/methods.hpp"
#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../py/log.hpp"

namespace results {

py::Ref test_video(PyObject* self, PyObject* addr, PyObject* t, PyObject* bev)
{
    const engine::Names& n = engine::names();
    py::call_method(py::getattr(self, n.adds).get(), n.append, addr);
    py::Ref selection = bev == Py_None ? py::getattr(self, n.bev) : py::Ref::incref(bev);
    py::Ref cfg = py::call_method(self, n.load_cfg, selection.get());
    py::Ref save_path = py::text("./video_result/");
    ensure_result_dir(save_path.get());

    long long analysed = 0; // k: ordinal of the last analysed frame
    long long frames_read = 0;
    py::Ref camera = py::call_method(engine::global(n.cv2).get(), n.VideoCapture, addr);
    bool first_check = true;
    // Each frame is kept until the next read has returned: freed any earlier, its
    // memory goes back to the system and is faulted in again on every frame.
    py::Ref previous_frame;
    while (py::truthy(py::call_method(camera.get(), n.isOpened).get())) {
        first_check = false;
        auto [ret, im] = py::unpack2(py::call_method(camera.get(), n.read).get());
        previous_frame = py::Ref();
        if (!py::truthy(ret.get()))
            break;
        ++frames_read;
        // Only an exact match analyses: a `t` of 0, negative or not a number never does.
        if (py::equal(py::integer(frames_read - analysed).get(), t)) {
            analysed = frames_read;
            handle_result(self, im.get(), cfg.get(), save_path.get(), py::integer(analysed).get());
        }
        previous_frame = std::move(im);
    }
    if (first_check)
        py::log(py::LogLevel::warning, "cannot open the video %r; nothing analysed", addr);
    py::call_method(camera.get(), n.release);
    return py::none();
}

} // namespace results
