// The binder behind every engine method; its messages are the interpreter's own.
#include "signature.hpp"

#include "errors.hpp"

namespace py {

namespace {

// Python 3.10 started naming functions by their qualified name in call errors.
const std::string& display_name(const Signature& signature)
{
#if PY_VERSION_HEX >= 0x030A0000
    return signature.qualname;
#else
    return signature.name;
#endif
}

[[noreturn]] void type_error(const std::string& message)
{
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrOccurred();
}

std::string repr_list(const std::vector<const char*>& names)
{
    auto quoted = [](const char* name) { return "'" + std::string(name) + "'"; };
    if (names.size() == 1)
        return quoted(names[0]);
    if (names.size() == 2)
        return quoted(names[0]) + " and " + quoted(names[1]);
    std::string joined;
    for (std::size_t i = 0; i + 1 < names.size(); ++i)
        joined += quoted(names[i]) + ", ";
    return joined + "and " + quoted(names.back());
}

[[noreturn]] void missing(const Signature& signature, const char* kind,
                          const std::vector<const char*>& names)
{
    type_error(display_name(signature) + "() missing " + std::to_string(names.size()) + " required " +
               kind + " argument" + (names.size() == 1 ? "" : "s") + ": " + repr_list(names));
}

[[noreturn]] void too_many_positional(const Signature& signature, std::size_t given)
{
    std::size_t count = signature.positional.size();
    std::size_t with_default = 0;
    for (const Parameter& parameter : signature.positional)
        with_default += parameter.default_value ? 1 : 0;
    std::string expected;
    bool plural;
    if (with_default) {
        expected = "from " + std::to_string(count - with_default) + " to " + std::to_string(count);
        plural = true;
    } else {
        expected = std::to_string(count);
        plural = count != 1;
    }
    type_error(display_name(signature) + "() takes " + expected + " positional argument" +
               (plural ? "s" : "") + " but " + std::to_string(given) + " " +
               (given == 1 ? "was" : "were") + " given");
}

std::string utf8(PyObject* text)
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr)
        throw PyErrOccurred();
    return std::string(data, static_cast<std::size_t>(size));
}

// Index of the parameter called `key` (positional ones first), or -1.
long find_parameter(const Signature& signature, PyObject* key)
{
    long index = 0;
    for (const Parameter& parameter : signature.positional) {
        if (PyUnicode_CompareWithASCIIString(key, parameter.name) == 0)
            return index;
        ++index;
    }
    for (const Parameter& parameter : signature.keyword_only) {
        if (PyUnicode_CompareWithASCIIString(key, parameter.name) == 0)
            return index;
        ++index;
    }
    return -1;
}

// Python 3.13 ends the unexpected-keyword message with the closest parameter name
// (self and keyword-only ones included, *args not), found as for a misspelt attribute;
// when that search fails, the message simply has no suggestion.
std::string suggestion(const Signature& signature, PyObject* key)
{
#if PY_VERSION_HEX >= 0x030D0000
    Ref names = Ref::steal(PyList_New(0));
    Ref module = Ref::steal(PyImport_ImportModule("_suggestions"));
    bool ok = names && module;
    for (const auto* group : {&signature.positional, &signature.keyword_only})
        for (const Parameter& parameter : *group) {
            Ref name = Ref::steal(ok ? PyUnicode_FromString(parameter.name) : nullptr);
            ok = name && PyList_Append(names.get(), name.get()) == 0;
        }
    Ref found = Ref::steal(
        ok ? PyObject_CallMethod(module.get(), "_generate_suggestions", "OO", names.get(), key) : nullptr);
    if (found && PyUnicode_Check(found.get()))
        return ". Did you mean '" + utf8(found.get()) + "'?";
    PyErr_Clear();
#else
    (void)signature;
    (void)key;
#endif
    return "";
}

} // namespace

BoundArguments bind(const Signature& signature, PyObject* args, PyObject* kwargs)
{
    const std::size_t positional_count = signature.positional.size();
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    BoundArguments bound;
    bound.values.assign(positional_count + signature.keyword_only.size(), nullptr);

    for (std::size_t i = 0; i < given && i < positional_count; ++i)
        bound.values[i] = PyTuple_GET_ITEM(args, i);
    if (signature.takes_varargs) {
        Py_ssize_t start = static_cast<Py_ssize_t>(given < positional_count ? given : positional_count);
        bound.varargs = own(PyTuple_GetSlice(args, start, static_cast<Py_ssize_t>(given)));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
#if PY_VERSION_HEX >= 0x03090000
                type_error("keywords must be strings");
#else
                type_error(display_name(signature) + "() keywords must be strings");
#endif
            }
            long index = find_parameter(signature, key);
            if (index < 0)
                type_error(display_name(signature) + "() got an unexpected keyword argument '" + utf8(key) + "'" +
                           suggestion(signature, key));
            if (bound.values[static_cast<std::size_t>(index)] != nullptr)
                type_error(display_name(signature) + "() got multiple values for argument '" + utf8(key) + "'");
            bound.values[static_cast<std::size_t>(index)] = value;
        }
    }

    if (given > positional_count && !signature.takes_varargs)
        too_many_positional(signature, given);

    std::vector<const char*> absent;
    for (std::size_t i = 0; i < positional_count; ++i) {
        if (bound.values[i] != nullptr)
            continue;
        if (signature.positional[i].default_value)
            bound.values[i] = signature.positional[i].default_value.get();
        else
            absent.push_back(signature.positional[i].name);
    }
    if (!absent.empty())
        missing(signature, "positional", absent);

    for (std::size_t i = 0; i < signature.keyword_only.size(); ++i) {
        PyObject*& slot = bound.values[positional_count + i];
        if (slot == nullptr && signature.keyword_only[i].default_value)
            slot = signature.keyword_only[i].default_value.get();
        else if (slot == nullptr)
            absent.push_back(signature.keyword_only[i].name);
    }
    if (!absent.empty())
        missing(signature, "keyword-only", absent);
    return bound;
}

} // namespace py
