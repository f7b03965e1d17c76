// Import of `main`: the collaborators, the two tables, then the engine class. Any
// failure aborts the import and leaves nothing of the module usable.
#include "engine_class.hpp"
#include "module_state.hpp"
#include "names.hpp"
#include "tables.hpp"

#include "../py/call.hpp"
#include "../results/result_handling.hpp"
#include "../stream/live_run.hpp"

namespace engine {

namespace {

py::Ref fetch_builtin(PyObject* builtins, const char* name)
{
    PyObject* found = PyDict_GetItemString(builtins, name);
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::PyErrOccurred();
    }
    return py::Ref::incref(found);
}

void bind(PyObject* module, PyObject* name, py::Ref value)
{
    py::require(PyObject_SetAttr(module, name, value.get()));
}

// `from <module_name> import <name>`, with the ImportError of a missing name.
py::Ref import_from(PyObject* module_dict, const char* module_name, PyObject* name)
{
    py::Ref from_list = py::own(PyList_New(0));
    py::require(PyList_Append(from_list.get(), name));
    py::Ref imported = py::own(PyImport_ImportModuleLevel(module_name, module_dict, nullptr, from_list.get(), 0));
    PyObject* value = PyObject_GetAttr(imported.get(), name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return py::own(value);
}

PyObject* stop_live_runs_at_exit(PyObject*, PyObject*)
{
    return py::boundary([] {
        stream::stop_all_runs_before_exit((stream::open_bound_ms + 1000) / 1000.0);
        return py::none();
    });
}

PyMethodDef stop_live_runs_def = {"_stop_live_runs", stop_live_runs_at_exit, METH_NOARGS, nullptr};

// Live runs on daemon threads are ended before the interpreter ends those threads.
// Python joins the non-daemon threads before the exit hooks run (its rule, which
// stays), so a non-daemon run goes on until it is stopped; a worker left behind in a
// bounded OpenCV call leaves within that bound.
void stop_live_runs_before_exit()
{
    py::Ref atexit = py::own(PyImport_ImportModule("atexit"));
    py::Ref callback = py::own(PyCFunction_NewEx(&stop_live_runs_def, nullptr, nullptr));
    py::call_method(atexit.get(), py::text("register").get(), callback.get());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "main", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

py::Ref initialise()
{
    intern_names();
    const Names& n = names();
    ModuleState& state = module_state();

    py::Ref module = py::own(PyModule_Create(&module_def));
    PyObject* module_dict = PyModule_GetDict(module.get());

    py::Ref builtins_module = py::own(PyImport_ImportModule("builtins"));
    PyObject* builtins_dict = PyModule_GetDict(builtins_module.get());
    py::Ref print = fetch_builtin(builtins_dict, "print");
    py::Ref exit = fetch_builtin(builtins_dict, "exit");
    py::Ref enumerate = fetch_builtin(builtins_dict, "enumerate");

    for (PyObject* name : {n.os, n.cv2, n.queue, n.threading, n.copy})
        bind(module.get(), name, py::own(PyImport_Import(name)));
    py::Ref queue_class = py::getattr(py::getattr(module.get(), n.queue).get(), n.Queue);

    bind(module.get(), n.ObjectDetect,
         import_from(module_dict, "kavex.object_detection.models.builder", n.ObjectDetect));
    bind(module.get(), n.draw_roi, import_from(module_dict, "kavex.object_detection.utils.base_utils", n.draw_roi));

    bind(module.get(), n.cfg, make_device_config());
    bind(module.get(), n.devBehavior, make_behaviour_table());
    bind(module.get(), py::text("VisionEngin").get(), make_engine_class(py::text("main").get()));

    results::initialise_result_handling();
    stream::initialise_live_runs();
    stop_live_runs_before_exit();
    state.queue_class = std::move(queue_class);
    state.module_dict = py::Ref::incref(module_dict);
    state.builtins_dict = py::Ref::incref(builtins_dict);
    state.print = std::move(print);
    state.exit = std::move(exit);
    state.enumerate = std::move(enumerate);
    return module;
}

} // namespace

} // namespace engine

// Older interpreters' PyMODINIT_FUNC does not export the symbol by itself.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_main(void)
{
    return py::boundary([] { return engine::initialise(); });
}
