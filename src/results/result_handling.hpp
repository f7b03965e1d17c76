// The one step every analysis path runs on a picture: detector call, then one
// annotated copy of the picture written per alarm behaviour.
#pragma once

#include "../py/ref.hpp"

namespace results {

// `frame_number` (borrowed, may be null) goes into the file names of videos and
// streams: "<save_path>/<info type>-<frame number>.jpg"; without it
// "<save_path>/<info type>.jpg".
void handle_result(PyObject* engine, PyObject* im, PyObject* cfg, PyObject* save_path, PyObject* frame_number);

// Makes a result directory that is missing. A run starting at the same time may make
// it first; that counts as success.
void ensure_result_dir(PyObject* save_path);

// Made at import: the constants of the drawing.
void initialise_result_handling();

} // namespace results
