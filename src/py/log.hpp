// Diagnostics go through Python's `logging`, logger "main", so the host decides
// where they end up.
#pragma once

#include "ref.hpp"

namespace py {

enum class LogLevel { debug, warning, error };

// logger.<level>(message, argument), formatted lazily by `logging` ("%r" and the like).
void log(LogLevel level, const char* message, PyObject* argument);

// logger.error(message, argument, exc_info=(type, value, traceback))
void log_error_with_cause(const char* message, PyObject* argument, PyObject* type, PyObject* value,
                          PyObject* traceback);

} // namespace py
