// `VisionEngin` is a plain class: `type("VisionEngin", (), namespace)` with one
// built-in function per method, bound to instances like a `def` through an instance
// method wrapper. Each function has the class as `__self__`, which gives it the
// qualified name "VisionEngin.<method>" and the module "main".
#include "engine_class.hpp"

#include "methods.hpp"

#include "../py/call.hpp"
#include "../py/signature.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace engine {

namespace {

const char* const init_doc =
    "\n"
    "        \xe7\xae\x97\xe6\xb3\x95\xe6\xb5\x8b\xe8\xaf\x95\xe7\xb1\xbb\n" // 算法测试类
    "\n"
    "        Args:\n"
    "            args: \xe8\xa1\x8c\xe5\x8f\x82\n" // 行参
    "            test: \xe9\xbb\x98\xe8\xae\xa4True\n" // 默认True
    // cuda: 默认False，如果为True，则调用CUDAExecutionProvider
    "            cuda: \xe9\xbb\x98\xe8\xae\xa4" "False\xef\xbc\x8c\xe5\xa6\x82\xe6\x9e\x9c\xe4\xb8\xba"
    "True\xef\xbc\x8c\xe5\x88\x99\xe8\xb0\x83\xe7\x94\xa8" "CUDAExecutionProvider\n"
    // activate： 默认为False，如果为True，则alarm_time设置为0，识别即推送
    "            activate\xef\xbc\x9a \xe9\xbb\x98\xe8\xae\xa4\xe4\xb8\xba" "False\xef\xbc\x8c\xe5\xa6\x82"
    "\xe6\x9e\x9c\xe4\xb8\xba" "True\xef\xbc\x8c\xe5\x88\x99" "alarm_time\xe8\xae\xbe\xe7\xbd\xae\xe4\xb8\xba"
    "0\xef\xbc\x8c\xe8\xaf\x86\xe5\x88\xab\xe5\x8d\xb3\xe6\x8e\xa8\xe9\x80\x81\n"
    // cache： zo缓存模型地址
    "            cache\xef\xbc\x9a zo\xe7\xbc\x93\xe5\xad\x98\xe6\xa8\xa1\xe5\x9e\x8b\xe5\x9c\xb0\xe5\x9d\x80\n"
    "        ";

using Body = py::Ref (*)(const py::BoundArguments&);
using MakeDefault = py::Ref (*)();

struct ParameterSpec {
    const char* name;
    MakeDefault make_default; // null: required
};

struct MethodSpec {
    const char* name;
    std::vector<ParameterSpec> positional;
    bool takes_varargs;
    std::vector<ParameterSpec> keyword_only;
    const char* doc;
    Body body;
};

py::Ref make_true() { return py::Ref::incref(Py_True); }
py::Ref make_false() { return py::Ref::incref(Py_False); }
py::Ref make_none() { return py::none(); }
py::Ref make_zero() { return py::integer(0); }
py::Ref make_one() { return py::integer(1); }
py::Ref make_cache_dir() { return py::text("/home/morel/.mx/"); }
py::Ref make_default_name() { return py::text("zo"); }

// In the order of the class namespace.
const std::vector<MethodSpec>& method_specs()
{
    static const std::vector<MethodSpec> specs = {
        {"__init__", {{"self", nullptr}}, true,
         {{"test", make_true}, {"cuda", make_false}, {"activate", make_false}, {"cache", make_cache_dir}},
         init_doc,
         [](const py::BoundArguments& a) {
             return construct(a[0], a.varargs.get(), a[1], a[2], a[3], a[4]);
         }},
        {"load_cfg", {{"self", nullptr}, {"bev_list", nullptr}}, false, {}, nullptr,
         [](const py::BoundArguments& a) { return load_cfg(a[0], a[1]); }},
        {"test_video", {{"self", nullptr}, {"addr", nullptr}, {"t", make_one}, {"bev", make_none}}, false, {},
         nullptr, [](const py::BoundArguments& a) { return results::test_video(a[0], a[1], a[2], a[3]); }},
        {"video_stream_capture",
         {{"self", nullptr}, {"addr", nullptr}, {"frame_queue", nullptr}, {"mode", nullptr}}, false, {}, nullptr,
         [](const py::BoundArguments& a) { return stream::video_stream_capture(a[0], a[1], a[2], a[3]); }},
        {"process_frames",
         {{"self", nullptr}, {"frame_queue", nullptr}, {"cfg", nullptr}, {"save_path", nullptr}}, false, {},
         nullptr, [](const py::BoundArguments& a) { return stream::process_frames(a[0], a[1], a[2], a[3]); }},
        {"test_rtsp", {{"self", nullptr}, {"addr", nullptr}, {"mode", make_zero}, {"bev", make_none}}, false, {},
         nullptr, [](const py::BoundArguments& a) { return stream::test_rtsp(a[0], a[1], a[2], a[3]); }},
        {"test_pic", {{"self", nullptr}, {"addr", nullptr}, {"bev", make_none}}, false, {}, nullptr,
         [](const py::BoundArguments& a) { return results::test_pic(a[0], a[1], a[2]); }},
        {"register", {{"self", nullptr}, {"addr", nullptr}, {"name", make_default_name}}, false, {}, nullptr,
         [](const py::BoundArguments& a) { return register_face(a[0], a[1], a[2]); }},
        {"stop", {{"self", nullptr}}, false, {}, nullptr,
         [](const py::BoundArguments& a) { return stream::stop(a[0]); }},
    };
    return specs;
}

constexpr std::size_t method_count = 9;

// Built at each import, defaults included, and kept for the life of the process.
std::vector<py::Signature>& signatures()
{
    static auto* built = new std::vector<py::Signature>();
    return *built;
}

std::vector<py::Parameter> make_parameters(const std::vector<ParameterSpec>& specs)
{
    std::vector<py::Parameter> parameters;
    for (const ParameterSpec& spec : specs)
        parameters.push_back({spec.name, spec.make_default ? spec.make_default() : py::Ref()});
    return parameters;
}

template <std::size_t Index>
PyObject* call_method_body(PyObject* /*cls*/, PyObject* args, PyObject* kwargs)
{
    return py::boundary([&] {
        py::BoundArguments bound = py::bind(signatures()[Index], args, kwargs);
        return method_specs()[Index].body(bound);
    });
}

template <std::size_t... Index>
std::array<PyCFunctionWithKeywords, sizeof...(Index)> make_entry_points(std::index_sequence<Index...>)
{
    return {&call_method_body<Index>...};
}

std::array<PyMethodDef, method_count>& method_defs()
{
    static std::array<PyMethodDef, method_count> defs = [] {
        std::array<PyMethodDef, method_count> made{};
        auto entry_points = make_entry_points(std::make_index_sequence<method_count>());
        for (std::size_t i = 0; i < method_count; ++i) {
            const MethodSpec& spec = method_specs()[i];
            made[i] = {spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_points[i])),
                       METH_VARARGS | METH_KEYWORDS, spec.doc};
        }
        return made;
    }();
    return defs;
}

} // namespace

