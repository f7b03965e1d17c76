// Bounded opening and reading of a live capture (see live_capture.hpp).
#include "live_capture.hpp"

#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"

#include <cctype>
#include <chrono>
#include <utility>

namespace stream {

namespace {

using engine::global;

// "scheme://..." at the start: what FFmpeg opens over a network.
bool is_network_address(PyObject* addr)
{
    if (!PyUnicode_Check(addr))
        return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(addr, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t i = 0;
    while (i < size && (isalnum(static_cast<unsigned char>(text[i])) || text[i] == '+' || text[i] == '-' ||
                        text[i] == '.'))
        ++i;
    return i > 0 && isalpha(static_cast<unsigned char>(text[0])) && size - i >= 3 && text[i] == ':' &&
           text[i + 1] == '/' && text[i + 2] == '/' && !(i == 4 && PyOS_strnicmp(text, "file", 4) == 0);
}

bool is_opened(PyObject* camera)
{
    py::Ref method = py::Ref::steal(PyObject_GetAttr(camera, engine::names().isOpened));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::PyErrOccurred();
        PyErr_Clear();
        return true; // nothing to ask: take it as opened
    }
    return py::truthy(py::call(method.get()).get());
}

// A network address goes to FFmpeg where the installed OpenCV has it: with
// CAP_ANY, an address FFmpeg fails to open (a refused port, say) is handed on
// to the next backend, and GStreamer's takes no open bound and can block for a
// long time. Builds without FFmpeg keep CAP_ANY.
py::Ref backend_for(PyObject* cv2, PyObject* addr)
{
    py::Ref any = py::own(PyObject_GetAttrString(cv2, "CAP_ANY"));
    if (!is_network_address(addr))
        return any;
    py::Ref ffmpeg = py::Ref::steal(PyObject_GetAttrString(cv2, "CAP_FFMPEG"));
    py::Ref registry = py::Ref::steal(ffmpeg ? PyObject_GetAttrString(cv2, "videoio_registry") : nullptr);
    py::Ref has = py::Ref::steal(
        registry ? PyObject_CallMethod(registry.get(), "hasBackend", "O", ffmpeg.get()) : nullptr);
    if (!has) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw py::PyErrOccurred();
        PyErr_Clear();
        return any;
    }
    return py::truthy(has.get()) ? std::move(ffmpeg) : std::move(any);
}

bool has_attribute(PyObject* object, const char* name)
{
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(object, name));
    if (value)
        return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::PyErrOccurred();
    PyErr_Clear();
    return false;
}

// Whether the OpenCV bound to `cv2` takes the open and read bounds: those came with
// the VideoCapture(address, backend, parameters) overload, so an OpenCV naming them
// takes the overload too. Decided once per OpenCV module (a host or test may rebind
// `main.cv2`); kept with the GIL held (rule 3), never released, like the module state.
bool accepts_open_bounds(PyObject* cv2)
{
    static PyObject* decided_for = nullptr;
    static bool accepts = false;
    if (cv2 == decided_for)
        return accepts;
    bool answer = has_attribute(cv2, "CAP_PROP_OPEN_TIMEOUT_MSEC") && has_attribute(cv2, "CAP_PROP_READ_TIMEOUT_MSEC");
    PyObject* previous = decided_for;
    Py_INCREF(cv2);
    decided_for = cv2;
    accepts = answer;
    Py_XDECREF(previous);
    return answer;
}

py::Ref open_bounded(PyObject* cv2, PyObject* addr)
{
    py::Ref params = py::own(PyList_New(0));
    for (auto [name, value] : {std::pair<const char*, int>{"CAP_PROP_OPEN_TIMEOUT_MSEC", open_bound_ms},
                               std::pair<const char*, int>{"CAP_PROP_READ_TIMEOUT_MSEC", read_bound_ms}}) {
        py::require(PyList_Append(params.get(), py::own(PyObject_GetAttrString(cv2, name)).get()));
        py::require(PyList_Append(params.get(), py::integer(value).get()));
    }
    py::Ref backend = backend_for(cv2, addr);
    return py::call_method(cv2, engine::names().VideoCapture, addr, backend.get(), params.get());
}

} // namespace

py::Ref open_live_capture(LiveRun& run, PyObject* addr)
{
    const engine::Names& n = engine::names();
    py::Ref cv2 = global(n.cv2);
    BlockingCall blocking(run);
    if (accepts_open_bounds(cv2.get())) {
        // An error from the bounded open is the capture's own: it propagates.
        py::Ref camera = open_bounded(cv2.get(), addr);
        if (is_network_address(addr) || is_opened(camera.get()) || run.stopping())
            return camera;
    }
    return py::call_method(cv2.get(), n.VideoCapture, addr);
}

LiveRead read_live(LiveRun& run, PyObject* camera)
{
    const auto started = std::chrono::steady_clock::now();
    py::Ref result;
    {
        BlockingCall blocking(run);
        result = py::call_method(camera, engine::names().read);
    }
    const auto lasted = std::chrono::steady_clock::now() - started;
    auto [ret, frame] = py::unpack2(result.get());
    bool ok = py::truthy(ret.get()) && lasted < std::chrono::milliseconds(read_bound_ms);
    return LiveRead{std::move(ret), std::move(frame), ok};
}

} // namespace stream
