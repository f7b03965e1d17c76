// Attribute names, dictionary keys and constant texts, interned once at import.
#pragma once

#include <Python.h>

#define ENGINE_NAMES(X)                                                                              \
    X(ObjectDetect) X(draw_roi) X(cfg) X(devBehavior) X(os) X(cv2) X(queue) X(threading) X(copy)     \
    X(predict) X(face_handle) X(bev) X(adds) X(load_cfg) X(video_stream_capture) X(process_frames)   \
    X(test) X(cuda) X(activate) X(cache) X(keys) X(append) X(devId) X(main) X(get) X(alarmBehavior)  \
    X(result) X(behavior_number) X(alarm_info_dict) X(info_type) X(roi) X(boxes) X(imread) X(imwrite) \
    X(putText) X(rectangle) X(FONT_HERSHEY_SIMPLEX) X(VideoCapture) X(isOpened) X(read) X(release)   \
    X(path) X(exists) X(isdir) X(mkdir) X(Queue) X(Empty) X(Full) X(maxsize) X(Thread) X(target)     \
    X(args) X(start) X(join) X(full) X(empty) X(put) X(put_nowait) X(get_nowait) X(task_done)         \
    X(timeout)

namespace engine {

struct Names {
#define ENGINE_NAME_MEMBER(name) PyObject* name = nullptr;
    ENGINE_NAMES(ENGINE_NAME_MEMBER)
#undef ENGINE_NAME_MEMBER
    PyObject* register_ = nullptr; // "register", a C++ keyword
};

// Interned at import; they live as long as the process.
const Names& names();
void intern_names();

} // namespace engine
