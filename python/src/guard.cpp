#include "guard.hpp"

#include <exception>

#include "process_wide.hpp"

namespace korvane::python {

namespace {

ProcessWideObject panic_exception_type;

constexpr const char* panic_text_without_description =
    "korvane stopped an operation after an internal failure that gave no description";

PyObject* make_panic_exception_type() {
    return PyErr_NewExceptionWithDoc(
        "korvane_py._runtime.PanicException",
        "An operation of korvane_py stopped at an internal failure.\n\n"
        "It derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
}

// Raises PanicException with `text`. An error still pending becomes its __context__.
void raise_panic(std::string_view text) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    try {
        PyObject* type = panic_exception_type.get(make_panic_exception_type);
        if (text.empty()) text = panic_text_without_description;
        Ref message = require(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyErr_SetObject(type, message.get());
    } catch (const ErrorAlreadySet&) {
        return;  // the error of the failed step stands in for the panic
    }
    if (pending) {
        Ref panic = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(panic.get(), pending.release());
        PyErr_SetRaisedException(panic.release());
    }
}

}  // namespace

void throw_python_error(PyObject* type, std::string_view message) {
    Ref text = require(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
    throw ErrorAlreadySet{};
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic("a failed call into Python left no exception set");
    } catch (const std::exception& failure) {  // korvane::InternalFailure, std::bad_alloc, ...
        raise_panic(failure.what());
    } catch (...) {
        raise_panic({});
    }
}

void register_runtime_module() {
    constexpr const char* name = "korvane_py._runtime";
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = nullptr;
    const int present = require(PyDict_GetItemStringRef(modules, name, &found));
    Ref existing = Ref::steal(found);
    if (present == 1) return;
    Ref module = require(PyModule_New(name));
    PyObject* type = panic_exception_type.get(make_panic_exception_type);
    require(PyModule_AddObjectRef(module.get(), "PanicException", type));
    require(PyDict_SetItemString(modules, name, module.get()));
}

}  // namespace korvane::python
