// From detector answer to annotated pictures on disk. The answer and every mapping in
// it are read only through `get`, so any mapping type serves. Each alarm behaviour
// is drawn on its own copy: the analysed picture itself is never drawn on.
#include "result_handling.hpp"

#include "../engine/module_state.hpp"
#include "../engine/names.hpp"
#include "../py/call.hpp"
#include "../py/log.hpp"

namespace results {

namespace {

using engine::global;

struct DrawingConstants {
    py::Ref zero, one, two, three, caption_scale, caption_colour, outline_colour, caption_thickness,
        outline_thickness, slash, dash, jpg;
};

// Made at import (no function-level static runs the C API while being initialised:
// that waits on a guard while holding the GIL).
const DrawingConstants* made_constants = nullptr;

const DrawingConstants& constants() { return *made_constants; }

} // namespace

void initialise_result_handling()
{
    if (made_constants != nullptr)
        return;
    auto* c = new DrawingConstants();
    c->zero = py::integer(0);
    c->one = py::integer(1);
    c->two = py::integer(2);
    c->three = py::integer(3);
    c->caption_scale = py::floating(0.6);
    c->caption_colour = py::tuple(py::integer(255).get(), py::integer(255).get(), c->zero.get());
    c->outline_colour = py::tuple(c->zero.get(), py::integer(255).get(), c->zero.get());
    c->caption_thickness = c->one.share();
    c->outline_thickness = c->three.share();
    c->slash = py::text("/");
    c->dash = py::text("-");
    c->jpg = py::text(".jpg");
    made_constants = c;
}

namespace {

// The caption (behaviour number) on the top edge of the box, then the green outline.
void draw_box(PyObject* img, PyObject* bbox, PyObject* behavior_number)
{
    const engine::Names& n = engine::names();
    const DrawingConstants& c = constants();
    py::Ref xx_min = py::to_int(py::item(bbox, c.zero.get()).get());
    py::Ref yy_min = py::to_int(py::item(bbox, c.one.get()).get());
    py::Ref xx_max = py::to_int(py::item(bbox, c.two.get()).get());
    py::Ref yy_max = py::to_int(py::item(bbox, c.three.get()).get());
    py::Ref top_left = py::tuple(xx_min.get(), yy_min.get());

    py::Ref put_text = py::getattr(global(n.cv2).get(), n.putText);
    py::Ref caption = py::str(behavior_number);
    py::Ref font = py::getattr(global(n.cv2).get(), n.FONT_HERSHEY_SIMPLEX);
    py::call(put_text.get(), img, caption.get(), top_left.get(), font.get(), c.caption_scale.get(),
             c.caption_colour.get(), c.caption_thickness.get());

    py::Ref rectangle = py::getattr(global(n.cv2).get(), n.rectangle);
    py::Ref bottom_right = py::tuple(xx_max.get(), yy_max.get());
    py::call(rectangle.get(), img, top_left.get(), bottom_right.get(), c.outline_colour.get(),
             c.outline_thickness.get());
}

// An info type names a file inside the result directory and nothing else, and must
// be encodable as a file name: OpenCV crashes on a path it cannot encode.
void refuse_unsafe_info_type(PyObject* alarm_info)
{
    if (!PyUnicode_Check(alarm_info))
        return;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(alarm_info);
    const char* problem = nullptr;
    if (PyUnicode_FindChar(alarm_info, '/', 0, length, 1) >= 0 || PyUnicode_FindChar(alarm_info, 0, 0, length, 1) >= 0)
        problem = "it must not contain '/' or NUL, since it names a file in the result directory";
    else if (PyUnicode_AsUTF8AndSize(alarm_info, nullptr) == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw py::PyErrOccurred();
        PyErr_Clear();
        problem = "it cannot be encoded as a file name";
    }
    if (problem != nullptr) {
        PyErr_Format(PyExc_ValueError, "unsafe info type %R: %s", alarm_info, problem);
        throw py::PyErrOccurred();
    }
}

py::Ref file_name(PyObject* save_path, PyObject* alarm_info, PyObject* frame_number)
{
    const DrawingConstants& c = constants();
    py::Ref name = py::add(save_path, c.slash.get());
    name = py::add(name.get(), alarm_info);
    refuse_unsafe_info_type(alarm_info);
    if (frame_number != nullptr) {
        name = py::add(name.get(), c.dash.get());
        name = py::add(name.get(), py::str(frame_number).get());
    }
    return py::add(name.get(), c.jpg.get());
}

void write_alarm(PyObject* im, PyObject* behavior, PyObject* save_path, PyObject* frame_number)
{
    const engine::Names& n = engine::names();
    py::Ref img = py::call_method(global(n.copy).get(), n.copy, im);
    py::Ref out_result = py::call_method(behavior, n.get, n.result);
    py::Ref behavior_number = py::call_method(behavior, n.get, n.behavior_number);
    py::Ref info_dict = py::call_method(behavior, n.get, n.alarm_info_dict);
    py::Ref alarm_info = py::call_method(info_dict.get(), n.get, n.info_type);

    py::Iteration regions(out_result.get());
    while (py::Ref roi = regions.next()) {
        py::Ref region = py::call_method(roi.get(), n.get, n.roi);
        py::Ref boxes = py::call_method(roi.get(), n.get, n.boxes);
        img = py::call(global(n.draw_roi).get(), img.get(), region.get());
        py::Iteration box_items(boxes.get());
        while (py::Ref bbox = box_items.next())
            draw_box(img.get(), bbox.get(), behavior_number.get());
    }

    py::Ref path = file_name(save_path, alarm_info.get(), frame_number);
    py::Ref written = py::call_method(global(n.cv2).get(), n.imwrite, path.get(), img.get());
    if (written.is(Py_False))
        py::log(py::LogLevel::warning, "could not write the alarm picture %r", path.get());
}

} // namespace

void handle_result(PyObject* engine_object, PyObject* im, PyObject* cfg, PyObject* save_path,
                   PyObject* frame_number)
{
    const engine::Names& n = engine::names();
    py::Ref detector = py::getattr(engine_object, n.predict);
    py::Ref answer = py::call_method(detector.get(), n.main, im, cfg);
    py::Ref alarms = py::call_method(answer.get(), n.get, n.alarmBehavior);
    if (!py::truthy(alarms.get()))
        return;
    py::Iteration behaviours(alarms.get());
    while (py::Ref behavior = behaviours.next())
        write_alarm(im, behavior.get(), save_path, frame_number);
}

void ensure_result_dir(PyObject* save_path)
{
    const engine::Names& n = engine::names();
    py::Ref os_path = py::getattr(global(n.os).get(), n.path);
    if (py::truthy(py::call_method(os_path.get(), n.exists, save_path).get()))
        return;
    try {
        py::call_method(global(n.os).get(), n.mkdir, save_path);
    } catch (const py::PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError))
            throw;
        py::CaughtError raced;
        py::Ref is_dir;
        try {
            is_dir = py::call_method(py::getattr(global(n.os).get(), n.path).get(), n.isdir, save_path);
        } catch (const py::PyErrOccurred&) {
            raced.become_context_of_current();
            throw;
        }
        if (!py::truthy(is_dir.get()))
            raced.reraise();
    }
}

} // namespace results
