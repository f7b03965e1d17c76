// Opening and reading a live capture with bounded OpenCV calls.
#pragma once

#include "live_run.hpp"

namespace stream {

// cv2.VideoCapture(addr, backend, [open bound, read bound]), whose errors propagate;
// the plain cv2.VideoCapture(addr) where the installed OpenCV has no bounds, and for
// addresses that are not network streams (files, image sequences, camera indices,
// pipelines) and did not open with the bounds: some back ends open those only the
// plain way, and they cannot hang on a network.
py::Ref open_live_capture(LiveRun& run, PyObject* addr);

struct LiveRead {
    py::Ref ret;
    py::Ref frame;
    bool ok;
};

// camera.read(); a read that lasted the whole read bound failed, whatever it returned:
// OpenCV then hands out the frames its decoder still held, one read bound apart.
LiveRead read_live(LiveRun& run, PyObject* camera);

} // namespace stream
