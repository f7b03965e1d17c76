// A live run: the two workers that share one frame queue, and what lets `stop()`,
// Ctrl-C or a failing worker end both of them. All the stop protocol lives here.
//
// Rules of the protocol:
//  1. `test_rtsp` registers its run before anything that can let another thread in,
//     so a `stop()` made once `test_rtsp` was entered ends that run. `stop(engine)`
//     stops every registered run of the engine; before any run exists it does nothing.
//  2. Workers do not find each other: the driver hands its run to its two threads by
//     attaching it to the queue it made, which belongs to that run alone; each thread
//     claims one share the driver set aside for it, even once the run is stopping.
//     A worker called directly makes a run of its own for (engine, queue), which a
//     second direct worker on the same engine and queue joins while that run is not
//     stopping. A stopping run may stay registered while its capture leaves an OpenCV
//     call (rule 7); a worker started then (a host restarting on the same queue right
//     after stop()) begins a fresh run beside it, so several runs can share a queue.
//     A consumer of the stopping run still waiting then may take one frame of the
//     fresh run and drop it; the producer's next frame follows.
//  3. The registry and every Python reference are touched only with the GIL held.
//  4. `mutex_` guards the run's flags and counters and nothing else: no Python code
//     runs and nobody waits for the GIL while it is held. Decide under it, act after.
//     A stop from a signal handler, a `__del__` or a queue's own method on any thread
//     therefore never waits for a lock held by its own thread.
//  5. The stop flag is set in one place, `request_stop`, and never cleared.
//  6. The wake-up item ends a consumer's wait for a frame. Only the stop puts it,
//     and only while a consumer waits and the producer is not putting (a producer
//     stopped mid-put wakes the consumer itself, since its frame may not land); the
//     consumer takes it back on every way out, so a caller's queue is left as it was.
//     All runs put the same item: a consumer that receives one its run did not put
//     (another run's on a shared queue) claims it for that run, which then has
//     nothing to take back.
//  7. A capture worker inside a blocking OpenCV call (open, read, both bounded) may
//     be left behind once the run is stopping. When the call returns it sees the
//     stop, releases its capture and leaves, touching nothing else of the run
//     nor of a fresh run on the same queue.
//  8. A forked child forgets every run: their threads are not in it.
#pragma once

#include "../py/errors.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace stream {

enum class Role { capture, processing };

// Bounds of one OpenCV call on a live capture, chosen by measurement: a 1-fps camera
// opens in about 7 s, and 5 s without a frame is a camera gone.
constexpr int open_bound_ms = 10000;
constexpr int read_bound_ms = 5000;

class LiveRun {
public:
    LiveRun(PyObject* engine, PyObject* frame_queue, bool driven);

    bool stopping() const noexcept { return stop_requested_.load(); }
    // Ends the run: sleepers and waiters wake at once, a consumer waiting for a frame
    // gets the wake-up item. Needs the GIL; a Python error other than an ordinary
    // one (KeyboardInterrupt) from the queue propagates.
    void request_stop();
    // Sleeps without the GIL; false when the run was stopped meanwhile.
    bool sleep_unless_stopped(double seconds);

    // True when `test_rtsp` drives the run: a failing worker then hands its error
    // to the driver and stops the other worker instead of dying alone.
    bool driven() const noexcept { return driven_; }
    void keep_error(py::CaughtError& error);
    bool has_error();
    [[noreturn]] void raise_error();

    // Producer side: runs `put_frame` unless the run is stopping (rule 6).
    template <class PutFrame>
    bool put_unless_stopped(PutFrame&& put_frame)
    {
        if (!begin_put())
            return false;
        try {
            put_frame();
        } catch (const py::PyErrOccurred&) {
            py::CaughtError error;
            end_put_quietly();
            error.reraise();
        }
        end_put();
        return true;
    }

    // Consumer side: between these the consumer may be handed the wake-up item.
    void consumer_entered();
    // False when this run had no wake-up item on its way to a consumer.
    bool claim_wake_up_item();
    // Takes back a wake-up item nobody received; called on every way out.
    void consumer_left();

    // On-demand producer: waits on a `queue.Queue`'s own `not_full` condition until
    // the queue is empty; false when the run was stopped meanwhile.
    bool wait_until_empty(PyObject* not_full, PyObject* qsize);

