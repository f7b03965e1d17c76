// Opening and reading a live capture with bounded OpenCV calls.
#pragma once

#include "live_run.hpp"

namespace stream {

// cv2.VideoCapture(addr, cv2.CAP_ANY, [open bound, read bound]); the plain
// cv2.VideoCapture(addr) where OpenCV lacks or refuses the bounds, and for addresses
// that are not network streams (files, image sequences, camera indices, pipelines),
// which some back ends open only the plain way and which cannot hang on a network.
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
