// Rules every entry point of korvane_py shares: argument binding, argument conversion, and the
// guard that keeps C++ exceptions from reaching the interpreter.
//
// Rules of use:
//  1. An entry point runs its whole body inside `guard` (the deallocator inside
//     `guard_unraisable`); that is its only catch-all.
//  2. Inside, a failed C-API call becomes a throw of ErrorAlreadySet (through `require` or
//     `throw_python_error`), with the Python error left set. Any other exception reaching the
//     guard is an internal failure and is raised as PanicException.
//  3. Arguments are bound with `bind_arguments` and each converted inside `convert_argument`, which
//     notes the parameter's name on a failed conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The TypeError of a conversion that received a value of the wrong type:
// "'<type>' object is not an instance of '<expected>'", or "'None' is not an instance of ...".
[[noreturn]] void throw_type_mismatch(PyObject* value, PyTypeObject* expected);

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

// A Python object kept for the rest of the process once made.
class ProcessWideObject {
public:
    using Maker = PyObject* (*)();  // a new reference, or null with a Python error set

    // The object (borrowed), made on first need. Nothing is locked: making it runs Python code (an
    // import, with its hooks), which may ask for the same object again, switch threads or fork.
    // Whoever finishes first stores theirs, and later makers' objects are dropped. A failed fill
    // leaves the slot empty and throws with the maker's error set.
    PyObject* get(Maker make);

private:
    std::atomic<PyObject*> object_{nullptr};
};

// Puts the module "korvane_py._runtime", holding PanicException, into sys.modules unless the name
// is taken. Pickle records the class by that name; like os.path, the import system finds such an
// entry once it has imported the parent module, so any process that can import korvane_py can
// unpickle a PanicException, while korvane_py itself gains no attribute.
void register_runtime_module();

// The interned attribute names the binding looks up.
PyObject* all_attribute_name();  // "__all__"

// Describes the parameters of one entry point, all positional-or-keyword.
struct Signature {
    const char* class_name;
    const char* function_name;
    std::span<const char* const> parameters;
    std::size_t required_count;  // leading parameters that must be given
};

// Binds a call's arguments to `signature`'s parameters: `bound` (one slot per parameter) receives
// the borrowed argument of each parameter, or null when it was not given. Raises TypeError with
// the binding messages. One form for tp_new (a tuple and an optional dict), one for the vectorcall
// convention (an array of positional then keyword values, and a tuple of keyword names).
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound);
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                    PyObject* kwnames, std::span<PyObject*> bound);

// Adds the note "while processing '<parameter>'" to the set exception; a failure to add it is
// discarded.
void add_parameter_note(const char* parameter) noexcept;

// Runs the conversion of one bound argument. Its Python error, if any, leaves with the note
// naming `parameter`.
template <typename Convert>
auto convert_argument(const char* parameter, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        add_parameter_note(parameter);
        throw;
    }
}

// A `str` (or subclass) as the UTF-8 text the interpreter gives for it.
std::string to_utf8_text(PyObject* value);

// `True`/`False`, or a numpy boolean scalar.
bool to_bool(PyObject* value);

// A sequence (not a `str`) of integers from 0 to 2^32 - 1, in iteration order.
std::vector<std::uint32_t> to_token_ids(PyObject* tokens);

// A new list holding each value widened to a Python float. A failure to build it is an internal
// failure.
Ref to_float_list(std::span<const float> values);

}  // namespace korvane::python
