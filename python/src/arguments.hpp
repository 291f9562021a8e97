// Binding a call's arguments to the parameters of an entry point, and converting each.
//
// Rules of use:
//  1. Arguments are bound with `bind_arguments` and each converted inside `convert_argument`,
//     which notes the parameter's name on a failed conversion.
//  2. Names, parameters and defaults come from the interface records (interface.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

#include "guard.hpp"
#include "stub/description.hpp"

namespace korvane::python {

// The parameters of one entry point, as its interface record describes them: all
// positional-or-keyword, those with a default after those without.
struct Signature {
    const char* class_name;
    const stub::MethodEntry& method;

    [[nodiscard]] constexpr std::size_t size() const noexcept { return method.parameters.size(); }
    [[nodiscard]] constexpr const char* parameter(std::size_t index) const noexcept {
        return method.parameters[index].name;
    }
    // The leading parameters that must be given.
    [[nodiscard]] constexpr std::size_t required_count() const noexcept {
        std::size_t count = 0;
        while (count < size() && method.parameters[count].default_value == nullptr) ++count;
        return count;
    }
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

// `convert` applied to the argument bound to parameter `index`. Its Python error, if any, leaves
// with the note naming the parameter.
template <typename Convert>
auto convert_argument(const Signature& signature, std::span<PyObject* const> bound,
                      std::size_t index, Convert&& convert) -> decltype(convert(bound[index])) {
    try {
        return convert(bound[index]);
    } catch (const ErrorAlreadySet&) {
        add_parameter_note(signature.parameter(index));
        throw;
    }
}

}  // namespace korvane::python
