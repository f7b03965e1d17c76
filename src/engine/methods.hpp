// The bodies of the `VisionEngin` methods, after their arguments were bound. Each
// returns the method's result; errors travel as `py::PyErrOccurred`.
#pragma once

#include "../py/ref.hpp"

namespace engine {
py::Ref construct(PyObject* self, PyObject* args, PyObject* test, PyObject* cuda, PyObject* activate,
                  PyObject* cache);
py::Ref load_cfg(PyObject* self, PyObject* bev_list);
py::Ref register_face(PyObject* self, PyObject* addr, PyObject* name);
} // namespace engine

namespace results {
py::Ref test_video(PyObject* self, PyObject* addr, PyObject* t, PyObject* bev);
py::Ref test_pic(PyObject* self, PyObject* addr, PyObject* bev);
} // namespace results

namespace stream {
py::Ref video_stream_capture(PyObject* self, PyObject* addr, PyObject* frame_queue, PyObject* mode);
py::Ref process_frames(PyObject* self, PyObject* frame_queue, PyObject* cfg, PyObject* save_path);
py::Ref test_rtsp(PyObject* self, PyObject* addr, PyObject* mode, PyObject* bev);
py::Ref stop(PyObject* self);
} // namespace stream
