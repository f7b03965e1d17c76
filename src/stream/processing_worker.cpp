// The consumer of a live run: takes frame items from the queue (waiting up to 5 s
// each, saying "wait..." when none came) and runs the result handling on each, with
// the frame's counter in the file names.
#include "live_run.hpp"

#include "../engine/methods.hpp"
#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../results/result_handling.hpp"

namespace stream {

namespace {

using engine::global;

// One item, or an empty Ref when the 5 s went by without one.
py::Ref next_item(PyObject* frame_queue)
{
    const engine::Names& n = engine::names();
    static PyObject* wait_five_seconds = [] {
        PyObject* keywords = py::own(PyDict_New()).release();
        py::require(PyDict_SetItem(keywords, engine::names().timeout, py::integer(5).get()));
        return keywords;
    }();
    static PyObject* no_arguments = py::own(PyTuple_New(0)).release();
    try {
        py::Ref get = py::getattr(frame_queue, n.get);
        return py::call_with(get.get(), no_arguments, wait_five_seconds);
    } catch (const py::PyErrOccurred&) {
        py::CaughtError error;
        py::Ref empty = py::getattr(global(n.queue).get(), n.Empty);
        if (!error.matches(empty.get()))
            error.reraise();
        return py::Ref();
    }
}

void process(LiveRun& run, PyObject* self, PyObject* frame_queue, PyObject* cfg, PyObject* save_path)
{
    const engine::Names& n = engine::names();
    while (!run.stopping()) {
        py::Ref item = next_item(frame_queue);
        if (!item) {
            if (run.stopping())
                return;
            engine::print(py::text("wait...").get());
            continue;
        }
        if (item.is(wake_up_item()))
            run.wake_up_item_received();
        if (item.is(wake_up_item()) || run.stopping()) {
            py::call_method(frame_queue, n.task_done);
            continue;
        }
        auto [counter, im] = py::unpack2(item.get());
        results::handle_result(self, im.get(), cfg, save_path, counter.get());
        py::call_method(frame_queue, n.task_done);
    }
}

} // namespace

py::Ref process_frames(PyObject* self, PyObject* frame_queue, PyObject* cfg, PyObject* save_path)
{
    RunShare run(self, frame_queue, false);
    WorkerPresence presence(*run, Role::processing);
    return run_worker(*run, "processing", [&] {
        process(*run, self, frame_queue, cfg, save_path);
        run->withdraw_wake_up_item();
    });
}

} // namespace stream
