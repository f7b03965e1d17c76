// Live runs of the stream pipeline, kept per (engine, queue) so that `stop()` finds
// them and the two workers of one `test_rtsp` find each other.
#include "live_run.hpp"

#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../py/log.hpp"

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include <utility>

namespace stream {

namespace {

struct RegistryEntry {
    std::shared_ptr<LiveRun> run;
    int holders = 0;
};

using RunKey = std::pair<PyObject*, PyObject*>;

// Touched only with the GIL held. The runs keep their engine and queue alive, so a
// key's addresses cannot be reused while it is registered.
std::map<RunKey, RegistryEntry>& registry()
{
    static auto* runs = new std::map<RunKey, RegistryEntry>();
    return *runs;
}

} // namespace

PyObject* wake_up_item()
{
    static PyObject* item = py::own(PyObject_CallObject(reinterpret_cast<PyObject*>(&PyBaseObject_Type), nullptr))
                                .release();
    return item;
}

LiveRun::LiveRun(PyObject* engine, PyObject* frame_queue, bool driven)
    : engine_(py::Ref::incref(engine)), frame_queue_(py::Ref::incref(frame_queue)), driven_(driven)
{
}

LiveRun::QueueGuard::QueueGuard(LiveRun& run) : run_(run)
{
    if (run_.queue_mutex_.try_lock())
        return;
    Py_BEGIN_ALLOW_THREADS
    run_.queue_mutex_.lock();
    Py_END_ALLOW_THREADS
}

void LiveRun::request_stop()
{
    {
        QueueGuard guard(*this);
        if (stop_requested_.exchange(true))
            return;
        bool consumer_waiting;
        {
            std::lock_guard<std::mutex> lock(sleep_mutex_);
            consumer_waiting = running_[static_cast<int>(Role::processing)] > 0;
        }
        if (consumer_waiting) {
            // A full queue already wakes the consumer; otherwise the wake-up item does.
            PyObject* result = PyObject_CallMethodObjArgs(frame_queue_.get(), engine::names().put_nowait,
                                                          wake_up_item(), nullptr);
            wake_up_pending_ = result != nullptr;
            if (result == nullptr)
                PyErr_Clear();
            Py_XDECREF(result);
        }
    }
    std::lock_guard<std::mutex> lock(sleep_mutex_);
    wake_.notify_all();
}

void LiveRun::withdraw_wake_up_item()
{
    const engine::Names& n = engine::names();
    QueueGuard guard(*this);
    if (!wake_up_pending_)
        return;
    wake_up_pending_ = false;
    py::Ref item = py::Ref::steal(PyObject_CallMethodObjArgs(frame_queue_.get(), n.get_nowait, nullptr));
    if (!item) {
        PyErr_Clear(); // empty: the producer took it out already
        return;
    }
    if (!item.is(wake_up_item())) {
        // The producer replaced the wake-up item by a frame: that one stays queued.
        py::call_method(frame_queue_.get(), n.put_nowait, item.get());
    }
    py::call_method(frame_queue_.get(), n.task_done);
}

bool LiveRun::sleep_unless_stopped(double seconds)
{
    bool stopped;
    Py_BEGIN_ALLOW_THREADS
    {
        // Let go of the mutex before taking the GIL back: GIL holders lock it too.
        std::unique_lock<std::mutex> lock(sleep_mutex_);
        stopped = wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping(); });
    }
    Py_END_ALLOW_THREADS
    return !stopped;
}

void LiveRun::worker_entered(Role role)
{
    std::lock_guard<std::mutex> lock(sleep_mutex_);
    ++entered_[static_cast<int>(role)];
    ++running_[static_cast<int>(role)];
}

void LiveRun::worker_left(Role role)
{
    {
        std::lock_guard<std::mutex> lock(sleep_mutex_);
        --running_[static_cast<int>(role)];
    }
    wake_.notify_all();
}

bool LiveRun::has_entered(Role role)
{
    std::lock_guard<std::mutex> lock(sleep_mutex_);
    return entered_[static_cast<int>(role)] > 0;
}

bool LiveRun::has_running_workers()
{
    std::lock_guard<std::mutex> lock(sleep_mutex_);
    return running_[0] > 0 || running_[1] > 0;
}

bool LiveRun::wait_until_finished(Role role, double seconds)
{
    const int index = static_cast<int>(role);
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> lock(sleep_mutex_);
        finished = wake_.wait_for(lock, std::chrono::duration<double>(seconds),
                                  [&] { return entered_[index] > 0 && running_[index] == 0; });
    }
    Py_END_ALLOW_THREADS
    return finished;
}

void LiveRun::keep_error(py::CaughtError& error)
{
    if (error_value_)
        return;
    error_type_ = py::Ref::incref(error.type());
    error_value_ = py::Ref::incref(error.value());
    error_traceback_ = py::Ref::incref(error.traceback());
}

void LiveRun::raise_error()
{
    PyErr_Restore(error_type_.release(), error_value_.release(), error_traceback_.release());
    throw py::PyErrOccurred();
}

RunShare::RunShare(PyObject* engine, PyObject* frame_queue, bool driven)
{
    RegistryEntry& entry = registry()[{engine, frame_queue}];
    if (!entry.run)
        entry.run = std::make_shared<LiveRun>(engine, frame_queue, driven);
    ++entry.holders;
    run_ = entry.run;
}

RunShare::~RunShare()
{
    if (!py::holds_gil())
        return; // a thread ended at interpreter shutdown: the registry is not its to touch
    auto found = registry().find({run_->engine(), run_->frame_queue()});
    if (found != registry().end() && --found->second.holders == 0)
        registry().erase(found);
}

void stop_runs(PyObject* engine)
{
    std::vector<std::shared_ptr<LiveRun>> runs;
    for (auto& [key, entry] : registry())
        if (key.first == engine)
            runs.push_back(entry.run);
    for (auto& run : runs)
        run->request_stop();
}

void stop_all_runs_before_exit(double seconds)
{
    std::vector<std::shared_ptr<LiveRun>> runs;
    for (auto& [key, entry] : registry())
        runs.push_back(entry.run);
    for (auto& run : runs)
        run->request_stop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (auto& run : runs) {
        while (run->has_running_workers() && std::chrono::steady_clock::now() < deadline) {
            // The workers need the GIL to leave.
            Py_BEGIN_ALLOW_THREADS
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            Py_END_ALLOW_THREADS
        }
    }
}

void report_worker_failure(const char* worker, PyObject* error)
{
    try {
        std::string message = std::string("the ") + worker + " worker failed (%r); stopping the live run";
        py::log(py::LogLevel::error, message.c_str(), error);
    } catch (const std::exception&) {
        // The error itself still reaches the caller of test_rtsp.
        PyErr_Clear();
    }
}

} // namespace stream
