// The engine's logger, looked up through `logging` at each use (a cheap dictionary
// lookup) so that a host that reconfigures logging is always honoured.
#include "log.hpp"

#include "call.hpp"

namespace py {

namespace {

Ref logger()
{
    Ref logging = own(PyImport_ImportModule("logging"));
    Ref get_logger = getattr(logging.get(), text("getLogger").get());
    return call(get_logger.get(), text("main").get());
}

} // namespace

void log(LogLevel level, const char* message, PyObject* argument)
{
    Ref method = text(level == LogLevel::debug ? "debug" : level == LogLevel::warning ? "warning" : "error");
    call_method(logger().get(), method.get(), text(message).get(), argument);
}

void log_error_with_cause(const char* message, PyObject* argument, PyObject* type, PyObject* value,
                          PyObject* traceback)
{
    Ref error = getattr(logger().get(), text("error").get());
    Ref args = tuple(text(message).get(), argument);
    Ref cause = tuple(type ? type : Py_None, value ? value : Py_None, traceback ? traceback : Py_None);
    Ref kwargs = own(PyDict_New());
    require(PyDict_SetItemString(kwargs.get(), "exc_info", cause.get()));
    call_with(error.get(), args.get(), kwargs.get());
}

} // namespace py
