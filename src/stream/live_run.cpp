// The live-run protocol of live_run.hpp: the stop, the wake-up item and the waits. Its rules are written at the top of the header.
#include "live_run.hpp"

#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../py/gil.hpp"
#include "../py/log.hpp"

#include <chrono>
#include <string>

namespace stream {

namespace {

std::chrono::duration<double> secs(double seconds) { return std::chrono::duration<double>(seconds); }

int index(Role role) { return static_cast<int>(role); }

} // namespace


LiveRun::LiveRun(PyObject* engine, PyObject* frame_queue, bool driven)
    : engine_(py::Ref::incref(engine)), frame_queue_(py::Ref::incref(frame_queue)), driven_(driven)
{
}

void LiveRun::request_stop()
{
    bool insert;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_requested_.exchange(true))
            return;
        stopped_at_ = std::chrono::steady_clock::now();
        stopped_during_put_ = producer_putting_;
        insert = consumers_ > 0 && !producer_putting_ && wake_up_ == WakeUp::none;
        if (insert)
            wake_up_ = WakeUp::inserting;
    }
    changed_.notify_all();
    if (insert)
        insert_wake_up_item();
    notify_on_demand_waiter();
}

void LiveRun::insert_wake_up_item()
{
    bool queued = true;
    std::unique_ptr<py::CaughtError> failure;
    try {
        py::call_method(frame_queue_.get(), engine::names().put_nowait, wake_up_item());
    } catch (const py::PyErrOccurred&) {
        queued = false;
        failure = std::make_unique<py::CaughtError>();
        if (failure->matches(PyExc_Exception))
            failure.reset(); // full: the consumer has a frame to wake it
    }
    bool take_back = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wake_up_ == WakeUp::received_while_inserting || !queued)
            wake_up_ = WakeUp::none;
        else if (consumers_ == 0)
            take_back = true; // the consumer left meanwhile
        else
            wake_up_ = WakeUp::queued;
        if (take_back)
            wake_up_ = WakeUp::none;
    }
    if (take_back)
        take_back_wake_up_item();
    if (failure)
        failure->reraise();
}

void LiveRun::take_back_wake_up_item()
{
    const engine::Names& n = engine::names();
    py::Ref item = py::Ref::steal(PyObject_CallMethodObjArgs(frame_queue_.get(), n.get_nowait, nullptr));
    if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw py::PyErrOccurred();
        PyErr_Clear(); // empty: the producer took it out already
        return;
    }
    if (!item.is(wake_up_item())) {
        // The producer replaced the wake-up item by a frame: that one stays queued,
        // unless the producer of a fresh run on the queue put a newer one meanwhile.
        PyObject* put = PyObject_CallMethodObjArgs(frame_queue_.get(), n.put_nowait, item.get(), nullptr);
        if (put == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                throw py::PyErrOccurred();
            PyErr_Clear();
            py::call_method(frame_queue_.get(), n.task_done); // that frame is done with
        }
        Py_XDECREF(put);
    }
    py::call_method(frame_queue_.get(), n.task_done);
}

void LiveRun::consumer_entered()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++consumers_;
}

bool LiveRun::claim_wake_up_item()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (wake_up_ == WakeUp::none || wake_up_ == WakeUp::received_while_inserting)
        return false;
    wake_up_ = wake_up_ == WakeUp::inserting ? WakeUp::received_while_inserting : WakeUp::none;
    return true;
}

void LiveRun::consumer_left()
{
    bool take_back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --consumers_;
        take_back = wake_up_ == WakeUp::queued;
        if (take_back)
            wake_up_ = WakeUp::none;
    }
    if (take_back)
        take_back_wake_up_item();
}

bool LiveRun::begin_put()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping())
        return false;
    producer_putting_ = true;
    return true;
}

void LiveRun::end_put()
{
    bool insert;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        producer_putting_ = false;
        // The frame may already be taken by a consumer that then went back to waiting.
        insert = stopped_during_put_ && consumers_ > 0 && wake_up_ == WakeUp::none;
        stopped_during_put_ = false;
        if (insert)
            wake_up_ = WakeUp::inserting;
    }
    if (insert)
        insert_wake_up_item();
}

