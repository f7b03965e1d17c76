// `test_rtsp`: the result directory, the one-slot queue and the two worker threads,
// waited for capture thread first. `stop()`, Ctrl-C or a failing worker end both
// workers; one cleanup guard stops and waits for every thread started, whatever way
// `test_rtsp` is left, and the first error is raised once they are gone.
#include "live_run.hpp"

#include "../engine/methods.hpp"
#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../results/result_handling.hpp"

#include <vector>

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

// The run's threads and the errors met on the way out. Every way out of `test_rtsp`
// goes through `finish`, which stops the run and waits for each thread started.
class Driver {
public:
    explicit Driver(RunShare& run) : run_(run) {}

    void start(Role role, PyObject* target, py::Ref args)
    {
        py::Ref thread = make_thread(target, std::move(args));
        run_.reserve_for_thread();
        threads_.push_back({std::move(thread), role});
        py::call_method(threads_.back().thread.get(), engine::names().start);
    }

    // The error now set: the first one is raised in the end.
    void keep_error()
    {
        auto caught = std::make_unique<py::CaughtError>();
        if (!error_)
            error_ = std::move(caught);
    }

    // After an error the run is stopped; otherwise it goes on until stop(), Ctrl-C or
    // a failing worker stops it.
    void finish()
    {
        if (error_)
            stop();
        for (Thread& thread : threads_)
            await(thread);
    }

    py::Ref outcome()
    {
        if (error_)
            error_->reraise();
        if (run_->has_error())
            run_->raise_error();
        return py::none();
    }

private:
    struct Thread {
        py::Ref thread;
        Role role;
    };

    void stop()
    {
        try {
            run_->request_stop();
        } catch (const py::PyErrOccurred&) {
            keep_error();
        }
    }

    // Unknown (an error from is_alive) counts as ended once the worker had a second
    // to show up: one that enters later finds its run stopped and leaves.
    // True while the worker is in the engine or its thread may still bring it there.
    bool may_still_enter(Thread& thread, int waited_slices)
    {
        if (run_->has_entered(thread.role))
            return true;
        PyObject* alive = PyObject_CallMethod(thread.thread.get(), "is_alive", nullptr);
        if (alive == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return false; // a thread object without is_alive(): nothing runs on it
        }
        if (alive == nullptr) {
            keep_error();
            stop();
            return waited_slices < 10;
        }
        int result = PyObject_IsTrue(alive);
        Py_DECREF(alive);
        if (result < 0) {
            keep_error();
            return waited_slices < 10;
        }
        return result == 1;
    }

    // Waits until the worker has left the engine (or was left behind in a bounded
    // OpenCV call), then joins its thread. A plain join() would miss a Ctrl-C
    // delivered to another thread, and on some interpreters a join() interrupted by
    // Ctrl-C takes a running thread for ended.
    void await(Thread& thread)
    {
        for (int slices = 0; !run_->wait_until_finished(thread.role, 0.1); ++slices) {
            if (PyErr_CheckSignals() < 0) {
                keep_error();
                stop();
            } else if (!may_still_enter(thread, slices)) {
                run_.give_back_unclaimed(1);
                return;
            }
        }
        if (run_->left_behind(thread.role))
            return; // it leaves by itself when its OpenCV call ends
        for (;;) {
            PyObject* result = PyObject_CallMethodObjArgs(thread.thread.get(), engine::names().join, nullptr);
            if (result != nullptr) {
                Py_DECREF(result);
                return;
            }
            bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
            keep_error();
            stop();
            if (!interrupted)
                return;
        }
    }

    RunShare& run_;
    std::vector<Thread> threads_;
    std::unique_ptr<py::CaughtError> error_;
};

void run_pipeline(PyObject* self, PyObject* addr, PyObject* mode, PyObject* bev, RunShare& run, Driver& driver)
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
    run->attach_queue(frame_queue.get());
    if (run->stopping())
        return;

    driver.start(Role::capture, py::getattr(self, n.video_stream_capture).get(),
                 py::tuple(addr, frame_queue.get(), mode));
    driver.start(Role::processing, py::getattr(self, n.process_frames).get(),
                 py::tuple(frame_queue.get(), cfg.get(), save_path.get()));
}

} // namespace

py::Ref test_rtsp(PyObject* self, PyObject* addr, PyObject* mode, PyObject* bev)
{
    RunShare run(self); // first: a stop() from here on ends this run
    Driver driver(run);
    try {
        run_pipeline(self, addr, mode, bev, run, driver);
    } catch (const py::PyErrOccurred&) {
        driver.keep_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        driver.keep_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        driver.keep_error();
    }
    driver.finish();
    return driver.outcome();
}

py::Ref stop(PyObject* self)
{
    stop_runs(self);
    return py::none();
}

} // namespace stream
