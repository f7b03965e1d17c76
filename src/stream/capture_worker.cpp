// The producer of a live run: reads the stream and keeps only the newest frame in the
// one-slot queue (continuous mode), or grabs one fresh frame whenever the queue is
// empty (on-demand mode). Frame items are (n, frame), n counting read attempts.
#include "live_capture.hpp"

#include "../engine/methods.hpp"
#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"

#include <algorithm>

namespace stream {

namespace {

using engine::global;

// A camera that went away is retried at once, then ever less often, up to every 2 s,
// so an offline camera costs neither a core nor a flood of lines.
double reopen_delay(int consecutive_failures)
{
    if (consecutive_failures <= 1)
        return 0.0;
    double delay = 0.1;
    for (int i = 2; i < consecutive_failures && delay < 2.0; ++i)
        delay *= 2;
    return std::min(delay, 2.0);
}

// The queue may have been emptied by the consumer since `full()`: never wait then.
void drop_oldest(PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    try {
        py::call_method(frame_queue, n.get_nowait);
    } catch (const py::PyErrOccurred&) {
        py::CaughtError error;
        py::Ref empty = py::getattr(global(n.queue).get(), n.Empty);
        if (!error.matches(empty.get()))
            error.reraise();
    }
}

// The capture is released on every way out, also by a worker left behind (rule 7).
class Camera {
public:
    ~Camera()
    {
        if (!camera_ || py::interpreter_finalising())
            return;
        PyObject* error_type, *error_value, *traceback;
        PyErr_Fetch(&error_type, &error_value, &traceback);
        PyObject* result = PyObject_CallMethodObjArgs(camera_.get(), engine::names().release, nullptr);
        if (result == nullptr)
            PyErr_Clear();
        Py_XDECREF(result);
        PyErr_Restore(error_type, error_value, traceback);
    }
    // The new capture is opened before the old one is dropped.
    void reopen(LiveRun& run, PyObject* addr) { camera_ = open_live_capture(run, addr); }
    void release()
    {
        py::Ref camera = std::move(camera_);
        py::call_method(camera.get(), engine::names().release);
    }
    PyObject* get() const noexcept { return camera_.get(); }

private:
    py::Ref camera_;
};

void read_continuously(LiveRun& run, PyObject* addr, PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    long long read_attempts = 0;
    int consecutive_failures = 0;
    Camera camera;
    camera.reopen(run, addr);
    while (!run.stopping()) {
        ++read_attempts;
        LiveRead read = read_live(run, camera.get());
        if (run.stopping())
            break;
        if (!read.ok) {
            engine::print(py::text("rtsp restart...").get());
            if (!run.sleep_unless_stopped(reopen_delay(++consecutive_failures)))
                break;
            camera.reopen(run, addr);
            continue;
        }
        consecutive_failures = 0;
        py::Ref item = py::tuple(py::integer(read_attempts).get(), read.frame.get());
        run.put_unless_stopped([&] {
            if (py::truthy(py::call_method(frame_queue, n.full).get()))
                drop_oldest(frame_queue);
            py::call_method(frame_queue, n.put, item.get());
        });
    }
    camera.release();
}

// A `queue.Queue` is waited on through its own condition, which every `get`
// notifies; a queue of another kind is looked at again every 10 ms.
bool wait_until_empty(LiveRun& run, PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    if (PyObject_IsInstance(frame_queue, engine::module_state().queue_class.get()) == 1) {
        py::Ref not_full = py::getattr(frame_queue, py::text("not_full").get());
        py::Ref qsize = py::getattr(frame_queue, py::text("_qsize").get());
        return run.wait_until_empty(not_full.get(), qsize.get());
    }
    if (PyErr_Occurred())
        throw py::PyErrOccurred();
    while (!py::truthy(py::call_method(frame_queue, n.empty).get()))
        if (!run.sleep_unless_stopped(0.01))
            return false;
    return !run.stopping();
}

void read_on_demand(LiveRun& run, PyObject* addr, PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    long long read_attempts = 0;
    int consecutive_failures = 0;
    while (wait_until_empty(run, frame_queue)) {
        ++read_attempts;
        Camera camera;
        camera.reopen(run, addr);
        LiveRead read = read_live(run, camera.get());
        if (run.stopping())
            return;
        if (read.ok) {
            consecutive_failures = 0;
            py::Ref item = py::tuple(py::integer(read_attempts).get(), read.frame.get());
            run.put_unless_stopped([&] { py::call_method(frame_queue, n.put, item.get()); });
        }
        camera.release();
        if (!read.ok && !run.sleep_unless_stopped(reopen_delay(++consecutive_failures)))
            return;
    }
}

} // namespace

py::Ref video_stream_capture(PyObject* self, PyObject* addr, PyObject* frame_queue, PyObject* mode)
{
    RunShare run(self, frame_queue);
    WorkerPresence presence(*run, Role::capture);
    return run_worker(*run, "capture", [&] {
        py::Ref mode_number = py::to_int(mode);
        if (run->stopping())
            return;
        if (py::equal(mode_number.get(), py::integer(0).get()))
            read_continuously(*run, addr, frame_queue);
        else
            read_on_demand(*run, addr, frame_queue);
    });
}

} // namespace stream