void LiveRun::end_put_quietly() noexcept
{
    try {
        end_put();
    } catch (const py::PyErrOccurred&) {
        PyErr_Clear(); // the producer's own error is the one that counts
    }
}

bool LiveRun::wait_until_empty(PyObject* not_full, PyObject* qsize)
{
    on_demand_waiter_ = py::Ref::incref(not_full);
    py::Ref wait = py::getattr(not_full, py::text("wait").get());
    py::Ref slice = py::floating(2.0); // only a stop that could not notify needs it
    py::call_method(not_full, py::text("__enter__").get());
    try {
        while (!stopping() && py::truthy(py::call(qsize).get()))
            py::call(wait.get(), slice.get());
    } catch (const py::PyErrOccurred&) {
        py::CaughtError error;
        PyObject* none = Py_None;
        PyObject* result = PyObject_CallMethodObjArgs(not_full, py::text("__exit__").get(), none, none, none, nullptr);
        if (result == nullptr)
            PyErr_Clear();
        Py_XDECREF(result);
        error.reraise();
    }
    py::call_method(not_full, py::text("__exit__").get(), Py_None, Py_None, Py_None);
    return !stopping();
}

void LiveRun::notify_on_demand_waiter()
{
    if (!on_demand_waiter_)
        return;
    py::Ref condition = on_demand_waiter_.share();
    // Not blocking for good: a signal handler may run this on the thread that holds
    // the condition's lock, which then sees the stop before it waits again.
    py::Ref acquired = py::call_method(condition.get(), py::text("acquire").get(), Py_True, py::floating(0.1).get());
    if (!py::truthy(acquired.get()))
        return;
    try {
        py::call_method(condition.get(), py::text("notify_all").get());
    } catch (const py::PyErrOccurred&) {
        py::CaughtError error;
        PyObject* result = PyObject_CallMethod(condition.get(), "release", nullptr);
        if (result == nullptr)
            PyErr_Clear();
        Py_XDECREF(result);
        error.reraise();
    }
    py::call_method(condition.get(), py::text("release").get());
}

bool LiveRun::sleep_unless_stopped(double seconds)
{
    py::AllowThreads released;
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, secs(seconds), [this] { return stopping(); });
}

void LiveRun::worker_entered(Role role)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++entered_[index(role)];
    ++running_[index(role)];
}

void LiveRun::worker_left(Role role)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_[index(role)];
    }
    changed_.notify_all();
}

void LiveRun::blocking_call(bool inside)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocked_ += inside ? 1 : -1;
    }
    changed_.notify_all();
}

bool LiveRun::has_entered(Role role)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entered_[index(role)] > 0;
}

bool LiveRun::left_behind(Role role)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return role == Role::capture && running_[index(role)] > 0;
}

bool LiveRun::has_running_workers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_[0] > 0 || running_[1] > 0;
}

bool LiveRun::wait_until_finished(Role role, double seconds)
{
    const int i = index(role);
    py::AllowThreads released;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, secs(seconds), [&] {
        if (entered_[i] > 0 && running_[i] == 0)
            return true;
        // An ordinary read ends well within the grace; only a hung call is left behind.
        return role == Role::capture && stopping() && running_[i] > 0 && running_[i] == blocked_ &&
               std::chrono::steady_clock::now() - stopped_at_ >= secs(0.3);
    });
}

// The error references are guarded by the GIL (rule 3), like every reference.
void LiveRun::keep_error(py::CaughtError& error)
{
    if (error_value_)
        return;
    error_type_ = py::Ref::incref(error.type());
    error_value_ = py::Ref::incref(error.value());
    error_traceback_ = py::Ref::incref(error.traceback());
}

bool LiveRun::has_error() { return static_cast<bool>(error_value_); }

void LiveRun::raise_error()
{
    PyErr_Restore(error_type_.release(), error_value_.release(), error_traceback_.release());
    throw py::PyErrOccurred();
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