py::Ref make_engine_class(PyObject* module_name)
{
    const std::vector<MethodSpec>& specs = method_specs();
    static_assert(method_count == 9, "one entry point per method");

    std::vector<py::Signature>& built = signatures();
    built.clear();
    for (const MethodSpec& spec : specs) {
        built.push_back({spec.name, std::string("VisionEngin.") + spec.name, make_parameters(spec.positional),
                         spec.takes_varargs, make_parameters(spec.keyword_only)});
    }

    // The namespace is filled in method order first; the functions replace their
    // placeholders once the class exists, which keeps that order.
    py::Ref name_space = py::own(PyDict_New());
    py::require(PyDict_SetItemString(name_space.get(), "__module__", module_name));
    py::require(PyDict_SetItemString(name_space.get(), "__qualname__", py::text("VisionEngin").get()));
    for (const MethodSpec& spec : specs)
        py::require(PyDict_SetItemString(name_space.get(), spec.name, Py_None));

    py::Ref bases = py::own(PyTuple_New(0));
    py::Ref cls = py::call(reinterpret_cast<PyObject*>(&PyType_Type), py::text("VisionEngin").get(), bases.get(),
                           name_space.get());

    for (std::size_t i = 0; i < method_count; ++i) {
        py::Ref function = py::own(PyCFunction_NewEx(&method_defs()[i], cls.get(), module_name));
        py::Ref method = py::own(PyInstanceMethod_New(function.get()));
        py::require(PyObject_SetAttrString(cls.get(), specs[i].name, method.get()));
    }
    return cls;
}

} // namespace engine
