#include "arguments.hpp"

#include <algorithm>
#include <string>

#include "process_wide.hpp"
#include "ref.hpp"

namespace korvane::python {

namespace {

ProcessWideObject add_note_name;

[[noreturn]] void throw_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required_count() < signature.size()) {
        PyErr_Format(PyExc_TypeError,
                     "%s.%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.class_name, signature.method.name, signature.required_count(),
                     signature.size(), given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zd %s given",
                     signature.class_name, signature.method.name, signature.size(), given, verb);
    }
    throw ErrorAlreadySet{};
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t count,
                     std::span<PyObject*> bound) {
    if (static_cast<std::size_t>(count) > signature.size()) {
        throw_too_many_positional(signature, count);
    }
    std::copy_n(args, count, bound.begin());
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<PyObject*> bound) {
    // Compares without raising: a name that cannot be encoded matches nothing.
    const bool is_text = PyUnicode_Check(name);
    for (std::size_t index = 0; index < signature.size(); ++index) {
        if (!is_text || !PyUnicode_EqualToUTF8(name, signature.parameter(index))) continue;
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'",
                         signature.class_name, signature.method.name, signature.parameter(index));
            throw ErrorAlreadySet{};
        }
        bound[index] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 is_text ? "%s.%s() got an unexpected keyword argument '%U'"
                         : "%s.%s() got an unexpected keyword argument '%S'",
                 signature.class_name, signature.method.name, name);
    throw ErrorAlreadySet{};
}

void check_required(const Signature& signature, std::span<PyObject* const> bound) {
    const auto required = bound.first(signature.required_count());
    const auto missing =
        static_cast<std::size_t>(std::count(required.begin(), required.end(), nullptr));
    if (missing == 0) return;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t index = 0; index < required.size(); ++index) {
        if (required[index] != nullptr) continue;
        if (listed > 0) names += missing == 2 ? " and " : listed + 1 == missing ? ", and " : ", ";
        names.append("'").append(signature.parameter(index)).append("'");
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional %s: %s",
                 signature.class_name, signature.method.name, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    throw ErrorAlreadySet{};
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    bind_positional(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), bound);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            bind_keyword(signature, name, value, bound);
        }
    }
    check_required(signature, bound);
}

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    bind_positional(signature, args, positional_count, bound);
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t index = 0; index < keyword_count; ++index) {
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, index),
                         args[positional_count + index], bound);
        }
    }
    check_required(signature, bound);
}

void add_parameter_note(const char* parameter) noexcept {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) return;
    try {
        PyObject* method =
            add_note_name.get([]() -> PyObject* { return PyUnicode_InternFromString("add_note"); });
        Ref note = require(PyUnicode_FromFormat("while processing '%s'", parameter));
        require(PyObject_CallMethodOneArg(exception.get(), method, note.get()));
    } catch (const ErrorAlreadySet&) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception.release());
}

}  // namespace korvane::python
