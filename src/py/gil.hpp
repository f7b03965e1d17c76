// Releasing the GIL for a scope, for waits that must not hold up other threads.
#pragma once

#include <Python.h>

namespace py {

// The GIL is given up for the guard's lifetime and taken back when it ends. Taking it
// back may end the thread when the interpreter is finalising (a daemon thread at exit),
// by a forced unwinding that must be allowed to leave the destructor.
class AllowThreads {
public:
    AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
    ~AllowThreads() noexcept(false) { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

} // namespace py