    // Which workers are inside the engine: the driver waits on these rather than on
    // the thread objects, whose state a Ctrl-C during join() can leave wrong.
    void worker_entered(Role role);
    void worker_left(Role role);
    // A capture worker inside a blocking OpenCV call, which rule 7 lets the driver leave.
    void blocking_call(bool inside);
    // Waits up to `seconds` without the GIL; true once a worker of that role has
    // entered and every one has left, or (stopping) every one is in a blocking call.
    bool wait_until_finished(Role role, double seconds);
    bool has_entered(Role role);
    bool left_behind(Role role);
    bool has_running_workers();

    PyObject* engine() const noexcept { return engine_.get(); }
    PyObject* frame_queue() const noexcept { return frame_queue_.get(); }
    void attach_queue(PyObject* frame_queue) { frame_queue_ = py::Ref::incref(frame_queue); }

    // Shares of the registry entry (rule 2); touched with the GIL only.
    int holders = 0;
    int reserved_for_threads = 0;

private:
    enum class WakeUp { none, inserting, received_while_inserting, queued };

    bool begin_put();
    void end_put();
    void end_put_quietly() noexcept;
    void insert_wake_up_item();
    void take_back_wake_up_item();
    void notify_on_demand_waiter();

    py::Ref engine_;
    py::Ref frame_queue_;
    py::Ref on_demand_waiter_; // the not_full condition the producer waits on
    const bool driven_;
    std::atomic<bool> stop_requested_{false};

    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_[2] = {0, 0};
    int running_[2] = {0, 0};
    int blocked_ = 0;
    int consumers_ = 0;
    bool producer_putting_ = false;
    bool stopped_during_put_ = false;
    WakeUp wake_up_ = WakeUp::none;
    std::chrono::steady_clock::time_point stopped_at_;
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

// Marks a capture worker's blocking OpenCV call (rule 7).
class BlockingCall {
public:
    explicit BlockingCall(LiveRun& run) : run_(run) { run_.blocking_call(true); }
    ~BlockingCall() { run_.blocking_call(false); }
    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;

private:
    LiveRun& run_;
};

// The wake-up item a stopping run puts into its queue.
PyObject* wake_up_item();

// A consumer of `receiver` got a wake-up item that run did not put: it is claimed
// for another run of the same queue (rule 6).
void pass_on_stray_wake_up_item(LiveRun& receiver);

// One share in a registered run. The driver's constructor registers a new run at
// once (rule 1); a worker's joins the run of its queue unless that run is stopping
// (rule 2). The run leaves the registry when its last share is dropped.
class RunShare {
public:
    explicit RunShare(PyObject* engine);
    RunShare(PyObject* engine, PyObject* frame_queue);
    ~RunShare();
    RunShare(const RunShare&) = delete;
    RunShare& operator=(const RunShare&) = delete;
    LiveRun* operator->() const noexcept { return run_.get(); }
    LiveRun& operator*() const noexcept { return *run_; }

    // Driver only: sets a share aside for a thread about to start, and gives back
    // the ones whose thread will never claim them.
    void reserve_for_thread();
    void give_back_unclaimed(int count);

private:
    std::shared_ptr<LiveRun> run_;
};

// Stops every live run of `engine`.
void stop_runs(PyObject* engine);

// At interpreter exit, once Python has joined the non-daemon threads (its rule, which
// stays: a host whose main thread ends wants a non-daemon run to go on): stops every
// run left (daemon threads') and gives the workers up to `seconds` to leave, so that
// none is inside the engine or OpenCV when the interpreter ends those threads.
void stop_all_runs_before_exit(double seconds);

// Made at import: the wake-up item and the fork handler (rule 8).
void initialise_live_runs();

// Logs that a worker of a driven run failed; its error reaches the caller later.
void report_worker_failure(const char* worker, PyObject* error);

// A worker body with the run's error handling: called by `test_rtsp`, any error is
// kept for the driver and stops the run; called directly, it propagates.
template <class Body>
py::Ref run_worker(LiveRun& run, const char* worker, Body&& body)
{
    try {
        try {
            body();
        } catch (const std::bad_alloc&) {
            if (!run.driven())
                throw;
            PyErr_NoMemory();
            throw py::PyErrOccurred();
        } catch (const py::PyErrOccurred&) {
            throw;
        } catch (const std::exception& e) {
            if (!run.driven())
                throw;
            PyErr_SetString(PyExc_SystemError, e.what());
            throw py::PyErrOccurred();
        }
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
