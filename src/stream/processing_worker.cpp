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
    try {
        py::Ref get = py::getattr(frame_queue, n.get);
        py::Ref no_arguments = py::own(PyTuple_New(0));
        py::Ref keywords = py::own(PyDict_New());
        py::require(PyDict_SetItem(keywords.get(), n.timeout, py::integer(5).get()));
        return py::call_with(get.get(), no_arguments.get(), keywords.get());
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
        if (item.is(wake_up_item()) && !run.claim_wake_up_item())
            pass_on_stray_wake_up_item(run);
        if (item.is(wake_up_item()) || run.stopping()) {
            py::call_method(frame_queue, n.task_done);
            continue;
        }
        auto [counter, im] = py::unpack2(item.get());
        results::handle_result(self, im.get(), cfg, save_path, counter.get());
        py::call_method(frame_queue, n.task_done);
    }
}

// Every way out of the consumer takes back the wake-up item nobody received; the
// error that ended it is the one that counts.
template <class Body>
void as_consumer(LiveRun& run, Body&& body)
{
    run.consumer_entered();
    try {
        body();
    } catch (const py::PyErrOccurred&) {
        py::CaughtError error;
        try {
            run.consumer_left();
        } catch (const py::PyErrOccurred&) {
            PyErr_Clear();
        }
        error.reraise();
    } catch (const abi::__forced_unwind&) {
        throw; // a thread ended at shutdown, without the GIL
    } catch (...) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            run.consumer_left();
        } catch (const py::PyErrOccurred&) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
        throw;
    }
    run.consumer_left();
}

} // namespace

py::Ref process_frames(PyObject* self, PyObject* frame_queue, PyObject* cfg, PyObject* save_path)
{
    RunShare run(self, frame_queue);
    WorkerPresence presence(*run, Role::processing);
    return run_worker(*run, "processing", [&] {
        as_consumer(*run, [&] { process(*run, self, frame_queue, cfg, save_path); });
    });
}

} // namespace stream
