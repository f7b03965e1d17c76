// A live run: the two workers that share one frame queue, and what lets `stop()`,
// Ctrl-C or a failing worker end both of them.
#pragma once

#include "../py/errors.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace stream {

enum class Role { capture, processing };

class LiveRun {
public:
    LiveRun(PyObject* engine, PyObject* frame_queue, bool driven);

    bool stopping() const noexcept { return stop_requested_.load(); }
    // Ends the run: sleeping workers wake at once, a processing worker waiting for a
    // frame is handed a wake-up item. Needs the GIL.
    void request_stop();
    // A consumer that leaves takes back the wake-up item nobody received, so a
    // caller's own queue is left as the run found it. Needs the GIL.
    void withdraw_wake_up_item();
    void wake_up_item_received() noexcept { wake_up_pending_ = false; }
    // Sleeps without the GIL; false when the run was stopped meanwhile.
    bool sleep_unless_stopped(double seconds);

    // True when `test_rtsp` drives the run: a failing worker then hands its error
    // to the driver and stops the other worker instead of dying alone.
    bool driven() const noexcept { return driven_; }
    // Keeps the first worker error; the later ones are consequences.
    void keep_error(py::CaughtError& error);
    bool has_error() const noexcept { return static_cast<bool>(error_value_); }
    [[noreturn]] void raise_error();

    // Producer side: runs `put_frame` unless the run is stopping, excluded from the
    // wake-up item's insertion so the producer's `put` can never block on it.
    template <class PutFrame>
    bool put_unless_stopped(PutFrame&& put_frame)
    {
        QueueGuard guard(*this);
        if (stopping())
            return false;
        put_frame();
        return true;
    }

    // Which workers are inside the engine: the driver waits on these rather than on
    // the thread objects, whose state a Ctrl-C during join() can leave wrong.
    void worker_entered(Role role);
    void worker_left(Role role);
    // Waits up to `seconds` without the GIL; true once a worker of that role has
    // entered and every one has left.
    bool wait_until_finished(Role role, double seconds);
    bool has_entered(Role role);
    bool has_running_workers();

    PyObject* engine() const noexcept { return engine_.get(); }
    PyObject* frame_queue() const noexcept { return frame_queue_.get(); }

private:
    // Takes `queue_mutex_` with the GIL released, so a thread that holds the mutex
    // and waits for the GIL can always go on.
    class QueueGuard {
    public:
        explicit QueueGuard(LiveRun& run);
        ~QueueGuard() { run_.queue_mutex_.unlock(); }

    private:
        LiveRun& run_;
    };

    py::Ref engine_;
    py::Ref frame_queue_;
    bool driven_;
    bool wake_up_pending_ = false;
    int entered_[2] = {0, 0};
    int running_[2] = {0, 0};
    std::atomic<bool> stop_requested_{false};
    std::mutex queue_mutex_;
    std::mutex sleep_mutex_;
    std::condition_variable wake_;
    py::Ref error_type_, error_value_, error_traceback_;
};

// A worker's presence in its run, for the lifetime of the worker's body.
class WorkerPresence {
public:
    WorkerPresence(LiveRun& run, Role role) : run_(run), role_(role) { run_.worker_entered(role_); }
    ~WorkerPresence() { run_.worker_left(role_); }
    WorkerPresence(const WorkerPresence&) = delete;
    WorkerPresence& operator=(const WorkerPresence&) = delete;

private:
    LiveRun& run_;
    Role role_;
};

// The wake-up item a stopping run puts into its queue.
PyObject* wake_up_item();

// A worker's or the driver's share in the live run of (engine, queue): joins the run
// that is there, or starts one. The run is forgotten when its last holder leaves.
class RunShare {
public:
    RunShare(PyObject* engine, PyObject* frame_queue, bool driven);
    ~RunShare();
    RunShare(const RunShare&) = delete;
    RunShare& operator=(const RunShare&) = delete;
    LiveRun* operator->() const noexcept { return run_.get(); }
    LiveRun& operator*() const noexcept { return *run_; }

private:
    std::shared_ptr<LiveRun> run_;
};

// Stops every live run of `engine`.
void stop_runs(PyObject* engine);

// At interpreter exit: stops every live run and gives the workers up to `seconds` to
// leave, so that no worker is inside the engine or OpenCV when the interpreter ends
// the threads that are still running (daemon threads).
void stop_all_runs_before_exit(double seconds);

// Logs that a worker of a driven run failed; its error reaches the caller later.
void report_worker_failure(const char* worker, PyObject* error);

// A worker body with the run's error handling: called by `test_rtsp`, an error is
// kept for the driver and stops the run; called directly, it propagates.
template <class Body>
py::Ref run_worker(LiveRun& run, const char* worker, Body&& body)
{
    try {
        body();
    } catch (const py::PyErrOccurred&) {
        if (!run.driven())
            throw;
        py::CaughtError error;
        run.keep_error(error);
        run.request_stop();
        report_worker_failure(worker, error.value());
    }
    return py::none();
}

} // namespace stream
