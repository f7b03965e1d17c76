// The producer of a live run: reads the stream and keeps only the newest frame in the
// one-slot queue (continuous mode), or grabs one fresh frame whenever the queue is
// empty (on-demand mode). Frame items are (n, frame), n counting read attempts.
#include "live_run.hpp"

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

void read_continuously(LiveRun& run, PyObject* addr, PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    long long read_attempts = 0;
    int consecutive_failures = 0;
    py::Ref camera = py::call_method(global(n.cv2).get(), n.VideoCapture, addr);
    while (!run.stopping()) {
        ++read_attempts;
        auto [ret, frame] = py::unpack2(py::call_method(camera.get(), n.read).get());
        if (run.stopping())
            break;
        if (!py::truthy(ret.get())) {
            engine::print(py::text("rtsp restart...").get());
            if (!run.sleep_unless_stopped(reopen_delay(++consecutive_failures)))
                break;
            // The new capture is opened before the old one is dropped.
            camera = py::call_method(global(n.cv2).get(), n.VideoCapture, addr);
            continue;
        }
        consecutive_failures = 0;
        py::Ref item = py::tuple(py::integer(read_attempts).get(), frame.get());
        run.put_unless_stopped([&] {
            if (py::truthy(py::call_method(frame_queue, n.full).get()))
                drop_oldest(frame_queue);
            py::call_method(frame_queue, n.put, item.get());
        });
    }
    py::call_method(camera.get(), n.release);
}

void read_on_demand(LiveRun& run, PyObject* addr, PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    long long read_attempts = 0;
    py::Ref camera;
    for (;;) {
        // The consumer takes frames at its own pace; look again every 10 ms.
        while (!py::truthy(py::call_method(frame_queue, n.empty).get()))
            if (!run.sleep_unless_stopped(0.01))
                return;
        if (run.stopping())
            return;
        ++read_attempts;
        camera = py::call_method(global(n.cv2).get(), n.VideoCapture, addr);
        auto [ret, frame] = py::unpack2(py::call_method(camera.get(), n.read).get());
        if (py::truthy(ret.get())) {
            py::Ref item = py::tuple(py::integer(read_attempts).get(), frame.get());
            run.put_unless_stopped([&] { py::call_method(frame_queue, n.put, item.get()); });
        }
        py::call_method(camera.get(), n.release);
    }
}

} // namespace

py::Ref video_stream_capture(PyObject* self, PyObject* addr, PyObject* frame_queue, PyObject* mode)
{
    RunShare run(self, frame_queue, false);
    WorkerPresence presence(*run, Role::capture);
    return run_worker(*run, "capture", [&] {
        py::Ref mode_number = py::to_int(mode);
        if (py::equal(mode_number.get(), py::integer(0).get()))
            read_continuously(*run, addr, frame_queue);
        else
            read_on_demand(*run, addr, frame_queue);
    });
}

} // namespace stream
