// The guard that keeps C++ exceptions from reaching the interpreter, and the PanicException it
// raises for an internal failure.
//
// Rules of use:
//  1. An entry point runs its whole body inside `guard` (the deallocator inside
//     `guard_unraisable`); that is its only catch-all.
//  2. Inside, a failed C-API call becomes a throw of ErrorAlreadySet (through `require` or
//     `throw_python_error`), with the Python error left set. Any other exception reaching the
//     guard is an internal failure and is raised as PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "ref.hpp"

namespace korvane::python {

// Thrown once a Python exception has been set; it carries nothing itself.
struct ErrorAlreadySet {};

// Adopts the new reference a C-API call returned; throws when the call failed (returned null).
inline Ref require(PyObject* new_reference) {
    if (new_reference == nullptr) throw ErrorAlreadySet{};
    return Ref::steal(new_reference);
}

// Passes a C-API status through; throws when it reports failure (negative).
inline int require(int status) {
    if (status < 0) throw ErrorAlreadySet{};
    return status;
}

// Sets `type` with `message` (UTF-8) as its only argument and throws.
[[noreturn]] void throw_python_error(PyObject* type, std::string_view message);

// Turns the exception being handled into a Python error: ErrorAlreadySet leaves the set error in
// place, anything else becomes PanicException carrying the exception's text. Call only from a
// catch block.
void set_python_error_from_current_exception() noexcept;

// Runs `work` and returns its result, or `failure` with a Python error set.
template <typename Result, typename Work>
Result guard(Result failure, Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        set_python_error_from_current_exception();
        return failure;
    }
}

// For work that cannot raise (a deallocator): a failure is reported as unraisable, and an error
// that was pending before is kept.
template <typename Work>
void guard_unraisable(Work&& work) noexcept {
    try {
        work();
    } catch (...) {
        PyObject* pending = PyErr_GetRaisedException();
        set_python_error_from_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

// Puts the module "korvane_py._runtime", holding PanicException, into sys.modules unless the name
// is taken. Pickle records the class by that name; like os.path, the import system finds such an
// entry once it has imported the parent module, so any process that can import korvane_py can
// unpickle a PanicException, while korvane_py itself gains no attribute.
void register_runtime_module();

}  // namespace korvane::python
