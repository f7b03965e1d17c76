// The registry of live runs (rules 1, 2 and 8 of live_run.hpp): how the driver, its
// workers and stop() find a run, and what is left of the runs at exit and after fork.
#include "live_run.hpp"

#include "../py/errors.hpp"
#include "../py/gil.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace stream {

namespace {

using Registry = std::vector<std::shared_ptr<LiveRun>>;

// Made at import and replaced (the old one leaked) in a forked child: its runs'
// mutexes may be locked by threads the child does not have.
Registry* registry = nullptr;
PyObject* the_wake_up_item = nullptr;

void forget_runs_in_child() { registry = new Registry(); }

} // namespace

void initialise_live_runs()
{
    if (registry != nullptr)
        return;
    the_wake_up_item = py::own(PyObject_CallObject(reinterpret_cast<PyObject*>(&PyBaseObject_Type), nullptr))
                           .release();
    registry = new Registry();
    pthread_atfork(nullptr, nullptr, forget_runs_in_child);
}

PyObject* wake_up_item() { return the_wake_up_item; }

RunShare::RunShare(PyObject* engine) : run_(std::make_shared<LiveRun>(engine, Py_None, true))
{
    run_->holders = 1;
    registry->push_back(run_);
}

RunShare::RunShare(PyObject* engine, PyObject* frame_queue)
{
    for (auto& run : *registry) {
        if (run->frame_queue() != frame_queue || frame_queue == Py_None ||
            (!run->driven() && run->engine() != engine))
            continue;
        if (run->stopping() && run->reserved_for_threads == 0)
            continue; // its workers are leaving: a worker starting now begins a run of its own
        run_ = run;
        if (run->reserved_for_threads > 0)
            --run->reserved_for_threads; // the share the driver set aside for this thread
        else
            ++run->holders;
        return;
    }
    run_ = std::make_shared<LiveRun>(engine, frame_queue, false);
    run_->holders = 1;
    registry->push_back(run_);
}

RunShare::~RunShare()
{
    if (py::interpreter_finalising())
        return; // a thread ended at interpreter shutdown: the registry is not its to touch
    give_back_unclaimed(0);
}

void RunShare::reserve_for_thread()
{
    ++run_->holders;
    ++run_->reserved_for_threads;
}

void RunShare::give_back_unclaimed(int count)
{
    // count == 0: this share itself.
    int dropped = count == 0 ? 1 : std::min(count, run_->reserved_for_threads);
    if (count > 0)
        run_->reserved_for_threads -= dropped;
    run_->holders -= dropped;
    if (run_->holders == 0) {
        auto found = std::find(registry->begin(), registry->end(), run_);
        if (found != registry->end())
            registry->erase(found);
    }
}

void pass_on_stray_wake_up_item(LiveRun& receiver)
{
    for (auto& run : *registry)
        if (run.get() != &receiver && run->frame_queue() == receiver.frame_queue() && run->claim_wake_up_item())
            return;
}

void stop_runs(PyObject* engine)
{
    std::vector<std::shared_ptr<LiveRun>> runs;
    for (auto& run : *registry)
        if (run->engine() == engine)
            runs.push_back(run);
    for (auto& run : runs)
        run->request_stop();
}

void stop_all_runs_before_exit(double seconds)
{
    std::vector<std::shared_ptr<LiveRun>> runs(registry->begin(), registry->end());
    for (auto& run : runs)
        run->request_stop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (auto& run : runs) {
        while (run->has_running_workers() && std::chrono::steady_clock::now() < deadline) {
            py::AllowThreads released; // the workers need the GIL to leave
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

} // namespace stream
