// `test_rtsp`: the result directory, the one-slot queue and the two worker threads,
// joined capture thread first. `stop()`, Ctrl-C or a failing worker end both workers;
// the first worker error is raised here once both threads are gone.
#include "live_run.hpp"

#include "../engine/methods.hpp"
#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../results/result_handling.hpp"

namespace stream {

namespace {

using engine::global;

py::Ref make_thread(PyObject* target, py::Ref args)
{
    const engine::Names& n = engine::names();
    py::Ref keywords = py::own(PyDict_New());
    py::require(PyDict_SetItem(keywords.get(), n.target, target));
    py::require(PyDict_SetItem(keywords.get(), n.args, args.get()));
    py::Ref thread_class = py::getattr(global(n.threading).get(), n.Thread);
    py::Ref no_arguments = py::own(PyTuple_New(0));
    return py::call_with(thread_class.get(), no_arguments.get(), keywords.get());
}

// A signal handler's exception (Ctrl-C's KeyboardInterrupt) stops the run; the first
// one is kept for the caller, who gets it once the workers are gone.
void stop_on_signal(LiveRun& run, std::unique_ptr<py::CaughtError>& interrupt)
{
    auto caught = std::make_unique<py::CaughtError>();
    if (!interrupt)
        interrupt = std::move(caught);
    run.request_stop();
}

bool is_alive(PyObject* thread)
{
    py::Ref method = py::Ref::steal(PyObject_GetAttrString(thread, "is_alive"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::PyErrOccurred();
        PyErr_Clear();
        return false;
    }
    return py::truthy(py::call(method.get()).get());
}

// Waits until the worker of `role` has left the engine, then joins its thread. A
// plain join() would miss a Ctrl-C delivered to another thread, and on some
// interpreters a join() interrupted by Ctrl-C takes a running thread for ended.
void await_worker(PyObject* thread, LiveRun& run, Role role, std::unique_ptr<py::CaughtError>& interrupt)
{
    while (!run.wait_until_finished(role, 0.1)) {
        if (PyErr_CheckSignals() < 0)
            stop_on_signal(run, interrupt);
        else if (!run.has_entered(role) && !is_alive(thread))
            break; // the thread ended without running the worker
    }
    for (;;) {
        try {
            py::call_method(thread, engine::names().join);
            return;
        } catch (const py::PyErrOccurred&) {
            if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
                throw;
            stop_on_signal(run, interrupt);
        }
    }
}

} // namespace

py::Ref test_rtsp(PyObject* self, PyObject* addr, PyObject* mode, PyObject* bev)
{
    const engine::Names& n = engine::names();
    py::Ref selection = bev == Py_None ? py::getattr(self, n.bev) : py::Ref::incref(bev);
    py::Ref cfg = py::call_method(self, n.load_cfg, selection.get());
    py::Ref save_path = py::text("./rtsp_result/");
    results::ensure_result_dir(save_path.get());

    py::Ref queue_class = py::getattr(global(n.queue).get(), n.Queue);
    py::Ref keywords = py::own(PyDict_New());
    py::require(PyDict_SetItem(keywords.get(), n.maxsize, py::integer(1).get()));
    py::Ref no_arguments = py::own(PyTuple_New(0));
    py::Ref frame_queue = py::call_with(queue_class.get(), no_arguments.get(), keywords.get());

    RunShare run(self, frame_queue.get(), true);
    py::Ref capture_thread = make_thread(py::getattr(self, n.video_stream_capture).get(),
                                         py::tuple(addr, frame_queue.get(), mode));
    py::call_method(capture_thread.get(), n.start);

    std::unique_ptr<py::CaughtError> interrupt;
    py::Ref process_thread;
    try {
        process_thread = make_thread(py::getattr(self, n.process_frames).get(),
                                     py::tuple(frame_queue.get(), cfg.get(), save_path.get()));
        py::call_method(process_thread.get(), n.start);
    } catch (const py::PyErrOccurred&) {
        // Without a consumer the capture thread would run on alone.
        py::CaughtError error;
        run->request_stop();
        await_worker(capture_thread.get(), *run, Role::capture, interrupt);
        error.reraise();
    }

    await_worker(capture_thread.get(), *run, Role::capture, interrupt);
    await_worker(process_thread.get(), *run, Role::processing, interrupt);
    if (interrupt)
        interrupt->reraise();
    if (run->has_error())
        run->raise_error();
    return py::none();
}

py::Ref stop(PyObject* self)
{
    stop_runs(self);
    return py::none();
}

} // namespace stream
